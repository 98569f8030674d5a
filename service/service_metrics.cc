// SPDX-License-Identifier: Apache-2.0
#include "service/service_metrics.h"

namespace histfeed::service {
namespace {

int64_t NowUnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int FamilyIndex(Family family) { return family == Family::kUniversal ? 0 : 1; }

}  // namespace

const char* FamilyName(Family family) {
  return family == Family::kUniversal ? "universal" : "classic";
}

ServiceMetrics::ServiceMetrics() {
  platform::MutexLock lock(mutex_);
  totals_.startedUnixMs = NowUnixMs();
  totals_.commitBucketBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1};
  totals_.commitBucketCounts.assign(totals_.commitBucketBounds.size() + 1, 0);
}

ConnectionId ServiceMetrics::ConnectionOpened(Family family, const std::string& peer) {
  platform::MutexLock lock(mutex_);
  ConnectionId id = nextId_++;
  Connection& connection = open_[id];
  connection.state.id = id;
  connection.state.family = family;
  connection.state.peer = peer;
  connection.state.sinceUnixMs = NowUnixMs();
  return id;
}

void ServiceMetrics::ConnectionClosed(ConnectionId id) {
  platform::MutexLock lock(mutex_);
  open_.erase(id);
}

void ServiceMetrics::FrameReceived(ConnectionId id, int64_t values) {
  platform::MutexLock lock(mutex_);
  auto found = open_.find(id);
  if (found == open_.end()) return;
  ConnectionSnapshot& state = found->second.state;
  ++state.frames;
  state.values += values;
  state.lastFrameUnixMs = NowUnixMs();
  ++totals_.framesByFamily[FamilyIndex(state.family)];
  totals_.valuesByFamily[FamilyIndex(state.family)] += values;
}

void ServiceMetrics::AnswerSent(ConnectionId id, uint8_t byte) {
  platform::MutexLock lock(mutex_);
  auto found = open_.find(id);
  int family = FamilyIndex(found == open_.end() ? Family::kUniversal : found->second.state.family);
  if (byte == 0x06) {
    ++totals_.acks;
    ++totals_.acksByFamily[family];
  }
  if (byte == 0x15) {
    ++totals_.naks;
    ++totals_.naksByFamily[family];
  }
}

void ServiceMetrics::ConnectionRefused(const std::string& port, const std::string& reason) {
  platform::MutexLock lock(mutex_);
  ++totals_.refusedConnections[{port, reason}];
}

void ServiceMetrics::PageConnectionsChanged(int change) {
  platform::MutexLock lock(mutex_);
  totals_.pageConnections += change;
}

void ServiceMetrics::Rejected(ConnectionId id, const std::string& reason) {
  platform::MutexLock lock(mutex_);
  ++totals_.rejectionsByReason[reason];
  auto found = open_.find(id);
  if (found != open_.end()) ++found->second.state.rejections;
}

void ServiceMetrics::Committed(std::chrono::nanoseconds duration, int64_t values) {
  double seconds = std::chrono::duration<double>(duration).count();
  platform::MutexLock lock(mutex_);
  ++totals_.commits;
  totals_.valuesStored += values;
  totals_.commitSecondsSum += seconds;
  totals_.lastCommitSeconds = seconds;
  size_t bucket = 0;
  while (bucket < totals_.commitBucketBounds.size() && seconds > totals_.commitBucketBounds[bucket]) {
    ++bucket;
  }
  ++totals_.commitBucketCounts[bucket];
}

void ServiceMetrics::BatchesFailed(int64_t batches, const std::string& reason) {
  platform::MutexLock lock(mutex_);
  totals_.batchesFailed += batches;
  totals_.storeLastError = reason;
}

void ServiceMetrics::StoreState(const char* kind, bool connected) {
  platform::MutexLock lock(mutex_);
  totals_.storeKind = kind;
  totals_.storeConnected = connected;
}

MetricsSnapshot ServiceMetrics::Snapshot() const {
  platform::MutexLock lock(mutex_);
  MetricsSnapshot snapshot = totals_;
  for (const auto& [id, connection] : open_) snapshot.connections.push_back(connection.state);
  return snapshot;
}

}  // namespace histfeed::service
