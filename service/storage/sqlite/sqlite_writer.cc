// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/sqlite_writer.h"

#include <algorithm>
#include <limits>
#include <map>

namespace histfeed::service::sqlite {
namespace {

constexpr const char* kPoints = "SELECT id, family, id_kind, name FROM points";
constexpr const char* kNewPoint = "INSERT INTO points (family, id_kind, name) VALUES (?1, ?2, ?3)";
constexpr const char* kSetConfig =
    "UPDATE points SET record_type = ?2, point_id = ?3, long_id = ?4, ext_id = ?5, "
    "description = ?6, units = ?7, raw = ?8, config_received_at = ?9 WHERE id = ?1";
// A deletion names a point by one of its identifiers.
constexpr const char* kDeleteConfigs =
    "UPDATE points SET record_type = NULL, point_id = NULL, long_id = NULL, ext_id = NULL, "
    "description = NULL, units = NULL, raw = NULL, config_received_at = NULL "
    "WHERE family = ?1 AND record_type IS NOT NULL AND "
    "CASE ?2 WHEN 'point' THEN point_id WHEN 'long' THEN long_id ELSE ext_id END = ?3";
constexpr const char* kLogDeletion =
    "INSERT INTO deletions (point_id, received_at) VALUES (?1, ?2)";
constexpr const char* kJournal = "SELECT id, data FROM journal ORDER BY id";
constexpr const char* kAppendJournal = "INSERT INTO journal (data) VALUES (?1)";
constexpr const char* kTrimJournal = "DELETE FROM journal WHERE id < ?1";
constexpr const char* kLastRecord = "SELECT seq FROM sqlite_sequence WHERE name = 'journal'";
constexpr const char* kTallied =
    "SELECT point_id FROM point_blocks WHERE point_id > ?1 ORDER BY point_id LIMIT ?2";

// Points one slice of maintenance looks at for old values.
constexpr int64_t kRetentionPointsPerSlice = 256;
constexpr int64_t kRetentionBlocksPerPoint = 1000;
// Points a slice of maintenance packs because their values waited long.
constexpr size_t kStalePointsPerSlice = 2000;

double SecondsSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

// What one transaction changes beyond the points' own states, applied to
// the writer's memory only once it is committed.
struct SqliteWriter::Stage {
  std::string journal;  // the record's bytes
  int64_t previousMillis = 0;
  int64_t journaled = 0;
  int64_t record = 0;  // its number once written; 0 for none
  std::vector<std::string> texts;  // of the values staged
  std::vector<int64_t> touched;    // points with staged values or a new tally
  // Values among a point's packed ones, merged into its blocks.
  std::map<int64_t, std::vector<StoredValue>> late;
  struct NewPoint {
    std::string family, idKind, name;
    int64_t id;
  };
  std::vector<NewPoint> newPoints;
  PointNames newNames;
  std::vector<int64_t> packed;
  int64_t upTo = 0;  // the journal record packed points are packed up to
  int64_t journalFloor = 0;
};

SqliteWriter::SqliteWriter(Connection& db, const WriterSettings& settings)
    : db_(db), blocks_(db), summaries_(db, blocks_), settings_(settings) {}

bool SqliteWriter::Load(std::string* error) {
  names_.Clear();
  points_.clear();
  tail_.Clear();
  {
    ScopedStatement points = db_.Cached(kPoints);
    int step;
    while ((step = points->Step()) == SQLITE_ROW) {
      names_.Add(points->Bytes(1), points->Bytes(2), points->Bytes(3), points->Int(0));
    }
    if (step != SQLITE_DONE) {
      *error = db_.Error();
      return false;
    }
  }
  // The values still in the journal, as the writer left them: its picture
  // of what waits to be packed is rebuilt from the records.
  lastRecord_ = db_.QueryInt(kLastRecord, 0);
  journalFloor_ = lastRecord_ + 1;
  {
    ScopedStatement records = db_.Cached(kJournal);
    int step;
    auto now = Clock::now();
    while ((step = records->Step()) == SQLITE_ROW) {
      int64_t record = records->Int(0);
      journalFloor_ = std::min(journalFloor_, record);
      recordTimes_.emplace_back(record, now);
      if (!tail_.ApplyRecord(record, records->Bytes(1),
                             [this](int64_t point) { return TallyOf(point).journalUpTo; })) {
        *error = "journal record " + std::to_string(record) + " is damaged";
        return false;
      }
    }
    if (step != SQLITE_DONE || tallyFailed_) {
      *error = db_.Error();
      return false;
    }
  }
  if (!summaries_.Load()) {
    *error = summaries_.error();
    return false;
  }
  return true;
}

SqliteWriter::PointState& SqliteWriter::StateOf(int64_t point) {
  if (static_cast<size_t>(point) >= points_.size()) points_.resize(static_cast<size_t>(point) + 1);
  PointState& state = points_[static_cast<size_t>(point)];
  if (!state.tallyKnown) {
    // Read once per point; from then on the writer keeps it. A failed read
    // fails the transaction: a wrong tally would put values in the wrong place.
    if (blocks_.Tally(point, &state.tally)) {
      state.tallyKnown = true;
    } else {
      tallyFailed_ = true;
    }
  }
  return state;
}

PointBlocks SqliteWriter::TallyOf(int64_t point) {
  PointState& state = StateOf(point);
  return state.newTally ? *state.newTally : state.tally;
}

bool SqliteWriter::SetTally(int64_t point, const PointBlocks& tally, Stage* stage) {
  PointState& state = StateOf(point);
  if (!state.touched) {
    state.touched = true;
    stage->touched.push_back(point);
  }
  state.newTally = tally;
  return blocks_.SetTally(point, tally);
}

Sample SqliteWriter::SampleOf(const Staged& staged, const Stage& stage) const {
  Sample sample;
  sample.millis = staged.millis;
  sample.status = staged.status;
  sample.isText = staged.text >= 0;
  sample.value = staged.value;
  if (sample.isText) sample.text = stage.texts[static_cast<size_t>(staged.text)];
  return sample;
}

bool SqliteWriter::PointOf(const std::string& family, IdKind kind, const std::string& name,
                           Stage* stage, int64_t* id) {
  const char* idKind = IdKindName(kind);
  *id = names_.Find(family, idKind, name);
  if (*id == 0) *id = stage->newNames.Find(family, idKind, name);
  if (*id != 0) return true;
  ScopedStatement insert = db_.Cached(kNewPoint);
  if (!insert->BindText(1, family).BindText(2, idKind).Bind(3, name).Run()) return false;
  *id = sqlite3_last_insert_rowid(db_.get());
  stage->newNames.Add(family, idKind, name, *id);
  stage->newPoints.push_back(Stage::NewPoint{family, idKind, name, *id});
  return true;
}

bool SqliteWriter::StageValue(const ValueRow& row, Stage* stage) {
  int64_t id = 0;
  if (!PointOf(row.family, row.idKind, row.point, stage, &id)) return false;
  Sample sample;
  sample.millis = row.Millis();
  sample.status = row.status;
  sample.isText = row.isText;
  sample.value = row.isText ? 0 : row.value;
  if (row.isText) sample.text = row.text;
  PointState& state = StateOf(id);

  // An identical repeat changes nothing; a repeat with another value or
  // status replaces the earlier one, wherever that is: among this
  // transaction's values, in the journal, or packed.
  std::vector<Staged>& staged = state.staged;
  auto at = staged.end();
  if (!staged.empty() && sample.millis <= staged.back().millis) {
    at = std::lower_bound(
        staged.begin(), staged.end(), sample.millis,
        [](const Staged& value, int64_t millis) { return value.millis < millis; });
  }
  if (at != staged.end() && at->millis == sample.millis) {
    if (SampleOf(*at, *stage).SameAs(sample)) return true;
  } else if (const JournalTail::PointValues* waiting = tail_.Find(id);
             waiting != nullptr && sample.millis <= waiting->entries.back().millis) {
    const JournalTail::Entry* entry = waiting->Find(sample.millis);
    if (entry != nullptr && waiting->SampleOf(*entry).SameAs(sample)) return true;
    if (entry == nullptr && state.tally.lastMillis != kNoTime &&
        sample.millis <= state.tally.lastMillis) {
      stage->late[id].push_back(sample.Owned());
      return true;
    }
  } else if (state.tally.lastMillis != kNoTime && sample.millis <= state.tally.lastMillis) {
    stage->late[id].push_back(sample.Owned());
    return true;
  }
  AppendJournalEntry(&stage->journal, id, stage->previousMillis, sample);
  stage->previousMillis = sample.millis;
  ++stage->journaled;
  Staged value{sample.millis, sample.value, sample.status, -1};
  if (sample.isText) {
    value.text = static_cast<int32_t>(stage->texts.size());
    stage->texts.emplace_back(sample.text);
  }
  if (!state.touched) {
    state.touched = true;
    stage->touched.push_back(id);
  }
  if (at == staged.end()) {
    staged.push_back(value);
  } else if (at->millis == sample.millis) {
    *at = value;
  } else {
    staged.insert(at, value);
  }
  return true;
}

bool SqliteWriter::StoreConfig(const ConfigRow& row, Stage* stage) {
  int64_t id = 0;
  if (!PointOf(row.family, row.idKind, row.point, stage, &id)) return false;
  ScopedStatement set = db_.Cached(kSetConfig);
  std::string_view raw(reinterpret_cast<const char*>(row.raw.data()), row.raw.size());
  return set->Bind(1, id).Bind(2, int64_t{row.recordType}).Bind(3, row.pointId)
      .Bind(4, row.longId).Bind(5, row.extId).Bind(6, row.description).Bind(7, row.units)
      .Bind(8, raw).Bind(9, SecondsSince1970()).Run();
}

bool SqliteWriter::StoreDeletion(const DeletionRow& row, Stage* stage) {
  {
    ScopedStatement remove = db_.Cached(kDeleteConfigs);
    if (!remove->BindText(1, row.family).BindText(2, IdKindName(row.idKind)).Bind(3, row.point)
             .Run()) {
      return false;
    }
  }
  int64_t id = 0;
  if (!PointOf(row.family, row.idKind, row.point, stage, &id)) return false;
  ScopedStatement log = db_.Cached(kLogDeletion);
  return log->Bind(1, id).Bind(2, SecondsSince1970()).Run();
}

bool SqliteWriter::StageBatch(const Batch& batch, Stage* stage) {
  for (const ValueRow& row : batch.values) {
    if (!StageValue(row, stage)) return false;
  }
  for (const ConfigRow& row : batch.configs) {
    if (!StoreConfig(row, stage)) return false;
  }
  for (const DeletionRow& row : batch.deletions) {
    if (!StoreDeletion(row, stage)) return false;
  }
  return true;
}

bool SqliteWriter::MergeLate(Stage* stage) {
  for (auto& [point, samples] : stage->late) {
    // In time order; of two with one time, the later one wins.
    std::stable_sort(
        samples.begin(), samples.end(),
        [](const StoredValue& a, const StoredValue& b) { return a.millis < b.millis; });
    int64_t added = 0;
    std::vector<int64_t> changed;
    if (!blocks_.Merge(point, samples, &added, &changed)) return false;
    if (changed.empty()) continue;
    PointBlocks tally = TallyOf(point);
    tally.count += added;
    if (!SetTally(point, tally, stage) || !summaries_.Changed(point, changed)) return false;
  }
  return true;
}

bool SqliteWriter::WriteJournal(Stage* stage) {
  stage->upTo = lastRecord_;
  if (stage->journaled == 0) return true;
  ScopedStatement append = db_.Cached(kAppendJournal);
  if (!append->Bind(1, stage->journal).Run()) return false;
  stage->record = stage->upTo = sqlite3_last_insert_rowid(db_.get());
  return true;
}

bool SqliteWriter::PackPoint(int64_t point, Stage* stage, int64_t* packed) {
  PointState& state = StateOf(point);
  if (state.packed) return true;
  state.packed = true;
  stage->packed.push_back(point);
  // What the journal holds of the point, with this transaction's values
  // put in at their times.
  std::vector<StoredValue> samples;
  const JournalTail::PointValues* waiting = tail_.Find(point);
  samples.reserve(state.staged.size() + (waiting != nullptr ? waiting->entries.size() : 0));
  if (waiting != nullptr) {
    for (const JournalTail::Entry& entry : waiting->entries) {
      samples.push_back(waiting->SampleOf(entry).Owned());
    }
  }
  for (const Staged& value : state.staged) {
    StoredValue sample = SampleOf(value, *stage).Owned();
    if (samples.empty() || samples.back().millis < sample.millis) {
      samples.push_back(std::move(sample));
      continue;
    }
    auto at = std::lower_bound(
        samples.begin(), samples.end(), sample.millis,
        [](const StoredValue& earlier, int64_t millis) { return earlier.millis < millis; });
    if (at != samples.end() && at->millis == sample.millis) {
      *at = std::move(sample);
    } else {
      samples.insert(at, std::move(sample));
    }
  }
  if (samples.empty()) return true;
  PointBlocks tally = TallyOf(point);
  int64_t previousLast = tally.lastMillis;
  tally.count += static_cast<int64_t>(samples.size());
  tally.lastMillis = samples.back().millis;
  tally.journalUpTo = stage->upTo;
  *packed += static_cast<int64_t>(samples.size());
  return blocks_.Append(point, samples) && SetTally(point, tally, stage) &&
         summaries_.Packed(point, previousLast, tally.lastMillis, samples);
}

bool SqliteWriter::Pack(Stage* stage, int64_t limit, Clock::time_point deadline) {
  int64_t packed = 0;
  // A point with a block's worth of values waiting is packed at once.
  for (int64_t point : stage->touched) {
    const JournalTail::PointValues* waiting = tail_.Find(point);
    size_t held = points_[static_cast<size_t>(point)].staged.size() +
                  (waiting != nullptr ? waiting->entries.size() : 0);
    if (held >= static_cast<size_t>(kBlockValues) && !PackPoint(point, stage, &packed)) {
      return false;
    }
  }
  // Past the limit, runs of points are packed in number order: every point
  // gets its turn, and each transaction touches a few neighbouring points'
  // pages instead of pages all over.
  int64_t excess = tail_.size() + stage->journaled - packed - limit;
  int64_t count = static_cast<int64_t>(points_.size());
  for (int64_t looked = 0; excess > 0 && looked < count; ++looked) {
    if (looked % 16 == 15 && Clock::now() > deadline) break;
    int64_t point = sweep_ < 1 || sweep_ >= count ? 1 : sweep_;
    sweep_ = point + 1;
    if (point >= count) break;
    bool waiting = !points_[static_cast<size_t>(point)].staged.empty() || tail_.Find(point);
    if (!waiting) continue;
    int64_t before = packed;
    if (!PackPoint(point, stage, &packed)) return false;
    excess -= packed - before;
  }
  return true;
}

bool SqliteWriter::WorkWaiting() const {
  bool stale = !recordTimes_.empty() &&
               recordTimes_.front().second < Clock::now() - settings_.packAfter;
  bool retention = settings_.retain.count() > 0 && Clock::now() >= nextRetention_;
  return tail_.size() > settings_.journalWindow || stale || retention || summaries_.HasBacklog() ||
         retentionPoint_ != 0;
}

bool SqliteWriter::PackStale(Stage* stage, Clock::time_point deadline, bool* more) {
  // The first record younger than the wait allowed: values before it have
  // waited long enough.
  auto limit = Clock::now() - settings_.packAfter;
  int64_t youngest = lastRecord_ + 1;
  for (const auto& [record, written] : recordTimes_) {
    if (written > limit) {
      youngest = record;
      break;
    }
  }
  std::vector<int64_t> stale;
  tail_.ForEach(0, [&](int64_t point, const JournalTail::PointValues& values) {
    if (values.oldestRecord < youngest) stale.push_back(point);
  });
  int64_t packed = 0;
  size_t done = 0;
  for (; done < stale.size() && done < kStalePointsPerSlice && Clock::now() < deadline; ++done) {
    if (!PackPoint(stale[done], stage, &packed)) return false;
  }
  *more = *more || done < stale.size();
  return true;
}

bool SqliteWriter::TrimJournal(Stage* stage) {
  int64_t oldest = std::numeric_limits<int64_t>::max();
  tail_.ForEach(0, [&](int64_t point, const JournalTail::PointValues& values) {
    if (!points_[static_cast<size_t>(point)].packed) oldest = std::min(oldest, values.oldestRecord);
  });
  if (stage->record != 0) {
    for (int64_t point : stage->touched) {
      const PointState& state = points_[static_cast<size_t>(point)];
      if (!state.packed && !state.staged.empty()) oldest = std::min(oldest, stage->record);
    }
  }
  if (oldest == std::numeric_limits<int64_t>::max()) oldest = stage->upTo + 1;
  stage->journalFloor = journalFloor_;
  if (oldest <= journalFloor_) return true;
  ScopedStatement trim = db_.Cached(kTrimJournal);
  if (!trim->Bind(1, oldest).Run()) return false;
  stage->journalFloor = oldest;
  return true;
}

bool SqliteWriter::Fail() {
  if (lastError_.empty()) lastError_ = db_.Error();
  return false;
}

bool SqliteWriter::Finish(bool ok, Stage* stage) {
  if (ok && !db_.Exec("COMMIT")) ok = Fail();
  if (!ok) {
    if (lastError_.empty()) lastError_ = db_.Error();
    db_.Exec("ROLLBACK");
    std::vector<int64_t> touched = stage->packed;
    for (const auto& [point, samples] : stage->late) touched.push_back(point);
    summaries_.Forget(touched);
  } else {
    // Committed: the writer's memory follows.
    for (const Stage::NewPoint& point : stage->newPoints) {
      names_.Add(point.family, point.idKind, point.name, point.id);
    }
    for (int64_t point : stage->touched) {
      PointState& state = points_[static_cast<size_t>(point)];
      if (state.newTally) state.tally = *state.newTally;
    }
    // The record's values join those waiting, as a reader replaying it
    // would put them: each point's, deduplicated and in time order, are
    // already at hand.
    if (stage->record != 0) {
      for (int64_t point : stage->touched) {
        const PointState& state = points_[static_cast<size_t>(point)];
        if (state.packed) continue;
        for (const Staged& value : state.staged) {
          tail_.Apply(point, stage->record, SampleOf(value, *stage));
        }
      }
      lastRecord_ = stage->record;
      recordTimes_.emplace_back(stage->record, Clock::now());
    }
    for (int64_t point : stage->packed) tail_.Pack(point, stage->upTo);
    journalFloor_ = stage->journalFloor;
    while (!recordTimes_.empty() && recordTimes_.front().first < journalFloor_) {
      recordTimes_.pop_front();
    }
  }
  // Either way, the next transaction starts afresh.
  for (int64_t point : stage->touched) {
    PointState& state = points_[static_cast<size_t>(point)];
    state.staged.clear();
    state.newTally.reset();
    state.touched = false;
  }
  for (int64_t point : stage->packed) points_[static_cast<size_t>(point)].packed = false;
  return ok;
}

bool SqliteWriter::StoreGroup(const std::vector<const Batch*>& batches) {
  lastError_.clear();
  tallyFailed_ = false;
  if (!db_.Exec("BEGIN IMMEDIATE")) return Fail();
  Stage stage;
  bool ok = true;
  for (const Batch* batch : batches) ok = ok && StageBatch(*batch, &stage);
  // Packing keeps pace in quiet moments (Maintain); a commit packs only
  // full points, and runs of points when the journal is far past its window.
  ok = ok && MergeLate(&stage) && WriteJournal(&stage) &&
       Pack(&stage, 2 * settings_.journalWindow, Clock::time_point::max()) &&
       TrimJournal(&stage) && !tallyFailed_;
  if (!ok && lastError_.empty()) {
    lastError_ = summaries_.error().empty() ? db_.Error() : summaries_.error();
  }
  return Finish(ok, &stage);
}

std::vector<bool> SqliteWriter::CommitGroup(const std::vector<const Batch*>& batches) {
  if (StoreGroup(batches)) return std::vector<bool>(batches.size(), true);
  std::vector<bool> stored;
  std::string firstError = lastError_;
  bool all = true;
  for (const Batch* batch : batches) {
    stored.push_back(batches.size() > 1 && StoreGroup({batch}));
    all = all && stored.back();
  }
  if (!all && lastError_.empty()) lastError_ = firstError;
  return stored;
}

bool SqliteWriter::RemoveOld(Stage* stage, Clock::time_point deadline) {
  if (settings_.retain.count() <= 0 || Clock::now() < nextRetention_) return true;
  using namespace std::chrono;
  int64_t cutoff = duration_cast<milliseconds>(system_clock::now().time_since_epoch() -
                                               settings_.retain)
                       .count();
  std::vector<int64_t> points;
  {
    ScopedStatement tallied = db_.Cached(kTallied);
    tallied->Bind(1, retentionPoint_).Bind(2, kRetentionPointsPerSlice);
    int step;
    while ((step = tallied->Step()) == SQLITE_ROW) points.push_back(tallied->Int(0));
    if (step != SQLITE_DONE) return false;
  }
  for (int64_t point : points) {
    int64_t removed = 0;
    if (!blocks_.RemoveOlder(point, cutoff, kRetentionBlocksPerPoint, &removed)) return false;
    retentionPoint_ = point;
    if (removed > 0) {
      PointBlocks tally = TallyOf(point);
      tally.count -= removed;
      if (!SetTally(point, tally, stage)) return false;
    }
    if (Clock::now() > deadline) return true;
  }
  if (static_cast<int64_t>(points.size()) == kRetentionPointsPerSlice) return true;
  // Every point done: the summaries follow, and the next round waits a
  // while (a hundredth of the time kept, at least a minute).
  if (!summaries_.RemoveOlder(cutoff)) return false;
  retentionPoint_ = 0;
  nextRetention_ = Clock::now() + std::max<milliseconds>(minutes(1), settings_.retain / 100);
  return true;
}

bool SqliteWriter::Maintain(std::chrono::milliseconds budget) {
  if (!WorkWaiting()) return false;
  auto deadline = Clock::now() + budget;
  lastError_.clear();
  if (!db_.Exec("BEGIN IMMEDIATE")) return Fail();
  Stage stage;
  stage.upTo = lastRecord_;
  bool more = false, stale = false;
  tallyFailed_ = false;
  bool ok = Pack(&stage, settings_.journalWindow, deadline) &&
            PackStale(&stage, deadline, &stale) && summaries_.CatchUp(deadline, &more) &&
            RemoveOld(&stage, deadline) && TrimJournal(&stage) && !tallyFailed_;
  if (!ok && lastError_.empty()) {
    lastError_ = summaries_.error().empty() ? db_.Error() : summaries_.error();
  }
  if (!Finish(ok, &stage)) return false;
  return more || stale || retentionPoint_ != 0 || tail_.size() > settings_.journalWindow;
}

}  // namespace histfeed::service::sqlite
