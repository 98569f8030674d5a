// SPDX-License-Identifier: Apache-2.0
// IPv4 stream sockets with Windows Sockets 1.1.
#include "platform/socket.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"
#include "platform/os_sockets.h"

namespace histfeed::platform {
namespace {

constexpr WORD kSocketsVersion = MAKEWORD(1, 1);

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// Socket handles are kernel handles, whose values fit in 32 bits on
// 64-bit Windows too.
SocketHandle FromNative(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(socket);
}

// The calls below may come before any StartSockets (test peers, a host
// lookup); they start the layer once for themselves.
void EnsureStarted() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(kSocketsVersion, &data);
  });
}

sockaddr_in ToSockaddr(const Ipv4Address& address) {
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = address.portNetworkOrder;
  std::memcpy(&native.sin_addr, address.host, 4);
  return native;
}

timeval ToTimeval(std::chrono::microseconds duration) {
  timeval value{};
  value.tv_sec = static_cast<long>(duration.count() / 1000000);
  value.tv_usec = static_cast<long>(duration.count() % 1000000);
  return value;
}

// Sockets that were shut down. A blocked accept or receive does not
// return when its socket is shut down here as it does elsewhere, so long
// waits go in short rounds and look at this list between them.
struct ShutDownSockets {
  Mutex mutex;
  std::set<SocketHandle> handles GUARDED_BY(mutex);
};

ShutDownSockets& ShutDown() {
  static NoDestructor<ShutDownSockets> sockets;
  return *sockets;
}

bool IsShutDown(SocketHandle socket) {
  ShutDownSockets& shutDown = ShutDown();
  MutexLock lock(shutDown.mutex);
  return shutDown.handles.count(socket) != 0;
}

constexpr int64_t kWaitRoundUs = 20000;

// Waits until the socket is readable (for a listener: has a connection
// waiting), for `realLimit` at most (negative: no limit), in rounds that
// end early once the socket is shut down. The select result: 1 readable,
// 0 timed out or shut down, -1 failed.
int WaitReadableInRounds(SocketHandle socket, std::chrono::microseconds realLimit) {
  auto deadline = std::chrono::steady_clock::now() + realLimit;
  for (;;) {
    int64_t roundUs = kWaitRoundUs;
    if (realLimit.count() >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      roundUs = std::clamp<int64_t>(left.count(), 0, kWaitRoundUs);
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(socket), &readable);
    timeval round = ToTimeval(std::chrono::microseconds(roundUs));
    int ready = ::select(0, &readable, nullptr, nullptr, &round);
    if (ready != 0) return ready > 0 ? 1 : -1;
    if (IsShutDown(socket)) return 0;
    if (realLimit.count() >= 0 && std::chrono::steady_clock::now() >= deadline) return 0;
  }
}

bool SetBlocking(SOCKET socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

}  // namespace

// The operating system calls, wrapped by the SocketSystem below.
namespace os {

int32_t StartSockets() {
  WSADATA data;
  return WSAStartup(kSocketsVersion, &data);
}

bool ResolveIpv4(const char* host, uint8_t address[4]) {
  if (host == nullptr || host[0] == '\0') return false;
  EnsureStarted();
  // gethostbyname keeps its answer per thread, so concurrent lookups do not
  // disturb each other.
  hostent* found = gethostbyname(host);
  if (found == nullptr || found->h_addrtype != AF_INET || found->h_length != 4 ||
      found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr) {
    return false;
  }
  std::memcpy(address, found->h_addr_list[0], 4);
  return true;
}

SocketHandle OpenStreamSocket() {
  EnsureStarted();
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket != INVALID_SOCKET) {
    // Not inherited by programs the application starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  }
  return FromNative(socket);
}

bool ConnectSocket(SocketHandle socket, const Ipv4Address& address) {
  if (socket == kInvalidSocket) return false;
  sockaddr_in native = ToSockaddr(address);
  return ::connect(Native(socket), reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
}

bool ConnectSocketWithin(SocketHandle socket, const Ipv4Address& address, int64_t timeoutMs) {
  if (socket == kInvalidSocket) return false;
  SOCKET native = Native(socket);
  if (!SetBlocking(native, false)) return false;
  sockaddr_in target = ToSockaddr(address);
  bool connected = ::connect(native, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
  int error = connected ? 0 : WSAGetLastError();
  if (!connected && error == WSAEWOULDBLOCK) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native, &writable);
    FD_SET(native, &failed);
    timeval limit = ToTimeval(RealDuration(timeoutMs));
    int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready > 0 && FD_ISSET(native, &writable)) {
      connected = true;
    } else if (ready > 0) {
      int reason = 0;
      int size = sizeof reason;
      getsockopt(native, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&reason), &size);
      error = reason != 0 ? reason : WSAECONNREFUSED;
    } else {
      error = ready == 0 ? WSAETIMEDOUT : WSAGetLastError();
    }
  }
  SetBlocking(native, true);
  if (!connected) WSASetLastError(error);
  return connected;
}

