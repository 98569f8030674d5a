// SPDX-License-Identifier: Apache-2.0
#include "platform/lazy_semaphore.h"

namespace histfeed::platform {
namespace {

// Creates the slot's semaphore once, even when several threads make their
// first wait at the same moment: the slot is checked again under the guard.
int32_t EnsureCreated(LazySemaphore& slot) {
  int32_t error = AcquireCreationGuard();
  if (error != 0) return error;
  if (slot.handle.load(std::memory_order_acquire) == nullptr) {
    BinarySemaphore* created = CreateBinarySemaphore(&error);
    if (created != nullptr) slot.handle.store(created, std::memory_order_release);
  }
  ReleaseCreationGuard();
  return slot.handle.load(std::memory_order_acquire) != nullptr ? 0 : error;
}

}  // namespace

int32_t SemWaitCreating(LazySemaphore& slot, int32_t timeoutMs) {
  int32_t error = EnsureCreated(slot);
  if (error != 0) return error;
  return SemWait(slot, timeoutMs);
}

void SemDestroy(LazySemaphore& slot) { DestroyBinarySemaphore(slot.handle.exchange(nullptr)); }

}  // namespace histfeed::platform
