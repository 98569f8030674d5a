// SPDX-License-Identifier: Apache-2.0
// The local time zone on Windows: the system's zone from
// GetTimeZoneInformation, or the C runtime's reading of "TZ" when that is
// set (which, as on every Windows, knows offsets and names but no rules of
// its own: its transitions are found by sampling).
#include "platform/time_zone.h"

#include <windows.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/daylight_changes.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {
namespace {


struct TestZone {
  Mutex mutex;
  bool active GUARDED_BY(mutex) = false;
  std::string name GUARDED_BY(mutex);
  std::optional<std::string> savedTz GUARDED_BY(mutex);
};

TestZone& Test() {
  static NoDestructor<TestZone> zone;
  return *zone;
}

std::optional<std::string> TzVariable() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr || tz[0] == '\0') return std::nullopt;
  return std::string(tz);
}

void ApplyTz(const char* value) {
  std::string setting = std::string("TZ=") + (value != nullptr ? value : "");
  _putenv(setting.c_str());
  _tzset();
}

bool IsDaylight(int64_t t) {
  __time64_t value = static_cast<__time64_t>(t);
  std::tm fields{};
  if (_localtime64_s(&fields, &value) != 0) return false;
  return fields.tm_isdst > 0;
}

// Seconds local time is ahead of UTC at instant t, per the C runtime.
long OffsetAt(int64_t t) {
  __time64_t value = static_cast<__time64_t>(t);
  std::tm local{};
  std::tm utc{};
  if (_localtime64_s(&local, &value) != 0 || _gmtime64_s(&utc, &value) != 0) return 0;
  return static_cast<long>(_mkgmtime64(&local) - _mkgmtime64(&utc));
}

std::string Narrow(const WCHAR* text) {
  char buffer[128];
  int length = WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
  return length > 0 ? std::string(buffer) : std::string();
}

ZoneDate FromSystemTime(const SYSTEMTIME& time) {
  ZoneDate date;
  date.year = time.wYear;
  date.month = time.wMonth;
  date.dayOfWeek = time.wDayOfWeek;
  date.day = time.wDay;
  date.hour = time.wHour;
  date.minute = time.wMinute;
  date.second = time.wSecond;
  date.milliseconds = time.wMilliseconds;
  return date;
}

bool UsesRuntimeZone() {
  {
    TestZone& test = Test();
    MutexLock lock(test.mutex);
    if (test.active) return true;
  }
  return TzVariable().has_value();
}

ZoneInfo RuntimeZoneInfo() {
  _tzset();
  ZoneInfo info;
  // The C runtime's own reading of "TZ" (old runtimes lack the _get_
  // functions, so the variables are read).
  long standard = _timezone;
  int daylight = _daylight;
  long bias = _dstbias;
  info.standardOffset = static_cast<int32_t>(standard);
  info.hasDaylight = daylight != 0 && bias != 0;
  info.daylightBias = info.hasDaylight ? static_cast<int32_t>(bias) : 0;
  info.name = _tzname[0] != nullptr ? _tzname[0] : "";
  return info;
}

// Sampling transitions for the C runtime's zone, as the posix layer does.
void RuntimeTransitions(int32_t year, ZoneDate* daylightStart, ZoneDate* standardStart) {
  for (const DaylightChange& change : DaylightChangesAround(year, IsDaylight)) {
    __time64_t wall = static_cast<__time64_t>(change.first + OffsetAt(change.lastBefore));
    std::tm fields{};
    _gmtime64_s(&fields, &wall);
    ZoneDate date;
    date.year = fields.tm_year + 1900;
    date.month = fields.tm_mon + 1;
    date.dayOfWeek = fields.tm_wday;
    date.day = fields.tm_mday;
    date.hour = fields.tm_hour;
    date.minute = fields.tm_min;
    date.second = fields.tm_sec;
    ZoneDate* slot = change.toDaylight ? daylightStart : standardStart;
    if (date.year == year && slot->month == 0) *slot = date;
  }
}

}  // namespace

ZoneInfo ReadZoneInfo() {
  bool testZone;
  std::string testName;
  {
    TestZone& test = Test();
    MutexLock lock(test.mutex);
    testZone = test.active;
    testName = test.name;
  }
  if (testZone || TzVariable()) {
    ZoneInfo info = RuntimeZoneInfo();
    info.fromTzVariable = !testZone;
    if (testZone) info.name = testName;
    return info;
  }
  TIME_ZONE_INFORMATION zone{};
  DWORD kind = GetTimeZoneInformation(&zone);
  ZoneInfo info;
  if (kind == TIME_ZONE_ID_INVALID) return info;
  // Bias: minutes to add to local time for UTC, so west is positive.
  info.standardOffset = static_cast<int32_t>((zone.Bias + zone.StandardBias) * 60);
  info.hasDaylight = zone.DaylightDate.wMonth != 0 && zone.DaylightBias != zone.StandardBias;
  info.daylightBias =
      info.hasDaylight ? static_cast<int32_t>((zone.DaylightBias - zone.StandardBias) * 60) : 0;
  info.name = Narrow(zone.StandardName);
  return info;
}

void ZoneTransitions(int32_t year, ZoneDate* daylightStart, ZoneDate* standardStart) {
  *daylightStart = ZoneDate();
  *standardStart = ZoneDate();
  if (UsesRuntimeZone()) {
    RuntimeTransitions(year, daylightStart, standardStart);
    return;
  }
  TIME_ZONE_INFORMATION zone{};
  if (year < 1601 || year > 30827 ||
      !GetTimeZoneInformationForYear(static_cast<USHORT>(year), nullptr, &zone)) {
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return;
  }
  if (zone.DaylightDate.wMonth == 0 || zone.StandardDate.wMonth == 0) return;
  *daylightStart = FromSystemTime(zone.DaylightDate);
  *standardStart = FromSystemTime(zone.StandardDate);
}

void SetTzVariableForTesting(const char* value) { ApplyTz(value); }

void SetSystemZoneForTesting(const char* rules, const char* name) {
  TestZone& test = Test();
  MutexLock lock(test.mutex);
  if (rules != nullptr) {
    if (!test.active) test.savedTz = TzVariable();
    test.active = true;
    test.name = name != nullptr ? name : "";
    ApplyTz(rules);
  } else if (test.active) {
    test.active = false;
    test.name.clear();
    ApplyTz(test.savedTz ? test.savedTz->c_str() : nullptr);
  }
}

}  // namespace histfeed::platform
