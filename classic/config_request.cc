// SPDX-License-Identifier: Apache-2.0
#include "classic/config_request.h"

#include <cstring>

#include "classic/fixed_text.h"

namespace histfeed::classic {
namespace {

constexpr size_t kPointNameLookedAt = 39;
constexpr size_t kServiceMax = kConfigServiceSize - 1;
constexpr size_t kPointIdMax = kConfigPointIdSize - 1;
constexpr size_t kText60 = 60;
constexpr size_t kRowWidth = 32;
constexpr int kRowsOfText60 = 4;

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

void PutFlag(uint8_t* at, int32_t flag) { *at = flag != 0 ? 'Y' : 'N'; }

void PutFourDigits(uint8_t* at, int32_t number) {
  FormatFixed(at, 5, "%.4d", static_cast<int>(static_cast<uint16_t>(number)));
}

void PutSixDigits(uint8_t* at, int32_t number) { FormatFixed(at, 7, "%.6d", number); }

void PutNumber(uint8_t* at, double number) { FormatFixed(at, 17, "%16.9G", number); }

// `text` in rows of 32 characters, one row per piece that has characters.
void PutPieces(uint8_t* firstRow, int rows, const char* text) {
  size_t length = BoundedLength(text, kRowWidth * static_cast<size_t>(rows));
  for (int k = 0; k < rows && length > kRowWidth * static_cast<size_t>(k); ++k) {
    CopyFixed(firstRow + kRowWidth * static_cast<size_t>(k), kRowWidth, text + kRowWidth * k);
  }
}

}  // namespace

bool ParsePointName(const char* pointName, char (&service)[kConfigServiceSize],
                    char (&pointId)[kConfigPointIdSize]) {
  if (pointName == nullptr) return false;
  while (*pointName == ' ') ++pointName;
  size_t length = BoundedLength(pointName, kPointNameLookedAt);
  const char* end = pointName + length;
  const char* firstDot = static_cast<const char*>(std::memchr(pointName, '.', length));
  if (firstDot == nullptr || firstDot == pointName) return false;
  // A dot right after the first one does not end the service name.
  const char* searchStart = firstDot + 2;
  if (searchStart > end) return false;
  const char* secondDot =
      static_cast<const char*>(std::memchr(searchStart, '.', static_cast<size_t>(end - searchStart)));
  if (secondDot == nullptr || secondDot + 1 >= end) return false;
  size_t serviceLength = static_cast<size_t>(secondDot - pointName);
  if (serviceLength > kServiceMax) serviceLength = kServiceMax;
  std::memset(service, 0, sizeof(service));
  std::memcpy(service, pointName, serviceLength);
  size_t pointLength = static_cast<size_t>(end - (secondDot + 1));
  if (pointLength > kPointIdMax) pointLength = kPointIdMax;
  std::memset(pointId, 0, sizeof(pointId));
  std::memcpy(pointId, secondDot + 1, pointLength);
  return true;
}

void BuildConfigRequest(const ConfigArguments& a, const char* pointId, bool splitRows,
                        uint8_t (&request)[TARVO_CONFIG_REQUEST_SIZE]) {
  std::memset(request, 0, sizeof(request));
  request[0] = TARVO_CODE_CONFIG & 0xFF;
  request[1] = TARVO_CODE_CONFIG >> 8;
  request[2] = 1;

  char text60[kText60 + 1] = {};
  TextPart trimmed = Trimmed(a.text60, kText60);
  for (size_t i = 0; i < trimmed.length; ++i) text60[i] = UpperAscii(trimmed.start[i]);

  uint8_t* r = request;
  CopyFixed(r + 72, 8, pointId);
  CopyFixed(r + 81, kText60, text60);
  CopyFixed(r + 142, 24, a.text24);
  CopyFixed(r + 167, 8, a.text8);
  std::memcpy(r + 176, a.analog != 0 ? "AI" : "DI", 3);
  PutFlag(r + 179, a.flag6);
  PutFourDigits(r + 180, a.number7);
  PutFlag(r + 185, a.flag8);
  CopyFixed(r + 186, 16, a.text9);
  CopyFixed(r + 203, 16, a.text10);
  PutFlag(r + 220, a.flag11);
  PutNumber(r + 221, a.number12);
  PutFlag(r + 238, a.flag13);
  PutNumber(r + 239, a.number14);
  PutFlag(r + 256, a.flag15);
  PutNumber(r + 257, a.number16);
  PutFlag(r + 274, a.flag17);
  PutNumber(r + 275, a.number18);
  PutFlag(r + 292, a.flag19);
  PutNumber(r + 293, a.number20);
  PutFlag(r + 310, a.flag21);
  PutNumber(r + 311, a.number22);
  PutFlag(r + 328, a.flag23);
  PutFlag(r + 329, a.flag24);
  PutSixDigits(r + 330, a.number25);
  PutSixDigits(r + 337, a.number26);
  PutFourDigits(r + 344, a.number27);
  PutNumber(r + 349, a.number28);
  PutFourDigits(r + 366, a.number29);
  PutNumber(r + 371, a.number30);
  PutNumber(r + 388, a.number31);
  for (int k = 0; k < kConfigFieldTexts; ++k) CopyFixed(r + 405 + 32 * k, 32, a.fields[k]);
  uint8_t* rows = r + 693;
  if (splitRows) {
    PutPieces(rows, kRowsOfText60, a.text60);
    PutPieces(rows + kRowWidth * kRowsOfText60, kConfigRows - kRowsOfText60, a.text24);
  } else {
    for (int k = 0; k < kConfigRows; ++k) CopyFixed(rows + kRowWidth * k, kRowWidth, a.rows[k]);
  }
}

}  // namespace histfeed::classic
