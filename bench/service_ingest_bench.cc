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
// With --store postgresql the service stores into PostgreSQL instead, in
// a throwaway cluster this program starts (and removes at the end), beside
// a plain loop that COPYs the same rows into the same tables in
// transactions of the same size (goal: the service reaches 0.7 of it),
// the other ways a write could take (COPY into a staging table merged
// with ON CONFLICT, multi-row INSERT ... ON CONFLICT), and SQLite's
// service and plain loop for comparison. Where the machine has no
// PostgreSQL server programs it says so and runs SQLite's kinds only.
//
// The kinds run in turns, baseline first, so that each sees the same
// machine; the last lines give each kind's median and the ratios.
//
//   service_ingest_bench [--store sqlite|postgresql] [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/postgres_plain_loop.h"
#include "bench/run_summary.h"
#include "bench/service_under_bench.h"
#include "service/listeners/universal_frame_rows.h"
#include "service/storage/postgresql/postgresql_storage.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "tests/support/loopback.h"
#include "tests/support/postgres_server.h"
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
constexpr int32_t kFirstTime = 1'700'000'000;

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

enum Kind {
  kPlainLoop,
  kService,
  kServiceSyncFull,
  kFrameByFrame,
  kFrameByFrameSyncFull,
  kPostgresCopyLoop,
  kPostgresService,
  kPostgresStagingLoop,
  kPostgresInsertLoop,
};
const char* const kKindNames[] = {"SQLite: plain append loop",
                                  "SQLite: 100 sources into the service",
                                  "SQLite: the same with --sync full",
                                  "SQLite: storage, frame by frame",
                                  "SQLite: the same with --sync full",
                                  "PostgreSQL: plain COPY loop",
                                  "PostgreSQL: 100 sources into the service",
                                  "PostgreSQL: COPY to staging, ON CONFLICT",
                                  "PostgreSQL: multi-row INSERT ON CONFLICT"};

// The throwaway PostgreSQL server of this run, null when there is none.
std::unique_ptr<testing::PostgresServer>& Postgres() {
  static std::unique_ptr<testing::PostgresServer> server;
  return server;
}

// A new database on that server, dropped with this object.
struct ScratchDatabase {
  const std::string connection = Postgres()->NewDatabase();
  ~ScratchDatabase() {
    service::postgresql::Connection admin;
    if (!admin.Open(Postgres()->ConnectionTo("postgres")).empty()) return;
    admin.Exec("DROP DATABASE " + connection.substr(connection.rfind('/') + 1) + " WITH (FORCE)");
  }
};

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
  int32_t time = kFirstTime;
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

// What PostgreSQL itself takes: the same rows written straight into the
// same tables, `how` PostgresPlainLoop says, a round a transaction.
void PostgresLoop(benchmark::State& state, MillionClock& clock, PlainWrite how) {
  ScratchDatabase database;
  std::vector<service::ValueRow> points;
  for (int source = 0; source < kSources; ++source) {
    service::Batch frame = RowsOf(FullFrame(source, kFirstTime));
    for (service::ValueRow& row : frame.values) points.push_back(std::move(row));
  }
  PostgresPlainLoop loop;
  std::string error = loop.Open(database.connection, points, int64_t{kFirstTime} * 1000,
                                (int64_t{kFirstTime} + kRounds) * 1000);
  if (!error.empty()) return state.SkipWithError(error.c_str());
  std::vector<PostgresPlainLoop::Row> rows;
  int32_t time = kFirstTime;
  for (auto _ : state) {
    ++time;
    rows.clear();
    for (int source = 0; source < kSources; ++source) {
      for (int i = 0; i < kFrameRecords; ++i) {
        rows.push_back({source * kFrameRecords + i + 1, int64_t{time} * 1000, ValueAt(time, i)});
      }
    }
    if (!loop.Write(how, rows)) {
      state.SkipWithError(loop.error().c_str());
      break;
    }
    clock.Add(kRoundValues);
  }
}

