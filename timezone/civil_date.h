// SPDX-License-Identifier: Apache-2.0
// Calendar arithmetic on the proleptic Gregorian calendar, in 64 bits so
// that no time value near the ends of the 32-bit range overflows.
#ifndef HISTFEED_TIMEZONE_CIVIL_DATE_H_
#define HISTFEED_TIMEZONE_CIVIL_DATE_H_

#include <cstdint>
#include <ctime>

namespace histfeed {

bool IsLeapYear(int64_t year);
// Days in `month` (1..12) of `year`.
int32_t DaysInMonth(int64_t year, int32_t month);
// Days of `year` before the first of `month` (1..12).
int32_t DaysBeforeMonth(int64_t year, int32_t month);
// Days from 1970-01-01 to the given date (negative before it).
int64_t DaysFromCivil(int64_t year, int32_t month, int32_t day);
// Day of week (0 = Sunday) of the given date.
int32_t DayOfWeek(int64_t year, int32_t month, int32_t day);
// Splits seconds since 1970-01-01 00:00:00 into broken-down fields, with
// the daylight flag clear.
std::tm SplitSeconds(int64_t seconds);

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_CIVIL_DATE_H_
