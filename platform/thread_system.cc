// SPDX-License-Identifier: Apache-2.0
// The thread system every start goes through (the operating system's,
// unless a test has put a wrapper in its place), and the parts of Thread
// that are the same on every system.
#include <atomic>
#include <utility>

#include "platform/no_destructor.h"
#include "platform/os_threads.h"
#include "platform/thread.h"

namespace histfeed::platform {
namespace {

class OsThreads final : public ThreadSystem {
 public:
  int32_t StartThread(size_t stackBytes, ThreadBody body,
                      std::shared_ptr<ThreadState>* started) override {
    return os::StartThread(stackBytes, std::move(body), started);
  }
};

std::atomic<ThreadSystem*> currentThreads{nullptr};

}  // namespace

ThreadSystem& DefaultThreads() {
  static NoDestructor<OsThreads> threads;
  return *threads;
}

ThreadSystem& Threads() {
  ThreadSystem* threads = currentThreads.load(std::memory_order_acquire);
  return threads != nullptr ? *threads : DefaultThreads();
}

void SetThreadsForTesting(ThreadSystem* threads) {
  currentThreads.store(threads, std::memory_order_release);
}

Thread::Thread(Thread&& other) noexcept : state_(std::move(other.state_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Detach();
    state_ = std::move(other.state_);
  }
  return *this;
}

int32_t Thread::Start(size_t stackBytes, ThreadBody body) {
  Detach();
  return Threads().StartThread(stackBytes, std::move(body), &state_);
}

}  // namespace histfeed::platform
