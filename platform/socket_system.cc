// SPDX-License-Identifier: Apache-2.0
// The socket system every caller goes through: the operating system's
// calls, unless a test has put a wrapper in their place.
#include <atomic>

#include "platform/no_destructor.h"
#include "platform/os_sockets.h"
#include "platform/socket.h"

namespace histfeed::platform {
namespace {

class OsSockets final : public SocketSystem {
 public:
  int32_t StartSockets() override { return os::StartSockets(); }
  bool ResolveIpv4(const char* host, uint8_t address[4]) override {
    return os::ResolveIpv4(host, address);
  }
  SocketHandle OpenStreamSocket() override { return os::OpenStreamSocket(); }
  bool ConnectSocket(SocketHandle socket, const Ipv4Address& address) override {
    return os::ConnectSocket(socket, address);
  }
  bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address,
                           int64_t timeoutMs) override {
    return os::ConnectSocketWithin(socket, address, timeoutMs);
  }
  int32_t SendAll(SocketHandle socket, const void* data, int32_t length) override {
    return os::SendAll(socket, data, length);
  }
  WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) override {
    return os::WaitReadable(socket, timeoutMs);
  }
  int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity) override {
    return os::Receive(socket, buffer, capacity);
  }
  int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                        WaitResult* wait) override {
    return os::ReceiveWithin(socket, buffer, capacity, timeoutMs, wait);
  }
  void DiscardPending(SocketHandle socket) override { os::DiscardPending(socket); }
  void ShutdownSocket(SocketHandle socket) override { os::ShutdownSocket(socket); }
  void CloseSocket(SocketHandle socket) override { os::CloseSocket(socket); }
  int32_t LastSocketError() override { return os::LastSocketError(); }
  SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) override {
    return os::ListenLoopback(port, boundPort);
  }
  SocketHandle AcceptConnection(SocketHandle listener) override {
    return os::AcceptConnection(listener);
  }
};

std::atomic<SocketSystem*> currentSockets{nullptr};

}  // namespace

SocketSystem& DefaultSockets() {
  static NoDestructor<OsSockets> sockets;
  return *sockets;
}

SocketSystem& Sockets() {
  SocketSystem* sockets = currentSockets.load(std::memory_order_acquire);
  return sockets != nullptr ? *sockets : DefaultSockets();
}

void SetSocketsForTesting(SocketSystem* sockets) {
  currentSockets.store(sockets, std::memory_order_release);
}

}  // namespace histfeed::platform
