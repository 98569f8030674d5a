// SPDX-License-Identifier: Apache-2.0
#include "universal/heartbeat.h"

#include "histfeed.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kTickMs = 100;

}  // namespace

// Whether the heartbeat should go on; when not, it is marked ended under
// the same lock a new interval is set with.
bool HeartBeat::KeepBeating() {
  platform::MutexLock lock(mutex_);
  if (seconds_.load() >= 1 && threadRuns_.load()) return true;
  running_ = false;
  return false;
}

void HeartBeat::MarkEnded() {
  platform::MutexLock lock(mutex_);
  running_ = false;
}

bool HeartBeat::Running() {
  platform::MutexLock lock(mutex_);
  return running_;
}

// Waits one interval in 100 ms ticks, reading the interval after every
// tick. Returns false when closing ended the wait.
bool HeartBeat::WaitOneInterval() {
  int64_t ticks = 0;
  while (threadRuns_.load()) {
    if (stop_.Wait(kTickMs)) return false;
    ++ticks;
    if (ticks >= int64_t{seconds_.load()} * 10) return true;
  }
  return false;
}

void HeartBeat::Beat() {
  uint8_t frame[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(frame);
  while (KeepBeating()) {
    if (!WaitOneInterval()) {
      MarkEnded();
      return;
    }
    if (!KeepBeating()) return;
    // A heartbeat is a data frame like any other; its result is not needed.
    outbox_.SendOrQueue(reinterpret_cast<const char*>(frame), kHeartBeatFrameBytes, false);
  }
}

int32_t HeartBeat::Set(int32_t seconds) {
  {
    platform::MutexLock lock(mutex_);
    seconds_ = seconds;
    // A running thread picks the new interval up within one tick.
    if (seconds <= 0 || running_) return 0;
    running_ = true;
  }
  thread_.Join(-1);  // one that has just decided to end
  stop_.Reset();
  threadRuns_ = true;
  if (thread_.Start(kThreadStackBytes, [this] { Beat(); }) != 0) {
    // Not left looking alive: the next positive interval tries again.
    platform::MutexLock lock(mutex_);
    running_ = false;
    seconds_ = 0;
    return HISTFEED_HEARTBEAT_NOT_STARTED;
  }
  return 0;
}

void HeartBeat::Stop() {
  threadRuns_ = false;
  stop_.Set();
}

}  // namespace histfeed::universal
