// SPDX-License-Identifier: Apache-2.0
#include "platform/event.h"

#include "platform/clock.h"

namespace histfeed::platform {

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  signalled_.notify_all();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::Wait(int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs < 0) {
    signalled_.wait(lock, [this] { return set_; });
    return true;
  }
  return signalled_.wait_for(lock, RealDuration(timeoutMs), [this] { return set_; });
}

}  // namespace histfeed::platform
