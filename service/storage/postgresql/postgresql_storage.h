// SPDX-License-Identifier: Apache-2.0
// The service's storage in a PostgreSQL database, which several services
// may share. Only a schema this service made (marked in histfeed_schema)
// or an empty one is used; any other is left exactly as it was.
//
// When the server goes away, commits fail at once (their frames are
// answered 0x15, so nothing is acknowledged that is not committed) and the
// storage connects again with a growing pause, saying so once when the
// server goes and once when it is back.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_STORAGE_H_

#include <chrono>
#include <memory>
#include <string>

#include "service/storage/storage.h"

namespace histfeed::service::postgresql {

struct PostgresqlSettings {
  // How long the summaries of the latest minutes wait for more values
  // while no later ones come.
  std::chrono::milliseconds settleAfter{std::chrono::seconds(10)};
};

// Connects to the database `connection` names and opens (or, unless
// read-only, creates) the storage there. Null, with a message naming the
// database (without its password) in *error, when it cannot.
std::unique_ptr<Storage> OpenStorage(const std::string& connection, const StorageOptions& options,
                                     std::string* error);
std::unique_ptr<Storage> OpenStorage(const std::string& connection, const StorageOptions& options,
                                     const PostgresqlSettings& settings, std::string* error);

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_STORAGE_H_
