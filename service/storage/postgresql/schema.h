// SPDX-License-Identifier: Apache-2.0
// The tables in PostgreSQL, how the service tells its own schema from any
// other, and its creation.
//
// Values are rows (point, time, status, value or text) of point_values,
// partitioned by week: each week's table is written in the order values
// arrive, its primary key (point, time) finds one point's range, and a
// week that retention lets go is dropped whole. Dashboards and reports
// read the rows as they are. Summaries per point and time bucket answer
// charts; summary_backlog lists time ranges whose summaries are still to
// be computed.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_SCHEMA_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_SCHEMA_H_

#include <cstdint>
#include <string>

#include "service/storage/postgresql/connection.h"

namespace histfeed::service::postgresql {

// histfeed_schema holds one row: this application and the layout below.
inline constexpr const char* kApplication = "histfeed-service";
inline constexpr int32_t kSchemaVersion = 1;

extern const char* const kSchema;

// What a value row does that meets a stored one of its point and time: an
// identical one changes nothing, another replaces it. Numbers are compared
// by their bits: NaN payloads and -0.0 are values of their own.
inline constexpr const char* kValueConflict =
    " ON CONFLICT (point_id, time) DO UPDATE SET status = excluded.status, "
    "value = excluded.value, text = excluded.text "
    "WHERE (point_values.status, float8send(point_values.value), point_values.text) "
    "IS DISTINCT FROM (excluded.status, float8send(excluded.value), excluded.text)";

// Keys of the advisory locks several services of one database take: the
// first of each pair says "hfsv".
inline constexpr int32_t kLockSpace = 0x68667376;
enum class LockKey : int32_t { kSchema = 1, kPartitions = 2, kSummaries = 3, kRetention = 4 };
// "SELECT pg_advisory_xact_lock(...)" for `key`, and the same that only tries.
std::string TakeLock(LockKey key);
std::string TryLock(LockKey key);

enum class SchemaKind {
  kEmpty,    // no tables: the service creates its own
  kCurrent,  // made by this service, this layout
  kForeign,  // anything else: never touched
};

struct Inspection {
  SchemaKind kind = SchemaKind::kForeign;
  std::string schema;  // the schema the tables are (or would be) in
  std::string why;     // for kForeign: what gave it away
};

// Looks at the schema the connection's search path puts new tables in,
// without changing anything. False with the reason in *error when it
// cannot be read.
bool InspectSchema(Connection& db, Inspection* inspection, std::string* error);

// Creates the tables when the schema is empty, under a lock, so that
// services starting at once create them once; afterwards *inspection says
// what the schema holds. False with the reason in *error when it failed.
bool CreateSchema(Connection& db, Inspection* inspection, std::string* error);

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_SCHEMA_H_
