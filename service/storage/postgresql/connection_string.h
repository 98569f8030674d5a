// SPDX-License-Identifier: Apache-2.0
// What --db names when it is no file: a libpq connection string, either a
// URI (postgresql://USER@HOST:PORT/DBNAME?...) or keywords
// ("host=... dbname=..."). A password may be in it, but is never shown:
// every line the service writes about the database shows it as "***".
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_STRING_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_STRING_H_

#include <string>

namespace histfeed::service::postgresql {

// Whether `database` is a connection string rather than a file's path.
bool IsConnectionString(const std::string& database);

// The connection string as the log shows it: its password, if any,
// replaced by "***".
std::string ShownConnection(const std::string& connection);

// `message` with the connection's password, wherever it appears, replaced
// by "***" (libpq repeats parts of a string it cannot read).
std::string WithoutPassword(const std::string& message, const std::string& connection);

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_STRING_H_
