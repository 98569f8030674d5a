// SPDX-License-Identifier: Apache-2.0
// The service's counters in the Prometheus text exposition format.
#ifndef HISTFEED_SERVICE_HTTP_METRICS_TEXT_H_
#define HISTFEED_SERVICE_HTTP_METRICS_TEXT_H_

#include <string>

#include "service/service_metrics.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service::http {

std::string PrometheusText(const MetricsSnapshot& metrics, const DatabaseTotals& database,
                           const std::string& version);

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_METRICS_TEXT_H_
