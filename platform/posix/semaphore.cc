#include "platform/semaphore.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {

class BinarySemaphore {
 public:
  int32_t Wait(int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto available = [this] { return count_ > 0; };
    if (timeoutMs < 0) {
      released_.wait(lock, available);
    } else if (!released_.wait_for(lock, RealDuration(timeoutMs), available)) {
      return kWaitTimedOut;
    }
    count_ = 0;
    return 0;
  }

  int32_t Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (count_ > 0) return SemaphoreAtMaximumError();
      count_ = 1;
    }
    released_.notify_one();
    return 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  int count_ = 1;
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
std::mutex& CreationGuard() {
  static NoDestructor<std::mutex> guard;
  return *guard;
}
}  // namespace

int32_t AcquireCreationGuard() {
  CreationGuard().lock();
  return 0;
}

void ReleaseCreationGuard() { CreationGuard().unlock(); }

}  // namespace histfeed::platform
