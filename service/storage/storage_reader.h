// SPDX-License-Identifier: Apache-2.0
// Reads the service's database for the HTTP pages through a connection of
// its own, opened read-only: in WAL mode readers never wait for the writer
// nor hold it up, so a slow page cannot delay an acknowledgement. Every
// query the pages make is here, so only this file knows the schema.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct sqlite3;

namespace histfeed::service {

// A point as the pages name it: family, identifier kind and identifier.
struct PointKey {
  std::string family;  // "universal" or "classic"
  std::string idKind;  // "point", "long" or "extended"
  std::string point;
  auto operator<=>(const PointKey&) const = default;
};

// A stored value's time: seconds and milliseconds as the source sent them.
struct ValueTime {
  int64_t time = 0;
  int32_t msec = 0;
  int64_t Millis() const { return time * 1000 + msec; }
};

struct PointRow {
  PointKey key;
  int64_t count = 0;            // values stored
  std::optional<ValueTime> last;
  std::string lastValue;        // as text; empty when no value
  bool lastIsText = false;
  int32_t lastStatus = 0;
  bool configured = false;      // a configuration is stored now
  bool deleted = false;         // a deletion was received for it
};

struct PointQuery {
  std::string search;  // case-insensitive part of the identifier; empty: all
  int64_t limit = 50;
  int64_t offset = 0;
};

struct PointPage {
  int64_t total = 0;  // points matching the search
  std::vector<PointRow> rows;
};

struct PointConfig {
  int32_t recordType = 0;
  std::string pointId, longId, extId, description, units;
  std::vector<uint8_t> raw;
  double receivedAt = 0;  // seconds since 1970, when it was stored
};

struct PointDetail {
  PointRow row;
  std::optional<ValueTime> first;
  std::optional<PointConfig> config;
  std::vector<double> deletedAt;  // when deletions were received
};

// One pixel column of a chart: the values whose time falls into it.
struct SeriesColumn {
  int64_t column = 0;
  int64_t count = 0;
  double min = 0, max = 0;
  int64_t firstMillis = 0, lastMillis = 0;  // times of its first and last value
};

struct SeriesQuery {
  PointKey key;
  int64_t fromMillis = 0;  // inclusive
  int64_t toMillis = 0;    // exclusive
  int64_t columns = 0;
};

struct Series {
  int64_t values = 0;          // numeric values in the range
  bool truncated = false;      // the range held more values than one query reads
  std::vector<SeriesColumn> columns;
};

struct DatabaseTotals {
  int64_t values = 0;
  int64_t points = 0;
  int64_t configs = 0;
  int64_t bytes = 0;  // the file, its write-ahead log and shared index
};

class StorageReader {
 public:
  // Values one series query reads at most; more are left out (and said so).
  static constexpr int64_t kMaxSeriesValues = 5'000'000;
  // Processor time one query may use before it is stopped. Counted on the
  // thread's own clock: the pages' threads run only when the processor is
  // otherwise idle, and a query must not fail because the machine is busy.
  static constexpr std::chrono::milliseconds kQueryBudget{3000};
  // How long one query may take in all, however little of the processor
  // it got.
  static constexpr std::chrono::seconds kQueryTimeLimit{30};

  StorageReader() = default;
  ~StorageReader();
  StorageReader(const StorageReader&) = delete;
  StorageReader& operator=(const StorageReader&) = delete;

  // Opens the database read-only. Returns an error text, empty on success.
  std::string Open(const std::string& path);

  // Results are empty and `error` is set when the database could not be
  // read (or a query ran over its budget).
  PointPage Points(const PointQuery& query, std::string* error);
  std::optional<PointDetail> Point(const PointKey& key, std::string* error);
  Series ReducedSeries(const SeriesQuery& query, std::string* error);
  DatabaseTotals Totals(std::string* error);

 private:
  struct CatalogEntry;
  // Brings the in-memory list of points up to date with what was stored
  // since the last call: only rows added since are read, a few cheap
  // queries when nothing changed.
  bool RefreshCatalog(std::string* error);
  bool ReadNewValues(std::string* error);
  // Reloads the keys of a small table when its count or last row changed.
  bool ReadKeysIfChanged(const char* table, std::pair<int64_t, int64_t>* seen,
                         std::set<PointKey>* keys, std::string* error);
  // The row of a catalogued point, with its latest value read at once
  // (a value may be replaced in place, which the catalog does not see).
  bool RowOf(const PointKey& key, const CatalogEntry& entry, PointRow* row, std::string* error);
  std::string LastError() const;
  // Arms the time budget of the query about to run.
  void StartQuery();
  static int StopWhenOverBudget(void* self);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::string path_;
  // Of the running query: on the thread's processor clock, and in all.
  std::chrono::nanoseconds budgetEnd_{0};
  std::chrono::steady_clock::time_point deadline_;

  struct CatalogEntry {
    int64_t count = 0;
  };
  // Every point with values, a configuration or a deletion.
  std::map<PointKey, CatalogEntry> catalog_;
  std::set<PointKey> configured_;
  std::set<PointKey> deleted_;
  int64_t valuesRowid_ = 0;  // the last value row read into the catalog
  std::pair<int64_t, int64_t> configsSeen_{-1, -1};    // count and last rowid
  std::pair<int64_t, int64_t> deletionsSeen_{-1, -1};  // count and last rowid
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_
