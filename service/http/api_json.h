// SPDX-License-Identifier: Apache-2.0
// The JSON documents of the HTTP side's /api/ paths (described in
// docs/http.md). Times are milliseconds since 1970-01-01 UTC.
#ifndef HISTFEED_SERVICE_HTTP_API_JSON_H_
#define HISTFEED_SERVICE_HTTP_API_JSON_H_

#include <string>

#include "service/service_metrics.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

struct ServiceInfo {
  std::string version;
  int64_t nowUnixMs = 0;
  double commitsPerSecond = 0;
};

std::string OverviewJson(const MetricsSnapshot& metrics, const DatabaseTotals& database,
                         const ServiceInfo& info);
std::string PointsJson(const PointPage& page, const PointQuery& query);
std::string PointJson(const PointDetail& detail);
std::string SeriesJson(const Series& series, const SeriesQuery& query);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_API_JSON_H_
