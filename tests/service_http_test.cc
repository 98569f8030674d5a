// SPDX-License-Identifier: Apache-2.0
// The service's HTTP side: what the database reader finds, the JSON and
// chart it answers with, the parameters it refuses, /metrics as promtool
// reads it, and the metrics the listeners report.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "service/event_log.h"
#include "service/http/http_server.h"
#include "service/http/json_writer.h"
#include "service/http/metrics_sampler.h"
#include "service/http/metrics_text.h"
#include "service/http/query_params.h"
#include "service/http/routes.h"
#include "service/listeners/address_filter.h"
#include "service/listeners/universal_listener.h"
#include "service/service_metrics.h"
#include "service/storage/storage.h"
#include "service/storage/storage_reader.h"
#include "service/storage/storage_writer.h"
#include "tests/support/loopback.h"
#include "tests/support/service_backend.h"
#include "tests/support/temp_directory.h"
#include "tests/support/value_frame.h"

namespace histfeed::service {
namespace {

using http::QueryParams;
using http::Reply;
using histfeed::testing::ReadExactly;
using histfeed::testing::ValueFrame;
using histfeed::testing::WriteAll;

ValueRow Value(const std::string& point, int64_t time, int32_t msec, double value) {
  ValueRow row;
  row.family = "universal";
  row.point = point;
  row.time = time;
  row.msec = msec;
  row.value = value;
  return row;
}

class ServiceHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventLogQuiet(true);
    ASSERT_NE(storage_, nullptr);
  }
  void Store(Batch batch) { ASSERT_TRUE(storage_->Commit(batch)); }
  Reply Get(const std::string& path, const QueryParams& params = {}) {
    return routes_.Get(path, params);
  }
  PointRow Find(const std::string& point) {
    std::string error;
    PointPage page = reader_.Points({point, http::kMaxPageSize, 0}, &error);
    EXPECT_EQ(error, "");
    for (const PointRow& row : page.rows) {
      if (row.key.point == point) return row;
    }
    ADD_FAILURE() << point << " is not listed";
    return {};
  }

  testing::TempDirectory dir_;
  std::unique_ptr<Storage> storage_ = testing::ServiceBackend::Open(dir_.File("history.db"));
  StorageReader& reader_ = *storage_;
  ServiceMetrics metrics_;
  http::Routes routes_{metrics_, reader_, "9.9.9"};
};

