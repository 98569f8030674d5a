// SPDX-License-Identifier: Apache-2.0
// The binary semaphore behind LazySemaphore, and the guard that makes its
// lazy creation happen once.
#ifndef HISTFEED_PLATFORM_SEMAPHORE_H_
#define HISTFEED_PLATFORM_SEMAPHORE_H_

#include <cstdint>

namespace histfeed::platform {

class BinarySemaphore;

// Result of a wait that ran out of time.
inline constexpr int32_t kWaitTimedOut = -1;
// System error code of a release on a semaphore already at its maximum.
int32_t SemaphoreAtMaximumError();

// Creates a semaphore with count 1 and maximum 1. Returns null and sets
// *error to a positive system code when it cannot be created.
BinarySemaphore* CreateBinarySemaphore(int32_t* error);
void DestroyBinarySemaphore(BinarySemaphore* semaphore);

// Takes the semaphore, waiting at most `timeoutMs` of library time (-1
// forever). Returns 0, kWaitTimedOut, or a positive system error code.
int32_t WaitBinarySemaphore(BinarySemaphore* semaphore, int64_t timeoutMs);

// Adds one to the count. Returns 0, or SemaphoreAtMaximumError() when the
// count is already 1.
int32_t ReleaseBinarySemaphore(BinarySemaphore* semaphore);

// The guard held while a lazy semaphore is created. Acquire returns 0 or
// a positive system error code; Release is called only after success.
int32_t AcquireCreationGuard();
void ReleaseCreationGuard();

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_SEMAPHORE_H_
