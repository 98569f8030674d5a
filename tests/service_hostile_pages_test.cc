// SPDX-License-Identifier: Apache-2.0
// The service's pages against hostile and careless HTTP clients, through
// the program itself: floods of header bytes, requests that ask for huge
// replies, clients that trickle or hold connections, other sites' pages,
// and requests the pages do not serve. Each time the reply stays small,
// the service's memory flat, and sources and other pages are served.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/http_exchange.h"
#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_with_pages.h"

namespace histfeed::testing {
namespace {

using namespace std::chrono_literals;

std::string Repeated(const std::string& piece, size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

std::string RequestTo(const std::string& host, const std::string& line,
                      const std::string& fields = "") {
  return line + "\r\nHost: " + host + "\r\n" + fields + "Connection: close\r\n\r\n";
}

std::string Request(const std::string& line, const std::string& fields = "") {
  return RequestTo("127.0.0.1", line, fields);
}

TEST(HostilePagesTest, HeaderFloodsAreCutShortAndMemoryStaysFlat) {
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"16 MB of small fields", Request("GET / HTTP/1.1", Repeated("X-A: b\r\n", 2'000'000)), 431},
      {"one field of 16 MB", Request("GET / HTTP/1.1", "X-Long: " + std::string(16 << 20, 'a') +
                                                           "\r\n"), 431},
      // With Host and Connection:
      {"101 fields", Request("GET / HTTP/1.1", Repeated("X-A: b\r\n", 99)), 431},
      {"100 fields", Request("GET / HTTP/1.1", Repeated("X-A: b\r\n", 98)), 200},
      {"an address of 20,000 bytes", Request("GET /" + std::string(20000, 'a') + " HTTP/1.1"),
       414},
      {"a body of 16 MB", Request("GET / HTTP/1.1", "Content-Length: 16777216\r\n") +
                              std::string(16 << 20, 'b'), 413},
  };
  ServiceWithPages service;
  ASSERT_TRUE(service.process().Start());
  ASSERT_EQ(HttpGet(service.httpPort(), "/").status, 200);
  long before = service.process().ResidentKilobytes();
  for (const Case& c : cases) {
    // Four at once, as the pages' old four workers could be taken.
    std::vector<std::thread> clients;
    std::vector<HttpReply> replies(4);
    for (HttpReply& reply : replies) {
      clients.emplace_back([&] { reply = FirstReply(ExchangeRaw(service.httpPort(), c.request)); });
    }
    for (std::thread& client : clients) client.join();
    for (const HttpReply& reply : replies) {
      EXPECT_EQ(reply.status, c.status) << c.name;
      EXPECT_LT(reply.head.size() + reply.body.size(), 8192u) << c.name;
    }
  }
  long growth = service.process().ResidentKilobytes() - before;
  EXPECT_LT(growth, 16 * 1024) << "KiB the service grew by";
  EXPECT_EQ(HttpGet(service.httpPort(), "/").status, 200);
}

TEST(HostilePagesTest, RangesNeverMakeAReplyLargerThanThePage) {
  std::string manyRanges = "bytes=0-0";
  for (int i = 1; i < 2656; ++i) manyRanges += "," + std::to_string(i) + "-" + std::to_string(i);
  const std::vector<std::pair<const char*, std::string>> ranges = {
      {"2,656 ranges in 8 KB", manyRanges.substr(0, 7900)},
      {"one range", "bytes=0-10"},
      {"the whole page, 200 times over", Repeated("0-,", 200) + "0-"},
      {"a suffix", "bytes=-5"},
  };
  ServiceWithPages service;
  ASSERT_TRUE(service.process().Start());
  HttpReply whole = HttpGet(service.httpPort(), "/pages.js");
  ASSERT_EQ(whole.status, 200);
  long before = service.process().ResidentKilobytes();
  for (const auto& [name, range] : ranges) {
    std::string raw = ExchangeRaw(service.httpPort(),
                                  Request("GET /pages.js HTTP/1.1", "Range: " + range + "\r\n"));
    HttpReply reply = FirstReply(raw);
    EXPECT_EQ(reply.status, 200) << name;
    EXPECT_EQ(reply.body, whole.body) << name;
    EXPECT_LE(raw.size(), whole.head.size() + 2 + whole.body.size() + 64) << name;
  }
  EXPECT_LT(service.process().ResidentKilobytes() - before, 4 * 1024) << "KiB grown";
}

// Connections that each send a byte of a request now and then, from a
// thread, until told to stop.
class Tricklers {
 public:
  Tricklers(uint16_t port, int count) {
    for (int i = 0; i < count; ++i) {
      int fd = ConnectLoopback(port);
      if (fd >= 0) fds_.push_back(fd);
    }
    thread_ = std::thread([this] {
      std::string start = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
      for (int fd : fds_) send(fd, start.data(), start.size(), MSG_NOSIGNAL);
      while (!stop_) {
        for (int fd : fds_) send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(100ms);
      }
    });
  }
  ~Tricklers() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) close(fd);
  }
  // The connections the service has closed within `wait`.
  int ClosedWithin(std::chrono::milliseconds wait) {
    int closed = 0;
    for (int fd : fds_) closed += testing::ClosedWithin(fd, wait) ? 1 : 0;
    return closed;
  }
  int size() const { return static_cast<int>(fds_.size()); }

 private:
  std::vector<int> fds_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(HostilePagesTest, TricklingAndHoardingPageClientsStarveNeitherSourcesNorPages) {
  struct Case {
    const char* name;
    int openFiles;  // 0: as the system allows
    int clients;
  };
  const std::vector<Case> cases = {
      {"ten clients trickling a header byte each", 0, 10},
      {"three hundred under an open-file limit of 128", 128, 300},
  };
  for (const Case& c : cases) {
    ServiceWithPages service({"--http-timeout", "1"}, c.openFiles);
    ASSERT_TRUE(service.process().Start()) << c.name;
    Tricklers tricklers(service.httpPort(), c.clients);
    ASSERT_EQ(tricklers.size(), c.clients) << c.name;
    // A source that comes now is taken in and answered.
    int source = ConnectLoopback(service.port());
    ASSERT_GE(source, 0) << c.name;
    EXPECT_EQ(SendLongIdValue(source, "NEW.SOURCE", 100, 3s), 0x06) << c.name;
    close(source);
    // Pages are answered, at the latest once the tricklers' requests run
    // out of time.
    int answered = 0;
    auto start = std::chrono::steady_clock::now();
    while (answered < 9 && std::chrono::steady_clock::now() - start < 6s) {
      if (FirstReply(ExchangeRaw(service.httpPort(), Request("GET /api/overview HTTP/1.1"), 1s))
              .status == 200) {
        ++answered;
      }
    }
    EXPECT_EQ(answered, 9) << c.name;
    EXPECT_EQ(tricklers.ClosedWithin(3s), c.clients) << c.name;
  }
}

