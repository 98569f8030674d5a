// SPDX-License-Identifier: Apache-2.0
// The status items: names and descriptions of the twelve status values of
// a key, and the trace line that reports a key's values by those names.
#ifndef HISTFEED_UNIVERSAL_STATUS_ITEMS_H_
#define HISTFEED_UNIVERSAL_STATUS_ITEMS_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace histfeed::universal {

inline constexpr int32_t kStatusItemRows = 40;
inline constexpr int32_t kStatusItemCount = 12;

struct StatusItem {
  char name[25];
  char description[50];
  char reserved[24];
};

// A key's status values, in the order of the status items.
using StatusValues = std::array<int32_t, kStatusItemCount>;
enum StatusItemIndex : size_t {
  kSendCountItem,
  kSendQueueFullItem,
  kSendQueueCountItem,
  kSendErrorCountItem,
  kNakCountItem,
  kQueuingDataItem,
  kAckEnabledItem,
  kQueueEnabledItem,
  kCacheEnabledItem,
  kCurrentConnectionItem,
  kPrimaryConnectionItem,
  kSecondaryConnectionItem,
};

// The table of status items as 40 rows of which 12 are used, with their
// count.
void CopyStatusItems(StatusItem (&rows)[kStatusItemRows], int32_t* count);

// Passes a trace line "<what> NAME=value ..." with every status value.
void TraceStatusValues(const char* what, const StatusValues& values);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_STATUS_ITEMS_H_
