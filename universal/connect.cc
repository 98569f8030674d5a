// SPDX-License-Identifier: Apache-2.0
// Opening a key's primary and alternate connections.
#include <cstdint>

#include "histfeed.h"
#include "universal/diagnostics.h"
#include "universal/key.h"
#include "universal/reconnect_threads.h"

namespace histfeed::universal {
namespace {

// The texts one link's connecting reports its failures with.
struct ConnectTexts {
  const char* unresolved;
  const char* noSocket;
  const char* refused;
};

constexpr ConnectTexts kPrimaryTexts = {"Error on gethostbyname key = %d",
                                        "Error cannot open socket key=%d",
                                        "Error connecting to service key=%d"};
constexpr ConnectTexts kAlternateTexts = {"Error on gethostbyname for alternate service",
                                          "Error cannot open socket for alternate service",
                                          "Error connecting to alternate service"};

// A line with a format chosen at run time; every text above takes at most
// the key's number, and printf ignores an argument its format does not use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void MessageWith(const char* format, int32_t number) { PassMessage(format, number); }
#pragma GCC diagnostic pop

// A repeated connect replaces the earlier one: its threads and sockets go
// first, so none of them is left running or open.
void ForgetEarlierConnect(Key& key) REQUIRES(key.lifecycle) {
  StopReconnectThreads(key);
  key.primary.CloseSocket();
  key.alternate.CloseSocket();
  key.primary.state = kDisconnected;
  key.alternate.state = kNoAlternate;
  // Data frames start on the primary again; left on the alternate, they
  // would never be sent once the new connect gives no alternate.
  key.currentConnection = kUsePrimary;
  key.reconnectStop.Reset();
}

// Connects one link and starts its reconnect thread. Returns 0, -103,
// -104 (no thread then) or -105 (the thread retries).
int32_t ConnectLink(Key& key, ServiceLink& link, const char* host, int32_t port,
                    const ConnectTexts& texts) {
  if (!link.Resolve(host, port)) {
    MessageWith(texts.unresolved, key.number);
    return HISTFEED_HOST_NOT_RESOLVED;
  }
  bool connected = false;
  if (!link.OpenAndConnect(&connected)) {
    MessageWith(texts.noSocket, key.number);
    return HISTFEED_SOCKET_NOT_CREATED;
  }
  int32_t result = 0;
  if (connected) {
    link.state = kConnected;
  } else {
    MessageWith(texts.refused, key.number);
    link.state = kDisconnected;
    result = HISTFEED_CONNECT_FAILED;
  }
  StartReconnectThread(key, link);
  return result;
}

int32_t Connect(Key& key, const char* primaryHost, int32_t primaryPort, const char* alternateHost,
                int32_t alternatePort) {
  platform::MutexLock lifecycle(key.lifecycle);
  if (key.inUse.load() == 0) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", key.number);
    return HISTFEED_KEY_NOT_READY;
  }
  ForgetEarlierConnect(key);
  int32_t result = ConnectLink(key, key.primary, primaryHost, primaryPort, kPrimaryTexts);
  if (result == HISTFEED_HOST_NOT_RESOLVED || result == HISTFEED_SOCKET_NOT_CREATED) return result;
  if (alternateHost == nullptr || alternateHost[0] == '\0') return result;
  return ConnectLink(key, key.alternate, alternateHost, alternatePort, kAlternateTexts);
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API int32_t VornMxUniversalDataConnect(int32_t key, const char* primaryHost,
                                                           int32_t primaryPort, const char* alternateHost,
                                                           int32_t alternatePort) {
  using namespace histfeed::universal;
  if (histfeed::platform::Sockets().StartSockets() != 0) {
    PassMessage("Error on WSAStartup");
    return HISTFEED_KEY_NOT_READY;
  }
  Key* found = FindKey(key);
  if (found == nullptr) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", key);
    return HISTFEED_KEY_NOT_READY;
  }
  return Connect(*found, primaryHost, primaryPort, alternateHost, alternatePort);
}
