// SPDX-License-Identifier: Apache-2.0
#include "timezone/civil_date.h"

namespace histfeed {
namespace {

constexpr int64_t kDaySeconds = 86400;

int64_t FloorDivide(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  return (value % divisor < 0) ? quotient - 1 : quotient;
}

}  // namespace

bool IsLeapYear(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int32_t DaysInMonth(int64_t year, int32_t month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

int32_t DaysBeforeMonth(int64_t year, int32_t month) {
  int32_t days = 0;
  for (int32_t m = 1; m < month && m <= 12; ++m) days += DaysInMonth(year, m);
  return days;
}

// Counts in 400-year eras of 146097 days, years starting on March 1st so
// that the leap day falls at the end.
int64_t DaysFromCivil(int64_t year, int32_t month, int32_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = FloorDivide(year, 400);
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int32_t DayOfWeek(int64_t year, int32_t month, int32_t day) {
  // 1970-01-01 was a Thursday.
  int64_t weekday = (DaysFromCivil(year, month, day) + 4) % 7;
  return static_cast<int32_t>(weekday < 0 ? weekday + 7 : weekday);
}

std::tm SplitSeconds(int64_t seconds) {
  const int64_t days = FloorDivide(seconds, kDaySeconds);
  const int64_t secondOfDay = seconds - days * kDaySeconds;

  const int64_t shifted = days + 719468;
  const int64_t era = FloorDivide(shifted, 146097);
  const int64_t dayOfEra = shifted - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfMarchYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfMarchYear + 2) / 153;
  const int32_t day = static_cast<int32_t>(dayOfMarchYear - (153 * monthIndex + 2) / 5 + 1);
  const int32_t month = static_cast<int32_t>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

  std::tm fields{};
  fields.tm_sec = static_cast<int>(secondOfDay % 60);
  fields.tm_min = static_cast<int>(secondOfDay / 60 % 60);
  fields.tm_hour = static_cast<int>(secondOfDay / 3600);
  fields.tm_mday = day;
  fields.tm_mon = month - 1;
  fields.tm_year = static_cast<int>(year - 1900);
  int64_t weekday = (days + 4) % 7;
  fields.tm_wday = static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
  fields.tm_yday = DaysBeforeMonth(year, month) + day - 1;
  fields.tm_isdst = 0;
  return fields;
}

}  // namespace histfeed
