// SPDX-License-Identifier: Apache-2.0
// A manual-reset event: threads wait on it with a time-out on the library
// clock, and one Set() wakes them all. Used to make long sleeps of
// background threads interruptible.
#ifndef HISTFEED_PLATFORM_EVENT_H_
#define HISTFEED_PLATFORM_EVENT_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace histfeed::platform {

class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet();

  // Waits until the event is set or `timeoutMs` of library time have
  // passed (-1 waits forever). Returns whether the event is set.
  bool Wait(int64_t timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool set_ = false;
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_EVENT_H_
