// SPDX-License-Identifier: Apache-2.0
#include "queue/record_queue.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "queue/record_queue_internal.h"

namespace histfeed {

// Counts a caller inside the queue, so that destruction can wait until
// every call has left before it frees anything.
class RecordQueue::CallScope {
 public:
  explicit CallScope(RecordQueue& queue) : queue_(queue) { queue_.callsInside_.fetch_add(1); }
  ~CallScope() { queue_.callsInside_.fetch_sub(1); }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  RecordQueue& queue_;
};

void QueueMessage(QueueState& queue, QueueMessageKind kind, const char* format, ...) {
  if (!queue.messageSink) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  queue.messageSink(kind, line);
}

RecordQueue::RecordQueue(std::unique_ptr<QueueState> state) : state_(std::move(state)) {}

int32_t RecordQueue::Create(uint16_t slotCount, uint16_t slotSize,
                            std::unique_ptr<RecordQueue>* out) {
  // A ring of one slot can hold no record once its read index has moved,
  // and slot size 0 would mean keeping references to callers' memory.
  if (slotCount < 2 || slotSize == 0) return kQueueBadSlotCount;
  out->reset();
  std::unique_ptr<QueueState> state(new (std::nothrow) QueueState());
  if (!state) return kQueueNoMemory;
  Ring& ring = state->ring;
  ring.lengths.reset(new (std::nothrow) uint16_t[slotCount]());
  ring.slots.reset(new (std::nothrow) uint8_t[static_cast<size_t>(slotCount) * slotSize]());
  if (!ring.lengths || !ring.slots) return kQueueNoMemory;
  ring.slotCount = slotCount;
  ring.slotSize = slotSize;
  ring.writeIndex = slotCount;
  ring.readIndex = slotCount;
  out->reset(new (std::nothrow) RecordQueue(std::move(state)));
  return *out ? kQueueOk : kQueueNoMemory;
}

RecordQueue::~RecordQueue() {
  Close();
  // A call may still be on its way out; the wake is repeated for a wait
  // that began after the first one.
  while (callsInside_.load() > 0) {
    changed_.SignalAll();
    platform::SleepMs(1);
  }
  // Delivered whole: nothing in them is lost.
  platform::MutexLock lock(mutex_);
  SayDeliveredFilesStay(*state_, histfeed::RemoveDeliveredFiles(TakeDeliveredFiles(*state_)));
}

int32_t RecordQueue::Read(bool remove, void* dst, uint16_t capacity, uint16_t* outLength) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  // Records in the cache are older than any in the ring.
  if (state_->CacheHoldsRecords()) {
    return QueueCacheTake(*state_, remove, dst, capacity, outLength);
  }
  return state_->ring.Take(remove, dst, capacity, outLength);
}

int32_t RecordQueue::Push(const void* data, uint16_t length) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  Ring& ring = state_->ring;
  if (ring.Full()) {
    int32_t spilled = QueueSpill(*state_);
    if (spilled != kQueueOk) return spilled;
  }
  // Checked after the full test, so an oversized record can still spill.
  if (length > ring.slotSize) return kQueueRecordTooLong;
  ring.writeIndex = ring.Advance(ring.writeIndex);
  if (length > 0) std::memcpy(ring.Slot(ring.writeIndex), data, length);
  ring.lengths[ring.writeIndex] = length;
  changed_.Signal();
  return kQueueOk;
}

int32_t RecordQueue::Pop(void* dst, uint16_t capacity, uint16_t* outLength) {
  return Read(true, dst, capacity, outLength);
}

int32_t RecordQueue::Peek(void* dst, uint16_t capacity, uint16_t* outLength) {
  return Read(false, dst, capacity, outLength);
}

int32_t RecordQueue::PeekMany(void* dst, uint16_t capacity, uint16_t* lengths,
                              uint16_t maxRecords, uint16_t* outCount) {
  *outCount = 0;
  if (maxRecords == 0) return kQueueOk;
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  if (state_->CacheHoldsRecords()) {
    // The cache's records come one at a time, as for Peek.
    int32_t result = QueueCacheTake(*state_, false, dst, capacity, &lengths[0]);
    if (result == kQueueRecordTooLong) {
      lengths[0] = static_cast<uint16_t>(capacity + 1u);
      result = kQueueOk;
    }
    if (result == kQueueOk) *outCount = 1;
    return result;
  }
  *outCount = state_->ring.PeekMany(static_cast<uint8_t*>(dst), capacity, lengths, maxRecords);
  return *outCount > 0 ? kQueueOk : kQueueEmpty;
}

bool RecordQueue::HoldsRecordLocked() {
  return !state_->ring.Empty() || state_->CacheHoldsRecords();
}

bool RecordQueue::WaitForRecord() {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  while (!HoldsRecordLocked() && !closing_) changed_.Wait(mutex_);
  return HoldsRecordLocked();
}

void RecordQueue::Close() {
  {
    platform::MutexLock lock(mutex_);
    closing_ = true;
  }
  changed_.SignalAll();
}

uint16_t RecordQueue::Count() {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  return state_->ring.Count();
}

int32_t RecordQueue::EnableCache(uint32_t maxFiles, uint32_t deleteOldest, const char* prefix,
                                 const char* directory) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  return QueueEnableCache(*state_, maxFiles, deleteOldest, prefix, directory);
}

int32_t RecordQueue::SaveToCache(const QueueRecordVisitor& lost, std::string* reason) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  return QueueSaveToCache(*state_, lost, reason);
}

int32_t RecordQueue::SetAside(const void* record, uint16_t length, std::string* where) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  return QueueSetAside(*state_, record, length, where);
}

void RecordQueue::RemoveDeliveredFiles() {
  CallScope call(*this);
  std::vector<std::string> names;
  {
    platform::MutexLock lock(mutex_);
    names = TakeDeliveredFiles(*state_);
  }
  if (names.empty()) return;
  // Removed outside the lock, so producers do not wait for the disk.
  std::vector<std::string> failures = histfeed::RemoveDeliveredFiles(names);
  if (failures.empty()) return;
  platform::MutexLock lock(mutex_);
  SayDeliveredFilesStay(*state_, failures);
}

void RecordQueue::SetMessageSink(QueueMessageSink sink) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  state_->messageSink = std::move(sink);
}

void RecordQueue::SetRecordCheck(QueueRecordCheck check) {
  CallScope call(*this);
  platform::MutexLock lock(mutex_);
  state_->recordCheck = std::move(check);
}

}  // namespace histfeed
