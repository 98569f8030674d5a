// SPDX-License-Identifier: Apache-2.0
#include "service/http/routes.h"

#include <chrono>

#include "service/http/api_json.h"
#include "service/http/metrics_text.h"
#include "service/http/page_assets.h"
#include "service/http/svg_chart.h"

namespace histfeed::service::http {
namespace {

constexpr const char* kJson = "application/json";
constexpr const char* kText = "text/plain; charset=utf-8";

Reply Text(int status, const std::string& text) { return {status, kText, text + "\n"}; }
Reply BadRequest(const std::string& text) { return Text(400, text); }
// The database could not answer now (busy, or over a query's budget).
Reply Unavailable(const std::string& text) { return Text(503, text); }

const char* ContentTypeOf(std::string_view name) {
  if (name.ends_with(".html")) return "text/html; charset=utf-8";
  if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (name.ends_with(".css")) return "text/css; charset=utf-8";
  return "application/octet-stream";
}

int64_t NowUnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Routes::Routes(ServiceMetrics& metrics, StorageReader& reader, std::string version)
    : metrics_(metrics), reader_(reader), version_(std::move(version)) {}

Reply Routes::Get(const std::string& path, const QueryParams& params) {
  if (path == "/") return Page("overview.html", params, false);
  if (path == "/points") return Page("points.html", params, false);
  if (path == "/point") return Page("point.html", params, true);
  if (path == "/pages.js" || path == "/pages.css") return Page(path.c_str() + 1, params, false);
  if (path == "/metrics") return Metrics(params);
  if (path == "/api/overview") return Overview(params);
  if (path == "/api/points") return Points(params);
  if (path == "/api/point") return Point(params);
  if (path == "/api/series") return Series(params);
  if (path == "/chart.svg") return Chart(params);
  return Text(404, "no such page: " + path.substr(0, 200));
}

Reply Routes::Page(const char* asset, const QueryParams& params, bool namesPoint) {
  PointKey key;
  std::string error = namesPoint ? ParsePointKey(params, &key) : ParseNoParams(params);
  if (!error.empty()) return BadRequest(error);
  const PageAsset* found = FindPageAsset(asset);
  if (found == nullptr) return Text(404, std::string("no such page: ") + asset);
  return {200, ContentTypeOf(found->name), std::string(found->content)};
}

Reply Routes::Metrics(const QueryParams& params) {
  std::string error = ParseNoParams(params);
  if (!error.empty()) return BadRequest(error);
  std::string readError;
  DatabaseTotals totals = reader_.Totals(&readError);
  // The counters are worth having even while the database cannot be read.
  return {200, "text/plain; version=0.0.4; charset=utf-8",
          PrometheusText(metrics_.Take(), totals, version_)};
}

Reply Routes::Overview(const QueryParams& params) {
  std::string error = ParseNoParams(params);
  if (!error.empty()) return BadRequest(error);
  MetricsSnapshot snapshot = metrics_.Take();
  std::string readError;
  DatabaseTotals totals = reader_.Totals(&readError);
  ServiceInfo info{version_, NowUnixMs(),
                   commitRate_.Sample(RateMeter::Clock::now(), snapshot.commits)};
  return {200, kJson, OverviewJson(snapshot, totals, info)};
}

Reply Routes::Points(const QueryParams& params) {
  PointQuery query;
  std::string error = ParsePointsQuery(params, &query);
  if (!error.empty()) return BadRequest(error);
  PointPage page = reader_.Points(query, &error);
  if (!error.empty()) return Unavailable(error);
  return {200, kJson, PointsJson(page, query)};
}

Reply Routes::Point(const QueryParams& params) {
  PointKey key;
  std::string error = ParsePointKey(params, &key);
  if (!error.empty()) return BadRequest(error);
  std::optional<PointDetail> detail = reader_.Point(key, &error);
  if (!error.empty()) return Unavailable(error);
  if (!detail) return Text(404, "no such point");
  return {200, kJson, PointJson(*detail)};
}

bool Routes::CloseRange(const PointKey& key, TimeRange range, int64_t* from, int64_t* to,
                        Reply* failure) {
  if (!range.fromMillis || !range.toMillis) {
    std::string error;
    std::optional<PointDetail> detail = reader_.Point(key, &error);
    if (!error.empty()) {
      *failure = Unavailable(error);
      return false;
    }
    if (!detail) {
      *failure = Text(404, "no such point");
      return false;
    }
    // A point without values shows the last hour.
    int64_t now = NowUnixMs();
    int64_t first = detail->first ? detail->first->Millis() : now - 3600 * 1000;
    int64_t last = detail->row.last ? detail->row.last->Millis() + 1 : now;
    if (!range.fromMillis) range.fromMillis = range.toMillis ? std::min(first, *range.toMillis - 1) : first;
    if (!range.toMillis) range.toMillis = std::max(last, *range.fromMillis + 1);
  }
  *from = *range.fromMillis;
  *to = *range.toMillis;
  return true;
}

Reply Routes::Series(const QueryParams& params) {
  SeriesRequest request;
  std::string error = ParseSeriesRequest(params, &request);
  if (!error.empty()) return BadRequest(error);
  SeriesQuery query{request.key, 0, 0, request.columns};
  Reply failure;
  if (!CloseRange(request.key, request.range, &query.fromMillis, &query.toMillis, &failure)) {
    return failure;
  }
  histfeed::service::Series series = reader_.ReducedSeries(query, &error);
  if (!error.empty()) return Unavailable(error);
  return {200, kJson, SeriesJson(series, query)};
}

Reply Routes::Chart(const QueryParams& params) {
  ChartRequest request;
  std::string error = ParseChartRequest(params, &request);
  if (!error.empty()) return BadRequest(error);
  ChartFrame frame{request.width, request.height, 0, 0};
  Reply failure;
  if (!CloseRange(request.key, request.range, &frame.fromMillis, &frame.toMillis, &failure)) {
    return failure;
  }
  SeriesQuery query{request.key, frame.fromMillis, frame.toMillis, PlotColumns(frame)};
  histfeed::service::Series series = reader_.ReducedSeries(query, &error);
  if (!error.empty()) return Unavailable(error);
  return {200, "image/svg+xml", DrawChart(series, frame, request.key.point)};
}

}  // namespace histfeed::service::http
