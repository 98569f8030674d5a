// SPDX-License-Identifier: Apache-2.0
// What the service counts while it runs: the connections now open and
// totals by family, acknowledgement byte, rejection reason and commit.
// Connection handlers and the storage writer report here; the HTTP pages
// and /metrics read snapshots. Every call is thread-safe and cheap, so
// reporting never holds up an acknowledgement.
#ifndef HISTFEED_SERVICE_SERVICE_METRICS_H_
#define HISTFEED_SERVICE_SERVICE_METRICS_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace histfeed::service {

enum class Family { kUniversal, kClassic };
const char* FamilyName(Family family);

using ConnectionId = uint64_t;

struct ConnectionSnapshot {
  ConnectionId id = 0;
  Family family = Family::kUniversal;
  std::string peer;
  int64_t sinceUnixMs = 0;
  int64_t frames = 0;
  int64_t values = 0;
  int64_t rejections = 0;
  int64_t lastFrameUnixMs = 0;  // 0: no frame yet
};

struct MetricsSnapshot {
  int64_t startedUnixMs = 0;  // when the service started
  std::vector<ConnectionSnapshot> connections;
  int64_t framesByFamily[2] = {0, 0};
  int64_t valuesByFamily[2] = {0, 0};
  int64_t acks = 0;   // 0x06 sent
  int64_t naks = 0;   // 0x15 sent
  std::map<std::string, int64_t> rejectionsByReason;
  int64_t commits = 0;
  int64_t valuesStored = 0;
  // Commit durations: counts per bucket (upper bounds in seconds, the last
  // is +Inf), as a Prometheus histogram wants them.
  std::vector<double> commitBucketBounds;
  std::vector<int64_t> commitBucketCounts;
  double commitSecondsSum = 0;
};

class ServiceMetrics {
 public:
  ServiceMetrics();

  ConnectionId ConnectionOpened(Family family, const std::string& peer);
  void ConnectionClosed(ConnectionId id);

  // A whole frame or request arrived, carrying `values` values.
  void FrameReceived(ConnectionId id, int64_t values);
  // The answer byte sent for a frame (0x06 or 0x15).
  void AnswerSent(ConnectionId id, uint8_t byte);
  // A frame or request refused; `reason` is a short fixed text.
  void Rejected(ConnectionId id, const std::string& reason);
  // One storage commit, holding `values` values.
  void Committed(std::chrono::nanoseconds duration, int64_t values);

  MetricsSnapshot Snapshot() const;

 private:
  struct Connection {
    ConnectionSnapshot state;
  };
  mutable std::mutex mutex_;
  ConnectionId nextId_ = 1;
  std::map<ConnectionId, Connection> open_;
  MetricsSnapshot totals_;
};

// One connection's reports, for a handler that may have no registry (a
// null one): opened on construction, closed on destruction.
class MetricsConnection {
 public:
  MetricsConnection(ServiceMetrics* metrics, Family family, const std::string& peer)
      : metrics_(metrics), id_(metrics ? metrics->ConnectionOpened(family, peer) : 0) {}
  ~MetricsConnection() {
    if (metrics_ != nullptr) metrics_->ConnectionClosed(id_);
  }
  MetricsConnection(const MetricsConnection&) = delete;
  MetricsConnection& operator=(const MetricsConnection&) = delete;

  void FrameReceived(int64_t values) {
    if (metrics_ != nullptr) metrics_->FrameReceived(id_, values);
  }
  void AnswerSent(uint8_t byte) {
    if (metrics_ != nullptr) metrics_->AnswerSent(id_, byte);
  }
  void Rejected(const std::string& reason) {
    if (metrics_ != nullptr) metrics_->Rejected(id_, reason);
  }

 private:
  ServiceMetrics* metrics_;
  ConnectionId id_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_SERVICE_METRICS_H_
