// SPDX-License-Identifier: Apache-2.0
#include "timezone/dst_rules.h"

#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "timezone/civil_date.h"
#include "timezone/profile_file.h"
#include "timezone/settings_file.h"
#include "timezone/zone_state.h"

namespace histfeed {
namespace {

constexpr int64_t kDayMs = 86400000;
constexpr size_t kValueBuffer = 256;
constexpr char kStandardTimeSuffix[] = " Standard Time";

// The rule table: rows up to one whose first or last year is 0. Guarded by
// the time lock; kept until the process ends.
DstRule* ruleTable GUARDED_BY(TimeLock()) = nullptr;

std::string Numbered(const char* pattern, int number) {
  char name[32];
  std::snprintf(name, sizeof name, pattern, number);
  return name;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Text to integer as the C library converts it (blanks, a sign, digits up
// to the first other character), held to the 32-bit range.
int32_t TextToInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{1} << 32) break;  // saturated below
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// The local zone's name as the settings file lists it.
std::string ListedZoneName(const ZoneState& zone) {
  std::string name = zone.name;
  size_t suffix = name.find(kStandardTimeSuffix);
  if (suffix != std::string::npos) name.erase(suffix);
  return name;
}

int32_t LoadLocked(const ZoneState& zone) REQUIRES(TimeLock()) {
  delete[] ruleTable;
  ruleTable = nullptr;
  ProfileFile file = ProfileFile::Load(SettingsFilePath());

  int sections = 0;
  while (file.HasLines(Numbered("dst%d", sections + 1))) ++sections;
  if (sections == 0) return -2;

  const std::string name = ListedZoneName(zone);
  const std::string section = Numbered("Dst%d", 1);
  bool listed = false;
  for (int i = 1;; ++i) {
    std::string value = file.GetString(section, Numbered("Tz%d", i), "", kValueBuffer);
    if (value.empty()) break;
    if (EqualIgnoringCase(value, name)) {
      listed = true;
      break;
    }
  }
  if (!listed) return 0;

  int lines = 0;
  while (!file.GetString(section, Numbered("Data%d", lines + 1), "", kValueBuffer).empty()) ++lines;
  DstRule* rows = new (std::nothrow) DstRule[static_cast<size_t>(lines) + 1]();
  if (rows == nullptr) return -1;
  for (int i = 0; i < lines; ++i) {
    rows[i] = ParseDstRule(file.GetString(section, Numbered("Data%d", i + 1), "", kValueBuffer));
  }
  ruleTable = rows;
  return 0;
}

platform::ZoneDate TransitionOf(const DstRule& row) {
  platform::ZoneDate date;
  date.month = row.month;
  date.day = row.week;
  date.dayOfWeek = 0;  // Sunday
  date.hour = row.time / 60;
  date.minute = row.time % 60;
  return date;
}

int32_t SelectLocked(int32_t year, platform::ZoneDate* daylightStart,
                     platform::ZoneDate* standardStart) REQUIRES(TimeLock()) {
  if (ruleTable == nullptr) return -1;
  int32_t standardFirst = 0, standardLast = 10000;
  int32_t daylightFirst = 0, daylightLast = 10000;
  for (const DstRule* row = ruleTable; row->firstYear != 0 && row->lastYear != 0; ++row) {
    if (row->firstYear > year) continue;
    // Among the rows that cover the year, a later one that is no wider wins.
    int32_t& first = row->bias >= 0 ? standardFirst : daylightFirst;
    int32_t& last = row->bias >= 0 ? standardLast : daylightLast;
    if (row->lastYear >= year && row->firstYear >= first && row->lastYear <= last) {
      *(row->bias >= 0 ? standardStart : daylightStart) = TransitionOf(*row);
      first = row->firstYear;
      last = row->lastYear;
    }
  }
  return 0;
}

// The day of `year` and the millisecond of that day in local standard time
// at which `date` falls; `biasSeconds` turns a daylight-time moment into
// standard time. Out-of-range fields from a damaged file are held to the
// nearest sensible value.
TransitionPoint PointOf(const platform::ZoneDate& date, int32_t year, int32_t biasSeconds) {
  TransitionPoint point;
  point.year = year;
  if (date.month < 1 || date.month > 12) return point;
  const int32_t days = DaysInMonth(year, date.month);
  int32_t day;
  if (date.year == 0) {
    const int32_t weekday = ((date.dayOfWeek % 7) + 7) % 7;
    const int32_t week = date.day < 1 ? 1 : (date.day > 5 ? 5 : date.day);
    day = 1 + (weekday - DayOfWeek(year, date.month, 1) + 7) % 7 + (week - 1) * 7;
    if (day > days) day -= 7;  // the fifth such day: the last one in the month
  } else {
    day = date.day < 1 ? 1 : (date.day > days ? days : date.day);
  }
  point.yearDay = DaysBeforeMonth(year, date.month) + day - 1;
  point.millisecond =
      (int64_t{date.hour} * 3600 + int64_t{date.minute} * 60 + date.second) * 1000 +
      date.milliseconds + int64_t{biasSeconds} * 1000;
  if (point.millisecond < 0) {
    point.millisecond += kDayMs;
    point.yearDay -= 1;
  } else if (point.millisecond >= kDayMs) {
    point.millisecond -= kDayMs;
    point.yearDay += 1;
  }
  point.defined = true;
  return point;
}

void ComputeTransitions(ZoneState& zone, int32_t year) REQUIRES(TimeLock()) {
  platform::ZoneDate daylightStart, standardStart;
  if (!zone.fromTzVariable) {
    // The years are -1 only before the first decision: the file is read once.
    if (zone.daylightStart.year == -1 || zone.standardStart.year == -1) LoadLocked(zone);
    SelectLocked(year, &daylightStart, &standardStart);
  }
  // What the rule table leaves open comes from the zone's own dates.
  if (daylightStart.month == 0 || standardStart.month == 0) {
    platform::ZoneDate ownDaylight, ownStandard;
    platform::ZoneTransitions(year, &ownDaylight, &ownStandard);
    if (daylightStart.month == 0) daylightStart = ownDaylight;
    if (standardStart.month == 0) standardStart = ownStandard;
  }
  zone.daylightStart = PointOf(daylightStart, year, 0);
  zone.standardStart = PointOf(standardStart, year, zone.daylightBias);
}

}  // namespace

DstRule ParseDstRule(std::string_view text) {
  int32_t fields[7] = {};
  int count = 0;
  while (count < 7) {
    size_t start = text.find_first_not_of(',');
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    size_t end = text.find(',');
    fields[count++] = TextToInteger(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  DstRule row;
  row.firstYear = static_cast<uint16_t>(fields[0]);
  row.lastYear = static_cast<uint16_t>(fields[1]);
  row.month = static_cast<uint16_t>(fields[2]);
  row.week = static_cast<uint16_t>(fields[3]);
  row.fifth = static_cast<uint16_t>(fields[4]);
  row.time = static_cast<uint16_t>(fields[5]);
  row.bias = fields[6];
  return row;
}

int32_t LoadDstRuleTable() {
  ZoneState& zone = Zone();
  platform::MutexLock lock(TimeLock());
  return LoadLocked(zone);
}

int32_t SelectDstRules(int32_t year, platform::ZoneDate* daylightStart,
                       platform::ZoneDate* standardStart) {
  platform::MutexLock lock(TimeLock());
  return SelectLocked(year, daylightStart, standardStart);
}

int32_t IsDaylightTime(const std::tm& standardTime) {
  ZoneState& zone = Zone();
  platform::MutexLock lock(TimeLock());
  if (!zone.hasDaylight) return 0;
  const int32_t year = standardTime.tm_year + 1900;
  if (zone.daylightStart.year != year || zone.standardStart.year != year) {
    ComputeTransitions(zone, year);
  }
  const TransitionPoint& start = zone.daylightStart;
  const TransitionPoint& end = zone.standardStart;
  if (!start.defined || !end.defined) return 0;

  const int32_t day = standardTime.tm_yday;
  if (start.yearDay < end.yearDay) {
    if (day < start.yearDay || day > end.yearDay) return 0;
    if (day > start.yearDay && day < end.yearDay) return 1;
  } else {
    // Southern hemisphere: daylight time spans the turn of the year.
    if (day < end.yearDay || day > start.yearDay) return 1;
    if (day > end.yearDay && day < start.yearDay) return 0;
  }
  const int64_t millisecond =
      (int64_t{standardTime.tm_hour} * 3600 + standardTime.tm_min * 60 + standardTime.tm_sec) * 1000;
  if (day == start.yearDay) return millisecond >= start.millisecond ? 1 : 0;
  return millisecond < end.millisecond ? 1 : 0;
}

void ResetTimeStateForTesting() {
  {
    platform::MutexLock lock(TimeLock());
    delete[] ruleTable;
    ruleTable = nullptr;
  }
  ResetZoneForTesting();
}

}  // namespace histfeed
