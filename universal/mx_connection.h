// The universal connection table: 100 slots, one per connection key, each
// holding the state of that key's primary and alternate service, its
// options, its send counters and its record buffers.
#ifndef HISTFEED_UNIVERSAL_MX_CONNECTION_H_
#define HISTFEED_UNIVERSAL_MX_CONNECTION_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/lazy_semaphore.h"
#include "universal/frame_format.h"
#include "universal/record_buffers.h"
#include "universal/service_link.h"

namespace histfeed {
struct RecordQueue;
}  // namespace histfeed

namespace histfeed::universal {

inline constexpr int32_t kMaxConnections = 100;

// Results of the universal transport.
inline constexpr int32_t kSocketStartupFailed = -1;
inline constexpr int32_t kHostNotResolved = -103;
inline constexpr int32_t kSocketNotCreated = -104;
inline constexpr int32_t kConnectFailed = -105;
inline constexpr int32_t kNotSent = -106;
inline constexpr int32_t kQueueNotCreated = -108;
inline constexpr int32_t kCacheNotEnabled = -109;
inline constexpr int32_t kQueueRefused = -110;
inline constexpr int32_t kRejected = -111;
inline constexpr int32_t kNoFreeSlot = -112;

// Connection states.
inline constexpr int32_t kDisconnected = 0;
inline constexpr int32_t kConnected = 1;
inline constexpr int32_t kNoAlternate = 2;  // alternateState only

// Which service data frames go to (currentConnection).
inline constexpr int32_t kUsePrimary = 0;
inline constexpr int32_t kUseAlternate = 1;

inline constexpr int32_t kDefaultAckTimeoutSeconds = 3;
inline constexpr int32_t kReconnectIntervalMs = 5000;
inline constexpr size_t kThreadStackBytes = 2048;
inline constexpr uint16_t kQueueSlots = 50;
inline constexpr uint16_t kQueueSlotBytes = 8192;

// What the key's background threads need beside the table's words: the
// threads' handles so that closing can wait for them, the events that
// end their waits, and the locks of the two service connections.
struct KeyControl {
  // Held while the key's threads are started or stopped and while the
  // key is connected or closed, so those never interleave.
  std::mutex lifecycle;
  // Set to end the waits of the reconnect threads.
  platform::Event reconnectStop;
  platform::Thread primaryReconnect;
  platform::Thread alternateReconnect;
  ServiceLink primaryLink;
  ServiceLink alternateLink;

  // The queue thread: its stop event also ends its idle waits; `queueWake`
  // cuts an idle wait short when there may be work.
  platform::Thread queueThread;
  platform::Event queueStop;
  platform::Event queueWake;

  // The heartbeat thread. `heartBeatMutex` orders its decision to end
  // against a new interval, so a heartbeat is never silently dead.
  platform::Thread heartBeatThread;
  platform::Event heartBeatStop;
  std::mutex heartBeatMutex;
  bool heartBeatRunning = false;  // guarded by heartBeatMutex

  // Held shared by every hand-over to the transport and exclusively while
  // the queue is destroyed, so no sender pushes into a freed queue.
  std::shared_mutex queueUse;
};

struct MxConnection {
  std::atomic<int32_t> inUse{0};
  // The record buffers of the 17 types with their counts, the block
  // header fields and bufferLock (buffers.lock()), which also serialises
  // closing.
  RecordBufferSet buffers;

  // Written by connecting before any reconnect thread of the key starts.
  platform::Ipv4Address primaryAddress{};
  std::atomic<platform::SocketHandle> primarySocket{platform::kInvalidSocket};
  std::atomic<int32_t> ackTimeoutSeconds{0};
  std::atomic<int32_t> ackEnabled{0};
  std::atomic<int32_t> queueEnabled{0};
  std::atomic<int32_t> cacheEnabled{0};
  std::atomic<RecordQueue*> queue{nullptr};
  platform::Ipv4Address alternateAddress{};
  std::atomic<platform::SocketHandle> alternateSocket{platform::kInvalidSocket};
  std::atomic<int32_t> threadsRun{0};
  std::atomic<int32_t> currentConnection{0};
  std::atomic<int32_t> primaryState{0};
  std::atomic<int32_t> alternateState{0};
  std::atomic<int32_t> heartBeatSeconds{0};

  // Send counters and flags; they survive re-use of the slot.
  std::atomic<int32_t> queuingData{0};
  std::atomic<int32_t> sendErrorCount{0};
  std::atomic<int32_t> nakCount{0};
  std::atomic<int32_t> sendQueueFull{0};
  std::atomic<int32_t> sendCount{0};
  std::atomic<int32_t> sendQueueCount{0};

  KeyControl control;
};

inline bool IsValidKey(int32_t key) { return key >= 0 && key < kMaxConnections; }

// The slot of `key`, which must be valid.
MxConnection& Connection(int32_t key);

// Stops every background thread of the key and waits for it to end.
// The caller holds control.lifecycle.
void StopKeyThreads(MxConnection& connection);

// Stops only the reconnect threads (a repeated connect replaces them).
// The caller holds control.lifecycle.
void StopReconnectThreads(MxConnection& connection);

// The queue of a key asked for queueing: created with its cache and its
// thread. Returns 0, -108 or -109; on failure nothing of it is left.
int32_t SetUpQueue(int32_t key, int32_t cacheEnabled, int32_t cacheSize, const char* cachePrefix,
                   const char* cacheDirectory);

// Destroys the key's queue once no sender can reach it any more.
void TearDownQueue(MxConnection& connection);

// Sends a frame at once or queues it; the counters of the key follow.
// Returns 0 (sent, or queued), -106 or -111 without a queue, or -110 when
// the queue refused the frame.
int32_t VornUniversalSendData(int32_t key, const char* frame, int32_t length, int32_t isConfig);

// The record paths of a key, shared by the exported entry points.
const FrameSender& SenderFor(int32_t key);
int32_t AddRecords(int32_t key, int32_t type, const void* records, int32_t count);
int32_t AddBlockRecordById(int32_t key, int32_t type, const char* id, const uint8_t* record);
int32_t AddBlockRecordByTime(int32_t key, int32_t type, int32_t time, int16_t msec,
                             const uint8_t* record);

// Background thread bodies; the argument is the key.
void QueueThread(int32_t key);
void HeartBeatThread(int32_t key);

// Reconnect thread bodies; the argument is the key.
void PrimaryReconnectThread(int32_t key);
void AlternateReconnectThread(int32_t key);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_MX_CONNECTION_H_
