// SPDX-License-Identifier: Apache-2.0
// The configuration record: one point described to its service in a
// 1,016-byte request of fixed-width text fields, sent synchronously in the
// caller's thread.
#ifndef HISTFEED_CLASSIC_CONFIG_REQUEST_H_
#define HISTFEED_CLASSIC_CONFIG_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "wire/classic_request_layout.h"
#include "histfeed/tarvo_plugin.h"

namespace histfeed::classic {

inline constexpr size_t kConfigServiceSize = 18;  // 17 characters and a terminator
inline constexpr size_t kConfigPointIdSize = 9;   // 8 characters and a terminator
// Characters of a caller's point name read at most: room for blanks
// around a service name and a point identifier cut to their sizes.
inline constexpr size_t kConfigPointNameMax = 1024;
inline constexpr int kConfigFieldTexts = config_layout::kFieldCount;
inline constexpr int kConfigRows = config_layout::kRowCount;

// The caller's arguments, in the order they are passed and named as the
// public header names them: by the kind of field each fills and its place
// among the fields of that kind. What the fields mean is the service's.
struct ConfigArguments {
  const char* pointName;  // service name, second dot, point identifier
  const char* firstText;  // 60 characters, trimmed and upper-cased
  const char* secondText;  // 24 characters
  const char* thirdText;  // 8 characters
  int32_t analog;
  int32_t flag1;
  int32_t shortNumber1;  // four digits, low 16 bits
  int32_t flag2;
  const char* shortText1;  // 16 characters
  const char* shortText2;  // 16 characters
  int32_t flag3;
  double value1;
  int32_t flag4;
  double value2;
  int32_t flag5;
  double value3;
  int32_t flag6;
  double value4;
  int32_t flag7;
  double value5;
  int32_t flag8;
  double value6;
  int32_t flag9;
  int32_t flag10;
  int32_t longNumber1;  // six digits
  int32_t longNumber2;  // six digits
  int32_t shortNumber2;  // four digits, low 16 bits
  double value7;
  int32_t shortNumber3;  // four digits, low 16 bits
  double value8;
  double value9;
  const char* fields[kConfigFieldTexts];  // field1 to field9, may be null
  const char* rows[kConfigRows];          // row1 to row10, may be null
};

// Splits a point name: leading spaces skipped, the first 39 characters
// after them looked at; the service name is the text up to the second dot
// (at most 17 characters), the point identifier the text after it (at
// most 8). False when there is no such split.
bool ParsePointName(const char* pointName, char (&service)[kConfigServiceSize],
                    char (&pointId)[kConfigPointIdSize]);

// Fills a zeroed request: header code 8103 and count 1, then the record
// from the arguments. `pointId` goes into the identifier field. With
// `splitRows` the ten text rows carry firstText and secondText in pieces of 32
// characters; otherwise row1 to row10.
void BuildConfigRequest(const ConfigArguments& arguments, const char* pointId, bool splitRows,
                        uint8_t (&request)[TARVO_CONFIG_REQUEST_SIZE]);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_CONFIG_REQUEST_H_
