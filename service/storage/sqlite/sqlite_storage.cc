// SPDX-License-Identifier: Apache-2.0
#include "service/storage/storage.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>

#include "service/value_text.h"
#include "service/storage/sqlite/wal_checkpointer.h"

namespace histfeed::service {
namespace {

// The schema. A value is kept once per point and time stamp: the key
// (family, id_kind, point, time, msec) is unique, a repeat of the same value
// changes nothing and a repeat with another value replaces it. `value`
// holds numbers for people and queries; `value_bits` holds the same number
// as its IEEE 754 bits, the exact one (SQLite reads a NaN as NULL and may
// not keep -0.0). A configuration is keyed by family, identifier kind and
// identifier, so a later record replaces it and a deletion removes it (and
// is logged).
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS point_values (
  family      TEXT    NOT NULL,
  id_kind     TEXT    NOT NULL,
  point       TEXT    NOT NULL,
  time        INTEGER NOT NULL,
  msec        INTEGER NOT NULL,
  status      INTEGER NOT NULL,
  value       REAL,
  value_bits  INTEGER,
  text_value  TEXT,
  received_at REAL    NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS point_values_key
  ON point_values (family, id_kind, point, time, msec);
CREATE TABLE IF NOT EXISTS point_configs (
  family      TEXT    NOT NULL,
  id_kind     TEXT    NOT NULL,
  point       TEXT    NOT NULL,
  record_type INTEGER NOT NULL,
  point_id    TEXT,
  long_id     TEXT,
  ext_id      TEXT,
  description TEXT,
  units       TEXT,
  raw         BLOB    NOT NULL,
  received_at REAL    NOT NULL,
  PRIMARY KEY (family, id_kind, point)
);
CREATE TABLE IF NOT EXISTS deletions (
  family      TEXT    NOT NULL,
  id_kind     TEXT    NOT NULL,
  point       TEXT    NOT NULL,
  received_at REAL    NOT NULL
);
)sql";

// Upserts a value; an exact repeat leaves the row (and its received_at) alone.
constexpr const char* kUpsertValue =
    "INSERT INTO point_values (family, id_kind, point, time, msec, status, value, value_bits, "
    "text_value, received_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
    "ON CONFLICT (family, id_kind, point, time, msec) DO UPDATE SET "
    "status = excluded.status, value = excluded.value, value_bits = excluded.value_bits, "
    "text_value = excluded.text_value, received_at = excluded.received_at "
    "WHERE status IS NOT excluded.status OR value_bits IS NOT excluded.value_bits "
    "OR text_value IS NOT excluded.text_value";

// Databases written before values were unique and exact: their rows move
// into the new table, the last of each key winning, as a replay would.
constexpr const char* kMigrateValues = R"sql(
ALTER TABLE point_values RENAME TO point_values_before_keys;
DROP INDEX IF EXISTS point_values_by_point;
)sql";
constexpr const char* kMigrateCopy = R"sql(
INSERT INTO point_values (family, id_kind, point, time, msec, status, value, value_bits,
                          text_value, received_at)
  SELECT family, id_kind, point, time, msec, status, value, histfeed_double_bits(value),
         text_value, received_at
  FROM point_values_before_keys WHERE true ORDER BY rowid
  ON CONFLICT (family, id_kind, point, time, msec) DO UPDATE SET
    status = excluded.status, value = excluded.value, value_bits = excluded.value_bits,
    text_value = excluded.text_value, received_at = excluded.received_at;
DROP TABLE point_values_before_keys;
)sql";

void DoubleBitsFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
  if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
  } else {
    sqlite3_result_int64(context, DoubleBits(sqlite3_value_double(arguments[0])));
  }
}

bool HasColumn(sqlite3* db, const char* table, const char* column) {
  std::string sql = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
  sqlite3_stmt* statement = nullptr;
  bool has = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK;
  sqlite3_finalize(statement);
  return has;
}

bool HasTable(sqlite3* db, const char* table) {
  return HasColumn(db, table, "1");
}

double Now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

bool StepAndReset(sqlite3_stmt* statement) {
  int result = sqlite3_step(statement);
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  return result == SQLITE_DONE;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

// A value as Summarize selects it: 't' and a text, or 'b' and the bits of
// a number.
std::string TaggedValueText(const std::string& tagged) {
  if (tagged.empty()) return "";
  if (tagged[0] == 't') return tagged.substr(1);
  return ExactValueText(DoubleOfBits(std::strtoll(tagged.c_str() + 1, nullptr, 10)));
}

}  // namespace

