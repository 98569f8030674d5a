// SPDX-License-Identifier: Apache-2.0
// Acknowledgement latency of a streaming universal source while the HTTP
// side is idle, beside the same while a client loads a chart over a
// million stored values in a loop. The pages read through their own
// connection at a lower priority, so the two should be close (target:
// within 1.2 times). Each iteration sends one frame of values and waits
// for its answer byte; p50_us and p99_us are the latency's percentiles.
//
//   build/bench/service_ack_latency_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/event_log.h"
#include "service/http/http_server.h"
#include "service/service_metrics.h"
#include "service/storage.h"
#include "service/storage_reader.h"
#include "service/storage_writer.h"
#include "service/universal_listener.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_directory.h"
#include "universal/frame_format.h"

namespace histfeed {
namespace {

using testing::ReadExactly;
using testing::WriteAll;

constexpr int kChartValues = 1'000'000;
constexpr int kFrameValues = 10;

// The service as histfeed-service runs it with --http, over a database
// that already holds a long history of one point.
struct Service {
  testing::TempDirectory dir;
  service::Storage storage;
  service::ServiceMetrics metrics;
  service::StorageReader reader;
  std::unique_ptr<service::StorageWriter> writer;
  std::unique_ptr<service::UniversalListener> listener;
  std::unique_ptr<service::http::HttpServer> pages;
  std::string error;

  Service() {
    service::SetEventLogQuiet(true);
    error = storage.Open(dir.File("bench.db"));
    if (!error.empty()) return;
    for (int done = 0; done < kChartValues;) {
      service::Batch batch;
      for (int i = 0; i < 50'000; ++i, ++done) {
        service::ValueRow row;
        row.family = "universal";
        row.point = "HISTORY";
        row.time = 1'600'000'000 + done / 10;
        row.msec = done % 10 * 100;
        row.value = std::sin(done / 5000.0) * 40 + 50;
        batch.values.push_back(row);
      }
      if (!storage.Commit(batch)) {
        error = "could not fill the database";
        return;
      }
    }
    writer = std::make_unique<service::StorageWriter>(storage, metrics);
    listener = std::make_unique<service::UniversalListener>(*writer, metrics,
                                                            service::UniversalFaults{});
    error = listener->Start("127.0.0.1", 0);
    if (error.empty()) error = reader.Open(dir.File("bench.db"));
    pages = std::make_unique<service::http::HttpServer>(metrics, reader, "bench");
    if (error.empty()) error = pages->Start("127.0.0.1", 0);
  }
};

Service& SharedService() {
  static Service service;
  return service;
}

// Reads a whole HTTP answer (the server closes after it); true on 200.
bool Load(uint16_t port, const std::string& target) {
  int fd = testing::ConnectLoopback(port);
  if (fd < 0) return false;
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
  bool ok = WriteAll(fd, request.data(), request.size());
  std::string answer;
  char buffer[16384];
  ssize_t got;
  while (ok && (got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
    answer.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return answer.rfind("HTTP/1.1 200", 0) == 0;
}

// What a browser showing the chart page asks for, over and over.
void LoadChartPage(uint16_t port, const std::atomic<bool>& stop, std::atomic<int64_t>* loads) {
  const std::string key = "family=universal&kind=point&point=HISTORY";
  while (!stop) {
    bool ok = Load(port, "/point?" + key) && Load(port, "/api/point?" + key) &&
              Load(port, "/chart.svg?" + key + "&width=1200") && Load(port, "/api/overview");
    if (ok) ++*loads;
  }
}

std::vector<uint8_t> Frame(int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> records(size_t{kFrameValues} * type.recordBytes);
  for (int i = 0; i < kFrameValues; ++i) {
    std::string id = "LIVE" + std::to_string(i);
    universal::EncodeRecord(type, universal::PointValue{time, 0, id, 0, 1.0 * i, {}},
                            &records[size_t(i) * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, kFrameValues));
  universal::EncodeFrame(type, nullptr, records.data(), kFrameValues, frame.data());
  return frame;
}

// state.range(0): 0 with the pages idle, 1 while the chart page loads in a loop.
void BM_AckLatency(benchmark::State& state) {
  Service& service = SharedService();
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  std::atomic<bool> stop{false};
  std::atomic<int64_t> chartLoads{0};
  std::thread browser;
  if (state.range(0) == 1) {
    browser = std::thread(LoadChartPage, service.pages->port(), std::cref(stop), &chartLoads);
    // Under way before the first frame is timed.
    while (chartLoads == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int fd = testing::ConnectLoopback(service.listener->port());
  static int32_t nextTime = 1'700'000'000;
  std::vector<double> micros;
  for (auto _ : state) {
    std::vector<uint8_t> frame = Frame(nextTime++);
    auto sent = std::chrono::steady_clock::now();
    uint8_t answer = 0;
    if (!WriteAll(fd, frame.data(), frame.size()) || !ReadExactly(fd, &answer, 1) ||
        answer != 0x06) {
      state.SkipWithError("the frame was not acknowledged");
      break;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
  }
  close(fd);
  stop = true;
  if (browser.joinable()) browser.join();
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["chart_loads"] = static_cast<double>(chartLoads.load());
  state.SetItemsProcessed(state.iterations() * kFrameValues);
}
BENCHMARK(BM_AckLatency)->ArgName("chart_loading")->Arg(0)->Arg(1)->MinTime(3)->UseRealTime();

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
