#include "queue/lazy_semaphore.h"

namespace histfeed {
namespace {

// Creates the slot's semaphore once, even when several threads make their
// first wait at the same moment: the slot is checked again under the guard.
int32_t EnsureCreated(LazySemaphore& slot) {
  int32_t error = platform::AcquireCreationGuard();
  if (error != 0) return error;
  if (slot.handle.load(std::memory_order_acquire) == nullptr) {
    platform::BinarySemaphore* created = platform::CreateBinarySemaphore(&error);
    if (created != nullptr) slot.handle.store(created, std::memory_order_release);
  }
  platform::ReleaseCreationGuard();
  return slot.handle.load(std::memory_order_acquire) != nullptr ? 0 : error;
}

}  // namespace

int32_t SemWait(LazySemaphore& slot, int32_t timeoutMs) {
  if (slot.handle.load(std::memory_order_acquire) == nullptr) {
    int32_t error = EnsureCreated(slot);
    if (error != 0) return error;
  }
  int64_t timeout = timeoutMs < 0 ? -1 : timeoutMs;
  return platform::WaitBinarySemaphore(slot.handle.load(std::memory_order_acquire), timeout);
}

int32_t SemRelease(LazySemaphore& slot) {
  platform::BinarySemaphore* semaphore = slot.handle.load(std::memory_order_acquire);
  if (semaphore == nullptr) return 0;
  return platform::ReleaseBinarySemaphore(semaphore);
}

void SemDestroy(LazySemaphore& slot) {
  platform::DestroyBinarySemaphore(slot.handle.exchange(nullptr));
}

}  // namespace histfeed