int32_t SendAll(SocketHandle socket, const void* data, int32_t length) {
  if (socket == kInvalidSocket || length < 0) return -1;
  const auto* bytes = static_cast<const char*>(data);
  int32_t sent = 0;
  while (sent < length) {
    int count = ::send(Native(socket), bytes + sent, length - sent, 0);
    if (count <= 0) return -1;
    sent += count;
  }
  return length;
}

WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) {
  if (socket == kInvalidSocket) {
    WSASetLastError(WSAENOTSOCK);
    return WaitResult::kFailed;
  }
  auto limit = timeoutMs <= 0 ? std::chrono::microseconds(0) : RealDuration(timeoutMs);
  int result = WaitReadableInRounds(socket, limit);
  if (result > 0) return WaitResult::kReadable;  // data, end of stream or error
  if (result == 0 && IsShutDown(socket)) return WaitResult::kReadable;  // the read tells
  return result == 0 ? WaitResult::kTimedOut : WaitResult::kFailed;
}

int32_t Receive(SocketHandle socket, void* buffer, int32_t capacity) {
  if (socket == kInvalidSocket || capacity <= 0) return -1;
  if (WaitReadableInRounds(socket, std::chrono::microseconds(-1)) <= 0) {
    if (IsShutDown(socket)) return 0;  // as a shut-down connection reads elsewhere
    return -1;
  }
  int count = ::recv(Native(socket), static_cast<char*>(buffer), capacity, 0);
  return count < 0 ? -1 : count;
}

int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                      WaitResult* wait) {
  if (capacity <= 0) {
    WSASetLastError(WSAEINVAL);
    *wait = WaitResult::kFailed;
    return -1;
  }
  *wait = WaitReadable(socket, timeoutMs);
  return *wait == WaitResult::kReadable ? Receive(socket, buffer, capacity) : -1;
}

void DiscardPending(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  char scratch[256];
  for (;;) {
    u_long waiting = 0;
    if (ioctlsocket(Native(socket), FIONREAD, &waiting) != 0 || waiting == 0) return;
    int want = static_cast<int>(std::min<u_long>(waiting, sizeof scratch));
    if (::recv(Native(socket), scratch, want, 0) <= 0) return;
  }
}

void ShutdownSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  {
    ShutDownSockets& shutDown = ShutDown();
    MutexLock lock(shutDown.mutex);
    shutDown.handles.insert(socket);
  }
  ::shutdown(Native(socket), SD_BOTH);
}

void CloseSocket(SocketHandle socket) {
  if (socket == kInvalidSocket) return;
  {
    ShutDownSockets& shutDown = ShutDown();
    MutexLock lock(shutDown.mutex);
    shutDown.handles.erase(socket);
  }
  ::closesocket(Native(socket));
}

int32_t LastSocketError() { return WSAGetLastError(); }

SocketHandle ListenLoopback(uint16_t port, uint16_t* boundPort) {
  EnsureStarted();
  SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  // No other program may take the port over while it is ours.
  BOOL on = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  sockaddr_in native{};
  native.sin_family = AF_INET;
  native.sin_port = htons(port);
  native.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof native;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&native), sizeof native) != 0 ||
      ::listen(socket, 16) != 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&native), &size) != 0) {
    ::closesocket(socket);
    return kInvalidSocket;
  }
  if (boundPort != nullptr) *boundPort = ntohs(native.sin_port);
  return FromNative(socket);
}

SocketHandle AcceptConnection(SocketHandle listener) {
  if (listener == kInvalidSocket) return kInvalidSocket;
  for (;;) {
    if (WaitReadableInRounds(listener, std::chrono::microseconds(-1)) <= 0) return kInvalidSocket;
    SOCKET socket = ::accept(Native(listener), nullptr, nullptr);
    if (socket != INVALID_SOCKET) return FromNative(socket);
    if (WSAGetLastError() != WSAECONNRESET) return kInvalidSocket;
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
