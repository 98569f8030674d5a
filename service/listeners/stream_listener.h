// SPDX-License-Identifier: Apache-2.0
// A TCP listener on one thread: it accepts connections within its limits
// and runs every connection's reads, writes and timers on that thread, so
// a connection costs a socket and a little memory, never a thread. What a
// connection means is its subclass's business (see stream_connection.h).
//
// A connection from an address the limits do not allow, beyond the
// port's or its address's connection limit, or above the descriptor
// ceiling is closed at accept, counted in the metrics by port and reason
// and logged (rate-limited).
#ifndef HISTFEED_SERVICE_LISTENERS_STREAM_LISTENER_H_
#define HISTFEED_SERVICE_LISTENERS_STREAM_LISTENER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "service/listeners/connection_limits.h"
#include "service/network.h"
#include "service/service_metrics.h"

namespace histfeed::service {

class StreamConnection;

class StreamListener {
 public:
  // Makes the connection for an accepted socket; `peer` names the client.
  using Factory = std::function<std::shared_ptr<StreamConnection>(asio::ip::tcp::socket socket,
                                                                  const std::string& peer)>;

  // `family` is the sources' family a connection counts for, none for
  // the pages. `lowPriority` runs the thread only on processor time
  // nobody else wants.
  StreamListener(std::string name, std::optional<Family> family, ServiceMetrics& metrics,
                 ConnectionLimits limits, bool lowPriority = false);
  ~StreamListener();
  StreamListener(const StreamListener&) = delete;
  StreamListener& operator=(const StreamListener&) = delete;

  // Listens on host:port (a host name or address; port 0 picks a free
  // one) without accepting yet. Returns an error text, empty on success.
  std::string Listen(const std::string& host, uint16_t port, Factory factory);
  // Starts accepting what Listen has bound.
  void Serve();
  uint16_t port() const { return port_; }
  int openConnections() const { return open_.load(); }

  // Stops accepting and closes every connection. Answers still owed wait
  // for the storage writer, which must run until this returns.
  void Stop();

  // For connections: their thread's context, their limits, their metrics.
  asio::io_context& context() { return context_; }
  const ConnectionLimits& limits() const { return limits_; }
  ServiceMetrics& metrics() { return metrics_; }
  std::optional<Family> family() const { return family_; }
  const std::string& name() const { return name_; }
  // A connection has closed.
  void Forget(StreamConnection* connection);
  // Work handed to another thread (the storage writer) whose result comes
  // back through context(); Stop waits until none is outstanding.
  void BeginOutside() { ++outside_; }
  void EndOutside() { --outside_; }

 private:
  void Accept();
  void Admit(asio::ip::tcp::socket socket);
  // Why a connection from `address` is closed at accept, or null.
  const char* RefusalOf(asio::ip::tcp::socket& socket, const asio::ip::address& address);
  void PauseAccepting(const ErrorCode& error);

  struct Held {
    std::shared_ptr<StreamConnection> connection;
    asio::ip::address address;
  };

  const std::string name_;
  const std::optional<Family> family_;
  ServiceMetrics& metrics_;
  const ConnectionLimits limits_;
  const bool lowPriority_;
  Factory factory_;
  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_{context_};
  asio::steady_timer acceptPause_{context_};
  std::chrono::steady_clock::time_point lastAcceptErrorLog_{};
  uint16_t port_ = 0;
  std::atomic<int> open_{0};
  std::atomic<int> outside_{0};
  std::atomic<bool> stopping_{false};
  // Only the listener's thread touches the tables.
  std::unordered_map<StreamConnection*, Held> connections_;
  std::map<asio::ip::address, int> perAddress_;
  std::thread thread_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_STREAM_LISTENER_H_