void Service(benchmark::State& state, MillionClock& clock, ServiceUnderBench& service) {
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  std::vector<int> sockets;
  for (int source = 0; source < kSources; ++source) {
    sockets.push_back(testing::ConnectLoopback(service.port()));
    if (sockets.back() < 0) return state.SkipWithError("connect failed");
  }
  int32_t time = kFirstTime;
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
void SqliteService(benchmark::State& state, MillionClock& clock, service::SyncMode sync) {
  service::StorageOptions options;
  options.sync = sync;
  ServiceUnderBench service(nullptr, options);
  Service(state, clock, service);
}

void PostgresService(benchmark::State& state, MillionClock& clock) {
  ScratchDatabase database;  // outlives the service
  std::string error;
  std::unique_ptr<service::Storage> storage =
      service::postgresql::OpenStorage(database.connection, {}, &error);
  ServiceUnderBench service(std::move(storage), error);
  Service(state, clock, service);
}

void BM_Ingest(benchmark::State& state) {
  MillionClock clock;
  Kind kind = static_cast<Kind>(state.range(0));
  switch (kind) {
    case kPlainLoop: PlainLoop(state, clock); break;
    case kService: SqliteService(state, clock, service::SyncMode::kNormal); break;
    case kServiceSyncFull: SqliteService(state, clock, service::SyncMode::kFull); break;
    case kFrameByFrame: FrameByFrame(state, clock, service::SyncMode::kNormal); break;
    case kFrameByFrameSyncFull: FrameByFrame(state, clock, service::SyncMode::kFull); break;
    case kPostgresCopyLoop: PostgresLoop(state, clock, PlainWrite::kCopy); break;
    case kPostgresService: PostgresService(state, clock); break;
    case kPostgresStagingLoop: PostgresLoop(state, clock, PlainWrite::kStagingMerge); break;
    case kPostgresInsertLoop: PostgresLoop(state, clock, PlainWrite::kMultiRowInsert); break;
  }
  clock.Report(state);
  Rates()[kind].push_back(state.counters["values_per_s"]);
  state.SetItemsProcessed(state.iterations() * kRoundValues);
}
// Registers `kinds`, in turns, kRepetitions times.
void RegisterInterleaved(const std::vector<int>& kinds) {
  benchmark::internal::Benchmark* bench = benchmark::RegisterBenchmark("BM_Ingest", BM_Ingest);
  bench->ArgNames({"kind", "run"})->Iterations(kRounds)->UseRealTime()->Unit(benchmark::kSecond);
  for (int repetition = 0; repetition < kRepetitions; ++repetition) {
    for (int kind : kinds) bench->Args({kind, repetition});
  }
}

// Why the PostgreSQL kinds did not run, empty when they did or were not asked for.
std::string& PostgresMissing() {
  static std::string why;
  return why;
}

void PrintRatio(std::map<int, double>& median, const char* what, int kind, int base) {
  if (median[kind] > 0 && median[base] > 0) {
    std::printf("%-44s %.2f\n", what, median[kind] / median[base]);
  }
}

void PrintSummary(const std::string& loadBefore) {
  std::map<int, double> median;
  for (const auto& [kind, rates] : Rates()) {
    median[kind] = Median(rates);
    std::printf("%-44s median %9.0f values/s over %zu runs\n", kKindNames[kind], median[kind],
                rates.size());
  }
  PrintRatio(median, "SQLite: service / plain loop", kService, kPlainLoop);
  PrintRatio(median, "SQLite: --sync full / plain loop", kServiceSyncFull, kPlainLoop);
  PrintRatio(median, "PostgreSQL: service / COPY loop (goal 0.7)", kPostgresService,
             kPostgresCopyLoop);
  PrintRatio(median, "PostgreSQL: staging, ON CONFLICT / COPY loop", kPostgresStagingLoop,
             kPostgresCopyLoop);
  PrintRatio(median, "PostgreSQL: multi-row INSERT / COPY loop", kPostgresInsertLoop,
             kPostgresCopyLoop);
  if (median[kFrameByFrame] > 0 && median[kFrameByFrameSyncFull] > 0) {
    double perValue = 1e6 / median[kFrameByFrameSyncFull] - 1e6 / median[kFrameByFrame];
    std::printf("--sync full costs a commit of %d values %.3f ms more\n", kFrameRecords,
                perValue * kFrameRecords / 1000);
  }
  if (!PostgresMissing().empty()) {
    std::printf("THE POSTGRESQL KINDS DID NOT RUN: %s\n", PostgresMissing().c_str());
  }
  std::printf("load average before %s, after %s\n", loadBefore.c_str(), LoadAverage().c_str());
}

// Takes "--store NAME" or "--store=NAME" out of the arguments; "sqlite"
// when there is none.
std::string TakeStore(int* argc, char** argv) {
  std::string store = "sqlite";
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strcmp(argv[i], "--store") == 0 && i + 1 < *argc) {
      store = argv[++i];
    } else if (std::strncmp(argv[i], "--store=", 8) == 0) {
      store = argv[i] + 8;
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  return store;
}

// Starts the run's PostgreSQL server and says how it is set up; false,
// loudly, when there is none.
bool StartPostgres() {
  std::string why;
  Postgres() = testing::PostgresServer::Own(&why);
  if (Postgres() == nullptr) {
    PostgresMissing() = why;
    std::fprintf(stderr,
                 "\n*** NO POSTGRESQL SERVER: %s.\n*** THE POSTGRESQL KINDS ARE SKIPPED; "
                 "scripts/install-deps.sh test installs the server programs. ***\n\n",
                 why.c_str());
    return false;
  }
  service::postgresql::Connection db;
  std::string settings;
  if (db.Open(Postgres()->ConnectionTo("postgres")).empty()) {
    service::postgresql::Result shown = db.Query(
        "SELECT string_agg(name || '=' || setting || coalesce(unit, ''), ' ' ORDER BY name) "
        "FROM pg_settings WHERE name IN ('fsync', 'synchronous_commit', 'full_page_writes', "
        "'shared_buffers', 'wal_level', 'server_version')");
    if (shown.ok() && shown.rows() == 1) settings = shown.String(0, 0);
  }
  // Both sides write to this one server, so its settings favour neither.
  std::printf("PostgreSQL: a throwaway cluster on 127.0.0.1:%u for both sides alike: %s\n",
              Postgres()->port(), settings.c_str());
  return true;
}

}  // namespace
}  // namespace histfeed

int main(int argc, char** argv) {
  using namespace histfeed;
  std::string store = TakeStore(&argc, argv);
  if (store != "sqlite" && store != "postgresql") {
    std::fprintf(stderr, "%s: --store takes sqlite or postgresql, not %s\n", argv[0],
                 store.c_str());
    return 2;
  }
  std::vector<int> kinds = {kPlainLoop, kService, kServiceSyncFull, kFrameByFrame,
                            kFrameByFrameSyncFull};
  if (store == "postgresql") {
    kinds = {kPlainLoop, kService};
    if (StartPostgres()) {
      kinds.insert(kinds.begin(), {kPostgresCopyLoop, kPostgresService, kPostgresStagingLoop,
                                   kPostgresInsertLoop});
    }
  }
  RegisterInterleaved(kinds);
  int status = RunAndSummarize(argc, argv, PrintSummary);
  Postgres().reset();  // the cluster goes with it
  return status;
}
