// SPDX-License-Identifier: Apache-2.0
#include "platform/thread.h"

#include <pthread.h>

#include <cerrno>
#include <utility>

#include "platform/event.h"
#include "platform/os_threads.h"

namespace histfeed::platform {

struct ThreadState {
  pthread_t handle{};
  ThreadBody body;
  Event finished;
};

namespace {

void* RunThread(void* raw) {
  // The thread owns one reference, so a detached handle stays valid.
  auto* owned = static_cast<std::shared_ptr<ThreadState>*>(raw);
  std::shared_ptr<ThreadState> state = std::move(*owned);
  delete owned;
  state->body();
  // What the body captured goes now, on its own thread, not with the
  // last handle.
  state->body = nullptr;
  state->finished.Set();
  return nullptr;
}

}  // namespace

Thread::~Thread() { Detach(); }

int32_t os::StartThread(size_t stackBytes, ThreadBody body,
                        std::shared_ptr<ThreadState>* started) {
  auto state = std::make_shared<ThreadState>();
  state->body = std::move(body);

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  size_t defaultStack = 0;
  pthread_attr_getstacksize(&attributes, &defaultStack);
  if (stackBytes > defaultStack) pthread_attr_setstacksize(&attributes, stackBytes);

  auto* handOver = new std::shared_ptr<ThreadState>(state);
  int error = pthread_create(&state->handle, &attributes, RunThread, handOver);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete handOver;
    return error;
  }
  *started = std::move(state);
  return 0;
}

bool Thread::Join(int64_t timeoutMs) {
  if (!state_) return true;
  if (!state_->finished.Wait(timeoutMs)) return false;
  pthread_join(state_->handle, nullptr);
  state_.reset();
  return true;
}

void Thread::Detach() {
  if (!state_) return;
  pthread_detach(state_->handle);
  state_.reset();
}

bool Thread::IsCurrentThread() const {
  return state_ && pthread_equal(pthread_self(), state_->handle);
}

}  // namespace histfeed::platform
