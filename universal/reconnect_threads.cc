// SPDX-License-Identifier: Apache-2.0
// Stopping: every wait of a key's threads ends when its stop event is
// set, and every blocking socket call of theirs ends when the key's links
// are aborted, so stopping is prompt.
#include "universal/reconnect_threads.h"

#include "platform/clock.h"
#include "universal/diagnostics.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kReconnectIntervalMs = 5000;
// The primary's failures are reported at most this often.
constexpr int64_t kPrimaryMessageSpacingMs = 300 * 1000;
// Aborting again while waiting covers a connect that began just after
// the previous abort.
constexpr int64_t kAbortRepeatMs = 100;

// One reconnect round: queued frames can go as soon as the link is back,
// with no need to wait out the queue's idle pause.
Reconnect ReconnectRound(Key& key, ServiceLink& link) {
  Reconnect outcome = link.ReconnectOnce(key.reconnectStop);
  if (outcome == Reconnect::kConnected) key.queueWake.Set();
  return outcome;
}

// Sleeps between rounds; false once the thread should end.
bool WaitForNextRound(Key& key) {
  if (key.reconnectStop.Wait(kReconnectIntervalMs)) return false;
  return key.threadsRun.load() != 0;
}

void PrimaryReconnectThread(int32_t number) {
  Key& key = KeyAt(number);
  bool reportedOnce = false;
  int64_t lastMessageMs = 0;
  do {
    int64_t nowMs = platform::MonotonicMs();
    if (key.primary.state.load() != kDisconnected) continue;
    Reconnect outcome = ReconnectRound(key, key.primary);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;  // an aborted connect is no failure worth a line
    if (!reportedOnce || nowMs > lastMessageMs + kPrimaryMessageSpacingMs) {
      reportedOnce = true;
      lastMessageMs = platform::MonotonicMs();
      if (outcome == Reconnect::kNoSocket) {
        PassMessage("Error cannot open socket key=%d", number);
      } else {
        PassMessage("Error cannot connect to service key=%d", number);
      }
    }
    key.primary.state = kDisconnected;
  } while (WaitForNextRound(key));
}

void AlternateReconnectThread(int32_t number) {
  Key& key = KeyAt(number);
  do {
    if (key.alternate.state.load() != kDisconnected) continue;
    Reconnect outcome = ReconnectRound(key, key.alternate);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;
    if (outcome == Reconnect::kNoSocket) {
      PassMessage("Error cannot open socket");
    } else {
      PassMessage("Error cannot connect to alternate service");
    }
    key.alternate.state = kDisconnected;
  } while (WaitForNextRound(key));
}

void JoinAborting(Key& key, platform::Thread& thread) {
  while (!thread.Join(kAbortRepeatMs)) key.AbortLinks();
}

}  // namespace

void StartReconnectThread(Key& key, ServiceLink& link) {
  key.threadsRun = 1;
  platform::ThreadBody body = &link == &key.alternate ? AlternateReconnectThread
                                                      : PrimaryReconnectThread;
  link.reconnectThread.Start(kThreadStackBytes, body, key.number);
}

void StopReconnectThreads(Key& key) {
  key.reconnectStop.Set();
  if (!key.primary.reconnectThread.Started() && !key.alternate.reconnectThread.Started()) return;
  key.AbortLinks();
  JoinAborting(key, key.primary.reconnectThread);
  JoinAborting(key, key.alternate.reconnectThread);
}

void StopKeyThreads(Key& key) {
  key.threadsRun = 0;
  StopReconnectThreads(key);
  key.queueStop.Set();
  key.queueWake.Set();
  key.heartBeatStop.Set();
  // A frame on its way out is cut short by the aborted links.
  key.AbortLinks();
  JoinAborting(key, key.queueThread);
  JoinAborting(key, key.heartBeatThread);
}

}  // namespace histfeed::universal
