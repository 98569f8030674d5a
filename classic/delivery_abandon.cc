// SPDX-License-Identifier: Apache-2.0
#include "classic/delivery_abandon.h"

#include <atomic>

#include "platform/event.h"
#include "platform/no_destructor.h"

namespace histfeed::classic {
namespace {

// Read once per delivery attempt, so a plain flag rather than the event.
std::atomic<bool> abandoned{false};

// Wakes the pauses. Never destroyed: the unloading hook uses it while the
// library's static objects are being torn down.
platform::Event& AbandonMark() {
  static platform::NoDestructor<platform::Event> mark;
  return *mark;
}

}  // namespace

void AbandonDeliveries(bool abandon) {
  abandoned.store(abandon);
  if (abandon) {
    AbandonMark().Set();
  } else {
    AbandonMark().Reset();
  }
}

bool DeliveriesAbandoned() { return abandoned.load(); }

void PauseDelivery(int64_t ms) {
  if (!abandoned.load()) AbandonMark().Wait(ms);
}

}  // namespace histfeed::classic
