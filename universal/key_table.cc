// SPDX-License-Identifier: Apache-2.0
// The table of connection keys, taking a key, and the connected-state
// query.
#include <array>

#include "histfeed.h"
#include "platform/no_destructor.h"
#include "universal/key.h"
#include "universal/queued_sending.h"
#include "universal/status_items.h"

namespace histfeed::universal {
namespace {

struct KeyTable {
  KeyTable() {
    for (int32_t number = 0; number < kMaxConnections; ++number) {
      Key& key = keys[static_cast<size_t>(number)];
      key.number = number;
      key.sender = [&key](const uint8_t* frame, size_t length, bool isConfig) {
        return SendOrQueue(key, reinterpret_cast<const char*>(frame),
                           static_cast<int32_t>(length), isConfig ? 1 : 0);
      };
    }
  }
  std::array<Key, kMaxConnections> keys;
};

// Never destroyed: the application may leave keys open (and their threads
// running) while the library unloads.
KeyTable& Table() {
  static platform::NoDestructor<KeyTable> table;
  return *table;
}

// Takes the lowest free key; the exchange makes the claim exclusive when
// initializations run at the same time.
Key* ClaimKey() {
  for (Key& key : Table().keys) {
    int32_t expected = 0;
    if (key.inUse.compare_exchange_strong(expected, 1)) return &key;
  }
  return nullptr;
}

int32_t Initialize(Key& key, int32_t ackEnabled, int32_t queueEnabled, int32_t cacheEnabled,
                   int32_t cacheSize, const char* cachePrefix, const char* cacheDirectory) {
  platform::MutexLock lifecycle(key.lifecycle);
  {
    SemLock buffers(key.buffers.lock());
    key.buffers.Reset();
  }
  key.ackTimeoutSeconds = kDefaultAckTimeoutSeconds;
  key.ackEnabled = 0;
  key.queueEnabled = 0;
  key.cacheEnabled = 0;
  key.threadsRun = 0;
  key.currentConnection = kUsePrimary;
  key.primary.state = kDisconnected;
  key.heartBeatSeconds = 0;
  key.alternate.state = kNoAlternate;
  if (queueEnabled != 0) {
    int32_t setUp = SetUpQueue(key, cacheEnabled, cacheSize, cachePrefix, cacheDirectory);
    if (setUp != 0) {
      // The caller never learns this key, so it is given back.
      key.inUse = 0;
      return setUp;
    }
  }
  if (ackEnabled != 0) key.ackEnabled = 1;
  return 0;
}

}  // namespace

Key& KeyAt(int32_t number) { return Table().keys[static_cast<size_t>(number)]; }

}  // namespace histfeed::universal

using namespace histfeed::universal;

extern "C" {

HISTFEED_API int32_t VornMxUniversalInitialize(int32_t* key, int32_t ackEnabled, int32_t queueEnabled,
                                               int32_t cacheEnabled, int32_t cacheSize,
                                               const char* cachePrefix, const char* cacheDirectory) {
  // Without a place to put the key it could never be closed again.
  Key* taken = key != nullptr ? ClaimKey() : nullptr;
  int32_t result = HISTFEED_NO_FREE_KEY;
  if (taken != nullptr) {
    result = Initialize(*taken, ackEnabled, queueEnabled, cacheEnabled, cacheSize, cachePrefix,
                        cacheDirectory);
    if (result != 0) return result;
    *key = taken->number;
  }
  FillStatusItems();
  return result;
}

HISTFEED_API int32_t ISVornMxUniversalConnected(int32_t key) {
  Key* found = FindKey(key);
  return found != nullptr && found->AnyServiceConnected() ? 1 : 0;
}

}  // extern "C"
