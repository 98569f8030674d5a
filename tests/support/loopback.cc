#include "tests/support/loopback.h"

#include "platform/socket.h"

namespace histfeed::testing {

int ConnectLoopback(uint16_t port) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  platform::SocketHandle socket = platform::OpenStreamSocket();
  if (socket == platform::kInvalidSocket) return -1;
  if (!platform::ConnectSocket(socket, platform::MakeIpv4Address(loopback, port))) {
    platform::CloseSocket(socket);
    return -1;
  }
  return static_cast<int>(socket);
}

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  platform::SocketHandle listener = platform::ListenLoopback(0, &port);
  if (listener == platform::kInvalidSocket) return 0;
  platform::CloseSocket(listener);
  return port;
}

}  // namespace histfeed::testing
