// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <memory>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "client_library/client_library.h"
#include "platform/clock.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"
#include "queue/record_queue.h"

namespace histfeed::classic {
namespace {

constexpr uint16_t kSendQueueSlots = 501;
constexpr uint16_t kSendQueueSlotSize = 2;
constexpr size_t kSenderStackBytes = 8192;
constexpr int64_t kLibraryStartPauseMs = 500;
constexpr int64_t kBackOffStepMs = 5;
constexpr int kBackOffStepsMax = 100;

// Never destroyed: the unloading hook may still stop the sender through it.
platform::Thread& SenderHandle() {
  static platform::NoDestructor<platform::Thread> handle;
  return *handle;
}

// The sender's view of the queue: up to kViewSize buffer numbers from its
// head, taken under one hold of the queue's lock. Only the sender takes
// records out, so the numbers seen stay at the head, in order, until it
// pops them one by one.
constexpr uint16_t kViewSize = 64;

struct QueueView {
  uint8_t numbers[kViewSize][kSendQueueSlotSize];
  uint16_t lengths[kViewSize];
  uint16_t count = 0;

  BufferNumber Number(uint16_t i) const {
    return lengths[i] == kSendQueueSlotSize ? BufferNumber(numbers[i][0] | (numbers[i][1] << 8))
                                            : kNoBuffer;
  }
};

// False when the queue holds no record (or it cannot be read).
bool LookAtHead(RecordQueue& queue, QueueView* view) {
  return queue.PeekMany(view->numbers, kSendQueueSlotSize, view->lengths, kViewSize,
                        &view->count) == kQueueOk &&
         view->count > 0;
}

bool PopBufferNumber(RecordQueue& queue, BufferNumber* b) {
  uint8_t number[kSendQueueSlotSize] = {};
  uint16_t length = 0;
  int32_t result = queue.Pop(number, sizeof(number), &length);
  if (result == kQueueEmpty) return false;
  *b = result == kQueueOk && length == kSendQueueSlotSize
           ? BufferNumber(number[0] | (number[1] << 8))
           : kNoBuffer;
  return true;
}

// A last delivery while stopping. A delivered buffer is free again; one
// that failed goes back to IN USE so that it is neither stranded as
// PENDING FLUSH nor lost: the next run queues it again.
void DeliverOnceMore(BufferNumber b) {
  if (!DeliverServiceBuffer(b, AfterDelivery::kFree)) ServiceBuffers().ReturnToUse(b);
}

void DrainAndFinalPass(RecordQueue& queue) {
  BufferNumber b;
  while (PopBufferNumber(queue, &b)) {
    if (b.Valid()) DeliverOnceMore(b);
  }
  for (int32_t number = 0; number < kServiceBufferCount; ++number) {
    {
      // Claimed as PENDING FLUSH while it is delivered, so that a late add
      // call writes into another buffer rather than into this one.
      platform::MutexLock lock(Classic().bufferLock);
      if (!ServiceBuffers().ClaimLocked(BufferNumber(number))) continue;
    }
    DeliverOnceMore(BufferNumber(number));
  }
}

}  // namespace

int32_t StartClientLibrary() {
  ClassicState& shared = Classic();
  if (shared.libraryStarted.load()) return 0;
  if (client_library::Startup(0) != 0) return -1;
  platform::SleepMs(kLibraryStartPauseMs);
  shared.libraryStarted = 1;
  return 0;
}

void SenderThread(RecordQueue& queue) {
  ClassicState& shared = Classic();
  QueueView view;
  int failures = 0;
  while (shared.running.load()) {
    if (!LookAtHead(queue, &view)) {
      failures = 0;
      if (!queue.WaitForRecord()) break;  // closed and empty
      continue;
    }
    for (uint16_t i = 0; i < view.count && shared.running.load(); ++i) {
      BufferNumber b = view.Number(i);
      if (!b.Valid()) {
        PopBufferNumber(queue, &b);  // not a buffer number: nothing to deliver
        continue;
      }
      if (DeliverServiceBuffer(b, AfterDelivery::kFree, &queue)) {
        failures = 0;
        continue;
      }
      // The buffer stays at the head, so later buffers keep their order.
      failures = std::min(failures + 1, kBackOffStepsMax);
      platform::SleepMs(kBackOffStepMs * failures);
      break;
    }
  }
  DrainAndFinalPass(queue);
}

int32_t StartSender() {
  ClassicState& shared = Classic();
  platform::MutexLock lock(Classic().senderStartLock);
  if (shared.running.load()) return 1;
  platform::Thread& thread = SenderHandle();
  if (thread.Started()) {
    // A stop that timed out left its thread finishing its drain; a new
    // sender waits for it, so that buffers keep their order.
    if (!thread.Join(0)) return 0;
    std::unique_ptr<RecordQueue> old(shared.senderQueue.exchange(nullptr));
  }
  if (StartClientLibrary() != 0) return 0;
  if (shared.senderQueue.load() == nullptr) {
    std::unique_ptr<RecordQueue> queue;
    if (RecordQueue::Create(kSendQueueSlots, kSendQueueSlotSize, &queue) != kQueueOk) return 0;
    shared.senderQueue = queue.release();
  }
  {
    platform::MutexLock buffers(Classic().bufferLock);
    shared.sendQueue = shared.senderQueue.load();
  }
  // Set before the thread begins: it ends at once when it finds it clear.
  shared.running = 1;
  RecordQueue& queue = *shared.senderQueue.load();
  if (thread.Start(kSenderStackBytes, [&queue] { SenderThread(queue); }) != 0) {
    shared.running = 0;
  }
  return shared.running.load();
}

bool IsSenderThread() { return SenderHandle().IsCurrentThread(); }

bool StopSender(int64_t timeoutMs) {
  ClassicState& shared = Classic();
  shared.running = 0;
  RecordQueue* queue = shared.senderQueue.load();
  {
    // From here on QueueServiceBuffer fails and leaves buffers IN USE, so
    // nothing lands on the queue after the sender has drained it.
    platform::MutexLock buffers(Classic().bufferLock);
    shared.sendQueue = nullptr;
  }
  platform::Thread& thread = SenderHandle();
  if (queue != nullptr) queue->Close();
  if (!thread.Join(timeoutMs)) return false;
  std::unique_ptr<RecordQueue> ended(shared.senderQueue.exchange(nullptr));
  return true;
}

}  // namespace histfeed::classic
