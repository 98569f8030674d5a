// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/migration.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "service/event_log.h"
#include "service/storage/sqlite/blocks.h"
#include "service/storage/sqlite/schema.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service::sqlite {
namespace {

// Values moved per transaction: big enough to move millions a minute,
// small enough that a stop costs little.
constexpr int64_t kValuesPerStep = 200'000;

bool Exists(Connection& db, const char* table) {
  std::string sql = std::string("SELECT 1 FROM ") + table + " LIMIT 0";
  Statement probe(db.get(), sql.c_str());
  return probe.ok();
}

bool HasColumn(Connection& db, const char* table, const char* column) {
  std::string sql = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
  Statement probe(db.get(), sql.c_str());
  return probe.ok();
}

bool Run(Connection& db, const std::string& sql, std::string* error) {
  if (db.Exec(sql.c_str())) return true;
  *error = db.Error();
  return false;
}

// A point's values as they come out of the old table, in time order.
struct PointValues {
  int64_t id = 0;
  std::vector<StoredValue> samples;
};

// Moves one point's values: those later than its blocks are packed anew,
// those among them (a point moved over several steps) merged in.
bool Move(Blocks& blocks, PointValues& values, int64_t* moved) {
  if (values.samples.empty()) return true;
  PointBlocks tally;
  if (!blocks.Tally(values.id, &tally)) return false;
  std::vector<StoredValue> later, among;
  for (StoredValue& sample : values.samples) {
    (tally.lastMillis != kNoTime && sample.millis <= tally.lastMillis ? among : later)
        .push_back(std::move(sample));
  }
  int64_t added = static_cast<int64_t>(later.size());
  std::vector<int64_t> changed;
  if (!blocks.Merge(values.id, among, &added, &changed) || !blocks.Append(values.id, later)) {
    return false;
  }
  tally.count += added;
  if (!later.empty()) tally.lastMillis = later.back().millis;
  *moved += added;
  values.samples.clear();
  return blocks.SetTally(values.id, tally);
}

// Moves the first kValuesPerStep rows (in key order, whole time stamps)
// and removes them. False with *done when nothing was left.
bool MoveStep(Connection& db, bool exactBits, int64_t* moved, bool* done, std::string* error) {
  std::string select =
      std::string("SELECT family, id_kind, point, time, msec, status, value, text_value, ") +
      (exactBits ? "value_bits" : "NULL") +
      " FROM legacy_values ORDER BY family, id_kind, point, time, msec";
  Statement rows(db.get(), select.c_str());
  Statement point(db.get(),
                  "SELECT id FROM points WHERE family = ?1 AND id_kind = ?2 AND name = ?3");
  Statement remove(db.get(),
                   "DELETE FROM legacy_values WHERE (family, id_kind, point, time, msec) <= "
                   "(?1, ?2, ?3, ?4, ?5)");
  if (!rows.ok() || !point.ok() || !remove.ok()) {
    *error = db.Error();
    return false;
  }
  Blocks blocks(db);
  PointValues values;
  std::string family, idKind, name;
  int64_t time = 0, msec = 0, read = 0;
  int step;
  while ((step = rows.Step()) == SQLITE_ROW) {
    bool samePoint = read > 0 && rows.Bytes(0) == family && rows.Bytes(1) == idKind &&
                     rows.Bytes(2) == name;
    bool sameStamp = samePoint && rows.Int(3) == time && rows.Int(4) == msec;
    if (read >= kValuesPerStep && !sameStamp) break;
    if (!samePoint) {
      if (!Move(blocks, values, moved)) {
        *error = db.Error();
        return false;
      }
      family = rows.String(0);
      idKind = rows.String(1);
      name = rows.String(2);
      point.Reset();
      point.BindText(1, family).BindText(2, idKind).Bind(3, name);
      if (point.Step() != SQLITE_ROW) {
        *error = "a point of the old table is missing from the new one";
        return false;
      }
      values.id = point.Int(0);
    }
    time = rows.Int(3);
    msec = rows.Int(4);
    ++read;
    StoredValue sample;
    sample.millis = time * 1000 + msec;
    sample.status = static_cast<int32_t>(rows.Int(5));
    sample.isText = !rows.IsNull(7);
    if (sample.isText) {
      sample.text = rows.String(7);
    } else if (!rows.IsNull(8)) {
      sample.value = std::bit_cast<double>(rows.Int(8));
    } else {
      // Files from before exact bits: SQLite kept a NaN as NULL.
      sample.value = rows.IsNull(6) ? std::numeric_limits<double>::quiet_NaN() : rows.Real(6);
    }
    // One value per time stamp: of two that fall on one millisecond, the
    // later one stays.
    if (!values.samples.empty() && values.samples.back().millis == sample.millis) {
      values.samples.back() = std::move(sample);
    } else {
      values.samples.push_back(std::move(sample));
    }
  }
  if (step != SQLITE_DONE && step != SQLITE_ROW) {
    *error = db.Error();
    return false;
  }
  rows.Reset();  // done reading before the rows go
  *done = read == 0;
  if (read == 0) return true;
  if (!Move(blocks, values, moved)) {
    *error = db.Error();
    return false;
  }
  remove.BindText(1, family).BindText(2, idKind).BindText(3, name).Bind(4, time).Bind(5, msec);
  if (!remove.Run()) {
    *error = db.Error();
    return false;
  }
  return true;
}

// Every point with values gets its summaries computed, later.
bool QueueSummaries(Connection& db, std::string* error) {
  Statement points(db.get(), "SELECT point_id, last_ms FROM point_blocks WHERE value_count > 0");
  Statement add(db.get(),
                "INSERT INTO summary_backlog (point_id, from_ms, to_ms, done_ms) "
                "VALUES (?1, ?2, ?3, ?2)");
  Blocks blocks(db);
  int step;
  while ((step = points.Step()) == SQLITE_ROW) {
    int64_t first = blocks.FirstMillis(points.Int(0));
    if (first == kNoTime) continue;
    int64_t from = BucketStart(0, first);
    int64_t to = BucketStart(0, points.Int(1)) + BucketMillis(0);
    if (!add.Bind(1, points.Int(0)).Bind(2, from).Bind(3, to).Run()) {
      *error = db.Error();
      return false;
    }
  }
  if (step != SQLITE_DONE) {
    *error = db.Error();
    return false;
  }
  return true;
}

}  // namespace

