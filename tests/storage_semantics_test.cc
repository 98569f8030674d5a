// SPDX-License-Identifier: Apache-2.0
// What the service's storage promises, whatever database holds it: one set
// of cases, run against each storage through a factory. Every storage opens
// so that its work that can wait starts at once here: SQLite with a small
// packing window, so that a few values already reach the packed layout,
// PostgreSQL summarizing the latest minutes without waiting for more.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "service/event_log.h"
#include "service/storage/postgresql/postgresql_storage.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/storage/storage.h"
#include "service/storage/summary_levels.h"
#include "tests/support/postgres_server.h"
#include "tests/support/temp_directory.h"

namespace histfeed::service {
namespace {

constexpr int64_t kEarliest = std::numeric_limits<int64_t>::min();
constexpr int64_t kLatest = std::numeric_limits<int64_t>::max();

struct StorageFactory {
  const char* name;
  // Opens the storage kept in `directory`, creating it when new.
  std::function<std::unique_ptr<Storage>(const std::string& directory,
                                         const StorageOptions& options, std::string* error)>
      open;
  // Why the storage cannot be had on this machine; empty when it can.
  std::function<std::string()> unavailable = [] { return std::string(); };
};

// Names each case's storage in the test names.
void PrintTo(const StorageFactory& factory, std::ostream* out) { *out << factory.name; }

std::unique_ptr<Storage> OpenSqlite(const std::string& directory, const StorageOptions& options,
                                    std::string* error) {
  sqlite::WriterSettings settings;
  settings.journalWindow = 64;
  settings.packAfter = std::chrono::milliseconds(0);
  return sqlite::OpenStorage(directory + "history.db", options, settings, error);
}

// A database of the test's own on the shared server; summaries follow
// the values at once.
std::unique_ptr<Storage> OpenPostgresql(const std::string& directory,
                                        const StorageOptions& options, std::string* error) {
  static std::map<std::string, std::string> databases;  // by the test's directory
  testing::PostgresServer* server = testing::PostgresServer::Shared(error);
  if (server == nullptr) return nullptr;
  auto [database, added] = databases.try_emplace(directory);
  if (added) database->second = server->NewDatabase();
  postgresql::PostgresqlSettings settings;
  settings.settleAfter = std::chrono::milliseconds(0);
  return postgresql::OpenStorage(database->second, options, settings, error);
}

std::string PostgresqlUnavailable() {
  std::string why;
  return testing::PostgresServer::Shared(&why) == nullptr ? why : "";
}

ValueRow Value(const std::string& point, int64_t millis, double value, int32_t status = 0) {
  ValueRow row;
  row.family = "universal";
  row.point = point;
  row.time = millis / 1000;
  row.msec = static_cast<int32_t>(millis % 1000);
  row.status = status;
  row.value = value;
  return row;
}

ValueRow Text(const std::string& point, int64_t millis, const std::string& text,
              int32_t status = 0) {
  ValueRow row = Value(point, millis, 0, status);
  row.isText = true;
  row.text = text;
  return row;
}

PointKey Key(const std::string& point, const char* idKind = "point") {
  return PointKey{"universal", idKind, point};
}

// A value as a test compares it: time, status and exact bits or text.
std::string Describe(const StoredValue& value) {
  std::string text = std::to_string(value.millis) + "|" + std::to_string(value.status) + "|";
  return text + (value.isText ? "t:" + value.text
                              : std::to_string(std::bit_cast<uint64_t>(value.value)));
}

std::string Describe(const ValueRow& row) {
  return Describe(StoredValue{row.Millis(), row.status, row.isText, row.isText ? 0 : row.value,
                              row.text});
}

class StorageSemanticsTest : public ::testing::TestWithParam<StorageFactory> {
 protected:
  void SetUp() override {
    SetEventLogQuiet(true);
    std::string why = GetParam().unavailable();
    if (!why.empty()) {
      if (testing::PostgresRequired()) FAIL() << why;
      GTEST_SKIP() << "THE " << GetParam().name << " STORAGE IS NOT TESTED HERE: " << why;
    }
    Open();
  }

  void Open(StorageOptions options = {}) {
    storage_.reset();
    std::string error;
    storage_ = GetParam().open(dir_.path(), options, &error);
    ASSERT_NE(storage_, nullptr) << error;
  }

  void Commit(std::vector<ValueRow> values) {
    Batch batch;
    batch.values = std::move(values);
    ASSERT_TRUE(storage_->Commit(batch)) << storage_->LastWriteError();
  }

  // Lets the work that can wait (packing, summaries, retention) finish.
  void Settle() {
    for (int slices = 0; storage_->Maintain(std::chrono::milliseconds(100)); ++slices) {
      ASSERT_LT(slices, 10000) << "maintenance never ends";
    }
  }

