// Results of the universal transport.
#ifndef HISTFEED_UNIVERSAL_TRANSPORT_RESULTS_H_
#define HISTFEED_UNIVERSAL_TRANSPORT_RESULTS_H_

#include <cstdint>

namespace histfeed::universal {

inline constexpr int32_t kSocketStartupFailed = -1;
inline constexpr int32_t kHostNotResolved = -103;
inline constexpr int32_t kSocketNotCreated = -104;
inline constexpr int32_t kConnectFailed = -105;
inline constexpr int32_t kNotSent = -106;
inline constexpr int32_t kQueueNotCreated = -108;
inline constexpr int32_t kCacheNotEnabled = -109;
inline constexpr int32_t kQueueRefused = -110;
inline constexpr int32_t kRejected = -111;
inline constexpr int32_t kNoFreeSlot = -112;

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_TRANSPORT_RESULTS_H_
