// SPDX-License-Identifier: Apache-2.0
// The writing side of the SQLite storage: one connection, used by the
// writer thread alone. A commit appends its values to the journal as one
// record and, as the journal grows past a window, packs the values of a
// run of points into blocks; nothing is acknowledged before the commit
// that holds it. A value whose time lies among a point's packed values is
// put into its block at once, in the same commit.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_WRITER_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_WRITER_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "service/storage/batch.h"
#include "service/storage/point_names.h"
#include "service/storage/sqlite/blocks.h"
#include "service/storage/sqlite/journal_tail.h"
#include "service/storage/sqlite/statement.h"
#include "service/storage/sqlite/summaries.h"
#include "service/storage/storage.h"

namespace histfeed::service::sqlite {

struct WriterSettings {
  // Values the journal holds before packing keeps pace with new ones, in
  // quiet moments between commits; commits themselves pack only past twice
  // as many.
  int64_t journalWindow = 1'000'000;
  // A value waits at most this long in the journal when little comes in.
  std::chrono::milliseconds packAfter{std::chrono::minutes(10)};
  std::chrono::milliseconds retain{0};
};

class SqliteWriter {
 public:
  SqliteWriter(Connection& db, const WriterSettings& settings);

  // Reads what it needs to go on from where the database stands.
  bool Load(std::string* error);

  std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches);
  bool Maintain(std::chrono::milliseconds budget);
  const std::string& lastError() const { return lastError_; }

 private:
  struct Stage;
  using Clock = std::chrono::steady_clock;

  // A value of this transaction; `text` indexes the transaction's texts.
  struct Staged {
    int64_t millis = 0;
    double value = 0;
    int32_t status = 0;
    int32_t text = -1;
  };
  struct PointState {
    PointBlocks tally;  // as committed
    bool tallyKnown = false;
    // This transaction's doings: its values in time order, one per time;
    // its tally as changed; whether it was packed.
    std::vector<Staged> staged;
    std::optional<PointBlocks> newTally;
    bool touched = false;
    bool packed = false;
  };

  bool StoreGroup(const std::vector<const Batch*>& batches);
  bool StageBatch(const Batch& batch, Stage* stage);
  bool StageValue(const ValueRow& row, Stage* stage);
  bool StoreConfig(const ConfigRow& row, Stage* stage);
  bool StoreDeletion(const DeletionRow& row, Stage* stage);
  // The point's number, creating the point when it is new.
  bool PointOf(const std::string& family, IdKind kind, const std::string& name, Stage* stage,
               int64_t* id);
  // The point's state, its committed tally read on first use.
  PointState& StateOf(int64_t point);
  // What the point's blocks hold, as this transaction left them.
  PointBlocks TallyOf(int64_t point);
  bool SetTally(int64_t point, const PointBlocks& tally, Stage* stage);
  Sample SampleOf(const Staged& staged, const Stage& stage) const;
  bool MergeLate(Stage* stage);
  bool WriteJournal(Stage* stage);
  // Packs the points that are full, then runs of points, in number order,
  // until the journal holds at most `limit` values or the deadline passed.
  bool Pack(Stage* stage, int64_t limit, Clock::time_point deadline);
  // Whether Maintain has anything to do.
  bool WorkWaiting() const;
  // Packs what the journal holds of `point`; adds the count to *packed.
  bool PackPoint(int64_t point, Stage* stage, int64_t* packed);
  // Packs the points whose values waited long enough; *more when some
  // are left for another slice.
  bool PackStale(Stage* stage, Clock::time_point deadline, bool* more);
  bool TrimJournal(Stage* stage);
  bool Finish(bool ok, Stage* stage);
  bool RemoveOld(Stage* stage, Clock::time_point deadline);
  bool Fail();

  Connection& db_;
  Blocks blocks_;
  Summaries summaries_;
  WriterSettings settings_;
  PointNames names_;
  std::vector<PointState> points_;  // by number
  JournalTail tail_;
  int64_t lastRecord_ = 0;    // the newest journal record
  int64_t journalFloor_ = 0;  // records before it are gone
  int64_t sweep_ = 0;         // the point packing goes on from
  std::deque<std::pair<int64_t, Clock::time_point>> recordTimes_;  // when records were written
  int64_t retentionPoint_ = 0;  // where removing old values goes on from
  Clock::time_point nextRetention_{};
  bool tallyFailed_ = false;  // a tally could not be read
  std::string lastError_;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_WRITER_H_
