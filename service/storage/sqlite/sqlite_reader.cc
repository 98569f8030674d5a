// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/sqlite_reader.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "platform/file_system.h"
#include "platform/thread_cpu_time.h"
#include "service/storage/series_columns.h"
#include "service/storage/sqlite/summaries.h"
#include "service/value_text.h"

namespace histfeed::service::sqlite {
namespace {

constexpr const char* kNewPoints =
    "SELECT id, family, id_kind, name FROM points WHERE id > ?1 ORDER BY id";
constexpr const char* kNewRecords = "SELECT id, data FROM journal WHERE id > ?1 ORDER BY id";
constexpr const char* kOldestRecord = "SELECT MIN(id) FROM journal";
constexpr const char* kConfigured =
    "SELECT record_type IS NOT NULL FROM points WHERE id = ?1";
constexpr const char* kDeleted = "SELECT 1 FROM deletions WHERE point_id = ?1 LIMIT 1";
constexpr const char* kConfig =
    "SELECT record_type, point_id, long_id, ext_id, description, units, raw, "
    "config_received_at FROM points WHERE id = ?1 AND record_type IS NOT NULL";
constexpr const char* kDeletions =
    "SELECT received_at FROM deletions WHERE point_id = ?1 ORDER BY received_at LIMIT 100";
constexpr const char* kTallies =
    "SELECT point_id, value_count, journal_upto FROM point_blocks ORDER BY point_id";
constexpr const char* kConfigs = "SELECT COUNT(*) FROM points WHERE record_type IS NOT NULL";

constexpr int64_t kEarliest = std::numeric_limits<int64_t>::min();
constexpr int64_t kLatest = std::numeric_limits<int64_t>::max();

int64_t FileSize(const std::string& path) {
  std::unique_ptr<platform::InputFile> file = platform::Files().OpenFile(path);
  return file == nullptr ? 0 : static_cast<int64_t>(file->Size());
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  auto lower = [](unsigned char c) { return std::tolower(c); };
  auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                           [&](char a, char b) { return lower(a) == lower(b); });
  return found != text.end();
}

std::string ValueText(const StoredValue& value) {
  return value.isText ? value.text : ExactValueText(value.value);
}

}  // namespace

// One read transaction: everything a query reads comes from one moment of
// the database.
class SqliteReader::Snapshot {
 public:
  explicit Snapshot(Connection& db) : db_(db) { db_.Exec("BEGIN"); }
  ~Snapshot() { db_.Exec("COMMIT"); }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

 private:
  Connection& db_;
};

struct SqliteReader::PointState {
  PointBlocks packed;
  // Its values in the journal; those from records up to
  // packed.journalUpTo are in blocks by now and do not count.
  const JournalTail::PointValues* waiting = nullptr;

  template <typename Visit>
  void ForEachWaiting(Visit visit) const {
    if (waiting == nullptr) return;
    for (const JournalTail::Entry& entry : waiting->entries) {
      if (entry.record > packed.journalUpTo) visit(entry);
    }
  }
};

std::string SqliteReader::Open(const std::string& path) {
  platform::MutexLock lock(mutex_);
  path_ = path;
  std::string error = db_.Open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
  if (!error.empty()) return error;
  sqlite3_busy_timeout(db_.get(), 1000);
  sqlite3_progress_handler(db_.get(), 20000, &SqliteReader::StopWhenOverBudget, this);
  return "";
}

void SqliteReader::StartQuery() {
  budgetEnd_ = platform::CurrentThreadCpuTime() + kQueryBudget;
  deadline_ = std::chrono::steady_clock::now() + kQueryTimeLimit;
}

int SqliteReader::StopWhenOverBudget(void* self) NO_THREAD_SAFETY_ANALYSIS {
  // Runs inside a query, on the thread that holds the reader's lock.
  auto* reader = static_cast<SqliteReader*>(self);
  return platform::CurrentThreadCpuTime() > reader->budgetEnd_ ||
                 std::chrono::steady_clock::now() > reader->deadline_
             ? 1
             : 0;
}

