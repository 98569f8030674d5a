// SPDX-License-Identifier: Apache-2.0
#include "tests/support/scaled_clock.h"

#include <thread>

#include "platform/clock.h"

namespace histfeed::testing {

ScopedTimeScale::ScopedTimeScale(double factor) : previous_(platform::TimeScale()) {
  platform::SetTimeScale(factor);
}

ScopedTimeScale::~ScopedTimeScale() { platform::SetTimeScale(previous_); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds realTimeout) {
  auto deadline = std::chrono::steady_clock::now() + realTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace histfeed::testing
