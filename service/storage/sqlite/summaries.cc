// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/summaries.h"

#include <algorithm>

namespace histfeed::service::sqlite {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kRow =
    "SELECT count, min, max, first_ms, first, last_ms, last FROM summaries "
    "WHERE level = ?1 AND bucket = ?2 AND point_id = ?3";
constexpr const char* kWriteRow =
    "INSERT OR REPLACE INTO summaries (level, bucket, point_id, count, min, max, first_ms, first, "
    "last_ms, last) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";
constexpr const char* kDeleteRow =
    "DELETE FROM summaries WHERE level = ?1 AND bucket = ?2 AND point_id = ?3";
constexpr const char* kDeleteOlder = "DELETE FROM summaries WHERE level = ?1 AND bucket <= ?2";
constexpr const char* kBacklog =
    "SELECT id, point_id, from_ms, to_ms, done_ms FROM summary_backlog ORDER BY id";
constexpr const char* kBacklogOf =
    "SELECT id, point_id, from_ms, to_ms, done_ms FROM summary_backlog WHERE point_id = ?1";
constexpr const char* kAddBacklog =
    "INSERT INTO summary_backlog (point_id, from_ms, to_ms, done_ms) VALUES (?1, ?2, ?3, ?2)";
constexpr const char* kProgress = "UPDATE summary_backlog SET done_ms = ?2 WHERE id = ?1";
constexpr const char* kDone = "DELETE FROM summary_backlog WHERE id = ?1";
constexpr const char* kDropOlderBacklog = "DELETE FROM summary_backlog WHERE to_ms <= ?1";

// Values catching up reads and summarizes at a time, between looks at the
// clock.
constexpr int64_t kValuesPerStretch = 65'536;

BacklogRange RangeOf(Statement& row) {
  return BacklogRange{row.Int(0), row.Int(1), row.Int(2), row.Int(3), row.Int(4)};
}

}  // namespace

std::vector<BacklogRange> LoadBacklog(Connection& db, int64_t point, bool* ok) {
  std::vector<BacklogRange> ranges;
  ScopedStatement query = db.Cached(kBacklogOf);
  query->Bind(1, point);
  int step;
  while ((step = query->Step()) == SQLITE_ROW) ranges.push_back(RangeOf(*query));
  *ok = step == SQLITE_DONE;
  return ranges;
}

SummaryWalk::SummaryWalk(Connection& db, Blocks& blocks, int64_t point, int64_t packedLast,
                         std::vector<BacklogRange> backlog)
    : db_(db), blocks_(blocks), point_(point), packedLast_(packedLast),
      backlog_(std::move(backlog)) {}

void SummaryWalk::Advance(int64_t rangeId, int64_t done) {
  for (auto range = backlog_.begin(); range != backlog_.end(); ++range) {
    if (range->id != rangeId) continue;
    if (done == kNoTime) {
      backlog_.erase(range);
    } else {
      range->done = done;
    }
    return;
  }
}

bool SummaryWalk::Walk(int level, int64_t from, int64_t to, const RowVisitor& onRow,
                       const ValueVisitor& onValue, std::string* error) {
  if (packedLast_ == kNoTime) return true;
  int64_t first = blocks_.FirstMillis(point_);
  if (first == kNoTime) return true;
  from = std::max(from, first);
  to = std::min(to, packedLast_ + 1);
  if (from >= to) return true;
  onRow_ = &onRow;
  onValue_ = &onValue;
  error_ = error;
  stopped_ = false;
  singlesFrom_ = singlesTo_ = 0;
  return WalkLevel(std::min(level, kSummaryLevels - 1), from, to) && FlushSingles();
}

SummaryWalk::Source SummaryWalk::SourceOf(int level, int64_t bucket, BucketStats* stats,
                                          bool* failed) {
  int64_t width = BucketMillis(level);
  if (bucket + width > packedLast_) return Source::kFiner;  // not complete yet
  for (const BacklogRange& range : backlog_) {
    if (range.Spoils(bucket, width)) return Source::kFiner;
  }
  ScopedStatement row = db_.Cached(kRow);
  row->Bind(1, int64_t{level}).Bind(2, bucket).Bind(3, point_);
  int step = row->Step();
  if (step == SQLITE_ROW) {
    *stats = BucketStats{row->Int(0), row->Real(1), row->Real(2), row->Int(3),
                         row->Int(5), row->Real(4), row->Real(6)};
    return Source::kRow;
  }
  *failed = step != SQLITE_DONE;
  return Source::kSingles;
}

