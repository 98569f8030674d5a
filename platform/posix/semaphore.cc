#include "platform/semaphore.h"

#if defined(__linux__)
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/clock.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {

namespace {

// A release must not miss a thread that is about to sleep: the releaser
// stores the count and then reads the waiter count, the waiter adds
// itself and then tries the count. Rather than a full fence in every
// release, a thread about to sleep makes every running thread of the
// process pass a full barrier (membarrier), which orders the releaser's
// store before its read just when it matters. Where that call is not
// available, releases fence as usual.
bool RegisterProcessBarrier() {
#if defined(__linux__) && defined(__NR_membarrier)
  return syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
  return false;
#endif
}

bool ProcessBarrierAvailable() {
  static const bool available = RegisterProcessBarrier();
  return available;
}

// Returns false when the barrier could not be made; the caller then
// must not rely on it.
bool ProcessBarrier() {
#if defined(__linux__) && defined(__NR_membarrier)
  return syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
  return false;
#endif
}

// Without a barrier a sleeping waiter looks at the count again this often,
// so a missed release costs a short delay, never a hang.
constexpr int64_t kUnfencedWaitSliceMs = 1;

}  // namespace

// An uncontended wait is one atomic exchange and an uncontended release a
// plain store; only a thread that has to wait takes the mutex.
class BinarySemaphore {
 public:
  int32_t Wait(int64_t timeoutMs) {
    if (TryTake()) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    waiters_.fetch_add(1);
    bool fenced = !ProcessBarrierAvailable() || ProcessBarrier();
    bool got = fenced ? WaitFenced(lock, timeoutMs) : WaitInSlices(lock, timeoutMs);
    waiters_.fetch_sub(1);
    return got ? 0 : kWaitTimedOut;
  }

  int32_t Release() {
    // Only the holder releases, and nobody else changes a zero count.
    if (count_.load(std::memory_order_relaxed) != 0) return SemaphoreAtMaximumError();
    count_.store(1, std::memory_order_release);
    if (ProcessBarrierAvailable()) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    if (waiters_.load(std::memory_order_relaxed) > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      released_.notify_one();
    }
    return 0;
  }

 private:
  bool TryTake() {
    int expected = 1;
    return count_.compare_exchange_strong(expected, 0, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  bool WaitFenced(std::unique_lock<std::mutex>& lock, int64_t timeoutMs) {
    auto taken = [this] { return TryTake(); };
    if (timeoutMs < 0) {
      released_.wait(lock, taken);
      return true;
    }
    return released_.wait_for(lock, RealDuration(timeoutMs), taken);
  }

  bool WaitInSlices(std::unique_lock<std::mutex>& lock, int64_t timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? 0 : MonotonicMs() + timeoutMs;
    while (!TryTake()) {
      int64_t slice = kUnfencedWaitSliceMs;
      if (timeoutMs >= 0) {
        int64_t left = deadline - MonotonicMs();
        if (left <= 0) return false;
        slice = std::min(slice, left);
      }
      released_.wait_for(lock, RealDuration(slice));
    }
    return true;
  }

  std::atomic<int> count_{1};
  std::atomic<int> waiters_{0};
  std::mutex mutex_;
  std::condition_variable released_;
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
