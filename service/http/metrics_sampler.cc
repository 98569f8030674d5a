// SPDX-License-Identifier: Apache-2.0
#include "service/http/metrics_sampler.h"

#include <utility>

namespace histfeed::service::http {

MetricsSampler::MetricsSampler(ServiceMetrics& metrics)
    : metrics_(metrics), thread_([this] { Run(); }) {}

MetricsSampler::~MetricsSampler() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  asked_.notify_one();
  thread_.join();
}

MetricsSnapshot MetricsSampler::Take() {
  std::unique_lock lock(mutex_);
  uint64_t ticket = ++requested_;
  asked_.notify_one();
  taken_.wait(lock, [&] { return served_ >= ticket; });
  return latest_;
}

void MetricsSampler::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    asked_.wait(lock, [this] { return stopping_ || requested_ > served_; });
    if (stopping_) return;
    uint64_t answering = requested_;
    lock.unlock();
    MetricsSnapshot snapshot = metrics_.Snapshot();
    lock.lock();
    latest_ = std::move(snapshot);
    served_ = answering;
    taken_.notify_all();
  }
}

}  // namespace histfeed::service::http
