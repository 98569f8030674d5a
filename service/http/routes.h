// SPDX-License-Identifier: Apache-2.0
// What the HTTP side answers to each GET path, apart from the server
// itself: pages, JSON, the chart and /metrics. Every answer is built here
// from the metrics registry and the database reader, so it can be tested
// without sockets.
#ifndef HISTFEED_SERVICE_HTTP_ROUTES_H_
#define HISTFEED_SERVICE_HTTP_ROUTES_H_

#include <string>

#include "service/http/metrics_sampler.h"
#include "service/http/query_params.h"
#include "service/http/rate_meter.h"
#include "service/service_metrics.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

struct Reply {
  Reply() = default;
  Reply(int status, std::string contentType, std::string body)
      : status(status), contentType(std::move(contentType)), body(std::move(body)) {}

  int status = 200;
  std::string contentType;
  std::string body;
  std::string allow;  // with 405: the methods that are answered
};

class Routes {
 public:
  Routes(ServiceMetrics& metrics, StorageReader& reader, std::string version);

  Reply Get(const std::string& path, const QueryParams& params);

 private:
  Reply Overview(const QueryParams& params);
  Reply Points(const QueryParams& params);
  Reply Point(const QueryParams& params);
  Reply Series(const QueryParams& params);
  Reply Chart(const QueryParams& params);
  Reply Metrics(const QueryParams& params);
  Reply Page(const char* asset, const QueryParams& params, bool namesPoint);
  // Fills the open ends of `range` from the point's stored values; false
  // (with the reply to send) when the point is unknown or unreadable.
  bool CloseRange(const PointKey& key, TimeRange range, int64_t* from, int64_t* to,
                  Reply* failure);

  MetricsSampler metrics_;
  StorageReader& reader_;
  std::string version_;
  RateMeter commitRate_;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_ROUTES_H_
