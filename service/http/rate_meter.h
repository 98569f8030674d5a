// SPDX-License-Identifier: Apache-2.0
// The rate of a growing counter over the last few seconds, from the
// samples it is shown as pages ask for it.
#ifndef HISTFEED_SERVICE_HTTP_RATE_METER_H_
#define HISTFEED_SERVICE_HTTP_RATE_METER_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace histfeed::service::http {

class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateMeter(Clock::duration window = std::chrono::seconds(10)) : window_(window) {}

  // Notes the counter's value now and returns its rate per second over
  // the window (0 until two samples are at least a tenth of a second apart).
  double Sample(Clock::time_point now, int64_t count) {
    std::lock_guard lock(mutex_);
    // One sample per tenth of a second at most keeps the list short.
    if (samples_.empty() || now - samples_.back().first >= std::chrono::milliseconds(100)) {
      samples_.emplace_back(now, count);
    }
    while (samples_.size() > 2 && now - samples_[1].first >= window_) samples_.pop_front();
    const auto& [then, before] = samples_.front();
    double seconds = std::chrono::duration<double>(now - then).count();
    return seconds >= 0.1 ? static_cast<double>(count - before) / seconds : 0.0;
  }

 private:
  std::mutex mutex_;
  Clock::duration window_;
  std::deque<std::pair<Clock::time_point, int64_t>> samples_;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_RATE_METER_H_
