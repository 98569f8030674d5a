// SPDX-License-Identifier: Apache-2.0
// The order in which a key's frames reach the transport. Frames are cut
// from the record buffers under the key's lock but handed over after it is
// released, so that sending never blocks the threads that add records.
// Two threads that cut frames at about the same time would then race to
// the transport, and values of one thread could arrive out of order; so
// each cut takes a turn, and a frame is handed over only once every frame
// cut before it has been.
#ifndef HISTFEED_UNIVERSAL_HAND_OVER_ORDER_H_
#define HISTFEED_UNIVERSAL_HAND_OVER_ORDER_H_

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace histfeed::universal {

class HandOverOrder {
 public:
  // What TakeTurnLocked gives a thread that is already handing frames of
  // this key over: the transport may call back into the application (its
  // message function), and a frame cut there goes out in the turn it is in
  // rather than waiting for that turn to end, which would never happen.
  static constexpr uint64_t kWithinOwnTurn = UINT64_MAX;

  HandOverOrder() = default;
  HandOverOrder(const HandOverOrder&) = delete;
  HandOverOrder& operator=(const HandOverOrder&) = delete;

  // The next turn, in the order of the calls; call with the key's lock
  // held, in the same hold as the cut.
  uint64_t TakeTurnLocked();

  // Threads blocked waiting for their turn, for tests.
  int32_t Waiting() const { return waiting_.load(); }

 private:
  friend class HandOverTurn;

  // Blocks until every earlier turn has ended.
  void WaitForTurn(uint64_t turn) EXCLUDES(mutex_);
  // Ends the current turn; every turn taken ends once.
  void EndTurn() EXCLUDES(mutex_);

  uint64_t nextTurn_ = 0;  // guarded by the key's lock
  std::atomic<uint64_t> serving_{0};
  std::atomic<int32_t> waiting_{0};
  // Only blocked waiters and the turn's end that wakes them take it.
  platform::Mutex mutex_;
  platform::CondVar turnEnded_;
};

// A turn from its wait to its end, around one hand-over of frames.
class HandOverTurn {
 public:
  HandOverTurn(HandOverOrder& order, uint64_t turn);
  ~HandOverTurn();
  HandOverTurn(const HandOverTurn&) = delete;
  HandOverTurn& operator=(const HandOverTurn&) = delete;

 private:
  HandOverOrder& order_;
  bool own_;  // false within the thread's own turn: nothing to wait or end
  const HandOverOrder* outer_ = nullptr;
};

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_HAND_OVER_ORDER_H_
