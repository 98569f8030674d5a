// SPDX-License-Identifier: Apache-2.0
#include "histfeed.h"
#include "universal/service_link.h"

#include <cstring>
#include <string>
#include <utility>

#include "universal/diagnostics.h"

namespace histfeed::universal {

bool ServiceLink::Resolve(const char* host, int32_t port) {
  address_ = platform::Ipv4Address{};
  // The caller's text is read no further than a host name can go.
  constexpr size_t kHostNameMax = 253;
  size_t length = host != nullptr ? strnlen(host, kHostNameMax + 1) : 0;
  if (length == 0 || length > kHostNameMax) return false;
  uint8_t hostBytes[4];
  if (!platform::Sockets().ResolveIpv4(std::string(host, length).c_str(), hostBytes)) return false;
  address_ = platform::MakeIpv4Address(hostBytes, static_cast<uint16_t>(port));
  return true;
}

bool ServiceLink::OpenAndConnect(bool* connected) {
  platform::SocketHandle handle = platform::Sockets().OpenStreamSocket();
  *connected = false;
  if (handle == platform::kInvalidSocket) return false;
  {
    platform::MutexLock guard(handleGuard_);
    socket_.store(handle);
  }
  *connected = platform::Sockets().ConnectSocket(handle, address_);
  return true;
}

LinkExchange ServiceLink::Send(const char* frame, int32_t length, bool readAck,
                               int64_t ackTimeoutMs) {
  LinkExchange exchange;
  platform::MutexLock lock(exchange_);
  platform::SocketHandle handle = socket_.load();
  // An answer that came after an earlier wait gave up must not pass for
  // the answer to this frame.
  if (readAck && answerOverdue_) {
    platform::Sockets().DiscardPending(handle);
    answerOverdue_ = false;
  }
  exchange.sent = platform::Sockets().SendAll(handle, frame, length);
  if (exchange.sent <= 0) {
    state_ = kDisconnected;
    return exchange;
  }
  if (readAck) {
    exchange.ackResult = ReadAnswer(handle, ackTimeoutMs, &exchange.ack);
    if (exchange.ackResult != 0) answerOverdue_ = true;
  }
  return exchange;
}

int32_t ServiceLink::ReadAnswer(platform::SocketHandle handle, int64_t timeoutMs, char* ack) {
  platform::WaitResult wait;
  int32_t received = platform::Sockets().ReceiveWithin(handle, ack, 1, timeoutMs, &wait);
  switch (wait) {
    case platform::WaitResult::kTimedOut:
      PassTrace("GetAckBack() %s timeout", tag_);
      return HISTFEED_NOT_SENT;
    case platform::WaitResult::kFailed:
      PassTrace("GetAckBack() select socket error =%d", platform::Sockets().LastSocketError());
      return HISTFEED_NOT_SENT;
    case platform::WaitResult::kReadable:
      break;
  }
  if (received <= 0) {
    state_ = kDisconnected;
    return HISTFEED_NOT_SENT;
  }
  return 0;
}

Reconnect ServiceLink::ReconnectOnce(platform::Event& stop) {
  CloseSocket();
  platform::SocketHandle handle = platform::Sockets().OpenStreamSocket();
  if (handle == platform::kInvalidSocket) return Reconnect::kNoSocket;
  {
    platform::MutexLock guard(handleGuard_);
    pending_.store(handle);
  }
  // Closing sets the stop event before it aborts the pending socket, and
  // repeats the abort while it waits, so no connect outlives closing.
  bool connected = !stop.IsSet() && platform::Sockets().ConnectSocket(handle, address_);

  platform::MutexLock exchange(exchange_);
  platform::MutexLock guard(handleGuard_);
  pending_.store(platform::kInvalidSocket);
  if (stop.IsSet()) {
    platform::Sockets().CloseSocket(handle);
    return Reconnect::kStopped;
  }
  if (!connected) {
    platform::Sockets().CloseSocket(handle);
    return Reconnect::kRefused;
  }
  socket_.store(handle);
  state_ = kConnected;
  return Reconnect::kConnected;
}

void ServiceLink::Abort() {
  platform::MutexLock guard(handleGuard_);
  platform::Sockets().ShutdownSocket(socket_.load());
  platform::Sockets().ShutdownSocket(pending_.load());
}

void ServiceLink::CloseSocket() {
  platform::MutexLock exchange(exchange_);
  platform::MutexLock guard(handleGuard_);
  platform::Sockets().CloseSocket(socket_.exchange(platform::kInvalidSocket));
}

void ServiceLink::AdoptConnectedSocket(platform::SocketHandle handle) {
  platform::MutexLock exchange(exchange_);
  platform::MutexLock guard(handleGuard_);
  platform::Sockets().CloseSocket(socket_.exchange(handle));
  answerOverdue_ = false;
  state_ = kConnected;
}

int32_t ServiceLink::StartReconnectThread(size_t stackBytes, platform::ThreadBody body) {
  return reconnectThread_.Start(stackBytes, std::move(body));
}

}  // namespace histfeed::universal
