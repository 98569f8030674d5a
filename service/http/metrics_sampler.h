// SPDX-License-Identifier: Apache-2.0
// Takes the service's metrics snapshots for the HTTP side on a thread of
// normal priority. The metrics' lock is shared with the listeners, and an
// HTTP thread runs only on processor time nobody else wants: stopped while
// it held that lock, it would keep every listener waiting for as long as
// the machine stayed busy. This thread holds the lock instead, briefly, and
// hands the copy over under a lock of its own that no listener takes.
#ifndef HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_
#define HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "service/service_metrics.h"

namespace histfeed::service::http {

class MetricsSampler {
 public:
  explicit MetricsSampler(ServiceMetrics& metrics);
  ~MetricsSampler();
  MetricsSampler(const MetricsSampler&) = delete;
  MetricsSampler& operator=(const MetricsSampler&) = delete;

  // A snapshot taken after this call began.
  MetricsSnapshot Take();

 private:
  void Run();

  ServiceMetrics& metrics_;
  std::mutex mutex_;
  std::condition_variable asked_;
  std::condition_variable taken_;
  uint64_t requested_ = 0;  // guarded by mutex_; requests so far
  uint64_t served_ = 0;     // guarded by mutex_; requests the latest snapshot answers
  bool stopping_ = false;   // guarded by mutex_
  MetricsSnapshot latest_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_METRICS_SAMPLER_H_
