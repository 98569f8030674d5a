// A data frame that fails stays at the head of the queue; a configuration
// frame that fails moves to the tail.
#include "universal/queue_thread.h"

#include "queue/record_queue.h"
#include "universal/diagnostics.h"
#include "universal/frame_format.h"
#include "universal/queued_sending.h"
#include "universal/send_data.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kIdleWaitMs = 1000;
constexpr int64_t kDataRetryMs = 1;
constexpr int64_t kConfigRequeueWaitMs = 100;

void ReplayConfigFrame(Key& key, RecordQueue* queue, char* frame, uint16_t length) {
  PassTrace("QueueThread SendData()...");
  int32_t result = SendData(key, frame, length, 1);
  PassTrace("QueueThread SendData()=%d", result);
  uint16_t popped = 0;
  QueuePop(queue, frame, kQueueSlotBytes, &popped);
  if (result != 0) {
    PassTrace("QueueThread SendData() Push on Queue");
    if (QueuePush(queue, frame, length) != kQueueOk) PassMessage("Queue Full - lost config record");
    key.queueStop.Wait(kConfigRequeueWaitMs);
  }
  PassTrace("QueueThread SendData() End");
}

// Sends queued frames while there are any and a service takes them.
void Drain(Key& key, RecordQueue* queue, char* frame) {
  uint16_t length = 0;
  while (key.threadsRun.load() != 0 &&
         QueuePeek(queue, frame, kQueueSlotBytes, &length) == kQueueOk) {
    if (IsConfigRecordType(FrameRecordType(reinterpret_cast<uint8_t*>(frame), length))) {
      ReplayConfigFrame(key, queue, frame, length);
      continue;
    }
    if (SendData(key, frame, length, 0) == 0) {
      PassTrace("QueueThread SendData() frame replayed - records=%d",
                FrameRecordCount(reinterpret_cast<uint8_t*>(frame), length));
      QueuePop(queue, frame, kQueueSlotBytes, &length);
      continue;
    }
    // With no service left the idle wait applies instead of 1 ms retries.
    if (!key.AnyServiceConnected()) return;
    key.queueStop.Wait(kDataRetryMs);
  }
}

}  // namespace

void QueueThread(int32_t number) {
  Key& key = KeyAt(number);
  // The queue lives until this thread has been joined by closing.
  RecordQueue* queue = key.queue.load();
  char frame[kQueueSlotBytes];
  while (key.threadsRun.load() != 0) {
    key.queueWake.Reset();
    if (key.AnyServiceConnected()) Drain(key, queue, frame);
    // Woken early by a new frame, a reconnect or closing.
    key.queueWake.Wait(kIdleWaitMs);
  }
}

}  // namespace histfeed::universal
