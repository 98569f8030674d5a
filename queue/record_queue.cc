// SPDX-License-Identifier: Apache-2.0
#include "queue/record_queue.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "queue/record_queue_internal.h"

namespace histfeed {
namespace {

// Counts a caller inside the queue, so that QueueDestroy can wait until
// every call has left before it frees anything.
class CallScope {
 public:
  explicit CallScope(RecordQueue& queue) : queue_(queue) { queue_.callsInside.fetch_add(1); }
  ~CallScope() { queue_.callsInside.fetch_sub(1); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  RecordQueue& queue_;
};

int32_t Read(RecordQueue* queue, bool remove, void* dst, uint16_t capacity,
             uint16_t* outLength) {
  CallScope call(*queue);
  SemLock lock(queue->lock);
  // Records in the cache are older than any in the ring.
  if (queue->CacheHoldsRecords()) {
    return QueueCacheTake(*queue, remove, dst, capacity, outLength);
  }
  return queue->ring.Take(remove, dst, capacity, outLength);
}

}  // namespace

void QueueMessage(RecordQueue& queue, QueueMessageKind kind, const char* format, ...) {
  if (!queue.messageSink) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  queue.messageSink(kind, line);
}

int32_t QueueCreate(RecordQueue** out, uint16_t slotCount, uint16_t slotSize) {
  // A ring of one slot can hold no record once its read index has moved,
  // and slot size 0 would mean keeping references to callers' memory.
  if (slotCount < 2 || slotSize == 0) return kQueueBadSlotCount;
  *out = nullptr;
  auto* queue = new (std::nothrow) RecordQueue();
  if (queue == nullptr) return kQueueNoMemory;
  Ring& ring = queue->ring;
  ring.lengths.reset(new (std::nothrow) uint16_t[slotCount]());
  ring.slots.reset(new (std::nothrow) uint8_t[static_cast<size_t>(slotCount) * slotSize]());
  if (!ring.lengths || !ring.slots) {
    delete queue;
    return kQueueNoMemory;
  }
  ring.slotCount = slotCount;
  ring.slotSize = slotSize;
  ring.writeIndex = slotCount;
  ring.readIndex = slotCount;
  // The data signal starts taken: the first wait blocks until a push.
  SemWait(queue->dataSignal, kWaitForever);
  *out = queue;
  return kQueueOk;
}

void QueueDestroy(RecordQueue* queue) {
  if (queue == nullptr) return;
  QueueClose(queue);
  while (queue->callsInside.load() > 0) {
    SemRelease(queue->dataSignal);
    platform::SleepMs(1);
  }
  // Delivered whole: nothing in them is lost.
  SayDeliveredFilesStay(*queue, RemoveDeliveredFiles(TakeDeliveredFiles(*queue)));
  SemDestroy(queue->lock);
  SemDestroy(queue->dataSignal);
  delete queue;
}

int32_t QueuePush(RecordQueue* queue, const void* data, uint16_t length) {
  CallScope call(*queue);
  SemLock lock(queue->lock);
  Ring& ring = queue->ring;
  if (ring.Full()) {
    int32_t spilled = QueueSpill(*queue);
    if (spilled != kQueueOk) return spilled;
  }
  // Checked after the full test, so an oversized record can still spill.
  if (length > ring.slotSize) return kQueueRecordTooLong;
  ring.writeIndex = ring.Advance(ring.writeIndex);
  if (length > 0) std::memcpy(ring.Slot(ring.writeIndex), data, length);
  ring.lengths[ring.writeIndex] = length;
  SemRelease(queue->dataSignal);
  return kQueueOk;
}

int32_t QueuePop(RecordQueue* queue, void* dst, uint16_t capacity, uint16_t* outLength) {
  return Read(queue, true, dst, capacity, outLength);
}

int32_t QueuePeek(RecordQueue* queue, void* dst, uint16_t capacity, uint16_t* outLength) {
  return Read(queue, false, dst, capacity, outLength);
}

int32_t QueuePeekMany(RecordQueue* queue, void* dst, uint16_t capacity, uint16_t* lengths,
                      uint16_t maxRecords, uint16_t* outCount) {
  *outCount = 0;
  if (maxRecords == 0) return kQueueOk;
  CallScope call(*queue);
  SemLock lock(queue->lock);
  if (queue->CacheHoldsRecords()) {
    // The cache's records come one at a time, as for QueuePeek.
    int32_t result = QueueCacheTake(*queue, false, dst, capacity, &lengths[0]);
    if (result == kQueueRecordTooLong) {
      lengths[0] = static_cast<uint16_t>(capacity + 1u);
      result = kQueueOk;
    }
    if (result == kQueueOk) *outCount = 1;
    return result;
  }
  *outCount = queue->ring.PeekMany(static_cast<uint8_t*>(dst), capacity, lengths, maxRecords);
  return *outCount > 0 ? kQueueOk : kQueueEmpty;
}

bool QueueWaitForRecord(RecordQueue* queue) {
  CallScope call(*queue);
  SemWait(queue->lock, kWaitForever);
  while (queue->ring.Empty() && !queue->CacheHoldsRecords() && !queue->closing.load()) {
    SemRelease(queue->lock);
    SemWait(queue->dataSignal, kWaitForever);
    SemWait(queue->lock, kWaitForever);
  }
  bool holdsRecord = !queue->ring.Empty() || queue->CacheHoldsRecords();
  SemRelease(queue->lock);
  return holdsRecord;
}

void QueueClose(RecordQueue* queue) {
  queue->closing.store(true);
  SemRelease(queue->dataSignal);
}

uint16_t QueueCount(RecordQueue* queue) {
  CallScope call(*queue);
  SemLock lock(queue->lock);
  return queue->ring.Count();
}

void QueueRemoveDeliveredFiles(RecordQueue* queue) {
  CallScope call(*queue);
  std::vector<std::string> names;
  {
    SemLock lock(queue->lock);
    names = TakeDeliveredFiles(*queue);
  }
  if (names.empty()) return;
  // Removed outside the lock, so producers do not wait for the disk.
  std::vector<std::string> failures = RemoveDeliveredFiles(names);
  if (failures.empty()) return;
  SemLock lock(queue->lock);
  SayDeliveredFilesStay(*queue, failures);
}

void QueueSetMessageSink(RecordQueue* queue, QueueMessageSink sink) {
  CallScope call(*queue);
  SemLock lock(queue->lock);
  queue->messageSink = std::move(sink);
}

void QueueSetRecordCheck(RecordQueue* queue, QueueRecordCheck check) {
  CallScope call(*queue);
  SemLock lock(queue->lock);
  queue->recordCheck = std::move(check);
}

}  // namespace histfeed
