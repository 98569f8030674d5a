// SPDX-License-Identifier: Apache-2.0
#include "universal/key.h"

#include <string>

#include "histfeed.h"
#include "universal/diagnostics.h"

namespace histfeed::universal {
namespace {

// Aborting again while waiting covers a send that began just after the
// previous abort.
constexpr int64_t kAbortRepeatMs = 100;

}  // namespace

Key::Key(int32_t number)
    : number_(number),
      transport_(number, [this] { outbox_.Wake(); }),
      outbox_(number, transport_),
      heartBeat_(outbox_),
      buffers_([this](const uint8_t* frame, size_t length, bool isConfig) {
        return outbox_.SendOrQueue(reinterpret_cast<const char*>(frame),
                                   static_cast<int32_t>(length), isConfig);
      }) {}

bool Key::Claim() {
  int32_t expected = 0;
  return inUse_.compare_exchange_strong(expected, 1);
}

int32_t Key::Initialize(const KeyOptions& options) {
  {
    // Before the lifecycle lock, in the order closing takes both.
    platform::MutexLock buffers(buffers_.lock());
    buffers_.Reset();
  }
  platform::MutexLock lifecycle(lifecycle_);
  transport_.Reset(options.ackEnabled != 0);
  outbox_.Reset();
  heartBeat_.Reset();
  if (options.queueEnabled != 0) {
    int32_t setUp = outbox_.SetUp(options.cacheEnabled, options.cacheSize, options.cachePrefix,
                                  options.cacheDirectory);
    if (setUp != 0) {
      // The caller never learns this key, so it is given back.
      inUse_ = 0;
      return setUp;
    }
  }
  return 0;
}

int32_t Key::Connect(const char* primaryHost, int32_t primaryPort, const char* alternateHost,
                     int32_t alternatePort) {
  platform::MutexLock lifecycle(lifecycle_);
  if (!InUse()) {
    PassMessage("Error VornMxUniversalDataConnect key = %d not initialized", number_);
    return HISTFEED_KEY_NOT_READY;
  }
  return transport_.Connect(primaryHost, primaryPort, alternateHost, alternatePort);
}

int32_t Key::SetHeartBeat(int32_t seconds) {
  platform::MutexLock lifecycle(lifecycle_);
  if (!InUse()) return HISTFEED_KEY_NOT_READY;
  return heartBeat_.Set(seconds);
}

void Key::StopThreads() {
  transport_.StopReconnecting();
  outbox_.StopThread();
  heartBeat_.Stop();
  // A frame on its way out is cut short by the aborted links.
  transport_.Abort();
  while (!outbox_.JoinThread(kAbortRepeatMs)) transport_.Abort();
  while (!heartBeat_.Join(kAbortRepeatMs)) transport_.Abort();
}

void Key::Close() {
  // A sender may hold the buffer lock while it waits for an answer or for
  // room to send; waking it first lets closing take the lock at once.
  if (InUse()) transport_.Abort();
  platform::MutexLock buffers(buffers_.lock());
  if (!InUse()) return;
  platform::MutexLock lifecycle(lifecycle_);
  if (DebugMessagesOn()) {
    TraceStatusValues(("VornMxUniversalCloseSocket key = " + std::to_string(number_)).c_str(),
                      Status());
  }
  // The threads end first, so none of them touches a socket, the queue or
  // a buffer of the key after this point.
  StopThreads();
  transport_.Close();
  outbox_.TearDown();
  // Unflushed records are discarded, not sent.
  buffers_.ReleaseLocked();
  // Last, so a new initialization never meets a half-closed key.
  inUse_ = 0;
}

StatusValues Key::Status() const {
  SendCounters counters = outbox_.Counters();
  return StatusValues{counters.sendCount,
                      counters.sendQueueFull,
                      counters.sendQueueCount,
                      counters.sendErrorCount,
                      counters.nakCount,
                      counters.queuingData,
                      transport_.ackEnabled() ? 1 : 0,
                      outbox_.QueueEnabled() ? 1 : 0,
                      outbox_.CacheEnabled() ? 1 : 0,
                      transport_.route(),
                      transport_.primary().state(),
                      transport_.alternate().state()};
}

}  // namespace histfeed::universal
