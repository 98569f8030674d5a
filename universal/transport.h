// SPDX-License-Identifier: Apache-2.0
// The transport of a connection key: its two service links, which of them
// data frames go to, the acknowledgement options, and the reconnect
// threads that rebuild a lost connection every 5 seconds.
//
// Connect, StopReconnecting and Close are called one at a time (the key
// holds its lifecycle lock around them); Send may run in any number of
// threads beside them, each link pairing a frame with its own answer.
#ifndef HISTFEED_UNIVERSAL_TRANSPORT_H_
#define HISTFEED_UNIVERSAL_TRANSPORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/event.h"
#include "universal/service_link.h"

namespace histfeed::universal {

inline constexpr int32_t kDefaultAckTimeoutSeconds = 3;
// The initial stack every background thread of a key asks for.
inline constexpr size_t kThreadStackBytes = 2048;

// Which service data frames go to.
enum DataRoute : int32_t { kUsePrimary = 0, kUseAlternate = 1 };

// How one exchange of a frame with a service went.
enum class Outcome { kNotSent, kNoAnswer, kAccepted, kRejected };

// The three ways a data frame is tried: on the primary; on the alternate
// as the current service; on the alternate right after the primary's send
// failed.
enum class Attempt { kPrimary, kAlternate, kFailover };

class Transport {
 public:
  // `number` names the key in messages; `reconnected` is called whenever a
  // reconnect thread has brought a link back.
  Transport(int32_t number, std::function<void()> reconnected);
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // The options of a key being taken: acknowledgement on or off with its
  // 3-second time-out, data to the primary, the primary not connected and
  // no alternate.
  void Reset(bool ackEnabled);

  // Opens the primary and, when a host is given, the alternate connection,
  // and starts one reconnect thread per service; an earlier connect's
  // threads and sockets go first. Returns 0, -103, -104 (no thread then)
  // or -105 (the thread retries).
  int32_t Connect(const char* primaryHost, int32_t primaryPort, const char* alternateHost,
                  int32_t alternatePort);

  // Sends one frame: data frames to the current service with failover,
  // configuration frames to the alternate and then the primary. Returns 0,
  // -106 (not sent, not usable, or no acknowledgement) or -111 (rejected).
  int32_t Send(const char* frame, int32_t length, bool isConfig);

  bool AnyConnected() const { return primary_.Connected() || alternate_.Connected(); }
  bool ackEnabled() const { return ackEnabled_.load() != 0; }
  int32_t ackTimeoutSeconds() const { return ackTimeoutSeconds_.load(); }
  DataRoute route() const { return route_.load(); }

  // Wakes every blocked call on both links.
  void Abort();
  // Stops the reconnect threads and waits for them to end.
  void StopReconnecting();
  // Closes both sockets and marks both links not connected; an alternate
  // that was never asked for stays so.
  void Close();

  ServiceLink& primary() { return primary_; }
  ServiceLink& alternate() { return alternate_; }
  const ServiceLink& primary() const { return primary_; }
  const ServiceLink& alternate() const { return alternate_; }

  void SetRouteForTesting(DataRoute route) { route_ = route; }
  void SetAckTimeoutSecondsForTesting(int32_t seconds) { ackTimeoutSeconds_ = seconds; }

 private:
  LinkExchange SendOn(ServiceLink& link, const char* frame, int32_t length, bool readAck);
  int32_t SendDataFrame(const char* frame, int32_t length);
  int32_t TryDataFrame(Attempt attempt, const char* frame, int32_t length);
  void TraceDataFrame(DataRoute before, int32_t result, const char* frame, int32_t length) const;
  int32_t SendConfigFrame(const char* frame, int32_t length);

  int32_t ConnectLink(ServiceLink& link, const char* host, int32_t port);
  void StartReconnectThread(ServiceLink& link);
  void PrimaryReconnectLoop();
  void AlternateReconnectLoop();
  // One reconnect round; false once the thread should end.
  Reconnect ReconnectRound(ServiceLink& link);
  bool WaitForNextRound();

  const int32_t number_;
  const std::function<void()> reconnected_;
  ServiceLink primary_{"PRI"};
  ServiceLink alternate_{"ALT"};
  std::atomic<int32_t> ackEnabled_{0};
  std::atomic<int32_t> ackTimeoutSeconds_{0};
  std::atomic<DataRoute> route_{kUsePrimary};
  // Set to end the reconnect threads and their waits.
  platform::Event reconnectStop_;
};

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_TRANSPORT_H_
