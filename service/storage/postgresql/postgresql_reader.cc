// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/postgresql_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "service/storage/series_columns.h"
#include "service/storage/summary_levels.h"
#include "service/value_text.h"

namespace histfeed::service::postgresql {
namespace {

constexpr const char* kCatalogSize = "SELECT count(*), coalesce(max(id), 0)::int8 FROM points";
constexpr const char* kCatalog = "SELECT id, family, id_kind, name FROM points";
constexpr const char* kStale = "SELECT from_time, to_time, done_point FROM summary_backlog";
constexpr const char* kRowCount =
    "SELECT coalesce(sum(count), 0)::int8 FROM summaries "
    "WHERE point_id = $1 AND level = $2 AND bucket >= $3 AND bucket < $4";
constexpr const char* kAllRowCount =
    "SELECT coalesce(sum(count), 0)::int8 FROM summaries "
    "WHERE level = $1 AND bucket >= $2 AND bucket < $3";
constexpr const char* kValueCount =
    "SELECT count(*) FROM point_values WHERE point_id = $1 AND time >= $2 AND time < $3";
constexpr const char* kAllValueCount =
    "SELECT count(*) FROM point_values WHERE time >= $1 AND time < $2";
constexpr const char* kFirst =
    "SELECT time, status, value, text FROM point_values WHERE point_id = $1 "
    "ORDER BY time LIMIT 1";
constexpr const char* kLast =
    "SELECT time, status, value, text FROM point_values WHERE point_id = $1 "
    "ORDER BY time DESC LIMIT 1";
constexpr const char* kFlags =
    "SELECT record_type IS NOT NULL, EXISTS (SELECT 1 FROM deletions WHERE point_id = $1) "
    "FROM points WHERE id = $1";
constexpr const char* kConfig =
    "SELECT record_type, point_id, long_id, ext_id, description, units, raw, "
    "config_received_at FROM points WHERE id = $1 AND record_type IS NOT NULL";
constexpr const char* kDeletions =
    "SELECT received_at FROM deletions WHERE point_id = $1 ORDER BY received_at LIMIT 100";
constexpr const char* kRows =
    "SELECT numbers, min, max, first_time, last_time FROM summaries WHERE point_id = $1 "
    "AND level = $2 AND bucket >= $3 AND bucket < $4 AND numbers > 0";
constexpr const char* kValues =
    "SELECT time, status, value, text FROM point_values WHERE point_id = $1 "
    "AND time >= $2 AND time < $3 ORDER BY time LIMIT $4";
constexpr const char* kConfigs = "SELECT count(*) FROM points WHERE record_type IS NOT NULL";
constexpr const char* kBytes =
    "SELECT coalesce(sum(pg_total_relation_size(c.oid)), 0)::int8 FROM pg_class c "
    "JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = current_schema() AND c.relkind = 'r'";
// Each point with values: its count, first and last value.
constexpr const char* kSummaries =
    "SELECT c.point_id, c.count, f.time, f.value, f.text, l.time, l.value, l.text "
    "FROM (SELECT point_id, count(*) AS count FROM point_values GROUP BY point_id) c, "
    "LATERAL (SELECT time, value, text FROM point_values v WHERE v.point_id = c.point_id "
    "ORDER BY time LIMIT 1) f, "
    "LATERAL (SELECT time, value, text FROM point_values v WHERE v.point_id = c.point_id "
    "ORDER BY time DESC LIMIT 1) l";

// Values one query reads at most; longer ranges go on in further queries.
constexpr int64_t kValuesPerQuery = 65'536;

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  auto lower = [](unsigned char c) { return std::tolower(c); };
  auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                           [&](char a, char b) { return lower(a) == lower(b); });
  return found != text.end();
}

// A value of a (time, status, value, text) row, from `column` on.
StoredValue ValueOf(const Result& result, int row, int column) {
  StoredValue value;
  value.millis = result.Millis(row, column);
  value.status = result.Int32(row, column + 1);
  value.isText = !result.IsNull(row, column + 3);
  if (value.isText) {
    value.text = result.String(row, column + 3);
  } else {
    value.value = result.Double(row, column + 2);
  }
  return value;
}

// The same from a (time, value, text) row.
std::string TextOf(const Result& result, int row, int column) {
  return result.IsNull(row, column + 2) ? ExactValueText(result.Double(row, column + 1))
                                        : result.String(row, column + 2);
}

