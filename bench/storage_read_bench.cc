// SPDX-License-Identifier: Apache-2.0
// What reading a long history costs, beside the obvious layout read by
// SQLite alone (a table clustered by point id and time, WITHOUT ROWID):
//   - raw: 10,000 consecutive values of one point out of 5 million values
//     of 32,600 points, through the storage call and through /api/series
//     (goal: median <= 20 ms);
//   - chart: /chart.svg and /api/series over the whole range of 5 million
//     values of one point, and of 50 million (goal: median <= 50 ms at 5
//     million, no more than twice that at 50 million); the baseline reads
//     every row of the range, as the chart did before summaries;
//   - bytes on disk per stored value, for 5 million values of 1,000 points,
//     summaries included (goal: <= 32).
// The 50-million history takes minutes to build and half a gigabyte: its
// charts run only with HISTFEED_BENCH_50M=1 in the environment.
//
//   [HISTFEED_BENCH_50M=1] storage_read_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "service/event_log.h"
#include "service/http/routes.h"
#include "service/service_metrics.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "tests/support/temp_directory.h"

namespace histfeed {
namespace {

constexpr int kPlantPoints = 32'600;
constexpr int kHotPerRound = 100;  // values of the fast point in each second
constexpr int kRawValues = 10'000;

service::ValueRow Value(const std::string& point, int64_t millis, double value) {
  service::ValueRow row;
  row.family = "universal";
  row.point = point;
  row.time = millis / 1000;
  row.msec = static_cast<int32_t>(millis % 1000);
  row.value = value;
  return row;
}

// A storage in a directory of its own, with the clustered baseline beside it.
struct History {
  testing::TempDirectory dir;
  std::unique_ptr<service::Storage> storage;
  sqlite3* baseline = nullptr;
  sqlite3_stmt* insert = nullptr;
  std::string error;

