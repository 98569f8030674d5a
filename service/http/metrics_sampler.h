// SPDX-License-Identifier: Apache-2.0
// Takes the service's metrics snapshots for the HTTP side on a thread of
// normal priority. The metrics' lock is shared with the listeners, and the
// HTTP thread runs only on processor time nobody else wants: stopped while
// it held that lock, it would keep every listener waiting for as long as
// the machine stayed busy. This thread holds the lock instead, briefly,
// and hands the copy over through a future.
#ifndef HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_
#define HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_

#include <boost/asio/executor_work_guard.hpp>
#include <thread>

#include "service/network.h"
#include "service/service_metrics.h"

namespace histfeed::service::http {

class MetricsSampler {
 public:
  explicit MetricsSampler(ServiceMetrics& metrics);
  // Waits for the snapshots asked for so far.
  ~MetricsSampler();
  MetricsSampler(const MetricsSampler&) = delete;
  MetricsSampler& operator=(const MetricsSampler&) = delete;

  // A snapshot taken after this call began.
  MetricsSnapshot Take();

 private:
  ServiceMetrics& metrics_;
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
  std::thread thread_;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_
