// SPDX-License-Identifier: Apache-2.0
// The weeks of point_values: one table each, made before the first value
// of its week is written and dropped whole once retention lets its last
// value go.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_PARTITIONS_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_PARTITIONS_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "service/storage/postgresql/connection.h"

namespace histfeed::service::postgresql {

inline constexpr int64_t kPartitionMillis = int64_t{7} * 86'400'000;

// The start of the week `millis` falls into (weeks start at multiples of
// seven days since 1970).
constexpr int64_t PartitionStart(int64_t millis) {
  int64_t week = millis / kPartitionMillis;
  if (millis % kPartitionMillis < 0) --week;
  return week * kPartitionMillis;
}

// "point_values_YYYYMMDD", the week's first day.
std::string PartitionName(int64_t start);

class Partitions {
 public:
  // Reads which weeks have their table.
  bool Load(Connection& db, std::string* error);
  bool Has(int64_t start) const { return known_.count(start) != 0; }
  // Makes the tables of the weeks starting at `starts` that are missing,
  // in a transaction of their own under a lock that several services
  // share.
  bool Ensure(Connection& db, const std::set<int64_t>& starts, std::string* error);
  // The start of the oldest week whose every value is older than
  // `cutoff`, or none (false).
  bool OldestBefore(int64_t cutoff, int64_t* start) const;
  // Detaches the week's table without blocking anyone's writes, and drops
  // it. The caller runs no transaction.
  bool Drop(Connection& db, int64_t start, std::string* error);

 private:
  std::set<int64_t> known_;
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_PARTITIONS_H_
