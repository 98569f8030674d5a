// SPDX-License-Identifier: Apache-2.0
#include "service/http/http_server.h"

#include <httplib.h>

#include <charconv>
#include <chrono>

#include "platform/thread_priority.h"
#include "service/http/routes.h"

namespace histfeed::service::http {
namespace {

constexpr size_t kWorkerThreads = 4;

// Threads of the HTTP side run only on processor time the listeners and
// the storage writer leave over: a page may wait, an acknowledgement not.
void LowerThisThreadsPriority() {
  thread_local bool lowered = false;
  if (lowered) return;
  lowered = true;
  platform::LowerCurrentThreadToIdle();
}

// The server's worker pool, its threads lowered before they read a
// request, not only once a handler runs.
class IdleThreadPool : public httplib::TaskQueue {
 public:
  explicit IdleThreadPool(size_t threads) : pool_(threads) {}
  void enqueue(std::function<void()> task) override {
    pool_.enqueue([task = std::move(task)] {
      LowerThisThreadsPriority();
      task();
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
};

}  // namespace

struct HttpServer::Server {
  httplib::Server server;
};

std::string SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == 0) return "--http needs ADDRESS:PORT, as in 127.0.0.1:8080";
  if (colon == std::string::npos) {
    // A port alone: loopback, so nothing is shown beyond this machine
    // unless asked for.
    std::string error = SplitHostPort("127.0.0.1:" + text, host, port);
    return error.empty() ? "" : "--http needs ADDRESS:PORT, as in 127.0.0.1:8080";
  }
  unsigned number = 0;
  const char* begin = text.data() + colon + 1;
  const char* end = text.data() + text.size();
  auto result = std::from_chars(begin, end, number);
  if (begin == end || result.ec != std::errc() || result.ptr != end || number > 65535) {
    return "--http needs a port from 0 to 65535 after the colon";
  }
  *host = text.substr(0, colon);
  *port = static_cast<uint16_t>(number);
  return "";
}

HttpServer::HttpServer(ServiceMetrics& metrics, StorageReader& reader, std::string version)
    : routes_(std::make_unique<Routes>(metrics, reader, std::move(version))),
      server_(std::make_unique<Server>()) {}

HttpServer::~HttpServer() { Stop(); }

std::string HttpServer::Start(const std::string& address, uint16_t port) {
  httplib::Server& server = server_->server;
  server.new_task_queue = [] { return new IdleThreadPool(kWorkerThreads); };
  server.set_keep_alive_timeout(2);
  server.set_read_timeout(5, 0);
  server.set_write_timeout(5, 0);
  server.set_payload_max_length(1024);
  server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Reply reply = routes_->Get(request.path, request.params);
    response.status = reply.status;
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_content(std::move(reply.body), reply.contentType.c_str());
  });
  auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET is answered here\n", "text/plain; charset=utf-8");
  };
  server.Post(".*", refuse);
  server.Put(".*", refuse);
  server.Patch(".*", refuse);
  server.Delete(".*", refuse);
  server.Options(".*", refuse);
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 503;
        response.set_content("the page could not be made now\n", "text/plain; charset=utf-8");
      });
  int bound = port == 0 ? server.bind_to_any_port(address)
                        : (server.bind_to_port(address, port) ? port : -1);
  if (bound <= 0) return "http cannot listen on " + address + ":" + std::to_string(port);
  port_ = static_cast<uint16_t>(bound);
  thread_ = std::thread([this, &server] {
    LowerThisThreadsPriority();
    server.listen_after_bind();
    listenEnded_ = true;
  });
  // A stop before the server runs would be lost, and Stop would wait for
  // ever: Start returns once it runs.
  while (!server.is_running() && !listenEnded_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return "";
}

void HttpServer::Stop() {
  if (!thread_.joinable()) return;
  server_->server.stop();
  thread_.join();
}

}  // namespace histfeed::service::http
