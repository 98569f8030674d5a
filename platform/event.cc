// SPDX-License-Identifier: Apache-2.0
#include "platform/event.h"

#include "platform/clock.h"

namespace histfeed::platform {

void Event::Set() {
  {
    MutexLock lock(mutex_);
    set_ = true;
  }
  signalled_.SignalAll();
}

void Event::Reset() {
  MutexLock lock(mutex_);
  set_ = false;
}

bool Event::IsSet() {
  MutexLock lock(mutex_);
  return set_;
}

bool Event::Wait(int64_t timeoutMs) {
  MutexLock lock(mutex_);
  if (timeoutMs < 0) {
    while (!set_) signalled_.Wait(mutex_);
    return true;
  }
  const auto deadline = DeadlineAfter(timeoutMs);
  while (!set_) {
    if (!signalled_.WaitUntil(mutex_, deadline)) return set_;
  }
  return true;
}

}  // namespace histfeed::platform
