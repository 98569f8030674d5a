// SPDX-License-Identifier: Apache-2.0
// The send-or-queue step every frame of a key passes through, and the
// set-up and tear-down of the key's queue.
#ifndef HISTFEED_UNIVERSAL_QUEUED_SENDING_H_
#define HISTFEED_UNIVERSAL_QUEUED_SENDING_H_

#include <cstdint>

#include "universal/key.h"

namespace histfeed::universal {

inline constexpr uint16_t kQueueSlots = 50;
inline constexpr uint16_t kQueueSlotBytes = 8192;

// The queue of a key asked for queueing: created with its cache and its
// thread. Returns 0, -108 or -109; on failure nothing of it is left.
int32_t SetUpQueue(Key& key, int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                   const char* cacheDirectory);

// Destroys the key's queue once no sender can reach it any more.
void TearDownQueue(Key& key);

// Sends a frame at once or queues it; the counters of the key follow.
// Returns 0 (sent, or queued), -106 or -111 without a queue, or -110 when
// the queue refused the frame.
int32_t SendOrQueue(Key& key, const char* frame, int32_t length, int32_t isConfig);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_QUEUED_SENDING_H_
