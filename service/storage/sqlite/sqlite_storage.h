// SPDX-License-Identifier: Apache-2.0
// The service's storage in one SQLite file in WAL mode. Only files this
// service made (marked with its application id, the layout in
// user_version) are opened, and those 0.2.0 made, which are brought up to
// date in place; any other file is left exactly as it was.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_STORAGE_H_

#include <memory>
#include <string>

#include "service/storage/sqlite/sqlite_writer.h"
#include "service/storage/storage.h"

namespace histfeed::service::sqlite {

// Opens (or, unless read-only, creates) the database at `path`. Null, with
// a message naming the file and SQLite's reason in *error, when it cannot
// be opened as asked.
std::unique_ptr<Storage> OpenStorage(const std::string& path, const StorageOptions& options,
                                     std::string* error);
// The same with the packing's settings chosen (tests, benchmarks).
std::unique_ptr<Storage> OpenStorage(const std::string& path, const StorageOptions& options,
                                     const WriterSettings& settings, std::string* error);

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_STORAGE_H_
