// SPDX-License-Identifier: Apache-2.0
// What the pages, the JSON and dump read from the storage, and the reads
// every storage offers. A read never delays a commit: an acknowledgement
// waits for no page.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace histfeed::service {

// A point as the pages name it: family, identifier kind and identifier.
struct PointKey {
  std::string family;  // "universal" or "classic"
  std::string idKind;  // "point", "long" or "extended"
  std::string point;   // bytes as the source sent them
  auto operator<=>(const PointKey&) const = default;
};

// A stored value's time: seconds and milliseconds (0 to 999).
struct ValueTime {
  int64_t time = 0;
  int32_t msec = 0;
  int64_t Millis() const { return time * 1000 + msec; }
  static ValueTime OfMillis(int64_t millis) {
    int64_t rest = millis % 1000;
    if (rest < 0) rest += 1000;
    return ValueTime{(millis - rest) / 1000, static_cast<int32_t>(rest)};
  }
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

// One stored value, as it was received.
struct StoredValue {
  int64_t millis = 0;
  int32_t status = 0;
  bool isText = false;
  double value = 0;
  std::string text;
};

struct ValueQuery {
  PointKey key;
  int64_t fromMillis = 0;  // inclusive
  int64_t toMillis = 0;    // exclusive
  int64_t limit = 10'000;  // the first ones in time order
};

struct DatabaseTotals {
  int64_t values = 0;
  int64_t points = 0;
  int64_t configs = 0;
  int64_t bytes = 0;  // every file of the database
};

// A point as dump lists it.
struct PointSummary {
  std::string family, idKind, point;
  int64_t count = 0;
  int64_t firstTime = 0, lastTime = 0;
  std::string firstValue, lastValue;
};

class StorageReader {
 public:
  // Values one series query reads at most one by one; more are left out
  // (and said so).
  static constexpr int64_t kMaxSeriesValues = 5'000'000;

  virtual ~StorageReader() = default;

  // Results are empty and `error` is set when the storage could not be
  // read (or a query ran over its budget).
  virtual PointPage Points(const PointQuery& query, std::string* error) = 0;
  virtual std::optional<PointDetail> Point(const PointKey& key, std::string* error) = 0;
  // The range's numbers (texts, NaN and infinities left out) reduced to
  // columns: each column's count, least and greatest value and the times
  // of its first and last.
  virtual Series ReducedSeries(const SeriesQuery& query, std::string* error) = 0;
  // The range's values in time order, at most query.limit of them.
  virtual std::vector<StoredValue> Values(const ValueQuery& query, std::string* error) = 0;
  virtual DatabaseTotals Totals(std::string* error) = 0;

  // Every point with values, ordered by family, identifier kind and name.
  virtual std::vector<PointSummary> Summarize(std::string* error) = 0;
  // Calls `visit` for every stored value, point by point in the same
  // order, each point's in time order; stops when it returns false.
  virtual bool ForEachValue(
      const std::function<bool(const PointKey&, const StoredValue&)>& visit,
      std::string* error) = 0;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_READER_H_
