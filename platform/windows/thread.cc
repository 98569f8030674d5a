// SPDX-License-Identifier: Apache-2.0
// Threads on Windows. A thread that has run its body parks inside the
// system (SignalObjectAndWait) until its owner lets it go. That makes the
// end of a thread observable without waiting for its handle: a thread's
// exit takes the loader lock, so the unloading hook, which runs under
// that lock, must not wait for it. During such an unloading a join ends
// a parked thread where it waits, outside the library's code, so that no
// thread returns into code that is about to be unmapped.
//
// A new thread first passes the loader (its DLL_THREAD_ATTACH), under the
// loader's lock. An unloading that came in between would hold that lock
// and wait for a thread that cannot start: so a start returns only once
// its thread runs.
#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include <chrono>
#include <utility>

#include "platform/clock.h"
#include "platform/os_threads.h"
#include "platform/unloading.h"

namespace histfeed::platform {

struct ThreadState {
  HANDLE handle = nullptr;
  DWORD id = 0;
  ThreadBody body;
  HANDLE running = nullptr;   // set by the thread as its body begins
  HANDLE finished = nullptr;  // set by the thread once its body returned
  HANDLE released = nullptr;  // set by the owner: the thread may exit

  ~ThreadState() {
    if (handle != nullptr) CloseHandle(handle);
    if (running != nullptr) CloseHandle(running);
    if (finished != nullptr) CloseHandle(finished);
    if (released != nullptr) CloseHandle(released);
  }
};

namespace {

// How long a join waits at most while the library is being unloaded: the
// loader lock is held, and the process must not hang on a thread that
// cannot end.
constexpr int64_t kUnloadingJoinLimitMs = 5000;

DWORD RealWaitMs(int64_t timeoutMs) {
  if (timeoutMs < 0) return INFINITE;
  auto real = std::chrono::ceil<std::chrono::milliseconds>(RealDuration(timeoutMs)).count();
  return real >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(real);
}

unsigned __stdcall RunThread(void* raw) {
  // The thread owns one reference, so a detached handle stays valid.
  auto* owned = static_cast<std::shared_ptr<ThreadState>*>(raw);
  std::shared_ptr<ThreadState> state = std::move(*owned);
  delete owned;
  SetEvent(state->running);
  state->body();
  // What the body captured goes now, on its own thread, not with the
  // last handle.
  state->body = nullptr;
  SignalObjectAndWait(state->finished, state->released, INFINITE, FALSE);
  return 0;
}

}  // namespace

Thread::~Thread() { Detach(); }

int32_t os::StartThread(size_t stackBytes, ThreadBody body,
                        std::shared_ptr<ThreadState>* started) {
  auto state = std::make_shared<ThreadState>();
  state->body = std::move(body);
  state->running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state->finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state->released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->running == nullptr || state->finished == nullptr || state->released == nullptr) {
    return static_cast<int32_t>(GetLastError());
  }
  // The size is the committed part of the stack; the reserved part stays
  // the program's default when that is larger, so the request is a lower
  // bound as on other systems.
  auto* handOver = new std::shared_ptr<ThreadState>(state);
  unsigned id = 0;
  uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), RunThread, handOver,
                                    0, &id);
  if (handle == 0) {
    delete handOver;
    int32_t error = static_cast<int32_t>(GetLastError());
    return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  state->id = id;
  // Bounded, should a start ever come from inside the loader: the thread
  // could not begin before it returns.
  WaitForSingleObject(state->running, RealWaitMs(kUnloadingJoinLimitMs));
  *started = std::move(state);
  return 0;
}

bool Thread::Join(int64_t timeoutMs) {
  if (!state_) return true;
  bool unloading = CurrentUnloading() == Unloading::kLibraryUnload;
  if (unloading && (timeoutMs < 0 || timeoutMs > kUnloadingJoinLimitMs)) {
    timeoutMs = kUnloadingJoinLimitMs;
  }
  DWORD waited = WaitForSingleObject(state_->finished, RealWaitMs(timeoutMs));
  if (unloading) {
    // Parked (or, past the limit, still running): either way it must not
    // run on once the library's code is gone.
    if (waited != WAIT_OBJECT_0 && timeoutMs < kUnloadingJoinLimitMs) return false;
    TerminateThread(state_->handle, 0);
    WaitForSingleObject(state_->handle, RealWaitMs(kUnloadingJoinLimitMs));
    state_.reset();
    return true;
  }
  if (waited != WAIT_OBJECT_0) return false;
  SetEvent(state_->released);
  WaitForSingleObject(state_->handle, INFINITE);
  state_.reset();
  return true;
}

void Thread::Detach() {
  if (!state_) return;
  SetEvent(state_->released);
  state_.reset();
}

bool Thread::IsCurrentThread() const { return state_ && GetCurrentThreadId() == state_->id; }

}  // namespace histfeed::platform
