// SPDX-License-Identifier: Apache-2.0
// The library's calendar clock and its conversion to local time.
#ifndef HISTFEED_TIMEZONE_LOCAL_TIME_H_
#define HISTFEED_TIMEZONE_LOCAL_TIME_H_

#include <cstdint>
#include <ctime>

namespace histfeed {

// The current time in whole seconds since 1970-01-01 00:00:00 UTC, also
// stored through `time` when it is not null.
int32_t CurrentTime(int32_t* time);

// The local time at `*time` (seconds since 1970-01-01 00:00:00 UTC) in a
// record owned by the calling thread and overwritten by its next call; null
// when `time` is null or negative. The zone is "TZ" when that is set and not
// empty, else the system's own; daylight time follows the settings file's
// rules where they apply.
std::tm* ToLocalTime(const int32_t* time);

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_LOCAL_TIME_H_
