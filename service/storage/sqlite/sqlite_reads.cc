// SPDX-License-Identifier: Apache-2.0
#include "service/storage/storage_reader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "platform/thread_cpu_time.h"
#include "service/value_text.h"

namespace histfeed::service {
namespace {

// Value rows folded into the catalog per query, so each stays short.
constexpr int64_t kCatalogChunkRows = 250'000;
// Value rows a chart reads per query (per read transaction).
constexpr int64_t kSeriesChunkRows = 20'000;

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  void Bind(int index, int64_t number) { sqlite3_bind_int64(statement_, index, number); }
  void Bind(const PointKey& key) {
    Bind(1, key.family);
    Bind(2, key.idKind);
    Bind(3, key.point);
  }
  void Reset() { sqlite3_reset(statement_); }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return sqlite3_step(statement_); }

  std::string Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  double Real(int column) const { return sqlite3_column_double(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::vector<uint8_t> Blob(int column) const {
    const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
    return data ? std::vector<uint8_t>(data, data + sqlite3_column_bytes(statement_, column))
                : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

int64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  auto lower = [](unsigned char c) { return std::tolower(c); };
  auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                           [&](char a, char b) { return lower(a) == lower(b); });
  return found != text.end();
}

// Whole seconds that hold the millisecond `millis`, rounding down.
int64_t SecondOf(int64_t millis) { return millis >= 0 ? millis / 1000 : -((-millis + 999) / 1000); }

}  // namespace

StorageReader::~StorageReader() {
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string StorageReader::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  path_ = path;
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    std::string error = "cannot open database " + path + " for reading: " + sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    return error;
  }
  sqlite3_busy_timeout(db_, 1000);
  sqlite3_progress_handler(db_, 20000, &StorageReader::StopWhenOverBudget, this);
  return "";
}

void StorageReader::StartQuery() {
  budgetEnd_ = platform::CurrentThreadCpuTime() + kQueryBudget;
  deadline_ = std::chrono::steady_clock::now() + kQueryTimeLimit;
}

int StorageReader::StopWhenOverBudget(void* self) {
  // Runs on the thread that started the query.
  auto* reader = static_cast<StorageReader*>(self);
  return platform::CurrentThreadCpuTime() > reader->budgetEnd_ ||
                 std::chrono::steady_clock::now() > reader->deadline_
             ? 1
             : 0;
}

std::string StorageReader::LastError() const {
  if (db_ == nullptr) return "database not open";
  if (sqlite3_errcode(db_) == SQLITE_INTERRUPT) return "query took too long; ask for less";
  return std::string("database: ") + sqlite3_errmsg(db_);
}

bool StorageReader::RefreshCatalog(std::string* error) {
  if (db_ == nullptr) {
    *error = LastError();
    return false;
  }
  if (!ReadNewValues(error) ||
      !ReadKeysIfChanged("point_configs", &configsSeen_, &configured_, error) ||
      !ReadKeysIfChanged("deletions", &deletionsSeen_, &deleted_, error)) {
    return false;
  }
  return true;
}

bool StorageReader::ReadNewValues(std::string* error) {
  StartQuery();
  Statement newest(db_, "SELECT COALESCE(MAX(rowid), 0) FROM point_values");
  if (!newest.ok() || newest.Step() != SQLITE_ROW) {
    *error = LastError();
    return false;
  }
  int64_t last = newest.Int(0);
  // A value row, once added, stays (a repeat replaces it in place), so the
  // rows past the last one read are the new values. NOT INDEXED: by rowid
  // alone, or SQLite may walk the whole key index for the grouping.
  Statement rows(db_,
                 "SELECT family, id_kind, point, COUNT(*) FROM point_values NOT INDEXED "
                 "WHERE rowid > ?1 AND rowid <= ?2 GROUP BY family, id_kind, point");
  if (!rows.ok()) {
    *error = LastError();
    return false;
  }
  while (valuesRowid_ < last) {
    int64_t upTo = std::min(last, valuesRowid_ + kCatalogChunkRows);
    StartQuery();
    rows.Reset();
    rows.Bind(1, valuesRowid_);
    rows.Bind(2, upTo);
    int step;
    while ((step = rows.Step()) == SQLITE_ROW) {
      catalog_[{rows.Text(0), rows.Text(1), rows.Text(2)}].count += rows.Int(3);
    }
    if (step != SQLITE_DONE) {
      *error = LastError();
      return false;
    }
    valuesRowid_ = upTo;
  }
  return true;
}

