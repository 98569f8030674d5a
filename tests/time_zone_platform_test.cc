// SPDX-License-Identifier: Apache-2.0
// What the platform layer reports about zones.
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/time_zone.h"
#include "tests/support/local_zone.h"

namespace histfeed::platform {
namespace {

TEST(ZoneNameFromPathTest, TakesTheNameWithinTheZoneDatabase) {
  EXPECT_EQ(ZoneNameFromPath("/usr/share/zoneinfo/America/New_York"), "America/New_York");
  EXPECT_EQ(ZoneNameFromPath("../usr/share/zoneinfo/Europe/Berlin"), "Europe/Berlin");
  EXPECT_EQ(ZoneNameFromPath("/usr/share/zoneinfo/posix/Australia/Sydney"), "Australia/Sydney");
  EXPECT_EQ(ZoneNameFromPath("/usr/share/zoneinfo/right/Etc/UTC"), "Etc/UTC");
  EXPECT_EQ(ZoneNameFromPath("/usr/share/zoneinfo/UTC"), "UTC");
  EXPECT_EQ(ZoneNameFromPath("/etc/my-zone"), "");
}

using TimeZonePlatformTest = testing::LocalZoneTest;

TEST_F(TimeZonePlatformTest, SystemZoneIsNamedByItsDatabaseName) {
  UseTzVariable(nullptr);
  char target[4096];
  ssize_t length = readlink("/etc/localtime", target, sizeof target - 1);
  if (length <= 0) GTEST_SKIP() << "/etc/localtime is not a link on this machine";
  target[length] = '\0';
  std::string expected = ZoneNameFromPath(target);
  if (expected.empty()) GTEST_SKIP() << "/etc/localtime leads outside the zone database";
  ZoneInfo info = ReadZoneInfo();
  EXPECT_FALSE(info.fromTzVariable);
  EXPECT_EQ(info.name, expected);
}

TEST_F(TimeZonePlatformTest, ReportsOffsetsAndWhereTheZoneCameFrom) {
  UseTzVariable("EST5EDT,M3.2.0,M11.1.0");
  ZoneInfo info = ReadZoneInfo();
  EXPECT_TRUE(info.fromTzVariable);
  EXPECT_EQ(info.standardOffset, 18000);
  EXPECT_TRUE(info.hasDaylight);
  EXPECT_EQ(info.daylightBias, -3600);

  UseTzVariable("NPT-5:45");
  info = ReadZoneInfo();
  EXPECT_EQ(info.standardOffset, -20700);
  EXPECT_FALSE(info.hasDaylight);
  EXPECT_EQ(info.daylightBias, 0);

  UseTzVariable("");  // empty counts as unset
  EXPECT_FALSE(ReadZoneInfo().fromTzVariable);

  UseSystemZone("AEST-10AEDT,M10.1.0,M4.1.0/3", "AUS Eastern Standard Time");
  info = ReadZoneInfo();
  EXPECT_FALSE(info.fromTzVariable);
  EXPECT_EQ(info.name, "AUS Eastern Standard Time");
  EXPECT_EQ(info.standardOffset, -36000);
  EXPECT_EQ(info.daylightBias, -3600);
}

TEST_F(TimeZonePlatformTest, TransitionsAreGivenInTheClockTimeBeforeThem) {
  UseTzVariable("EST5EDT,M3.2.0,M11.1.0");
  ZoneDate start, end;
  ZoneTransitions(2007, &start, &end);
  EXPECT_EQ(start.year, 2007);
  EXPECT_EQ(start.month, 3);
  EXPECT_EQ(start.day, 11);
  EXPECT_EQ(start.dayOfWeek, 0);
  EXPECT_EQ(start.hour, 2);  // standard time
  EXPECT_EQ(end.month, 11);
  EXPECT_EQ(end.day, 4);
  EXPECT_EQ(end.hour, 2);  // daylight time
  EXPECT_EQ(end.minute, 0);

  UseTzVariable("AEST-10AEDT,M10.1.0,M4.1.0/3");
  ZoneTransitions(2009, &start, &end);
  EXPECT_EQ(start.month, 10);
  EXPECT_EQ(start.day, 4);
  EXPECT_EQ(end.month, 4);
  EXPECT_EQ(end.day, 5);
  EXPECT_EQ(end.hour, 3);

  UseTzVariable("JST-9");
  ZoneTransitions(2009, &start, &end);
  EXPECT_EQ(start.month, 0);
  EXPECT_EQ(end.month, 0);
}

}  // namespace
}  // namespace histfeed::platform
