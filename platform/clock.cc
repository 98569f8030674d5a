// SPDX-License-Identifier: Apache-2.0
#include "platform/clock.h"

#include <atomic>
#include <thread>

#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Library time is continuous across changes of the scale: each change
// starts a new segment from the library time reached so far.
struct TimeBase {
  Mutex mutex;
  SteadyClock::time_point segmentStart GUARDED_BY(mutex) = SteadyClock::now();
  double segmentStartMs GUARDED_BY(mutex) = 0;
  // Read without the lock by RealDuration; changed under it.
  std::atomic<double> scale{1.0};
};

TimeBase& Base() {
  static NoDestructor<TimeBase> base;
  return *base;
}

double LibraryMsLocked(TimeBase& base, SteadyClock::time_point now) REQUIRES(base.mutex) {
  double realMs = std::chrono::duration<double, std::milli>(now - base.segmentStart).count();
  return base.segmentStartMs + realMs * base.scale.load();
}

}  // namespace

int64_t MonotonicMs() {
  TimeBase& base = Base();
  MutexLock lock(base.mutex);
  return static_cast<int64_t>(LibraryMsLocked(base, SteadyClock::now()));
}

void SleepMs(int64_t ms) {
  if (ms <= 0) {
    std::this_thread::yield();
    return;
  }
  // Some systems round short sleeps down to nothing (Windows sleeps whole
  // milliseconds), so sleep again until the library time has passed.
  const int64_t until = MonotonicMs() + ms;
  std::this_thread::sleep_for(RealDuration(ms));
  for (int64_t now = MonotonicMs(); now < until; now = MonotonicMs()) {
    std::this_thread::sleep_for(RealDuration(until - now));
  }
}

CalendarTime CalendarNow() {
  auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  return CalendarTime{ms / 1000, static_cast<int32_t>(ms % 1000)};
}

void SetTimeScale(double factor) {
  if (!(factor > 0)) factor = 1.0;
  TimeBase& base = Base();
  MutexLock lock(base.mutex);
  auto now = SteadyClock::now();
  base.segmentStartMs = LibraryMsLocked(base, now);
  base.segmentStart = now;
  base.scale.store(factor);
}

double TimeScale() { return Base().scale.load(); }

std::chrono::microseconds RealDuration(int64_t ms) {
  if (ms <= 0) return std::chrono::microseconds(0);
  double micros = static_cast<double>(ms) * 1000.0 / TimeScale();
  return std::chrono::microseconds(static_cast<int64_t>(micros) + 1);
}

}  // namespace histfeed::platform
