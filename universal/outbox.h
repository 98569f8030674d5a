// SPDX-License-Identifier: Apache-2.0
// The outbox of a connection key: the step every frame of the key passes
// through (send at once, or queue behind frames already waiting), the
// key's queue with its disk cache, the queue thread that replays queued
// frames while a service is connected, and the send counters.
#ifndef HISTFEED_UNIVERSAL_OUTBOX_H_
#define HISTFEED_UNIVERSAL_OUTBOX_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "queue/record_queue.h"
#include "universal/transport.h"

namespace histfeed::universal {

inline constexpr uint16_t kQueueSlots = 50;
inline constexpr uint16_t kQueueSlotBytes = 8192;

// The send counters and flags of a key, as the status items name them.
// They survive re-use of the key.
struct SendCounters {
  int32_t sendCount = 0;       // first direct send attempts
  int32_t sendQueueFull = 0;   // 1 when the last push into the queue failed
  int32_t sendQueueCount = 0;  // frames queued since the queue was last found empty
  int32_t sendErrorCount = 0;  // direct sends that finally failed
  int32_t nakCount = 0;        // first attempts that were rejected
  int32_t queuingData = 0;     // 1 while new frames line up behind queued ones
};

class Outbox {
 public:
  // `number` names the key in messages; frames go out through `transport`.
  Outbox(int32_t number, Transport& transport) : number_(number), transport_(transport) {}
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // A key taken without queueing: no queue, no cache.
  void Reset();

  // Creates the queue of a key asked for queueing, with its cache when
  // asked, and starts the queue thread. Returns 0, -108 or -109; on
  // failure nothing of it is left.
  int32_t SetUp(int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                const char* cacheDirectory) EXCLUDES(queueUse_);

  // Asks the queue thread to end; JoinThread waits for it.
  void StopThread();
  bool JoinThread(int64_t timeoutMs) { return queueThread_.Join(timeoutMs); }

  // Destroys the queue once no sender can reach it any more; frames still
  // in memory go to the cache files, or are reported lost. The queue
  // thread has ended.
  void TearDown() EXCLUDES(queueUse_);

  // Sends a frame at once or queues it; the counters follow. Returns 0
  // (sent, or queued), -106 or -111 without a queue, or -110 when the
  // queue refused the frame.
  int32_t SendOrQueue(const char* frame, int32_t length, bool isConfig) EXCLUDES(queueUse_);

  // Cuts an idle wait of the queue thread short: there may be work.
  void Wake() { queueWake_.Set(); }

  bool QueueEnabled() const { return queueEnabled_.load() != 0; }
  bool CacheEnabled() const { return cacheEnabled_.load() != 0; }
  SendCounters Counters() const;

  void SetCountersForTesting(const SendCounters& counters);
  // The key's queue, or null; for tests that look into it while the key
  // stays open.
  RecordQueue* QueueForTesting() EXCLUDES(queueUse_) {
    platform::SharedLock inUse(queueUse_);
    return queue_.get();
  }

 private:
  class Replay;
  int32_t PushFrame(RecordQueue& queue, const char* frame, int32_t length) REQUIRES_SHARED(queueUse_);
  // The queue thread's body (queue_thread.cc).
  void QueueThread(RecordQueue& queue);

  const int32_t number_;
  Transport& transport_;

  std::atomic<int32_t> queueEnabled_{0};
  std::atomic<int32_t> cacheEnabled_{0};

  // The queue lives from SetUp to TearDown. `queueUse_` is held shared by
  // every hand-over to the transport and exclusively while the queue is
  // made or destroyed, so no sender pushes into a freed queue. The queue
  // thread is handed the queue when it starts: tear-down comes only after
  // that thread has ended.
  platform::SharedMutex queueUse_;
  std::unique_ptr<RecordQueue> queue_ GUARDED_BY(queueUse_);
  platform::Thread queueThread_;
  std::atomic<bool> threadRuns_{false};
  // Ends the queue thread; its set also ends the thread's idle waits.
  platform::Event queueStop_;
  // Cuts an idle wait of the queue thread short when there may be work.
  platform::Event queueWake_;

  std::atomic<int32_t> sendCount_{0};
  std::atomic<int32_t> sendQueueFull_{0};
  std::atomic<int32_t> sendQueueCount_{0};
  std::atomic<int32_t> sendErrorCount_{0};
  std::atomic<int32_t> nakCount_{0};
  std::atomic<int32_t> queuingData_{0};
};

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_OUTBOX_H_
