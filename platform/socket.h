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

// The operating system's sockets. The library reaches them only through
// Sockets(), which tests replace with a SocketSystemWrapper that fails
// chosen calls, as they do with the FileSystem.
class SocketSystem {
 public:
  virtual ~SocketSystem() = default;

  // Prepares the socket layer for use; 0 or a positive system error code.
  virtual int32_t StartSockets() = 0;

  // Resolves a host name or dotted address to its first IPv4 address.
  // Returns false for a null, empty or unknown name. Thread-safe.
  virtual bool ResolveIpv4(const char* host, uint8_t address[4]) = 0;

  // Creates a blocking TCP stream socket; kInvalidSocket on failure.
  virtual SocketHandle OpenStreamSocket() = 0;

  // Connects a socket, blocking until it succeeds or fails.
  virtual bool ConnectSocket(SocketHandle socket, const Ipv4Address& address) = 0;

  // Connects a socket, giving up after `timeoutMs` of library time; the
  // socket is blocking again afterwards. False on failure or time-out.
  virtual bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address,
                                   int64_t timeoutMs) = 0;

  // Writes all `length` bytes, continuing partial writes. Returns `length`,
  // or -1 when the connection failed first. Never raises SIGPIPE.
  virtual int32_t SendAll(SocketHandle socket, const void* data, int32_t length) = 0;

  // Waits at most `timeoutMs` of library time until the socket has bytes
  // (or an end of stream) to read.
  virtual WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) = 0;

  // Reads at most `capacity` bytes: the count, 0 at the end of the stream,
  // or -1 on error.
  virtual int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity) = 0;

  // Waits at most `timeoutMs` of library time for bytes and reads at most
  // `capacity` of them: the count, 0 at the end of the stream, or -1. *wait
  // tells a time-out (kTimedOut) or a failed wait (kFailed) from a read
  // that happened (kReadable), whose -1 is then a receive error.
  virtual int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity,
                                int64_t timeoutMs, WaitResult* wait) = 0;

  // Reads and drops whatever bytes are waiting already; never blocks.
  virtual void DiscardPending(SocketHandle socket) = 0;

  // Ends both directions: blocked connects, sends, waits and receives on
  // the socket return at once. The handle stays open until CloseSocket.
  virtual void ShutdownSocket(SocketHandle socket) = 0;

  // Closes the handle; the invalid handle is ignored.
  virtual void CloseSocket(SocketHandle socket) = 0;

  // The system error code of this thread's last failed socket call.
  virtual int32_t LastSocketError() = 0;

  // Listens on 127.0.0.1 at `port` (0: any free port) and stores the bound
  // port in *boundPort. kInvalidSocket on failure.
  virtual SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) = 0;

  // Takes the next incoming connection, blocking; kInvalidSocket once the
  // listening socket is shut down or on error.
  virtual SocketHandle AcceptConnection(SocketHandle listener) = 0;
};

// The socket system the library uses now.
SocketSystem& Sockets();
// The operating system's own sockets.
SocketSystem& DefaultSockets();
// Replaces the socket system for tests; null restores the default.
void SetSocketsForTesting(SocketSystem* sockets);

// Builds the address of `host` bytes and a port given in host order.
Ipv4Address MakeIpv4Address(const uint8_t host[4], uint16_t port);

// Forwards every call to another socket system; tests override a few.
class SocketSystemWrapper : public SocketSystem {
 public:
  explicit SocketSystemWrapper(SocketSystem& target) : target_(target) {}
  int32_t StartSockets() override { return target_.StartSockets(); }
  bool ResolveIpv4(const char* host, uint8_t address[4]) override {
    return target_.ResolveIpv4(host, address);
  }
  SocketHandle OpenStreamSocket() override { return target_.OpenStreamSocket(); }
  bool ConnectSocket(SocketHandle socket, const Ipv4Address& address) override {
    return target_.ConnectSocket(socket, address);
  }
  bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address,
                           int64_t timeoutMs) override {
    return target_.ConnectSocketWithin(socket, address, timeoutMs);
  }
  int32_t SendAll(SocketHandle socket, const void* data, int32_t length) override {
    return target_.SendAll(socket, data, length);
  }
  WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) override {
    return target_.WaitReadable(socket, timeoutMs);
  }
  int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity) override {
    return target_.Receive(socket, buffer, capacity);
  }
  int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                        WaitResult* wait) override {
    return target_.ReceiveWithin(socket, buffer, capacity, timeoutMs, wait);
  }
  void DiscardPending(SocketHandle socket) override { target_.DiscardPending(socket); }
  void ShutdownSocket(SocketHandle socket) override { target_.ShutdownSocket(socket); }
  void CloseSocket(SocketHandle socket) override { target_.CloseSocket(socket); }
  int32_t LastSocketError() override { return target_.LastSocketError(); }
  SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) override {
    return target_.ListenLoopback(port, boundPort);
  }
  SocketHandle AcceptConnection(SocketHandle listener) override {
    return target_.AcceptConnection(listener);
  }

 private:
  SocketSystem& target_;
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_SOCKET_H_
