// The send-or-queue step every frame passes through, and the set-up and
// tear-down of a key's queue.
#include <shared_mutex>

#include "queue/record_queue.h"
#include "universal/diagnostics.h"
#include "universal/frame_format.h"
#include "universal/mx_connection.h"
#include "universal/send_data.h"

namespace histfeed::universal {
namespace {

// Whether the queue holds a frame, without copying it. A cache file that
// cannot be read counts as held frames: new frames line up behind it.
bool QueueHoldsFrames(RecordQueue* queue) {
  uint8_t none;
  uint16_t length = 0;
  return QueuePeek(queue, &none, 0, &length) != kQueueEmpty;
}

int32_t PushFrame(MxConnection& connection, RecordQueue* queue, const char* frame,
                  int32_t length) {
  bool fits = length > 0 && length <= kQueueSlotBytes;
  if (!fits || QueuePush(queue, frame, static_cast<uint16_t>(length)) != kQueueOk) {
    connection.sendQueueFull = 1;
    PassMessage("Error VornUniversalSendData Queue Full");
    return kQueueRefused;
  }
  connection.sendQueueFull = 0;
  ++connection.sendQueueCount;
  PassTrace("VornUniversalSendData() frame queued - records=%d",
            FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length)));
  connection.control.queueWake.Set();
  return 0;
}

}  // namespace

int32_t SetUpQueue(int32_t key, int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                   const char* cacheDirectory) {
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  connection.queueEnabled = 1;
  RecordQueue* queue = nullptr;
  if (QueueCreate(&queue, kQueueSlots, kQueueSlotBytes) != kQueueOk) {
    PassMessage("Error VornMxUniversalInitialize initializing queue key = %d", key);
    connection.queueEnabled = 0;
    return kQueueNotCreated;
  }
  if (cacheEnabled != 0) {
    connection.cacheEnabled = 1;
    // One file holds a whole ring image of about 409 kilobytes.
    int32_t files = cacheSize / 409;
    uint32_t maxFiles = files > 0 ? static_cast<uint32_t>(files) : 1;
    if (QueueEnableCache(queue, maxFiles, 0, cachePrefix, cacheDirectory) != kQueueOk) {
      PassMessage("Error VornMxUniversalInitialize initializing cache key = %d", key);
      QueueDestroy(queue);
      connection.cacheEnabled = 0;
      connection.queueEnabled = 0;
      return kCacheNotEnabled;
    }
  }
  connection.queue = queue;
  control.queueStop.Reset();
  control.queueWake.Reset();
  connection.threadsRun = 1;
  // A failed start leaves the frames queued until the key is closed.
  control.queueThread.Start(kThreadStackBytes, QueueThread, key);
  return 0;
}

void TearDownQueue(MxConnection& connection) {
  KeyControl& control = connection.control;
  // Wakes application threads that wait for an answer, so they leave the
  // queue soon and the exclusive hold below comes quickly.
  AbortLink(control.primaryLink, connection.primarySocket);
  AbortLink(control.alternateLink, connection.alternateSocket);
  std::unique_lock<std::shared_mutex> exclusive(control.queueUse);
  connection.queueEnabled = 0;
  if (RecordQueue* queue = connection.queue.exchange(nullptr)) {
    // Frames still in memory go to the cache files rather than being lost.
    if (connection.cacheEnabled.load() != 0) QueueSaveToCache(queue);
    QueueDestroy(queue);
  }
}

int32_t VornUniversalSendData(int32_t key, const char* frame, int32_t length, int32_t isConfig) {
  if (!IsValidKey(key)) return kNotSent;
  MxConnection& connection = Connection(key);
  std::shared_lock<std::shared_mutex> inUse(connection.control.queueUse);
  RecordQueue* queue = connection.queueEnabled.load() != 0 ? connection.queue.load() : nullptr;
  if (queue != nullptr) {
    if (QueueHoldsFrames(queue)) {
      // Behind the frames already queued, so order holds.
      connection.queuingData = 1;
      return PushFrame(connection, queue, frame, length);
    }
    connection.sendQueueCount = 0;
    connection.queuingData = 0;
  }
  ++connection.sendCount;
  int32_t result = SendData(key, frame, length, isConfig);
  if (result == 0) return 0;
  if (result == kRejected) {
    ++connection.nakCount;
    result = SendData(key, frame, length, isConfig);
    if (result == 0) return 0;
  }
  ++connection.sendErrorCount;
  if (queue == nullptr) return result;
  return PushFrame(connection, queue, frame, length);
}

}  // namespace histfeed::universal
