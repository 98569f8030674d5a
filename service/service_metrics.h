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
#include <string>
#include <utility>
#include <vector>

#include "platform/mutex.h"

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
  int64_t acks = 0;   // 0x06 sent (classic: status 0)
  int64_t naks = 0;   // 0x15 sent (classic: any other status)
  int64_t acksByFamily[2] = {0, 0};
  int64_t naksByFamily[2] = {0, 0};
  std::map<std::string, int64_t> rejectionsByReason;
  // Connections closed at accept, by port ("universal", "classic",
  // "http") and reason.
  std::map<std::pair<std::string, std::string>, int64_t> refusedConnections;
  int64_t pageConnections = 0;  // open now
  int64_t commits = 0;
  int64_t valuesStored = 0;
  // Commit durations: counts per bucket (upper bounds in seconds, the last
  // is +Inf), as a Prometheus histogram wants them.
  std::vector<double> commitBucketBounds;
  std::vector<int64_t> commitBucketCounts;
  double commitSecondsSum = 0;
  double lastCommitSeconds = 0;
  // The storage: its kind, whether its database can be reached now, the
  // batches it could not store and why the last of them failed.
  std::string storeKind;
  bool storeConnected = true;
  int64_t batchesFailed = 0;
  std::string storeLastError;
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
  // A connection closed at accept, before it was a connection.
  void ConnectionRefused(const std::string& port, const std::string& reason);
  // Page connections opened (+1) or closed (-1).
  void PageConnectionsChanged(int change);
  // One storage commit, holding `values` values.
  void Committed(std::chrono::nanoseconds duration, int64_t values);
  // Batches the storage could not store, and why.
  void BatchesFailed(int64_t batches, const std::string& reason);
  // Which storage the service writes to, and whether it can be reached.
  void StoreState(const char* kind, bool connected);

  MetricsSnapshot Snapshot() const;

 private:
  struct Connection {
    ConnectionSnapshot state;
  };
  mutable platform::Mutex mutex_;
  ConnectionId nextId_ GUARDED_BY(mutex_) = 1;
  std::map<ConnectionId, Connection> open_ GUARDED_BY(mutex_);
  MetricsSnapshot totals_ GUARDED_BY(mutex_);
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_SERVICE_METRICS_H_
