// SPDX-License-Identifier: Apache-2.0
// Direct sending of one finished frame, with failover between the
// primary and the alternate service and the one-byte acknowledgement.
#ifndef HISTFEED_UNIVERSAL_SEND_DATA_H_
#define HISTFEED_UNIVERSAL_SEND_DATA_H_

#include <cstdint>

#include "universal/key.h"

namespace histfeed::universal {

inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// Sends `frame` for `key`: data frames to the current service with
// failover, configuration frames (isConfig nonzero) to the alternate and
// then the primary. Returns 0, -106 (not sent, not usable, or no
// acknowledgement) or -111 (rejected).
int32_t SendData(Key& key, const char* frame, int32_t length, int32_t isConfig);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_SEND_DATA_H_
