// SPDX-License-Identifier: Apache-2.0
// The heartbeat: an empty frame at a fixed interval, so a service sees a
// quiet source alive.
#include "histfeed.h"
#include "wire/frame_format.h"
#include "universal/key.h"
#include "universal/queued_sending.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kTickMs = 100;

// Whether the heartbeat should go on; when not, it is marked ended under
// the same lock a new interval is set with.
bool KeepBeating(Key& key) {
  platform::MutexLock lock(key.heartBeatMutex);
  if (key.heartBeatSeconds.load() >= 1 && key.threadsRun.load() != 0) return true;
  key.heartBeatRunning = false;
  return false;
}

void MarkEnded(Key& key) {
  platform::MutexLock lock(key.heartBeatMutex);
  key.heartBeatRunning = false;
}

// Waits one interval in 100 ms ticks, reading the interval after every
// tick. Returns false when closing ended the wait.
bool WaitOneInterval(Key& key) {
  int64_t ticks = 0;
  while (key.threadsRun.load() != 0) {
    if (key.heartBeatStop.Wait(kTickMs)) return false;
    ++ticks;
    if (ticks >= int64_t{key.heartBeatSeconds.load()} * 10) return true;
  }
  return false;
}

void HeartBeatThread(int32_t number) {
  Key& key = KeyAt(number);
  uint8_t frame[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(frame);
  while (KeepBeating(key)) {
    if (!WaitOneInterval(key)) {
      MarkEnded(key);
      return;
    }
    if (!KeepBeating(key)) return;
    // A heartbeat is a data frame like any other; its result is not needed.
    SendOrQueue(key, reinterpret_cast<const char*>(frame), kHeartBeatFrameBytes, 0);
  }
}

// Records the interval; true when a thread must be started for it.
bool SetInterval(Key& key, int32_t seconds) {
  platform::MutexLock lock(key.heartBeatMutex);
  key.heartBeatSeconds = seconds;
  // A running thread picks the new interval up within one tick.
  if (seconds <= 0 || key.heartBeatRunning) return false;
  key.heartBeatRunning = true;
  return true;
}

int32_t SetHeartBeat(Key& key, int32_t seconds) {
  platform::MutexLock lifecycle(key.lifecycle);
  if (key.inUse.load() == 0) return HISTFEED_KEY_NOT_READY;
  if (!SetInterval(key, seconds)) return 0;
  key.heartBeatThread.Join(-1);  // one that has just decided to end
  key.heartBeatStop.Reset();
  key.threadsRun = 1;
  if (key.heartBeatThread.Start(kThreadStackBytes, HeartBeatThread, key.number) != 0) {
    // Not left looking alive: the next positive interval tries again.
    platform::MutexLock lock(key.heartBeatMutex);
    key.heartBeatRunning = false;
    key.heartBeatSeconds = 0;
    return HISTFEED_HEARTBEAT_NOT_STARTED;
  }
  return 0;
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API int32_t VornMxSetHeartBeat(int32_t key, int32_t seconds) {
  histfeed::universal::Key* found = histfeed::universal::FindKey(key);
  return found != nullptr ? histfeed::universal::SetHeartBeat(*found, seconds)
                          : HISTFEED_KEY_NOT_READY;
}
