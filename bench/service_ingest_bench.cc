// SPDX-License-Identifier: Apache-2.0
// A plant's sources into one service: 100 connections, each sending full
// frames of its own 326 points (32,600 points in all) and waiting for each
// frame's acknowledgement as a key with acknowledgement does, until the
// database holds over five million values. Beside it, in the same run:
//   - what the engine itself can write: a plain loop appending the same
//     values in arrival order to a table (point id, time in ms, status,
//     value) with no index, in transactions of 32,600 rows;
//   - the service's storage committing the same rows frame by frame.
// Goals: the service reaches 0.5 of the plain loop, and stays flat: its
// rate over the last million values is at least 0.8 of the first
// million's. With --sync full each commit is synced to the disk as well;
// committed frame by frame, what that costs a commit shows.
//
// The kinds run in turns, baseline first, so that each sees the same
// machine; the last lines give each kind's median and the ratios.
//
//   service_ingest_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/run_summary.h"
#include "bench/service_under_bench.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/universal_frame_rows.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"

namespace histfeed {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSources = 100;
constexpr int32_t kFrameRecords = 326;  // a full PointIdRec frame
constexpr int64_t kRoundValues = int64_t{kSources} * kFrameRecords;
// Rounds until the database holds at least five million values.
constexpr int kRounds = static_cast<int>((5'000'000 + kRoundValues - 1) / kRoundValues);
constexpr int kRepetitions = 3;

// Source `source`'s point `i`, and its value at `time`.
std::string PointName(int source, int i) {
  return "S" + std::to_string(source) + "P" + std::to_string(i);
}
double ValueAt(int32_t time, int i) { return 0.5 * i + time % 97; }

// Source `source`'s full frame at `time`: its own points, one value each.
std::vector<uint8_t> FullFrame(int source, int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> records(size_t{kFrameRecords} * type.recordBytes);
  for (int32_t i = 0; i < kFrameRecords; ++i) {
    universal::EncodeRecord(type, universal::PointValue{time, 0, PointName(source, i), 0,
                                                        ValueAt(time, i), {}},
                            &records[size_t(i) * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, kFrameRecords));
  universal::EncodeFrame(type, nullptr, records.data(), kFrameRecords, frame.data());
  return frame;
}

service::Batch RowsOf(const std::vector<uint8_t>& frame) {
  universal::DecodedFrame decoded;
  universal::DecodeFrame(frame, &decoded);
  return service::UniversalFrameRows(decoded);
}

// Every source sends a frame and waits for its answer; a round ends when
// all have been answered.
bool Round(const std::vector<int>& sockets, const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<pollfd> waiting;
  for (size_t i = 0; i < sockets.size(); ++i) {
    if (!testing::WriteAll(sockets[i], frames[i].data(), frames[i].size())) return false;
    waiting.push_back(pollfd{sockets[i], POLLIN, 0});
  }
  size_t answered = 0;
  while (answered < waiting.size()) {
    if (poll(waiting.data(), waiting.size(), -1) < 0) return false;
    for (pollfd& entry : waiting) {
      if (entry.fd < 0 || entry.revents == 0) continue;
      uint8_t answer = 0;
      if (!testing::ReadExactly(entry.fd, &answer, 1) || answer != 0x06) return false;
      entry.fd = -entry.fd - 1;  // poll skips negative descriptors
      ++answered;
    }
  }
  return true;
}

// Times each million values as they go in.
class MillionClock {
 public:
  MillionClock() : start_(Clock::now()), millionStart_(start_) {}
  void Add(int64_t values) {
    done_ += values;
    while (done_ >= next_) {
      auto now = Clock::now();
      rates_.push_back(1e6 / std::chrono::duration<double>(now - millionStart_).count());
      millionStart_ = now;
      next_ += 1'000'000;
    }
  }
  void Report(benchmark::State& state) const {
    double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    state.counters["values"] = static_cast<double>(done_);
    state.counters["values_per_s"] = static_cast<double>(done_) / seconds;
    if (rates_.size() < 2) return;
    state.counters["first_million_per_s"] = rates_.front();
    state.counters["last_million_per_s"] = rates_.back();
    state.counters["last_over_first"] = rates_.back() / rates_.front();
  }

 private:
  Clock::time_point start_, millionStart_;
  int64_t done_ = 0, next_ = 1'000'000;
  std::vector<double> rates_;
};

enum Kind { kPlainLoop, kService, kServiceSyncFull, kFrameByFrame, kFrameByFrameSyncFull };
const char* const kKindNames[] = {"plain append loop", "100 sources into the service",
                                  "the same with --sync full", "storage, frame by frame",
                                  "the same with --sync full"};

// Values per second of each run, by kind.
std::map<int, std::vector<double>>& Rates() {
  static std::map<int, std::vector<double>> rates;
  return rates;
}

// What the engine itself can write: the same values, arrival order, no index.
void PlainLoop(benchmark::State& state, MillionClock& clock) {
  testing::TempDirectory dir;
  sqlite3* db = nullptr;
  sqlite3_open(dir.File("plain.db").c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE plain (point_id INTEGER, time_ms INTEGER, status INTEGER, value REAL)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO plain VALUES (?1, ?2, ?3, ?4)", -1, &insert, nullptr);
  int32_t time = 1'700'000'000;
  for (auto _ : state) {
    ++time;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int source = 0; source < kSources; ++source) {
      for (int i = 0; i < kFrameRecords; ++i) {
        sqlite3_bind_int64(insert, 1, source * kFrameRecords + i + 1);
        sqlite3_bind_int64(insert, 2, int64_t{time} * 1000);
        sqlite3_bind_int(insert, 3, 0);
        sqlite3_bind_double(insert, 4, ValueAt(time, i));
        sqlite3_step(insert);
        sqlite3_reset(insert);
      }
    }
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError(sqlite3_errmsg(db));
      break;
    }
    clock.Add(kRoundValues);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

void Service(benchmark::State& state, MillionClock& clock, service::SyncMode sync) {
  service::StorageOptions options;
  options.sync = sync;
  ServiceUnderBench service(nullptr, options);
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  std::vector<int> sockets;
  for (int source = 0; source < kSources; ++source) {
    sockets.push_back(testing::ConnectLoopback(service.port()));
    if (sockets.back() < 0) return state.SkipWithError("connect failed");
  }
  int32_t time = 1'700'000'000;
  std::vector<std::vector<uint8_t>> frames(kSources);
  for (auto _ : state) {
    state.PauseTiming();  // the sources' own encoding is not the service's work
    ++time;
    for (int source = 0; source < kSources; ++source) frames[source] = FullFrame(source, time);
    state.ResumeTiming();
    if (!Round(sockets, frames)) {
      state.SkipWithError("a frame was not acknowledged");
      break;
    }
    clock.Add(kRoundValues);
  }
  service::MetricsSnapshot metrics = service.metrics.Snapshot();
  state.counters["commits"] = static_cast<double>(metrics.commits);
  state.counters["ms_per_commit"] =
      metrics.commits > 0 ? metrics.commitSecondsSum * 1000 / static_cast<double>(metrics.commits)
                          : 0;
  for (int fd : sockets) close(fd);
  std::string error;
  state.counters["bytes_per_value"] =
      static_cast<double>(service.storage->Totals(&error).bytes) /
      static_cast<double>(kRounds * kRoundValues);
}

// The service's own storage committing the same rows frame by frame: a
// commit each 326 values, so what a sync costs a commit shows.
void FrameByFrame(benchmark::State& state, MillionClock& clock, service::SyncMode sync) {
  testing::TempDirectory dir;
  std::string error;
  service::StorageOptions options;
  options.sync = sync;
  std::unique_ptr<service::Storage> storage =
      service::sqlite::OpenStorage(dir.File("bench.db"), options, &error);
  if (storage == nullptr) return state.SkipWithError(error.c_str());
  std::vector<service::Batch> batches;
  for (int source = 0; source < kSources; ++source) {
    batches.push_back(RowsOf(FullFrame(source, 1'700'000'000)));
  }
  for (auto _ : state) {
    for (service::Batch& batch : batches) {
      for (service::ValueRow& row : batch.values) ++row.time;  // a repeat would store nothing
      if (!storage->Commit(batch)) return state.SkipWithError("commit failed");
    }
    clock.Add(kRoundValues);
  }
}

// state.range(0): the kind; state.range(1): the repetition.
void BM_Ingest(benchmark::State& state) {
  MillionClock clock;
  Kind kind = static_cast<Kind>(state.range(0));
  switch (kind) {
    case kPlainLoop: PlainLoop(state, clock); break;
    case kService: Service(state, clock, service::SyncMode::kNormal); break;
    case kServiceSyncFull: Service(state, clock, service::SyncMode::kFull); break;
    case kFrameByFrame: FrameByFrame(state, clock, service::SyncMode::kNormal); break;
    case kFrameByFrameSyncFull: FrameByFrame(state, clock, service::SyncMode::kFull); break;
  }
  clock.Report(state);
  Rates()[kind].push_back(state.counters["values_per_s"]);
  state.SetItemsProcessed(state.iterations() * kRoundValues);
}
void Interleaved(benchmark::internal::Benchmark* bench) {
  for (int repetition = 0; repetition < kRepetitions; ++repetition) {
    for (int kind :
         {kPlainLoop, kService, kServiceSyncFull, kFrameByFrame, kFrameByFrameSyncFull}) {
      bench->Args({kind, repetition});
    }
  }
}
BENCHMARK(BM_Ingest)
    ->ArgNames({"kind", "run"})
    ->Apply(Interleaved)
    ->Iterations(kRounds)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void PrintSummary(const std::string& loadBefore) {
  std::map<int, double> median;
  for (const auto& [kind, rates] : Rates()) {
    median[kind] = Median(rates);
    std::printf("%-32s median %9.0f values/s over %zu runs\n", kKindNames[kind], median[kind],
                rates.size());
  }
  if (median[kPlainLoop] > 0) {
    std::printf("service / plain loop: %.2f; --sync full / plain loop: %.2f\n",
                median[kService] / median[kPlainLoop],
                median[kServiceSyncFull] / median[kPlainLoop]);
  }
  if (median[kFrameByFrame] > 0 && median[kFrameByFrameSyncFull] > 0) {
    double perValue = 1e6 / median[kFrameByFrameSyncFull] - 1e6 / median[kFrameByFrame];
    std::printf("--sync full costs a commit of %d values %.3f ms more\n", kFrameRecords,
                perValue * kFrameRecords / 1000);
  }
  std::printf("load average before %s, after %s\n", loadBefore.c_str(), LoadAverage().c_str());
}

}  // namespace
}  // namespace histfeed

int main(int argc, char** argv) {
  return histfeed::RunAndSummarize(argc, argv, histfeed::PrintSummary);
}