bool SummaryWalk::WalkLevel(int level, int64_t from, int64_t to) {
  if (stopped_ || from >= to) return true;
  if (level < 0) return Single(from, to);
  int64_t width = BucketMillis(level);
  int64_t bucket = BucketStart(level, from);
  if (bucket < from) {
    if (!WalkLevel(level - 1, from, std::min(bucket + width, to))) return false;
    bucket += width;
  }
  for (; bucket + width <= to && !stopped_; bucket += width) {
    BucketStats stats;
    bool failed = false;
    switch (SourceOf(level, bucket, &stats, &failed)) {
      case Source::kRow:
        (*onRow_)(stats);
        break;
      case Source::kFiner:
        if (!WalkLevel(level - 1, bucket, bucket + width)) return false;
        break;
      case Source::kSingles:
        if (failed) {
          *error_ = db_.Error();
          return false;
        }
        if (!Single(bucket, bucket + width)) return false;
        break;
    }
  }
  return bucket >= to || WalkLevel(level - 1, bucket, to);
}

bool SummaryWalk::Single(int64_t from, int64_t to) {
  if (singlesTo_ > singlesFrom_ && singlesTo_ == from) {
    singlesTo_ = to;
    return true;
  }
  if (!FlushSingles()) return false;
  singlesFrom_ = from;
  singlesTo_ = to;
  return true;
}

bool SummaryWalk::FlushSingles() {
  if (singlesTo_ <= singlesFrom_ || stopped_) return true;
  int64_t from = singlesFrom_, to = singlesTo_;
  singlesFrom_ = singlesTo_ = 0;
  return blocks_.Read(
      point_, from, to,
      [this](const Sample& sample) {
        if (!sample.Drawable()) return true;
        if (!(*onValue_)(sample.millis, sample.value)) stopped_ = true;
        return !stopped_;
      },
      error_);
}

bool SummaryWalk::Compute(int level, int64_t bucket, BucketStats* stats, std::string* error) {
  *stats = BucketStats{};
  return Walk(
      level - 1, bucket, bucket + BucketMillis(level),
      [stats](const BucketStats& row) { stats->Merge(row); },
      [stats](int64_t millis, double value) {
        stats->Add(millis, value);
        return true;
      },
      error);
}

bool Summaries::Load() {
  backlog_.clear();
  ScopedStatement query = db_.Cached(kBacklog);
  int step;
  while ((step = query->Step()) == SQLITE_ROW) backlog_.push_back(RangeOf(*query));
  if (step != SQLITE_DONE) {
    lastError_ = db_.Error();
    return false;
  }
  return true;
}

void Summaries::Forget(const std::vector<int64_t>& points) {
  for (int64_t point : points) running_.erase(point);
  Load();
}

std::vector<BacklogRange> Summaries::BacklogOf(int64_t point) const {
  std::vector<BacklogRange> ranges;
  for (const BacklogRange& range : backlog_) {
    if (range.point == point) ranges.push_back(range);
  }
  return ranges;
}

bool Summaries::Write(int level, int64_t bucket, int64_t point, const BucketStats& stats) {
  if (stats.count < kSummaryMinCount) {
    ScopedStatement remove = db_.Cached(kDeleteRow);
    return remove->Bind(1, int64_t{level}).Bind(2, bucket).Bind(3, point).Run();
  }
  ScopedStatement write = db_.Cached(kWriteRow);
  return write->Bind(1, int64_t{level}).Bind(2, bucket).Bind(3, point).Bind(4, stats.count)
      .Bind(5, stats.min).Bind(6, stats.max).Bind(7, stats.firstMillis).Bind(8, stats.first)
      .Bind(9, stats.lastMillis).Bind(10, stats.last).Run();
}

