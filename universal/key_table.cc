// SPDX-License-Identifier: Apache-2.0
// The table of connection keys and the exported connection functions.
#include <array>
#include <utility>

#include "histfeed.h"
#include "platform/no_destructor.h"
#include "platform/socket.h"
#include "universal/diagnostics.h"
#include "universal/key.h"

namespace histfeed::universal {
namespace {

template <size_t... Numbers>
std::array<Key, sizeof...(Numbers)> MakeKeys(std::index_sequence<Numbers...>) {
  return {Key(static_cast<int32_t>(Numbers))...};
}

struct KeyTable {
  std::array<Key, kMaxConnections> keys = MakeKeys(std::make_index_sequence<kMaxConnections>());
};

// Never destroyed: the application may leave keys open (and their threads
// running) while the library unloads.
KeyTable& Table() {
  static platform::NoDestructor<KeyTable> table;
  return *table;
}

}  // namespace

Key& KeyAt(int32_t number) { return Table().keys[static_cast<size_t>(number)]; }

Key* ClaimKey() {
  for (Key& key : Table().keys) {
    if (key.Claim()) return &key;
  }
  return nullptr;
}

}  // namespace histfeed::universal

using namespace histfeed::universal;

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL VornMxUniversalInitialize(int32_t* key, int32_t ackEnabled,
                                                             int32_t queueEnabled,
                                                             int32_t cacheEnabled,
                                                             int32_t cacheSize,
                                                             const char* cachePrefix,
                                                             const char* cacheDirectory) {
  // Without a place to put the key it could never be closed again.
  Key* taken = key != nullptr ? ClaimKey() : nullptr;
  if (taken == nullptr) return HISTFEED_NO_FREE_KEY;
  int32_t result = taken->Initialize(KeyOptions{ackEnabled, queueEnabled, cacheEnabled, cacheSize,
                                                cachePrefix, cacheDirectory});
  if (result == 0) *key = taken->number();
  return result;
}

HISTFEED_API int32_t HISTFEED_CALL ISVornMxUniversalConnected(int32_t key) {
  Key* found = FindKey(key);
  return found != nullptr && found->Connected() ? 1 : 0;
}

HISTFEED_API int32_t HISTFEED_CALL VornMxUniversalDataConnect(int32_t key, const char* primaryHost,
                                                              int32_t primaryPort,
                                                              const char* alternateHost,
                                                              int32_t alternatePort) {
  if (histfeed::platform::Sockets().StartSockets() != 0) {
    PassMessage("Error on WSAStartup");
    return HISTFEED_KEY_NOT_READY;
  }
  Key* found = FindKey(key);
  if (found == nullptr) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", key);
    return HISTFEED_KEY_NOT_READY;
  }
  return found->Connect(primaryHost, primaryPort, alternateHost, alternatePort);
}

HISTFEED_API void HISTFEED_CALL VornMxUniversalCloseSocket(int32_t key) {
  if (Key* found = FindKey(key)) found->Close();
}

HISTFEED_API int32_t HISTFEED_CALL VornMxSetHeartBeat(int32_t key, int32_t seconds) {
  Key* found = FindKey(key);
  return found != nullptr ? found->SetHeartBeat(seconds) : HISTFEED_KEY_NOT_READY;
}

}  // extern "C"
