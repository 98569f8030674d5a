// SPDX-License-Identifier: Apache-2.0
#include "classic/config_request.h"

#include <cstring>

#include "classic/fixed_text.h"
#include "classic/request_layout.h"

namespace histfeed::classic {
namespace {

constexpr size_t kPointNameLookedAt = 39;
constexpr size_t kServiceMax = kConfigServiceSize - 1;
constexpr size_t kPointIdMax = kConfigPointIdSize - 1;
constexpr size_t kText60Width = config_layout::kText60.size;
constexpr size_t kRowWidth = config_layout::kFirstRow.size;
constexpr int kRowsOfText60 = 4;

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Writers of one field of the request.
void PutText(uint8_t* request, LayoutField field, const char* text) {
  CopyFixed(request + field.offset, field.size, text);
}

void PutFlag(uint8_t* request, LayoutField field, int32_t flag) {
  request[field.offset] = flag != 0 ? 'Y' : 'N';
}

void PutFourDigits(uint8_t* request, LayoutField field, int32_t number) {
  FormatFixed(request + field.offset, field.size, "%.4d",
              static_cast<int>(static_cast<uint16_t>(number)));
}

void PutSixDigits(uint8_t* request, LayoutField field, int32_t number) {
  FormatFixed(request + field.offset, field.size, "%.6d", number);
}

void PutNumber(uint8_t* request, LayoutField field, double number) {
  FormatFixed(request + field.offset, field.size, "%16.9G", number);
}

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

  char text60[kText60Width + 1] = {};
  TextPart trimmed = Trimmed(a.text60, kText60Width);
  for (size_t i = 0; i < trimmed.length; ++i) text60[i] = UpperAscii(trimmed.start[i]);

  using namespace config_layout;
  uint8_t* r = request;
  PutText(r, kPointId, pointId);
  PutText(r, kText60, text60);
  PutText(r, kText24, a.text24);
  PutText(r, kText8, a.text8);
  std::memcpy(r + kAnalog.offset, a.analog != 0 ? "AI" : "DI", kAnalog.size);
  PutFlag(r, kFlag6, a.flag6);
  PutFourDigits(r, kNumber7, a.number7);
  PutFlag(r, kFlag8, a.flag8);
  PutText(r, kText9, a.text9);
  PutText(r, kText10, a.text10);
  PutFlag(r, kFlag11, a.flag11);
  PutNumber(r, kNumber12, a.number12);
  PutFlag(r, kFlag13, a.flag13);
  PutNumber(r, kNumber14, a.number14);
  PutFlag(r, kFlag15, a.flag15);
  PutNumber(r, kNumber16, a.number16);
  PutFlag(r, kFlag17, a.flag17);
  PutNumber(r, kNumber18, a.number18);
  PutFlag(r, kFlag19, a.flag19);
  PutNumber(r, kNumber20, a.number20);
  PutFlag(r, kFlag21, a.flag21);
  PutNumber(r, kNumber22, a.number22);
  PutFlag(r, kFlag23, a.flag23);
  PutFlag(r, kFlag24, a.flag24);
  PutSixDigits(r, kNumber25, a.number25);
  PutSixDigits(r, kNumber26, a.number26);
  PutFourDigits(r, kNumber27, a.number27);
  PutNumber(r, kNumber28, a.number28);
  PutFourDigits(r, kNumber29, a.number29);
  PutNumber(r, kNumber30, a.number30);
  PutNumber(r, kNumber31, a.number31);
  for (int k = 0; k < kConfigFieldTexts; ++k) {
    CopyFixed(r + kFirstField.offset + kFirstField.size * size_t(k), kFirstField.size, a.fields[k]);
  }
  uint8_t* rows = r + kFirstRow.offset;
  if (splitRows) {
    PutPieces(rows, kRowsOfText60, a.text60);
    PutPieces(rows + kRowWidth * kRowsOfText60, kConfigRows - kRowsOfText60, a.text24);
  } else {
    for (int k = 0; k < kConfigRows; ++k) CopyFixed(rows + kRowWidth * k, kRowWidth, a.rows[k]);
  }
}

}  // namespace histfeed::classic
