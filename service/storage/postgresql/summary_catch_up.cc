// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/summary_catch_up.h"

#include <algorithm>

#include "service/storage/postgresql/schema.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service::postgresql {
namespace {

constexpr const char* kBacklog =
    "SELECT id, from_time, to_time, done_point, "
    "created <= now() - make_interval(secs => $1) FROM summary_backlog "
    "ORDER BY from_time, id LIMIT 100000";
constexpr const char* kJoin =
    "WITH gone AS (DELETE FROM summary_backlog WHERE id = ANY($1::int8[])) "
    "INSERT INTO summary_backlog (from_time, to_time) VALUES ($2, $3) RETURNING id";
constexpr const char* kHighestPoint = "SELECT coalesce(max(id), 0) FROM points";
constexpr const char* kProgress = "UPDATE summary_backlog SET done_point = $2 WHERE id = $1";
constexpr const char* kDone = "DELETE FROM summary_backlog WHERE id = $1";

// Settled neighbours are joined up to this span: their coarser buckets
// are then recomputed once.
constexpr int64_t kJoinedSpan = 86'400'000;

// A time as SQL, exactly.
std::string TimeSql(int64_t millis) {
  return "(timestamptz 'epoch' + interval '1 millisecond' * " + std::to_string(millis) + ")";
}

// Takes the finite numbers: a chart draws only those.
constexpr const char* kFinestRows =
    "INSERT INTO summaries (point_id, level, bucket, count, numbers, min, max, first_time, "
    "first, last_time, last) "
    "SELECT point_id, 0, date_bin('1 minute', time, timestamptz 'epoch'), count(*), "
    "count(*) FILTER (WHERE drawable), min(value) FILTER (WHERE drawable), "
    "max(value) FILTER (WHERE drawable), min(time) FILTER (WHERE drawable), "
    "(min(ARRAY[extract(epoch FROM time)::float8, value]) FILTER (WHERE drawable))[2], "
    "max(time) FILTER (WHERE drawable), "
    "(max(ARRAY[extract(epoch FROM time)::float8, value]) FILTER (WHERE drawable))[2] "
    "FROM (SELECT point_id, time, value, "
    "text IS NULL AND value NOT IN ('NaN', 'Infinity', '-Infinity') AS drawable "
    "FROM point_values WHERE ";
constexpr const char* kCoarserRows =
    "SELECT point_id, level + 1, date_bin(make_interval(mins => %W%), bucket, "
    "timestamptz 'epoch'), sum(count), sum(numbers), min(min), max(max), min(first_time), "
    "(min(ARRAY[extract(epoch FROM first_time)::float8, first]) FILTER (WHERE numbers > 0))[2], "
    "max(last_time), "
    "(max(ARRAY[extract(epoch FROM last_time)::float8, last]) FILTER (WHERE numbers > 0))[2] "
    "FROM summaries WHERE ";

std::string Replaced(std::string text, const std::string& mark, const std::string& by) {
  return text.replace(text.find(mark), mark.size(), by);
}

}  // namespace

bool SummaryCatchUp::Fail() {
  error_ = db_.error();
  if (!db_.Broken()) db_.Exec("ROLLBACK");
  return false;
}

bool SummaryCatchUp::Choose(std::vector<Range>* ranges) {
  Result rows = db_.Query(kBacklog, Params().Double(settleAfter_.count() / 1000.0));
  if (!rows.ok()) return false;
  std::vector<Range> overlapping;
  int64_t latest = 0;
  for (int row = 0; row < rows.rows(); ++row) {
    Range range{{rows.Int64(row, 0)}, rows.Millis(row, 1), rows.Millis(row, 2),
                rows.Int32(row, 3), rows.Bool(row, 4)};
    latest = row == 0 ? range.to : std::max(latest, range.to);
    // A range under way is finished first, alone.
    if (range.donePoint > 0) {
      *ranges = {range};
      return true;
    }
    if (!overlapping.empty() && range.from < overlapping.back().to) {
      Range& joined = overlapping.back();
      joined.ids.push_back(range.ids.front());
      joined.to = std::max(joined.to, range.to);
      joined.settled = joined.settled && range.settled;
    } else {
      overlapping.push_back(range);
    }
  }
  // Values went on past a range: its minutes are complete.
  for (Range& range : overlapping) range.settled = range.settled || range.to < latest;
  ranges->clear();
  for (Range& range : overlapping) {
    if (!range.settled) continue;
    if (!ranges->empty() && ranges->back().to == range.from &&
        range.to - ranges->back().from <= kJoinedSpan) {
      ranges->back().ids.insert(ranges->back().ids.end(), range.ids.begin(), range.ids.end());
      ranges->back().to = range.to;
    } else {
      ranges->push_back(range);
    }
  }
  return true;
}

