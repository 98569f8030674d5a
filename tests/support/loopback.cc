#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace histfeed::testing {
namespace {

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return where;
}

}  // namespace

int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in where = LoopbackAddress(port);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

uint16_t FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in where = LoopbackAddress(0);
  socklen_t size = sizeof where;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&where), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) == 0) {
    port = ntohs(where.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace histfeed::testing
