// SPDX-License-Identifier: Apache-2.0
// What the frames of a file carry, read as the reference service reads
// them: records, values and their time stamps.
#ifndef HISTFEED_TOOLS_CACHE_FRAME_VALUES_H_
#define HISTFEED_TOOLS_CACHE_FRAME_VALUES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "service/storage/batch.h"

namespace histfeed::cache_tool {

// The rows a frame would store; empty for a heartbeat or a frame that is
// not valid.
service::Batch FrameRows(const uint8_t* frame, uint16_t length);

struct ValueTotals {
  int64_t records = 0;  // records of every kind
  int64_t values = 0;
  std::optional<int64_t> firstTime, lastTime;  // seconds since 1970, UTC

  void Add(const uint8_t* frame, uint16_t length);
  void Add(const ValueTotals& other);
};

// "2023-11-14 22:13:20.250" (UTC).
std::string TimeText(int64_t seconds, int32_t msec = -1);

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_FRAME_VALUES_H_
