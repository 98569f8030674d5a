#include "platform/socket.h"
#include "universal/diagnostics.h"
#include "universal/mx_connection.h"
#include "universal/send_data.h"

namespace histfeed::universal {

int32_t GetAckBack(int32_t key, int32_t alternate, char* ack) {
  MxConnection& connection = Connection(key);
  platform::SocketHandle socket =
      alternate != 0 ? connection.alternateSocket.load() : connection.primarySocket.load();
  int64_t timeoutMs = int64_t{connection.ackTimeoutSeconds.load()} * 1000;
  platform::WaitResult wait;
  int32_t received = platform::ReceiveWithin(socket, ack, 1, timeoutMs, &wait);
  switch (wait) {
    case platform::WaitResult::kTimedOut:
      PassTrace(alternate != 0 ? "GetAckBack() ALT timeout" : "GetAckBack() PRI timeout");
      return kNotSent;
    case platform::WaitResult::kFailed:
      PassTrace("GetAckBack() select socket error =%d", platform::LastSocketError());
      return kNotSent;
    case platform::WaitResult::kReadable:
      break;
  }
  if (received <= 0) {
    (alternate != 0 ? connection.alternateState : connection.primaryState) = kDisconnected;
    return kNotSent;
  }
  return 0;
}

}  // namespace histfeed::universal
