// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/summary_plan.h"

#include <algorithm>
#include <limits>

#include "service/storage/summary_levels.h"

namespace histfeed::service::postgresql {
namespace {

class Planner {
 public:
  explicit Planner(const std::vector<TimeSpan>& stale) : stale_(stale) {}

  void Plan(int level, int64_t from, int64_t to) {
    if (from >= to) return;
    if (level < 0) return Add(PlannedRead::kSingleValues, from, to);
    int64_t width = BucketMillis(level);
    int64_t first = BucketStart(level, from);
    if (first < from) first += width;
    int64_t end = BucketStart(level, to);
    if (first >= end) return Plan(level - 1, from, to);
    Plan(level - 1, from, first);
    // Runs of trusted buckets read as rows; buckets a stale span meets,
    // one level finer.
    int64_t cursor = first;
    for (const TimeSpan& span : stale_) {
      if (span.to <= cursor || span.from >= end) continue;
      int64_t staleFrom = std::max(cursor, BucketStart(level, span.from));
      int64_t staleTo = std::min(end, BucketStart(level, span.to - 1) + width);
      Add(level, cursor, staleFrom);
      Plan(level - 1, staleFrom, staleTo);
      cursor = staleTo;
    }
    Add(level, cursor, end);
    Plan(level - 1, end, to);
  }

  std::vector<PlannedRead> reads;

 private:
  void Add(int level, int64_t from, int64_t to) {
    if (from >= to) return;
    if (!reads.empty() && reads.back().level == level && reads.back().to == from) {
      reads.back().to = to;
      return;
    }
    reads.push_back(PlannedRead{level, from, to});
  }

  const std::vector<TimeSpan>& stale_;
};

}  // namespace

std::vector<TimeSpan> Joined(std::vector<TimeSpan> spans) {
  std::sort(spans.begin(), spans.end(),
            [](const TimeSpan& a, const TimeSpan& b) { return a.from < b.from; });
  std::vector<TimeSpan> joined;
  for (const TimeSpan& span : spans) {
    if (span.from >= span.to) continue;
    if (!joined.empty() && span.from <= joined.back().to) {
      joined.back().to = std::max(joined.back().to, span.to);
    } else {
      joined.push_back(span);
    }
  }
  return joined;
}

std::vector<PlannedRead> PlanReads(int level, int64_t from, int64_t to,
                                   const std::vector<TimeSpan>& stale) {
  Planner planner(stale);
  planner.Plan(std::min(level, kSummaryLevels - 1), from, to);
  return std::move(planner.reads);
}

TimeSpan WholeTime() {
  constexpr int kCoarsest = kSummaryLevels - 1;
  constexpr int64_t kSeconds = std::numeric_limits<int32_t>::max();
  return TimeSpan{BucketStart(kCoarsest, -(kSeconds + 1) * 1000),
                  BucketStart(kCoarsest, (kSeconds + 1) * 1000) + BucketMillis(kCoarsest)};
}

}  // namespace histfeed::service::postgresql