std::string SqliteReader::LastError() const {
  if (db_.get() == nullptr) return "database not open";
  if (sqlite3_errcode(db_.get()) == SQLITE_INTERRUPT) return "query took too long; ask for less";
  return "database: " + db_.Error();
}

bool SqliteReader::Refresh(std::string* error) {
  if (db_.get() == nullptr) {
    *error = LastError();
    return false;
  }
  StartQuery();
  {
    ScopedStatement points = db_.Cached(kNewPoints);
    points->Bind(1, pointSeen_);
    int step;
    while ((step = points->Step()) == SQLITE_ROW) {
      PointKey key{points->String(1), points->String(2), points->String(3)};
      pointSeen_ = points->Int(0);
      catalog_[key] = pointSeen_;
      keys_[pointSeen_] = std::move(key);
    }
    if (step != SQLITE_DONE) {
      *error = LastError();
      return false;
    }
  }
  // Values older than the oldest record left are all packed.
  int64_t oldest = db_.QueryInt(kOldestRecord, recordSeen_ + 1);
  tail_.DropBefore(oldest);
  ScopedStatement records = db_.Cached(kNewRecords);
  records->Bind(1, recordSeen_);
  int step;
  while ((step = records->Step()) == SQLITE_ROW) {
    recordSeen_ = records->Int(0);
    // Whether a value is packed by now is asked when it is read.
    tail_.ApplyRecord(recordSeen_, records->Bytes(1), [](int64_t) { return kEarliest; });
  }
  if (step != SQLITE_DONE) {
    *error = LastError();
    return false;
  }
  return true;
}

int64_t SqliteReader::IdOf(const PointKey& key) const {
  auto found = catalog_.find(key);
  return found == catalog_.end() ? 0 : found->second;
}

bool SqliteReader::StateOf(int64_t id, PointState* state, std::string* error) {
  state->waiting = tail_.Find(id);
  if (blocks_.Tally(id, &state->packed)) return true;
  *error = LastError();
  return false;
}

bool SqliteReader::EdgeValue(int64_t id, const PointState& state, bool last,
                             std::optional<StoredValue>* value, std::string* error) {
  std::optional<StoredValue> waiting;
  state.ForEachWaiting([&](const JournalTail::Entry& entry) {
    if (!waiting || last) waiting = state.waiting->SampleOf(entry).Owned();
  });
  if (last && waiting) {
    *value = std::move(waiting);
    return true;
  }
  if (last) {
    std::optional<StoredValue> packed;
    if (!blocks_.LastValue(id, &packed, error)) return false;
    if (packed) *value = std::move(*packed);
    return true;
  }
  bool found = false;
  if (!blocks_.Read(id, kEarliest, kLatest,
                    [&](const Sample& sample) {
                      *value = sample.Owned();
                      found = true;
                      return false;
                    },
                    error)) {
    return false;
  }
  if (!found) *value = std::move(waiting);
  return true;
}

bool SqliteReader::RowOf(int64_t id, PointRow* row, std::string* error) {
  row->key = keys_[id];
  PointState state;
  if (!StateOf(id, &state, error)) return false;
  row->count = state.packed.count;
  state.ForEachWaiting([&](const JournalTail::Entry&) { ++row->count; });
  std::optional<StoredValue> last;
  if (!EdgeValue(id, state, /*last=*/true, &last, error)) return false;
  if (last) {
    row->last = ValueTime::OfMillis(last->millis);
    row->lastStatus = last->status;
    row->lastIsText = last->isText;
    row->lastValue = ValueText(*last);
  }
  {
    ScopedStatement configured = db_.Cached(kConfigured);
    configured->Bind(1, id);
    row->configured = configured->Step() == SQLITE_ROW && configured->Int(0) != 0;
  }
  ScopedStatement deleted = db_.Cached(kDeleted);
  deleted->Bind(1, id);
  row->deleted = deleted->Step() == SQLITE_ROW;
  return true;
}

