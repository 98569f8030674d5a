// SPDX-License-Identifier: Apache-2.0
// The library's clocks. Every sleep, wait and time-out of the library is
// measured on the monotonic clock below, which tests may run faster than
// real time so that long constants (seconds of back-off) stay as they are
// while the suite stays fast. The calendar clock is never scaled.
#ifndef HISTFEED_PLATFORM_CLOCK_H_
#define HISTFEED_PLATFORM_CLOCK_H_

#include <chrono>
#include <cstdint>

namespace histfeed::platform {

// Milliseconds of library time since an arbitrary start; never goes back.
int64_t MonotonicMs();

// Sleeps for `ms` milliseconds of library time (0 or less yields).
void SleepMs(int64_t ms);

struct CalendarTime {
  int64_t seconds;       // since 1970-01-01 00:00:00 UTC
  int32_t milliseconds;  // 0..999
};

// The system's UTC wall clock.
CalendarTime CalendarNow();

// Makes library time run `factor` times faster than real time (1 = real).
// Meant for tests; takes effect for waits that start afterwards.
void SetTimeScale(double factor);
double TimeScale();

// The real-time span that `ms` milliseconds of library time last now.
std::chrono::microseconds RealDuration(int64_t ms);

// The real-time moment `ms` milliseconds of library time from now, for
// waits that may wake early and wait again (CondVar::WaitUntil).
inline std::chrono::steady_clock::time_point DeadlineAfter(int64_t ms) {
  return std::chrono::steady_clock::now() + RealDuration(ms);
}

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_CLOCK_H_
