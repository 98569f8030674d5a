// SPDX-License-Identifier: Apache-2.0
// Brings a database written by histfeed-service 0.2.0 (one row per value,
// names as text on every row) into this layout, in place. First, in one
// transaction, its tables are set aside and the new ones made; then its
// values move over point by point, in transactions that each take the rows
// they moved out of the old table. A stop at any moment loses nothing, and
// the next start goes on from where it stopped. The summaries of the moved
// values are computed afterwards, in the background.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_MIGRATION_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_MIGRATION_H_

#include <string>

#include "service/storage/sqlite/statement.h"

namespace histfeed::service::sqlite {

// Sets the 0.2.0 tables aside and makes this layout's, marked as this
// service's. False with SQLite's reason in *error.
bool StartMigration(Connection& db, std::string* error);
// Moves the values set aside, if there are any, and removes their table.
bool FinishMigration(Connection& db, const std::string& path, std::string* error);

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_MIGRATION_H_
