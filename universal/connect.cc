// SPDX-License-Identifier: Apache-2.0
// Opening a key's primary and alternate connections.
#include <cstdint>
#include <utility>

#include "histfeed.h"
#include "universal/diagnostics.h"
#include "universal/transport.h"

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

}  // namespace

Transport::Transport(int32_t number, std::function<void()> reconnected)
    : number_(number), reconnected_(std::move(reconnected)) {}

void Transport::Reset(bool ackEnabled) {
  ackTimeoutSeconds_ = kDefaultAckTimeoutSeconds;
  ackEnabled_ = ackEnabled ? 1 : 0;
  route_ = kUsePrimary;
  primary_.SetState(kDisconnected);
  alternate_.SetState(kNoAlternate);
}

// Connects one link and starts its reconnect thread. Returns 0, -103,
// -104 (no thread then) or -105 (the thread retries).
int32_t Transport::ConnectLink(ServiceLink& link, const char* host, int32_t port) {
  const ConnectTexts& texts = &link == &alternate_ ? kAlternateTexts : kPrimaryTexts;
  if (!link.Resolve(host, port)) {
    MessageWith(texts.unresolved, number_);
    return HISTFEED_HOST_NOT_RESOLVED;
  }
  bool connected = false;
  if (!link.OpenAndConnect(&connected)) {
    MessageWith(texts.noSocket, number_);
    return HISTFEED_SOCKET_NOT_CREATED;
  }
  int32_t result = 0;
  if (connected) {
    link.SetState(kConnected);
  } else {
    MessageWith(texts.refused, number_);
    link.SetState(kDisconnected);
    result = HISTFEED_CONNECT_FAILED;
  }
  StartReconnectThread(link);
  return result;
}

int32_t Transport::Connect(const char* primaryHost, int32_t primaryPort,
                           const char* alternateHost, int32_t alternatePort) {
  // A repeated connect replaces the earlier one: its threads and sockets
  // go first, so none of them is left running or open.
  StopReconnecting();
  primary_.CloseSocket();
  alternate_.CloseSocket();
  primary_.SetState(kDisconnected);
  alternate_.SetState(kNoAlternate);
  // Data frames start on the primary again; left on the alternate, they
  // would never be sent once the new connect gives no alternate.
  route_ = kUsePrimary;
  reconnectStop_.Reset();

  int32_t result = ConnectLink(primary_, primaryHost, primaryPort);
  if (result == HISTFEED_HOST_NOT_RESOLVED || result == HISTFEED_SOCKET_NOT_CREATED) return result;
  if (alternateHost == nullptr || alternateHost[0] == '\0') return result;
  return ConnectLink(alternate_, alternateHost, alternatePort);
}

void Transport::Close() {
  primary_.CloseSocket();
  primary_.SetState(kDisconnected);
  if (alternate_.state() != kNoAlternate) {
    alternate_.CloseSocket();
    alternate_.SetState(kDisconnected);
  }
}

void Transport::Abort() {
  primary_.Abort();
  alternate_.Abort();
}

}  // namespace histfeed::universal