bool StorageReader::ReadKeysIfChanged(const char* table, std::pair<int64_t, int64_t>* seen,
                                      std::set<PointKey>* keys, std::string* error) {
  StartQuery();
  std::string sql = std::string("SELECT COUNT(*), COALESCE(MAX(rowid), 0) FROM ") + table;
  Statement shape(db_, sql.c_str());
  if (!shape.ok() || shape.Step() != SQLITE_ROW) {
    *error = LastError();
    return false;
  }
  std::pair<int64_t, int64_t> now{shape.Int(0), shape.Int(1)};
  if (now == *seen) return true;
  sql = std::string("SELECT DISTINCT family, id_kind, point FROM ") + table;
  Statement rows(db_, sql.c_str());
  std::set<PointKey> loaded;
  int step = rows.ok() ? SQLITE_ROW : SQLITE_ERROR;
  while (rows.ok() && (step = rows.Step()) == SQLITE_ROW) {
    PointKey key{rows.Text(0), rows.Text(1), rows.Text(2)};
    catalog_.try_emplace(key);
    loaded.insert(std::move(key));
  }
  if (step != SQLITE_DONE) {
    *error = LastError();
    return false;
  }
  keys->swap(loaded);
  *seen = now;
  return true;
}

bool StorageReader::RowOf(const PointKey& key, const CatalogEntry& entry, PointRow* row,
                          std::string* error) {
  row->key = key;
  row->count = entry.count;
  row->configured = configured_.contains(key);
  row->deleted = deleted_.contains(key);
  if (entry.count == 0) return true;
  StartQuery();
  Statement last(db_,
                 "SELECT time, msec, status, value_bits, text_value FROM point_values "
                 "WHERE family = ?1 AND id_kind = ?2 AND point = ?3 "
                 "ORDER BY time DESC, msec DESC LIMIT 1");
  last.Bind(key);
  int step = last.ok() ? last.Step() : SQLITE_ERROR;
  if (step == SQLITE_ROW) {
    row->last = ValueTime{last.Int(0), static_cast<int32_t>(last.Int(1))};
    row->lastStatus = static_cast<int32_t>(last.Int(2));
    row->lastIsText = last.IsNull(3);
    row->lastValue = row->lastIsText ? last.Text(4) : ExactValueText(DoubleOfBits(last.Int(3)));
  } else if (step != SQLITE_DONE) {
    *error = LastError();
    return false;
  }
  return true;
}

PointPage StorageReader::Points(const PointQuery& query, std::string* error) {
  std::lock_guard lock(mutex_);
  PointPage page;
  if (!RefreshCatalog(error)) return page;
  for (const auto& [key, entry] : catalog_) {
    if (!query.search.empty() && !ContainsIgnoringCase(key.point, query.search)) continue;
    if (page.total >= query.offset && page.total < query.offset + query.limit) {
      if (!RowOf(key, entry, &page.rows.emplace_back(), error)) return {};
    }
    ++page.total;
  }
  return page;
}

std::optional<PointDetail> StorageReader::Point(const PointKey& key, std::string* error) {
  std::lock_guard lock(mutex_);
  if (!RefreshCatalog(error)) return std::nullopt;
  auto found = catalog_.find(key);
  if (found == catalog_.end()) return std::nullopt;
  PointDetail detail;
  if (!RowOf(key, found->second, &detail.row, error)) return std::nullopt;

  StartQuery();
  Statement first(db_,
                  "SELECT time, msec FROM point_values WHERE family = ?1 AND id_kind = ?2 AND "
                  "point = ?3 ORDER BY time, msec LIMIT 1");
  first.Bind(key);
  int step = first.ok() ? first.Step() : SQLITE_ERROR;
  if (step == SQLITE_ROW) detail.first = ValueTime{first.Int(0), static_cast<int32_t>(first.Int(1))};

  // The configuration keyed by this identifier.
  Statement config(db_,
                   "SELECT record_type, point_id, long_id, ext_id, description, units, raw, "
                   "received_at FROM point_configs WHERE family = ?1 AND id_kind = ?2 AND "
                   "point = ?3");
  config.Bind(key);
  int configStep = config.ok() ? config.Step() : SQLITE_ERROR;
  if (configStep == SQLITE_ROW) {
    detail.config = PointConfig{static_cast<int32_t>(config.Int(0)), config.Text(1),
                                config.Text(2), config.Text(3), config.Text(4), config.Text(5),
                                config.Blob(6), config.Real(7)};
  }

  Statement deletions(db_,
                      "SELECT received_at FROM deletions WHERE family = ?1 AND id_kind = ?2 AND "
                      "point = ?3 ORDER BY received_at LIMIT 100");
  deletions.Bind(key);
  int deletionStep = deletions.ok() ? SQLITE_ROW : SQLITE_ERROR;
  while (deletions.ok() && (deletionStep = deletions.Step()) == SQLITE_ROW) {
    detail.deletedAt.push_back(deletions.Real(0));
  }
  if ((step != SQLITE_ROW && step != SQLITE_DONE) ||
      (configStep != SQLITE_ROW && configStep != SQLITE_DONE) || deletionStep != SQLITE_DONE) {
    *error = LastError();
    return std::nullopt;
  }
  return detail;
}

