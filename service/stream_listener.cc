// SPDX-License-Identifier: Apache-2.0
#include "service/stream_listener.h"

#include <boost/asio/post.hpp>

#include "service/event_log.h"
#include "service/stream_connection.h"

namespace histfeed::service {
namespace {

using asio::ip::tcp;

// How long accepting rests after an error such as running out of file
// descriptors: the pending connections wait in the backlog meanwhile.
constexpr std::chrono::milliseconds kAcceptPause{250};
constexpr std::chrono::seconds kAcceptErrorLogEvery{10};

std::string PeerText(const tcp::socket& socket) {
  ErrorCode error;
  tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "?";
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

}  // namespace

StreamListener::StreamListener(std::string name, Family family, ServiceMetrics& metrics,
                               ConnectionLimits limits)
    : name_(std::move(name)), family_(family), metrics_(metrics), limits_(limits) {}

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
  thread_ = std::thread([this] { context_.run(); });
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

void StreamListener::Admit(tcp::socket socket) {
  std::string peer = PeerText(socket);
  if (open_.load() >= limits_.maxConnections) {
    LogEvent("%s refused a connection from %s: %d connections open, the most allowed "
             "(--max-connections)", name_.c_str(), peer.c_str(), open_.load());
    metrics_.Rejected(0, "connection limit");
    ErrorCode ignored;
    socket.close(ignored);
    return;
  }
  ErrorCode ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  std::shared_ptr<StreamConnection> connection = factory_(std::move(socket), peer);
  connections_.emplace(connection.get(), connection);
  ++open_;
  connection->Start();
}

void StreamListener::Forget(StreamConnection* connection) {
  if (connections_.erase(connection) > 0) --open_;
}

void StreamListener::Stop() {
  if (stopping_.exchange(true) || !thread_.joinable()) return;
  asio::post(context_, [this] {
    ErrorCode ignored;
    acceptor_.close(ignored);
    acceptPause_.cancel();
    auto open = connections_;
    for (auto& [raw, connection] : open) connection->Close();
  });
  // Answers owed come back through the context; after them nothing will.
  while (outside_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  context_.stop();
  thread_.join();
}

}  // namespace histfeed::service
