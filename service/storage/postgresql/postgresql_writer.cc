// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/postgresql_writer.h"

#include <algorithm>
#include <tuple>

#include "service/storage/postgresql/binary_format.h"
#include "service/storage/postgresql/schema.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service::postgresql {
namespace {

constexpr const char* kPoints = "SELECT id, family, id_kind, name FROM points";
constexpr const char* kStaging =
    "CREATE TEMP TABLE IF NOT EXISTS histfeed_staging (LIKE point_values) ON COMMIT DELETE ROWS";
constexpr const char* kNewPoints =
    "INSERT INTO points (family, id_kind, name) "
    "SELECT * FROM unnest($1::text[], $2::text[], $3::bytea[]) ORDER BY 1, 2, 3 "
    "ON CONFLICT DO NOTHING";
constexpr const char* kFindPoints =
    "SELECT p.id, p.family, p.id_kind, p.name FROM points p "
    "JOIN unnest($1::text[], $2::text[], $3::bytea[]) AS k (family, id_kind, name) "
    "USING (family, id_kind, name)";
constexpr const char* kCopyValues =
    "COPY point_values (point_id, time, status, value, text) FROM STDIN (FORMAT binary)";
constexpr const char* kCopyStaging =
    "COPY histfeed_staging (point_id, time, status, value, text) FROM STDIN (FORMAT binary)";
// Followed by kValueConflict.
constexpr const char* kMergeStaging =
    "INSERT INTO point_values SELECT * FROM histfeed_staging ORDER BY point_id, time";
constexpr const char* kSetConfig =
    "UPDATE points SET record_type = $2, point_id = $3, long_id = $4, ext_id = $5, "
    "description = $6, units = $7, raw = $8, config_received_at = now() WHERE id = $1";
// A deletion names a point by one of its identifiers.
constexpr const char* kDeleteConfigs =
    "UPDATE points SET record_type = NULL, point_id = NULL, long_id = NULL, ext_id = NULL, "
    "description = NULL, units = NULL, raw = NULL, config_received_at = NULL "
    "WHERE family = $1 AND record_type IS NOT NULL AND "
    "CASE $2 WHEN 'point' THEN point_id WHEN 'long' THEN long_id ELSE ext_id END = $3";
constexpr const char* kLogDeletion = "INSERT INTO deletions VALUES ($1, now())";
constexpr const char* kAddBacklog =
    "INSERT INTO summary_backlog (from_time, to_time) "
    "SELECT * FROM unnest($1::timestamptz[], $2::timestamptz[])";

using Key = std::tuple<std::string, std::string, std::string>;

// Minutes of a group this close together share one range to summarize.
constexpr int64_t kBacklogGap = BucketMillis(3);

}  // namespace

bool PostgresqlWriter::Load(std::string* error) {
  Result points = db_.Query(kPoints);
  if (!points.ok() || !db_.Exec(kStaging) || !partitions_.Load(db_, error)) {
    if (error->empty()) *error = db_.error();
    return false;
  }
  names_.Clear();
  for (int row = 0; row < points.rows(); ++row) {
    names_.Add(points.Bytes(row, 1), points.Bytes(row, 2), points.Bytes(row, 3),
               points.Int32(row, 0));
  }
  return true;
}

int32_t PostgresqlWriter::IdOf(const std::string& family, IdKind kind,
                               const std::string& name) const {
  return static_cast<int32_t>(names_.Find(family, IdKindName(kind), name));
}

bool PostgresqlWriter::FindPoints(const std::vector<const Batch*>& batches) {
  std::set<Key> missing;
  auto want = [&](const std::string& family, IdKind kind, const std::string& name) {
    if (IdOf(family, kind, name) == 0) missing.emplace(family, IdKindName(kind), name);
  };
  for (const Batch* batch : batches) {
    for (const ValueRow& row : batch->values) want(row.family, row.idKind, row.point);
    for (const ConfigRow& row : batch->configs) want(row.family, row.idKind, row.point);
    for (const DeletionRow& row : batch->deletions) want(row.family, row.idKind, row.point);
  }
  if (missing.empty()) return true;
  ArrayParam families(TypeOid::kText), kinds(TypeOid::kText), names(TypeOid::kBytea);
  for (const auto& [family, kind, name] : missing) {
    families.Bytes(family);
    kinds.Bytes(kind);
    names.Bytes(name);
  }
  Params keys = Params().Array(families.Finish()).Array(kinds.Finish()).Array(names.Finish());
  // Each statement commits on its own: a point another service is making
  // at this moment is waited for, then found.
  if (!db_.Run(kNewPoints, keys)) return false;
  Result found = db_.Query(kFindPoints, keys);
  if (!found.ok()) return false;
  for (int row = 0; row < found.rows(); ++row) {
    names_.Add(found.Bytes(row, 1), found.Bytes(row, 2), found.Bytes(row, 3),
               found.Int32(row, 0));
  }
  return static_cast<size_t>(found.rows()) == missing.size();
}

std::vector<PostgresqlWriter::Row> PostgresqlWriter::RowsOf(
    const std::vector<const Batch*>& batches) const {
  std::vector<Row> rows;
  for (const Batch* batch : batches) {
    for (const ValueRow& value : batch->values) {
      rows.push_back(Row{IdOf(value.family, value.idKind, value.point), value.Millis(),
                         value.status, value.isText, value.isText ? 0 : value.value,
                         value.isText ? std::string_view(value.text) : std::string_view()});
    }
  }
  // In point and time order, the order every service takes its locks in;
  // of two with one time, the later one sent.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::tie(a.point, a.millis) < std::tie(b.point, b.millis);
  });
  std::vector<Row> unique;
  for (const Row& row : rows) {
    if (!unique.empty() && unique.back().point == row.point && unique.back().millis == row.millis) {
      unique.back() = row;
    } else {
      unique.push_back(row);
    }
  }
  return unique;
}

