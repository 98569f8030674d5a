// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the queue as a cache file left by an earlier
// run, and reads everything back. The queue must refuse what it cannot
// trust without reading or writing out of bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/one_cache_file.h"
#include "platform/file_system.h"
#include "queue/record_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  histfeed::fuzz::OneCacheFile files(data, size);
  histfeed::platform::SetFilesForTesting(&files);
  std::unique_ptr<histfeed::RecordQueue> queue;
  if (histfeed::RecordQueue::Create(4, 16, &queue) == 0) {
    queue->EnableCache(0, 0, "Q", "F");
    uint8_t record[64];
    uint16_t length = 0;
    // Alternate small and large capacities to reach the -304 paths too.
    for (int i = 0; i < 70000; ++i) {
      uint16_t capacity = (i % 3 == 0) ? 8 : sizeof record;
      int32_t result = (i % 2 == 0) ? queue->Peek(record, capacity, &length)
                                     : queue->Pop(record, capacity, &length);
      if (result == histfeed::kQueueEmpty || result == histfeed::kQueueCacheFileUnreadable) break;
    }
    queue.reset();
  }
  histfeed::platform::SetFilesForTesting(nullptr);
  return 0;
}
