// SPDX-License-Identifier: Apache-2.0
// The reading side of the SQLite storage: a connection of its own, opened
// read-only. In WAL mode a reader neither waits for the writer nor holds
// it up, and it shares no memory with the writer: it follows the journal
// itself to know what waits to be packed. So a slow page never delays an
// acknowledgement.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_READER_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_READER_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "service/storage/sqlite/blocks.h"
#include "service/storage/sqlite/journal_tail.h"
#include "service/storage/sqlite/statement.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::sqlite {

class SqliteReader : public StorageReader {
 public:
  // Processor time one query may use before it is stopped. Counted on the
  // thread's own clock: the pages' threads run only when the processor is
  // otherwise idle, and a query must not fail because the machine is busy.
  static constexpr std::chrono::milliseconds kQueryBudget{3000};
  // How long one query may take in all, however little of the processor
  // it got.
  static constexpr std::chrono::seconds kQueryTimeLimit{30};

  SqliteReader() = default;
  SqliteReader(const SqliteReader&) = delete;
  SqliteReader& operator=(const SqliteReader&) = delete;

  // Opens the database read-only. Returns SQLite's reason when it cannot.
  std::string Open(const std::string& path) EXCLUDES(mutex_);

  PointPage Points(const PointQuery& query, std::string* error) override EXCLUDES(mutex_);
  std::optional<PointDetail> Point(const PointKey& key, std::string* error) override
      EXCLUDES(mutex_);
  Series ReducedSeries(const SeriesQuery& query, std::string* error) override EXCLUDES(mutex_);
  std::vector<StoredValue> Values(const ValueQuery& query, std::string* error) override
      EXCLUDES(mutex_);
  DatabaseTotals Totals(std::string* error) override EXCLUDES(mutex_);
  std::vector<PointSummary> Summarize(std::string* error) override EXCLUDES(mutex_);
  bool ForEachValue(const std::function<bool(const PointKey&, const StoredValue&)>& visit,
                    std::string* error) override EXCLUDES(mutex_);

 private:
  class Snapshot;
  struct PointState;

  // Catches up with what was stored since the last look: new points and
  // new journal records.
  bool Refresh(std::string* error) REQUIRES(mutex_);
  // The point's number, 0 when it is not known.
  int64_t IdOf(const PointKey& key) const REQUIRES(mutex_);
  // What is packed of a point, and its values still waiting in the journal.
  bool StateOf(int64_t id, PointState* state, std::string* error) REQUIRES(mutex_);
  bool RowOf(int64_t id, PointRow* row, std::string* error) REQUIRES(mutex_);
  // The point's first or last value, from its blocks or the journal.
  bool EdgeValue(int64_t id, const PointState& state, bool last, std::optional<StoredValue>* value,
                 std::string* error) REQUIRES(mutex_);
  // Every value of [from, to) in time order, until `visit` says stop.
  bool ReadValues(int64_t id, const PointState& state, int64_t from, int64_t to,
                  const std::function<bool(const StoredValue&)>& visit, std::string* error)
      REQUIRES(mutex_);
  std::string LastError() const REQUIRES(mutex_);
  void StartQuery() REQUIRES(mutex_);
  static int StopWhenOverBudget(void* self);

  platform::Mutex mutex_;
  Connection db_ GUARDED_BY(mutex_);
  Blocks blocks_ GUARDED_BY(mutex_){db_};
  std::string path_ GUARDED_BY(mutex_);
  // Of the running query: on the thread's processor clock, and in all.
  std::chrono::nanoseconds budgetEnd_ GUARDED_BY(mutex_){0};
  std::chrono::steady_clock::time_point deadline_ GUARDED_BY(mutex_);

  // Every point, by key and by number.
  std::map<PointKey, int64_t> catalog_ GUARDED_BY(mutex_);
  std::map<int64_t, PointKey> keys_ GUARDED_BY(mutex_);
  // The journal's values as far as read; some may be packed since.
  JournalTail tail_ GUARDED_BY(mutex_);
  int64_t recordSeen_ GUARDED_BY(mutex_) = 0;
  int64_t pointSeen_ GUARDED_BY(mutex_) = 0;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_SQLITE_READER_H_