bool StartMigration(Connection& db, std::string* error) {
  if (!Run(db, "BEGIN IMMEDIATE", error)) return false;
  std::string sql = "ALTER TABLE point_values RENAME TO legacy_values;"
                    "DROP INDEX IF EXISTS point_values_by_point;";
  bool configs = Exists(db, "point_configs"), deletions = Exists(db, "deletions");
  if (configs) sql += "ALTER TABLE point_configs RENAME TO legacy_configs;";
  if (deletions) sql += "ALTER TABLE deletions RENAME TO legacy_deletions;";
  sql += kSchema;
  sql += "PRAGMA application_id = " + std::to_string(kApplicationId) + ";";
  sql += "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
  // Files from before one row per time stamp lack the key index the
  // values are moved in the order of.
  sql += "CREATE INDEX IF NOT EXISTS legacy_values_key "
         "ON legacy_values (family, id_kind, point, time, msec);";
  sql += "INSERT OR IGNORE INTO points (family, id_kind, name) "
         "SELECT DISTINCT family, id_kind, CAST(point AS BLOB) FROM legacy_values;";
  if (configs) {
    sql += "INSERT OR IGNORE INTO points (family, id_kind, name) "
           "SELECT family, id_kind, CAST(point AS BLOB) FROM legacy_configs;"
           "UPDATE points SET record_type = c.record_type, point_id = CAST(c.point_id AS BLOB), "
           "long_id = CAST(c.long_id AS BLOB), ext_id = CAST(c.ext_id AS BLOB), "
           "description = CAST(c.description AS BLOB), units = CAST(c.units AS BLOB), "
           "raw = c.raw, config_received_at = c.received_at FROM legacy_configs c "
           "WHERE points.family = c.family AND points.id_kind = c.id_kind "
           "AND points.name = CAST(c.point AS BLOB);"
           "DROP TABLE legacy_configs;";
  }
  if (deletions) {
    sql += "INSERT OR IGNORE INTO points (family, id_kind, name) "
           "SELECT family, id_kind, CAST(point AS BLOB) FROM legacy_deletions;"
           "INSERT INTO deletions (point_id, received_at) SELECT p.id, d.received_at "
           "FROM legacy_deletions d JOIN points p ON p.family = d.family "
           "AND p.id_kind = d.id_kind AND p.name = CAST(d.point AS BLOB) ORDER BY d.rowid;"
           "DROP TABLE legacy_deletions;";
  }
  if (Run(db, sql, error) && Run(db, "COMMIT", error)) return true;
  db.Exec("ROLLBACK");
  return false;
}

bool FinishMigration(Connection& db, const std::string& path, std::string* error) {
  if (!Exists(db, "legacy_values")) return true;
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now(), lastSaid = start;
  int64_t waiting = db.QueryInt("SELECT COUNT(*) FROM legacy_values", 0);
  int64_t before = waiting + db.QueryInt("SELECT SUM(value_count) FROM point_blocks", 0);
  LogEvent("bringing %s up to date from histfeed-service 0.2.0: %lld values to move",
           path.c_str(), static_cast<long long>(waiting));
  bool exactBits = HasColumn(db, "legacy_values", "value_bits");
  int64_t moved = 0;
  for (bool done = false; !done;) {
    if (!Run(db, "BEGIN IMMEDIATE", error)) return false;
    bool ok = MoveStep(db, exactBits, &moved, &done, error);
    if (ok && done) {
      ok = Run(db, "DROP TABLE legacy_values", error) && QueueSummaries(db, error);
    }
    if (!ok || !Run(db, "COMMIT", error)) {
      db.Exec("ROLLBACK");
      return false;
    }
    if (Clock::now() - lastSaid > std::chrono::seconds(5)) {
      LogEvent("bringing %s up to date: %lld of %lld values moved", path.c_str(),
               static_cast<long long>(moved), static_cast<long long>(waiting));
      lastSaid = Clock::now();
    }
  }
  int64_t after = db.QueryInt("SELECT SUM(value_count) FROM point_blocks", 0);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (after == before) {
    LogEvent("%s is up to date: %lld values before, %lld after (%.1f s)", path.c_str(),
             static_cast<long long>(before), static_cast<long long>(after), seconds);
  } else {
    LogEvent("%s is up to date: %lld values before, %lld after: %lld shared a time stamp "
             "(seconds and milliseconds giving the same instant) and were kept once (%.1f s)",
             path.c_str(), static_cast<long long>(before), static_cast<long long>(after),
             static_cast<long long>(before - after), seconds);
  }
  return true;
}

}  // namespace histfeed::service::sqlite
