// The reconnect threads: each watches one service of a key and rebuilds
// its connection every 5 seconds while it is marked not connected.
#include "platform/clock.h"
#include "universal/diagnostics.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

// The primary's failures are reported at most this often.
constexpr int64_t kPrimaryMessageSpacingMs = 300 * 1000;

enum class Reconnect { kConnected, kNoSocket, kRefused, kStopped };

// Replaces the service's socket with a new, connected one. The connect
// blocks, but closing can abort it through link.pending.
// On success the state becomes connected together with the new handle,
// so no sender sees one without the other.
Reconnect ReconnectService(MxConnection& connection, ServiceLink& link,
                           std::atomic<platform::SocketHandle>& socket, std::atomic<int32_t>& state,
                           const platform::Ipv4Address& address) {
  CloseLinkSocket(link, socket);
  platform::SocketHandle handle = platform::OpenStreamSocket();
  if (handle == platform::kInvalidSocket) return Reconnect::kNoSocket;
  {
    std::lock_guard<std::mutex> guard(link.handleGuard);
    link.pending.store(handle);
  }
  // Closing sets the stop event before it aborts the pending socket, and
  // repeats the abort while it waits, so no connect outlives closing.
  bool connected = !connection.control.reconnectStop.IsSet() && platform::ConnectSocket(handle, address);

  std::lock_guard<std::mutex> exchange(link.exchange);
  std::lock_guard<std::mutex> guard(link.handleGuard);
  link.pending.store(platform::kInvalidSocket);
  if (connection.control.reconnectStop.IsSet()) {
    platform::CloseSocket(handle);
    return Reconnect::kStopped;  // an aborted connect is no failure worth a line
  }
  if (!connected) {
    platform::CloseSocket(handle);
    return Reconnect::kRefused;
  }
  socket.store(handle);
  state = kConnected;
  // Queued frames can go now; no need to wait out the queue's idle pause.
  connection.control.queueWake.Set();
  return Reconnect::kConnected;
}

// Sleeps between rounds; false once the thread should end.
bool WaitForNextRound(MxConnection& connection) {
  if (connection.control.reconnectStop.Wait(kReconnectIntervalMs)) return false;
  return connection.threadsRun.load() != 0;
}

}  // namespace

void PrimaryReconnectThread(int32_t key) {
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  bool reportedOnce = false;
  int64_t lastMessageMs = 0;
  do {
    int64_t nowMs = platform::MonotonicMs();
    if (connection.primaryState.load() != kDisconnected) continue;
    Reconnect outcome = ReconnectService(connection, control.primaryLink, connection.primarySocket,
                                         connection.primaryState, connection.primaryAddress);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;
    if (!reportedOnce || nowMs > lastMessageMs + kPrimaryMessageSpacingMs) {
      reportedOnce = true;
      lastMessageMs = platform::MonotonicMs();
      if (outcome == Reconnect::kNoSocket) {
        PassMessage("Error cannot open socket key=%d", key);
      } else {
        PassMessage("Error cannot connect to service key=%d", key);
      }
    }
    connection.primaryState = kDisconnected;
  } while (WaitForNextRound(connection));
}

void AlternateReconnectThread(int32_t key) {
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  do {
    if (connection.alternateState.load() != kDisconnected) continue;
    Reconnect outcome = ReconnectService(connection, control.alternateLink, connection.alternateSocket,
                                         connection.alternateState, connection.alternateAddress);
    if (outcome == Reconnect::kConnected) continue;
    if (outcome == Reconnect::kStopped) break;
    if (outcome == Reconnect::kNoSocket) {
      PassMessage("Error cannot open socket");
    } else {
      PassMessage("Error cannot connect to alternate service");
    }
    connection.alternateState = kDisconnected;
  } while (WaitForNextRound(connection));
}

}  // namespace histfeed::universal
