// SPDX-License-Identifier: Apache-2.0
// A universal connection key. It owns three collaborators, each with its
// own state and locks: the record buffers, which cut frames and hand them
// to the outbox; the outbox, which sends a frame at once or queues it and
// replays the queue; and the transport, which owns the two service links
// and their reconnect threads. A heartbeat sends through the outbox.
//
// The table holds 100 keys for the life of the process; an exported call
// looks its key up once and calls one of the methods below.
#ifndef HISTFEED_UNIVERSAL_KEY_H_
#define HISTFEED_UNIVERSAL_KEY_H_

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "universal/heartbeat.h"
#include "universal/outbox.h"
#include "universal/record_buffers.h"
#include "universal/status_items.h"
#include "universal/transport.h"

namespace histfeed::universal {

inline constexpr int32_t kMaxConnections = 100;

// The options of VornMxUniversalInitialize.
struct KeyOptions {
  int32_t ackEnabled = 0;
  int32_t queueEnabled = 0;
  int32_t cacheEnabled = 0;
  int32_t cacheSize = 0;
  const char* cachePrefix = nullptr;
  const char* cacheDirectory = nullptr;
};

class Key {
 public:
  explicit Key(int32_t number);
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  int32_t number() const { return number_; }
  bool InUse() const { return inUse_.load() != 0; }

  // Takes the key if it is free; exclusive when initializations run at the
  // same time.
  bool Claim();

  // Sets a claimed key's options, and with queueing its queue. Returns 0,
  // -108 or -109; on failure the key is given back.
  int32_t Initialize(const KeyOptions& options) EXCLUDES(lifecycle_);

  // Connects the primary and the optional alternate service. Returns 0,
  // -1 for a key not in use, or the transport's connect result.
  int32_t Connect(const char* primaryHost, int32_t primaryPort, const char* alternateHost,
                  int32_t alternatePort) EXCLUDES(lifecycle_);

  // Sets the heartbeat interval. Returns 0, -1 for a key not in use, or
  // -2 when the heartbeat thread cannot be started.
  int32_t SetHeartBeat(int32_t seconds) EXCLUDES(lifecycle_);

  // Ends the key's threads, closes its sockets, saves or reports what its
  // queue holds, drops unflushed records and gives the key back.
  void Close() EXCLUDES(lifecycle_);

  bool Connected() const { return transport_.AnyConnected(); }
  // The values the status items name.
  StatusValues Status() const;

  RecordBufferSet& buffers() { return buffers_; }
  Outbox& outbox() { return outbox_; }
  Transport& transport() { return transport_; }
  HeartBeat& heartBeat() { return heartBeat_; }

 private:
  // Stops every background thread of the key and waits for it to end.
  void StopThreads() REQUIRES(lifecycle_);

  const int32_t number_;
  std::atomic<int32_t> inUse_{0};
  // Held while the key's threads are started or stopped and while the key
  // is initialized, connected or closed, so those never interleave. Taken
  // after the buffers' lock, which closing holds throughout.
  platform::Mutex lifecycle_;
  Transport transport_;
  Outbox outbox_;
  HeartBeat heartBeat_;
  // Hands its frames to the outbox, given once here.
  RecordBufferSet buffers_;
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
  return key != nullptr && key->InUse() ? key : nullptr;
}

// The lowest free key, now taken, or null when all 100 are in use.
Key* ClaimKey();

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_KEY_H_
