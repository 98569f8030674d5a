// SPDX-License-Identifier: Apache-2.0
// Background threads: started with a stack-size request and a callable
// that carries whatever its body needs, joined with a time-out on the
// library clock.
#ifndef HISTFEED_PLATFORM_THREAD_H_
#define HISTFEED_PLATFORM_THREAD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace histfeed::platform {

// What a thread runs; it owns what it captures until the thread ends.
using ThreadBody = std::function<void()>;

struct ThreadState;

// An owning handle of a started thread. Destroying a handle whose thread
// has not been joined detaches it.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread. The stack request is a lower bound:
  // the thread gets at least the platform's default stack, since the
  // library's threads keep whole frames on their stacks. Returns 0 or a
  // positive system error code, and leaves the handle empty on failure.
  int32_t Start(size_t stackBytes, ThreadBody body);

  // Waits at most `timeoutMs` of library time (-1 forever) for the thread
  // to end. Returns true once it has ended and been joined; the handle is
  // then empty. An empty handle joins at once.
  bool Join(int64_t timeoutMs);

  // Lets the thread run on unowned; the handle becomes empty.
  void Detach();

  bool Started() const { return state_ != nullptr; }

  // Whether the calling thread is this handle's thread.
  bool IsCurrentThread() const;

 private:
  std::shared_ptr<ThreadState> state_;
};

// The operating system's thread creation. Thread::Start reaches it only
// through Threads(), which tests replace with a ThreadSystemWrapper that
// refuses chosen starts, as they do with the FileSystem and SocketSystem.
class ThreadSystem {
 public:
  virtual ~ThreadSystem() = default;
  // Starts `body` on a new thread (see Thread::Start) and stores its state
  // in *started. Returns 0 or a positive system error code, and leaves
  // *started untouched on failure.
  virtual int32_t StartThread(size_t stackBytes, ThreadBody body,
                              std::shared_ptr<ThreadState>* started) = 0;
};

// The thread system the library uses now.
ThreadSystem& Threads();
// The operating system's own threads.
ThreadSystem& DefaultThreads();
// Replaces the thread system for tests; null restores the default.
void SetThreadsForTesting(ThreadSystem* threads);

// Forwards every call to another thread system; tests override it.
class ThreadSystemWrapper : public ThreadSystem {
 public:
  explicit ThreadSystemWrapper(ThreadSystem& target) : target_(target) {}
  int32_t StartThread(size_t stackBytes, ThreadBody body,
                      std::shared_ptr<ThreadState>* started) override {
    return target_.StartThread(stackBytes, std::move(body), started);
  }

 private:
  ThreadSystem& target_;
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_THREAD_H_
