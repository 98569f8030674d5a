// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/retention.h"

#include "service/storage/postgresql/schema.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service::postgresql {
namespace {

constexpr const char* kOldSummaries = "DELETE FROM summaries WHERE level = $1 AND bucket <= $2";
constexpr const char* kOldBacklog = "DELETE FROM summary_backlog WHERE to_time <= $1";
constexpr const char* kRecompute =
    "INSERT INTO summary_backlog (from_time, to_time) VALUES ($1, $2)";

// Drops one week, while no other service of the database does.
bool DropWeek(Connection& db, Partitions& partitions, int64_t start, bool* dropped,
              std::string* error) {
  std::string key = std::to_string(kLockSpace) + ", " +
                    std::to_string(static_cast<int32_t>(LockKey::kRetention));
  Result lock = db.Query("SELECT pg_try_advisory_lock(" + key + ")");
  if (!lock.ok()) {
    *error = db.error();
    return false;
  }
  if (!lock.Bool(0, 0)) return true;
  bool ok = partitions.Drop(db, start, error);
  *dropped = ok;
  db.Exec("SELECT pg_advisory_unlock(" + key + ")");
  return ok;
}

// The summaries of buckets that ended before `floor`, the first time a
// value can have; buckets reaching over it are computed again.
bool RemoveOldSummaries(Connection& db, int64_t floor, std::string* error) {
  bool ok = db.Exec("BEGIN") && db.Exec(TakeLock(LockKey::kSummaries));
  int64_t removed = 0;
  for (int level = 0; ok && level < kSummaryLevels; ++level) {
    Result gone =
        db.Query(kOldSummaries, Params().Int32(level).Timestamp(floor - BucketMillis(level)));
    ok = gone.ok();
    removed += gone.Affected();
  }
  ok = ok && db.Run(kOldBacklog, Params().Timestamp(floor));
  if (ok && removed > 0) {
    ok = db.Run(kRecompute, Params().Timestamp(floor - BucketMillis(0)).Timestamp(floor));
  }
  if (ok && db.Exec("COMMIT")) return true;
  *error = db.error();
  if (!db.Broken()) db.Exec("ROLLBACK");
  return false;
}

}  // namespace

bool RemoveOld(Connection& db, Partitions& partitions, int64_t cutoff, bool* more,
               std::string* error) {
  *more = false;
  // Another service may have made or dropped weeks meanwhile.
  if (!partitions.Load(db, error)) return false;
  int64_t start = 0;
  if (partitions.OldestBefore(cutoff, &start)) {
    return DropWeek(db, partitions, start, more, error);
  }
  // No week older than the cutoff is left: no value before its week.
  return RemoveOldSummaries(db, PartitionStart(cutoff), error);
}

}  // namespace histfeed::service::postgresql
