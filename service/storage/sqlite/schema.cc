// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/schema.h"

#include <cstdio>
#include <set>
#include <vector>

#include "service/storage/sqlite/statement.h"

namespace histfeed::service::sqlite {

// points: one row per family, identifier kind and name (bytes), with the
// configuration stored for it (record_type NULL while there is none).
// journal: each commit's values in arrival order (value_block.h); a record
// goes once every value in it is packed into a block. Its numbers are never
// used twice: point_blocks refers to them.
// blocks: one point's values in time order; blocks of a point never
// overlap in time. point_blocks says, per point, how many values its
// blocks hold, the time of the last one and the last journal record
// packed, so journal values of that point up to it are in blocks.
// summaries: per level, bucket and point, the bucket's numbers summed up
// (level, then time first: the rows a commit writes lie side by side).
// summary_backlog lists ranges of a point whose summaries are being
// recomputed, done up to done_ms; their rows do not count meanwhile.
const char* const kSchema = R"sql(
CREATE TABLE points (
  id                 INTEGER PRIMARY KEY,
  family             TEXT    NOT NULL,
  id_kind            TEXT    NOT NULL,
  name               BLOB    NOT NULL,
  record_type        INTEGER,
  point_id           BLOB,
  long_id            BLOB,
  ext_id             BLOB,
  description        BLOB,
  units              BLOB,
  raw                BLOB,
  config_received_at REAL,
  UNIQUE (family, id_kind, name)
);
CREATE TABLE journal (
  id   INTEGER PRIMARY KEY AUTOINCREMENT,
  data BLOB NOT NULL
);
CREATE TABLE blocks (
  id       INTEGER PRIMARY KEY,
  point_id INTEGER NOT NULL,
  first_ms INTEGER NOT NULL,
  last_ms  INTEGER NOT NULL,
  count    INTEGER NOT NULL,
  data     BLOB    NOT NULL
);
CREATE INDEX blocks_by_point ON blocks (point_id, last_ms);
CREATE TABLE point_blocks (
  point_id     INTEGER PRIMARY KEY,
  value_count  INTEGER NOT NULL,
  last_ms      INTEGER NOT NULL,
  journal_upto INTEGER NOT NULL
);
CREATE TABLE summaries (
  level    INTEGER NOT NULL,
  bucket   INTEGER NOT NULL,
  point_id INTEGER NOT NULL,
  count    INTEGER NOT NULL,
  min      REAL    NOT NULL,
  max      REAL    NOT NULL,
  first_ms INTEGER NOT NULL,
  first    REAL    NOT NULL,
  last_ms  INTEGER NOT NULL,
  last     REAL    NOT NULL,
  PRIMARY KEY (level, bucket, point_id)
) WITHOUT ROWID;
CREATE TABLE summary_backlog (
  id       INTEGER PRIMARY KEY,
  point_id INTEGER NOT NULL,
  from_ms  INTEGER NOT NULL,
  to_ms    INTEGER NOT NULL,
  done_ms  INTEGER NOT NULL
);
CREATE TABLE deletions (
  point_id    INTEGER NOT NULL,
  received_at REAL    NOT NULL
);
CREATE INDEX deletions_by_point ON deletions (point_id);
)sql";

namespace {

// What 0.2.0 wrote: these tables and indexes, nothing else.
const std::set<std::string> kRelease020Objects = {"point_values", "point_values_key",
                                                  "point_values_by_point", "point_configs",
                                                  "deletions"};
const char* const kRelease020ValueColumns[] = {"family", "id_kind", "point",     "time",
                                               "msec",   "status",  "value",     "text_value",
                                               "received_at"};

bool HasColumn(sqlite3* db, const char* table, const char* column) {
  std::string sql = std::string("SELECT ") + column + " FROM " + table + " LIMIT 0";
  Statement probe(db, sql.c_str());
  return probe.ok();
}

}  // namespace

bool InspectDatabase(sqlite3* db, Inspection* inspection, std::string* error) {
  // The first read: a locked file or one that is no database says so here.
  Statement objects(db,
                    "SELECT name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
  std::vector<std::string> names;
  int step = objects.ok() ? SQLITE_ROW : SQLITE_ERROR;
  while (objects.ok() && (step = objects.Step()) == SQLITE_ROW) names.push_back(objects.String(0));
  if (step != SQLITE_DONE) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  Statement application(db, "PRAGMA application_id");
  Statement version(db, "PRAGMA user_version");
  if (application.Step() != SQLITE_ROW || version.Step() != SQLITE_ROW) {
    *error = sqlite3_errmsg(db);
    return false;
  }
  int64_t applicationId = application.Int(0), userVersion = version.Int(0);

  if (applicationId == kApplicationId) {
    if (userVersion == kSchemaVersion) {
      inspection->kind = FileKind::kCurrent;
    } else {
      inspection->kind = FileKind::kForeign;
      inspection->why = "it was written by another version of histfeed-service (layout " +
                        std::to_string(userVersion) + ", this one knows " +
                        std::to_string(kSchemaVersion) + ")";
    }
    return true;
  }
  if (applicationId != 0) {
    char id[24];
    std::snprintf(id, sizeof id, "0x%08llx",
                  static_cast<unsigned long long>(static_cast<uint32_t>(applicationId)));
    inspection->kind = FileKind::kForeign;
    inspection->why = std::string("it belongs to another program (application id ") + id + ")";
    return true;
  }
  if (names.empty() && userVersion == 0) {
    inspection->kind = FileKind::kEmpty;
    return true;
  }
  std::string others;
  int listed = 0, unlisted = 0;
  for (const std::string& name : names) {
    if (kRelease020Objects.count(name) != 0) continue;
    if (listed++ < 5) {
      others += (others.empty() ? "" : ", ") + name;
    } else {
      ++unlisted;
    }
  }
  if (unlisted > 0) others += " and " + std::to_string(unlisted) + " more";
  inspection->kind = FileKind::kForeign;
  if (!others.empty()) {
    inspection->why = "it holds " + others;
    return true;
  }
  for (const char* column : kRelease020ValueColumns) {
    if (!HasColumn(db, "point_values", column)) {
      inspection->why = "its table point_values has other columns than histfeed-service 0.2.0 "
                        "wrote";
      return true;
    }
  }
  if (userVersion != 0) {
    inspection->why = "its user_version is " + std::to_string(userVersion);
    return true;
  }
  inspection->kind = FileKind::kRelease020;
  return true;
}

}  // namespace histfeed::service::sqlite
