// SPDX-License-Identifier: Apache-2.0
#include "bench/postgres_plain_loop.h"

#include <algorithm>
#include <set>

#include "service/storage/postgresql/binary_format.h"
#include "service/storage/postgresql/partitions.h"
#include "service/storage/postgresql/postgresql_storage.h"
#include "service/storage/postgresql/schema.h"

namespace histfeed {
namespace {

using service::postgresql::CopyRows;
using service::postgresql::ArrayParam;
using service::postgresql::Params;
using service::postgresql::TypeOid;

constexpr const char* kPoints =
    "INSERT INTO points (id, family, id_kind, name) "
    "SELECT * FROM unnest($1::int4[], $2::text[], $3::text[], $4::bytea[])";
constexpr const char* kStaging =
    "CREATE TEMP TABLE plain_staging (LIKE point_values) ON COMMIT DELETE ROWS";
constexpr const char* kCopyValues =
    "COPY point_values (point_id, time, status, value, text) FROM STDIN (FORMAT binary)";
constexpr const char* kCopyStaging =
    "COPY plain_staging (point_id, time, status, value, text) FROM STDIN (FORMAT binary)";
constexpr const char* kMerge =
    "INSERT INTO point_values SELECT * FROM plain_staging ORDER BY point_id, time";
// A statement takes at most 65535 parameters; four a row.
constexpr size_t kRowsPerInsert = 16'000;

}  // namespace

std::string PostgresPlainLoop::Open(const std::string& connection,
                                    const std::vector<service::ValueRow>& points,
                                    int64_t firstMillis, int64_t lastMillis) {
  std::string error;
  // The service's own tables, made as the service makes them.
  if (service::postgresql::OpenStorage(connection, {}, &error) == nullptr) return error;
  error = db_.Open(connection);
  if (!error.empty()) return error;
  ArrayParam ids(TypeOid::kInt4), families(TypeOid::kText), kinds(TypeOid::kText),
      names(TypeOid::kBytea);
  for (size_t i = 0; i < points.size(); ++i) {
    ids.Int32(static_cast<int32_t>(i + 1));
    families.Bytes(points[i].family);
    kinds.Bytes(service::IdKindName(points[i].idKind));
    names.Bytes(points[i].point);
  }
  Params keys = Params()
                    .Array(ids.Finish())
                    .Array(families.Finish())
                    .Array(kinds.Finish())
                    .Array(names.Finish());
  service::postgresql::Partitions partitions;
  std::set<int64_t> weeks;
  for (int64_t week = service::postgresql::PartitionStart(firstMillis); week <= lastMillis;
       week += service::postgresql::kPartitionMillis) {
    weeks.insert(week);
  }
  if (!partitions.Load(db_, &error) || !partitions.Ensure(db_, weeks, &error)) return error;
  if (!db_.Run(kPoints, keys) || !db_.Exec(kStaging)) return db_.error();
  return "";
}

bool PostgresPlainLoop::Copy(const char* sql, const std::vector<Row>& rows) {
  CopyRows copy;
  for (const Row& row : rows) {
    copy.StartRow(5);
    copy.Int32(row.point);
    copy.Timestamp(row.millis);
    copy.Int32(0);
    copy.Double(row.value);
    copy.Null();
  }
  return db_.CopyIn(sql, copy.Finish());
}

const std::string& PostgresPlainLoop::InsertOf(size_t rows) {
  std::string& sql = inserts_[rows];
  if (!sql.empty()) return sql;
  sql = "INSERT INTO point_values (point_id, time, status, value) VALUES ";
  for (size_t n = 0; n < 4 * rows; n += 4) {
    sql += (n ? ", ($" : "($") + std::to_string(n + 1) + ", $" + std::to_string(n + 2) + ", $" +
           std::to_string(n + 3) + ", $" + std::to_string(n + 4) + ")";
  }
  sql += service::postgresql::kValueConflict;
  return sql;
}

bool PostgresPlainLoop::Insert(const std::vector<Row>& rows) {
  for (size_t first = 0; first < rows.size(); first += kRowsPerInsert) {
    size_t end = std::min(rows.size(), first + kRowsPerInsert);
    Params params;
    for (size_t i = first; i < end; ++i) {
      params.Int32(rows[i].point).Timestamp(rows[i].millis).Int32(0).Double(rows[i].value);
    }
    if (!db_.Run(InsertOf(end - first), params)) return false;
  }
  return true;
}

bool PostgresPlainLoop::Write(PlainWrite how, const std::vector<Row>& rows) {
  if (!db_.Exec("BEGIN")) return false;
  bool ok = false;
  switch (how) {
    case PlainWrite::kCopy: ok = Copy(kCopyValues, rows); break;
    case PlainWrite::kStagingMerge:
      ok = Copy(kCopyStaging, rows) && db_.Exec(std::string(kMerge) + service::postgresql::kValueConflict);
      break;
    case PlainWrite::kMultiRowInsert: ok = Insert(rows); break;
  }
  if (ok && db_.Exec("COMMIT")) return true;
  db_.Exec("ROLLBACK");
  return false;
}

}  // namespace histfeed
