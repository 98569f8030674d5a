// SPDX-License-Identifier: Apache-2.0
// One service connection of a key, the primary or the alternate: where it
// goes, its socket, its state, its reconnect thread and the locks that
// keep these consistent while sending threads, the reconnect thread and
// closing all use it.
#ifndef HISTFEED_UNIVERSAL_SERVICE_LINK_H_
#define HISTFEED_UNIVERSAL_SERVICE_LINK_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"

namespace histfeed::universal {

// The state word of a service, as the status items report it.
enum LinkState : int32_t {
  kDisconnected = 0,
  kConnected = 1,
  kNoAlternate = 2,  // an alternate that was not asked for
};

// What happened to one frame on one service.
struct LinkExchange {
  int32_t sent = 0;       // bytes sent, or 0 / -1 when the send failed
  int32_t ackResult = 0;  // 0, or -106 when no answer could be read
  char ack = 0;
};

// What one reconnect attempt came to.
enum class Reconnect { kConnected, kNoSocket, kRefused, kStopped };

// Lock contract:
// - `exchange_` is held for a whole frame exchange (send plus reading the
//   acknowledgement), so concurrent senders never take each other's byte;
//   it is also held to close or replace the socket, so nobody closes a
//   handle that a sender is using.
// - `handleGuard_` is held briefly whenever a handle is closed, and while
//   one is shut down to wake blocked calls; so a shutdown never hits a
//   handle number that the system has already given to something else.
class ServiceLink {
 public:
  // `tag` names the service in trace lines ("PRI" or "ALT").
  explicit ServiceLink(const char* tag) : tag_(tag) {}
  ServiceLink(const ServiceLink&) = delete;
  ServiceLink& operator=(const ServiceLink&) = delete;

  // The state as the status items report it. Sending threads, the
  // reconnect thread and closing all write it.
  LinkState state() const { return state_.load(); }
  void SetState(LinkState state) { state_.store(state); }
  bool Connected() const { return state_.load() == kConnected; }

  // Written by connecting before the link's reconnect thread starts.
  const platform::Ipv4Address& address() const { return address_; }
  platform::SocketHandle socket() const { return socket_.load(); }

  // Resolves `host` into the address; false when the name is unknown
  // (the address is then empty).
  bool Resolve(const char* host, int32_t port);

  // Opens a socket in place of the current one and connects it. Returns
  // false when no socket could be created; *connected tells how the
  // connect went.
  bool OpenAndConnect(bool* connected);

  // Sends the frame and, when asked, reads the one-byte answer within
  // `ackTimeoutMs`. The link stays locked for both. A failed send, or a
  // connection the peer closed before answering, marks the link not
  // connected.
  LinkExchange Send(const char* frame, int32_t length, bool readAck, int64_t ackTimeoutMs)
      EXCLUDES(exchange_);

  // Replaces the socket with a new, connected one. The connect blocks, but
  // Abort() cuts it short; once `stop` is set the attempt ends as stopped.
  // On success the state becomes connected together with the new handle,
  // so no sender sees one without the other.
  Reconnect ReconnectOnce(platform::Event& stop) EXCLUDES(exchange_, handleGuard_);

  // Wakes every blocked call on the current and pending sockets.
  void Abort() EXCLUDES(handleGuard_);

  // Closes the current socket and leaves the invalid handle in its place.
  // Waits for a frame exchange under way to end.
  void CloseSocket() EXCLUDES(exchange_, handleGuard_);

  // Takes a socket connected elsewhere as the link's own and marks the
  // link connected, as a reconnect does; so tests can attach a peer
  // without reconnect threads.
  void AdoptConnectedSocket(platform::SocketHandle handle) EXCLUDES(exchange_, handleGuard_);

  // The link's reconnect thread: started by connecting, joined by the
  // transport's stop.
  int32_t StartReconnectThread(size_t stackBytes, platform::ThreadBody body);
  bool JoinReconnectThread(int64_t timeoutMs) { return reconnectThread_.Join(timeoutMs); }
  bool ReconnectThreadStarted() const { return reconnectThread_.Started(); }

 private:
  // Reads the answer byte into *ack. Returns 0, or -106 on time-out or a
  // broken connection (which marks the link not connected).
  int32_t ReadAnswer(platform::SocketHandle handle, int64_t timeoutMs, char* ack)
      REQUIRES(exchange_);

  const char* const tag_;
  platform::Ipv4Address address_{};
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  std::atomic<LinkState> state_{kDisconnected};
  platform::Thread reconnectThread_;
  platform::Mutex exchange_ ACQUIRED_BEFORE(handleGuard_);
  platform::Mutex handleGuard_;
  // The socket a reconnect is connecting right now, so that closing can
  // abort a connect that would otherwise block for minutes. Stored under
  // handleGuard_, read by Abort() under it.
  std::atomic<platform::SocketHandle> pending_{platform::kInvalidSocket};
  // Set when a wait for an answer gave up: the answer may still come and
  // must not pass for the answer to the next frame.
  bool answerOverdue_ GUARDED_BY(exchange_) = false;
};

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_SERVICE_LINK_H_
