// SPDX-License-Identifier: Apache-2.0
// Closing a key: its threads end, its sockets close, and the key is given
// back.
#include "histfeed.h"
#include "universal/key.h"
#include "universal/queued_sending.h"
#include "universal/reconnect_threads.h"

namespace histfeed::universal {
namespace {

void Close(Key& key) {
  // A sender may hold the buffer lock while it waits for an answer or for
  // room to send; waking it first lets closing take the lock at once.
  if (key.inUse.load() != 0) key.AbortLinks();
  SemLock buffers(key.buffers.lock());
  if (key.inUse.load() == 0) return;
  platform::MutexLock lifecycle(key.lifecycle);

  // The threads end first, so none of them touches a socket, the queue or
  // a buffer of the key after this point.
  StopKeyThreads(key);

  key.primary.CloseSocket();
  key.primary.state = kDisconnected;
  if (key.alternate.state.load() != kNoAlternate) {
    key.alternate.CloseSocket();
    key.alternate.state = kDisconnected;
  }
  TearDownQueue(key);
  // Unflushed records are discarded, not sent.
  key.buffers.ReleaseLocked();
  // Last, so a new initialization never meets a half-closed key.
  key.inUse = 0;
}

}  // namespace
}  // namespace histfeed::universal

extern "C" HISTFEED_API void VornMxUniversalCloseSocket(int32_t key) {
  if (histfeed::universal::Key* found = histfeed::universal::FindKey(key)) {
    histfeed::universal::Close(*found);
  }
}
