// SPDX-License-Identifier: Apache-2.0
// Where a zone's daylight state changes, found by sampling each day of a
// year and narrowing each change down to the second. Both operating
// systems answer "is this moment daylight time?"; the search is the same.
#ifndef HISTFEED_PLATFORM_DAYLIGHT_CHANGES_H_
#define HISTFEED_PLATFORM_DAYLIGHT_CHANGES_H_

#include <cstdint>
#include <functional>
#include <vector>

namespace histfeed::platform {

struct DaylightChange {
  int64_t lastBefore;  // the last second of the old state (UTC seconds)
  int64_t first;       // the first second of the new state
  bool toDaylight;
};

// The changes from two days before `year` begins (in UTC) to two days
// after it ends, a margin that covers every offset from UTC, in order.
std::vector<DaylightChange> DaylightChangesAround(int32_t year,
                                                  const std::function<bool(int64_t)>& isDaylight);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_DAYLIGHT_CHANGES_H_