TEST_F(ServiceHttpTest, PointsArePagedSearchedAndShowTheirLatestValue) {
  Batch batch;
  for (int i = 0; i < 1200; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "P%04d", i);
    batch.values.push_back(Value(name, 100, 0, i));
  }
  batch.values.push_back(Value("P0007", 50, 0, -1));
  batch.values.push_back(Value("P0007", 200, 5, 7.25));
  ValueRow text = Value("TXT", 100, 0, 0);
  text.isText = true;
  text.text = "on";
  batch.values.push_back(text);
  ConfigRow config;
  config.family = "universal";
  config.point = config.pointId = "P0001";
  config.description = "feed";
  config.raw = {1, 2, 3};
  batch.configs.push_back(config);
  batch.deletions.push_back({"universal", IdKind::kPoint, "GONE"});
  Store(batch);

  std::string error;
  PointPage page = reader_.Points({"", 50, 0}, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(page.total, 1202);  // 1200 with values, TXT, and GONE with only a deletion
  ASSERT_EQ(page.rows.size(), 50u);
  EXPECT_EQ(page.rows.front().key.point, "GONE");
  EXPECT_EQ(page.rows.back().key.point, "P0048");
  EXPECT_EQ(reader_.Points({"", 50, 1200}, &error).rows.size(), 2u);
  EXPECT_EQ(reader_.Points({"", 50, 5000}, &error).rows.size(), 0u);
  page = reader_.Points({"p00", http::kMaxPageSize, 0}, &error);  // any case
  EXPECT_EQ(page.total, 100);

  PointRow p7 = Find("P0007");
  EXPECT_EQ(p7.count, 3);
  EXPECT_EQ(p7.last->Millis(), 200005);
  EXPECT_EQ(p7.lastValue, "7.25");
  EXPECT_TRUE(Find("P0001").configured);
  EXPECT_FALSE(Find("P0002").configured);
  EXPECT_TRUE(Find("GONE").deleted);
  EXPECT_EQ(Find("GONE").count, 0);
  EXPECT_TRUE(Find("TXT").lastIsText);
  EXPECT_EQ(Find("TXT").lastValue, "on");

  // A repeat with another number replaces the value in place; new values
  // and points appear on the next look.
  Store({{Value("P0007", 200, 5, 0.1), Value("P0000", 300, 0, 3), Value("NEW", 1, 0, 1)}, {}, {}});
  EXPECT_EQ(Find("P0007").lastValue, "0.1");
  EXPECT_EQ(Find("P0007").count, 3);
  EXPECT_EQ(Find("P0000").count, 2);
  DatabaseTotals totals = reader_.Totals(&error);
  EXPECT_EQ(totals.points, 1203);
  EXPECT_EQ(totals.values, 1200 + 2 + 1 + 2);
  EXPECT_EQ(totals.configs, 1);
  EXPECT_GT(totals.bytes, 0);

  std::optional<PointDetail> detail = reader_.Point({"universal", "point", "P0001"}, &error);
  ASSERT_TRUE(detail && detail->config);
  EXPECT_EQ(detail->config->description, "feed");
  EXPECT_EQ(detail->config->raw, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(reader_.Point({"universal", "point", "P0007"}, &error)->first->Millis(), 50000);
  EXPECT_FALSE(reader_.Point({"classic", "point", "P0007"}, &error).has_value());
}

TEST_F(ServiceHttpTest, SeriesKeepsEachColumnsLeastAndGreatestValue) {
  Batch batch;
  for (int i = 0; i < 100; ++i) batch.values.push_back(Value("W", 1000 + i / 10, i % 10 * 100, i % 7));
  batch.values.push_back(Value("W", 1010, 0, 99));             // at the range's end: left out
  batch.values.push_back(Value("W", 1005, 50, NAN));           // no place on a chart
  batch.values.push_back(Value("W", 1005, 60, INFINITY));
  batch.values.push_back(Value("W", -1, 500, -5));             // before 1970
  Store(batch);

  std::string error;
  Series series = reader_.ReducedSeries({{"universal", "point", "W"}, 1000000, 1010000, 10}, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(series.values, 100);
  ASSERT_EQ(series.columns.size(), 10u);
  for (int column = 0; column < 10; ++column) {
    double low = 7, high = -1;
    for (int i = column * 10; i < column * 10 + 10; ++i) {
      low = std::min(low, static_cast<double>(i % 7));
      high = std::max(high, static_cast<double>(i % 7));
    }
    const SeriesColumn& got = series.columns[column];
    EXPECT_EQ(got.column, column);
    EXPECT_EQ(got.count, 10);
    EXPECT_EQ(got.min, low) << column;
    EXPECT_EQ(got.max, high) << column;
    EXPECT_EQ(got.firstMillis, 1000000 + column * 1000);
    EXPECT_EQ(got.lastMillis, 1000000 + column * 1000 + 900);
  }
  series = reader_.ReducedSeries({{"universal", "point", "W"}, -1000, 0, 4}, &error);
  ASSERT_EQ(series.columns.size(), 1u);
  EXPECT_EQ(series.columns[0].column, 2);
  EXPECT_EQ(series.columns[0].min, -5);

  // A long range is read in chunks: at their seams, inside one second, no
  // value is lost or counted twice.
  Batch many;
  for (int i = 0; i < 45'000; ++i) {
    many.values.push_back(
        Value("LONG", 5000 + i / 1000, i % 1000, i == 20'000 ? 1e6 : i == 39'999 ? -1e6 : 1));
  }
  Store(many);
  series = reader_.ReducedSeries({{"universal", "point", "LONG"}, 5'000'000, 5'045'000, 3}, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(series.values, 45'000);
  ASSERT_EQ(series.columns.size(), 3u);
  for (const SeriesColumn& column : series.columns) {
    EXPECT_EQ(column.count, 15'000);
    EXPECT_EQ(column.firstMillis, 5'000'000 + column.column * 15'000);
    EXPECT_EQ(column.lastMillis, 5'000'000 + column.column * 15'000 + 14'999);
  }
  EXPECT_EQ(series.columns[1].max, 1e6);
  EXPECT_EQ(series.columns[2].min, -1e6);
  EXPECT_EQ(series.columns[0].max, 1);

  // Without a range the chart spans every stored value.
  Reply json = Get("/api/series", {{"family", "universal"}, {"kind", "point"}, {"point", "W"}});
  EXPECT_EQ(json.status, 200);
  EXPECT_NE(json.body.find("\"from\":-500,\"to\":1010001"), std::string::npos) << json.body;
  EXPECT_NE(json.body.find("\"values\":102"), std::string::npos) << json.body;
  Reply chart = Get("/chart.svg", {{"family", "universal"}, {"kind", "point"}, {"point", "W"},
                                   {"from", "1000000"}, {"to", "1010000"}});
  EXPECT_EQ(chart.status, 200);
  EXPECT_EQ(chart.contentType, "image/svg+xml");
  EXPECT_NE(chart.body.find("data-values=\"100\""), std::string::npos);
  EXPECT_NE(chart.body.find("<path id=\"series\" class=\"series\" d=\"M"), std::string::npos);
}

// Checkpoints run beside the commits, yet the write-ahead log stays bounded
// while commits keep coming back to back and charts read.
TEST_F(ServiceHttpTest, TheLogStaysBoundedUnderCommitsWithoutPause) {
  constexpr int kCommits = 2500;
  std::string error;
  for (int commit = 0; commit < kCommits; ++commit) {
    Batch batch;
    for (int i = 0; i < 50; ++i) batch.values.push_back(Value("LOG", commit, i, commit + i));
    Store(batch);
    if (commit % 500 == 0) reader_.ReducedSeries({{"universal", "point", "LOG"}, 0, 3'000'000, 100}, &error);
  }
  EXPECT_EQ(error, "");
  std::ifstream log(dir_.File("history.db-wal"), std::ios::binary | std::ios::ate);
  ASSERT_TRUE(log.is_open());
  // Unchecked, these commits leave about 10,000 pages in the log.
  EXPECT_LT(static_cast<int64_t>(log.tellg()), int64_t{6000} * 4096);
  EXPECT_EQ(Find("LOG").count, kCommits * 50);
}

TEST_F(ServiceHttpTest, TextsFromTheDatabaseAreEscapedInChartAndJson) {
  Store({{Value("<b>&\"\x01\xff", 1, 0, 1)}, {}, {}});
  QueryParams key{{"family", "universal"}, {"kind", "point"}, {"point", "<b>&\"\x01\xff"}};
  Reply chart = Get("/chart.svg", key);
  EXPECT_EQ(chart.status, 200);
  EXPECT_NE(chart.body.find("<title>&lt;b&gt;&amp;&quot;\\x01\\xff</title>"), std::string::npos)
      << chart.body.substr(0, 400);
  Reply json = Get("/api/points");
  EXPECT_NE(json.body.find(R"("point":"<b>&\"\\x01\\xff")"), std::string::npos) << json.body;

  std::string text;
  http::AppendJsonString("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xc0\xaf\xed\xa0\x80", &text);
  EXPECT_EQ(text, "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\\\\xc0\\\\xaf\\\\xed\\\\xa0\\\\x80\"");
  http::JsonWriter writer;
  writer.BeginArray().Double(NAN).Double(-INFINITY).Double(0.1).Int(-3).EndArray();
  EXPECT_EQ(writer.text(), "[null,null,0.1,-3]");
}

TEST_F(ServiceHttpTest, BadParametersGet400WithATextSayingWhy) {
  Store({{Value("P", 1, 0, 1)}, {}, {}});
  const QueryParams key{{"family", "universal"}, {"kind", "point"}, {"point", "P"}};
  auto with = [&](QueryParams params, std::initializer_list<QueryParams::value_type> more) {
    for (const auto& entry : more) {
      params.erase(entry.first);
      params.insert(entry);
    }
    return params;
  };
  struct Case {
    std::string path;
    QueryParams params;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"/api/points", {{"limit", "0"}}, 400, "'limit' must be a whole number from 1 to 500"},
      {"/api/points", {{"limit", "501"}}, 400, "'limit' must be"},
      {"/api/points", {{"limit", "ten"}}, 400, "'limit' must be"},
      {"/api/points", {{"limit", " 5"}}, 400, "'limit' must be"},
      {"/api/points", {{"limit", "5x"}}, 400, "'limit' must be"},
      {"/api/points", {{"limit", ""}}, 400, "'limit' must be"},
      {"/api/points", {{"limit", "99999999999999999999"}}, 400, "'limit' must be"},
      {"/api/points", {{"offset", "-1"}}, 400, "'offset' must be"},
      {"/api/points", {{"q", std::string(129, 'q')}}, 400, "'q' may be at most 128 bytes"},
      {"/api/points", {{"limit", "5"}, {"limit", "6"}}, 400, "'limit' is given twice"},
      {"/api/points", {{"sort", "name"}}, 400, "unknown parameter 'sort'; this page takes q, limit, offset"},
      {"/api/point", {{"family", "universal"}, {"point", "P"}}, 400, "named by 'family', 'kind' and 'point'"},
      {"/api/point", with(key, {{"family", "modern"}}), 400, "'family' must be universal or classic"},
      {"/api/point", with(key, {{"kind", "short"}}), 400, "'kind' must be point, long or extended"},
      {"/api/point", with(key, {{"point", ""}}), 400, "'point' must be 1 to 512 bytes"},
      {"/api/point", with(key, {{"point", std::string(513, 'p')}}), 400, "'point' must be 1 to 512"},
      {"/api/point", with(key, {{"point", "NOSUCH"}}), 404, "no such point"},
      {"/api/series", with(key, {{"from", "5"}, {"to", "5"}}), 400, "'from' must be earlier than 'to'"},
      {"/api/series", with(key, {{"from", "9"}, {"to", "5"}}), 400, "'from' must be earlier"},
      {"/api/series", with(key, {{"from", "1e3"}}), 400, "'from' must be a time in milliseconds"},
      {"/api/series", with(key, {{"to", "-62135596800001"}}), 400, "'to' must be a time"},
      {"/api/series", with(key, {{"to", "253402300800000"}}), 400, "'to' must be a time"},
      {"/api/series", with(key, {{"columns", "0"}}), 400, "'columns' must be a whole number from 1 to 4000"},
      {"/api/series", with(key, {{"columns", "4001"}}), 400, "'columns' must be"},
      {"/api/series", with(key, {{"width", "900"}}), 400, "unknown parameter 'width'"},
      {"/api/series", with(key, {{"point", "NOSUCH"}}), 404, "no such point"},
      {"/chart.svg", with(key, {{"width", "10"}}), 400, "'width' must be a whole number from 200 to 4000"},
      {"/chart.svg", with(key, {{"height", "5000"}}), 400, "'height' must be"},
      {"/chart.svg", with(key, {{"columns", "5"}}), 400, "unknown parameter 'columns'"},
      {"/", {{"x", "1"}}, 400, "unknown parameter 'x'; this page takes none"},
      {"/metrics", {{"name", "a"}}, 400, "unknown parameter 'name'"},
      {"/point", {}, 400, "named by 'family', 'kind' and 'point'"},
      {"/point", with(key, {{"kind", "?"}}), 400, "'kind' must be"},
      {"/admin", {}, 404, "no such page: /admin"},
  };
  for (const Case& c : cases) {
    Reply reply = Get(c.path, c.params);
    std::string where = c.path + " (" + c.says + ")";
    EXPECT_EQ(reply.status, c.status) << where;
    EXPECT_EQ(reply.contentType, "text/plain; charset=utf-8") << where;
    EXPECT_NE(reply.body.find(c.says), std::string::npos) << where << ": " << reply.body;
  }
  // Extreme but sound ranges still answer.
  EXPECT_EQ(Get("/api/series", with(key, {{"from", "-62135596800000"}, {"to", "253402300799999"},
                                          {"columns", "4000"}}))
                .status,
            200);
  EXPECT_EQ(Get("/chart.svg", with(key, {{"to", "-62135596800000"}})).status, 200);
}

// Runs promtool on `text`; returns its exit status and what it printed.
int Promtool(const std::string& text, const std::string& file, std::string* said) {
  std::ofstream(file) << text;
  FILE* pipe = popen(("promtool check metrics < " + file + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *said += buffer;
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ServiceHttpTest, MetricsAreSoundPrometheusText) {
  ConnectionId universal = metrics_.ConnectionOpened(Family::kUniversal, "127.0.0.1:1");
  ConnectionId classic = metrics_.ConnectionOpened(Family::kClassic, "127.0.0.1:2");
  metrics_.FrameReceived(universal, 5);
  metrics_.FrameReceived(classic, 2);
  metrics_.AnswerSent(universal, 0x06);
  metrics_.AnswerSent(universal, 0x15);
  metrics_.AnswerSent(classic, 0x06);
  metrics_.ConnectionRefused("http", "not allowed");
  metrics_.Rejected(universal, "bad \"start\" \\ marker\nsecond line");
  metrics_.Committed(std::chrono::microseconds(700), 5);
  metrics_.Committed(std::chrono::seconds(3), 2);
  Store({{Value("P", 1, 0, 1)}, {}, {}});

  Reply reply = Get("/metrics");
  EXPECT_EQ(reply.status, 200);
  const std::string& text = reply.body;
  for (const char* line : {
           "histfeed_build_info{version=\"9.9.9\"} 1\n",
           "histfeed_connections{family=\"universal\"} 1\n",
           "histfeed_connections{family=\"classic\"} 1\n",
           "histfeed_frames_received_total{family=\"classic\"} 1\n",
           "histfeed_values_received_total{family=\"universal\"} 5\n",
           "histfeed_answers_sent_total{family=\"universal\",answer=\"stored\"} 1\n",
           "histfeed_answers_sent_total{family=\"universal\",answer=\"refused\"} 1\n",
           "histfeed_answers_sent_total{family=\"classic\",answer=\"stored\"} 1\n",
           "histfeed_answers_sent_total{family=\"classic\",answer=\"refused\"} 0\n",
           "histfeed_connections_refused_total{port=\"http\",reason=\"not allowed\"} 1\n",
           "histfeed_rejections_total{reason=\"bad \\\"start\\\" \\\\ marker\\nsecond line\"} 1\n",
           "histfeed_commit_duration_seconds_bucket{le=\"0.0005\"} 0\n",
           "histfeed_commit_duration_seconds_bucket{le=\"0.001\"} 1\n",
           "histfeed_commit_duration_seconds_bucket{le=\"1\"} 1\n",
           "histfeed_commit_duration_seconds_bucket{le=\"+Inf\"} 2\n",
           "histfeed_commit_duration_seconds_count 2\n",
           "histfeed_values_stored_total 7\n",
           "histfeed_database_values 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << text;
  }
  if (std::system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool is not installed (scripts/install-deps.sh installs it)";
  }
  std::string said;
  EXPECT_EQ(Promtool(text, dir_.File("metrics.txt"), &said), 0) << said << "\n" << text;
}

TEST_F(ServiceHttpTest, ListenersReportConnectionsFramesAnswersAndCommits) {
  StorageWriter writer(*storage_, metrics_);
  UniversalListener listener(writer, metrics_, {});
  ASSERT_EQ(listener.Start("127.0.0.1", 0), "");
  int fd = testing::ConnectLoopback(listener.port());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> frame = ValueFrame({{100, 5, "P1", 0, 1.5, {}}, {101, 6, "P2", 0, 2.5, {}}});
  ASSERT_TRUE(WriteAll(fd, frame.data(), frame.size()));
  uint8_t answer = 0;
  ASSERT_TRUE(ReadExactly(fd, &answer, 1));
  EXPECT_EQ(answer, 0x06);

  MetricsSnapshot open = metrics_.Snapshot();
  ASSERT_EQ(open.connections.size(), 1u);
  EXPECT_EQ(open.connections[0].family, Family::kUniversal);
  EXPECT_EQ(open.connections[0].frames, 1);
  EXPECT_EQ(open.connections[0].values, 2);
  EXPECT_GT(open.connections[0].lastFrameUnixMs, 0);
  Reply overview = Get("/api/overview");
  EXPECT_NE(overview.body.find("\"family\":\"universal\""), std::string::npos) << overview.body;

  const uint8_t garbage[12] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  ASSERT_TRUE(WriteAll(fd, garbage, sizeof garbage));
  ASSERT_TRUE(ReadExactly(fd, &answer, 1));
  EXPECT_EQ(answer, 0x15);
  EXPECT_FALSE(ReadExactly(fd, &answer, 1));  // closed: the stream cannot be followed
  close(fd);
  listener.Stop();

  MetricsSnapshot after = metrics_.Snapshot();
  EXPECT_TRUE(after.connections.empty());
  EXPECT_EQ(after.framesByFamily[0], 1);
  EXPECT_EQ(after.valuesByFamily[0], 2);
  EXPECT_EQ(after.acks, 1);
  EXPECT_EQ(after.naks, 1);
  EXPECT_EQ(after.rejectionsByReason["bad start marker"], 1);
  EXPECT_EQ(after.commits, 1);
  EXPECT_EQ(after.valuesStored, 2);
}

// One request over a socket; returns the whole answer.
std::string Exchange(uint16_t port, const std::string& request) {
  int fd = testing::ConnectLoopback(port);
  EXPECT_GE(fd, 0);
  EXPECT_TRUE(WriteAll(fd, request.data(), request.size()));
  std::string answer;
  char buffer[4096];
  ssize_t got;
  while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(got));
  close(fd);
  return answer;
}

#if defined(__linux__)
// Threads of this process whose scheduling policy is `policy`.
int ThreadsWithPolicy(int policy) {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream file(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The policy is the 41st field; the 2nd, the name, may hold spaces.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string field;
    for (int i = 3; i <= 41 && fields >> field; ++i) {
    }
    if (field == std::to_string(policy)) ++count;
  }
  return count;
}
#endif

// Pages take metrics snapshots through a thread of their own; each one
// still holds everything reported before it was asked for.
TEST_F(ServiceHttpTest, EachPageSeesTheMetricsAsTheyWereWhenItAsked) {
  http::MetricsSampler sampler(metrics_);
  ConnectionId id = metrics_.ConnectionOpened(Family::kUniversal, "127.0.0.1:1");
  std::atomic<int> stale{0};
  std::vector<std::thread> pages;
  for (int page = 0; page < 4; ++page) {
    pages.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        int64_t before = metrics_.Snapshot().acks;
        if (sampler.Take().acks < before) ++stale;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) metrics_.AnswerSent(id, 0x06);
  for (std::thread& page : pages) page.join();
  EXPECT_EQ(stale, 0);
  EXPECT_EQ(sampler.Take().acks, 2000);
}

TEST_F(ServiceHttpTest, ServerAnswersGetAndRefusesEverythingElse) {
  http::HttpServer server(metrics_, reader_, "9.9.9");
  ASSERT_EQ(server.Start("127.0.0.1", 0), "");
  auto request = [&](const std::string& line, const std::string& body = "") {
    std::string length = body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return Exchange(server.port(),
                    line + "\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + length + "\r\n" + body);
  };
  std::string answer = request("GET /api/overview HTTP/1.1");
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"version\":\"9.9.9\""), std::string::npos);
  EXPECT_NE(answer.find("Cache-Control: no-store"), std::string::npos);
  answer = request("GET / HTTP/1.1");
  EXPECT_NE(answer.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(answer.find("<body data-page=\"overview\">"), std::string::npos);
  EXPECT_EQ(request("GET /api/points?limit=0 HTTP/1.1").rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(request("GET /api/points?q=%ZZ%00 HTTP/1.1").rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(request("GET /api/points?q=%FF%00 HTTP/1.1").rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(request("POST / HTTP/1.1", "x").rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(request("DELETE /api/points HTTP/1.1").rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(request("GET /" + std::string(20000, 'a') + " HTTP/1.1").rfind("HTTP/1.1 414", 0), 0u);
#if defined(__linux__)
  // Its one thread runs under SCHED_IDLE (5), the only one of this
  // process that does.
  EXPECT_EQ(ThreadsWithPolicy(5), 1);
#endif

  {
    // Stopped as soon as it started: the stop is not lost.
    http::HttpServer brief(metrics_, reader_, "9.9.9");
    ASSERT_EQ(brief.Start("127.0.0.1", 0), "");
  }
  std::string host;
  uint16_t port = 0;
  EXPECT_EQ(http::SplitHostPort("8080", &host, &port), "");
  EXPECT_EQ(host + ":" + std::to_string(port), "127.0.0.1:8080");
  EXPECT_EQ(http::SplitHostPort("0.0.0.0:81", &host, &port), "");
  EXPECT_EQ(host, "0.0.0.0");
  EXPECT_NE(http::SplitHostPort("host:65536", &host, &port), "");
  EXPECT_NE(http::SplitHostPort(":80", &host, &port), "");
  EXPECT_NE(http::SplitHostPort("host:", &host, &port), "");
}

// Networks, targets and names are read strictly and give back exactly the
// bytes they hold.
TEST(PageInputTest, NetworksTargetsAndNamesAreReadExactly) {
  struct Network {
    const char* list;
    bool readable;
  };
  for (Network n : {Network{"10.0.0.0/8", true}, {"10.1.2.3", true}, {"fd00::/8, ::1", true},
                    {"::/0", true}, {"", false}, {"10.0.0.0/33", false}, {"10.0.0.0/", false},
                    {"host.example", false}, {"10.0.0.0/8,,", false}, {"fd00::/129", false}}) {
    AddressFilter filter;
    EXPECT_EQ(AddressFilter::Parse(n.list, &filter).empty(), n.readable) << n.list;
  }
  AddressFilter filter;
  ASSERT_EQ(AddressFilter::Parse("10.0.0.0/8,fd00::/8,192.168.5.7", &filter), "");
  for (auto [address, allowed] : std::vector<std::pair<const char*, bool>>{
           {"10.9.8.7", true}, {"11.0.0.1", false}, {"::ffff:10.1.1.1", true},
           {"fd12::1", true}, {"fe80::1", false}, {"192.168.5.7", true}, {"192.168.5.8", false},
           {"127.0.0.1", false}}) {
    EXPECT_EQ(filter.Allows(asio::ip::make_address(address)), allowed) << address;
  }

  struct Target {
    const char* text;
    const char* path;  // null: refused
    QueryParams params;
  };
  for (const Target& t : std::vector<Target>{
           {"/a%2Fb?x=%41%42+c&y&=z&&", "/a/b", {{"x", "AB c"}, {"y", ""}, {"", "z"}}},
           {"/point?point=TEMP%B0C", "/point", {{"point", "TEMP\xB0" "C"}}},
           {"/?x=%4", nullptr, {}},
           {"/?x=%zz", nullptr, {}},
           {"/%", nullptr, {}},
           {"*", nullptr, {}},
           {"http://host/", nullptr, {}}}) {
    std::string path;
    QueryParams params;
    std::string error = http::ParseTarget(t.text, &path, &params);
    EXPECT_EQ(error.empty(), t.path != nullptr) << t.text;
    if (t.path == nullptr) continue;
    EXPECT_EQ(path, t.path);
    EXPECT_EQ(params, t.params) << t.text;
  }
  // Every byte goes out percent-encoded and comes back itself.
  std::string bytes;
  for (int byte = 0; byte < 256; ++byte) bytes.push_back(static_cast<char>(byte));
  std::string path;
  QueryParams params;
  ASSERT_EQ(http::ParseTarget("/?p=" + http::PercentEncoded(bytes), &path, &params), "");
  EXPECT_EQ(params, (QueryParams{{"p", bytes}}));
  EXPECT_EQ(http::PointKeyQuery({"universal", "long", "A+B &C"}),
            "family=universal&kind=long&point=A%2BB%20%26C");
}

}  // namespace
}  // namespace histfeed::service
