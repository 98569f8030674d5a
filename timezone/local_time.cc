// SPDX-License-Identifier: Apache-2.0
#include "timezone/local_time.h"

#include "platform/clock.h"
#include "timezone/civil_date.h"
#include "timezone/dst_rules.h"
#include "timezone/zone_state.h"

namespace histfeed {
namespace {

// 100-nanosecond units from 1601-01-01 to 1970-01-01, the origin of the
// system clock count the library's time values are defined on.
constexpr int64_t kUnitsFrom1601To1970 = 116444736000000000;
constexpr int64_t kUnitsPerSecond = 10000000;
constexpr int64_t kUnitsPerMillisecond = 10000;

}  // namespace

int32_t CurrentTime(int32_t* time) {
  // The zone is fixed at the first clock reading or conversion, whichever
  // comes first, so later changes to "TZ" never split the two.
  Zone();
  platform::CalendarTime now = platform::CalendarNow();
  const int64_t units =
      (now.seconds * 1000 + now.milliseconds) * kUnitsPerMillisecond + kUnitsFrom1601To1970;
  // Truncated, and cut to 32 bits like every time value of the library.
  const int32_t seconds = static_cast<int32_t>((units - kUnitsFrom1601To1970) / kUnitsPerSecond);
  if (time != nullptr) *time = seconds;
  return seconds;
}

std::tm* ToLocalTime(const int32_t* time) {
  if (time == nullptr || *time < 0) return nullptr;
  thread_local std::tm result;
  const ZoneState& zone = Zone();
  // Arithmetic in 64 bits: values near either end of the 32-bit range need
  // no separate path, nothing overflows.
  int64_t local = int64_t{*time} - zone.standardOffset;
  result = SplitSeconds(local);
  if (zone.hasDaylight && IsDaylightTime(result) != 0) {
    local -= zone.daylightBias;
    result = SplitSeconds(local);
    result.tm_isdst = 1;
  }
  return &result;
}

}  // namespace histfeed