const char* IdKindName(IdKind kind) {
  switch (kind) {
    case IdKind::kPoint: return "point";
    case IdKind::kLong: return "long";
    case IdKind::kExtended: return "extended";
  }
  return "point";
}

Storage::Storage() = default;

Storage::~Storage() {
  // Its connection goes first: the last one to close checkpoints.
  if (checkpointer_ != nullptr) sqlite3_wal_hook(db_, nullptr, nullptr);
  checkpointer_.reset();
  for (sqlite3_stmt* statement : {insertValue_, upsertConfig_, deleteConfig_, insertDeletion_}) {
    sqlite3_finalize(statement);
  }
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string Storage::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    return "cannot open database " + path + ": " + sqlite3_errmsg(db_);
  }
  sqlite3_busy_timeout(db_, 5000);
  // SQLite opens lazily: a folder it may not write shows up only here.
  std::string error;
  if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=NORMAL")) {
    error = sqlite3_errmsg(db_);
  } else if (error = MigrateValues(); error.empty() && !Exec(kSchema)) {
    error = std::string("cannot create schema: ") + sqlite3_errmsg(db_);
  } else if (error.empty()) {
    error = PrepareStatements();
  }
  if (error.empty()) MoveCheckpointsOffCommits(path);
  return error.empty() ? "" : "cannot use database " + path + ": " + error;
}

std::string Storage::OpenReadOnly(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    return "cannot open database " + path + ": " + sqlite3_errmsg(db_);
  }
  sqlite3_busy_timeout(db_, 5000);
  if (!HasTable(db_, "point_values") || !HasTable(db_, "point_configs")) {
    return "not a histfeed-service database: " + path;
  }
  if (!HasColumn(db_, "point_values", "value_bits")) {
    return "database " + path + " was written by an older histfeed-service; "
           "serve it once to bring it up to date";
  }
  return "";
}

void Storage::MoveCheckpointsOffCommits(const std::string& path) {
  auto checkpointer = std::make_unique<WalCheckpointer>();
  // Without it SQLite goes on checkpointing inside commits: slower, but safe.
  if (!checkpointer->Start(path).empty()) return;
  checkpointer->Watch(db_);
  checkpointer_ = std::move(checkpointer);
}

std::string Storage::MigrateValues() {
  if (!HasTable(db_, "point_values") || HasColumn(db_, "point_values", "value_bits")) return "";
  sqlite3_create_function(db_, "histfeed_double_bits", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                          nullptr, DoubleBitsFunction, nullptr, nullptr);
  bool ok = Exec("BEGIN IMMEDIATE") && Exec(kMigrateValues) && Exec(kSchema) &&
            Exec(kMigrateCopy) && Exec("COMMIT");
  if (ok) return "";
  std::string error = std::string("cannot bring the database up to date: ") + sqlite3_errmsg(db_);
  Exec("ROLLBACK");
  return error;
}

std::string Storage::PrepareStatements() {
  struct {
    const char* sql;
    sqlite3_stmt** statement;
  } statements[] = {
      {kUpsertValue, &insertValue_},
      {"INSERT OR REPLACE INTO point_configs (family, id_kind, point, record_type, point_id, "
       "long_id, ext_id, description, units, raw, received_at) "
       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
       &upsertConfig_},
      // A deletion names a point by one of its identifiers.
      {"DELETE FROM point_configs WHERE family = ?1 AND CASE ?2 "
       "WHEN 'point' THEN point_id WHEN 'long' THEN long_id ELSE ext_id END = ?3",
       &deleteConfig_},
      {"INSERT INTO deletions (family, id_kind, point, received_at) VALUES (?1, ?2, ?3, ?4)",
       &insertDeletion_},
  };
  for (auto& entry : statements) {
    if (sqlite3_prepare_v2(db_, entry.sql, -1, entry.statement, nullptr) != SQLITE_OK) {
      return std::string("cannot prepare statement: ") + sqlite3_errmsg(db_);
    }
  }
  return "";
}

bool Storage::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Storage::Insert(const ValueRow& row) {
  BindText(insertValue_, 1, row.family);
  sqlite3_bind_text(insertValue_, 2, IdKindName(row.idKind), -1, SQLITE_STATIC);
  BindText(insertValue_, 3, row.point);
  sqlite3_bind_int64(insertValue_, 4, row.time);
  sqlite3_bind_int(insertValue_, 5, row.msec);
  sqlite3_bind_int(insertValue_, 6, row.status);
  if (row.isText) {
    BindText(insertValue_, 9, row.text);
  } else {
    sqlite3_bind_double(insertValue_, 7, row.value);
    sqlite3_bind_int64(insertValue_, 8, DoubleBits(row.value));
  }
  sqlite3_bind_double(insertValue_, 10, Now());
  return StepAndReset(insertValue_);
}

