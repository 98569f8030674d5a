// SPDX-License-Identifier: Apache-2.0
#include "platform/daylight_changes.h"

namespace histfeed::platform {
namespace {

constexpr int64_t kDaySeconds = 86400;

// Days from 1970-01-01 to January 1st of `year` in the proleptic
// Gregorian calendar.
int64_t DaysToNewYear(int64_t year) {
  const int64_t y = year - 1;  // whole years before it
  return 365 * (y - 1969) + (y / 4 - 1969 / 4) - (y / 100 - 1969 / 100) + (y / 400 - 1969 / 400);
}

}  // namespace

std::vector<DaylightChange> DaylightChangesAround(int32_t year,
                                                  const std::function<bool(int64_t)>& isDaylight) {
  std::vector<DaylightChange> changes;
  const int64_t yearStart = DaysToNewYear(year) * kDaySeconds;
  const int64_t begin = yearStart - 2 * kDaySeconds;
  const int64_t end = yearStart + 368 * kDaySeconds;
  bool before = isDaylight(begin);
  for (int64_t t = begin + kDaySeconds; t <= end; t += kDaySeconds) {
    bool now = isDaylight(t);
    if (now == before) continue;
    int64_t low = t - kDaySeconds;  // still the old state
    int64_t high = t;               // already the new one
    while (high - low > 1) {
      int64_t middle = low + (high - low) / 2;
      (isDaylight(middle) == before ? low : high) = middle;
    }
    changes.push_back({low, high, now});
    before = now;
  }
  return changes;
}

}  // namespace histfeed::platform
