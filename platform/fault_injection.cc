// SPDX-License-Identifier: Apache-2.0
// The requested failures are counted here, once for every operating
// system; each system's layer asks at the call that would fail.
#include "platform/fault_injection.h"

#include <atomic>

namespace histfeed::platform {
namespace {

std::atomic<int> threadStartsToFail{0};
std::atomic<int> startupsToFail{0};
std::atomic<int> opensToFail{0};
std::atomic<int> sendsToFail{0};
std::atomic<int> waitsToFail{0};

bool Consume(std::atomic<int>& counter) {
  int remaining = counter.load();
  while (remaining > 0) {
    if (counter.compare_exchange_weak(remaining, remaining - 1)) return true;
  }
  return false;
}

}  // namespace

void FailNextThreadStarts(int count) { threadStartsToFail.store(count); }
void FailNextSocketStartups(int count) { startupsToFail.store(count); }
void FailNextSocketOpens(int count) { opensToFail.store(count); }
void FailNextSocketSends(int count) { sendsToFail.store(count); }
void FailNextSocketWaits(int count) { waitsToFail.store(count); }

bool ConsumeThreadStartFailure() { return Consume(threadStartsToFail); }
bool ConsumeSocketStartupFailure() { return Consume(startupsToFail); }
bool ConsumeSocketOpenFailure() { return Consume(opensToFail); }
bool ConsumeSocketSendFailure() { return Consume(sendsToFail); }
bool ConsumeSocketWaitFailure() { return Consume(waitsToFail); }

}  // namespace histfeed::platform
