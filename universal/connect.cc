// Opening a key's primary and alternate connections.
#include <cstdint>

#include "histfeed.h"
#include "universal/diagnostics.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

// Resolves `host` into `address`; false when the name is unknown.
bool FillAddress(platform::Ipv4Address& address, const char* host, int32_t port) {
  address = platform::Ipv4Address{};
  uint8_t hostBytes[4];
  if (!platform::ResolveIpv4(host, hostBytes)) return false;
  address = platform::MakeIpv4Address(hostBytes, static_cast<uint16_t>(port));
  return true;
}

// Opens a socket into `socket` and connects it. Returns false when no
// socket could be created; *connected tells how the connect went.
bool OpenAndConnect(ServiceLink& link, std::atomic<platform::SocketHandle>& socket,
                    const platform::Ipv4Address& address, bool* connected) {
  platform::SocketHandle handle = platform::OpenStreamSocket();
  *connected = false;
  if (handle == platform::kInvalidSocket) return false;
  {
    std::lock_guard<std::mutex> guard(link.handleGuard);
    socket.store(handle);
  }
  *connected = platform::ConnectSocket(handle, address);
  return true;
}

void StartThread(MxConnection& connection, platform::Thread& thread, platform::ThreadBody body,
                 int32_t key) {
  connection.threadsRun = 1;
  thread.Start(kThreadStackBytes, body, key);  // a failed start is ignored, as before
}

int32_t Connect(int32_t key, const char* primaryHost, int32_t primaryPort, const char* alternateHost,
                int32_t alternatePort) {
  if (platform::StartSockets() != 0) {
    PassMessage("Error on WSAStartup");
    return kSocketStartupFailed;
  }
  if (!IsValidKey(key)) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", key);
    return kSocketStartupFailed;
  }
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  std::lock_guard<std::mutex> lifecycle(control.lifecycle);
  if (connection.inUse.load() == 0) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", key);
    return kSocketStartupFailed;
  }

  // A repeated connect replaces the earlier one: its threads and sockets
  // go first, so none of them is left running or open.
  StopReconnectThreads(connection);
  CloseLinkSocket(control.primaryLink, connection.primarySocket);
  CloseLinkSocket(control.alternateLink, connection.alternateSocket);
  connection.primaryState = kDisconnected;
  connection.alternateState = kNoAlternate;
  // Data frames start on the primary again; left on the alternate, they
  // would never be sent once the new connect gives no alternate.
  connection.currentConnection = kUsePrimary;
  control.reconnectStop.Reset();

  if (!FillAddress(connection.primaryAddress, primaryHost, primaryPort)) {
    PassMessage("Error on gethostbyname key = %d", key);
    return kHostNotResolved;
  }
  bool connected = false;
  if (!OpenAndConnect(control.primaryLink, connection.primarySocket, connection.primaryAddress,
                      &connected)) {
    PassMessage("Error cannot open socket key=%d", key);
    return kSocketNotCreated;
  }
  int32_t result = 0;
  if (connected) {
    connection.primaryState = kConnected;
  } else {
    PassMessage("Error connecting to service key=%d", key);
    connection.primaryState = kDisconnected;
    result = kConnectFailed;
  }
  StartThread(connection, control.primaryReconnect, PrimaryReconnectThread, key);

  if (alternateHost == nullptr || alternateHost[0] == '\0') {
    connection.alternateSocket = platform::kInvalidSocket;
    connection.alternateState = kNoAlternate;
    return result;
  }
  if (!FillAddress(connection.alternateAddress, alternateHost, alternatePort)) {
    PassMessage("Error on gethostbyname for alternate service");
    return kHostNotResolved;
  }
  if (!OpenAndConnect(control.alternateLink, connection.alternateSocket, connection.alternateAddress,
                      &connected)) {
    PassMessage("Error cannot open socket for alternate service");
    return kSocketNotCreated;
  }
  if (connected) {
    connection.alternateState = kConnected;
    result = 0;
  } else {
    PassMessage("Error connecting to alternate service");
    connection.alternateState = kDisconnected;
    result = kConnectFailed;
  }
  StartThread(connection, control.alternateReconnect, AlternateReconnectThread, key);
  return result;
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API int32_t VornMxUniversalDataConnect(int32_t key, const char* primaryHost,
                                                           int32_t primaryPort, const char* alternateHost,
                                                           int32_t alternatePort) {
  return histfeed::universal::Connect(key, primaryHost, primaryPort, alternateHost, alternatePort);
}
