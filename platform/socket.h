// SPDX-License-Identifier: Apache-2.0
// IPv4 stream sockets: what the universal connections need from the
// operating system, plus the listening side that test peers and
// benchmarks use. Every call is safe to make from several threads.
#ifndef HISTFEED_PLATFORM_SOCKET_H_
#define HISTFEED_PLATFORM_SOCKET_H_

#include <cstdint>

namespace histfeed::platform {

// A socket handle as a 32-bit word; all ones is the invalid handle.
using SocketHandle = uint32_t;
inline constexpr SocketHandle kInvalidSocket = 0xFFFFFFFFu;

// An IPv4 socket address in its 16-byte wire layout: family 2, the port
// in network byte order, the host address, eight zero bytes.
struct Ipv4Address {
  uint16_t family;
  uint16_t portNetworkOrder;
  uint8_t host[4];
  uint8_t zero[8];
};
static_assert(sizeof(Ipv4Address) == 16);

// Readiness of a socket after a wait.
enum class WaitResult { kReadable, kTimedOut, kFailed };

// Prepares the socket layer for use; 0 or a positive system error code.
int32_t StartSockets();

// Resolves a host name or dotted address to its first IPv4 address.
// Returns false for a null, empty or unknown name. Thread-safe.
bool ResolveIpv4(const char* host, uint8_t address[4]);

// Builds the address of `host` bytes and a port given in host order.
Ipv4Address MakeIpv4Address(const uint8_t host[4], uint16_t port);

// Creates a blocking TCP stream socket; kInvalidSocket on failure.
SocketHandle OpenStreamSocket();

// Connects a socket, blocking until it succeeds or fails.
bool ConnectSocket(SocketHandle socket, const Ipv4Address& address);

// Connects a socket, giving up after `timeoutMs` of library time; the
// socket is blocking again afterwards. False on failure or time-out.
bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address, int64_t timeoutMs);

// Writes all `length` bytes, continuing partial writes. Returns `length`,
// or -1 when the connection failed first. Never raises SIGPIPE.
int32_t SendAll(SocketHandle socket, const void* data, int32_t length);

// Waits at most `timeoutMs` of library time until the socket has bytes
// (or an end of stream) to read.
WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs);

// Reads at most `capacity` bytes: the count, 0 at the end of the stream,
// or -1 on error.
int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity);

// Waits at most `timeoutMs` of library time for bytes and reads at most
// `capacity` of them: the count, 0 at the end of the stream, or -1. *wait
// tells a time-out (kTimedOut) or a failed wait (kFailed) from a read
// that happened (kReadable), whose -1 is then a receive error.
int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                      WaitResult* wait);

// Reads and drops whatever bytes are waiting already; never blocks.
void DiscardPending(SocketHandle socket);

// Ends both directions: blocked connects, sends, waits and receives on
// the socket return at once. The handle stays open until CloseSocket.
void ShutdownSocket(SocketHandle socket);

// Closes the handle; the invalid handle is ignored.
void CloseSocket(SocketHandle socket);

// The system error code of this thread's last failed socket call.
int32_t LastSocketError();

// Listens on 127.0.0.1 at `port` (0: any free port) and stores the bound
// port in *boundPort. kInvalidSocket on failure.
SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort);

// Takes the next incoming connection, blocking; kInvalidSocket once the
// listening socket is shut down or on error.
SocketHandle AcceptConnection(SocketHandle listener);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_SOCKET_H_
