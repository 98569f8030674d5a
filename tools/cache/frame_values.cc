// SPDX-License-Identifier: Apache-2.0
#include "tools/cache/frame_values.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "service/listeners/universal_frame_rows.h"
#include "timezone/civil_date.h"
#include "wire/frame_format.h"

namespace histfeed::cache_tool {

service::Batch FrameRows(const uint8_t* frame, uint16_t length) {
  universal::DecodedFrame decoded;
  if (universal::DecodeFrame(std::span(frame, length), &decoded) != universal::FrameError::kNone) {
    return {};
  }
  return service::UniversalFrameRows(decoded);
}

void ValueTotals::Add(const uint8_t* frame, uint16_t length) {
  records += universal::FrameRecordCount(frame, length);
  service::Batch rows = FrameRows(frame, length);
  for (const service::ValueRow& row : rows.values) {
    ++values;
    firstTime = std::min(firstTime.value_or(row.time), row.time);
    lastTime = std::max(lastTime.value_or(row.time), row.time);
  }
}

void ValueTotals::Add(const ValueTotals& other) {
  records += other.records;
  values += other.values;
  if (other.firstTime) firstTime = std::min(firstTime.value_or(*other.firstTime), *other.firstTime);
  if (other.lastTime) lastTime = std::max(lastTime.value_or(*other.lastTime), *other.lastTime);
}

std::string TimeText(int64_t seconds, int32_t msec) {
  std::tm utc = SplitSeconds(seconds);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d",
                static_cast<long long>(utc.tm_year) + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  std::string result = text;
  if (msec >= 0) {
    std::snprintf(text, sizeof text, ".%03d", msec);
    result += text;
  }
  return result;
}

}  // namespace histfeed::cache_tool
