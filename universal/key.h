// SPDX-License-Identifier: Apache-2.0
// A universal connection key: its record buffers, its two service links,
// its queue and its background threads, with the options and counters the
// status items describe. The table holds 100 keys for the life of the
// process; an exported call looks its key up once and passes it down.
#ifndef HISTFEED_UNIVERSAL_KEY_H_
#define HISTFEED_UNIVERSAL_KEY_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "universal/record_buffers.h"
#include "universal/service_link.h"

namespace histfeed {
struct RecordQueue;
}  // namespace histfeed

namespace histfeed::universal {

inline constexpr int32_t kMaxConnections = 100;
inline constexpr int32_t kDefaultAckTimeoutSeconds = 3;
inline constexpr size_t kThreadStackBytes = 2048;

// Which service data frames go to.
enum DataRoute : int32_t { kUsePrimary = 0, kUseAlternate = 1 };

struct Key {
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  // The key's number, set once when the table is built.
  int32_t number = -1;
  std::atomic<int32_t> inUse{0};
  // The record buffers of the 17 types, their header fields and their
  // lock (buffers.lock()), which also serialises closing.
  RecordBufferSet buffers;
  // Hands the key's frames to the send-or-queue step. Built with the
  // table, so an add costs no sender of its own.
  FrameSender sender;

  ServiceLink primary{"PRI"};
  ServiceLink alternate{"ALT"};

  // Options, written by initializing and connecting.
  std::atomic<int32_t> ackTimeoutSeconds{0};
  std::atomic<int32_t> ackEnabled{0};
  std::atomic<int32_t> queueEnabled{0};
  std::atomic<int32_t> cacheEnabled{0};
  std::atomic<int32_t> threadsRun{0};
  std::atomic<DataRoute> currentConnection{kUsePrimary};
  std::atomic<int32_t> heartBeatSeconds{0};

  // Send counters and flags; they survive re-use of the slot.
  std::atomic<int32_t> queuingData{0};
  std::atomic<int32_t> sendErrorCount{0};
  std::atomic<int32_t> nakCount{0};
  std::atomic<int32_t> sendQueueFull{0};
  std::atomic<int32_t> sendCount{0};
  std::atomic<int32_t> sendQueueCount{0};

  // Held while the key's threads are started or stopped and while the key
  // is connected or closed, so those never interleave.
  platform::Mutex lifecycle;
  // Set to end the waits of the reconnect threads.
  platform::Event reconnectStop;

  // The queue and its thread. The queue lives from initializing to
  // closing; `queueUse` is held shared by every hand-over to the
  // transport and exclusively while the queue is destroyed, so no sender
  // pushes into a freed queue. The queue thread reads it unlocked, as
  // closing joins that thread before destroying the queue.
  std::atomic<RecordQueue*> queue{nullptr};
  platform::SharedMutex queueUse;
  platform::Thread queueThread;
  // Ends the queue thread; its set also ends the thread's idle waits.
  platform::Event queueStop;
  // Cuts an idle wait of the queue thread short when there may be work.
  platform::Event queueWake;

  // The heartbeat thread. `heartBeatMutex` orders its decision to end
  // against a new interval, so a heartbeat is never silently dead.
  platform::Thread heartBeatThread;
  platform::Event heartBeatStop;
  platform::Mutex heartBeatMutex;
  bool heartBeatRunning GUARDED_BY(heartBeatMutex) = false;

  bool AnyServiceConnected() const {
    return primary.state.load() == kConnected || alternate.state.load() == kConnected;
  }

  // Wakes every blocked call on both links.
  void AbortLinks() {
    primary.Abort();
    alternate.Abort();
  }
};

inline bool IsValidKey(int32_t number) { return number >= 0 && number < kMaxConnections; }

// The key numbered `number`, which must be valid.
Key& KeyAt(int32_t number);

// The key numbered `number`, or null outside 0..99.
inline Key* FindKey(int32_t number) { return IsValidKey(number) ? &KeyAt(number) : nullptr; }

// The key numbered `number` while it is initialized, or null: records
// added to a closed key would wait for a later owner of its number.
inline Key* FindKeyInUse(int32_t number) {
  Key* key = FindKey(number);
  return key != nullptr && key->inUse.load() != 0 ? key : nullptr;
}

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_KEY_H_
