// SPDX-License-Identifier: Apache-2.0
// The control record of a RecordQueue, shared by the ring operations and
// the disk cache. Only queue/ sees it.
#ifndef HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
#define HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/lazy_semaphore.h"
#include "queue/record_queue.h"
#include "queue/ring.h"

namespace histfeed {

struct RecordQueue {
  LazySemaphore lock;        // serialises every operation
  LazySemaphore dataSignal;  // released after each push; starts taken
  Ring ring;

  // Disk cache; all of it is guarded by `lock`.
  bool cacheEnabled = false;
  std::string cacheDirectory;  // ends in a separator
  std::string cachePrefix;
  std::string cacheExtension;  // with its dot, or empty
  uint32_t maxFiles = 0;       // 0: no limit
  uint32_t deleteOldest = 0;
  uint32_t firstNumber = 0;  // oldest file that may still exist
  uint32_t lastNumber = 0;   // newest file written
  uint32_t fileCount = 0;    // files believed to exist
  Ring loaded;               // the cache file read back last
  uint16_t loadedCapacityCount = 0;
  uint16_t loadedCapacitySize = 0;
  uint32_t loadedNumber = 0;  // the number the loaded records were read from
  // The file that still holds the loaded records; removed only once the
  // last of them has been taken, so a crash before then loses nothing.
  // Empty when no file holds them.
  std::string loadedFile;
  std::vector<uint8_t> fileBytes;  // a cache file read whole, reused
  bool spillsFailing = false;      // the last spill failed on the disk

  QueueMessageSink messageSink;  // guarded by `lock`
  QueueRecordCheck recordCheck;  // guarded by `lock`

  std::atomic<bool> closing{false};
  std::atomic<int> callsInside{0};

  bool CacheHoldsRecords() const { return fileCount > 0 || !loaded.Empty(); }
};

// Formats a line and passes it to the queue's sink, if one is set.
void QueueMessage(RecordQueue& queue, QueueMessageKind kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the full ring to a new cache file and empties it. Called by a
// push on a full ring, with the lock held. Returns 0 or -303.
int32_t QueueSpill(RecordQueue& queue);

// The cache side of pop and peek, with the lock held: takes from the
// loaded region, loading the oldest cache file first when it is empty.
int32_t QueueCacheTake(RecordQueue& queue, bool remove, void* dst, uint16_t capacity,
                       uint16_t* outLength);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
