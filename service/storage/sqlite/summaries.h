// SPDX-License-Identifier: Apache-2.0
// The summary rows (summary_levels.h) in the database: read back for a
// range, written as packing completes buckets, and recomputed for ranges
// whose packed values changed or that arrived without summaries.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_SUMMARIES_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_SUMMARIES_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <string>
#include <vector>

#include "service/storage/sqlite/blocks.h"
#include "service/storage/sqlite/statement.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service::sqlite {

// A range of a point whose summaries are being recomputed; buckets before
// `done` (and from `from` on) are done.
struct BacklogRange {
  int64_t id = 0, point = 0, from = 0, to = 0, done = 0;

  // Whether the row of a bucket cannot be trusted yet.
  bool Spoils(int64_t bucket, int64_t width) const {
    if (bucket + width <= from || bucket >= to) return false;
    return bucket < from || bucket + width > done;
  }
};

std::vector<BacklogRange> LoadBacklog(Connection& db, int64_t point, bool* ok);

// Reads a point's numbers over a range: the rows that can be trusted, and
// single values where there are none (sparse buckets, buckets not yet
// complete or being recomputed, the edges of the range).
class SummaryWalk {
 public:
  using RowVisitor = std::function<void(const BucketStats&)>;
  using ValueVisitor = std::function<bool(int64_t millis, double value)>;

  // `packedLast`: the time of the point's last packed value; buckets
  // reaching past it are not complete.
  SummaryWalk(Connection& db, Blocks& blocks, int64_t point, int64_t packedLast,
              std::vector<BacklogRange> backlog);

  // Takes that a range being recomputed is done up to `done` (or, with
  // kNoTime, wholly).
  void Advance(int64_t rangeId, int64_t done);

  // Everything in [from, to) from rows of `level` or finer. False when the
  // database failed (`error` says why); a value visitor that stops is no
  // failure.
  bool Walk(int level, int64_t from, int64_t to, const RowVisitor& onRow,
            const ValueVisitor& onValue, std::string* error);
  // The summary of one complete bucket, from the level below.
  bool Compute(int level, int64_t bucket, BucketStats* stats, std::string* error);

 private:
  enum class Source { kRow, kSingles, kFiner };

  bool WalkLevel(int level, int64_t from, int64_t to);
  // Where a complete bucket's numbers come from: its row, its single
  // values (too few for a row) or the level below (its row is untrusted).
  Source SourceOf(int level, int64_t bucket, BucketStats* stats, bool* failed);
  // Adds [from, to) to the range to read value by value.
  bool Single(int64_t from, int64_t to);
  bool FlushSingles();

  Connection& db_;
  Blocks& blocks_;
  int64_t point_;
  int64_t packedLast_;
  std::vector<BacklogRange> backlog_;
  const RowVisitor* onRow_ = nullptr;
  const ValueVisitor* onValue_ = nullptr;
  std::string* error_ = nullptr;
  int64_t singlesFrom_ = 0, singlesTo_ = 0;
  bool stopped_ = false;
};

// Keeps the summaries up to date as the writer packs values.
class Summaries {
 public:
  Summaries(Connection& db, Blocks& blocks) : db_(db), blocks_(blocks) {}

  // Loads the ranges waiting to be recomputed.
  bool Load();
  // Forgets what was learned in a transaction that did not commit.
  void Forget(const std::vector<int64_t>& points);

  // Values just packed for `point`, in time order, all later than
  // `previousLast` (its last packed value before them, or kNoTime); `last`
  // is its last packed value now. Writes the buckets they complete.
  bool Packed(int64_t point, int64_t previousLast, int64_t last,
              const std::vector<StoredValue>& samples);
  // Packed values of `point` at these times changed: their buckets are
  // recomputed later, and untrusted meanwhile.
  bool Changed(int64_t point, const std::vector<int64_t>& millis);
  // Asks for every bucket of [from, to] of `point` to be computed anew.
  bool Recompute(int64_t point, int64_t from, int64_t to);
  // Recomputes backlog until `deadline`; *more says whether any is left.
  bool CatchUp(std::chrono::steady_clock::time_point deadline, bool* more);
  // Why the last call failed.
  const std::string& error() const { return lastError_; }
  // Removes the rows of buckets that ended before `before`.
  bool RemoveOlder(int64_t before);

  bool HasBacklog() const { return !backlog_.empty(); }
  // The ranges of `point` being recomputed.
  std::vector<BacklogRange> BacklogOf(int64_t point) const;

 private:
  struct Running {
    int64_t bucket = 0;
    BucketStats stats;
    bool active = false;
    bool known = false;  // it holds every value of its bucket
  };
  using Levels = std::array<Running, kSummaryLevels>;

  // Feeds one value through the running buckets, completing those it
  // leaves; `previous` is the point's value before it.
  bool Feed(SummaryWalk& walk, Levels& levels, int64_t previous, const Sample& sample,
            int64_t point);
  // Writes the row of a complete bucket, computing it when its running
  // summary missed values.
  bool Complete(SummaryWalk& walk, int level, int64_t bucket, const Running* running,
                int64_t point);
  bool Write(int level, int64_t bucket, int64_t point, const BucketStats& stats);
  // Recomputes a stretch of the oldest range in the backlog.
  bool CatchUpRange();
  bool Finish(const BacklogRange& range, SummaryWalk& walk, Levels& levels, int64_t packedLast);
  // The point's running buckets within [from, to) have missed a change.
  void Untrust(int64_t point, int64_t from, int64_t to);

  Connection& db_;
  Blocks& blocks_;
  std::unordered_map<int64_t, Levels> running_;  // by point
  std::vector<BacklogRange> backlog_;          // in the order they came
  std::string lastError_;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_SUMMARIES_H_