bool SqliteReader::ReadValues(int64_t id, const PointState& state, int64_t from, int64_t to,
                              const std::function<bool(const StoredValue&)>& visit,
                              std::string* error) {
  bool more = true;
  if (!blocks_.Read(id, from, to,
                    [&](const Sample& sample) { return more = visit(sample.Owned()); }, error)) {
    return false;
  }
  // What waits in the journal comes after every packed value.
  state.ForEachWaiting([&](const JournalTail::Entry& entry) {
    if (more && entry.millis >= from && entry.millis < to) {
      more = visit(state.waiting->SampleOf(entry).Owned());
    }
  });
  return true;
}

PointPage SqliteReader::Points(const PointQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  PointPage page;
  if (!Refresh(error)) return page;
  for (const auto& [key, id] : catalog_) {
    if (!query.search.empty() && !ContainsIgnoringCase(key.point, query.search)) continue;
    if (page.total >= query.offset && page.total < query.offset + query.limit) {
      if (!RowOf(id, &page.rows.emplace_back(), error)) return {};
    }
    ++page.total;
  }
  return page;
}

std::optional<PointDetail> SqliteReader::Point(const PointKey& key, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  if (!Refresh(error)) return std::nullopt;
  int64_t id = IdOf(key);
  if (id == 0) return std::nullopt;
  PointDetail detail;
  PointState state;
  std::optional<StoredValue> first;
  if (!RowOf(id, &detail.row, error) || !StateOf(id, &state, error) ||
      !EdgeValue(id, state, /*last=*/false, &first, error)) {
    return std::nullopt;
  }
  if (first) detail.first = ValueTime::OfMillis(first->millis);
  {
    ScopedStatement config = db_.Cached(kConfig);
    config->Bind(1, id);
    int step = config->Step();
    if (step == SQLITE_ROW) {
      std::string_view raw = config->Bytes(6);
      detail.config = PointConfig{static_cast<int32_t>(config->Int(0)), config->String(1),
                                  config->String(2), config->String(3), config->String(4),
                                  config->String(5), std::vector<uint8_t>(raw.begin(), raw.end()),
                                  config->Real(7)};
    } else if (step != SQLITE_DONE) {
      *error = LastError();
      return std::nullopt;
    }
  }
  ScopedStatement deletions = db_.Cached(kDeletions);
  deletions->Bind(1, id);
  int step;
  while ((step = deletions->Step()) == SQLITE_ROW) detail.deletedAt.push_back(deletions->Real(0));
  if (step != SQLITE_DONE) {
    *error = LastError();
    return std::nullopt;
  }
  return detail;
}

Series SqliteReader::ReducedSeries(const SeriesQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  if (query.toMillis <= query.fromMillis || query.columns <= 0) {
    *error = "empty range";
    return Series{};
  }
  Snapshot snapshot(db_);
  if (!Refresh(error)) return Series{};
  SeriesColumns columns(query);
  int64_t id = IdOf(query.key);
  if (id == 0) return columns.Finish();
  PointState state;
  bool ok = StateOf(id, &state, error);
  std::vector<BacklogRange> backlog = LoadBacklog(db_, id, &ok);
  if (!ok) {
    *error = LastError();
    return Series{};
  }
  // Summary rows where they can stand for a column's values, single
  // values elsewhere; a column fits one to four rows.
  SummaryWalk walk(db_, blocks_, id, state.packed.lastMillis, std::move(backlog));
  int level = LevelForColumn((query.toMillis - query.fromMillis) / query.columns);
  if (!walk.Walk(
          level, query.fromMillis, query.toMillis,
          [&](const BucketStats& row) { columns.AddBucket(row); },
          [&](int64_t millis, double value) { return columns.AddValue(millis, value); }, error)) {
    if (sqlite3_errcode(db_.get()) == SQLITE_INTERRUPT) *error = LastError();
    return Series{};
  }
  state.ForEachWaiting([&](const JournalTail::Entry& entry) {
    Sample sample = state.waiting->SampleOf(entry);
    if (sample.Drawable()) columns.AddValue(sample.millis, sample.value);
  });
  return columns.Finish();
}