bool Storage::Insert(const ConfigRow& row) {
  BindText(upsertConfig_, 1, row.family);
  sqlite3_bind_text(upsertConfig_, 2, IdKindName(row.idKind), -1, SQLITE_STATIC);
  BindText(upsertConfig_, 3, row.point);
  sqlite3_bind_int(upsertConfig_, 4, row.recordType);
  BindText(upsertConfig_, 5, row.pointId);
  BindText(upsertConfig_, 6, row.longId);
  BindText(upsertConfig_, 7, row.extId);
  BindText(upsertConfig_, 8, row.description);
  BindText(upsertConfig_, 9, row.units);
  sqlite3_bind_blob(upsertConfig_, 10, row.raw.data(), static_cast<int>(row.raw.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_double(upsertConfig_, 11, Now());
  return StepAndReset(upsertConfig_);
}

bool Storage::Apply(const DeletionRow& row) {
  BindText(deleteConfig_, 1, row.family);
  sqlite3_bind_text(deleteConfig_, 2, IdKindName(row.idKind), -1, SQLITE_STATIC);
  BindText(deleteConfig_, 3, row.point);
  if (!StepAndReset(deleteConfig_)) return false;
  BindText(insertDeletion_, 1, row.family);
  sqlite3_bind_text(insertDeletion_, 2, IdKindName(row.idKind), -1, SQLITE_STATIC);
  BindText(insertDeletion_, 3, row.point);
  sqlite3_bind_double(insertDeletion_, 4, Now());
  return StepAndReset(insertDeletion_);
}

bool Storage::Store(const Batch& batch) {
  bool ok = true;
  for (const ValueRow& row : batch.values) ok = ok && Insert(row);
  for (const ConfigRow& row : batch.configs) ok = ok && Insert(row);
  for (const DeletionRow& row : batch.deletions) ok = ok && Apply(row);
  return ok;
}

bool Storage::CommitLocked(const std::vector<const Batch*>& batches) {
  if (db_ == nullptr || !Exec("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (const Batch* batch : batches) ok = ok && Store(*batch);
  if (ok && Exec("COMMIT")) return true;
  Exec("ROLLBACK");
  return false;
}

bool Storage::Commit(const Batch& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CommitLocked({&batch});
}

std::vector<bool> Storage::CommitGroup(const std::vector<const Batch*>& batches) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (CommitLocked(batches)) return std::vector<bool>(batches.size(), true);
  std::vector<bool> stored;
  for (const Batch* batch : batches) stored.push_back(batches.size() > 1 && CommitLocked({batch}));
  return stored;
}

std::vector<PointSummary> Storage::Summarize() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PointSummary> summaries;
  const char* sql =
      "SELECT family, id_kind, point, COUNT(*), MIN(time), MAX(time), "
      "(SELECT COALESCE('t' || v.text_value, 'b' || v.value_bits) FROM point_values v "
      "  WHERE v.family = p.family AND v.id_kind = p.id_kind AND v.point = p.point "
      "  ORDER BY v.time, v.msec LIMIT 1), "
      "(SELECT COALESCE('t' || v.text_value, 'b' || v.value_bits) FROM point_values v "
      "  WHERE v.family = p.family AND v.id_kind = p.id_kind AND v.point = p.point "
      "  ORDER BY v.time DESC, v.msec DESC LIMIT 1) "
      "FROM point_values p GROUP BY family, id_kind, point ORDER BY family, id_kind, point";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) return summaries;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    PointSummary summary;
    summary.family = ColumnText(statement, 0);
    summary.idKind = ColumnText(statement, 1);
    summary.point = ColumnText(statement, 2);
    summary.count = sqlite3_column_int64(statement, 3);
    summary.firstTime = sqlite3_column_int64(statement, 4);
    summary.lastTime = sqlite3_column_int64(statement, 5);
    summary.firstValue = TaggedValueText(ColumnText(statement, 6));
    summary.lastValue = TaggedValueText(ColumnText(statement, 7));
    summaries.push_back(std::move(summary));
  }
  sqlite3_finalize(statement);
  return summaries;
}

namespace {
int64_t CountRows(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  int64_t count = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    count = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return count;
}
}  // namespace

int64_t Storage::CountValues() {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountRows(db_, "SELECT COUNT(*) FROM point_values");
}

int64_t Storage::CountConfigs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return CountRows(db_, "SELECT COUNT(*) FROM point_configs");
}

}  // namespace histfeed::service
