// SPDX-License-Identifier: Apache-2.0
// The classic family's process-wide state: its three locks, the sender's
// flags and queues, and the table of the load each service last reported.
//
// Every lock is named through Classic() (Classic().bufferLock), never
// through a reference kept in a local: the thread-safety analysis tells
// locks apart by the expression that names them. Functions that work on
// locked state say so with REQUIRES(Classic().bufferLock).
//
// Lock order: add lock, then sender start lock or buffer lock, then a
// queue's own lock.
#ifndef HISTFEED_CLASSIC_CLASSIC_STATE_H_
#define HISTFEED_CLASSIC_CLASSIC_STATE_H_

#include <atomic>
#include <cstdint>

#include "classic/service_buffer.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"
#include "platform/thread_annotations.h"

namespace histfeed {

class RecordQueue;

namespace classic {

// One row of the service rate table: the last load a service reported.
struct RateEntry {
  uint32_t count;
  uint32_t capacity;
  char serviceName[kServiceNameSize];
};

inline constexpr int32_t kRateTableRows = 10;

struct ClassicState {
  // Serialises whole add calls (and the snapshot against them).
  platform::Mutex addLock;
  // Buffer states, the lookup index, counts of shared buffers, the rate
  // table, and changes of sendQueue.
  platform::Mutex bufferLock;
  // Starting and stopping the sender thread.
  platform::Mutex senderStartLock;
  // The queue producers push onto; cleared under the buffer lock when the
  // sender stops, so nothing is pushed after its drain.
  std::atomic<RecordQueue*> sendQueue{nullptr};
  // The queue of the current sender thread, which owns it: made by
  // RecordQueue::Create and destroyed only once that thread has ended.
  // A plain pointer, as this state is never destroyed.
  std::atomic<RecordQueue*> senderQueue{nullptr};
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> busy{0};
  std::atomic<int32_t> libraryStarted{0};
  RateEntry rates[kRateTableRows] GUARDED_BY(bufferLock);
  // Each row's name in lower case, zero-padded, so that a lookup is one
  // compare per row.
  char rateKeys[kRateTableRows][kServiceNameSize] GUARDED_BY(bufferLock);
  // Each row's count / capacity in floating point, worked out when the row
  // is written, so that choosing a row to replace divides nothing.
  double rateLoads[kRateTableRows] GUARDED_BY(bufferLock);
};

// Made zero (every flag clear, the rate table empty) on first use and never
// destroyed: the unloading hook takes its locks after static destructors
// may have run.
inline ClassicState& Classic() {
  static platform::NoDestructor<ClassicState> state;
  return *state;
}

}  // namespace classic
}  // namespace histfeed

#endif  // HISTFEED_CLASSIC_CLASSIC_STATE_H_
