// SPDX-License-Identifier: Apache-2.0
// The library's lock: a binary semaphore in one handle slot that starts
// out zero. A zero slot behaves as an unlocked lock, so it can live in
// static storage or a zero-filled record with no set-up call; the first
// wait creates the semaphore.
#ifndef HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_
#define HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_

#include <atomic>
#include <cstdint>

#include "platform/semaphore.h"
#include "platform/thread_annotations.h"

namespace histfeed {

// A capability for the thread-safety analysis: data it guards is marked
// GUARDED_BY, and SemLock holds it. SemWait and SemRelease stay
// unannotated, as some slots serve as signals rather than locks.
struct CAPABILITY("semaphore") LazySemaphore {
  std::atomic<platform::BinarySemaphore*> handle{nullptr};
};

// Wait forever.
inline constexpr int32_t kWaitForever = -1;

// The first wait on an empty slot: creates the semaphore, then waits.
int32_t SemWaitCreating(LazySemaphore& slot, int32_t timeoutMs);

// Takes the semaphore, creating it on first use. Waits at most timeoutMs
// milliseconds (kWaitForever: no limit). Returns 0 when taken, -1 on
// time-out, or a positive system error code. Inline, as every record
// added passes here twice.
inline int32_t SemWait(LazySemaphore& slot, int32_t timeoutMs) {
  platform::BinarySemaphore* semaphore = slot.handle.load(std::memory_order_acquire);
  if (semaphore == nullptr) return SemWaitCreating(slot, timeoutMs);
  return platform::WaitBinarySemaphore(semaphore, timeoutMs < 0 ? -1 : timeoutMs);
}

// Gives the semaphore back. Returns 0, or a positive system error code
// (for example when it was not taken). An empty slot returns 0.
inline int32_t SemRelease(LazySemaphore& slot) {
  platform::BinarySemaphore* semaphore = slot.handle.load(std::memory_order_acquire);
  return semaphore == nullptr ? 0 : platform::ReleaseBinarySemaphore(semaphore);
}

// Destroys the semaphore and empties the slot. Nobody may use it then.
void SemDestroy(LazySemaphore& slot);

// Holds a LazySemaphore for a scope. Unlock() and Lock() let a scope give
// the lock up for a while (to send outside it) and take it back.
class SCOPED_CAPABILITY SemLock {
 public:
  explicit SemLock(LazySemaphore& slot) ACQUIRE(slot) : slot_(slot) { SemWait(slot_, kWaitForever); }
  ~SemLock() RELEASE() {
    if (held_) SemRelease(slot_);
  }
  SemLock(const SemLock&) = delete;
  SemLock& operator=(const SemLock&) = delete;

  void Unlock() RELEASE() {
    SemRelease(slot_);
    held_ = false;
  }
  void Lock() ACQUIRE() {
    SemWait(slot_, kWaitForever);
    held_ = true;
  }

 private:
  LazySemaphore& slot_;
  bool held_ = true;
};

}  // namespace histfeed

#endif  // HISTFEED_PLATFORM_LAZY_SEMAPHORE_H_
