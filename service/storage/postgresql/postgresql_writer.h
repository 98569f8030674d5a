// SPDX-License-Identifier: Apache-2.0
// The writing side of the PostgreSQL storage: one connection, used by the
// writer thread alone. A group of batches becomes one transaction: its
// values, sorted by point and time, go in with one binary COPY straight
// into point_values (PostgreSQL's fastest way in); when some are there
// already (a frame sent again, a correction), the same rows go through a
// staging table and INSERT ... ON CONFLICT instead, where an identical
// value changes nothing and another one replaces it (that takes about half
// the time of the plain COPY, a multi-row INSERT ... ON CONFLICT about
// two fifths: service_ingest_bench --store postgresql measures all three).
// Nothing is acknowledged before the COMMIT returned.
//
// Several services may write one database at once: each takes its rows'
// locks in the same order (point, then time), so none waits for another
// in a circle, and new points are made in a statement of their own,
// sorted, where one that another service made meanwhile is simply taken.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_WRITER_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_WRITER_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service/storage/batch.h"
#include "service/storage/point_names.h"
#include "service/storage/postgresql/connection.h"
#include "service/storage/postgresql/partitions.h"

namespace histfeed::service::postgresql {

class PostgresqlWriter {
 public:
  // After a COPY found values already stored, this many groups take the
  // staging table at once instead of trying the COPY first.
  static constexpr int kGroupsAfterConflict = 16;

  explicit PostgresqlWriter(Connection& db) : db_(db) {}

  // Reads what it needs from the database: after every connect.
  bool Load(std::string* error);

  std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches);
  const std::string& lastError() const { return lastError_; }
  Partitions& partitions() { return partitions_; }

 private:
  struct Row {
    int32_t point = 0;
    int64_t millis = 0;
    int32_t status = 0;
    bool isText = false;
    double value = 0;
    std::string_view text;
  };

  bool StoreGroup(const std::vector<const Batch*>& batches);
  // Finds (and makes, when new) the point of every value, configuration
  // and deletion.
  bool FindPoints(const std::vector<const Batch*>& batches);
  int32_t IdOf(const std::string& family, IdKind kind, const std::string& name) const;
  // The group's values, one per point and time (the last one sent wins),
  // sorted.
  std::vector<Row> RowsOf(const std::vector<const Batch*>& batches) const;
  bool Transaction(const std::vector<const Batch*>& batches, const std::vector<Row>& rows);
  bool WriteValues(const std::vector<Row>& rows);
  bool WriteConfig(const ConfigRow& row);
  bool WriteDeletion(const DeletionRow& row);
  // The minutes the values fall into, as ranges of summaries to recompute.
  bool WriteBacklog(const std::vector<Row>& rows);
  bool Fail();

  Connection& db_;
  PointNames names_;
  Partitions partitions_;
  int slowGroups_ = 0;  // groups left that skip the COPY
  std::string lastError_;
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_WRITER_H_
