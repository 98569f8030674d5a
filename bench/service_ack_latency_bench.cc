// SPDX-License-Identifier: Apache-2.0
// Acknowledgement latency of a streaming universal source while the HTTP
// side is idle, beside the same while a client loads a chart over a
// million stored values in a loop, and while a hostile client attacks the
// pages. The pages read through their own connection on a thread that
// only gets processor time nobody else wants, so all three should be
// close (target: within 1.2 times). Each iteration sends one frame of
// values and waits for its answer byte; p50_us and p99_us are the
// latency's percentiles.
//
// The runs alternate, idle, loaded and attacked, three times over, so
// that all see the same machine; the last lines give the median of each
// kind's p50 and p99, their ratios to idle and the load average before and
// after.
//
// The loading client stands for a browser on the same machine: it runs at
// normal priority, reads every answer whole and asks again at once, which
// is harsher than any browser (they wait between refreshes). The hostile
// client holds a hundred connections that trickle a header byte each
// (slowloris), and floods 64 KiB of header fields on a new connection
// after another, as fast as it can.
//
//   build/bench/service_ack_latency_bench
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/run_summary.h"
#include "bench/service_under_bench.h"
#include "service/http/http_server.h"
#include "tests/support/loopback.h"
#include "wire/frame_format.h"

namespace histfeed {
namespace {

using testing::ReadExactly;
using testing::WriteAll;

constexpr int kChartValues = 1'000'000;
constexpr int kFrameValues = 10;

// Fills the database with a long history of one point.
std::string FillHistory(service::Storage& storage) {
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
    if (!storage.Commit(batch)) return "could not fill the database";
  }
  return "";
}

// The service as histfeed-service runs it with --http, over that history.
struct Service : ServiceUnderBench {
  std::unique_ptr<service::http::HttpServer> pages;

  Service() : ServiceUnderBench(FillHistory) {
    if (!error.empty()) return;
    pages = std::make_unique<service::http::HttpServer>(metrics, *storage, "bench");
    error = pages->Start("127.0.0.1", 0);
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
  std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
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

// Sends a flood of header fields on a new connection until the service
// refuses it, and reads the refusal.
void FloodHeaders(uint16_t port, const std::string& flood) {
  int fd = testing::ConnectLoopback(port);
  if (fd < 0) return;
  send(fd, flood.data(), flood.size(), MSG_NOSIGNAL);
  char buffer[4096];
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 1000) > 0 && recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
  close(fd);
}

// An attacker on the same machine: slowloris and header floods at once.
void AttackPages(uint16_t port, const std::atomic<bool>& stop, std::atomic<int64_t>* floods) {
  const std::string start = "GET / HTTP/1.1\r\nHost: b\r\nX-Slow: ";
  std::string flood = "GET / HTTP/1.1\r\nHost: b\r\n";
  while (flood.size() < 64 * 1024) flood += "X-Flood: aaaaaaaa\r\n";
  std::vector<int> slow;
  while (!stop) {
    while (slow.size() < 100) {
      int fd = testing::ConnectLoopback(port);
      if (fd < 0) break;
      send(fd, start.data(), start.size(), MSG_NOSIGNAL);
      slow.push_back(fd);
    }
    // A byte on each; those the service closed are opened again.
    for (int& fd : slow) {
      if (send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        close(fd);
        fd = -1;
      }
    }
    std::erase(slow, -1);
    FloodHeaders(port, flood);
    ++*floods;
  }
  for (int fd : slow) close(fd);
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

constexpr int kRepetitions = 3;
// A fixed count, so each run is called once (a minimum time would call it
// again with growing counts, and collect each call's percentiles).
constexpr int kFramesPerRun = 8000;

// p50 and p99 of each run, by state.range(0).
std::map<int64_t, std::vector<std::pair<double, double>>>& Percentiles() {
  static std::map<int64_t, std::vector<std::pair<double, double>>> percentiles;
  return percentiles;
}

// state.range(0): 0 with the pages idle, 1 while the chart page loads in a
// loop, 2 while the pages are attacked; state.range(1): the repetition.
void BM_AckLatency(benchmark::State& state) {
  Service& service = SharedService();
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  std::atomic<bool> stop{false};
  std::atomic<int64_t> pageLoads{0};
  std::thread browser;
  if (state.range(0) > 0) {
    browser = state.range(0) == 1
                  ? std::thread(LoadChartPage, service.pages->port(), std::cref(stop), &pageLoads)
                  : std::thread(AttackPages, service.pages->port(), std::cref(stop), &pageLoads);
    // Under way before the first frame is timed.
    while (pageLoads == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int fd = testing::ConnectLoopback(service.port());
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
  double p50 = micros[micros.size() / 2];
  double p99 = micros[micros.size() * 99 / 100];
  Percentiles()[state.range(0)].emplace_back(p50, p99);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = p99;
  // Chart pages loaded, or header floods sent.
  state.counters["page_loads"] = static_cast<double>(pageLoads.load());
  state.SetItemsProcessed(state.iterations() * kFrameValues);
}
void Interleaved(benchmark::internal::Benchmark* bench) {
  for (int repetition = 0; repetition < kRepetitions; ++repetition) {
    bench->Args({0, repetition})->Args({1, repetition})->Args({2, repetition});
  }
}
BENCHMARK(BM_AckLatency)
    ->ArgNames({"pages", "run"})
    ->Apply(Interleaved)
    ->Iterations(kFramesPerRun)
    ->UseRealTime();

void PrintSummary(const std::string& loadBefore) {
  std::vector<double> p50[3], p99[3];
  for (int pages : {0, 1, 2}) {
    for (auto [median, tail] : Percentiles()[pages]) {
      p50[pages].push_back(median);
      p99[pages].push_back(tail);
    }
  }
  if (p50[0].empty()) return;
  double idle50 = Median(p50[0]), idle99 = Median(p99[0]);
  std::printf("median of %zu runs each: p50 idle %.0f us, p99 idle %.0f us\n", p50[0].size(),
              idle50, idle99);
  const char* kinds[] = {"", "chart loading", "pages attacked"};
  for (int pages : {1, 2}) {
    if (p50[pages].empty()) continue;
    double median = Median(p50[pages]), tail = Median(p99[pages]);
    std::printf("  %s: p50 %.0f us (%.2fx idle), p99 %.0f us (%.2fx idle)\n", kinds[pages],
                median, median / idle50, tail, tail / idle99);
  }
  std::printf("load average before %s, after %s\n", loadBefore.c_str(), LoadAverage().c_str());
}

}  // namespace
}  // namespace histfeed

int main(int argc, char** argv) {
  return histfeed::RunAndSummarize(argc, argv, histfeed::PrintSummary);
}
