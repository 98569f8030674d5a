// SPDX-License-Identifier: Apache-2.0
// A TCP listener on one thread: it accepts connections up to a limit and
// runs every connection's reads, writes and timers on that thread, so a
// connection costs a socket and a little memory, never a thread. What a
// connection means is its subclass's business (see stream_connection.h).
#ifndef HISTFEED_SERVICE_STREAM_LISTENER_H_
#define HISTFEED_SERVICE_STREAM_LISTENER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "service/network.h"
#include "service/connection_limits.h"
#include "service/service_metrics.h"

namespace histfeed::service {

class StreamConnection;

class StreamListener {
 public:
  // Makes the connection for an accepted socket; `peer` names the client.
  using Factory = std::function<std::shared_ptr<StreamConnection>(asio::ip::tcp::socket socket,
                                                                  const std::string& peer)>;

  StreamListener(std::string name, Family family, ServiceMetrics& metrics,
                 ConnectionLimits limits);
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
  Family family() const { return family_; }
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
  void PauseAccepting(const ErrorCode& error);

  const std::string name_;
  const Family family_;
  ServiceMetrics& metrics_;
  const ConnectionLimits limits_;
  Factory factory_;
  asio::io_context context_;
  asio::ip::tcp::acceptor acceptor_{context_};
  asio::steady_timer acceptPause_{context_};
  std::chrono::steady_clock::time_point lastAcceptErrorLog_{};
  uint16_t port_ = 0;
  std::atomic<int> open_{0};
  std::atomic<int> outside_{0};
  std::atomic<bool> stopping_{false};
  // Only the listener's thread touches the table.
  std::unordered_map<StreamConnection*, std::shared_ptr<StreamConnection>> connections_;
  std::thread thread_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STREAM_LISTENER_H_
