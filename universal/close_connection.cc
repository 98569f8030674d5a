// Closing a key: its threads end, its sockets close, and the slot is
// given back.
#include "histfeed.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

void Close(int32_t key) {
  if (!IsValidKey(key)) return;
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  // A sender may hold the buffer lock while it waits for an answer or for
  // room to send; waking it first lets closing take the lock at once.
  if (connection.inUse.load() != 0) {
    AbortLink(control.primaryLink, connection.primarySocket);
    AbortLink(control.alternateLink, connection.alternateSocket);
  }
  SemLock buffers(connection.buffers.lock());
  if (connection.inUse.load() == 0) return;
  std::lock_guard<std::mutex> lifecycle(control.lifecycle);

  // The threads end first, so none of them touches a socket, the queue or
  // a buffer of the key after this point.
  StopKeyThreads(connection);

  CloseLinkSocket(control.primaryLink, connection.primarySocket);
  connection.primaryState = kDisconnected;
  if (connection.alternateState.load() != kNoAlternate) {
    CloseLinkSocket(control.alternateLink, connection.alternateSocket);
    connection.alternateState = kDisconnected;
  }
  TearDownQueue(connection);
  // Unflushed records are discarded, not sent.
  connection.buffers.ReleaseLocked();
  // Last, so a new initialization never meets a half-closed slot.
  connection.inUse = 0;
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API void VornMxUniversalCloseSocket(int32_t key) { histfeed::universal::Close(key); }
