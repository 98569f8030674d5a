// SPDX-License-Identifier: Apache-2.0
// The database's layout, how a file made by this service is told apart
// from any other, and which files it will open.
//
// Values are written in the order they arrive, one journal record per
// commit, and packed a while later into blocks, one point's values in time
// order each. A commit thus appends a few pages instead of touching one
// page per point, and one point's range is a few blocks away.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_SCHEMA_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_SCHEMA_H_

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace histfeed::service::sqlite {

// PRAGMA application_id of every database this service makes ("hfsv").
inline constexpr int32_t kApplicationId = 0x68667376;
// PRAGMA user_version: the layout below.
inline constexpr int32_t kSchemaVersion = 1;

extern const char* const kSchema;

enum class FileKind {
  kEmpty,       // no tables: a new database
  kCurrent,     // made by this service, this layout
  kRelease020,  // made by histfeed-service 0.2.0 (recognised by its tables)
  kForeign,     // anything else: never touched
};

struct Inspection {
  FileKind kind = FileKind::kForeign;
  std::string why;  // for kForeign: what gave it away
};

// Looks at an open database without changing it. False with SQLite's
// reason in *error when it cannot be read at all (locked, not a database).
bool InspectDatabase(sqlite3* db, Inspection* inspection, std::string* error);

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_SCHEMA_H_
