// SPDX-License-Identifier: Apache-2.0
#include "service/http/http_server.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <optional>

#include "service/http/page_responder.h"
#include "service/http/request_parser.h"
#include "service/http/routes.h"
#include "service/listeners/stream_connection.h"
#include "service/listeners/stream_listener.h"

namespace histfeed::service::http {
namespace {

int OpenFileLimit() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return INT_MAX;
  return static_cast<int>(std::min<rlim_t>(files.rlim_cur, INT_MAX));
}

// The names the pages answer to: those given, and the one they listen on
// when it is a name.
std::vector<std::string> HostNames(const PageOptions& options, const std::string& address) {
  std::vector<std::string> names = options.hostNames;
  ErrorCode error;
  asio::ip::make_address(address, error);
  if (error && !address.empty()) {
    std::string name = address;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.push_back(name);
  }
  return names;
}

}  // namespace

// One page connection: requests are read whole, one at a time, and each
// is answered before the next is looked at, so pipelined requests are
// answered in order.
class HttpServer::Connection final : public StreamConnection {
 public:
  Connection(asio::ip::tcp::socket socket, StreamListener& listener, const std::string& peer,
             PageResponder& responder)
      : StreamConnection(std::move(socket), listener, peer, kMaxRequestBytes),
        responder_(responder) {
    parser_.emplace();
  }

 protected:
  Framing Measure(const uint8_t* pending, size_t size, size_t* length) override {
    switch (parser_->Parse(pending, size)) {
      case RequestParser::Progress::kDone:
        *length = parser_->consumed();
        return Framing::kComplete;
      case RequestParser::Progress::kRefused:
        refusal_ = parser_->refusalStatus();
        return Framing::kBroken;
      case RequestParser::Progress::kNeedMore:
        break;
    }
    if (size < kMaxRequestBytes) return Framing::kNeedMore;
    refusal_ = 413;  // a body in chunks too small to fit
    return Framing::kBroken;
  }

  void Handle(const uint8_t*, size_t) override {
    bool close = false;
    std::string response = responder_.Respond(parser_->head(), &close);
    parser_.emplace();
    Send(response, close);
  }

  void Broken() override { Send(PageResponder::Refusal(refusal_), true); }

 private:
  void Send(const std::string& response, bool thenClose) {
    Answer(std::vector<uint8_t>(response.begin(), response.end()), thenClose);
  }

  PageResponder& responder_;
  std::optional<RequestParser> parser_;  // of the request being read
  int refusal_ = 400;
};

HttpServer::HttpServer(ServiceMetrics& metrics, StorageReader& reader, std::string version,
                       PageOptions options)
    : metrics_(metrics),
      options_(std::move(options)),
      routes_(std::make_unique<Routes>(metrics, reader, std::move(version))) {}

HttpServer::~HttpServer() { Stop(); }

uint16_t HttpServer::port() const { return listener_ ? listener_->port() : 0; }

std::string HttpServer::Start(const std::string& address, uint16_t port) {
  responder_ = std::make_unique<PageResponder>(*routes_, HostNames(options_, address));
  int files = OpenFileLimit();
  ConnectionLimits limits;
  limits.maxConnections = std::max(1, std::min(options_.maxConnections, files / 4));
  limits.maxPerAddress = limits.maxConnections;
  limits.frameTimeout = options_.requestTimeout;
  limits.idleTimeout = options_.idleTimeout;
  limits.allowed = options_.allowed;
  limits.descriptorCeiling = files == INT_MAX ? 0 : files - files / 4;
  connectionLimit_ = limits.maxConnections;
  listener_ = std::make_unique<StreamListener>("http", std::nullopt, metrics_, limits,
                                               /*lowPriority=*/true);
  std::string error = listener_->Listen(
      address, port, [this](asio::ip::tcp::socket socket, const std::string& peer) {
        return std::make_shared<Connection>(std::move(socket), *listener_, peer, *responder_);
      });
  if (!error.empty()) {
    listener_.reset();
    return error;
  }
  listener_->Serve();
  return "";
}

void HttpServer::Stop() {
  if (listener_) listener_->Stop();
}

std::string SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  const std::string example = "--http needs ADDRESS:PORT, as in 127.0.0.1:8080 or [::1]:8080";
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    // A port alone: loopback, so nothing is shown beyond this machine
    // unless asked for.
    std::string error = SplitHostPort("127.0.0.1:" + text, host, port);
    return error.empty() ? "" : example;
  }
  std::string name = text.substr(0, colon);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  } else if (name.find(':') != std::string::npos) {
    return example;  // an IPv6 address goes in brackets
  }
  if (name.empty()) return example;
  unsigned number = 0;
  const char* begin = text.data() + colon + 1;
  const char* end = text.data() + text.size();
  auto result = std::from_chars(begin, end, number);
  if (begin == end || result.ec != std::errc() || result.ptr != end || number > 65535) {
    return "--http needs a port from 0 to 65535 after the colon";
  }
  *host = name;
  *port = static_cast<uint16_t>(number);
  return "";
}

}  // namespace histfeed::service::http
