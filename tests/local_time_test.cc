// SPDX-License-Identifier: Apache-2.0
// The clock and the conversion to local time, checked against the C
// library's own conversion in zones given by "TZ".
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/support/local_zone.h"
#include "timezone/civil_date.h"
#include "timezone/local_time.h"

namespace histfeed {
namespace {

// The calendar fields of a conversion, compared in one assertion.
std::array<int, 8> Fields(const std::tm& t) {
  return {t.tm_year, t.tm_yday, t.tm_mon, t.tm_mday, t.tm_wday, t.tm_hour, t.tm_min, t.tm_sec};
}

TEST(CurrentTimeTest, ReturnsAndStoresTheSameUtcSeconds) {
  int64_t before = platform::CalendarNow().seconds;
  int32_t stored = -1;
  int32_t returned = CurrentTime(&stored);
  int32_t alone = CurrentTime(nullptr);
  int64_t after = platform::CalendarNow().seconds;
  EXPECT_EQ(stored, returned);
  EXPECT_GE(returned, before);
  EXPECT_LE(alone, after);
  EXPECT_LE(returned, alone);
}

TEST(SplitSecondsTest, AgreesWithTheCLibraryOverThousandsOfYears) {
  std::mt19937_64 random(7);
  std::vector<int64_t> values = {0, -1, 86399, 86400, -86400, 951782400 /* 2000-02-29 */,
                                 INT32_MAX, INT32_MIN, 253402300799 /* 9999-12-31 23:59:59 */};
  for (int i = 0; i < 20000; ++i) {
    values.push_back(static_cast<int64_t>(random() % 400000000000ULL) - 200000000000LL);
  }
  for (int64_t value : values) {
    std::time_t t = static_cast<std::time_t>(value);
    std::tm expected{};
    ASSERT_NE(gmtime_r(&t, &expected), nullptr);
    ASSERT_EQ(Fields(SplitSeconds(value)), Fields(expected)) << value;
  }
}

using LocalTimeTest = testing::LocalZoneTest;

TEST_F(LocalTimeTest, NullAndNegativeValuesGiveNull) {
  UseTzVariable("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(ToLocalTime(nullptr), nullptr);
  int32_t negative = -1;
  EXPECT_EQ(ToLocalTime(&negative), nullptr);
  negative = INT32_MIN;
  EXPECT_EQ(ToLocalTime(&negative), nullptr);
  int32_t zero = 0;
  EXPECT_NE(ToLocalTime(&zero), nullptr);
}

TEST_F(LocalTimeTest, ZoneIsFixedAtTheFirstClockReading) {
  UseTzVariable("EST5");
  CurrentTime(nullptr);
  platform::SetTzVariableForTesting("JST-9");  // too late for this process
  int32_t noon = 43200;
  std::tm* local = ToLocalTime(&noon);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->tm_hour, 7);
}

TEST_F(LocalTimeTest, NearTheEndsNothingOverflows) {
  UseTzVariable("EST5");
  int32_t start = 0;
  std::tm* local = ToLocalTime(&start);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->tm_year, 69);
  EXPECT_EQ(local->tm_mon, 11);
  EXPECT_EQ(local->tm_mday, 31);
  EXPECT_EQ(local->tm_hour, 19);
  EXPECT_EQ(local->tm_yday, 364);
  EXPECT_EQ(local->tm_wday, 3);

  UseTzVariable("NZST-12");
  int32_t end = INT32_MAX;  // 2038-01-19 03:14:07 UTC
  local = ToLocalTime(&end);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->tm_year, 138);
  EXPECT_EQ(local->tm_mday, 19);
  EXPECT_EQ(local->tm_hour, 15);
  EXPECT_EQ(local->tm_min, 14);
  EXPECT_EQ(local->tm_sec, 7);
}

// Times worth checking in a zone: spread over the whole range, the ends,
// and every quarter hour around the zone's transitions.
std::vector<int32_t> InterestingTimes() {
  std::vector<int32_t> times = {0, 1, 259199, 259200, 259201, 2147224446, 2147224447,
                                2147224448, INT32_MAX - 1, INT32_MAX};
  std::mt19937 random(99);
  for (int i = 0; i < 3000; ++i) times.push_back(static_cast<int32_t>(random() & 0x7FFFFFFF));
  for (int year = 1970; year <= 2037; year += 3) {
    for (int month = 1; month <= 12; ++month) {
      int64_t first = DaysFromCivil(year, month, 1) * 86400;
      for (int64_t t = first - 86400; t < first + 10 * 86400; t += 900) {
        if (t >= 0 && t <= INT32_MAX) times.push_back(static_cast<int32_t>(t));
      }
    }
  }
  return times;
}

class LocalTimeZoneTest : public testing::LocalZoneTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(LocalTimeZoneTest, AgreesWithTheCLibrary) {
  UseTzVariable(GetParam());
  for (int32_t value : InterestingTimes()) {
    std::time_t t = value;
    std::tm expected{};
    ASSERT_NE(localtime_r(&t, &expected), nullptr);
    std::tm* got = ToLocalTime(&value);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->tm_isdst, expected.tm_isdst) << value;
    ASSERT_EQ(Fields(*got), Fields(expected)) << value;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalTimeZoneTest,
    ::testing::Values("EST5EDT,M3.2.0,M11.1.0",         // northern hemisphere
                      "AEST-10AEDT,M10.1.0,M4.1.0/3",   // southern hemisphere
                      "CET-1CEST,M3.5.0,M10.5.0/3",     // east of Greenwich, last Sundays
                      "<-03>3<-02>,M3.5.0/-2,M10.5.0/-1",  // transitions before midnight
                      "NPT-5:45", "UTC0", "HST10"));

TEST_F(LocalTimeTest, EachThreadKeepsItsOwnResult) {
  UseTzVariable("CET-1CEST,M3.5.0,M10.5.0/3");
  auto convert = [](int32_t value, int expectedMonth, std::tm** record, bool* sound) {
    for (int i = 0; i < 2000; ++i) {
      std::tm* local = ToLocalTime(&value);
      if (local == nullptr || local->tm_mon != expectedMonth || (i > 0 && local != *record)) {
        *sound = false;
      }
      *record = local;
    }
  };
  std::tm* januaryRecord = nullptr;
  std::tm* julyRecord = nullptr;
  bool januarySound = true;
  bool julySound = true;
  std::thread january(convert, 1168603200 /* 2007-01-12 */, 0, &januaryRecord, &januarySound);
  std::thread july(convert, 1184241600 /* 2007-07-12 */, 6, &julyRecord, &julySound);
  january.join();
  july.join();
  EXPECT_TRUE(januarySound);
  EXPECT_TRUE(julySound);
  EXPECT_NE(januaryRecord, julyRecord);
}

}  // namespace
}  // namespace histfeed