std::vector<StoredValue> SqliteReader::Values(const ValueQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  std::vector<StoredValue> values;
  Snapshot snapshot(db_);
  if (!Refresh(error)) return values;
  int64_t id = IdOf(query.key);
  PointState state;
  if (id == 0 || query.limit <= 0 || !StateOf(id, &state, error)) return values;
  if (!ReadValues(id, state, query.fromMillis, query.toMillis,
                  [&](const StoredValue& value) {
                    values.push_back(value);
                    return static_cast<int64_t>(values.size()) < query.limit;
                  },
                  error)) {
    return {};
  }
  return values;
}

DatabaseTotals SqliteReader::Totals(std::string* error) {
  platform::MutexLock lock(mutex_);
  DatabaseTotals totals;
  Snapshot snapshot(db_);
  if (!Refresh(error)) return totals;
  // Packed values, and those in the journal past each point's packing.
  int64_t packedWaiting = 0;
  ScopedStatement tallies = db_.Cached(kTallies);
  int step;
  while ((step = tallies->Step()) == SQLITE_ROW) {
    totals.values += tallies->Int(1);
    if (const JournalTail::PointValues* waiting = tail_.Find(tallies->Int(0))) {
      int64_t journalUpTo = tallies->Int(2);
      for (const JournalTail::Entry& entry : waiting->entries) {
        if (entry.record <= journalUpTo) ++packedWaiting;
      }
    }
  }
  if (step != SQLITE_DONE) {
    *error = LastError();
    return DatabaseTotals{};
  }
  totals.values += tail_.size() - packedWaiting;
  totals.points = static_cast<int64_t>(catalog_.size());
  totals.configs = db_.QueryInt(kConfigs, 0);
  totals.bytes = FileSize(path_) + FileSize(path_ + "-wal") + FileSize(path_ + "-shm");
  return totals;
}

std::vector<PointSummary> SqliteReader::Summarize(std::string* error) {
  platform::MutexLock lock(mutex_);
  std::vector<PointSummary> summaries;
  Snapshot snapshot(db_);
  if (!Refresh(error)) return summaries;
  for (const auto& [key, id] : catalog_) {
    PointState state;
    std::optional<StoredValue> first, last;
    if (!StateOf(id, &state, error) || !EdgeValue(id, state, false, &first, error) ||
        !EdgeValue(id, state, true, &last, error)) {
      return {};
    }
    if (!first || !last) continue;
    PointSummary summary;
    summary.family = key.family;
    summary.idKind = key.idKind;
    summary.point = key.point;
    summary.count = state.packed.count;
    state.ForEachWaiting([&](const JournalTail::Entry&) { ++summary.count; });
    summary.firstTime = ValueTime::OfMillis(first->millis).time;
    summary.lastTime = ValueTime::OfMillis(last->millis).time;
    summary.firstValue = ValueText(*first);
    summary.lastValue = ValueText(*last);
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

bool SqliteReader::ForEachValue(
    const std::function<bool(const PointKey&, const StoredValue&)>& visit, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  if (!Refresh(error)) return false;
  bool more = true;
  for (auto point = catalog_.begin(); more && point != catalog_.end(); ++point) {
    PointState state;
    const PointKey& key = point->first;
    if (!StateOf(point->second, &state, error) ||
        !ReadValues(point->second, state, kEarliest, kLatest,
                    [&](const StoredValue& value) { return more = visit(key, value); }, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace histfeed::service::sqlite