int64_t Clamped(int64_t millis) {
  TimeSpan whole = WholeTime();
  return std::clamp(millis, whole.from, whole.to);
}

}  // namespace

// One snapshot for everything a call reads.
class PostgresqlReader::Snapshot {
 public:
  explicit Snapshot(Connection& db) : db_(db) {}
  ~Snapshot() {
    if (begun_) db_.Exec("COMMIT");
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  bool Begin() {
    begun_ = db_.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    return begun_;
  }

 private:
  Connection& db_;
  bool begun_ = false;
};

std::string PostgresqlReader::Open(const std::string& connection) {
  platform::MutexLock lock(mutex_);
  connection_ = connection;
  std::string error;
  return Reconnect(&error) ? "" : error;
}

bool PostgresqlReader::Reconnect(std::string* error) {
  auto now = std::chrono::steady_clock::now();
  if (db_.open() && now - lastAttempt_ < kReconnectInterval) {
    *error = lastError_;
    return false;
  }
  lastAttempt_ = now;
  std::string reason = db_.Open(connection_);
  if (reason.empty() && !db_.Exec("SET statement_timeout = '" +
                                  std::to_string(kQueryTimeLimit.count()) + "s'")) {
    reason = db_.error();
  }
  if (reason.empty()) return true;
  lastError_ = "the database cannot be reached: " + reason;
  *error = lastError_;
  return false;
}

bool PostgresqlReader::Failed(std::string* error) {
  if (db_.sqlState() == kQueryCanceled) {
    *error = "query took too long; ask for less";
  } else if (db_.Broken()) {
    *error = "the database cannot be reached: " + db_.error();
  } else {
    *error = "database: " + db_.error();
  }
  return false;
}

bool PostgresqlReader::Begin(Snapshot& snapshot, std::string* error) {
  if (db_.Broken() && !Reconnect(error)) return false;
  // A server that restarted shows at the first statement.
  if (!snapshot.Begin() && !(db_.Broken() && Reconnect(error) && snapshot.Begin())) {
    return error->empty() ? Failed(error) : false;
  }
  Result size = db_.Query(kCatalogSize);
  if (!size.ok()) return Failed(error);
  // Points are never removed: another count or number means new ones.
  int64_t count = size.Int64(0, 0), highest = size.Int64(0, 1);
  if (count != static_cast<int64_t>(catalog_.size()) ||
      (highest != 0 && keys_.count(highest) == 0)) {
    Result points = db_.Query(kCatalog);
    if (!points.ok()) return Failed(error);
    catalog_.clear();
    keys_.clear();
    for (int row = 0; row < points.rows(); ++row) {
      PointKey key{points.String(row, 1), points.String(row, 2), points.String(row, 3)};
      int64_t id = points.Int32(row, 0);
      catalog_[key] = id;
      keys_[id] = std::move(key);
    }
  }
  Result stale = db_.Query(kStale);
  if (!stale.ok()) return Failed(error);
  stale_.clear();
  for (int row = 0; row < stale.rows(); ++row) {
    stale_.push_back(StaleRange{TimeSpan{stale.Millis(row, 0), stale.Millis(row, 1)},
                                stale.Int32(row, 2)});
  }
  return true;
}

int64_t PostgresqlReader::IdOf(const PointKey& key) const {
  auto found = catalog_.find(key);
  return found == catalog_.end() ? 0 : found->second;
}

std::vector<TimeSpan> PostgresqlReader::StaleFor(int64_t point) const {
  std::vector<TimeSpan> spans;
  for (const StaleRange& range : stale_) {
    if (point == 0 || point >= range.donePoint) spans.push_back(range.span);
  }
  return Joined(std::move(spans));
}

bool PostgresqlReader::CountOf(int64_t point, int64_t* count) {
  TimeSpan whole = WholeTime();
  *count = 0;
  for (const PlannedRead& read :
       PlanReads(kSummaryLevels - 1, whole.from, whole.to, StaleFor(point))) {
    Params params;
    if (point != 0) params.Int32(static_cast<int32_t>(point));
    if (read.level != PlannedRead::kSingleValues) params.Int32(read.level);
    params.Timestamp(read.from).Timestamp(read.to);
    const char* sql = read.level == PlannedRead::kSingleValues
                          ? (point != 0 ? kValueCount : kAllValueCount)
                          : (point != 0 ? kRowCount : kAllRowCount);
    Result result = db_.Query(sql, params);
    if (!result.ok()) return false;
    *count += result.Int64(0, 0);
  }
  return true;
}

bool PostgresqlReader::EdgeValue(int64_t point, bool last, std::optional<StoredValue>* value) {
  Result result = db_.Query(last ? kLast : kFirst, Params().Int32(static_cast<int32_t>(point)));
  if (!result.ok()) return false;
  if (result.rows() == 1) *value = ValueOf(result, 0, 0);
  return true;
}

bool PostgresqlReader::RowOf(int64_t point, PointRow* row) {
  row->key = keys_[point];
  std::optional<StoredValue> last;
  if (!CountOf(point, &row->count) || !EdgeValue(point, /*last=*/true, &last)) return false;
  if (last) {
    row->last = ValueTime::OfMillis(last->millis);
    row->lastStatus = last->status;
    row->lastIsText = last->isText;
    row->lastValue = last->isText ? last->text : ExactValueText(last->value);
  }
  Result flags = db_.Query(kFlags, Params().Int32(static_cast<int32_t>(point)));
  if (!flags.ok()) return false;
  if (flags.rows() == 1) {
    row->configured = flags.Bool(0, 0);
    row->deleted = flags.Bool(0, 1);
  }
  return true;
}

bool PostgresqlReader::ReadValues(int64_t point, int64_t from, int64_t to, int64_t limit,
                                  const std::function<bool(StoredValue)>& visit) {
  from = Clamped(from);
  to = Clamped(to);
  while (limit > 0 && from < to) {
    int64_t asked = std::min(limit, kValuesPerQuery);
    Result result = db_.Query(kValues, Params()
                                           .Int32(static_cast<int32_t>(point))
                                           .Timestamp(from)
                                           .Timestamp(to)
                                           .Int64(asked));
    if (!result.ok()) return false;
    for (int row = 0; row < result.rows(); ++row) {
      StoredValue value = ValueOf(result, row, 0);
      from = value.millis + 1;
      if (!visit(std::move(value))) return true;
    }
    if (result.rows() < asked) return true;
    limit -= asked;
  }
  return true;
}

PointPage PostgresqlReader::Points(const PointQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  PointPage page;
  if (!Begin(snapshot, error)) return page;
  for (const auto& [key, id] : catalog_) {
    if (!query.search.empty() && !ContainsIgnoringCase(key.point, query.search)) continue;
    if (page.total >= query.offset && page.total < query.offset + query.limit) {
      if (!RowOf(id, &page.rows.emplace_back())) {
        Failed(error);
        return {};
      }
    }
    ++page.total;
  }
  return page;
}

std::optional<PointDetail> PostgresqlReader::Point(const PointKey& key, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return std::nullopt;
  int64_t id = IdOf(key);
  if (id == 0) return std::nullopt;
  PointDetail detail;
  std::optional<StoredValue> first;
  Params point = Params().Int32(static_cast<int32_t>(id));
  if (!RowOf(id, &detail.row) || !EdgeValue(id, /*last=*/false, &first)) {
    Failed(error);
    return std::nullopt;
  }
  if (first) detail.first = ValueTime::OfMillis(first->millis);
  Result config = db_.Query(kConfig, point);
  Result deletions = db_.Query(kDeletions, point);
  if (!config.ok() || !deletions.ok()) {
    Failed(error);
    return std::nullopt;
  }
  auto seconds = [](const Result& result, int row, int column) {
    return static_cast<double>(result.Int64(row, column)) / 1e6 +
           static_cast<double>(kPostgresEpochMillis) / 1e3;
  };
  if (config.rows() == 1) {
    std::string_view raw = config.Bytes(0, 6);
    auto bytes = [&](int column) { return config.IsNull(0, column) ? "" : config.String(0, column); };
    detail.config = PointConfig{config.Int32(0, 0), bytes(1), bytes(2), bytes(3), bytes(4),
                                bytes(5), std::vector<uint8_t>(raw.begin(), raw.end()),
                                seconds(config, 0, 7)};
  }
  for (int row = 0; row < deletions.rows(); ++row) {
    detail.deletedAt.push_back(seconds(deletions, row, 0));
  }
  return detail;
}

Series PostgresqlReader::ReducedSeries(const SeriesQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  if (query.toMillis <= query.fromMillis || query.columns <= 0) {
    *error = "empty range";
    return Series{};
  }
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return Series{};
  SeriesColumns columns(query);
  int64_t id = IdOf(query.key);
  if (id == 0) return columns.Finish();
  // Summary rows where they can stand for a column's values, single
  // values elsewhere; a column fits one to four rows.
  int level = LevelForColumn((query.toMillis - query.fromMillis) / query.columns);
  bool more = true;
  for (const PlannedRead& read : PlanReads(level, Clamped(query.fromMillis),
                                           Clamped(query.toMillis), StaleFor(id))) {
    if (!more) break;
    bool ok = true;
    if (read.level == PlannedRead::kSingleValues) {
      ok = ReadValues(id, read.from, read.to, StorageReader::kMaxSeriesValues + 1,
                      [&](StoredValue value) {
                        if (value.isText || !std::isfinite(value.value)) return true;
                        return more = columns.AddValue(value.millis, value.value);
                      });
    } else {
      Result rows = db_.Query(kRows, Params()
                                         .Int32(static_cast<int32_t>(id))
                                         .Int32(read.level)
                                         .Timestamp(read.from)
                                         .Timestamp(read.to));
      ok = rows.ok();
      for (int row = 0; ok && row < rows.rows(); ++row) {
        columns.AddBucket(BucketStats{rows.Int64(row, 0), rows.Double(row, 1),
                                      rows.Double(row, 2), rows.Millis(row, 3),
                                      rows.Millis(row, 4), 0, 0});
      }
    }
    if (!ok) {
      Failed(error);
      return Series{};
    }
  }
  return columns.Finish();
}

std::vector<StoredValue> PostgresqlReader::Values(const ValueQuery& query, std::string* error) {
  platform::MutexLock lock(mutex_);
  std::vector<StoredValue> values;
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return values;
  int64_t id = IdOf(query.key);
  if (id == 0 || query.limit <= 0) return values;
  if (!ReadValues(id, query.fromMillis, query.toMillis, query.limit, [&](StoredValue value) {
        values.push_back(std::move(value));
        return true;
      })) {
    Failed(error);
    return {};
  }
  return values;
}

DatabaseTotals PostgresqlReader::Totals(std::string* error) {
  platform::MutexLock lock(mutex_);
  DatabaseTotals totals;
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return totals;
  Result configs = db_.Query(kConfigs);
  Result bytes = db_.Query(kBytes);
  if (!configs.ok() || !bytes.ok() || !CountOf(0, &totals.values)) {
    Failed(error);
    return DatabaseTotals{};
  }
  totals.points = static_cast<int64_t>(catalog_.size());
  totals.configs = configs.Int64(0, 0);
  totals.bytes = bytes.Int64(0, 0);
  return totals;
}

std::vector<PointSummary> PostgresqlReader::Summarize(std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return {};
  Result result = db_.Query(kSummaries);
  if (!result.ok()) {
    Failed(error);
    return {};
  }
  std::map<PointKey, PointSummary> ordered;
  for (int row = 0; row < result.rows(); ++row) {
    auto key = keys_.find(result.Int32(row, 0));
    if (key == keys_.end()) continue;
    PointSummary& summary = ordered[key->second];
    summary.family = key->second.family;
    summary.idKind = key->second.idKind;
    summary.point = key->second.point;
    summary.count = result.Int64(row, 1);
    summary.firstTime = ValueTime::OfMillis(result.Millis(row, 2)).time;
    summary.firstValue = TextOf(result, row, 2);
    summary.lastTime = ValueTime::OfMillis(result.Millis(row, 5)).time;
    summary.lastValue = TextOf(result, row, 5);
  }
  std::vector<PointSummary> summaries;
  for (auto& [key, summary] : ordered) summaries.push_back(std::move(summary));
  return summaries;
}

bool PostgresqlReader::ForEachValue(
    const std::function<bool(const PointKey&, const StoredValue&)>& visit, std::string* error) {
  platform::MutexLock lock(mutex_);
  Snapshot snapshot(db_);
  if (!Begin(snapshot, error)) return false;
  TimeSpan whole = WholeTime();
  bool more = true;
  for (auto point = catalog_.begin(); more && point != catalog_.end(); ++point) {
    if (!ReadValues(point->second, whole.from, whole.to, std::numeric_limits<int64_t>::max(),
                    [&](StoredValue value) { return more = visit(point->first, value); })) {
      return Failed(error);
    }
  }
  return true;
}

}  // namespace histfeed::service::postgresql
