// SPDX-License-Identifier: Apache-2.0
// The static table and the index kept beside it.
#include "classic/service_buffer_table.h"

#include <cstring>

#include "platform/clock.h"
#include "queue/record_queue.h"

namespace histfeed::classic {

namespace {

constexpr int kAcquireAttempts = 100;
constexpr int64_t kAcquireRetryMs = 2;

// Zero-filled at load, so no constructor runs before the first add.
constinit ServiceBufferTable table{};

// The stored name as a terminated text, even if its 20th byte was written.
void StoredName(const ServiceBuffer& buffer, char (&name)[kServiceNameSize]) {
  std::memcpy(name, buffer.serviceName, kServiceNameSize);
  name[kServiceNameSize - 1] = '\0';
}

}  // namespace

ServiceBufferTable& ServiceBuffers() { return table; }

void ServiceBufferTable::Move(BufferNumber b, BufferState next) {
  ServiceBuffer& buffer = buffers_[b.value()];
  char name[kServiceNameSize];
  StoredName(buffer, name);
  index_.Update(b.value(), static_cast<BufferState>(buffer.state), next, name, buffer.kind != 0,
                RecordCount(buffer));
  buffer.state = next;
}

ServiceBufferChoice ServiceBufferTable::Choose(const char* service, int32_t kind) const {
  BufferNumber match(index_.FirstMember(service, kind != 0));
  if (match != kNoBuffer && StateOf(match) == kInUse) return {match, kNoBuffer};
  // No match, or an ACQUIRED one: a scan would have stopped there, having
  // seen only the buffers before it.
  int32_t limit = match != kNoBuffer ? match.value() : kServiceBufferCount;
  int32_t firstFree = index_.FirstFree();
  if (firstFree != kNoServiceBuffer && firstFree < limit) return {BufferNumber(firstFree), kNoBuffer};
  return {kNoBuffer, BufferNumber(index_.FullestInUseBefore(limit))};
}

BufferNumber ServiceBufferTable::FindInUse(const char* service, int32_t kind) const {
  for (int32_t b = index_.FirstMember(service, kind != 0); b != kNoServiceBuffer;
       b = index_.NextMember(b)) {
    if (StateOf(BufferNumber(b)) == kInUse) return BufferNumber(b);
  }
  return kNoBuffer;
}

BufferNumber ServiceBufferTable::Take(const char* service, int32_t kind, BufferNumber* victim) {
  ServiceBufferChoice choice = Choose(service, kind);
  if (victim != nullptr) *victim = choice.victim;
  if (choice.taken == kNoBuffer) return kNoBuffer;
  // The name and kind are written before the state changes, because the
  // index files the buffer under them.
  ServiceBuffer& buffer = buffers_[choice.taken.value()];
  std::strncpy(buffer.serviceName, service, kServiceNameSize - 1);
  buffer.kind = kind;
  Move(choice.taken, kAcquired);
  return choice.taken;
}

BufferNumber ServiceBufferTable::Acquire(const char* service, int32_t kind) {
  if (service == nullptr) return kNoBuffer;
  for (int attempt = 0; attempt < kAcquireAttempts; ++attempt) {
    BufferNumber victim;
    {
      platform::MutexLock lock(Classic().bufferLock);
      BufferNumber taken = Take(service, kind, &victim);
      if (taken != kNoBuffer) return taken;
    }
    // Every buffer is taken: send the fullest one off to free its slot.
    if (victim != kNoBuffer) Queue(victim);
    platform::SleepMs(kAcquireRetryMs);
  }
  return kNoBuffer;
}

uint16_t ServiceBufferTable::SendQueueDepthLocked() {
  RecordQueue* queue = Classic().sendQueue.load();
  return queue != nullptr ? queue->Count() : 0;
}

uint16_t ServiceBufferTable::SendQueueDepth() {
  platform::MutexLock lock(Classic().bufferLock);
  return SendQueueDepthLocked();
}

bool ServiceBufferTable::QueueLocked(BufferNumber b) {
  if (!b.Valid() || StateOf(b) != kInUse) return false;
  RecordQueue* queue = Classic().sendQueue.load();
  if (queue == nullptr) return false;
  Move(b, kPendingFlush);
  uint8_t number[2] = {static_cast<uint8_t>(b.value() & 0xFF),
                       static_cast<uint8_t>(b.value() >> 8)};
  if (queue->Push(number, sizeof(number)) != kQueueOk) {
    Move(b, kInUse);
    return false;
  }
  return true;
}

bool ServiceBufferTable::Queue(BufferNumber b) {
  if (!b.Valid()) return false;
  platform::MutexLock lock(Classic().bufferLock);
  return QueueLocked(b);
}

bool ServiceBufferTable::ClaimLocked(BufferNumber b) {
  if (!b.Valid() || StateOf(b) != kInUse) return false;
  Move(b, kPendingFlush);
  return true;
}

void ServiceBufferTable::FreeLocked(BufferNumber b) { Move(b, kFree); }

void ServiceBufferTable::ReturnToUse(BufferNumber b) {
  platform::MutexLock lock(Classic().bufferLock);
  Move(b, kInUse);
}

bool ServiceBufferTable::ReleaseLocked(BufferNumber b) {
  if (!b.Valid()) return false;
  bool wasAcquired = StateOf(b) == kAcquired;
  Move(b, kInUse);
  return wasAcquired;
}

bool ServiceBufferTable::Release(BufferNumber b) {
  if (!b.Valid()) return false;
  platform::MutexLock lock(Classic().bufferLock);
  return ReleaseLocked(b);
}

void ResetClassicStateForTesting() {
  platform::MutexLock lock(Classic().bufferLock);
  std::memset(static_cast<void*>(table.buffers_), 0, sizeof(table.buffers_));
  table.index_.Clear();
  std::memset(Classic().rates, 0, sizeof(Classic().rates));
  std::memset(Classic().rateKeys, 0, sizeof(Classic().rateKeys));
  std::memset(Classic().rateLoads, 0, sizeof(Classic().rateLoads));
  Classic().busy = 0;
  Classic().running = 0;
  Classic().libraryStarted = 0;
}

}  // namespace histfeed::classic
