// SPDX-License-Identifier: Apache-2.0
#include "universal/hand_over_order.h"

namespace histfeed::universal {
namespace {

// The order whose turn this thread is in, if any.
thread_local const HandOverOrder* inTurnOf = nullptr;

}  // namespace

uint64_t HandOverOrder::TakeTurnLocked() {
  return inTurnOf == this ? kWithinOwnTurn : nextTurn_++;
}

// The waiter counts itself before it looks at the turn being served, and
// the ender moves the turn on before it looks for waiters (both
// sequentially consistent), so a waiter is either seen and woken or sees
// its turn come.
void HandOverOrder::WaitForTurn(uint64_t turn) {
  if (serving_.load() == turn) return;
  platform::MutexLock lock(mutex_);
  ++waiting_;
  while (serving_.load() != turn) turnEnded_.Wait(mutex_);
  --waiting_;
}

void HandOverOrder::EndTurn() {
  serving_.fetch_add(1);
  if (waiting_.load() > 0) {
    platform::MutexLock lock(mutex_);
    turnEnded_.SignalAll();
  }
}

HandOverTurn::HandOverTurn(HandOverOrder& order, uint64_t turn)
    : order_(order), own_(turn != HandOverOrder::kWithinOwnTurn) {
  if (!own_) return;
  order_.WaitForTurn(turn);
  outer_ = inTurnOf;
  inTurnOf = &order_;
}

HandOverTurn::~HandOverTurn() {
  if (!own_) return;
  inTurnOf = outer_;
  order_.EndTurn();
}

}  // namespace histfeed::universal