bool Summaries::Complete(SummaryWalk& walk, int level, int64_t bucket, const Running* running,
                         int64_t point) {
  BucketStats stats;
  if (running != nullptr && running->known) {
    stats = running->stats;
  } else if (!walk.Compute(level, bucket, &stats, &lastError_)) {
    return false;
  }
  if (Write(level, bucket, point, stats)) return true;
  lastError_ = db_.Error();
  return false;
}

bool Summaries::Feed(SummaryWalk& walk, Levels& levels, int64_t previous, const Sample& sample,
                     int64_t point) {
  // Finest first: a coarse bucket is computed from the rows below it.
  for (int level = 0; level < kSummaryLevels; ++level) {
    Running& running = levels[static_cast<size_t>(level)];
    // Most values fall into the bucket of the one before: no division.
    bool same = running.active && sample.millis >= running.bucket &&
                sample.millis - running.bucket < BucketMillis(level);
    if (!same) {
      if (running.active && !Complete(walk, level, running.bucket, &running, point)) return false;
      int64_t bucket = BucketStart(level, sample.millis);
      running = Running{bucket, BucketStats{}, true, previous == kNoTime || previous < bucket};
    }
    if (sample.Drawable()) running.stats.Add(sample.millis, sample.value);
  }
  return true;
}

bool Summaries::Packed(int64_t point, int64_t previousLast, int64_t last,
                       const std::vector<StoredValue>& samples) {
  Levels& levels = running_[point];
  SummaryWalk walk(db_, blocks_, point, last, BacklogOf(point));
  int64_t previous = previousLast;
  for (const StoredValue& sample : samples) {
    if (!Feed(walk, levels, previous, Sample::Of(sample), point)) return false;
    previous = sample.millis;
  }
  return true;
}

void Summaries::Untrust(int64_t point, int64_t from, int64_t to) {
  auto found = running_.find(point);
  if (found == running_.end()) return;
  for (int level = 0; level < kSummaryLevels; ++level) {
    Running& running = found->second[static_cast<size_t>(level)];
    if (running.active && running.bucket < to && running.bucket + BucketMillis(level) > from) {
      running.known = false;
    }
  }
}

bool Summaries::Recompute(int64_t point, int64_t from, int64_t to) {
  from = BucketStart(0, from);
  to = BucketStart(0, to) + BucketMillis(0);
  for (const BacklogRange& range : backlog_) {
    if (range.point == point && range.from == from && range.to == to && range.done == from) {
      return true;  // already waiting
    }
  }
  ScopedStatement add = db_.Cached(kAddBacklog);
  if (!add->Bind(1, point).Bind(2, from).Bind(3, to).Run()) {
    lastError_ = db_.Error();
    return false;
  }
  backlog_.push_back(BacklogRange{sqlite3_last_insert_rowid(db_.get()), point, from, to, from});
  Untrust(point, from, to);
  return true;
}

bool Summaries::Changed(int64_t point, const std::vector<int64_t>& millis) {
  std::vector<int64_t> buckets;
  for (int64_t at : millis) buckets.push_back(BucketStart(0, at));
  std::sort(buckets.begin(), buckets.end());
  buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
  // Neighbouring minutes make one range.
  for (size_t i = 0; i < buckets.size();) {
    size_t j = i + 1;
    while (j < buckets.size() && buckets[j] == buckets[j - 1] + BucketMillis(0)) ++j;
    if (!Recompute(point, buckets[i], buckets[j - 1])) return false;
    i = j;
  }
  return true;
}

bool Summaries::CatchUp(Clock::time_point deadline, bool* more) {
  while (!backlog_.empty() && Clock::now() < deadline) {
    if (!CatchUpRange()) return false;
  }
  *more = !backlog_.empty();
  return true;
}

