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

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_SERVICE_METRICS_H_