  History() {
    service::SetEventLogQuiet(true);
    storage = service::sqlite::OpenStorage(dir.File("history.db"), {}, &error);
    sqlite3_open(dir.File("clustered.db").c_str(), &baseline);
    sqlite3_exec(baseline,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE v (point_id INTEGER, time_ms INTEGER, status INTEGER, value REAL,"
                 " PRIMARY KEY (point_id, time_ms)) WITHOUT ROWID",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(baseline, "INSERT INTO v VALUES (?1, ?2, 0, ?3)", -1, &insert, nullptr);
  }
  ~History() {
    sqlite3_finalize(insert);
    sqlite3_close(baseline);
  }
  // Commits as the service's writer thread does, giving the work that can
  // wait a short slice after each commit.
  bool Commit(service::Batch& batch) {
    if (storage->Commit(batch)) {
      storage->Maintain(std::chrono::milliseconds(2));
      return true;
    }
    error = storage->LastWriteError();
    return false;
  }
  // The baseline gets the point's values in key order: built fast, read as
  // fast as that layout reads.
  void Baseline(int64_t point, int64_t millis, double value) {
    sqlite3_bind_int64(insert, 1, point);
    sqlite3_bind_int64(insert, 2, millis);
    sqlite3_bind_double(insert, 3, value);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
};

constexpr int64_t kStart = 1'700'000'000'000;

int64_t HotMillis(int64_t index) {
  return kStart + index / kHotPerRound * 1000 + index % kHotPerRound * (1000 / kHotPerRound);
}

// Five million values of 32,600 points, one a second each, and the fast
// point "HOT" with 66 a second among them, in arrival order.
History& PlantHistory() {
  static History* history = [] {
    auto* made = new History;
    int rounds = static_cast<int>(5'000'000 / (kPlantPoints + kHotPerRound)) + 1;
    for (int round = 0; round < rounds && made->error.empty(); ++round) {
      service::Batch batch;
      for (int i = 0; i < kHotPerRound; ++i) {
        int64_t index = int64_t{round} * kHotPerRound + i;
        batch.values.push_back(Value("HOT", HotMillis(index), std::sin(index / 100.0)));
      }
      for (int point = 0; point < kPlantPoints; ++point) {
        batch.values.push_back(Value("P" + std::to_string(point), kStart + round * 1000, point));
      }
      made->Commit(batch);
    }
    sqlite3_exec(made->baseline, "BEGIN", nullptr, nullptr, nullptr);
    for (int64_t index = 0; index < int64_t{rounds} * kHotPerRound; ++index) {
      made->Baseline(0, HotMillis(index), std::sin(index / 100.0));
    }
    for (int point = 0; point < kPlantPoints; ++point) {
      for (int round = 0; round < rounds; ++round) {
        made->Baseline(point + 1, kStart + round * 1000, point);
      }
    }
    sqlite3_exec(made->baseline, "COMMIT", nullptr, nullptr, nullptr);
    return made;
  }();
  return *history;
}

// 10,000 consecutive values of HOT from amid its 15,400.
constexpr int64_t kRawFirst = 2500;
int64_t RawFrom() { return HotMillis(kRawFirst); }
int64_t RawTo() { return HotMillis(kRawFirst + kRawValues); }

void BM_RawClusteredBaseline(benchmark::State& state) {
  History& history = PlantHistory();
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(history.baseline,
                     "SELECT time_ms, status, value FROM v WHERE point_id = 0 AND time_ms >= ?1 "
                     "AND time_ms < ?2",
                     -1, &query, nullptr);
  for (auto _ : state) {
    sqlite3_bind_int64(query, 1, RawFrom());
    sqlite3_bind_int64(query, 2, RawTo());
    int64_t rows = 0;
    while (sqlite3_step(query) == SQLITE_ROW) ++rows;
    sqlite3_reset(query);
    if (rows != kRawValues) state.SkipWithError("not 10,000 values");
  }
  sqlite3_finalize(query);
}

// The reading side's first look reads the journal's values (up to a
// window of them) into memory: a page's first answer, not the ones timed.
void WarmUp(History& history) {
  std::string error;
  history.storage->Totals(&error);
}

void BM_RawStorageCall(benchmark::State& state) {
  History& history = PlantHistory();
  if (!history.error.empty()) return state.SkipWithError(history.error.c_str());
  WarmUp(history);
  for (auto _ : state) {
    std::string error;
    auto values =
        history.storage->Values({{"universal", "point", "HOT"}, RawFrom(), RawTo(), 20'000}, &error);
    if (values.size() != kRawValues) state.SkipWithError("not 10,000 values");
  }
}

void BM_RawApiSeries(benchmark::State& state) {
  History& history = PlantHistory();
  if (!history.error.empty()) return state.SkipWithError(history.error.c_str());
  service::ServiceMetrics metrics;
  service::http::Routes routes(metrics, *history.storage, "bench");
  WarmUp(history);
  service::http::QueryParams params{{"family", "universal"}, {"kind", "point"}, {"point", "HOT"},
                                    {"from", std::to_string(RawFrom())},
                                    {"to", std::to_string(RawTo())}, {"columns", "4000"}};
  for (auto _ : state) {
    service::http::Reply reply = routes.Get("/api/series", params);
    if (reply.status != 200 || reply.body.find("\"values\":10000") == std::string::npos) {
      state.SkipWithError("no 10,000 values");
    }
  }
}

// One point with `values` values, ten a second.
History& OnePoint(int64_t values) {
  static std::map<int64_t, History*> histories;
  History*& history = histories[values];
  if (history != nullptr) return *history;
  history = new History;
  constexpr int64_t kPerCommit = 100'000;
  for (int64_t done = 0; done < values && history->error.empty();) {
    service::Batch batch;
    for (int64_t i = 0; i < kPerCommit && done < values; ++i, ++done) {
      batch.values.push_back(Value("LONG", kStart + done * 100, std::sin(done / 5000.0) * 40 + 50));
    }
    history->Commit(batch);
  }
  if (values <= 5'000'000) {
    sqlite3_exec(history->baseline, "BEGIN", nullptr, nullptr, nullptr);
    for (int64_t i = 0; i < values; ++i) {
      history->Baseline(1, kStart + i * 100, std::sin(i / 5000.0) * 40 + 50);
    }
    sqlite3_exec(history->baseline, "COMMIT", nullptr, nullptr, nullptr);
  }
  // Summaries catch up with what the last commits packed, as they would
  // in a quiet moment.
  while (history->storage->Maintain(std::chrono::milliseconds(100))) {
  }
  return *history;
}

// state.range(0): millions of values. Kind 0: /chart.svg, 1: /api/series.
void BM_Chart(benchmark::State& state) {
  History& history = OnePoint(state.range(0) * 1'000'000);
  if (!history.error.empty()) return state.SkipWithError(history.error.c_str());
  service::ServiceMetrics metrics;
  service::http::Routes routes(metrics, *history.storage, "bench");
  WarmUp(history);
  service::http::QueryParams params{{"family", "universal"}, {"kind", "point"}, {"point", "LONG"}};
  const char* path = state.range(1) == 0 ? "/chart.svg" : "/api/series";
  if (state.range(1) == 0) params.insert({"width", "1200"});
  // Every value is in the chart, summed up.
  std::string all = std::to_string(state.range(0) * 1'000'000);
  std::string expected = state.range(1) == 0 ? "data-values=\"" + all + "\"" : "\"values\":" + all;
  for (auto _ : state) {
    service::http::Reply reply = routes.Get(path, params);
    if (reply.status != 200 || reply.body.find(expected) == std::string::npos) {
      state.SkipWithError(("not every value: " + reply.body.substr(0, 300)).c_str());
      break;
    }
  }
  state.counters["values"] = static_cast<double>(state.range(0) * 1'000'000);
}

// The chart before summaries: every row of the range, reduced to columns.
void BM_ChartScanAllBaseline(benchmark::State& state) {
  History& history = OnePoint(state.range(0) * 1'000'000);
  sqlite3_stmt* query = nullptr;
  sqlite3_prepare_v2(history.baseline,
                     "SELECT time_ms, value FROM v WHERE point_id = 1 ORDER BY time_ms", -1, &query,
                     nullptr);
  for (auto _ : state) {
    std::vector<double> low(1100, 1e300), high(1100, -1e300);
    int64_t span = state.range(0) * 1'000'000 * 100;
    while (sqlite3_step(query) == SQLITE_ROW) {
      size_t column = static_cast<size_t>((sqlite3_column_int64(query, 0) - kStart) * 1100 / span);
      double value = sqlite3_column_double(query, 1);
      low[column] = std::min(low[column], value);
      high[column] = std::max(high[column], value);
    }
    sqlite3_reset(query);
    benchmark::DoNotOptimize(low.data());
  }
  sqlite3_finalize(query);
}

int64_t FileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  return file ? static_cast<int64_t>(file.tellg()) : 0;
}

// 5 million values of 1,000 points, a second apart, committed as they
// arrive; bytes on disk per value, everything included. Beside it, the
// plain append table's bytes for the same values.
void BM_BytesPerValue(benchmark::State& state) {
  for (auto _ : state) {
    History history;
    constexpr int kPoints = 1000, kRounds = 5000;
    sqlite3_exec(history.baseline,
                 "CREATE TABLE plain (point_id INTEGER, time_ms INTEGER, status INTEGER,"
                 " value REAL)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* plain = nullptr;
    sqlite3_prepare_v2(history.baseline, "INSERT INTO plain VALUES (?1, ?2, 0, ?3)", -1, &plain,
                       nullptr);
    for (int round = 0; round < kRounds && history.error.empty(); ++round) {
      service::Batch batch;
      sqlite3_exec(history.baseline, "BEGIN", nullptr, nullptr, nullptr);
      for (int point = 0; point < kPoints; ++point) {
        double value = std::round(std::sin(round / 60.0 + point) * 10000) / 100;
        batch.values.push_back(Value("P" + std::to_string(point), kStart + round * 1000, value));
        sqlite3_bind_int64(plain, 1, point);
        sqlite3_bind_int64(plain, 2, kStart + round * 1000);
        sqlite3_bind_double(plain, 3, value);
        sqlite3_step(plain);
        sqlite3_reset(plain);
      }
      sqlite3_exec(history.baseline, "COMMIT", nullptr, nullptr, nullptr);
      history.Commit(batch);
    }
    sqlite3_finalize(plain);
    sqlite3_exec(history.baseline, "DROP TABLE v; PRAGMA wal_checkpoint(TRUNCATE); VACUUM",
                 nullptr, nullptr, nullptr);
    std::string path = history.dir.File("history.db");
    history.storage.reset();  // closing checkpoints the log into the file
    double values = double{kPoints} * kRounds;
    state.counters["bytes_per_value"] = FileSize(path) / values;
    state.counters["plain_table_bytes_per_value"] =
        FileSize(history.dir.File("clustered.db")) / values;
    if (!history.error.empty()) state.SkipWithError(history.error.c_str());
  }
}

BENCHMARK(BM_RawClusteredBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawStorageCall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawApiSeries)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChartScanAllBaseline)->ArgName("M")->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chart)->ArgNames({"M", "json"})->Args({5, 0})->Args({5, 1})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BytesPerValue)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace histfeed

int main(int argc, char** argv) {
  if (const char* big = std::getenv("HISTFEED_BENCH_50M"); big != nullptr && *big == '1') {
    benchmark::RegisterBenchmark("BM_Chart/M:50/json:0", histfeed::BM_Chart)
        ->Args({50, 0})->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_Chart/M:50/json:1", histfeed::BM_Chart)
        ->Args({50, 1})->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
