// SPDX-License-Identifier: Apache-2.0
#include "timezone/zone_state.h"

#include <algorithm>
#include <atomic>

#include "platform/no_destructor.h"
#include "platform/time_zone.h"

namespace histfeed {
namespace {

ZoneState zone;
std::atomic<bool> zoneReady{false};

}  // namespace

// Never destroyed: a conversion may run while the library unloads.
platform::Mutex& TimeLock() {
  static platform::NoDestructor<platform::Mutex> lock;
  return *lock;
}

ZoneState& Zone() {
  // Checked before and after taking the lock: only the first callers wait.
  if (zoneReady.load(std::memory_order_acquire)) return zone;
  platform::MutexLock lock(TimeLock());
  if (!zoneReady.load(std::memory_order_relaxed)) {
    platform::ZoneInfo info = platform::ReadZoneInfo();
    zone = ZoneState();
    zone.fromTzVariable = info.fromTzVariable;
    zone.standardOffset = info.standardOffset;
    zone.hasDaylight = info.hasDaylight;
    zone.daylightBias = info.daylightBias;
    // A name that does not fit is left empty rather than cut, so that it
    // never matches some other zone's shorter name.
    if (info.name.size() < sizeof zone.name) {
      std::copy_n(info.name.data(), info.name.size(), zone.name);
    }
    zoneReady.store(true, std::memory_order_release);
  }
  return zone;
}

void ResetZoneForTesting() {
  platform::MutexLock lock(TimeLock());
  zoneReady.store(false);
  zone = ZoneState();
}

}  // namespace histfeed
