// SPDX-License-Identifier: Apache-2.0
// The control record of a RecordQueue, shared by the ring operations and
// the disk cache. Only queue/ sees it.
#ifndef HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
#define HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/lazy_semaphore.h"
#include "queue/cache_file.h"
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
  uint32_t loadedNumber = 0;  // the number the loaded records were read from
  // The records of the cache file read back last, pointing into
  // fileBytes; the next one to take is loadedRecords[loadedNext].
  std::vector<CacheRecord> loadedRecords;
  size_t loadedNext = 0;
  uint16_t loadedSlotSize = 0;
  // The file that still holds the loaded records; removed only once the
  // last of them has been taken, so a crash before then loses nothing.
  // Empty when no file holds them.
  std::string loadedFile;
  // A cache file read whole, reused; never zero-filled, as every byte
  // used is read.
  std::unique_ptr<uint8_t[]> fileBytes;
  size_t fileCapacity = 0;
  // Files whose records have all been taken, renamed aside so that no
  // restart delivers them again, waiting to be removed.
  std::vector<std::string> deliveredFiles;
  bool spillsFailing = false;      // the last spill failed on the disk

  QueueMessageSink messageSink;  // guarded by `lock`
  QueueRecordCheck recordCheck;  // guarded by `lock`

  std::atomic<bool> closing{false};
  std::atomic<int> callsInside{0};

  bool LoadedEmpty() const { return loadedNext == loadedRecords.size(); }
  bool CacheHoldsRecords() const { return fileCount > 0 || !LoadedEmpty(); }
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

// Hands over the delivered files waiting to be removed (with the lock
// held). RemoveDeliveredFiles removes them (the lock need not be held) and
// returns "name: reason" for each that stays; SayDeliveredFilesStay passes
// those on (with the lock held).
std::vector<std::string> TakeDeliveredFiles(RecordQueue& queue);
std::vector<std::string> RemoveDeliveredFiles(const std::vector<std::string>& names);
void SayDeliveredFilesStay(RecordQueue& queue, const std::vector<std::string>& failures);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
