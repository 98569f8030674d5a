// One service connection of a key (primary or alternate): its socket
// handle, its state word and the locks that keep it consistent while the
// sending threads, the reconnect thread and closing all use it.
#ifndef HISTFEED_UNIVERSAL_SERVICE_LINK_H_
#define HISTFEED_UNIVERSAL_SERVICE_LINK_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/socket.h"

namespace histfeed::universal {

// Lock contract:
// - `exchange` is held for a whole frame exchange (send plus reading the
//   acknowledgement), so concurrent senders never take each other's byte;
//   it is also held to close or replace the socket, so nobody closes a
//   handle that a sender is using.
// - `handleGuard` is held briefly whenever a handle is closed, and while
//   one is shut down to wake blocked calls; so a shutdown never hits a
//   handle number that the system has already given to something else.
struct ServiceLink {
  std::mutex exchange;
  std::mutex handleGuard;
  // The socket a reconnect is connecting right now, so that closing can
  // abort a connect that would otherwise block for minutes.
  std::atomic<platform::SocketHandle> pending{platform::kInvalidSocket};
  // Set when a wait for an answer gave up: the answer may still come and
  // must not pass for the answer to the next frame. Guarded by exchange.
  bool answerOverdue = false;
};

// Wakes every blocked call on the link's current and pending sockets.
void AbortLink(ServiceLink& link, std::atomic<platform::SocketHandle>& socket);

// Closes the link's current socket and leaves the invalid handle in its
// place. Waits for a frame exchange under way to end.
void CloseLinkSocket(ServiceLink& link, std::atomic<platform::SocketHandle>& socket);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_SERVICE_LINK_H_
