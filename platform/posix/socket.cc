// SPDX-License-Identifier: Apache-2.0
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/clock.h"
#include "platform/os_sockets.h"

namespace histfeed::platform {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

int Descriptor(SocketHandle socket) { return static_cast<int>(socket); }

// Descriptors are not inherited by programs the application starts.
int NewStreamDescriptor() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#endif
}

sockaddr_in ToSockaddr(const Ipv4Address& address) {
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = address.portNetworkOrder;
  std::memcpy(&native.sin_addr, address.host, 4);
  return native;
}

// The receive time-out last set on each descriptor, so that a wait with
// the same time-out as before costs no extra system call. -1: unknown.
constexpr int kTimeoutCacheSize = 4096;
std::atomic<int64_t> receiveTimeoutUs[kTimeoutCacheSize];

void ForgetReceiveTimeout(int fd) {
  if (fd >= 0 && fd < kTimeoutCacheSize) receiveTimeoutUs[fd].store(-1);
}

bool SetReceiveTimeout(int fd, std::chrono::microseconds timeout) {
  int64_t wanted = timeout.count();
  if (fd < kTimeoutCacheSize && receiveTimeoutUs[fd].load() == wanted) return true;
  timeval value{};
  value.tv_sec = static_cast<time_t>(wanted / 1000000);
  value.tv_usec = static_cast<suseconds_t>(wanted % 1000000);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) return false;
  if (fd < kTimeoutCacheSize) receiveTimeoutUs[fd].store(wanted);
  return true;
}

}  // namespace

// The operating system calls, wrapped by the SocketSystem below.
namespace os {

int32_t StartSockets() { return 0; }

bool ResolveIpv4(const char* host, uint8_t address[4]) {
  if (host == nullptr || host[0] == '\0') return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool ok = false;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      std::memcpy(address, &in->sin_addr, 4);
      ok = true;
      break;
    }
  }
  freeaddrinfo(found);
  return ok;
}

SocketHandle OpenStreamSocket() {
  int fd = NewStreamDescriptor();
  if (fd < 0) return kInvalidSocket;
  ForgetReceiveTimeout(fd);
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return static_cast<SocketHandle>(fd);
}

bool ConnectSocket(SocketHandle socket, const Ipv4Address& address) {
  if (socket == kInvalidSocket) return false;
  sockaddr_in native = ToSockaddr(address);
  int result;
  do {
    result = ::connect(Descriptor(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address, int64_t timeoutMs) {
  if (socket == kInvalidSocket) return false;
  int fd = Descriptor(socket);
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  sockaddr_in native = ToSockaddr(address);
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&native), sizeof native);
  bool connected = result == 0;
  if (!connected && (errno == EINPROGRESS || errno == EINTR)) {
    pollfd entry{fd, POLLOUT, 0};
    auto deadline = std::chrono::steady_clock::now() + RealDuration(timeoutMs);
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      int waitMs = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 1 << 30));
      int ready = ::poll(&entry, 1, waitMs);
      if (ready < 0 && errno == EINTR) continue;
      if (ready > 0) {
        int error = 0;
        socklen_t size = sizeof error;
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        if (!connected && error != 0) errno = error;
      } else if (ready == 0) {
        errno = ETIMEDOUT;
      }
      break;
    }
  }
  int saved = errno;
  fcntl(fd, F_SETFL, flags);
  errno = saved;
  return connected;
}

int32_t SendAll(SocketHandle socket, const void* data, int32_t length) {
  if (socket == kInvalidSocket || length < 0) return -1;
  const auto* bytes = static_cast<const char*>(data);
  int32_t sent = 0;
  while (sent < length) {
    ssize_t count = ::send(Descriptor(socket), bytes + sent, static_cast<size_t>(length - sent), kSendFlags);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return -1;
    sent += static_cast<int32_t>(count);
  }
  return length;
}

WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) {
  if (socket == kInvalidSocket) {
    errno = EBADF;
    return WaitResult::kFailed;
  }
  pollfd entry{Descriptor(socket), POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + RealDuration(timeoutMs);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int waitMs = timeoutMs <= 0 ? 0 : static_cast<int>(std::max<int64_t>(left.count(), 0));
    int result = ::poll(&entry, 1, waitMs);
    if (result > 0) {
      if (entry.revents & POLLNVAL) {
        errno = EBADF;
        return WaitResult::kFailed;
      }
      return WaitResult::kReadable;  // data, end of stream or error: a read tells which
    }
    if (result == 0) return WaitResult::kTimedOut;
    if (errno != EINTR) return WaitResult::kFailed;
  }
}

int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity) {
  if (socket == kInvalidSocket || capacity <= 0) return -1;
  for (;;) {
    ssize_t count = ::recv(Descriptor(socket), buffer, static_cast<size_t>(capacity), 0);
    if (count < 0 && errno == EINTR) continue;
    return count < 0 ? -1 : static_cast<int32_t>(count);
  }
}

int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                      WaitResult* wait) {
  if (socket == kInvalidSocket || capacity <= 0) {
    errno = EBADF;
    *wait = WaitResult::kFailed;
    return -1;
  }
  // A receive with the socket's own time-out waits and reads in one call;
  // a time-out too short for it (or a refused option) takes the wait path.
  std::chrono::microseconds timeout = RealDuration(timeoutMs);
  if (timeoutMs <= 0 || timeout.count() < 1000 || !SetReceiveTimeout(Descriptor(socket), timeout)) {
    *wait = WaitReadable(socket, timeoutMs);
    return *wait == WaitResult::kReadable ? Receive(socket, buffer, capacity) : -1;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    ssize_t count = ::recv(Descriptor(socket), buffer, static_cast<size_t>(capacity), 0);
    if (count >= 0) {
      *wait = WaitResult::kReadable;
      return static_cast<int32_t>(count);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      *wait = WaitResult::kTimedOut;
      return -1;
    }
    if (errno != EINTR) {
      *wait = WaitResult::kReadable;
      return -1;
    }
    // Interrupted: wait out the rest of the time on the wait path.
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *wait = WaitResult::kTimedOut;
      return -1;
    }
    *wait = WaitReadable(socket, std::max<int64_t>(1, timeoutMs * left.count() / timeout.count()));
    if (*wait != WaitResult::kReadable) return -1;
  }
}

void DiscardPending(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  char scratch[256];
  for (;;) {
    ssize_t count = ::recv(Descriptor(socket), scratch, sizeof scratch, MSG_DONTWAIT);
    if (count < 0 && errno == EINTR) continue;
    if (count < static_cast<ssize_t>(sizeof scratch)) return;
  }
}

void ShutdownSocket(SocketHandle socket) {
  if (socket != kInvalidSocket) ::shutdown(Descriptor(socket), SHUT_RDWR);
}

void CloseSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  ForgetReceiveTimeout(Descriptor(socket));
  ::close(Descriptor(socket));
}

int32_t LastSocketError() { return errno; }

SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) {
  int fd = NewStreamDescriptor();
  if (fd < 0) return kInvalidSocket;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = htons(port);
  native.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof native;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&native), sizeof native) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&native), &size) != 0) {
    ::close(fd);
    return kInvalidSocket;
  }
  if (boundPort != nullptr) *boundPort = ntohs(native.sin_port);
  return static_cast<SocketHandle>(fd);
}

SocketHandle AcceptConnection(SocketHandle listener) {
  if (listener == kInvalidSocket) return kInvalidSocket;
  for (;;) {
    int fd = ::accept(Descriptor(listener), nullptr, nullptr);
    if (fd >= 0) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      ForgetReceiveTimeout(fd);
      return static_cast<SocketHandle>(fd);
    }
    if (errno != EINTR && errno != ECONNABORTED) return kInvalidSocket;
  }
}

}  // namespace os

Ipv4Address MakeIpv4Address(const uint8_t host[4], uint16_t port) {
  Ipv4Address address{};
  address.family = AF_INET;
  address.portNetworkOrder = htons(port);
  std::memcpy(address.host, host, 4);
  return address;
}

}  // namespace histfeed::platform
