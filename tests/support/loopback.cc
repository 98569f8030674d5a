// SPDX-License-Identifier: Apache-2.0
#include "tests/support/loopback.h"

#include "platform/socket.h"

namespace histfeed::testing {

int ConnectLoopback(uint16_t port) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  platform::SocketHandle socket = platform::Sockets().OpenStreamSocket();
  if (socket == platform::kInvalidSocket) return -1;
  if (!platform::Sockets().ConnectSocket(socket, platform::MakeIpv4Address(loopback, port))) {
    platform::Sockets().CloseSocket(socket);
    return -1;
  }
  return static_cast<int>(socket);
}

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  platform::SocketHandle listener = platform::Sockets().ListenLoopback(0, &port);
  if (listener == platform::kInvalidSocket) return 0;
  platform::Sockets().CloseSocket(listener);
  return port;
}

bool ReadExactly(int socket, void* data, size_t size) {
  auto* at = static_cast<uint8_t*>(data);
  while (size > 0) {
    int32_t got = platform::Sockets().Receive(static_cast<platform::SocketHandle>(socket), at,
                                              static_cast<int32_t>(size));
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int socket, const void* data, size_t size) {
  return platform::Sockets().SendAll(static_cast<platform::SocketHandle>(socket), data,
                                     static_cast<int32_t>(size)) == static_cast<int32_t>(size);
}

}  // namespace histfeed::testing
