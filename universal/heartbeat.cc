// The heartbeat: an empty frame at a fixed interval, so a service sees a
// quiet source alive.
#include "histfeed.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kTickMs = 100;

// Whether the heartbeat should go on; when not, it is marked ended under
// the same lock a new interval is set with.
bool KeepBeating(MxConnection& connection) {
  std::lock_guard<std::mutex> lock(connection.control.heartBeatMutex);
  if (connection.heartBeatSeconds.load() >= 1 && connection.threadsRun.load() != 0) return true;
  connection.control.heartBeatRunning = false;
  return false;
}

void MarkEnded(MxConnection& connection) {
  std::lock_guard<std::mutex> lock(connection.control.heartBeatMutex);
  connection.control.heartBeatRunning = false;
}

// Waits one interval in 100 ms ticks, reading the interval after every
// tick. Returns false when closing ended the wait.
bool WaitOneInterval(MxConnection& connection) {
  int64_t ticks = 0;
  while (connection.threadsRun.load() != 0) {
    if (connection.control.heartBeatStop.Wait(kTickMs)) return false;
    ++ticks;
    if (ticks >= int64_t{connection.heartBeatSeconds.load()} * 10) return true;
  }
  return false;
}

int32_t SetHeartBeat(int32_t key, int32_t seconds) {
  if (!IsValidKey(key)) return -1;
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  std::lock_guard<std::mutex> lifecycle(control.lifecycle);
  if (connection.inUse.load() == 0) return -1;
  {
    std::lock_guard<std::mutex> lock(control.heartBeatMutex);
    connection.heartBeatSeconds = seconds;
    // A running thread picks the new interval up within one tick.
    if (seconds <= 0 || control.heartBeatRunning) return 0;
    control.heartBeatRunning = true;
  }
  control.heartBeatThread.Join(-1);  // one that has just decided to end
  control.heartBeatStop.Reset();
  connection.threadsRun = 1;
  if (control.heartBeatThread.Start(kThreadStackBytes, HeartBeatThread, key) != 0) {
    // Not left looking alive: the next positive interval tries again.
    std::lock_guard<std::mutex> lock(control.heartBeatMutex);
    control.heartBeatRunning = false;
    connection.heartBeatSeconds = 0;
    return -2;
  }
  return 0;
}

}  // namespace

void HeartBeatThread(int32_t key) {
  MxConnection& connection = Connection(key);
  uint8_t frame[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(frame);
  while (KeepBeating(connection)) {
    if (!WaitOneInterval(connection)) {
      MarkEnded(connection);
      return;
    }
    if (!KeepBeating(connection)) return;
    // A heartbeat is a data frame like any other; its result is not needed.
    VornUniversalSendData(key, reinterpret_cast<const char*>(frame), kHeartBeatFrameBytes, 0);
  }
}

}  // namespace histfeed::universal

extern "C" HISTFEED_API int32_t VornMxSetHeartBeat(int32_t key, int32_t seconds) {
  return histfeed::universal::SetHeartBeat(key, seconds);
}
