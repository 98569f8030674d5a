// SPDX-License-Identifier: Apache-2.0
// Runs the library clock faster for the duration of a test, so the
// library's fixed time constants (seconds of back-off and time-outs) pass
// quickly.
#ifndef HISTFEED_TESTS_SUPPORT_SCALED_CLOCK_H_
#define HISTFEED_TESTS_SUPPORT_SCALED_CLOCK_H_

#include <chrono>
#include <functional>

namespace histfeed::testing {

class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(double factor);
  ~ScopedTimeScale();
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;

 private:
  double previous_;
};

// Polls `condition` until it holds or `realTimeout` of real time passed.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds realTimeout = std::chrono::seconds(10));

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SCALED_CLOCK_H_
