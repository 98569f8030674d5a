// SPDX-License-Identifier: Apache-2.0
// The reading side of the PostgreSQL storage: a connection of its own, so
// that a page never waits for a commit nor a commit for a page. Each call
// reads one snapshot (a repeatable-read transaction): summaries, the
// ranges still to be summarized and the values agree with each other,
// whatever the writers do meanwhile.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_READER_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_READER_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "service/storage/postgresql/connection.h"
#include "service/storage/postgresql/summary_plan.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::postgresql {

class PostgresqlReader : public StorageReader {
 public:
  // How long one query may run before the server stops it.
  static constexpr std::chrono::seconds kQueryTimeLimit{10};
  // A connection that broke is tried again at most this often.
  static constexpr std::chrono::seconds kReconnectInterval{1};

  PostgresqlReader() = default;
  PostgresqlReader(const PostgresqlReader&) = delete;
  PostgresqlReader& operator=(const PostgresqlReader&) = delete;

  // Connects; the reason when it cannot.
  std::string Open(const std::string& connection) EXCLUDES(mutex_);

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
  // A range still to be summarized, for points from donePoint on.
  struct StaleRange {
    TimeSpan span;
    int64_t donePoint = 0;
  };

  // Starts a call: a live connection, the points catalogue and the stale
  // ranges as of the snapshot.
  bool Begin(Snapshot& snapshot, std::string* error) REQUIRES(mutex_);
  bool Reconnect(std::string* error) REQUIRES(mutex_);
  bool Failed(std::string* error) REQUIRES(mutex_);
  int64_t IdOf(const PointKey& key) const REQUIRES(mutex_);
  // The spans whose rows cannot be trusted for `point` (0: for all points).
  std::vector<TimeSpan> StaleFor(int64_t point) const REQUIRES(mutex_);
  // Values stored for `point` (0: all points).
  bool CountOf(int64_t point, int64_t* count) REQUIRES(mutex_);
  bool EdgeValue(int64_t point, bool last, std::optional<StoredValue>* value) REQUIRES(mutex_);
  bool RowOf(int64_t point, PointRow* row) REQUIRES(mutex_);
  // The stored values of [from, to) in time order, until `visit` says stop.
  bool ReadValues(int64_t point, int64_t from, int64_t to, int64_t limit,
                  const std::function<bool(StoredValue)>& visit) REQUIRES(mutex_);

  platform::Mutex mutex_;
  Connection db_ GUARDED_BY(mutex_);
  std::string connection_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point lastAttempt_ GUARDED_BY(mutex_);
  std::string lastError_ GUARDED_BY(mutex_);
  // Every point by key and by number, as of the last look.
  std::map<PointKey, int64_t> catalog_ GUARDED_BY(mutex_);
  std::map<int64_t, PointKey> keys_ GUARDED_BY(mutex_);
  std::vector<StaleRange> stale_ GUARDED_BY(mutex_);
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_POSTGRESQL_READER_H_
