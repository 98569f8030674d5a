// SPDX-License-Identifier: Apache-2.0
#include "service/storage/open_storage.h"

#include "service/storage/postgresql/connection_string.h"
#include "service/storage/postgresql/postgresql_storage.h"
#include "service/storage/sqlite/sqlite_storage.h"

namespace histfeed::service {

std::unique_ptr<Storage> OpenStorage(const std::string& database, const StorageOptions& options,
                                     std::string* error) {
  if (postgresql::IsConnectionString(database)) {
    return postgresql::OpenStorage(database, options, error);
  }
  return sqlite::OpenStorage(database, options, error);
}

}  // namespace histfeed::service
