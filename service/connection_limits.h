// SPDX-License-Identifier: Apache-2.0
// How many connections a listener holds and how long it waits on them.
#ifndef HISTFEED_SERVICE_CONNECTION_LIMITS_H_
#define HISTFEED_SERVICE_CONNECTION_LIMITS_H_

#include <chrono>

namespace histfeed::service {

struct ConnectionLimits {
  // Open connections on one port; one more is accepted, logged and closed.
  int maxConnections = 4096;
  // From the first byte of a frame or request to its last.
  std::chrono::milliseconds frameTimeout{30'000};
  // With no frame begun; a source with nothing to say sends heart beats.
  std::chrono::milliseconds idleTimeout{900'000};
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_CONNECTION_LIMITS_H_
