// The queue thread of a key: replays queued frames, oldest first, while a
// service is connected. A data frame that fails stays at the head; a
// configuration frame that fails moves to the tail.
#include "queue/record_queue.h"
#include "universal/diagnostics.h"
#include "universal/frame_format.h"
#include "universal/mx_connection.h"
#include "universal/send_data.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kIdleWaitMs = 1000;
constexpr int64_t kDataRetryMs = 1;
constexpr int64_t kConfigRequeueWaitMs = 100;

bool AnyServiceConnected(const MxConnection& connection) {
  return connection.primaryState.load() == kConnected ||
         connection.alternateState.load() == kConnected;
}

void ReplayConfigFrame(int32_t key, MxConnection& connection, RecordQueue* queue, char* frame,
                       uint16_t length) {
  PassTrace("QueueThread SendData()...");
  int32_t result = SendData(key, frame, length, 1);
  PassTrace("QueueThread SendData()=%d", result);
  uint16_t popped = 0;
  QueuePop(queue, frame, kQueueSlotBytes, &popped);
  if (result != 0) {
    PassTrace("QueueThread SendData() Push on Queue");
    if (QueuePush(queue, frame, length) != kQueueOk) PassMessage("Queue Full - lost config record");
    connection.control.queueStop.Wait(kConfigRequeueWaitMs);
  }
  PassTrace("QueueThread SendData() End");
}

// Sends queued frames while there are any and a service takes them.
void Drain(int32_t key, MxConnection& connection, RecordQueue* queue, char* frame) {
  uint16_t length = 0;
  while (connection.threadsRun.load() != 0 &&
         QueuePeek(queue, frame, kQueueSlotBytes, &length) == kQueueOk) {
    if (IsConfigRecordType(FrameRecordType(reinterpret_cast<uint8_t*>(frame), length))) {
      ReplayConfigFrame(key, connection, queue, frame, length);
      continue;
    }
    if (SendData(key, frame, length, 0) == 0) {
      PassTrace("QueueThread SendData() frame replayed - records=%d",
                FrameRecordCount(reinterpret_cast<uint8_t*>(frame), length));
      QueuePop(queue, frame, kQueueSlotBytes, &length);
      continue;
    }
    // With no service left the idle wait applies instead of 1 ms retries.
    if (!AnyServiceConnected(connection)) return;
    connection.control.queueStop.Wait(kDataRetryMs);
  }
}

}  // namespace

void QueueThread(int32_t key) {
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  // The queue lives until this thread has been joined by closing.
  RecordQueue* queue = connection.queue.load();
  char frame[kQueueSlotBytes];
  while (connection.threadsRun.load() != 0) {
    control.queueWake.Reset();
    if (AnyServiceConnected(connection)) Drain(key, connection, queue, frame);
    // Woken early by a new frame, a reconnect or closing.
    control.queueWake.Wait(kIdleWaitMs);
  }
}

}  // namespace histfeed::universal