Series StorageReader::ReducedSeries(const SeriesQuery& query, std::string* error) {
  std::lock_guard lock(mutex_);
  Series series;
  if (db_ == nullptr || query.toMillis <= query.fromMillis || query.columns <= 0) {
    *error = db_ == nullptr ? LastError() : "empty range";
    return series;
  }
  StartQuery();
  // The key index (family, id_kind, point, time, msec) finds the range by
  // whole seconds and yields it in time order; the columns are filled here
  // as the rows stream past, which spares SQLite a sort of the whole range.
  // The rows come in chunks, each read in a transaction of its own, so no
  // read holds the write-ahead log's checkpoints back for long however
  // long the range. Only numbers a chart can draw: texts and NaN (both
  // NULL in `value`) and infinities stay out.
  Statement rows(db_,
                 "SELECT time, msec, value FROM point_values"
                 " WHERE family = ?1 AND id_kind = ?2 AND point = ?3"
                 "   AND (time, msec) > (?4, ?5) AND time <= ?6"
                 "   AND abs(value) <= 1.7976931348623157e308"
                 " ORDER BY time, msec LIMIT ?7");
  if (!rows.ok()) {
    *error = LastError();
    return series;
  }
  const int64_t span = query.toMillis - query.fromMillis;
  std::vector<SeriesColumn> columns(static_cast<size_t>(query.columns));
  // Past the last row read: (second, millisecond); msec is a 32-bit number.
  int64_t afterTime = SecondOf(query.fromMillis), afterMsec = int64_t{INT32_MIN} - 1;
  int step = SQLITE_DONE;
  for (int64_t chunkRows = kSeriesChunkRows; chunkRows == kSeriesChunkRows && !series.truncated;) {
    rows.Reset();
    rows.Bind(query.key);
    rows.Bind(4, afterTime);
    rows.Bind(5, afterMsec);
    rows.Bind(6, SecondOf(query.toMillis));
    rows.Bind(7, kSeriesChunkRows);
    for (chunkRows = 0; (step = rows.Step()) == SQLITE_ROW; ++chunkRows) {
      afterTime = rows.Int(0);
      afterMsec = rows.Int(1);
      int64_t millis = afterTime * 1000 + afterMsec;
      if (millis < query.fromMillis || millis >= query.toMillis) continue;
      if (series.values == kMaxSeriesValues) {
        series.truncated = true;
        break;
      }
      double value = rows.Real(2);
      // Spans and column counts are bounded so that this product fits.
      SeriesColumn& column = columns[static_cast<size_t>((millis - query.fromMillis) *
                                                         query.columns / span)];
      if (column.count == 0) {
        column.min = column.max = value;
        column.firstMillis = millis;
      }
      column.min = std::min(column.min, value);
      column.max = std::max(column.max, value);
      column.lastMillis = millis;
      ++column.count;
      ++series.values;
    }
    if (step != SQLITE_DONE && step != SQLITE_ROW) {
      *error = LastError();
      return Series{};
    }
  }
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].count == 0) continue;
    columns[i].column = static_cast<int64_t>(i);
    series.columns.push_back(columns[i]);
  }
  return series;
}

DatabaseTotals StorageReader::Totals(std::string* error) {
  std::lock_guard lock(mutex_);
  DatabaseTotals totals;
  if (!RefreshCatalog(error)) return totals;
  for (const auto& [key, entry] : catalog_) totals.values += entry.count;
  totals.points = static_cast<int64_t>(catalog_.size());
  totals.configs = configsSeen_.first;
  totals.bytes = FileSize(path_) + FileSize(path_ + "-wal") + FileSize(path_ + "-shm");
  return totals;
}

}  // namespace histfeed::service
