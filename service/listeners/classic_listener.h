// SPDX-License-Identifier: Apache-2.0
// Serves the built-in network backend of histfeed's classic family: one
// request at a time per connection, each answered with one reply (see
// wire/classic_network_protocol.h). Data and configuration requests are
// answered with the 256-byte reply block: status 0 once their rows are
// committed, a refusing status and a text otherwise, the busy bits or a
// load report "n,m" when asked to show them.
#ifndef HISTFEED_SERVICE_LISTENERS_CLASSIC_LISTENER_H_
#define HISTFEED_SERVICE_LISTENERS_CLASSIC_LISTENER_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/mutex.h"
#include "service/listeners/connection_limits.h"
#include "service/listeners/stream_listener.h"
#include "service/service_metrics.h"
#include "service/storage/storage_writer.h"

namespace histfeed::service {

// Reply statuses (reply block offset 4) of refused requests.
inline constexpr uint32_t kClassicNotStored = 0x0001;     // the database refused the rows
inline constexpr uint32_t kClassicMalformed = 0x0002;     // the request breaks its layout
inline constexpr uint32_t kClassicRefusedAsAsked = 0x0003;  // --refuse-every
inline constexpr uint32_t kClassicBusy = 0x0110;

// What a test or a demonstration asks the classic listener to show. Only
// data requests (codes 8101 and 8102) are answered busy, refused or with
// a load report.
struct ClassicFaults {
  bool busy = false;        // answer every data request busy, storing nothing
  int busyCount = 0;        // answer the next N data requests busy
  int refuseEvery = 0;      // refuse every Nth data request, storing nothing
  std::string load;         // "n,m": sent with every accepted data request
  int32_t serviceKind = 0;  // the answer to the service kind query
};

struct ClassicCounters {
  std::atomic<int64_t> requests{0};
  std::atomic<int64_t> values{0};
  std::atomic<int64_t> configs{0};
  std::atomic<int64_t> refused{0};
  std::atomic<int64_t> busyAnswers{0};
};

class ClassicListener {
 public:
  ClassicListener(StorageWriter& writer, ServiceMetrics& metrics, ClassicFaults faults,
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
  const ClassicCounters& counters() const { return counters_; }

  // Changes the faults shown from the next request on.
  void SetFaults(const ClassicFaults& faults) EXCLUDES(faultsMutex_);

 private:
  class Connection;
  // What a data request meets before it is stored: whether it is answered
  // busy or refused, and the load report to send with it.
  struct DataFaults {
    bool busy = false;
    bool refuse = false;
    std::string load;
  };
  DataFaults NextDataFaults() EXCLUDES(faultsMutex_);
  int32_t ServiceKind() EXCLUDES(faultsMutex_);

  StorageWriter& writer_;
  platform::Mutex faultsMutex_;
  ClassicFaults faults_ GUARDED_BY(faultsMutex_);
  int64_t dataRequests_ GUARDED_BY(faultsMutex_) = 0;
  ClassicCounters counters_;
  StreamListener listener_;  // last: its connections use the members above
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_CLASSIC_LISTENER_H_
