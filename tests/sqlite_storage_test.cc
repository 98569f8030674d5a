// SPDX-License-Identifier: Apache-2.0
// The SQLite storage's own promises: which files it opens and which it
// leaves alone, files of 0.2.0 brought up to date, summary rows that hold
// what their buckets hold, and nothing lost when the service is killed
// while it moves or summarizes values.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "service/event_log.h"
#include "service/storage/sqlite/schema.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/storage/summary_levels.h"
#include "tests/support/database_rows.h"
#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"

extern char** environ;

namespace histfeed::service {
namespace {

using testing::QueryRows;

// What histfeed-service 0.2.0 wrote: one row per value, names on every row.
constexpr const char* kRelease020Schema = R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE point_values (
  family TEXT NOT NULL, id_kind TEXT NOT NULL, point TEXT NOT NULL, time INTEGER NOT NULL,
  msec INTEGER NOT NULL, status INTEGER NOT NULL, value REAL, value_bits INTEGER,
  text_value TEXT, received_at REAL NOT NULL);
CREATE UNIQUE INDEX point_values_key ON point_values (family, id_kind, point, time, msec);
CREATE TABLE point_configs (
  family TEXT NOT NULL, id_kind TEXT NOT NULL, point TEXT NOT NULL, record_type INTEGER NOT NULL,
  point_id TEXT, long_id TEXT, ext_id TEXT, description TEXT, units TEXT, raw BLOB NOT NULL,
  received_at REAL NOT NULL, PRIMARY KEY (family, id_kind, point));
CREATE TABLE deletions (
  family TEXT NOT NULL, id_kind TEXT NOT NULL, point TEXT NOT NULL, received_at REAL NOT NULL);
)sql";

void Exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

// A 0.2.0 database with `points` points of `each` numbers a second apart.
void WriteRelease020(const std::string& path, int points, int each) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, kRelease020Schema, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO point_values VALUES ('universal', 'point', ?1, ?2, 0, 0, ?3, ?4, "
                     "NULL, 0)",
                     -1, &insert, nullptr);
  for (int point = 0; point < points; ++point) {
    std::string name = "M" + std::to_string(point);
    for (int i = 0; i < each; ++i) {
      double value = point + i * 0.25;
      sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 2, 1'600'000'000 + i);
      sqlite3_bind_double(insert, 3, value);
      sqlite3_bind_int64(insert, 4, std::bit_cast<int64_t>(value));
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

std::string FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// One number from a query on the database at `path`, or -1 when there is
// none (a table not made yet, say).
int64_t Number(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_stmt* query = nullptr;
  int64_t number = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql, -1, &query, nullptr) == SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW) {
    number = sqlite3_column_int64(query, 0);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  return number;
}

// Starts histfeed-service serve on `path` through the shell, its standard
// error into `log`; `prefix` goes before it (setpriv, say).
pid_t Serve(const std::string& path, const std::string& log, std::vector<std::string> prefix = {},
            uint16_t port = 0) {
  std::string command = "exec \"$@\" 2>'" + log + "'";
  std::vector<std::string> words = {"/bin/sh", "-c", command, "sh"};
  words.insert(words.end(), prefix.begin(), prefix.end());
  words.insert(words.end(), {HISTFEED_SERVICE_BINARY, "serve", "--db", path, "--universal-port",
                             std::to_string(port), "--classic-port", "0", "--quiet"});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Runs the service on `path` to its end (at most 20 s): its exit status
// and what it said. `asNobody`: as root, it runs as nobody, whom file
// modes bind.
std::pair<int, std::string> ServeToEnd(const testing::TempDirectory& dir, const std::string& path,
                                       bool asNobody) {
  std::string log = dir.File("serve.log");
  std::vector<std::string> prefix;
  if (asNobody && geteuid() == 0) {
    prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  pid_t pid = Serve(path, log, prefix);
  if (pid < 0) return {-1, ""};
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 50) {
    if (waited > 20'000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return {-1, "still running: " + FileBytes(log)};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, FileBytes(log)};
}

// Files the service must not write to: it exits 1 naming the file and why,
// and leaves every byte of it as it was.
TEST(SqliteStorageTrustTest, FilesItCannotTrustAreRefusedUnchanged) {
  SetEventLogQuiet(true);
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    const char* reason;
    bool asNobody = false;
    bool locked = false;  // another program holds it meanwhile
  };
  const Case cases[] = {
      {"read-only",
       [](const std::string& path) {
         WriteRelease020(path, 1, 10);
         chmod(path.c_str(), 0444);
         // As a service account would have it: its own directory, its
         // own file, which it may not write.
         if (geteuid() == 0) {
           EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
           EXPECT_EQ(chown(path.substr(0, path.rfind('/')).c_str(), 65534, 65534), 0);
         }
       },
       "readonly", /*asNobody=*/true},
      {"locked", [](const std::string& path) { WriteRelease020(path, 1, 10); }, "locked",
       /*asNobody=*/false, /*locked=*/true},
      {"not a database",
       [](const std::string& path) {
         std::ofstream(path) << std::string(8192, 'x') << "customer list";
       },
       "not a database"},
      {"another program's tables",
       [](const std::string& path) {
         Exec(path, "CREATE TABLE customers (id INTEGER, name TEXT);"
                    "INSERT INTO customers VALUES (1, 'Anna');");
       },
       "customers"},
      {"another program's application id",
       [](const std::string& path) {
         Exec(path, "PRAGMA application_id = 1234; CREATE TABLE items (x);");
       },
       "another program"},
      {"a value table of another shape",
       [](const std::string& path) {
         Exec(path, "CREATE TABLE point_values (a, b); CREATE TABLE point_configs (c);");
       },
       "point_values has other columns"},
      {"a newer layout",
       [](const std::string& path) {
         Exec(path, "PRAGMA application_id = 1751544694; PRAGMA user_version = 99;"
                    "CREATE TABLE points (id);");
       },
       "another version"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    testing::TempDirectory dir;
    chmod(dir.path().c_str(), 0755);  // others may look in
    std::string path = dir.File("history.db");
    test.make(path);
    std::string before = FileBytes(path);
    // Taken after the file was read: closing any descriptor of a file lets
    // go of the process's locks on it.
    sqlite3* holder = nullptr;
    if (test.locked) {
      ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(holder, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;", nullptr,
                             nullptr, nullptr),
                SQLITE_OK);
    }
    auto [status, said] = ServeToEnd(dir, path, test.asNobody);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find(path), std::string::npos) << said;
    EXPECT_NE(said.find(test.reason), std::string::npos) << said;
    sqlite3_close(holder);
    EXPECT_EQ(FileBytes(path), before);
    EXPECT_FALSE(std::ifstream(path + "-journal").good());
  }
}

// Two services on one file would each take the other's journal for their
// own: the second is refused while the first runs.
TEST(SqliteStorageTrustTest, OneServicePerFile) {
  testing::TempDirectory dir;
  std::string path = dir.File("history.db");
  testing::ServiceProcess first(HISTFEED_SERVICE_BINARY, path, testing::FreeLoopbackPort());
  ASSERT_TRUE(first.Start());
  auto [status, said] = ServeToEnd(dir, path, false);
  EXPECT_EQ(status, 1);
  EXPECT_NE(said.find("in use by another histfeed-service"), std::string::npos) << said;
  std::string error;
  StorageOptions readOnly;
  readOnly.readOnly = true;
  EXPECT_NE(sqlite::OpenStorage(path, readOnly, &error), nullptr) << error;  // dump still reads
}

TEST(SqliteStorageMigrationTest, Release020FilesAreBroughtUpToDateInPlace) {
  SetEventLogQuiet(true);
  const double payloadNaN = std::bit_cast<double>(uint64_t{0xfff4000000000123});
  for (bool exactBits : {true, false}) {
    SCOPED_TRACE(exactBits ? "0.2.0" : "before exact bits");
    testing::TempDirectory dir;
    std::string path = dir.File("old.db");
    if (exactBits) {
      Exec(path, kRelease020Schema);
      std::ostringstream sql;
      sql << "INSERT INTO point_values VALUES "
          << "('universal','point','P',1,0,0,1.5," << std::bit_cast<int64_t>(1.5) << ",NULL,0),"
          << "('universal','point','P',2,250,3,NULL," << std::bit_cast<int64_t>(payloadNaN)
          << ",NULL,0),"
          << "('universal','point','P',3,0,0,NULL,NULL,'on',0),"
          << "('universal','point',CAST(x'54454d50b043' AS TEXT),1,0,0,-0.0,"
          << std::bit_cast<int64_t>(-0.0) << ",NULL,0),"
          << "('classic','point','PLANT.P1',5,0,1,2.0," << std::bit_cast<int64_t>(2.0)
          << ",NULL,0);"
          << "INSERT INTO point_configs VALUES ('universal','point','P',5,'P','plant.P','','Flow',"
          << "'m3/h',x'0102',7);"
          << "INSERT INTO deletions VALUES ('universal','long','plant.Q',8);";
      Exec(path, sql.str());
    } else {
      // Before values were unique and exact: repeats, and NaN kept as NULL.
      Exec(path, "CREATE TABLE point_values (family TEXT NOT NULL, id_kind TEXT NOT NULL,"
                 " point TEXT NOT NULL, time INTEGER NOT NULL, msec INTEGER NOT NULL,"
                 " status INTEGER NOT NULL, value REAL, text_value TEXT,"
                 " received_at REAL NOT NULL);"
                 "INSERT INTO point_values VALUES ('universal','point','P',1,0,0,1.0,NULL,0),"
                 " ('universal','point','P',1,0,0,1.5,NULL,0),"
                 " ('universal','point','P',3,0,0,NULL,'on',0);");
    }
    StorageOptions readOnly;
    readOnly.readOnly = true;
    std::string error;
    EXPECT_EQ(sqlite::OpenStorage(path, readOnly, &error), nullptr);  // dump: serve it first
    EXPECT_NE(error.find("0.2.0"), std::string::npos) << error;
    {
      std::unique_ptr<Storage> storage = sqlite::OpenStorage(path, {}, &error);
      ASSERT_NE(storage, nullptr) << error;
      while (storage->Maintain(std::chrono::milliseconds(100))) {
      }
    }
    EXPECT_EQ(Number(path, "PRAGMA application_id"), sqlite::kApplicationId);
    EXPECT_EQ(Number(path, "PRAGMA user_version"), sqlite::kSchemaVersion);
    EXPECT_EQ(Number(path, "SELECT COUNT(*) FROM sqlite_master WHERE name LIKE 'legacy%'"), 0);
    EXPECT_EQ(Number(path, "SELECT COUNT(*) FROM summary_backlog"), 0);
    std::vector<std::string> expected = {"point|P|1|0|0|1.5|-", "point|P|3|0|0|-|on"};
    if (exactBits) {
      expected = {"point|P|1|0|0|1.5|-", "point|P|2|250|3|nan(0xfff4000000000123)|-",
                  "point|P|3|0|0|-|on", "point|TEMP\xB0" "C|1|0|0|-0|-"};
      EXPECT_EQ(testing::StoredValues(path, "classic"),
                (std::vector<std::string>{"point|PLANT.P1|5|0|1|2|-"}));
      EXPECT_EQ(testing::StoredConfigs(path),
                (std::vector<std::string>{"5|point|P|P|plant.P||Flow|m3/h"}));
      EXPECT_EQ(testing::StoredDeletions(path), (std::vector<std::string>{"long|plant.Q"}));
    }
    EXPECT_EQ(testing::StoredValues(path, "universal"), expected);
  }
}

// Every summary row holds what its bucket holds, and every complete bucket
// with enough numbers has its row: after packing, after values put among
// packed ones, and after a range was recomputed.
TEST(SqliteStorageSummaryTest, RowsHoldWhatTheirBucketsHold) {
  SetEventLogQuiet(true);
  testing::TempDirectory dir;
  std::string path = dir.File("history.db");
  sqlite::WriterSettings settings;
  settings.journalWindow = 500;
  settings.packAfter = std::chrono::milliseconds(0);
  std::string error;
  std::unique_ptr<Storage> storage = sqlite::OpenStorage(path, {}, settings, &error);
  ASSERT_NE(storage, nullptr) << error;
  std::mt19937_64 random(3);
  const int64_t start = BucketStart(8, 1'650'000'000'000);
  std::vector<int64_t> clocks(4, start);
  for (int round = 0; round < 60; ++round) {
    Batch batch;
    for (int point = 0; point < 4; ++point) {
      // Point 0 dense, point 3 sparse; now and then a late value.
      int64_t step = point == 3 ? 90'000 : 50 + point * 400;
      for (int i = 0; i < 400; ++i) {
        clocks[point] += 1 + static_cast<int64_t>(random() % static_cast<uint64_t>(step));
        ValueRow row;
        row.family = "universal";
        row.point = "Q" + std::to_string(point);
        int64_t millis = i % 97 == 0 ? clocks[point] - static_cast<int64_t>(random() % 3'600'000)
                                     : clocks[point];
        row.time = millis / 1000;
        row.msec = static_cast<int32_t>(millis % 1000);
        row.value = i % 89 == 0 ? std::numeric_limits<double>::infinity()
                                : static_cast<double>(random() % 1000) / 8;
        batch.values.push_back(row);
      }
    }
    ASSERT_TRUE(storage->Commit(batch)) << storage->LastWriteError();
    if (round % 10 == 0) storage->Maintain(std::chrono::milliseconds(20));
  }
  while (storage->Maintain(std::chrono::milliseconds(100))) {
  }
  // The brute force: every bucket of every level, from the values.
  std::map<std::tuple<int, int64_t, std::string>, BucketStats> buckets;
  std::map<std::string, int64_t> lastOf;
  storage->ForEachValue(
      [&](const PointKey& key, const StoredValue& value) {
        lastOf[key.point] = value.millis;
        if (value.isText || !std::isfinite(value.value)) return true;
        for (int level = 0; level < kSummaryLevels; ++level) {
          buckets[{level, BucketStart(level, value.millis), key.point}].Add(value.millis,
                                                                            value.value);
        }
        return true;
      },
      &error);
  ASSERT_EQ(error, "");
  std::map<std::tuple<int, int64_t, std::string>, BucketStats> rows;
  for (const std::string& row : QueryRows(
           path, "SELECT s.level, s.bucket, p.name, s.count, s.min, s.max, s.first_ms, s.first, "
                 "s.last_ms, s.last FROM summaries s JOIN points p ON p.id = s.point_id")) {
    std::istringstream fields(row);
    std::string field;
    std::vector<std::string> cells;
    while (std::getline(fields, field, '|')) cells.push_back(field);
    ASSERT_EQ(cells.size(), 10u);
    rows[{std::stoi(cells[0]), std::stoll(cells[1]), cells[2]}] =
        BucketStats{std::stoll(cells[3]), std::stod(cells[4]), std::stod(cells[5]),
                    std::stoll(cells[6]), std::stoll(cells[8]), std::stod(cells[7]),
                    std::stod(cells[9])};
  }
  int64_t checked = 0;
  for (const auto& [key, truth] : buckets) {
    auto [level, bucket, point] = key;
    bool complete = bucket + BucketMillis(level) <= lastOf[point];
    auto row = rows.find(key);
    if (!complete || truth.count < kSummaryMinCount) {
      EXPECT_TRUE(row == rows.end()) << level << " " << bucket << " " << point;
      continue;
    }
    ASSERT_TRUE(row != rows.end()) << level << " " << bucket << " " << point;
    EXPECT_EQ(row->second, truth) << level << " " << bucket << " " << point;
    ++checked;
  }
  EXPECT_GT(checked, 100);
  EXPECT_EQ(rows.size(), static_cast<size_t>(checked));
}

// A frame of one value for each of `points` points at `time`.
std::vector<uint8_t> Frame(int points, int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> records(size_t(points) * type.recordBytes);
  for (int i = 0; i < points; ++i) {
    universal::EncodeRecord(type, {time, 0, "LIVE" + std::to_string(i), 0, 1.0 * time, {}},
                            &records[size_t(i) * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, static_cast<uint16_t>(points)));
  universal::EncodeFrame(type, nullptr, records.data(), static_cast<uint16_t>(points),
                         frame.data());
  return frame;
}

// The service killed while it moves a 0.2.0 file's values, and again while
// it summarizes them with sources sending: it opens every time, and in the
// end holds every value the file held and every one it acknowledged.
TEST(SqliteStorageKillTest, KilledDuringMigrationAndCatchingUpItLosesNothing) {
  SetEventLogQuiet(true);
  testing::TempDirectory dir;
  std::string path = dir.File("history.db");
  constexpr int kPoints = 400, kEach = 1500;  // three steps of moving
  WriteRelease020(path, kPoints, kEach);
  uint16_t port = testing::FreeLoopbackPort();

  // Killed while moving: some rows moved, some still waiting.
  {
    pid_t pid = Serve(path, dir.File("first.log"), {}, port);
    ASSERT_GT(pid, 0);
    bool caught = testing::WaitUntil(
        [&] {
          int64_t waiting = Number(path, "SELECT COUNT(*) FROM legacy_values");
          return waiting > 0 && waiting < kPoints * kEach;
        },
        std::chrono::seconds(60));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(caught) << "the kill came too late or too early";
  }
  // Killed while summarizing, with a source sending.
  std::set<int32_t> acknowledged;
  {
    testing::ServiceProcess service(HISTFEED_SERVICE_BINARY, path, port);
    service.LogTo(dir.File("second.log"));
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(Number(path, "SELECT COUNT(*) FROM sqlite_master WHERE name = 'legacy_values'"), 0);
    // It went on where the kill stopped it, and says that nothing was lost.
    std::string said = FileBytes(dir.File("second.log"));
    std::string all = std::to_string(kPoints * kEach);
    EXPECT_NE(said.find(all + " values before, " + all + " after"), std::string::npos) << said;
    int fd = testing::ConnectLoopback(port);
    bool caught = false;
    for (int32_t time = 1'700'000'000; !caught && time < 1'700'100'000; ++time) {
      std::vector<uint8_t> frame = Frame(5, time);
      uint8_t answer = 0;
      ASSERT_TRUE(testing::WriteAll(fd, frame.data(), frame.size()));
      if (testing::ReadExactly(fd, &answer, 1) && answer == 0x06) acknowledged.insert(time);
      int64_t waiting = Number(path, "SELECT COUNT(*) FROM summary_backlog");
      caught = waiting > 0 && waiting < kPoints;
      if (waiting == 0) break;
    }
    kill(service.pid(), SIGKILL);
    close(fd);
    EXPECT_TRUE(caught) << "the summaries were done before the kill";
  }
  {
    testing::ServiceProcess service(HISTFEED_SERVICE_BINARY, path, port);
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return Number(path, "SELECT COUNT(*) FROM summary_backlog") == 0; },
        std::chrono::seconds(60)));
  }
  std::unique_ptr<Storage> storage = testing::ReadStorage(path);
  ASSERT_NE(storage, nullptr);
  std::string error;
  std::map<std::string, int64_t> counts;
  std::set<int32_t> live;
  storage->ForEachValue(
      [&](const PointKey& key, const StoredValue& value) {
        ++counts[key.point];
        if (key.point == "LIVE0") live.insert(static_cast<int32_t>(value.millis / 1000));
        return true;
      },
      &error);
  for (int point = 0; point < kPoints; ++point) {
    EXPECT_EQ(counts["M" + std::to_string(point)], kEach) << point;
  }
  for (int32_t time : acknowledged) EXPECT_TRUE(live.contains(time)) << time;
  // The moved values' summaries are whole again.
  Series series = storage->ReducedSeries(
      {{"universal", "point", "M7"}, 1'600'000'000'000, 1'600'000'000'000 + kEach * 1000, 10},
      &error);
  EXPECT_EQ(series.values, kEach);
  EXPECT_EQ(series.columns.front().min, 7);
}

// A disk that refuses to take more: the service answers 0x15, and logs
// SQLite's reason, once in a while however many frames fail.
TEST(SqliteStorageFailureTest, StorageFailuresAreLoggedWithTheirReasonNowAndThen) {
  testing::TempDirectory dir;
  std::string path = dir.File("history.db");
  std::string log = dir.File("service.log");
  uint16_t port = testing::FreeLoopbackPort();
  testing::ServiceProcess service(HISTFEED_SERVICE_BINARY, path, port);
  // Files may grow to 1 MB; past that a write fails instead of killing it.
  service.SetShellPrefix("ulimit -f 2048 && trap '' XFSZ && ");
  service.LogTo(log);
  ASSERT_TRUE(service.Start());
  int fd = testing::ConnectLoopback(port);
  int refused = 0;
  for (int32_t time = 1; time < 20'000 && refused < 50; ++time) {
    std::vector<uint8_t> frame = Frame(300, time);
    uint8_t answer = 0;
    ASSERT_TRUE(testing::WriteAll(fd, frame.data(), frame.size()));
    ASSERT_TRUE(testing::ReadExactly(fd, &answer, 1));
    if (answer == 0x15) ++refused;
  }
  close(fd);
  service.Stop(SIGTERM);
  EXPECT_EQ(refused, 50);
  // The writer's line says why; the frames' own lines are the listener's.
  std::string said = FileBytes(log);
  size_t first = said.find(" batches: ");
  ASSERT_NE(first, std::string::npos) << said;
  std::string line = said.substr(first, said.find('\n', first) - first);
  EXPECT_TRUE(line.find("disk I/O error") != std::string::npos ||
              line.find("database or disk is full") != std::string::npos)
      << line;
  EXPECT_EQ(said.find(" batches: ", first + 1), std::string::npos) << "not rate-limited";
}

}  // namespace
}  // namespace histfeed::service