bool PostgresqlWriter::WriteValues(const std::vector<Row>& rows) {
  if (rows.empty()) return true;
  CopyRows copy;
  for (const Row& row : rows) {
    copy.StartRow(5);
    copy.Int32(row.point);
    copy.Timestamp(row.millis);
    copy.Int32(row.status);
    if (row.isText) {
      copy.Null();
      copy.Bytes(row.text);
    } else {
      copy.Double(row.value);
      copy.Null();
    }
  }
  std::string data = copy.Finish();
  if (slowGroups_ == 0) {
    if (!db_.Exec("SAVEPOINT fast")) return false;
    if (db_.CopyIn(kCopyValues, data)) return db_.Exec("RELEASE SAVEPOINT fast");
    if (db_.sqlState() != kUniqueViolation || !db_.Exec("ROLLBACK TO SAVEPOINT fast")) {
      return false;
    }
    slowGroups_ = kGroupsAfterConflict;
  } else {
    --slowGroups_;
  }
  return db_.CopyIn(kCopyStaging, data) && db_.Exec(std::string(kMergeStaging) + kValueConflict);
}

bool PostgresqlWriter::WriteConfig(const ConfigRow& row) {
  std::string_view raw(reinterpret_cast<const char*>(row.raw.data()), row.raw.size());
  return db_.Run(kSetConfig, Params()
                                 .Int32(IdOf(row.family, row.idKind, row.point))
                                 .Int32(row.recordType)
                                 .Bytes(row.pointId)
                                 .Bytes(row.longId)
                                 .Bytes(row.extId)
                                 .Bytes(row.description)
                                 .Bytes(row.units)
                                 .Bytes(raw));
}

bool PostgresqlWriter::WriteDeletion(const DeletionRow& row) {
  return db_.Run(kDeleteConfigs,
                 Params().Text(row.family).Text(IdKindName(row.idKind)).Bytes(row.point)) &&
         db_.Run(kLogDeletion, Params().Int32(IdOf(row.family, row.idKind, row.point)));
}

bool PostgresqlWriter::WriteBacklog(const std::vector<Row>& rows) {
  std::set<int64_t> minutes;
  for (const Row& row : rows) minutes.insert(BucketStart(0, row.millis));
  if (minutes.empty()) return true;
  ArrayParam from(TypeOid::kTimestamptz), to(TypeOid::kTimestamptz);
  // Minutes less than a gap apart make one range: recomputing costs what
  // the values in it cost, and a gap holds none of this group's.
  for (auto minute = minutes.begin(); minute != minutes.end();) {
    int64_t start = *minute, end = start + BucketMillis(0);
    while (++minute != minutes.end() && *minute - end < kBacklogGap) end = *minute + BucketMillis(0);
    from.Timestamp(start);
    to.Timestamp(end);
  }
  return db_.Run(kAddBacklog, Params().Array(from.Finish()).Array(to.Finish()));
}

bool PostgresqlWriter::Transaction(const std::vector<const Batch*>& batches,
                                   const std::vector<Row>& rows) {
  if (!db_.Exec("BEGIN")) return false;
  bool ok = WriteValues(rows);
  // Configurations and deletions in the order they came: a later one wins.
  for (const Batch* batch : batches) {
    for (const ConfigRow& row : batch->configs) ok = ok && WriteConfig(row);
    for (const DeletionRow& row : batch->deletions) ok = ok && WriteDeletion(row);
  }
  if (ok && WriteBacklog(rows) && db_.Exec("COMMIT")) return true;
  std::string error = db_.error();
  if (!db_.Broken()) db_.Exec("ROLLBACK");
  // What went wrong, not what the rollback said.
  lastError_ = error;
  return false;
}

bool PostgresqlWriter::Fail() {
  if (lastError_.empty()) lastError_ = db_.error();
  return false;
}

bool PostgresqlWriter::StoreGroup(const std::vector<const Batch*>& batches) {
  lastError_.clear();
  if (!FindPoints(batches)) return Fail();
  std::vector<Row> rows = RowsOf(batches);
  std::set<int64_t> weeks;
  for (const Row& row : rows) weeks.insert(PartitionStart(row.millis));
  std::string error;
  if (!partitions_.Ensure(db_, weeks, &error)) {
    lastError_ = error;
    return false;
  }
  if (Transaction(batches, rows)) return true;
  // A week another service's retention dropped since: made again.
  if (db_.sqlState() != kNoPartitionForRow || !partitions_.Load(db_, &error) ||
      !partitions_.Ensure(db_, weeks, &error)) {
    return Fail();
  }
  return Transaction(batches, rows) || Fail();
}

std::vector<bool> PostgresqlWriter::CommitGroup(const std::vector<const Batch*>& batches) {
  if (StoreGroup(batches)) return std::vector<bool>(batches.size(), true);
  std::vector<bool> stored(batches.size(), false);
  // Without a connection no batch can be stored; otherwise the one the
  // database refuses must not take the others down with it.
  if (db_.Broken() || batches.size() == 1) return stored;
  std::string firstError = lastError_;
  bool all = true;
  for (size_t i = 0; i < batches.size() && !db_.Broken(); ++i) {
    stored[i] = StoreGroup({batches[i]});
    all = all && stored[i];
  }
  if (!all && lastError_.empty()) lastError_ = firstError;
  return stored;
}

}  // namespace histfeed::service::postgresql
