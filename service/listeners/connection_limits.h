// SPDX-License-Identifier: Apache-2.0
// How many connections a listener holds, from whom, and how long it
// waits on them.
#ifndef HISTFEED_SERVICE_LISTENERS_CONNECTION_LIMITS_H_
#define HISTFEED_SERVICE_LISTENERS_CONNECTION_LIMITS_H_

#include <chrono>

#include "service/listeners/address_filter.h"

namespace histfeed::service {

struct ConnectionLimits {
  // Open connections on one port; one more is accepted, logged and closed.
  int maxConnections = 4096;
  // From the first byte of a frame or request to its last, and for
  // writing its answer.
  std::chrono::milliseconds frameTimeout{30'000};
  // With no frame begun; a source with nothing to say sends heart beats.
  std::chrono::milliseconds idleTimeout{900'000};
  // Open connections from one address on one port, so that one client
  // cannot take every slot.
  int maxPerAddress = 1024;
  // Client addresses taken; the rest are closed at accept.
  AddressFilter allowed;
  // A connection whose descriptor number reaches this is closed at accept
  // (0: none): the process then holds at least that many descriptors, and
  // the pages leave what is left to sources.
  int descriptorCeiling = 0;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_CONNECTION_LIMITS_H_
