// SPDX-License-Identifier: Apache-2.0
// The heartbeat of a connection key: an empty frame at a fixed interval,
// so that a service sees a quiet source alive.
#ifndef HISTFEED_UNIVERSAL_HEARTBEAT_H_
#define HISTFEED_UNIVERSAL_HEARTBEAT_H_

#include <atomic>
#include <cstdint>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "universal/outbox.h"

namespace histfeed::universal {

class HeartBeat {
 public:
  // Heartbeat frames go out through `outbox`, like any data frame.
  explicit HeartBeat(Outbox& outbox) : outbox_(outbox) {}
  HeartBeat(const HeartBeat&) = delete;
  HeartBeat& operator=(const HeartBeat&) = delete;

  // A key being taken: no interval.
  void Reset() { seconds_ = 0; }

  // Sets the interval; 0 or less stops the heartbeat, and a running one
  // picks a new interval up within 100 ms. Starts the thread when none
  // runs. Returns 0, or -2 when the thread could not be started (the
  // interval is then 0 again, so the next call tries once more).
  int32_t Set(int32_t seconds) EXCLUDES(mutex_);

  // Asks the thread to end; Join waits for it.
  void Stop();
  bool Join(int64_t timeoutMs) { return thread_.Join(timeoutMs); }

  int32_t Seconds() const { return seconds_.load(); }
  // Whether a thread is beating, or has not yet decided to end.
  bool Running() EXCLUDES(mutex_);

 private:
  void Beat();
  bool KeepBeating() EXCLUDES(mutex_);
  void MarkEnded() EXCLUDES(mutex_);
  bool WaitOneInterval();

  Outbox& outbox_;
  std::atomic<int32_t> seconds_{0};
  std::atomic<bool> threadRuns_{false};
  platform::Thread thread_;
  platform::Event stop_;
  // Orders the thread's decision to end against a new interval, so a
  // heartbeat is never silently dead.
  platform::Mutex mutex_;
  bool running_ GUARDED_BY(mutex_) = false;
};

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_HEARTBEAT_H_
