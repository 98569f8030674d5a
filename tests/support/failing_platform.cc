// SPDX-License-Identifier: Apache-2.0
#include "tests/support/failing_platform.h"

#include <atomic>
#include <cerrno>

#include "platform/no_destructor.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace histfeed::testing {
namespace {

using platform::SocketHandle;
using platform::WaitResult;

// The codes each system gives for the failures made here, so that the
// messages that quote them read as they would after a real failure.
#if defined(_WIN32)
constexpr int32_t kSocketsNotReady = 10091;  // WSASYSNOTREADY
constexpr int32_t kTooManySockets = 10024;   // WSAEMFILE
constexpr int32_t kConnectionReset = 10054;  // WSAECONNRESET
constexpr int32_t kNotASocket = 10038;       // WSAENOTSOCK
constexpr int32_t kNoThreadResources = 8;    // ERROR_NOT_ENOUGH_MEMORY
#else
constexpr int32_t kSocketsNotReady = ENETDOWN;
constexpr int32_t kTooManySockets = EMFILE;
constexpr int32_t kConnectionReset = ECONNRESET;
constexpr int32_t kNotASocket = EBADF;
constexpr int32_t kNoThreadResources = EAGAIN;
#endif

// Uses up one requested failure, if there is one.
bool Consume(std::atomic<int>& toFail) {
  int remaining = toFail.load();
  while (remaining > 0) {
    if (toFail.compare_exchange_weak(remaining, remaining - 1)) return true;
  }
  return false;
}

class FailingSockets final : public platform::SocketSystemWrapper {
 public:
  FailingSockets() : SocketSystemWrapper(platform::DefaultSockets()) {}

  std::atomic<int> startupsToFail{0};
  std::atomic<int> opensToFail{0};
  std::atomic<int> sendsToFail{0};
  std::atomic<int> waitsToFail{0};

  int32_t StartSockets() override {
    if (Consume(startupsToFail)) return Refuse(kSocketsNotReady);
    return Forward().StartSockets();
  }
  SocketHandle OpenStreamSocket() override {
    if (!Consume(opensToFail)) return Forward().OpenStreamSocket();
    Refuse(kTooManySockets);
    return platform::kInvalidSocket;
  }
  int32_t SendAll(SocketHandle socket, const void* data, int32_t length) override {
    if (!Consume(sendsToFail)) return Forward().SendAll(socket, data, length);
    Refuse(kConnectionReset);
    return -1;
  }
  WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) override {
    if (!Consume(waitsToFail)) return Forward().WaitReadable(socket, timeoutMs);
    Refuse(kNotASocket);
    return WaitResult::kFailed;
  }
  int32_t ReceiveWithin(SocketHandle socket, void* buffer, int32_t capacity, int64_t timeoutMs,
                        WaitResult* wait) override {
    if (!Consume(waitsToFail)) {
      return Forward().ReceiveWithin(socket, buffer, capacity, timeoutMs, wait);
    }
    Refuse(kNotASocket);
    *wait = WaitResult::kFailed;
    return -1;
  }
  // An injected failure is the calling thread's last socket error.
  int32_t LastSocketError() override {
    return injectedError != 0 ? injectedError : SocketSystemWrapper::LastSocketError();
  }

 private:
  static int32_t Refuse(int32_t error) {
    injectedError = error;
    return error;
  }
  // The operating system's sockets, for a call that is not failed; its
  // own error is the thread's last one from here on.
  SocketSystem& Forward() {
    injectedError = 0;
    return platform::DefaultSockets();
  }

  static thread_local int32_t injectedError;
};

thread_local int32_t FailingSockets::injectedError = 0;

class FailingThreads final : public platform::ThreadSystemWrapper {
 public:
  FailingThreads() : ThreadSystemWrapper(platform::DefaultThreads()) {}

  std::atomic<int> startsToFail{0};

  int32_t StartThread(size_t stackBytes, platform::ThreadBody body,
                      std::shared_ptr<platform::ThreadState>* started) override {
    if (Consume(startsToFail)) return kNoThreadResources;
    return ThreadSystemWrapper::StartThread(stackBytes, std::move(body), started);
  }
};

FailingSockets& InstalledSockets() {
  static platform::NoDestructor<FailingSockets> sockets;
  [[maybe_unused]] static const bool installed = [] {
    platform::SetSocketsForTesting(sockets.get());
    return true;
  }();
  return *sockets;
}

FailingThreads& InstalledThreads() {
  static platform::NoDestructor<FailingThreads> threads;
  [[maybe_unused]] static const bool installed = [] {
    platform::SetThreadsForTesting(threads.get());
    return true;
  }();
  return *threads;
}

}  // namespace

void FailNextSocketStartups(int count) { InstalledSockets().startupsToFail.store(count); }
void FailNextSocketOpens(int count) { InstalledSockets().opensToFail.store(count); }
void FailNextSocketSends(int count) { InstalledSockets().sendsToFail.store(count); }
void FailNextSocketWaits(int count) { InstalledSockets().waitsToFail.store(count); }
void FailNextThreadStarts(int count) { InstalledThreads().startsToFail.store(count); }

}  // namespace histfeed::testing
