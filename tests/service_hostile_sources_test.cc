// SPDX-License-Identifier: Apache-2.0
// The service program against careless and hostile use beyond its pages:
// stop signals while clients hang on, names that are not UTF-8 or hold
// control bytes, sources from where they are not allowed or too many from
// one address, floods of connections in the log, and a manual page that
// must name every option.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/command_line.h"
#include "tests/support/database_rows.h"
#include "tests/support/http_exchange.h"
#include "tests/support/loopback.h"
#include "tests/support/service_with_pages.h"

namespace histfeed::testing {
namespace {

using namespace std::chrono_literals;

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (char c : bytes) {
    text.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    text.push_back(kDigits[static_cast<unsigned char>(c) & 15]);
  }
  return text;
}

TEST(HostileSourcesTest, StopSignalsEndTheServiceCleanlyWhateverClientsDo) {
  struct Case {
    int signal;
    bool stops;
  };
  for (Case c : {Case{SIGTERM, true}, Case{SIGINT, true}, Case{SIGHUP, true},
                 Case{SIGUSR1, false}}) {
    ServiceWithPages service;
    ASSERT_TRUE(service.process().Start());
    // A page client trickling its header, and a source streaming values.
    int trickler = ConnectLoopback(service.httpPort());
    ASSERT_GE(trickler, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> acknowledged{0};
    std::thread trickle([&] {
      send(trickler, "GET / HTTP/1.1\r\nX-Slow: ", 24, MSG_NOSIGNAL);
      while (!stop) {
        send(trickler, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(50ms);
      }
    });
    std::thread source([&] {
      int fd = ConnectLoopback(service.port());
      for (int32_t time = 1; !stop && SendLongIdValue(fd, "STREAM", time, 2s) == 0x06; ++time) {
        ++acknowledged;
      }
      close(fd);
    });
    while (acknowledged < 20) std::this_thread::sleep_for(1ms);
    std::optional<int> status;
    if (c.stops) {
      status = service.process().StopWithin(c.signal, 5s);
    } else {
      kill(service.process().pid(), c.signal);
      std::this_thread::sleep_for(200ms);
      int before = acknowledged;
      std::this_thread::sleep_for(200ms);
      EXPECT_GT(acknowledged, before) << "after signal " << c.signal;
      status = service.process().StopWithin(SIGTERM, 5s);
    }
    stop = true;
    trickle.join();
    source.join();
    close(trickler);
    ASSERT_TRUE(status.has_value()) << "signal " << c.signal << " did not end it within 5 s";
    EXPECT_EQ(*status, 0) << "signal " << c.signal;
    // Everything acknowledged is stored.
    std::unique_ptr<service::Storage> stored = ReadStorage(service.database());
    ASSERT_NE(stored, nullptr);
    std::string error;
    EXPECT_GE(stored->Totals(&error).values, acknowledged.load()) << "signal " << c.signal;
  }
}

TEST(HostileSourcesTest, EveryStoredNameOpensThroughItsOwnLink) {
  const std::vector<std::string> names = {
      "TEMP\xB0" "C",       // Latin-1, as a Windows source sends it
      "caf\xc3\xa9",        // UTF-8
      "A+B &C=D%20?#",      // what a query would take apart
      "\x1b[31mRED\x7f",    // control bytes
      "half\xe2\x82",       // a UTF-8 sequence cut short
  };
  ServiceWithPages service;
  ASSERT_TRUE(service.process().Start());
  int fd = ConnectLoopback(service.port());
  for (const std::string& name : names) ASSERT_EQ(SendLongIdValue(fd, name, 100), 0x06) << name;
  close(fd);

  HttpReply list = HttpGet(service.httpPort(), "/api/points?limit=500");
  ASSERT_EQ(list.status, 200);
  for (const std::string& name : names) {
    std::string hex = Hex(name);
    std::smatch found;
    std::regex member("\"pointHex\":\"" + hex + "\",\"query\":\"([^\"]*)\"");
    ASSERT_TRUE(std::regex_search(list.body, found, member)) << hex << " in " << list.body;
    std::string query = found[1];
    HttpReply point = HttpGet(service.httpPort(), "/api/point?" + query);
    EXPECT_EQ(point.status, 200) << hex << ": " << point.body;
    EXPECT_NE(point.body.find("\"pointHex\":\"" + hex + "\""), std::string::npos) << hex;
    EXPECT_EQ(HttpGet(service.httpPort(), "/point?" + query).status, 200) << hex;
    HttpReply chart = HttpGet(service.httpPort(), "/chart.svg?" + query);
    EXPECT_EQ(chart.status, 200) << hex;
    // Shown with every byte visible, and the result valid UTF-8.
    for (unsigned char c : chart.body) EXPECT_TRUE(c >= 0x20 || c == '\n') << hex;
  }
  EXPECT_NE(list.body.find(R"("point":"TEMP\\xb0C")"), std::string::npos);
  EXPECT_NE(list.body.find(R"("point":"\\x1b[31mRED\\x7f")"), std::string::npos);
}

// Runs the program with `arguments` and returns its standard output.
std::string Output(const std::string& arguments) {
  FILE* pipe = popen((std::string(HISTFEED_SERVICE_BINARY) + " " + arguments).c_str(), "r");
  std::string text;
  char chunk[4096];
  size_t got;
  while (pipe != nullptr && (got = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    text.append(chunk, got);
  }
  if (pipe != nullptr) pclose(pipe);
  return text;
}

TEST(HostileSourcesTest, DumpShowsEveryByteWithoutActingOnTerminalsOrSpreadsheets) {
  struct Case {
    std::string name;
    std::string plain;  // as the plain output shows it
    std::string csv;    // its CSV field
  };
  const std::vector<Case> cases = {
      {"ESC\x1b[2Jx", "ESC\\x1b[2Jx", "\"ESC\\x1b[2Jx\""},
      {"two\nlines", "two\\x0alines", "\"two\\x0alines\""},
      {"TEMP\xB0" "C", "TEMP\\xb0C", "\"TEMP\\xb0C\""},
      {"=1+2", "=1+2", "\"'=1+2\""},
      {"+cmd", "+cmd", "\"'+cmd\""},
      {"@SUM(A1)", "@SUM(A1)", "\"'@SUM(A1)\""},
      {"-12.5", "-12.5", "\"-12.5\""},
      {"say \"hi\"", "say \"hi\"", "\"say \"\"hi\"\"\""},
  };
  ServiceWithPages service;
  ASSERT_TRUE(service.process().Start());
  int fd = ConnectLoopback(service.port());
  for (const Case& c : cases) ASSERT_EQ(SendLongIdValue(fd, c.name, 100), 0x06);
  close(fd);
  service.process().Stop(SIGTERM);

  std::string plain = Output("dump --db " + service.database());
  std::string csv = Output("dump --csv --db " + service.database());
  for (const std::string& output : {plain, csv}) {
    size_t lines = 0;
    for (unsigned char c : output) {
      lines += c == '\n';
      EXPECT_TRUE(c >= 0x20 || c == '\n') << "byte " << int(c) << " in\n" << output;
    }
    // A heading, one line per point, and the totals in the plain form.
    EXPECT_EQ(lines, cases.size() + (output == plain ? 2 : 1)) << output;
  }
  for (const Case& c : cases) {
    EXPECT_NE(plain.find(" " + c.plain + " "), std::string::npos) << c.plain << "\n" << plain;
    EXPECT_NE(csv.find(",long," + c.csv + ","), std::string::npos) << c.csv << "\n" << csv;
  }
}

TEST(HostileSourcesTest, SourcesAreTakenOnlyFromWhereAndAsManyAsAllowed) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    int accepted;  // of four connections from this address
    const char* counted;  // the /metrics sample that counts those refused
  };
  const std::vector<Case> cases = {
      {"another network only", {"--allow", "192.0.2.0/24, fd00::/8"}, 0,
       "histfeed_connections_refused_total{port=\"universal\",reason=\"not allowed\"} "},
      {"this machine's network", {"--allow", "10.0.0.0/8,127.0.0.0/8"}, 4, nullptr},
      {"two per address", {"--max-connections-per-address", "2"}, 2,
       "histfeed_connections_refused_total{port=\"universal\",reason=\"address limit\"} "},
  };
  for (const Case& c : cases) {
    ServiceWithPages service(c.options);
    ASSERT_TRUE(service.process().Start()) << c.name;
    std::vector<int> fds;
    int accepted = 0;
    for (int i = 0; i < 4; ++i) {
      fds.push_back(ConnectLoopback(service.port()));
      accepted += SendLongIdValue(fds.back(), "P", 100 + i, 2s) == 0x06;
    }
    EXPECT_EQ(accepted, c.accepted) << c.name;
    HttpReply metrics = HttpGet(service.httpPort(), "/metrics");
    if (c.counted != nullptr) {
      // At least those four refused here (the start-up probe may add one).
      size_t at = metrics.body.find(c.counted);
      ASSERT_NE(at, std::string::npos) << c.name << "\n" << metrics.body;
      EXPECT_GE(std::atoi(metrics.body.c_str() + at + strlen(c.counted)), 4 - c.accepted);
    } else {
      EXPECT_EQ(metrics.body.find("histfeed_connections_refused_total{"), std::string::npos);
    }
    for (int fd : fds) close(fd);
  }
}

TEST(HostileSourcesTest, AFloodOfConnectionsLeavesAFewLinesAndASummaryInTheLog) {
  ServiceWithPages service;
  service.process().LogTo(service.File("service.log"));
  ASSERT_TRUE(service.process().Start());
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) {
    int fd = ConnectLoopback(service.port());
    ASSERT_GE(fd, 0);
    close(fd);
  }
  std::this_thread::sleep_for(1200ms);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int fd = ConnectLoopback(service.port());  // after the window: its line is written
  EXPECT_EQ(SendLongIdValue(fd, "P", 1), 0x06);
  close(fd);
  ASSERT_EQ(service.process().StopWithin(SIGTERM, 5s), 0);

  std::ifstream log(service.File("service.log"));
  int connectionLines = 0, summaries = 0;
  for (std::string line; std::getline(log, line);) {
    connectionLines += line.find("universal connection from") != std::string::npos;
    summaries += line.find("lines about clients left out") != std::string::npos;
  }
  EXPECT_LE(connectionLines, 5 * (static_cast<int>(seconds) + 2)) << "of 602";
  EXPECT_GE(summaries, 1);
}

TEST(HostileSourcesTest, TheManualPageNamesEveryOption) {
  std::ifstream file(std::string(HISTFEED_SOURCE_DIR) + "/docs/histfeed-service.1.in");
  std::stringstream manual;
  manual << file.rdbuf();
  std::string usage = service::UsageText();
  std::set<std::string> options;
  std::regex option("--[a-z][a-z-]*");
  for (auto it = std::sregex_iterator(usage.begin(), usage.end(), option);
       it != std::sregex_iterator(); ++it) {
    options.insert(it->str());
  }
  EXPECT_GE(options.size(), 25u);
  for (std::string name : options) {
    std::string inManual;
    for (char c : name) inManual += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(manual.str().find(inManual), std::string::npos) << name << " is not in the manual";
  }
  for (const char* topic :
       {".SH SECURITY", "IPv6", "SIGHUP", "SIGUSR1", "Content\\-Security\\-Policy"}) {
    EXPECT_NE(manual.str().find(topic), std::string::npos) << topic;
  }
}

}  // namespace
}  // namespace histfeed::testing
