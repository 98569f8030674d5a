// The universal connection table: 100 slots, one per connection key, each
// holding the state of that key's primary and alternate service, its
// options, its send counters and its record buffers.
#ifndef HISTFEED_UNIVERSAL_MX_CONNECTION_H_
#define HISTFEED_UNIVERSAL_MX_CONNECTION_H_

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "queue/lazy_semaphore.h"
#include "universal/frame_format.h"
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
};

struct MxConnection {
  std::atomic<int32_t> inUse{0};
  // Record buffers: guarded by bufferLock.
  int32_t recordCount[kRecordTypeCount] = {};
  int32_t bufferAllocated[kRecordTypeCount] = {};
  char* recordBuffer[kRecordTypeCount] = {};
  LazySemaphore bufferLock;
  char pointId[kPointIdBytes] = {};
  char longId[kLongIdBytes] = {};
  char extId[kExtIdHeaderBytes] = {};
  int32_t blockTime = 0;
  int16_t blockTimeMsec = 0;

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

// Reconnect thread bodies; the argument is the key.
void PrimaryReconnectThread(int32_t key);
void AlternateReconnectThread(int32_t key);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_MX_CONNECTION_H_
