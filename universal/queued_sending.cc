// SPDX-License-Identifier: Apache-2.0
// The outbox's send-or-queue step, and the set-up and tear-down of the
// key's queue.
#include <string>

#include "histfeed.h"
#include "universal/diagnostics.h"
#include "universal/outbox.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

// Whether the queue holds a frame, without copying it. A cache file that
// cannot be read counts as held frames: new frames line up behind it.
bool QueueHoldsFrames(RecordQueue& queue) {
  uint8_t none;
  uint16_t length = 0;
  return queue.Peek(&none, 0, &length) != kQueueEmpty;
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

void Outbox::Reset() {
  queueEnabled_ = 0;
  cacheEnabled_ = 0;
}

SendCounters Outbox::Counters() const {
  return SendCounters{sendCount_.load(),      sendQueueFull_.load(), sendQueueCount_.load(),
                      sendErrorCount_.load(), nakCount_.load(),      queuingData_.load()};
}

void Outbox::SetCountersForTesting(const SendCounters& counters) {
  sendCount_ = counters.sendCount;
  sendQueueFull_ = counters.sendQueueFull;
  sendQueueCount_ = counters.sendQueueCount;
  sendErrorCount_ = counters.sendErrorCount;
  nakCount_ = counters.nakCount;
  queuingData_ = counters.queuingData;
}

int32_t Outbox::PushFrame(RecordQueue& queue, const char* frame, int32_t length) {
  bool fits = length > 0 && length <= kQueueSlotBytes;
  if (!fits || queue.Push(frame, static_cast<uint16_t>(length)) != kQueueOk) {
    sendQueueFull_ = 1;
    PassMessage("Error VornUniversalSendData Queue Full");
    return HISTFEED_QUEUE_FULL;
  }
  sendQueueFull_ = 0;
  ++sendQueueCount_;
  PassTrace("VornUniversalSendData() frame queued - records=%d",
            FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length)));
  queueWake_.Set();
  return 0;
}

int32_t Outbox::SetUp(int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                      const char* cacheDirectory) {
  queueEnabled_ = 1;
  std::unique_ptr<RecordQueue> queue;
  if (RecordQueue::Create(kQueueSlots, kQueueSlotBytes, &queue) != kQueueOk) {
    PassMessage("Error VornMxUniversalInitialize initializing queue key = %d", number_);
    queueEnabled_ = 0;
    return HISTFEED_QUEUE_NOT_CREATED;
  }
  queue->SetMessageSink(PassQueueMessage);
  queue->SetRecordCheck(IsValidFrame);
  if (cacheEnabled != 0) {
    cacheEnabled_ = 1;
    // One file holds a whole ring image of about 409 kilobytes.
    int32_t files = cacheSize / 409;
    uint32_t maxFiles = files > 0 ? static_cast<uint32_t>(files) : 1;
    if (queue->EnableCache(maxFiles, 0, cachePrefix, cacheDirectory) != kQueueOk) {
      PassMessage("Error VornMxUniversalInitialize initializing cache key = %d", number_);
      cacheEnabled_ = 0;
      queueEnabled_ = 0;
      return HISTFEED_CACHE_NOT_ENABLED;
    }
  }
  RecordQueue& replayed = *queue;
  {
    platform::ExclusiveLock exclusive(queueUse_);
    queue_ = std::move(queue);
  }
  queueStop_.Reset();
  queueWake_.Reset();
  threadRuns_ = true;
  // A failed start leaves the frames queued until the key is closed.
  queueThread_.Start(kThreadStackBytes, [this, &replayed] { QueueThread(replayed); });
  return 0;
}

void Outbox::StopThread() {
  threadRuns_ = false;
  queueStop_.Set();
  queueWake_.Set();
}

void Outbox::TearDown() {
  // Wakes application threads that wait for an answer, so they leave the
  // queue soon and the exclusive hold below comes quickly.
  transport_.Abort();
  platform::ExclusiveLock exclusive(queueUse_);
  queueEnabled_ = 0;
  std::unique_ptr<RecordQueue> queue = std::move(queue_);
  if (!queue) return;
  // Frames still in memory go to the cache files rather than being lost;
  // those that cannot are counted and reported.
  int32_t frames = 0;
  int32_t values = 0;
  std::string reason;
  queue->SaveToCache(
      [&](const uint8_t* frame, uint16_t length) {
        ++frames;
        values += FrameRecordCount(frame, length);
      },
      &reason);
  if (frames > 0) {
    PassMessage("Error VornMxUniversalCloseSocket key = %d lost %d queued frames (%d values): %s",
                number_, frames, values, reason.c_str());
  }
}

int32_t Outbox::SendOrQueue(const char* frame, int32_t length, bool isConfig) {
  platform::SharedLock inUse(queueUse_);
  RecordQueue* queue = queueEnabled_.load() != 0 ? queue_.get() : nullptr;
  if (queue != nullptr) {
    if (QueueHoldsFrames(*queue)) {
      // Behind the frames already queued, so order holds.
      queuingData_ = 1;
      return PushFrame(*queue, frame, length);
    }
    sendQueueCount_ = 0;
    queuingData_ = 0;
  }
  ++sendCount_;
  int32_t result = transport_.Send(frame, length, isConfig);
  if (result == 0) return 0;
  if (result == HISTFEED_REJECTED) {
    ++nakCount_;
    result = transport_.Send(frame, length, isConfig);
    if (result == 0) return 0;
  }
  ++sendErrorCount_;
  if (queue == nullptr) return result;
  return PushFrame(*queue, frame, length);
}

}  // namespace histfeed::universal
