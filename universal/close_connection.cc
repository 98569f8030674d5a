// Closing a key: its threads end, its sockets close, and the slot is
// given back.
#include <cstdlib>

#include "histfeed.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

void FreeRecordBuffers(MxConnection& connection) {
  for (int32_t type = 0; type < kRecordTypeCount; ++type) {
    if (connection.bufferAllocated[type] != 0 && connection.recordBuffer[type] != nullptr) {
      std::free(connection.recordBuffer[type]);
      connection.recordBuffer[type] = nullptr;
      connection.recordCount[type] = 0;
      connection.bufferAllocated[type] = 0;
    }
  }
}

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
  SemLock buffers(connection.bufferLock);
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
  // Unflushed records are discarded, not sent.
  FreeRecordBuffers(connection);
  // Last, so a new initialization never meets a half-closed slot.
  connection.inUse = 0;
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API void VornMxUniversalCloseSocket(int32_t key) { histfeed::universal::Close(key); }
