// SPDX-License-Identifier: Apache-2.0
// Brings the summaries up to date with the values: takes the ranges the
// commits listed in summary_backlog, once they settled (values moved on to
// later minutes, or none came for a while), and recomputes their buckets
// from the values (the finest level) and from the level below (the
// others), a run of points at a time, so that each step is short. One
// service of a database does it at a time; readers do not trust a bucket
// a waiting range meets.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_CATCH_UP_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_CATCH_UP_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "service/storage/postgresql/connection.h"

namespace histfeed::service::postgresql {

class SummaryCatchUp {
 public:
  using Clock = std::chrono::steady_clock;

  // `settleAfter`: how long a range waits for more values of its minutes
  // while no later ones come.
  SummaryCatchUp(Connection& db, std::chrono::milliseconds settleAfter)
      : db_(db), settleAfter_(settleAfter) {}

  // Recomputes settled ranges until `deadline`, in one transaction; *more
  // says whether settled ranges are left. False when the database failed.
  bool Run(Clock::time_point deadline, bool* more);
  const std::string& error() const { return error_; }

 private:
  struct Range {
    std::vector<int64_t> ids;  // the backlog rows it stands for
    int64_t from = 0, to = 0;
    int32_t donePoint = 0;
    bool settled = true;
  };

  // The ranges to work on, the first now: one under way, else the settled
  // ones, oldest first.
  bool Choose(std::vector<Range>* ranges);
  // Recomputes `range` for runs of points until `deadline`; *more when
  // points are left. `start`: when this slice began.
  bool Recompute(Range range, Clock::time_point start, Clock::time_point deadline, bool* more);
  // Recomputes the buckets of `range` for points [first, end).
  bool RecomputePoints(const Range& range, int32_t first, int32_t end);
  bool Fail();

  Connection& db_;
  std::chrono::milliseconds settleAfter_;
  int32_t pointsPerStep_ = 1024;  // adapted to the time a step takes
  std::string error_;
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_SUMMARY_CATCH_UP_H_
