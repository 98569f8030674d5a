// Direct sending of one finished frame, with failover between the
// primary and the alternate service and the one-byte acknowledgement.
#ifndef HISTFEED_UNIVERSAL_SEND_DATA_H_
#define HISTFEED_UNIVERSAL_SEND_DATA_H_

#include <cstdint>

namespace histfeed::universal {

inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// Sends `frame` for `key`: data frames to the current service with
// failover, configuration frames (isConfig nonzero) to the alternate and
// then the primary. Returns 0, -106 (not sent, not usable, or no
// acknowledgement) or -111 (rejected).
int32_t SendData(int32_t key, const char* frame, int32_t length, int32_t isConfig);

// Reads the acknowledgement byte of the primary (alternate 0) or the
// alternate (1) into *ack, waiting at most the key's acknowledgement
// time-out. Returns 0, or -106 on time-out or a broken connection (which
// marks the service not connected). The caller holds the service's
// exchange lock.
int32_t GetAckBack(int32_t key, int32_t alternate, char* ack);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_SEND_DATA_H_
