// SPDX-License-Identifier: Apache-2.0
#include "classic/config_request.h"

#include <cstring>

#include "classic/fixed_text.h"
#include "wire/classic_request_layout.h"

namespace histfeed::classic {
namespace {

constexpr size_t kPointNameLookedAt = 39;
constexpr size_t kServiceMax = kConfigServiceSize - 1;
constexpr size_t kPointIdMax = kConfigPointIdSize - 1;
constexpr size_t kFirstTextWidth = config_layout::kFirstText.size;
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

  char firstText[kFirstTextWidth + 1] = {};
  TextPart trimmed = Trimmed(a.firstText, kFirstTextWidth);
  for (size_t i = 0; i < trimmed.length; ++i) firstText[i] = UpperAscii(trimmed.start[i]);

  using namespace config_layout;
  uint8_t* r = request;
  PutText(r, kPointId, pointId);
  PutText(r, kFirstText, firstText);
  PutText(r, kSecondText, a.secondText);
  PutText(r, kThirdText, a.thirdText);
  std::memcpy(r + kAnalog.offset, a.analog != 0 ? "AI" : "DI", kAnalog.size);
  PutFlag(r, kFlag1, a.flag1);
  PutFourDigits(r, kShortNumber1, a.shortNumber1);
  PutFlag(r, kFlag2, a.flag2);
  PutText(r, kShortText1, a.shortText1);
  PutText(r, kShortText2, a.shortText2);
  PutFlag(r, kFlag3, a.flag3);
  PutNumber(r, kValue1, a.value1);
  PutFlag(r, kFlag4, a.flag4);
  PutNumber(r, kValue2, a.value2);
  PutFlag(r, kFlag5, a.flag5);
  PutNumber(r, kValue3, a.value3);
  PutFlag(r, kFlag6, a.flag6);
  PutNumber(r, kValue4, a.value4);
  PutFlag(r, kFlag7, a.flag7);
  PutNumber(r, kValue5, a.value5);
  PutFlag(r, kFlag8, a.flag8);
  PutNumber(r, kValue6, a.value6);
  PutFlag(r, kFlag9, a.flag9);
  PutFlag(r, kFlag10, a.flag10);
  PutSixDigits(r, kLongNumber1, a.longNumber1);
  PutSixDigits(r, kLongNumber2, a.longNumber2);
  PutFourDigits(r, kShortNumber2, a.shortNumber2);
  PutNumber(r, kValue7, a.value7);
  PutFourDigits(r, kShortNumber3, a.shortNumber3);
  PutNumber(r, kValue8, a.value8);
  PutNumber(r, kValue9, a.value9);
  for (int k = 0; k < kConfigFieldTexts; ++k) {
    CopyFixed(r + kFirstField.offset + kFirstField.size * size_t(k), kFirstField.size, a.fields[k]);
  }
  uint8_t* rows = r + kFirstRow.offset;
  if (splitRows) {
    PutPieces(rows, kRowsOfText60, a.firstText);
    PutPieces(rows + kRowWidth * kRowsOfText60, kConfigRows - kRowsOfText60, a.secondText);
  } else {
    for (int k = 0; k < kConfigRows; ++k) CopyFixed(rows + kRowWidth * k, kRowWidth, a.rows[k]);
  }
}

}  // namespace histfeed::classic
