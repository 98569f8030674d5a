// SPDX-License-Identifier: Apache-2.0
// The storage --db names: a PostgreSQL connection string (a
// postgresql:// URI or libpq keywords such as "host=... dbname=..."), or
// else the path of a SQLite file.
#ifndef HISTFEED_SERVICE_STORAGE_OPEN_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_OPEN_STORAGE_H_

#include <memory>
#include <string>

#include "service/storage/storage.h"

namespace histfeed::service {

// Null, with a message naming the database (never its password) in
// *error, when it cannot be opened as asked.
std::unique_ptr<Storage> OpenStorage(const std::string& database, const StorageOptions& options,
                                     std::string* error);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_OPEN_STORAGE_H_