TEST(HostilePagesTest, RequestsThePagesDoNotServeGetClearAnswers) {
  struct Case {
    const char* name;
    std::string request;
    int status;
    std::vector<const char*> headers;  // present in the answer
  };
  const char* kGuards[] = {"Content-Security-Policy: default-src 'self'",
                           "X-Frame-Options: DENY", "X-Content-Type-Options: nosniff"};
  const std::vector<Case> cases = {
      {"TRACE", Request("TRACE / HTTP/1.1"), 405, {"Allow: GET, HEAD"}},
      {"CONNECT", Request("CONNECT 127.0.0.1:80 HTTP/1.1"), 405, {"Allow: GET, HEAD"}},
      {"an unknown method", Request("BREW /pot HTTP/1.1"), 405, {"Allow: GET, HEAD"}},
      {"POST with a body", Request("POST / HTTP/1.1", "Content-Length: 3\r\n") + "abc", 405,
       {"Allow: GET, HEAD"}},
      {"another site's name", RequestTo("evil.example", "GET / HTTP/1.1"), 421, {}},
      {"two Hosts", Request("GET / HTTP/1.1", "Host: 127.0.0.1\r\n"), 400, {}},
      {"no Host", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 400, {}},
      {"a name given with --http-host", RequestTo("Historian:8080", "GET / HTTP/1.1"), 200,
       {"Content-Type: text/html"}},
      {"an IPv6 address", RequestTo("[::1]:80", "GET / HTTP/1.1"), 200, {}},
      {"localhost", RequestTo("localhost.", "GET / HTTP/1.1"), 200, {}},
      {"a name ending in an IP address", RequestTo("127.0.0.1.evil.example", "GET / HTTP/1.1"),
       421, {}},
      {"HTTP/1.0 without Host", "GET /pages.css HTTP/1.0\r\n\r\n", 200, {"Connection: close"}},
      {"a bad escape", Request("GET /api/points?q=%G0 HTTP/1.1"), 400, {}},
      {"HTTP/2", Request("GET / HTTP/2.0"), 400, {}},
  };
  ServiceWithPages service({"--http-host", "historian"});
  ASSERT_TRUE(service.process().Start());
  for (const Case& c : cases) {
    HttpReply reply = FirstReply(ExchangeRaw(service.httpPort(), c.request, 3s));
    EXPECT_EQ(reply.status, c.status) << c.name << "\n" << reply.head;
    for (const char* header : c.headers) {
      EXPECT_NE(reply.head.find(header), std::string::npos) << c.name << ": " << header;
    }
    for (const char* header : kGuards) {
      EXPECT_NE(reply.head.find(header), std::string::npos) << c.name << ": " << header;
    }
  }

  // Requests sent back to back are answered in order, each whole.
  std::string raw = ExchangeRaw(service.httpPort(),
                                "GET /pages.css HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                "HEAD /pages.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
                                    Request("GET /api/overview HTTP/1.1"));
  std::vector<std::string> types;
  for (size_t at = raw.find("HTTP/1.1 "); at != std::string::npos;
       at = raw.find("HTTP/1.1 ", at + 1)) {
    HttpReply reply = FirstReply(raw.substr(at));
    types.push_back(std::to_string(reply.status) + " " + HeaderValue(reply.head, "Content-Type"));
  }
  EXPECT_EQ(types, (std::vector<std::string>{"200 text/css; charset=utf-8",
                                             "200 text/javascript; charset=utf-8",
                                             "200 application/json"}));

  // Pages closed to a network this client is not in: closed at accept.
  ServiceWithPages closed({"--http-allow", "192.0.2.0/24,fd00::/8"});
  ASSERT_TRUE(closed.process().Start());
  EXPECT_EQ(ExchangeRaw(closed.httpPort(), Request("GET / HTTP/1.1"), 3s), "");
}

}  // namespace
}  // namespace histfeed::testing
