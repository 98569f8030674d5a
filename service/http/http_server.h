// SPDX-License-Identifier: Apache-2.0
// The service's HTTP side: pages, JSON and /metrics on one address. It
// runs on a StreamListener of its own, like a data port: one thread,
// every connection's reads, writes and time-outs on it, requests read
// whole within their limits (request_parser.h) and answered in order
// (page_responder.h). Its thread runs only on processor time nothing else
// wants (SCHED_IDLE), and it reads the database through its own read-only
// connection, so a busy page never holds up storing or acknowledging.
//
// Sources come first: page connections hold at most a quarter of the
// process's open-file limit (and at most PageOptions::maxConnections),
// and a page connection whose descriptor shows three quarters of the
// limit in use is closed at accept, so the rest stays for sources.
#ifndef HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_
#define HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "service/http/page_options.h"
#include "service/service_metrics.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service {
class StreamListener;
}

namespace histfeed::service::http {

class PageResponder;
class Routes;

class HttpServer {
 public:
  HttpServer(ServiceMetrics& metrics, StorageReader& reader, std::string version,
             PageOptions options = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on address:port (port 0 picks a free one) and serves. Returns
  // an error text, empty on success.
  std::string Start(const std::string& address, uint16_t port);
  uint16_t port() const;
  // Page connections held at once, after the descriptor reserve.
  int connectionLimit() const { return connectionLimit_; }
  // Ends every connection and the server's thread.
  void Stop();

 private:
  class Connection;

  ServiceMetrics& metrics_;
  const PageOptions options_;
  std::unique_ptr<Routes> routes_;
  std::unique_ptr<PageResponder> responder_;
  std::unique_ptr<StreamListener> listener_;
  int connectionLimit_ = 0;
};

// Splits "ADDRESS:PORT" (an IPv4 address, [an IPv6 address] or a host
// name, then 0..65535); a port alone means 127.0.0.1. Returns an error
// text, empty on success.
std::string SplitHostPort(const std::string& text, std::string* host, uint16_t* port);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_HTTP_SERVER_H_
