// SPDX-License-Identifier: Apache-2.0
#include "client_library/network_client_library.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wire/classic_network_protocol.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/mutex.h"
#include "platform/socket.h"

namespace histfeed::client_library {
namespace {

using network::ReplyHead;
using platform::kInvalidSocket;
using platform::SocketHandle;

bool Absent(const char* text) { return text == nullptr || text[0] == '\0'; }

// A caller's service name, read no further than a request head carries it:
// the caller's text may lack a terminator.
std::string_view ServiceName(const char* service) {
  return {service, strnlen(service, network::kServiceFieldSize - 1)};
}

// Connections are keyed as services are matched: ignoring case and the
// blanks around the name.
std::string ConnectionKey(const char* service) {
  std::string key(ServiceName(service));
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  key.erase(key.begin(), std::find_if_not(key.begin(), key.end(), blank));
  key.erase(std::find_if_not(key.rbegin(), key.rend(), blank).base(), key.end());
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// Reads exactly `size` bytes before `deadlineMs` (library time).
int32_t ReceiveExactly(SocketHandle socket, uint8_t* data, size_t size, int64_t deadlineMs) {
  size_t got = 0;
  while (got < size) {
    int64_t left = deadlineMs - platform::MonotonicMs();
    if (left <= 0) return kNetworkTimedOut;
    platform::WaitResult wait = platform::WaitResult::kFailed;
    int32_t count = platform::Sockets().ReceiveWithin(
        socket, data + got, static_cast<int32_t>(size - got), left, &wait);
    if (wait == platform::WaitResult::kTimedOut) return kNetworkTimedOut;
    if (count <= 0) return kNetworkClosed;
    got += static_cast<size_t>(count);
  }
  return 0;
}

class NetworkClientLibrary final : public ClientLibrary {
 public:
  NetworkClientLibrary(network::ServiceAddresses addresses, NetworkTimeouts timeouts)
      : addresses_(std::move(addresses)), timeouts_(timeouts) {}

  ~NetworkClientLibrary() override {
    for (auto& [key, connection] : connections_)
      platform::Sockets().CloseSocket(connection->socket);
  }

  int32_t Startup(int32_t) override {
    return platform::Sockets().StartSockets() == 0 ? 0 : kUnavailable;
  }

  int32_t Connect(const char* service) override {
    if (Absent(service)) return kNetworkBadArgument;
    Connection& connection = ConnectionOf(service);
    platform::MutexLock lock(connection.mutex);
    return EnsureOpen(connection, service);
  }

  int32_t Disconnect(const char* service) override {
    if (Absent(service)) return kNetworkBadArgument;
    Connection& connection = ConnectionOf(service);
    platform::MutexLock lock(connection.mutex);
    Close(connection);
    return 0;
  }

  void CloseConnections() override {
    platform::MutexLock table(tableMutex_);
    for (auto& [key, connection] : connections_) {
      platform::MutexLock lock(connection->mutex);
      Close(*connection);
    }
  }

  int32_t Stamp(void* field, int32_t size) override {
    if (field == nullptr || size <= 0) return kNetworkBadArgument;
    // Time of the request and a sequence number, so that a service can
    // tell a repeated request from a new one.
    uint8_t stamp[16] = {};
    platform::CalendarTime now = platform::CalendarNow();
    uint32_t sequence = stampSequence_.fetch_add(1) + 1;
    for (int i = 0; i < 8; ++i) stamp[i] = static_cast<uint8_t>(now.seconds >> (8 * i));
    for (int i = 0; i < 4; ++i) stamp[8 + i] = static_cast<uint8_t>(now.milliseconds >> (8 * i));
    for (int i = 0; i < 4; ++i) stamp[12 + i] = static_cast<uint8_t>(sequence >> (8 * i));
    std::memset(field, 0, static_cast<size_t>(size));
    std::memcpy(field, stamp, std::min(sizeof stamp, static_cast<size_t>(size)));
    return 0;
  }

  int32_t ShortIdExchange(const char* service, const void* request, void* reply) override {
    return Exchange(network::kShortIdCall, service, request, reply);
  }
  int32_t LongIdExchange(const char* service, const void* request, void* reply) override {
    return Exchange(network::kLongIdCall, service, request, reply);
  }
  int32_t ConfigExchange(const char* service, const void* request, void* reply) override {
    return Exchange(network::kConfigCall, service, request, reply);
  }

  int32_t ServiceKind(const char* service) override {
    if (Absent(service)) return kNetworkBadArgument;
    Connection& connection = ConnectionOf(service);
    platform::MutexLock lock(connection.mutex);
    int32_t result = EnsureOpen(connection, service);
    if (result != 0) return result;
    ReplyHead head;
    result = RoundTrip(connection, network::kServiceKindCall, service, nullptr, 0, &head, nullptr);
    return result != 0 ? result : head.result;
  }

  int32_t ResolvePoint(const char* service, const char* extendedName, char* out,
                       int32_t size) override {
    if (Absent(service) || Absent(extendedName) || out == nullptr || size <= 0) {
      return kNetworkBadArgument;
    }
    size_t nameLength = strnlen(extendedName, network::kExtendedNameMax + 1);
    if (nameLength > network::kExtendedNameMax) return kNetworkBadArgument;
    Connection& connection = ConnectionOf(service);
    platform::MutexLock lock(connection.mutex);
    int32_t result = EnsureOpen(connection, service);
    if (result != 0) return result;
    ReplyHead head;
    uint8_t identifier[network::kResolvedIdMax] = {};
    result = RoundTrip(connection, network::kResolveCall, service, extendedName,
                       static_cast<uint32_t>(nameLength), &head, identifier);
    if (result != 0) return result;
    if (head.result != 0) return head.result;
    size_t length = strnlen(reinterpret_cast<const char*>(identifier), head.payloadLength);
    // An identifier that does not fit would be a different point once cut.
    if (length == 0 || length >= static_cast<size_t>(size)) return kNetworkMalformedReply;
    std::memcpy(out, identifier, length);
    out[length] = '\0';
    return 0;
  }

 private:
  struct Connection {
    platform::Mutex mutex;  // one request at a time on the connection
    SocketHandle socket GUARDED_BY(mutex) = kInvalidSocket;
    std::vector<uint8_t> message GUARDED_BY(mutex);  // the request being sent
  };

  // Connections live as long as the backend, so a reference stays valid.
  Connection& ConnectionOf(const char* service) {
    std::string key = ConnectionKey(service);
    platform::MutexLock lock(tableMutex_);
    std::unique_ptr<Connection>& slot = connections_[key];
    if (!slot) slot = std::make_unique<Connection>();
    return *slot;
  }

  static void Close(Connection& connection) REQUIRES(connection.mutex) {
    platform::Sockets().CloseSocket(connection.socket);
    connection.socket = kInvalidSocket;
  }

  // Opens the connection unless it is open and sound, and greets the
  // service with a connect call. Call with the connection's mutex held.
  int32_t EnsureOpen(Connection& connection, const char* service) REQUIRES(connection.mutex) {
    if (connection.socket != kInvalidSocket) {
      // An idle connection has nothing to read: bytes or an end of stream
      // mean that the service went away or broke the protocol.
      if (platform::Sockets().WaitReadable(connection.socket, 0) ==
          platform::WaitResult::kTimedOut) {
        return 0;
      }
      Close(connection);
    }
    network::ServiceAddress address = addresses_.Find(ServiceName(service));
    uint8_t host[4];
    if (!platform::Sockets().ResolveIpv4(address.host.c_str(), host)) return kNetworkUnreachable;
    SocketHandle socket = platform::Sockets().OpenStreamSocket();
    if (socket == kInvalidSocket) return kNetworkUnreachable;
    if (!platform::Sockets().ConnectSocketWithin(
            socket, platform::MakeIpv4Address(host, address.port), timeouts_.connectMs)) {
      platform::Sockets().CloseSocket(socket);
      return kNetworkUnreachable;
    }
    connection.socket = socket;
    ReplyHead head;
    int32_t result = RoundTrip(connection, network::kConnectCall, service, nullptr, 0, &head,
                               nullptr);
    if (result == 0) result = head.result;
    if (result != 0) Close(connection);
    return result;
  }

  // Sends one request and reads its reply: the head into *head and the
  // payload into `payload` (room for ReplyPayloadLimit(call) bytes). Any
  // failure closes the connection.
  int32_t RoundTrip(Connection& connection, uint16_t call, const char* service,
                    const void* payload, uint32_t payloadLength, ReplyHead* head,
                    uint8_t* replyPayload) REQUIRES(connection.mutex) {
    if (connection.socket == kInvalidSocket) return kNetworkClosed;
    // Head and payload in one send, so that no small segment waits for an
    // acknowledgement; the buffer is the connection's, so the caller's
    // stack stays small.
    uint32_t total = static_cast<uint32_t>(network::kRequestHeadSize) + payloadLength;
    if (connection.message.size() < total) connection.message.resize(total);
    uint8_t* out = connection.message.data();
    network::EncodeRequestHead(call, service, payloadLength, out);
    if (payloadLength > 0) std::memcpy(out + network::kRequestHeadSize, payload, payloadLength);
    if (platform::Sockets().SendAll(connection.socket, out, static_cast<int32_t>(total)) !=
        static_cast<int32_t>(total)) {
      Close(connection);
      return kNetworkSendFailed;
    }
    int64_t deadline = platform::MonotonicMs() + timeouts_.replyMs;
    uint8_t replyHead[network::kReplyHeadSize];
    int32_t result = ReceiveExactly(connection.socket, replyHead, sizeof replyHead, deadline);
    if (result == 0 && network::DecodeReplyHead(replyHead, call, head) != network::HeadError::kNone) {
      result = kNetworkMalformedReply;
    }
    if (result == 0 && head->payloadLength > 0) {
      result = ReceiveExactly(connection.socket, replyPayload, head->payloadLength, deadline);
    }
    if (result != 0) Close(connection);
    return result;
  }

  int32_t Exchange(uint16_t call, const char* service, const void* request, void* reply) {
    if (Absent(service) || request == nullptr || reply == nullptr) return kNetworkBadArgument;
    Connection& connection = ConnectionOf(service);
    platform::MutexLock lock(connection.mutex);
    int32_t result = EnsureOpen(connection, service);
    if (result != 0) return result;
    ReplyHead head;
    // The caller's block changes only when a whole reply came.
    uint8_t block[TARVO_REPLY_SIZE];
    result = RoundTrip(connection, call, service, request,
                       static_cast<uint32_t>(network::RequestPayloadLimit(call)), &head, block);
    if (result != 0) return result;
    std::memcpy(reply, block, sizeof block);
    return head.result;
  }

  const network::ServiceAddresses addresses_;
  const NetworkTimeouts timeouts_;
  std::atomic<uint32_t> stampSequence_{0};
  platform::Mutex tableMutex_;
  std::map<std::string, std::unique_ptr<Connection>> connections_ GUARDED_BY(tableMutex_);
};

}  // namespace

std::unique_ptr<ClientLibrary> MakeNetworkClientLibrary(network::ServiceAddresses addresses,
                                                        NetworkTimeouts timeouts) {
  return std::make_unique<NetworkClientLibrary>(std::move(addresses), timeouts);
}

std::unique_ptr<ClientLibrary> MakeNetworkClientLibraryFromEnvironment() {
  std::optional<std::string> text = platform::GetEnvironment(network::kServicesVariable);
  return MakeNetworkClientLibrary(network::ServiceAddresses::Parse(text.value_or(""), nullptr));
}

}  // namespace histfeed::client_library
