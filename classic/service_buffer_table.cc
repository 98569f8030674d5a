// SPDX-License-Identifier: Apache-2.0
// The static table, the shared state and the index kept beside them.
#include <cstring>

#include "classic/service_buffer.h"
#include "classic/service_buffer_index.h"
#include "platform/thread.h"
#include "queue/record_queue.h"

namespace histfeed::classic {
namespace {

// All zero at load: every buffer FREE, every flag clear.
constinit ClassicState state{};
ServiceBuffer buffers[kServiceBufferCount];
ServiceBufferIndex bufferIndex;

// The stored name as a terminated text, even if its 20th byte was written.
void StoredName(const ServiceBuffer& buffer, char (&name)[kServiceNameSize]) {
  std::memcpy(name, buffer.serviceName, kServiceNameSize);
  name[kServiceNameSize - 1] = '\0';
}

bool ValidBuffer(int32_t b) { return b >= 0 && b < kServiceBufferCount; }

}  // namespace

ClassicState& Classic() { return state; }

ServiceBuffer& Buffer(int32_t b) { return buffers[b]; }

uint16_t RecordCount(const ServiceBuffer& buffer) {
  return static_cast<uint16_t>(buffer.request[2] | (buffer.request[3] << 8));
}

void SetRecordCount(ServiceBuffer& buffer, uint16_t count) {
  buffer.request[2] = static_cast<uint8_t>(count & 0xFF);
  buffer.request[3] = static_cast<uint8_t>(count >> 8);
}

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

uint16_t SendQueueDepth() {
  SemLock lock(state.bufferLock);
  RecordQueue* queue = state.sendQueue.load();
  return queue != nullptr ? QueueCount(queue) : 0;
}

int32_t QueueServiceBufferLocked(int32_t b) {
  if (!ValidBuffer(b) || GetBufferState(b) != kInUse) return 0;
  RecordQueue* queue = state.sendQueue.load();
  if (queue == nullptr) return 0;
  SetBufferState(b, kPendingFlush);
  uint8_t number[2] = {static_cast<uint8_t>(b & 0xFF), static_cast<uint8_t>(b >> 8)};
  if (QueuePush(queue, number, sizeof(number)) != kQueueOk) {
    SetBufferState(b, kInUse);
    return 0;
  }
  return 1;
}

int32_t QueueServiceBuffer(int32_t b) {
  if (!ValidBuffer(b)) return 0;
  SemLock lock(state.bufferLock);
  return QueueServiceBufferLocked(b);
}

int32_t ReleaseServiceBuffer(int32_t b) {
  if (!ValidBuffer(b)) return 0;
  SemLock lock(state.bufferLock);
  bool wasAcquired = GetBufferState(b) == kAcquired;
  SetBufferState(b, kInUse);
  return wasAcquired ? 1 : 0;
}

void ResetClassicStateForTesting() {
  SemLock lock(state.bufferLock);
  std::memset(static_cast<void*>(buffers), 0, sizeof(buffers));
  bufferIndex.Clear();
  std::memset(state.rates, 0, sizeof(state.rates));
  std::memset(state.rateKeys, 0, sizeof(state.rateKeys));
  std::memset(state.rateLoads, 0, sizeof(state.rateLoads));
  state.busy = 0;
  state.running = 0;
  state.libraryStarted = 0;
}

}  // namespace histfeed::classic
