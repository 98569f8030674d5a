// SPDX-License-Identifier: Apache-2.0
// A binary semaphore in one handle slot that starts out zero. A zero slot
// behaves as an unlocked lock, so it can live in static storage or a
// zero-filled record with no set-up call; the first wait creates the
// semaphore, under a guard that makes it happen once.
//
// The library's own locks are platform::Mutex. A LazySemaphore is for
// what only a semaphore gives: a wait with a time-out that reports it,
// and a release from another thread than the one that took it.
#ifndef HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_
#define HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_

#include <atomic>
#include <cstdint>

#include "platform/semaphore.h"

namespace histfeed::platform {

struct LazySemaphore {
  std::atomic<BinarySemaphore*> handle{nullptr};
};

// Wait forever.
inline constexpr int32_t kWaitForever = -1;

// The first wait on an empty slot: creates the semaphore, then waits.
int32_t SemWaitCreating(LazySemaphore& slot, int32_t timeoutMs);

// Takes the semaphore, creating it on first use. Waits at most timeoutMs
// milliseconds (kWaitForever: no limit). Returns 0 when taken, -1 on
// time-out, or a positive system error code.
inline int32_t SemWait(LazySemaphore& slot, int32_t timeoutMs) {
  BinarySemaphore* semaphore = slot.handle.load(std::memory_order_acquire);
  if (semaphore == nullptr) return SemWaitCreating(slot, timeoutMs);
  return WaitBinarySemaphore(semaphore, timeoutMs < 0 ? -1 : timeoutMs);
}

// Gives the semaphore back. Returns 0, or a positive system error code
// (for example when it was not taken). An empty slot returns 0.
inline int32_t SemRelease(LazySemaphore& slot) {
  BinarySemaphore* semaphore = slot.handle.load(std::memory_order_acquire);
  return semaphore == nullptr ? 0 : ReleaseBinarySemaphore(semaphore);
}

// Destroys the semaphore and empties the slot. Nobody may use it then.
void SemDestroy(LazySemaphore& slot);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_
