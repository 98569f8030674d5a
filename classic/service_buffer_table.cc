// SPDX-License-Identifier: Apache-2.0
// The static table, the family's shared state and the index kept beside
// them.
#include "classic/service_buffer_table.h"

#include <cstring>

#include "classic/service_buffer_index.h"
#include "platform/clock.h"
#include "queue/record_queue.h"

namespace histfeed::classic {

namespace internal {
constinit ClassicState classicState{};
}  // namespace internal

namespace {

constexpr int kAcquireAttempts = 100;
constexpr int64_t kAcquireRetryMs = 2;

// All zero at load: every buffer FREE. A buffer's state is guarded by the
// buffer lock; its records belong to whoever the state names.
ServiceBuffer buffers[kServiceBufferCount];
ServiceBufferIndex bufferIndex GUARDED_BY(Classic().bufferLock);

// The stored name as a terminated text, even if its 20th byte was written.
void StoredName(const ServiceBuffer& buffer, char (&name)[kServiceNameSize]) {
  std::memcpy(name, buffer.serviceName, kServiceNameSize);
  name[kServiceNameSize - 1] = '\0';
}

bool ValidBuffer(int32_t b) { return b >= 0 && b < kServiceBufferCount; }

}  // namespace

ServiceBuffer& Buffer(int32_t b) { return buffers[b]; }

BufferState GetBufferState(int32_t b) { return static_cast<BufferState>(buffers[b].state); }

void SetBufferState(int32_t b, BufferState next) {
  ServiceBuffer& buffer = buffers[b];
  char name[kServiceNameSize];
  StoredName(buffer, name);
  bufferIndex.Update(b, static_cast<BufferState>(buffer.state), next, name, buffer.kind != 0,
                     RecordCount(buffer));
  buffer.state = next;
}

ServiceBufferChoice ChooseServiceBuffer(const char* service, int32_t kind) {
  int32_t match = bufferIndex.FirstMember(service, kind != 0);
  if (match != kNoServiceBuffer && GetBufferState(match) == kInUse) return {match, kNoServiceBuffer};
  // No match, or an ACQUIRED one: a scan would have stopped there, having
  // seen only the buffers before it.
  int32_t limit = match != kNoServiceBuffer ? match : kServiceBufferCount;
  int32_t firstFree = bufferIndex.FirstFree();
  if (firstFree != kNoServiceBuffer && firstFree < limit) return {firstFree, kNoServiceBuffer};
  return {kNoServiceBuffer, bufferIndex.FullestInUseBefore(limit)};
}

int32_t FindInUseServiceBuffer(const char* service, int32_t kind) {
  for (int32_t b = bufferIndex.FirstMember(service, kind != 0); b != kNoServiceBuffer;
       b = bufferIndex.NextMember(b)) {
    if (GetBufferState(b) == kInUse) return b;
  }
  return kNoServiceBuffer;
}

int32_t TakeServiceBufferLocked(const char* service, int32_t kind, int32_t* victim) {
  ServiceBufferChoice choice = ChooseServiceBuffer(service, kind);
  if (victim != nullptr) *victim = choice.victim;
  if (choice.taken == kNoServiceBuffer) return kNoServiceBuffer;
  // The name and kind are written before the state changes, because the
  // index files the buffer under them.
  ServiceBuffer& buffer = Buffer(choice.taken);
  std::strncpy(buffer.serviceName, service, kServiceNameSize - 1);
  buffer.kind = kind;
  SetBufferState(choice.taken, kAcquired);
  return choice.taken;
}

int32_t AcquireServiceBuffer(const char* service, int32_t kind) {
  if (service == nullptr) return kNoServiceBuffer;
  for (int attempt = 0; attempt < kAcquireAttempts; ++attempt) {
    int32_t victim = kNoServiceBuffer;
    {
      platform::MutexLock lock(Classic().bufferLock);
      int32_t taken = TakeServiceBufferLocked(service, kind, &victim);
      if (taken != kNoServiceBuffer) return taken;
    }
    // Every buffer is taken: send the fullest one off to free its slot.
    if (victim != kNoServiceBuffer) QueueServiceBuffer(victim);
    platform::SleepMs(kAcquireRetryMs);
  }
  return kNoServiceBuffer;
}

uint16_t SendQueueDepth() {
  platform::MutexLock lock(Classic().bufferLock);
  RecordQueue* queue = Classic().sendQueue.load();
  return queue != nullptr ? queue->Count() : 0;
}

int32_t QueueServiceBufferLocked(int32_t b) {
  if (!ValidBuffer(b) || GetBufferState(b) != kInUse) return 0;
  RecordQueue* queue = Classic().sendQueue.load();
  if (queue == nullptr) return 0;
  SetBufferState(b, kPendingFlush);
  uint8_t number[2] = {static_cast<uint8_t>(b & 0xFF), static_cast<uint8_t>(b >> 8)};
  if (queue->Push(number, sizeof(number)) != kQueueOk) {
    SetBufferState(b, kInUse);
    return 0;
  }
  return 1;
}

int32_t QueueServiceBuffer(int32_t b) {
  if (!ValidBuffer(b)) return 0;
  platform::MutexLock lock(Classic().bufferLock);
  return QueueServiceBufferLocked(b);
}

int32_t ReleaseServiceBuffer(int32_t b) {
  if (!ValidBuffer(b)) return 0;
  platform::MutexLock lock(Classic().bufferLock);
  bool wasAcquired = GetBufferState(b) == kAcquired;
  SetBufferState(b, kInUse);
  return wasAcquired ? 1 : 0;
}

void ResetClassicStateForTesting() {
  platform::MutexLock lock(Classic().bufferLock);
  std::memset(static_cast<void*>(buffers), 0, sizeof(buffers));
  bufferIndex.Clear();
  std::memset(Classic().rates, 0, sizeof(Classic().rates));
  std::memset(Classic().rateKeys, 0, sizeof(Classic().rateKeys));
  std::memset(Classic().rateLoads, 0, sizeof(Classic().rateLoads));
  Classic().busy = 0;
  Classic().running = 0;
  Classic().libraryStarted = 0;
}

}  // namespace histfeed::classic
