// SPDX-License-Identifier: Apache-2.0
// The service's HTTP side: pages, JSON and /metrics on one address,
// answering GET (and HEAD) only. Its threads run only on processor time
// nothing else wants (SCHED_IDLE), and it reads the database through its
// own read-only connection, so a busy page never holds up storing or
// acknowledging.
#ifndef HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_
#define HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "service/service_metrics.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

class Routes;

class HttpServer {
 public:
  HttpServer(ServiceMetrics& metrics, StorageReader& reader, std::string version);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on address:port (port 0 picks a free one). Returns an error
  // text, empty on success.
  std::string Start(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }
  // Ends every connection and waits for the server's threads.
  void Stop();

 private:
  struct Server;
  std::unique_ptr<Routes> routes_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::atomic<bool> listenEnded_{false};
  uint16_t port_ = 0;
};

// Splits "ADDRESS:PORT" (an IPv4 address or a host name, then 0..65535);
// a port alone means 127.0.0.1. Returns an error text, empty on success.
std::string SplitHostPort(const std::string& text, std::string* host, uint16_t* port);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_
