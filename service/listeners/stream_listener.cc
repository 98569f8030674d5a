// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/stream_listener.h"

#include <boost/asio/post.hpp>

#include "platform/thread_priority.h"
#include "service/event_log.h"
#include "service/listeners/stream_connection.h"

namespace histfeed::service {
namespace {

using asio::ip::tcp;

// How long accepting rests after an error such as running out of file
// descriptors: the pending connections wait in the backlog meanwhile.
constexpr std::chrono::milliseconds kAcceptPause{250};
constexpr std::chrono::seconds kAcceptErrorLogEvery{10};

// An IPv4 client of an IPv6 socket is shown, counted and filtered as the
// IPv4 address it is.
asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

std::string PeerText(const asio::ip::address& address, uint16_t port) {
  std::string text = address.to_string();
  return (address.is_v6() ? "[" + text + "]" : text) + ":" + std::to_string(port);
}

}  // namespace

StreamListener::StreamListener(std::string name, std::optional<Family> family,
                               ServiceMetrics& metrics, ConnectionLimits limits, bool lowPriority)
    : name_(std::move(name)),
      family_(family),
      metrics_(metrics),
      limits_(std::move(limits)),
      lowPriority_(lowPriority) {}

StreamListener::~StreamListener() { Stop(); }

std::string StreamListener::Listen(const std::string& host, uint16_t port, Factory factory) {
  factory_ = std::move(factory);
  std::string where = host + ":" + std::to_string(port);
  ErrorCode error;
  tcp::resolver resolver(context_);
  auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, error);
  if (error || endpoints.empty()) {
    return name_ + " cannot listen on " + where + ": " +
           (error ? error.message() : "no such address");
  }
  // The library reaches services over IPv4: an IPv4 address of the name
  // comes first.
  tcp::endpoint endpoint = endpoints.begin()->endpoint();
  for (const auto& entry : endpoints) {
    if (entry.endpoint().address().is_v4()) {
      endpoint = entry.endpoint();
      break;
    }
  }
  acceptor_.open(endpoint.protocol(), error);
  if (!error) acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor_.bind(endpoint, error);
  if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    ErrorCode ignored;
    acceptor_.close(ignored);
    return name_ + " cannot listen on " + where + ": " + error.message();
  }
  port_ = acceptor_.local_endpoint(error).port();
  return "";
}

void StreamListener::Serve() {
  Accept();
  thread_ = std::thread([this] {
    if (lowPriority_) platform::LowerCurrentThreadToIdle();
    context_.run();
  });
}

void StreamListener::Accept() {
  acceptor_.async_accept([this](ErrorCode error, tcp::socket socket) {
    if (stopping_ || error == asio::error::operation_aborted) return;
    if (error) {
      PauseAccepting(error);
      return;
    }
    Admit(std::move(socket));
    Accept();
  });
}

// Never retried at once: an error that stays (no descriptors left) would
// otherwise turn the loop into a spin.
void StreamListener::PauseAccepting(const ErrorCode& error) {
  auto now = std::chrono::steady_clock::now();
  if (now - lastAcceptErrorLog_ >= kAcceptErrorLogEvery) {
    LogEvent("%s cannot accept connections (%s, %d open); trying again every %lld ms",
             name_.c_str(), error.message().c_str(), open_.load(),
             static_cast<long long>(kAcceptPause.count()));
    lastAcceptErrorLog_ = now;
  }
  acceptPause_.expires_after(kAcceptPause);
  acceptPause_.async_wait([this](ErrorCode waited) {
    if (!waited && !stopping_) Accept();
  });
}

const char* StreamListener::RefusalOf(tcp::socket& socket, const asio::ip::address& address) {
  if (!limits_.allowed.Allows(address)) return "not allowed";
  if (open_.load() >= limits_.maxConnections) return "connection limit";
  auto counted = perAddress_.find(address);
  if (counted != perAddress_.end() && counted->second >= limits_.maxPerAddress) {
    return "address limit";
  }
  if (limits_.descriptorCeiling > 0 &&
      static_cast<int>(socket.native_handle()) >= limits_.descriptorCeiling) {
    return "descriptor reserve";
  }
  return nullptr;
}

void StreamListener::Admit(tcp::socket socket) {
  ErrorCode error;
  tcp::endpoint endpoint = socket.remote_endpoint(error);
  if (error) return;  // gone already
  asio::ip::address address = Unmapped(endpoint.address());
  std::string peer = PeerText(address, endpoint.port());
  if (const char* refusal = RefusalOf(socket, address)) {
    LogClientEvent("%s refused a connection from %s: %s (%d open)", name_.c_str(), peer.c_str(),
                   refusal, open_.load());
    metrics_.ConnectionRefused(name_, refusal);
    socket.close(error);
    return;
  }
  socket.set_option(tcp::no_delay(true), error);
  std::shared_ptr<StreamConnection> connection = factory_(std::move(socket), peer);
  connections_.emplace(connection.get(), Held{connection, address});
  ++perAddress_[address];
  ++open_;
  connection->Start();
}

void StreamListener::Forget(StreamConnection* connection) {
  auto found = connections_.find(connection);
  if (found == connections_.end()) return;
  auto counted = perAddress_.find(found->second.address);
  if (counted != perAddress_.end() && --counted->second <= 0) perAddress_.erase(counted);
  --open_;
  connections_.erase(found);  // may drop the last owner of the connection
}

void StreamListener::Stop() {
  if (stopping_.exchange(true) || !thread_.joinable()) return;
  asio::post(context_, [this] {
    ErrorCode ignored;
    acceptor_.close(ignored);
    acceptPause_.cancel();
    auto open = connections_;
    for (auto& [raw, held] : open) held.connection->Close();
  });
  // Answers owed come back through the context; after them nothing will.
  while (outside_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  context_.stop();
  thread_.join();
}

}  // namespace histfeed::service
