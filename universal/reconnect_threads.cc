// SPDX-License-Identifier: Apache-2.0
// The reconnect threads: each watches one link of a key and rebuilds its
// connection every 5 seconds while it is marked not connected.
//
// Stopping: every wait of these threads ends when the stop event is set,
// and every blocking socket call of theirs ends when the links are
// aborted, so stopping is prompt.
#include "platform/clock.h"
#include "universal/diagnostics.h"
#include "universal/transport.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kReconnectIntervalMs = 5000;
// The primary's failures are reported at most this often.
constexpr int64_t kPrimaryMessageSpacingMs = 300 * 1000;
// Aborting again while waiting covers a connect that began just after
// the previous abort.
constexpr int64_t kAbortRepeatMs = 100;

}  // namespace

// Queued frames can go as soon as the link is back, with no need to wait
// out the queue's idle pause.
Reconnect Transport::ReconnectRound(ServiceLink& link) {
  Reconnect outcome = link.ReconnectOnce(reconnectStop_);
  if (outcome == Reconnect::kConnected && reconnected_) reconnected_();
  return outcome;
}

bool Transport::WaitForNextRound() { return !reconnectStop_.Wait(kReconnectIntervalMs); }

void Transport::PrimaryReconnectLoop() {
  bool reportedOnce = false;
  int64_t lastMessageMs = 0;
  do {
    int64_t nowMs = platform::MonotonicMs();
    if (primary_.state() != kDisconnected) continue;
    Reconnect outcome = ReconnectRound(primary_);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;  // an aborted connect is no failure worth a line
    if (!reportedOnce || nowMs > lastMessageMs + kPrimaryMessageSpacingMs) {
      reportedOnce = true;
      lastMessageMs = platform::MonotonicMs();
      if (outcome == Reconnect::kNoSocket) {
        PassMessage("Error cannot open socket key=%d", number_);
      } else {
        PassMessage("Error cannot connect to service key=%d", number_);
      }
    }
    primary_.SetState(kDisconnected);
  } while (WaitForNextRound());
}

void Transport::AlternateReconnectLoop() {
  do {
    if (alternate_.state() != kDisconnected) continue;
    Reconnect outcome = ReconnectRound(alternate_);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;
    if (outcome == Reconnect::kNoSocket) {
      PassMessage("Error cannot open socket");
    } else {
      PassMessage("Error cannot connect to alternate service");
    }
    alternate_.SetState(kDisconnected);
  } while (WaitForNextRound());
}

// A failed start is ignored: the link then stays as connecting left it.
void Transport::StartReconnectThread(ServiceLink& link) {
  if (&link == &alternate_) {
    link.StartReconnectThread(kThreadStackBytes, [this] { AlternateReconnectLoop(); });
  } else {
    link.StartReconnectThread(kThreadStackBytes, [this] { PrimaryReconnectLoop(); });
  }
}

void Transport::StopReconnecting() {
  reconnectStop_.Set();
  if (!primary_.ReconnectThreadStarted() && !alternate_.ReconnectThreadStarted()) return;
  Abort();
  while (!primary_.JoinReconnectThread(kAbortRepeatMs)) Abort();
  while (!alternate_.JoinReconnectThread(kAbortRepeatMs)) Abort();
}

}  // namespace histfeed::universal
