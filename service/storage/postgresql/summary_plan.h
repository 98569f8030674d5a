// SPDX-License-Identifier: Apache-2.0
// How to read a point's numbers over a range from the summaries: the
// buckets of the chosen level that lie wholly inside it and whose rows
// can be trusted, finer levels at the edges and where rows are stale, and
// single values below the finest level.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_PLAN_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_PLAN_H_

#include <cstdint>
#include <vector>

namespace histfeed::service::postgresql {

struct TimeSpan {
  int64_t from = 0, to = 0;  // [from, to) in milliseconds since 1970
  bool operator==(const TimeSpan&) const = default;
};

// One read: the rows of `level` for buckets in [from, to), or with level
// kSingleValues the stored values in [from, to).
struct PlannedRead {
  static constexpr int kSingleValues = -1;
  int level = kSingleValues;
  int64_t from = 0, to = 0;
  bool operator==(const PlannedRead&) const = default;
};

// Sorts and joins spans that overlap or touch.
std::vector<TimeSpan> Joined(std::vector<TimeSpan> spans);

// The reads that cover [from, to) exactly once, in time order, using rows
// of `level` or finer and none of a bucket that meets a span of `stale`
// (as Joined returns them).
std::vector<PlannedRead> PlanReads(int level, int64_t from, int64_t to,
                                   const std::vector<TimeSpan>& stale);

// The span every value can have: from before 1901 to after 2038, whole
// buckets of the coarsest level.
TimeSpan WholeTime();

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_PLAN_H_
