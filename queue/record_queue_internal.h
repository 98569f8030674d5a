// SPDX-License-Identifier: Apache-2.0
// The state of a RecordQueue, shared by the ring operations and the disk
// cache. Only queue/ sees it. The queue's mutex guards all of it: the
// queue holds it as PT_GUARDED_BY its mutex, and the functions below are
// called with that mutex held.
#ifndef HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
#define HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "queue/cache_file.h"
#include "queue/record_queue.h"
#include "queue/ring.h"

namespace histfeed {

struct QueueState {
  Ring ring;

  // Disk cache.
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

  QueueMessageSink messageSink;
  QueueRecordCheck recordCheck;

  bool LoadedEmpty() const { return loadedNext == loadedRecords.size(); }
  bool CacheHoldsRecords() const { return fileCount > 0 || !LoadedEmpty(); }
};

// Formats a line and passes it to the queue's sink, if one is set.
void QueueMessage(QueueState& queue, QueueMessageKind kind, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes the full ring to a new cache file and empties it. Called by a
// push on a full ring. Returns 0 or -303.
int32_t QueueSpill(QueueState& queue);

// The cache side of pop and peek: takes from the loaded region, loading
// the oldest cache file first when it is empty.
int32_t QueueCacheTake(QueueState& queue, bool remove, void* dst, uint16_t capacity,
                       uint16_t* outLength);

// Hands over the delivered files waiting to be removed.
// RemoveDeliveredFiles removes them (the queue's mutex need not be held)
// and returns "name: reason" for each that stays; SayDeliveredFilesStay
// passes those on.
std::vector<std::string> TakeDeliveredFiles(QueueState& queue);
std::vector<std::string> RemoveDeliveredFiles(const std::vector<std::string>& names);
void SayDeliveredFilesStay(QueueState& queue, const std::vector<std::string>& failures);

// The cache operations of RecordQueue of the same names.
int32_t QueueEnableCache(QueueState& queue, uint32_t maxFiles, uint32_t deleteOldest,
                         const char* prefix, const char* directory);
int32_t QueueSaveToCache(QueueState& queue, const QueueRecordVisitor& lost, std::string* reason);
int32_t QueueSetAside(QueueState& queue, const void* record, uint16_t length, std::string* where);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_RECORD_QUEUE_INTERNAL_H_
