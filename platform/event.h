// SPDX-License-Identifier: Apache-2.0
// A manual-reset event: threads wait on it with a time-out on the library
// clock, and one Set() wakes them all. Used to make long sleeps of
// background threads interruptible.
#ifndef HISTFEED_PLATFORM_EVENT_H_
#define HISTFEED_PLATFORM_EVENT_H_

#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace histfeed::platform {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() EXCLUDES(mutex_);
  void Reset() EXCLUDES(mutex_);
  bool IsSet() EXCLUDES(mutex_);

  // Waits until the event is set or `timeoutMs` of library time have
  // passed (-1 waits forever). Returns whether the event is set.
  bool Wait(int64_t timeoutMs) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  CondVar signalled_;
  bool set_ GUARDED_BY(mutex_) = false;
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_EVENT_H_
