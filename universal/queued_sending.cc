// SPDX-License-Identifier: Apache-2.0
#include "histfeed.h"
#include "universal/queued_sending.h"

#include <span>
#include <string>

#include "queue/record_queue.h"
#include "universal/diagnostics.h"
#include "wire/frame_format.h"
#include "universal/queue_thread.h"
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

int32_t PushFrame(Key& key, RecordQueue* queue, const char* frame, int32_t length) {
  bool fits = length > 0 && length <= kQueueSlotBytes;
  if (!fits || QueuePush(queue, frame, static_cast<uint16_t>(length)) != kQueueOk) {
    key.sendQueueFull = 1;
    PassMessage("Error VornUniversalSendData Queue Full");
    return HISTFEED_QUEUE_FULL;
  }
  key.sendQueueFull = 0;
  ++key.sendQueueCount;
  PassTrace("VornUniversalSendData() frame queued - records=%d",
            FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length)));
  key.queueWake.Set();
  return 0;
}

// The cache's alerts (damaged files, failing spills, lost records) are
// always passed on; its routine events only as trace lines.
void PassQueueMessage(QueueMessageKind kind, const char* line) {
  if (kind == QueueMessageKind::kAlert) {
    PassMessage("%s", line);
  } else {
    PassTrace("%s", line);
  }
}

}  // namespace

int32_t SetUpQueue(Key& key, int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                   const char* cacheDirectory) {
  key.queueEnabled = 1;
  RecordQueue* queue = nullptr;
  if (QueueCreate(&queue, kQueueSlots, kQueueSlotBytes) != kQueueOk) {
    PassMessage("Error VornMxUniversalInitialize initializing queue key = %d", key.number);
    key.queueEnabled = 0;
    return HISTFEED_QUEUE_NOT_CREATED;
  }
  QueueSetMessageSink(queue, PassQueueMessage);
  QueueSetRecordCheck(queue, IsValidFrame);
  if (cacheEnabled != 0) {
    key.cacheEnabled = 1;
    // One file holds a whole ring image of about 409 kilobytes.
    int32_t files = cacheSize / 409;
    uint32_t maxFiles = files > 0 ? static_cast<uint32_t>(files) : 1;
    if (QueueEnableCache(queue, maxFiles, 0, cachePrefix, cacheDirectory) != kQueueOk) {
      PassMessage("Error VornMxUniversalInitialize initializing cache key = %d", key.number);
      QueueDestroy(queue);
      key.cacheEnabled = 0;
      key.queueEnabled = 0;
      return HISTFEED_CACHE_NOT_ENABLED;
    }
  }
  key.queue = queue;
  key.queueStop.Reset();
  key.queueWake.Reset();
  key.threadsRun = 1;
  // A failed start leaves the frames queued until the key is closed.
  key.queueThread.Start(kThreadStackBytes, QueueThread, key.number);
  return 0;
}

void TearDownQueue(Key& key) {
  // Wakes application threads that wait for an answer, so they leave the
  // queue soon and the exclusive hold below comes quickly.
  key.AbortLinks();
  platform::ExclusiveLock exclusive(key.queueUse);
  key.queueEnabled = 0;
  if (RecordQueue* queue = key.queue.exchange(nullptr)) {
    // Frames still in memory go to the cache files rather than being lost;
    // those that cannot are counted and reported.
    int32_t frames = 0;
    int32_t values = 0;
    std::string reason;
    QueueSaveToCache(
        queue,
        [&](const uint8_t* frame, uint16_t length) {
          ++frames;
          values += FrameRecordCount(frame, length);
        },
        &reason);
    if (frames > 0) {
      PassMessage("Error VornMxUniversalCloseSocket key = %d lost %d queued frames (%d values): %s",
                  key.number, frames, values, reason.c_str());
    }
    QueueDestroy(queue);
  }
}

int32_t SendOrQueue(Key& key, const char* frame, int32_t length, int32_t isConfig) {
  platform::SharedLock inUse(key.queueUse);
  RecordQueue* queue = key.queueEnabled.load() != 0 ? key.queue.load() : nullptr;
  if (queue != nullptr) {
    if (QueueHoldsFrames(queue)) {
      // Behind the frames already queued, so order holds.
      key.queuingData = 1;
      return PushFrame(key, queue, frame, length);
    }
    key.sendQueueCount = 0;
    key.queuingData = 0;
  }
  ++key.sendCount;
  int32_t result = SendData(key, frame, length, isConfig);
  if (result == 0) return 0;
  if (result == HISTFEED_REJECTED) {
    ++key.nakCount;
    result = SendData(key, frame, length, isConfig);
    if (result == 0) return 0;
  }
  ++key.sendErrorCount;
  if (queue == nullptr) return result;
  return PushFrame(key, queue, frame, length);
}

}  // namespace histfeed::universal
