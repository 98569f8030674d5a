// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/partitions.h"

#include <chrono>
#include <cstdio>

#include "service/storage/postgresql/schema.h"

namespace histfeed::service::postgresql {
namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr const char* kPrefix = "point_values_";
constexpr int64_t kDayMillis = 86'400'000;

constexpr const char* kAttached =
    "SELECT c.relname, i.inhdetachpending FROM pg_inherits i "
    "JOIN pg_class c ON c.oid = i.inhrelid WHERE i.inhparent = 'point_values'::regclass";

year_month_day DayOf(int64_t millis) {
  int64_t day = millis / kDayMillis - (millis % kDayMillis < 0 ? 1 : 0);
  return year_month_day(sys_days(days(day)));
}

// "2023-11-09 00:00:00+00": a bound PostgreSQL reads the same in any time zone.
std::string Bound(int64_t millis) {
  year_month_day day = DayOf(millis);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u 00:00:00+00", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return text;
}

// The week a table name stands for; false for a name that is no week's.
bool StartOf(const std::string& name, int64_t* start) {
  int year = 0;
  unsigned month = 0, day = 0;
  int used = 0;
  std::string prefix = kPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0 ||
      std::sscanf(name.c_str() + prefix.size(), "%4d%2u%2u%n", &year, &month, &day, &used) != 3 ||
      prefix.size() + static_cast<size_t>(used) != name.size()) {
    return false;
  }
  year_month_day date{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
  if (!date.ok()) return false;
  *start = int64_t{sys_days(date).time_since_epoch().count()} * kDayMillis;
  return true;
}

}  // namespace

std::string PartitionName(int64_t start) {
  year_month_day day = DayOf(start);
  char text[32];
  std::snprintf(text, sizeof text, "%s%04d%02u%02u", kPrefix, static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return text;
}

bool Partitions::Load(Connection& db, std::string* error) {
  Result attached = db.Query(kAttached);
  if (!attached.ok()) {
    *error = db.error();
    return false;
  }
  known_.clear();
  for (int row = 0; row < attached.rows(); ++row) {
    int64_t start = 0;
    // A week being detached is as good as gone: Drop finishes it.
    if (StartOf(attached.String(row, 0), &start) && !attached.Bool(row, 1)) known_.insert(start);
  }
  return true;
}

bool Partitions::Ensure(Connection& db, const std::set<int64_t>& starts, std::string* error) {
  std::vector<int64_t> missing;
  for (int64_t start : starts) {
    if (!Has(start)) missing.push_back(start);
  }
  if (missing.empty()) return true;
  // A new week waits briefly for writers of the others, never long.
  bool ok = db.Exec("BEGIN") && db.Exec("SET LOCAL lock_timeout = '5s'") &&
            db.Exec(TakeLock(LockKey::kPartitions));
  for (int64_t start : missing) {
    ok = ok && db.Exec("CREATE TABLE IF NOT EXISTS " + PartitionName(start) +
                       " PARTITION OF point_values FOR VALUES FROM ('" + Bound(start) +
                       "') TO ('" + Bound(start + kPartitionMillis) + "')");
  }
  if (ok && db.Exec("COMMIT")) {
    known_.insert(missing.begin(), missing.end());
    return true;
  }
  *error = db.error();
  db.Exec("ROLLBACK");
  return false;
}

bool Partitions::OldestBefore(int64_t cutoff, int64_t* start) const {
  if (known_.empty() || *known_.begin() + kPartitionMillis > cutoff) return false;
  *start = *known_.begin();
  return true;
}

bool Partitions::Drop(Connection& db, int64_t start, std::string* error) {
  std::string name = PartitionName(start);
  Result state = db.Query(
      "SELECT i.inhdetachpending FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
      "WHERE i.inhparent = 'point_values'::regclass AND c.relname = $1",
      Params().Text(name));
  if (!state.ok()) {
    *error = db.error();
    return false;
  }
  // Detaching concurrently waits for those reading the week, and blocks no
  // writer; a detach a stop cut short is finished instead.
  bool ok = db.Exec("SET lock_timeout = '2s'");
  if (ok && state.rows() == 1) {
    ok = db.Exec("ALTER TABLE point_values DETACH PARTITION " + name +
                 (state.Bool(0, 0) ? " FINALIZE" : " CONCURRENTLY"));
  }
  ok = ok && db.Exec("DROP TABLE IF EXISTS " + name);
  if (!ok) *error = db.error();
  db.Exec("RESET lock_timeout");
  if (ok) known_.erase(start);
  return ok;
}

}  // namespace histfeed::service::postgresql
