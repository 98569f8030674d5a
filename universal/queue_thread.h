// SPDX-License-Identifier: Apache-2.0
// The queue thread of a key: replays queued frames, oldest first, while a
// service is connected.
#ifndef HISTFEED_UNIVERSAL_QUEUE_THREAD_H_
#define HISTFEED_UNIVERSAL_QUEUE_THREAD_H_

#include <cstdint>

namespace histfeed::universal {

// The thread body; the argument is the key's number.
void QueueThread(int32_t number);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_QUEUE_THREAD_H_
