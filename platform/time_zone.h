// SPDX-License-Identifier: Apache-2.0
// The local time zone as the operating system describes it: offsets, the
// daylight-time shift, the zone's name and its transition dates. Callers
// serialise every call here under one lock of their own.
#ifndef HISTFEED_PLATFORM_TIME_ZONE_H_
#define HISTFEED_PLATFORM_TIME_ZONE_H_

#include <cstdint>
#include <string>

namespace histfeed::platform {

// A transition date in the form zone descriptions use. With year 0 it is a
// day-in-month rule (the day-th dayOfWeek of the month, 5 = the last);
// otherwise it is an absolute date and day is the day of the month.
struct ZoneDate {
  int32_t year = 0;
  int32_t month = 0;  // 1..12; 0 = no transition
  int32_t dayOfWeek = 0;  // 0 = Sunday
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t milliseconds = 0;
};

struct ZoneInfo {
  // True when the zone came from a non-empty "TZ" variable.
  bool fromTzVariable = false;
  // Seconds local standard time is behind UTC (west of Greenwich positive).
  int32_t standardOffset = 0;
  bool hasDaylight = false;
  // Seconds added to daylight time to give standard time (-3600 typically).
  int32_t daylightBias = 0;
  // The zone's name, as matched against the settings file's zone lists.
  std::string name;
};

// Reads the zone in effect: "TZ" when set and not empty, else the system's.
ZoneInfo ReadZoneInfo();

// The zone's daylight-start (in local standard time) and standard-start (in
// local daylight time) for calendar year `year`; month 0 where it has none.
void ZoneTransitions(int32_t year, ZoneDate* daylightStart, ZoneDate* standardStart);

// The zone name within a path into the zone database, such as
// "America/New_York" for "/usr/share/zoneinfo/America/New_York"; empty when
// the path does not lead into one.
std::string ZoneNameFromPath(const std::string& path);

// Sets "TZ" to `value` (null unsets it) and makes the zone take effect.
// Meant for tests.
void SetTzVariableForTesting(const char* value);

// Makes the system's own zone follow the "TZ" rule text `rules` under the
// name `name`, as if the system were set so and "TZ" unset; null for both
// restores the real system zone. Meant for tests.
void SetSystemZoneForTesting(const char* rules, const char* name);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_TIME_ZONE_H_
