// SPDX-License-Identifier: Apache-2.0
// The local zone as the time conversions see it, set up once per process,
// and the library-wide time lock that guards it.
#ifndef HISTFEED_TIMEZONE_ZONE_STATE_H_
#define HISTFEED_TIMEZONE_ZONE_STATE_H_

#include <cstdint>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace histfeed {

// The lock around zone set-up, the rule table and every daylight decision.
// Always named as TimeLock(), so that the thread-safety analysis sees one
// lock.
platform::Mutex& TimeLock();

// One daylight transition as a day of the year and a millisecond of that
// day, in local standard time, with the year it was computed for.
struct TransitionPoint {
  int32_t yearDay = 0;  // 0 = January 1st
  int64_t millisecond = 0;
  int32_t year = -1;  // -1: not computed yet
  bool defined = false;  // false when the year has no such transition
};

struct ZoneState {
  bool fromTzVariable = false;
  int32_t standardOffset = 0;  // seconds behind UTC
  bool hasDaylight = false;
  int32_t daylightBias = 0;  // seconds added to daylight time give standard time
  char name[64] = {};        // the zone's name, at most 63 characters
  TransitionPoint daylightStart GUARDED_BY(TimeLock());
  TransitionPoint standardStart GUARDED_BY(TimeLock());
};

// The zone, set up on first use. The set-up fields never change afterwards.
ZoneState& Zone();

// Forgets the zone so that the next use sets it up again. Tests only; no
// conversion may run meanwhile.
void ResetZoneForTesting();

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_ZONE_STATE_H_