bool Summaries::CatchUpRange() {
  BacklogRange range = backlog_.front();
  PointBlocks tally;
  if (!blocks_.Tally(range.point, &tally)) {
    lastError_ = db_.Error();
    return false;
  }
  int64_t packedLast = tally.lastMillis;
  // The next stretch of stored values, whole minutes of them. They are read
  // before they are summarized: summarizing reads the blocks too.
  std::vector<StoredValue> stretch;
  int64_t stretchEnd = range.to;
  std::string readError;
  if (!blocks_.Read(
          range.point, range.done, range.to,
          [&](const Sample& sample) {
            int64_t minute = BucketStart(0, sample.millis);
            if (static_cast<int64_t>(stretch.size()) >= kValuesPerStretch &&
                minute > BucketStart(0, stretch.back().millis)) {
              stretchEnd = minute;
              return false;
            }
            stretch.push_back(sample.Owned());
            return true;
          },
          &readError)) {
    lastError_ = readError;
    return false;
  }
  // The buckets are replayed from the stored values, as packing them did;
  // the first one of each level may have begun before `done`, so it is
  // computed from the rows below instead.
  SummaryWalk walk(db_, blocks_, range.point, packedLast, BacklogOf(range.point));
  Levels levels;
  int64_t previous = range.done - 1;
  for (const StoredValue& sample : stretch) {
    int64_t minute = BucketStart(0, sample.millis);
    // A new minute: the ones before it are done.
    if (minute > BucketStart(0, previous)) walk.Advance(range.id, minute);
    if (!Feed(walk, levels, previous, Sample::Of(sample), range.point)) return false;
    previous = sample.millis;
  }
  if (stretchEnd == range.to) return Finish(range, walk, levels, packedLast);
  // What came before the stretch's end is done; the buckets under way are
  // taken up again with the next stretch.
  for (int level = 0; level < kSummaryLevels; ++level) {
    const Running& running = levels[static_cast<size_t>(level)];
    if (running.active && running.bucket + BucketMillis(level) <= stretchEnd &&
        !Complete(walk, level, running.bucket, &running, range.point)) {
      return false;
    }
  }
  ScopedStatement progress = db_.Cached(kProgress);
  if (!progress->Bind(1, range.id).Bind(2, stretchEnd).Run()) {
    lastError_ = db_.Error();
    return false;
  }
  backlog_.front().done = stretchEnd;
  return true;
}

bool Summaries::Finish(const BacklogRange& range, SummaryWalk& walk, Levels& levels,
                       int64_t packedLast) {
  // Every row within the range is written now; the buckets that reach
  // past either end, and the last one of each level, are computed from the
  // level below, finest first.
  walk.Advance(range.id, kNoTime);
  for (int level = 0; level < kSummaryLevels; ++level) {
    int64_t width = BucketMillis(level);
    std::vector<int64_t> buckets = {BucketStart(level, range.from),
                                    BucketStart(level, range.to - 1)};
    const Running& running = levels[static_cast<size_t>(level)];
    if (running.active) buckets.push_back(running.bucket);
    std::sort(buckets.begin(), buckets.end());
    buckets.erase(std::unique(buckets.begin(), buckets.end()), buckets.end());
    for (int64_t bucket : buckets) {
      if (bucket + width > packedLast) continue;  // not complete: packing will finish it
      // The replay's own summary holds the whole bucket only when it began
      // and ended within the range.
      bool replayed = running.active && running.bucket == bucket && running.known &&
                      bucket + width <= range.to;
      if (!Complete(walk, level, bucket, replayed ? &running : nullptr, range.point)) {
        return false;
      }
    }
  }
  Untrust(range.point, range.from, range.to);
  ScopedStatement done = db_.Cached(kDone);
  if (!done->Bind(1, range.id).Run()) {
    lastError_ = db_.Error();
    return false;
  }
  backlog_.erase(backlog_.begin());
  return true;
}

bool Summaries::RemoveOlder(int64_t before) {
  for (int level = 0; level < kSummaryLevels; ++level) {
    ScopedStatement remove = db_.Cached(kDeleteOlder);
    if (!remove->Bind(1, int64_t{level}).Bind(2, before - BucketMillis(level)).Run()) {
      lastError_ = db_.Error();
      return false;
    }
  }
  ScopedStatement drop = db_.Cached(kDropOlderBacklog);
  if (!drop->Bind(1, before).Run()) {
    lastError_ = db_.Error();
    return false;
  }
  std::erase_if(backlog_, [before](const BacklogRange& range) { return range.to <= before; });
  return true;
}

}  // namespace histfeed::service::sqlite