  std::vector<std::string> Stored(const PointKey& key, int64_t from = kEarliest,
                                  int64_t to = kLatest) {
    std::string error;
    std::vector<std::string> described;
    for (const StoredValue& value : storage_->Values({key, from, to, 10'000'000}, &error)) {
      described.push_back(Describe(value));
    }
    EXPECT_EQ(error, "");
    return described;
  }

  int64_t Count(const PointKey& key) {
    std::string error;
    std::optional<PointDetail> detail = storage_->Point(key, &error);
    EXPECT_EQ(error, "");
    return detail ? detail->row.count : -1;
  }

  testing::TempDirectory dir_;
  std::unique_ptr<Storage> storage_;
};

// Each value as the source sent it, once per time stamp, wherever the
// earlier one of its time sits: still in the journal, packed, or packed
// before the storage was opened again.
TEST_P(StorageSemanticsTest, ValuesComeBackExactlyOncePerTimeStamp) {
  const double payloadNaN = std::bit_cast<double>(uint64_t{0xfff4000000000123});
  const std::vector<ValueRow> values = {
      Value("P", 1000, std::numeric_limits<double>::quiet_NaN()),
      Value("P", 1001, payloadNaN, 7),
      Value("P", 2000, std::numeric_limits<double>::infinity()),
      Value("P", 2500, -std::numeric_limits<double>::infinity(), -3),
      Value("P", 3000, -0.0),
      Value("P", 3999, std::numeric_limits<double>::denorm_min()),
      Text("P", 4000, ""),
      Text("P", 5000, std::string("\xB0" "C\0x", 4), 1),
      Text("P", 6000, std::string(300, 'w')),
      Value("P", -1500, 0.1)};  // before 1970
  enum class Where { kJournal, kPacked, kReopened };
  for (Where where : {Where::kJournal, Where::kPacked, Where::kReopened}) {
    SCOPED_TRACE(static_cast<int>(where));
    std::string point = "P" + std::to_string(static_cast<int>(where));
    std::vector<ValueRow> rows = values;
    for (ValueRow& row : rows) row.point = point;
    Commit(rows);
    if (where != Where::kJournal) Settle();
    if (where == Where::kReopened) Open();
    // A replay of the same values changes nothing.
    Commit(rows);
    EXPECT_EQ(Count(Key(point)), static_cast<int64_t>(values.size()));
    // Another value, or the same value with another status, replaces it.
    std::vector<ValueRow> changed = {Value(point, 3000, 0.0), Value(point, 1001, payloadNaN, 8),
                                     Text(point, 4000, "x"), Value(point, 6000, 1.5)};
    Commit(changed);
    std::vector<std::string> expected;
    std::vector<ValueRow> sorted = rows;
    for (const ValueRow& row : changed) {
      for (ValueRow& earlier : sorted) {
        if (earlier.Millis() == row.Millis()) earlier = row;
      }
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const ValueRow& a, const ValueRow& b) { return a.Millis() < b.Millis(); });
    for (const ValueRow& row : sorted) expected.push_back(Describe(row));
    EXPECT_EQ(Stored(Key(point)), expected);
    EXPECT_EQ(Count(Key(point)), static_cast<int64_t>(values.size()));
    Settle();
    Open();
    EXPECT_EQ(Stored(Key(point)), expected);
  }
  std::string error;
  std::vector<PointSummary> summaries = storage_->Summarize(&error);
  ASSERT_EQ(summaries.size(), 3u);
  EXPECT_EQ(summaries[0].count, static_cast<int64_t>(values.size()));
  EXPECT_EQ(summaries[0].firstTime, -2);  // -1.5 s is in the second that began at -2
  EXPECT_EQ(summaries[0].firstValue, "0.1");
  EXPECT_EQ(summaries[0].lastValue, "1.5");
  EXPECT_EQ(storage_->Totals(&error).values, 3 * static_cast<int64_t>(values.size()));
}

// Values older than those already packed go in at their time; the point's
// values read back in time order, once each.
TEST_P(StorageSemanticsTest, LateValuesTakeTheirPlace) {
  std::vector<ValueRow> first;
  for (int i = 0; i < 200; ++i) first.push_back(Value("L", 100'000 + i * 1000, i));
  Commit(first);
  Settle();
  std::vector<ValueRow> late = {Value("L", 50'000, -1), Value("L", 150'500, 0.5),
                                Value("L", 120'000, 20), Value("L", 121'000, 99),
                                Value("L", 400'000, 300)};
  Commit(late);
  std::map<int64_t, ValueRow> expected;
  for (const auto& rows : {first, late}) {
    for (const ValueRow& row : rows) expected[row.Millis()] = row;
  }
  std::vector<std::string> described;
  for (const auto& [millis, row] : expected) described.push_back(Describe(row));
  EXPECT_EQ(Stored(Key("L")), described);
  EXPECT_EQ(Count(Key("L")), static_cast<int64_t>(expected.size()));
  Settle();
  Open();
  EXPECT_EQ(Stored(Key("L")), described);
  EXPECT_EQ(Stored(Key("L"), 120'000, 122'000).size(), 2u);
}

// A name is its bytes: a Latin-1 name and its UTF-8 look-alike are two
// points, each found by its own bytes only.
TEST_P(StorageSemanticsTest, NamesAreBytes) {
  Commit({Value("TEMP\xB0" "C", 1000, 1), Value("TEMP\xC2\xB0" "C", 1000, 2)});
  Settle();
  EXPECT_EQ(Count(Key("TEMP\xB0" "C")), 1);
  EXPECT_EQ(Count(Key("TEMP\xC2\xB0" "C")), 1);
  std::string error;
  EXPECT_FALSE(storage_->Point(Key("TEMP?C"), &error));
  PointPage page = storage_->Points(PointQuery{"temp", 50, 0}, &error);
  ASSERT_EQ(page.total, 2);
  EXPECT_EQ(page.rows[0].key.point, "TEMP\xB0" "C");
  EXPECT_EQ(page.rows[0].lastValue, "1");
}

TEST_P(StorageSemanticsTest, ConfigurationsAreReplacedAndDeletionsRemoveThem) {
  auto config = [](const std::string& description) {
    ConfigRow row;
    row.family = "universal";
    row.point = "TIC101";
    row.recordType = 5;
    row.pointId = "TIC101";
    row.longId = "plant.TIC101";
    row.description = description;
    row.raw = {1, 0, 2};
    return row;
  };
  Batch batch;
  batch.configs = {config("Reactor"), config("Reactor temperature")};
  ASSERT_TRUE(storage_->Commit(batch));
  std::string error;
  std::optional<PointDetail> detail = storage_->Point(Key("TIC101"), &error);
  ASSERT_TRUE(detail && detail->config);
  EXPECT_EQ(detail->config->description, "Reactor temperature");
  EXPECT_EQ(detail->config->raw, (std::vector<uint8_t>{1, 0, 2}));
  EXPECT_TRUE(detail->row.configured);
  EXPECT_EQ(storage_->Totals(&error).configs, 1);

  // A deletion names the point by any identifier its configuration has.
  batch = Batch{};
  batch.deletions = {DeletionRow{"universal", IdKind::kLong, "plant.TIC101"}};
  ASSERT_TRUE(storage_->Commit(batch));
  Open();
  detail = storage_->Point(Key("TIC101"), &error);
  ASSERT_TRUE(detail);
  EXPECT_FALSE(detail->config);
  EXPECT_EQ(storage_->Totals(&error).configs, 0);
  detail = storage_->Point(Key("plant.TIC101", "long"), &error);
  ASSERT_TRUE(detail);
  EXPECT_TRUE(detail->row.deleted);
  EXPECT_EQ(detail->deletedAt.size(), 1u);
}

// The brute force a chart is checked against: the numbers of [from, to).
struct Truth {
  int64_t count = 0;
  double min = 0, max = 0;
};

Truth Brute(const std::map<int64_t, double>& numbers, int64_t from, int64_t to) {
  Truth truth;
  for (auto at = numbers.lower_bound(from); at != numbers.end() && at->first < to; ++at) {
    if (!std::isfinite(at->second)) continue;
    truth.min = truth.count == 0 ? at->second : std::min(truth.min, at->second);
    truth.max = truth.count == 0 ? at->second : std::max(truth.max, at->second);
    ++truth.count;
  }
  return truth;
}

// A chart over any range holds every number of it, whether the numbers are
// summarized yet or not; where its columns line up with summary buckets,
// each column holds exactly its own.
TEST_P(StorageSemanticsTest, SeriesHoldTheRangesNumbers) {
  std::mt19937_64 random(7);
  std::map<int64_t, double> numbers;
  std::vector<ValueRow> rows;
  const int64_t start = 1'700'000'000'000 - 1'700'000'000'000 % BucketMillis(4);
  int64_t millis = start;
  for (int i = 0; i < 60'000; ++i) {
    // Dense runs, sparse stretches, texts and NaN among the numbers.
    millis += i % 5000 < 4000 ? 1 + random() % 400 : 1 + random() % 200'000;
    double value = std::round(std::sin(i / 300.0) * 1000) / 10;
    if (i % 997 == 0) {
      rows.push_back(Text("S", millis, "off"));
      continue;
    }
    if (i % 1999 == 0) value = std::numeric_limits<double>::quiet_NaN();
    rows.push_back(Value("S", millis, value));
    numbers[millis] = value;
  }
  for (size_t i = 0; i < rows.size(); i += 5000) {
    Commit({rows.begin() + static_cast<ptrdiff_t>(i),
            rows.begin() + static_cast<ptrdiff_t>(std::min(rows.size(), i + 5000))});
  }
  // A late correction among packed values.
  Commit({Value("S", rows[100].Millis(), 12345)});
  numbers[rows[100].Millis()] = 12345;
  const int64_t end = millis + 1;

  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    std::uniform_int_distribution<int64_t> anywhere(start - 1000, end + 1000);
    for (int round = 0; round < 40; ++round) {
      int64_t from = anywhere(random), to = anywhere(random);
      if (from > to) std::swap(from, to);
      int64_t columns = 1 + static_cast<int64_t>(random() % 1200);
      if (round % 4 == 0) {
        // Columns of whole buckets, from a bucket's start.
        int level = static_cast<int>(random() % 4);
        from = BucketStart(level, from);
        columns = 1 + static_cast<int64_t>(random() % 300);
        to = from + columns * BucketMillis(level) * (1 + static_cast<int64_t>(random() % 3));
      }
      if (from >= to) continue;
      std::string error;
      Series series = storage_->ReducedSeries({Key("S"), from, to, columns}, &error);
      ASSERT_EQ(error, "");
      Truth truth = Brute(numbers, from, to);
      EXPECT_EQ(series.values, truth.count) << from << " " << to << " " << columns;
      if (truth.count == 0) continue;
      double least = series.columns.front().min, greatest = series.columns.front().max;
      for (const SeriesColumn& column : series.columns) {
        least = std::min(least, column.min);
        greatest = std::max(greatest, column.max);
        if (round % 4 != 0) continue;
        int64_t width = (to - from) / columns;
        int64_t begins = from + column.column * width;
        Truth own = Brute(numbers, begins, begins + width);
        EXPECT_EQ(column.count, own.count);
        EXPECT_EQ(column.min, own.min);
        EXPECT_EQ(column.max, own.max);
        EXPECT_EQ(column.firstMillis, numbers.lower_bound(begins)->first);
      }
      EXPECT_EQ(least, truth.min);
      EXPECT_EQ(greatest, truth.max);
    }
  };
  check("before the summaries catch up");
  Settle();
  check("summarized");
  Open();
  check("opened again");
}

TEST_P(StorageSemanticsTest, RetentionRemovesOldValuesInTheBackground) {
  using namespace std::chrono;
  int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  std::vector<ValueRow> old, recent;
  for (int i = 0; i < 3000; ++i) old.push_back(Value("R", now - 10 * 86'400'000 + i * 1000, i));
  for (int i = 0; i < 100; ++i) recent.push_back(Value("R", now - 3'600'000 + i * 1000, i));
  Commit(old);
  Settle();
  StorageOptions options;
  options.retain = hours(48);
  Open(options);
  Commit(recent);
  Settle();
  EXPECT_EQ(Count(Key("R")), 100);
  EXPECT_EQ(Stored(Key("R"), kEarliest, now - 86'400'000).size(), 0u);
  std::string error;
  Series series = storage_->ReducedSeries({Key("R"), now - 11 * 86'400'000, now, 100}, &error);
  EXPECT_EQ(series.values, 100);
}

// Pages read while sources write; neither waits for the other.
TEST_P(StorageSemanticsTest, ReadsGoOnWhileValuesArrive) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::string error;
    while (!done) {
      storage_->ReducedSeries({Key("W"), 0, 10'000'000, 300}, &error);
      storage_->Points(PointQuery{}, &error);
      storage_->Values({Key("W"), 0, 10'000'000, 100}, &error);
      EXPECT_EQ(error, "");
    }
  });
  for (int round = 0; round < 200; ++round) {
    std::vector<ValueRow> rows;
    for (int i = 0; i < 50; ++i) rows.push_back(Value("W", round * 50'000 + i * 1000, i));
    rows.push_back(Value("V" + std::to_string(round % 7), round * 1000, round));
    Commit(rows);
    if (round % 50 == 0) storage_->Maintain(std::chrono::milliseconds(5));
  }
  done = true;
  reader.join();
  EXPECT_EQ(Count(Key("W")), 200 * 50);
}

INSTANTIATE_TEST_SUITE_P(Storages, StorageSemanticsTest,
                         ::testing::Values(StorageFactory{"sqlite", OpenSqlite},
                                           StorageFactory{"postgresql", OpenPostgresql,
                                                          PostgresqlUnavailable}),
                         [](const ::testing::TestParamInfo<StorageFactory>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace histfeed::service