bool SummaryCatchUp::RecomputePoints(const Range& range, int32_t first, int32_t end) {
  std::string points =
      "point_id >= " + std::to_string(first) + " AND point_id < " + std::to_string(end);
  std::string sql;
  for (int level = 0; level < kSummaryLevels; ++level) {
    int64_t width = BucketMillis(level);
    std::string buckets = " AND bucket >= " + TimeSql(BucketStart(level, range.from)) +
                          " AND bucket < " + TimeSql(BucketStart(level, range.to - 1) + width);
    sql += "DELETE FROM summaries WHERE " + points + " AND level = " + std::to_string(level) +
           buckets + ";";
    if (level == 0) {
      sql += kFinestRows + points + " AND time >= " + TimeSql(range.from) +
             " AND time < " + TimeSql(range.to) + ") v GROUP BY point_id, 3;";
    } else {
      sql += "INSERT INTO summaries (point_id, level, bucket, count, numbers, min, max, "
             "first_time, first, last_time, last) " +
             Replaced(kCoarserRows, "%W%", std::to_string(width / 60'000)) + points +
             " AND level = " + std::to_string(level - 1) + buckets +
             " GROUP BY point_id, level, 3;";
    }
  }
  return db_.Exec(sql);
}

bool SummaryCatchUp::Run(Clock::time_point deadline, bool* more) {
  *more = false;
  error_.clear();
  auto start = Clock::now();
  if (!db_.Exec("BEGIN")) return Fail();
  Result lock = db_.Query(TryLock(LockKey::kSummaries));
  if (!lock.ok()) return Fail();
  // Unless another service is at it: range after range until the time
  // is up or none is ready.
  for (bool ours = lock.Bool(0, 0); ours;) {
    std::vector<Range> ranges;
    if (!Choose(&ranges)) return Fail();
    if (ranges.empty()) break;
    bool unfinished = false;
    if (!Recompute(ranges.front(), start, deadline, &unfinished)) return Fail();
    if (Clock::now() >= deadline) {
      *more = unfinished || ranges.size() > 1;
      break;
    }
  }
  return db_.Exec("COMMIT") || Fail();
}

bool SummaryCatchUp::Recompute(Range range, Clock::time_point start, Clock::time_point deadline,
                               bool* more) {
  if (range.ids.size() > 1) {
    ArrayParam list(TypeOid::kInt8);
    for (int64_t id : range.ids) list.Int64(id);
    Result joined = db_.Query(
        kJoin, Params().Array(list.Finish()).Timestamp(range.from).Timestamp(range.to));
    if (!joined.ok()) return false;
    range.ids = {joined.Int64(0, 0)};
  }
  Result highest = db_.Query(kHighestPoint);
  if (!highest.ok()) return false;
  int64_t last = highest.Int32(0, 0);
  int64_t done = range.donePoint;
  // Each step fits in about the time given; a step takes a run of points.
  auto budget = std::max<Clock::duration>(deadline - start, std::chrono::milliseconds(5));
  while (done <= last) {
    int64_t end = std::min(done + pointsPerStep_, last + 1);
    auto stepStart = Clock::now();
    if (!RecomputePoints(range, static_cast<int32_t>(done), static_cast<int32_t>(end)) ||
        !db_.Run(kProgress, Params().Int64(range.ids.front()).Int32(static_cast<int32_t>(end)))) {
      return false;
    }
    done = end;
    auto took = Clock::now() - stepStart;
    if (took * 2 < budget && pointsPerStep_ < (1 << 20)) pointsPerStep_ *= 2;
    if (took > budget && pointsPerStep_ > 16) pointsPerStep_ /= 2;
    if (Clock::now() >= deadline) break;
  }
  if (done > last && !db_.Run(kDone, Params().Int64(range.ids.front()))) return false;
  *more = done <= last;
  return true;
}

}  // namespace histfeed::service::postgresql
