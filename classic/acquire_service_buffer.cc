// SPDX-License-Identifier: Apache-2.0
#include <cstring>

#include "classic/service_buffer.h"
#include "platform/clock.h"

namespace histfeed::classic {
namespace {

constexpr int kAcquireAttempts = 100;
constexpr int64_t kAcquireRetryMs = 2;

}  // namespace

int32_t TakeServiceBufferLocked(const char* service, int32_t kind, int32_t* victim) {
  ServiceBufferChoice choice = ChooseServiceBuffer(service, kind);
  if (victim != nullptr) *victim = choice.victim;
  if (choice.taken == kNoServiceBuffer) return kNoServiceBuffer;
  // The name and kind are written before the state changes, because the
  // index files the buffer under them.
  ServiceBuffer& buffer = Buffer(choice.taken);
  std::strncpy(buffer.serviceName, service, kServiceNameSize - 1);
  buffer.kind = kind;
  SetBufferState(choice.taken, kAcquired);
  return choice.taken;
}

int32_t AcquireServiceBuffer(const char* service, int32_t kind) {
  if (service == nullptr) return kNoServiceBuffer;
  ClassicState& shared = Classic();
  for (int attempt = 0; attempt < kAcquireAttempts; ++attempt) {
    int32_t victim = kNoServiceBuffer;
    {
      SemLock lock(shared.bufferLock);
      int32_t taken = TakeServiceBufferLocked(service, kind, &victim);
      if (taken != kNoServiceBuffer) return taken;
    }
    // Every buffer is taken: send the fullest one off to free its slot.
    if (victim != kNoServiceBuffer) QueueServiceBuffer(victim);
    platform::SleepMs(kAcquireRetryMs);
  }
  return kNoServiceBuffer;
}

}  // namespace histfeed::classic
