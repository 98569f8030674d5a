// SPDX-License-Identifier: Apache-2.0
#include "service/http/metrics_sampler.h"

#include <boost/asio/post.hpp>
#include <future>

namespace histfeed::service::http {

MetricsSampler::MetricsSampler(ServiceMetrics& metrics)
    : metrics_(metrics),
      keepRunning_(asio::make_work_guard(context_)),
      thread_([this] { context_.run(); }) {}

MetricsSampler::~MetricsSampler() {
  keepRunning_.reset();
  thread_.join();
}

MetricsSnapshot MetricsSampler::Take() {
  std::packaged_task<MetricsSnapshot()> take([this] { return metrics_.Snapshot(); });
  std::future<MetricsSnapshot> snapshot = take.get_future();
  asio::post(context_, std::move(take));
  return snapshot.get();
}

}  // namespace histfeed::service::http
