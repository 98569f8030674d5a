// SPDX-License-Identifier: Apache-2.0
// Reads the query parameters of the HTTP side into checked requests. Each
// parser names the parameters its page takes and refuses anything else
// (an unknown or repeated name, a value out of range) with a text that
// says what was wrong; the caller answers it with 400.
#ifndef HISTFEED_SERVICE_HTTP_QUERY_PARAMS_H_
#define HISTFEED_SERVICE_HTTP_QUERY_PARAMS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

using QueryParams = std::multimap<std::string, std::string>;

inline constexpr int64_t kMaxPageSize = 500;
inline constexpr int64_t kDefaultPageSize = 50;
inline constexpr size_t kMaxSearchBytes = 128;
inline constexpr size_t kMaxPointBytes = 512;
inline constexpr int64_t kMaxColumns = 4000;
inline constexpr int64_t kDefaultColumns = 800;
// Times from the year 1 to the year 9999, in milliseconds since 1970: any
// span between them, times the columns, still fits 64 bits.
inline constexpr int64_t kEarliestMillis = -62135596800000;
inline constexpr int64_t kLatestMillis = 253402300799999;

// A time range, either end left open for the point's own first or last value.
struct TimeRange {
  std::optional<int64_t> fromMillis, toMillis;
};

struct SeriesRequest {
  PointKey key;
  TimeRange range;
  int64_t columns = kDefaultColumns;
};

struct ChartRequest {
  PointKey key;
  TimeRange range;
  int64_t width = 900;
  int64_t height = 320;
};

// Splits a request target ("/path?query") into its path and parameters,
// percent-encoded bytes decoded (and '+' as a blank in the query), so a
// name arrives as the bytes it is. Returns an error text, empty when the
// target is sound.
std::string ParseTarget(std::string_view target, std::string* path, QueryParams* params);

// `bytes` for a query: letters, digits and -._~ stay, every other byte
// becomes %XX. ParseTarget gives the same bytes back.
std::string PercentEncoded(std::string_view bytes);

// "family=F&kind=K&point=P", the point's bytes percent-encoded: appended
// to /point?, /api/point?, /api/series? or /chart.svg? it names the point.
std::string PointKeyQuery(const PointKey& key);

// Every parser returns an error text, empty when the request is sound.
std::string ParseNoParams(const QueryParams& params);
std::string ParsePointsQuery(const QueryParams& params, PointQuery* query);
std::string ParsePointKey(const QueryParams& params, PointKey* key);
std::string ParseSeriesRequest(const QueryParams& params, SeriesRequest* request);
std::string ParseChartRequest(const QueryParams& params, ChartRequest* request);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_QUERY_PARAMS_H_
