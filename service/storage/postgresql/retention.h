// SPDX-License-Identifier: Apache-2.0
// --retain on PostgreSQL: whole weeks of values go once their every value
// is older than the span kept (a week's table is dropped, which costs
// nothing per value), and with them the summaries of buckets that ended
// before the oldest week left.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_RETENTION_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_RETENTION_H_

#include <cstdint>
#include <string>

#include "service/storage/postgresql/connection.h"
#include "service/storage/postgresql/partitions.h"

namespace histfeed::service::postgresql {

// One step: drops the oldest week older than `cutoff`, or, when none is
// left, the summaries older than the weeks kept. *more when another step
// has work. The caller runs no transaction.
bool RemoveOld(Connection& db, Partitions& partitions, int64_t cutoff, bool* more,
               std::string* error);

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_RETENTION_H_
