// SPDX-License-Identifier: Apache-2.0
#include "platform/time_zone.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "platform/daylight_changes.h"
#include "platform/mutex.h"
#include "platform/no_destructor.h"

namespace histfeed::platform {
namespace {

constexpr int64_t kDaySeconds = 86400;

// A zone that tests put in place of the system's own.
struct TestZone {
  Mutex mutex;
  bool active GUARDED_BY(mutex) = false;
  std::string rules GUARDED_BY(mutex);
  std::string name GUARDED_BY(mutex);
  std::optional<std::string> savedTz GUARDED_BY(mutex);
};

TestZone& Test() {
  static NoDestructor<TestZone> zone;
  return *zone;
}

void ApplyTz(const char* value) {
  if (value != nullptr) {
    setenv("TZ", value, 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

std::tm Local(int64_t t) {
  std::time_t value = static_cast<std::time_t>(t);
  std::tm fields{};
  localtime_r(&value, &fields);
  return fields;
}

// The C library reads an empty "TZ" as UTC; to us it means the system's
// zone, as an unset one does, so the variable is put aside before use.
void ApplySystemZone(TestZone& test) REQUIRES(test.mutex) {
  if (test.active) {
    ApplyTz(test.rules.c_str());
  } else {
    ApplyTz(nullptr);
  }
}

bool IsDaylight(int64_t t) { return Local(t).tm_isdst > 0; }

std::string Trimmed(const char* text) {
  std::string value = text;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ')) {
    value.pop_back();
  }
  return value;
}

// The system zone's database name: the target of /etc/localtime, else the
// first line of /etc/timezone.
std::string SystemZoneName() {
  char target[4096];
  ssize_t length = readlink("/etc/localtime", target, sizeof target - 1);
  if (length > 0) {
    target[length] = '\0';
    std::string name = ZoneNameFromPath(target);
    if (!name.empty()) return name;
  }
  std::string name;
  if (std::FILE* file = std::fopen("/etc/timezone", "r")) {
    char line[256];
    if (std::fgets(line, sizeof line, file) != nullptr) name = Trimmed(line);
    std::fclose(file);
  }
  return name;
}

// The local wall-clock reading, as it reads just before the change, at a
// transition instant.
ZoneDate DateOfTransition(int64_t instant, long offsetBefore) {
  std::time_t wall = static_cast<std::time_t>(instant + offsetBefore);
  std::tm fields{};
  gmtime_r(&wall, &fields);
  ZoneDate date;
  date.year = fields.tm_year + 1900;
  date.month = fields.tm_mon + 1;
  date.dayOfWeek = fields.tm_wday;
  date.day = fields.tm_mday;
  date.hour = fields.tm_hour;
  date.minute = fields.tm_min;
  date.second = fields.tm_sec;
  return date;
}

}  // namespace

ZoneInfo ReadZoneInfo() {
  ZoneInfo info;
  bool testZone;
  std::string testName;
  const char* tz = std::getenv("TZ");
  info.fromTzVariable = tz != nullptr && tz[0] != '\0';
  {
    TestZone& test = Test();
    MutexLock lock(test.mutex);
    testZone = test.active;
    testName = test.name;
    if (testZone) {
      // A test zone stands for the system's; "TZ" other than its rules wins.
      info.fromTzVariable = info.fromTzVariable && test.rules != tz;
    }
    if (!info.fromTzVariable) ApplySystemZone(test);
  }
  tzset();

  // Samples over the coming year give the standard and the daylight offset.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  bool haveStandard = false;
  bool haveDaylight = false;
  long standardOffset = 0;
  long daylightOffset = 0;
  std::string abbreviation;
  for (int i = 0; i <= 26; ++i) {
    std::tm fields = Local(now + i * 14 * kDaySeconds);
    if (fields.tm_isdst > 0) {
      if (!haveDaylight) daylightOffset = fields.tm_gmtoff;
      haveDaylight = true;
    } else if (!haveStandard) {
      haveStandard = true;
      standardOffset = fields.tm_gmtoff;
      abbreviation = fields.tm_zone != nullptr ? fields.tm_zone : "";
    }
  }
  if (!haveStandard) {
    // Daylight time all year round: that is the zone's standard time.
    standardOffset = daylightOffset;
    haveDaylight = false;
  }
  info.standardOffset = static_cast<int32_t>(-standardOffset);
  info.hasDaylight = haveDaylight && daylightOffset != standardOffset;
  info.daylightBias = info.hasDaylight ? static_cast<int32_t>(standardOffset - daylightOffset) : 0;

  if (testZone) {
    info.name = testName;
  } else if (!info.fromTzVariable) {
    info.name = SystemZoneName();
  }
  if (info.name.empty()) info.name = abbreviation;
  return info;
}

void ZoneTransitions(int32_t year, ZoneDate* daylightStart, ZoneDate* standardStart) {
  *daylightStart = ZoneDate();
  *standardStart = ZoneDate();
  for (const DaylightChange& change : DaylightChangesAround(year, IsDaylight)) {
    ZoneDate date = DateOfTransition(change.first, Local(change.lastBefore).tm_gmtoff);
    ZoneDate* slot = change.toDaylight ? daylightStart : standardStart;
    if (date.year == year && slot->month == 0) *slot = date;
  }
}

void SetTzVariableForTesting(const char* value) { ApplyTz(value); }

void SetSystemZoneForTesting(const char* rules, const char* name) {
  TestZone& test = Test();
  MutexLock lock(test.mutex);
  if (rules != nullptr) {
    if (!test.active) {
      const char* tz = std::getenv("TZ");
      test.savedTz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
    }
    test.active = true;
    test.rules = rules;
    test.name = name != nullptr ? name : "";
    ApplyTz(rules);
  } else if (test.active) {
    test.active = false;
    test.rules.clear();
    test.name.clear();
    ApplyTz(test.savedTz ? test.savedTz->c_str() : nullptr);
  }
}

}  // namespace histfeed::platform
