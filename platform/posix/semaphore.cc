// SPDX-License-Identifier: Apache-2.0
#include "platform/semaphore.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {

// An uncontended wait or release is one atomic exchange; only a thread
// that has to wait takes the mutex. Every load and exchange is
// sequentially consistent: a releaser that sees no waiter and a waiter
// that sees no count cannot both miss each other.
class BinarySemaphore {
 public:
  int32_t Wait(int64_t timeoutMs) {
    if (TryTake()) return 0;
    MutexLock lock(mutex_);
    ++waiters_;
    bool got = true;
    if (timeoutMs < 0) {
      while (!TryTake()) released_.Wait(mutex_);
    } else {
      const auto deadline = DeadlineAfter(timeoutMs);
      while (!TryTake()) {
        if (!released_.WaitUntil(mutex_, deadline)) {
          got = TryTake();
          break;
        }
      }
    }
    --waiters_;
    return got ? 0 : kWaitTimedOut;
  }

  int32_t Release() {
    int expected = 0;
    if (!count_.compare_exchange_strong(expected, 1)) return SemaphoreAtMaximumError();
    if (waiters_.load() > 0) {
      MutexLock lock(mutex_);
      released_.Signal();
    }
    return 0;
  }

 private:
  bool TryTake() {
    int expected = 1;
    return count_.compare_exchange_strong(expected, 0);
  }

  std::atomic<int> count_{1};
  std::atomic<int> waiters_{0};
  Mutex mutex_;
  CondVar released_;
};

int32_t SemaphoreAtMaximumError() { return EOVERFLOW; }

BinarySemaphore* CreateBinarySemaphore(int32_t* error) {
  auto* semaphore = new (std::nothrow) BinarySemaphore();
  if (semaphore == nullptr && error != nullptr) *error = ENOMEM;
  return semaphore;
}

void DestroyBinarySemaphore(BinarySemaphore* semaphore) { delete semaphore; }

int32_t WaitBinarySemaphore(BinarySemaphore* semaphore, int64_t timeoutMs) {
  return semaphore->Wait(timeoutMs);
}

int32_t ReleaseBinarySemaphore(BinarySemaphore* semaphore) { return semaphore->Release(); }

// Semaphores live in this process's memory, so a process-wide guard is
// enough to create each of them once.
namespace {
Mutex& CreationGuard() {
  static NoDestructor<Mutex> guard;
  return *guard;
}
}  // namespace

// Taken and given back in separate calls, as the named guard of other
// systems is, so the analysis cannot follow it.
int32_t AcquireCreationGuard() NO_THREAD_SAFETY_ANALYSIS {
  CreationGuard().Lock();
  return 0;
}

void ReleaseCreationGuard() NO_THREAD_SAFETY_ANALYSIS { CreationGuard().Unlock(); }

}  // namespace histfeed::platform
