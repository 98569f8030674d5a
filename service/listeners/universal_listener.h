// SPDX-License-Identifier: Apache-2.0
// Serves universal connections: reads frames, stores their rows and
// answers each frame with one byte, 0x06 once its rows are committed or
// 0x15 when it is malformed or could not be stored.
#ifndef HISTFEED_SERVICE_LISTENERS_UNIVERSAL_LISTENER_H_
#define HISTFEED_SERVICE_LISTENERS_UNIVERSAL_LISTENER_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "service/listeners/connection_limits.h"
#include "service/listeners/stream_listener.h"
#include "service/service_metrics.h"
#include "service/storage/storage_writer.h"

namespace histfeed::service {

// Faults a test or a demonstration asks the service to show.
struct UniversalFaults {
  int nakEvery = 0;     // answer 0x15 to every Nth frame, storing nothing
  int ackDelayMs = 0;   // wait this long before each answer
  int closeAfter = 0;   // close a connection after N frames
  bool silent = false;  // read frames, never answer, store nothing
};

struct UniversalCounters {
  std::atomic<int64_t> frames{0};
  std::atomic<int64_t> heartBeats{0};
  std::atomic<int64_t> refused{0};
  std::atomic<int64_t> values{0};
  std::atomic<int64_t> configs{0};
  std::atomic<int64_t> deletions{0};
};

class UniversalListener {
 public:
  UniversalListener(StorageWriter& writer, ServiceMetrics& metrics, UniversalFaults faults,
                    ConnectionLimits limits = {});
  // Listen binds host:port and Serve accepts on it; Start does both.
  // A service with two ports binds both before either accepts, since the
  // connections of one may take every descriptor the other needs.
  std::string Listen(const std::string& host, uint16_t port);
  void Serve() { listener_.Serve(); }
  std::string Start(const std::string& host, uint16_t port) {
    std::string error = Listen(host, port);
    if (error.empty()) Serve();
    return error;
  }
  uint16_t port() const { return listener_.port(); }
  int openConnections() const { return listener_.openConnections(); }
  void Stop() { listener_.Stop(); }
  const UniversalCounters& counters() const { return counters_; }

 private:
  class Connection;

  StorageWriter& writer_;
  const UniversalFaults faults_;
  UniversalCounters counters_;
  StreamListener listener_;  // last: its connections use the members above
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_UNIVERSAL_LISTENER_H_
