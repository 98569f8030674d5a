// SPDX-License-Identifier: Apache-2.0
#include "platform/semaphore.h"

#include <windows.h>

#include <atomic>
#include <chrono>

#include "platform/clock.h"

namespace histfeed::platform {
namespace {

HANDLE AsHandle(BinarySemaphore* semaphore) { return reinterpret_cast<HANDLE>(semaphore); }

// Real milliseconds for a wait of `timeoutMs` library time, rounded up.
DWORD RealWaitMs(int64_t timeoutMs) {
  if (timeoutMs < 0) return INFINITE;
  auto real = std::chrono::ceil<std::chrono::milliseconds>(RealDuration(timeoutMs)).count();
  return real >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(real);
}

// The named mutex that guards the creation of every lazy semaphore.
constexpr char kCreationGuardName[] = "SemRequest";
std::atomic<HANDLE> creationGuard{nullptr};

}  // namespace

int32_t SemaphoreAtMaximumError() { return ERROR_TOO_MANY_POSTS; }

BinarySemaphore* CreateBinarySemaphore(int32_t* error) {
  HANDLE handle = CreateSemaphoreA(nullptr, 1, 1, nullptr);
  if (handle == nullptr && error != nullptr) *error = static_cast<int32_t>(GetLastError());
  return reinterpret_cast<BinarySemaphore*>(handle);
}

void DestroyBinarySemaphore(BinarySemaphore* semaphore) {
  if (semaphore != nullptr) CloseHandle(AsHandle(semaphore));
}

int32_t WaitBinarySemaphore(BinarySemaphore* semaphore, int64_t timeoutMs) {
  DWORD result = WaitForSingleObject(AsHandle(semaphore), RealWaitMs(timeoutMs));
  if (result == WAIT_OBJECT_0) return 0;
  if (result == WAIT_TIMEOUT) return kWaitTimedOut;
  DWORD error = GetLastError();
  return error != 0 ? static_cast<int32_t>(error) : ERROR_INVALID_HANDLE;
}

int32_t ReleaseBinarySemaphore(BinarySemaphore* semaphore) {
  if (ReleaseSemaphore(AsHandle(semaphore), 1, nullptr)) return 0;
  return static_cast<int32_t>(GetLastError());
}

int32_t AcquireCreationGuard() {
  HANDLE guard = creationGuard.load();
  if (guard == nullptr) {
    HANDLE opened = CreateMutexA(nullptr, FALSE, kCreationGuardName);
    if (opened == nullptr) return static_cast<int32_t>(GetLastError());
    HANDLE expected = nullptr;
    if (creationGuard.compare_exchange_strong(expected, opened)) {
      guard = opened;
    } else {
      CloseHandle(opened);  // another thread opened it first
      guard = expected;
    }
  }
  DWORD result = WaitForSingleObject(guard, INFINITE);
  // An owner that ended while holding the guard left nothing half made:
  // the semaphore is stored only once it exists.
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return 0;
  return static_cast<int32_t>(GetLastError());
}

void ReleaseCreationGuard() { ReleaseMutex(creationGuard.load()); }

}  // namespace histfeed::platform
