// SPDX-License-Identifier: Apache-2.0
// The configuration record: one point described to its service in a
// 1,016-byte request of fixed-width text fields, sent synchronously in the
// caller's thread.
#ifndef HISTFEED_CLASSIC_CONFIG_REQUEST_H_
#define HISTFEED_CLASSIC_CONFIG_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "classic/request_layout.h"
#include "client_library/tarvo_plugin.h"

namespace histfeed::classic {

inline constexpr size_t kConfigServiceSize = 18;  // 17 characters and a terminator
inline constexpr size_t kConfigPointIdSize = 9;   // 8 characters and a terminator
// Characters of a caller's point name read at most: room for blanks
// around a service name and a point identifier cut to their sizes.
inline constexpr size_t kConfigPointNameMax = 1024;
inline constexpr int kConfigFieldTexts = config_layout::kFieldCount;
inline constexpr int kConfigRows = config_layout::kRowCount;

// The caller's arguments, numbered as they are passed.
struct ConfigArguments {
  const char* pointName;   // 1: service name, second dot, point identifier
  const char* text60;      // 2
  const char* text24;      // 3
  const char* text8;       // 4
  int32_t analog;          // 5
  int32_t flag6;
  int32_t number7;         // four digits, low 16 bits
  int32_t flag8;
  const char* text9;       // 16 characters
  const char* text10;      // 16 characters
  int32_t flag11;
  double number12;
  int32_t flag13;
  double number14;
  int32_t flag15;
  double number16;
  int32_t flag17;
  double number18;
  int32_t flag19;
  double number20;
  int32_t flag21;
  double number22;
  int32_t flag23;
  int32_t flag24;
  int32_t number25;        // six digits
  int32_t number26;        // six digits
  int32_t number27;        // four digits, low 16 bits
  double number28;
  int32_t number29;        // four digits, low 16 bits
  double number30;
  double number31;
  const char* fields[kConfigFieldTexts];  // 32 to 40, may be null
  const char* rows[kConfigRows];          // 41 to 50, may be null
};

// Splits a point name: leading spaces skipped, the first 39 characters
// after them looked at; the service name is the text up to the second dot
// (at most 17 characters), the point identifier the text after it (at
// most 8). False when there is no such split.
bool ParsePointName(const char* pointName, char (&service)[kConfigServiceSize],
                    char (&pointId)[kConfigPointIdSize]);

// Fills a zeroed request: header code 8103 and count 1, then the record
// from the arguments. `pointId` goes into the identifier field. With
// `splitRows` the ten text rows carry texts 2 and 3 in pieces of 32
// characters; otherwise rows 41 to 50.
void BuildConfigRequest(const ConfigArguments& arguments, const char* pointId, bool splitRows,
                        uint8_t (&request)[TARVO_CONFIG_REQUEST_SIZE]);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_CONFIG_REQUEST_H_
