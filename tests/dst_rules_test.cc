// SPDX-License-Identifier: Apache-2.0
// Daylight decisions with rule tables read from generated settings files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "tests/support/local_zone.h"
#include "timezone/civil_date.h"
#include "timezone/dst_rules.h"
#include "timezone/local_time.h"

namespace histfeed {
namespace {

// US rules before 2007, so that dates the settings file moves are told apart.
constexpr char kOldEastern[] = "EST5EDT,M4.1.0,M10.5.0";
constexpr char kEasternRules[] =
    "[Dst1]\n"
    "Tz1=Central\n"
    "Tz2=Eastern\n"
    "Data1=1987,2006,4,1,0,120,-60\n"
    "Data2=1987,2006,10,5,0,120,0\n"
    "Data3=2007,2099,3,2,0,120,-60\n"
    "Data4=2007,2099,11,1,0,120,0\n";

// The fields of a rule row that the rules use.
std::tuple<int, int, int, int, int, int> Fields(const DstRule& row) {
  return {row.firstYear, row.lastYear, row.month, row.week, row.time, row.bias};
}

// Whether daylight time applies at noon local standard time on a date.
int32_t DaylightAtNoon(int y, int m, int d) {
  return IsDaylightTime(SplitSeconds(DaysFromCivil(y, m, d) * 86400 + 12 * 3600));
}

// The local fields at a UTC moment.
std::tm LocalAt(int y, int m, int d, int hour, int minute, int second) {
  int32_t t = static_cast<int32_t>(DaysFromCivil(y, m, d) * 86400 + hour * 3600 + minute * 60 + second);
  std::tm* local = ToLocalTime(&t);
  EXPECT_NE(local, nullptr);
  return local != nullptr ? *local : std::tm{};
}

// The daylight flag and the local hour at a UTC moment.
std::pair<int, int> DaylightAndHourAt(int y, int m, int d, int hour, int minute, int second) {
  std::tm local = LocalAt(y, m, d, hour, minute, second);
  return {local.tm_isdst, local.tm_hour};
}

TEST(ParseDstRuleTest, ReadsSevenIntegersBetweenCommaRunsKeepingLowSixteenBits) {
  struct Case {
    const char* text;
    std::tuple<int, int, int, int, int, int> fields;  // years, month, week, time, bias
  } cases[] = {{"1987,2006,4,1,0,120,-60", {1987, 2006, 4, 1, 120, -60}},
               // Pieces beyond the seventh are ignored.
               {",,2007,,,2099 , 3x,\t2,0,+90,7,8,9", {2007, 2099, 3, 2, 90, 7}},
               {"2007,2099", {2007, 2099, 0, 0, 0, 0}},
               {"", {}},
               {"abc,def", {}},
               // Low sixteen bits; a huge month is held to the 32-bit maximum first.
               {"-1,70000,99999999999999999999,1,1,1,-99999999999999",
                {65535, 70000 - 65536, 0xFFFF, 1, 1, INT32_MIN}}};
  for (const Case& c : cases) EXPECT_EQ(Fields(ParseDstRule(c.text)), c.fields) << c.text;
}

// Most cases run in the Eastern zone of before 2007, under its Windows name.
class DstRulesTest : public testing::LocalZoneTest {
 protected:
  void SetUp() override { UseSystemZone(kOldEastern, "Eastern Standard Time"); }
};

TEST_F(DstRulesTest, EasternExampleMovesDaylightTimeFrom2007) {
  WriteSettings(kEasternRules);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
  EXPECT_EQ(DaylightAtNoon(2006, 3, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2006, 4, 10), 1);
  EXPECT_EQ(DaylightAtNoon(2007, 11, 2), 1);  // the zone itself ends on October 28th
  EXPECT_EQ(DaylightAtNoon(2007, 11, 5), 0);

  // Daylight time starts at 02:00 standard time on March 11th 2007 and
  // ends at 02:00 daylight time on November 4th.
  EXPECT_EQ(LocalAt(2007, 3, 11, 6, 59, 59).tm_isdst, 0);
  EXPECT_EQ(DaylightAndHourAt(2007, 3, 11, 7, 0, 0), std::pair(1, 3));
  EXPECT_EQ(DaylightAndHourAt(2007, 11, 4, 5, 59, 59), std::pair(1, 1));
  EXPECT_EQ(DaylightAndHourAt(2007, 11, 4, 6, 0, 0), std::pair(0, 1));
  EXPECT_EQ(SettingsOpens(), 1);
}

// The C library reads an empty "TZ" as UTC; the library must not.
TEST_F(DstRulesTest, EmptyTzVariableMeansTheSystemZoneAndItsRules) {
  platform::SetTzVariableForTesting("");
  ResetTimeStateForTesting();
  WriteSettings(kEasternRules);
  EXPECT_EQ(LocalAt(2010, 7, 1, 12, 0, 0).tm_hour, 8);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);  // moved by the settings file
  EXPECT_EQ(SettingsOpens(), 1);
}

TEST_F(DstRulesTest, WithoutTheFileTheZonesOwnDatesApply) {
  EXPECT_EQ(LoadDstRuleTable(), -2);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2007, 4, 10), 1);
  EXPECT_EQ(DaylightAtNoon(2007, 11, 2), 0);
}

TEST_F(DstRulesTest, ZoneMatchAndNamesIgnoreCase) {
  WriteSettings(
      "[dst1]\n"
      "TZ1 = eastern \n"
      "data1=2007,2099,3,2,0,120,-60\n"
      "DATA2=2007,2099,11,1,0,120,0\n");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
}

TEST_F(DstRulesTest, ZoneNameIsCutAtStandardTimeOnly) {
  // A name without the suffix is used whole.
  UseSystemZone(kOldEastern, "Europe/Eastern");
  WriteSettings("[Dst1]\nTz1=Europe/Eastern\nData1=2007,2099,3,2,0,120,-60\nData2=2007,2099,11,1,0,120,0\n");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);

  UseSystemZone(kOldEastern, "Eastern Standard Time");
  WriteSettings("[Dst1]\nTz1=Eastern Standard Time\nData1=2007,2099,3,2,0,120,-60\n");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);
}

TEST_F(DstRulesTest, EmptyKeyEndsTheZoneList) {
  WriteSettings(
      "[Dst1]\nTz1=Central\nTz2=\nTz3=Eastern\n"
      "Data1=2007,2099,3,2,0,120,-60\nData2=2007,2099,11,1,0,120,0\n");
  EXPECT_EQ(LoadDstRuleTable(), 0);
  platform::ZoneDate start, end;
  EXPECT_EQ(SelectDstRules(2007, &start, &end), -1);  // no table
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);
}

TEST_F(DstRulesTest, SectionWithoutDataLinesGivesAnEmptyTable) {
  WriteSettings("[Dst1]\nTz1=Eastern\n");
  ASSERT_EQ(LoadDstRuleTable(), 0);
  platform::ZoneDate start, end;
  EXPECT_EQ(SelectDstRules(2007, &start, &end), 0);
  EXPECT_EQ(start.month, 0);
  EXPECT_EQ(end.month, 0);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2007, 4, 10), 1);
}

TEST_F(DstRulesTest, RuleSectionsMustStartWithDst1) {
  WriteSettings("[Dst2]\nTz1=Eastern\nData1=2007,2099,3,2,0,120,-60\n");
  EXPECT_EQ(LoadDstRuleTable(), -2);
  WriteSettings("[Dst1]\n; only a comment\n[Dst2]\nTz1=Eastern\n");
  EXPECT_EQ(LoadDstRuleTable(), -2);
}

TEST_F(DstRulesTest, LaterNarrowerRowWins) {
  WriteSettings(
      "[Dst1]\nTz1=Eastern\n"
      "Data1=2007,2099,3,2,0,120,-60\n"
      "Data2=2007,2010,3,4,0,120,-60\n"   // narrower: wins for 2007..2010
      "Data3=2007,2099,3,1,0,120,-60\n"   // wider than row 2, ties with row 1
      "Data4=2007,2099,11,1,0,120,0\n");
  platform::ZoneDate start, end;
  ASSERT_EQ(SelectDstRules(2007, &start, &end), -1);  // not loaded yet
  ASSERT_EQ(LoadDstRuleTable(), 0);
  ASSERT_EQ(SelectDstRules(2007, &start, &end), 0);
  EXPECT_EQ(start.month, 3);
  EXPECT_EQ(start.day, 4);
  EXPECT_EQ(start.dayOfWeek, 0);
  EXPECT_EQ(start.hour, 2);
  EXPECT_EQ(end.month, 11);
  EXPECT_EQ(end.day, 1);
  ASSERT_EQ(SelectDstRules(2011, &start, &end), 0);
  EXPECT_EQ(start.day, 1);

  // March 25th is the 4th Sunday of 2007: the 20th is still standard time.
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 26), 1);
  EXPECT_EQ(DaylightAtNoon(2011, 3, 20), 1);
}

TEST_F(DstRulesTest, TieGoesToTheLaterRow) {
  WriteSettings(
      "[Dst1]\nTz1=Eastern\n"
      "Data1=2007,2099,3,2,0,120,-60\n"
      "Data2=2007,2099,3,3,0,60,-1\n"
      "Data3=2007,2099,11,1,0,120,0\n");
  ASSERT_EQ(LoadDstRuleTable(), 0);
  platform::ZoneDate start, end;
  ASSERT_EQ(SelectDstRules(2008, &start, &end), 0);
  EXPECT_EQ(start.day, 3);
  EXPECT_EQ(start.hour, 1);
}

TEST_F(DstRulesTest, UncoveredSideComesFromTheZone) {
  WriteSettings("[Dst1]\nTz1=Eastern\nData1=2007,2099,3,2,0,120,-60\n");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);   // from the file
  EXPECT_EQ(DaylightAtNoon(2007, 10, 27), 1);  // the zone's own end: October 28th
  EXPECT_EQ(DaylightAtNoon(2007, 10, 29), 0);
  EXPECT_EQ(DaylightAtNoon(2006, 3, 20), 0);  // years before the row: all the zone's
}

TEST_F(DstRulesTest, SouthernHemisphereOrder) {
  // Daylight time spans the turn of the year; the file moves both ends.
  UseSystemZone("AEST-10AEDT,M10.5.0,M3.5.0/3", "AUS Eastern Standard Time");
  WriteSettings(
      "[Dst1]\nTz1=AUS Eastern\n"
      "Data1=2008,2099,10,1,0,120,-60\n"
      "Data2=2008,2099,4,1,0,180,0\n");
  EXPECT_EQ(DaylightAtNoon(2009, 1, 15), 1);
  EXPECT_EQ(DaylightAtNoon(2009, 3, 31), 1);  // the zone alone would have ended on March 29th
  EXPECT_EQ(DaylightAtNoon(2009, 6, 15), 0);
  EXPECT_EQ(DaylightAtNoon(2009, 10, 5), 1);  // the zone alone would start on October 25th
  EXPECT_EQ(DaylightAtNoon(2009, 12, 31), 1);

  // 2009: standard time from 03:00 daylight time on April 5th (16:00 UTC
  // on the 4th), daylight time from 02:00 on October 4th (16:00 UTC on the 3rd).
  EXPECT_EQ(DaylightAndHourAt(2009, 4, 4, 15, 59, 59), std::pair(1, 2));  // last daylight second
  EXPECT_EQ(DaylightAndHourAt(2009, 4, 4, 16, 0, 0), std::pair(0, 2));
  EXPECT_EQ(LocalAt(2009, 10, 3, 15, 59, 59).tm_isdst, 0);
  EXPECT_EQ(DaylightAndHourAt(2009, 10, 3, 16, 0, 0), std::pair(1, 3));
  EXPECT_EQ(LocalAt(2009, 10, 3, 16, 0, 0).tm_mday, 4);
}

TEST_F(DstRulesTest, WeekFiveMeansTheLastSunday) {
  WriteSettings(
      "[Dst1]\nTz1=Eastern\n"
      "Data1=2000,2099,3,5,0,120,-60\n"
      "Data2=2000,2099,11,1,0,120,0\n");
  // March 2007 has four Sundays (the last on the 25th), March 2009 five (the 29th).
  EXPECT_EQ(LocalAt(2007, 3, 25, 6, 59, 59).tm_isdst, 0);
  EXPECT_EQ(LocalAt(2007, 3, 25, 7, 0, 0).tm_isdst, 1);
  EXPECT_EQ(DaylightAtNoon(2009, 3, 28), 0);
  EXPECT_EQ(LocalAt(2009, 3, 29, 6, 59, 59).tm_isdst, 0);
  EXPECT_EQ(LocalAt(2009, 3, 29, 7, 0, 0).tm_isdst, 1);
}

TEST_F(DstRulesTest, TzVariableMeansTheFileIsNeverRead) {
  WriteSettings(
      "[Dst1]\nTz1=EST\nTz2=Eastern\nTz3=UTC\n"
      "Data1=1970,2099,1,1,0,0,-60\nData2=1970,2099,12,5,0,0,0\n");
  UseTzVariable("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
  EXPECT_EQ(DaylightAtNoon(2007, 1, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2007, 11, 20), 0);
  EXPECT_EQ(LocalAt(1999, 7, 1, 12, 0, 0).tm_isdst, 1);
  EXPECT_EQ(SettingsOpens(), 0);
}

TEST_F(DstRulesTest, ZoneWithoutDaylightTimeNeverReadsTheFile) {
  UseSystemZone("JST-9", "Tokyo Standard Time");
  WriteSettings("[Dst1]\nTz1=Tokyo\nData1=1970,2099,1,1,0,0,-60\nData2=1970,2099,12,5,0,0,0\n");
  EXPECT_EQ(DaylightAndHourAt(2007, 6, 1, 0, 0, 0), std::pair(0, 9));
  EXPECT_EQ(DaylightAtNoon(2007, 6, 1), 0);
  EXPECT_EQ(SettingsOpens(), 0);
}

TEST_F(DstRulesTest, FileIsReadOnceOnTheFirstDecision) {
  WriteSettings(kEasternRules);
  int32_t now = CurrentTime(nullptr);
  ASSERT_NE(ToLocalTime(&now), nullptr);
  EXPECT_EQ(SettingsOpens(), 1);
  // Later edits take effect in the next process only.
  WriteSettings("[Dst1]\nTz1=Eastern\nData1=2000,2099,1,1,0,0,-60\nData2=2000,2099,12,5,0,0,0\n");
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
  EXPECT_EQ(DaylightAtNoon(2006, 3, 20), 0);
  EXPECT_EQ(DaylightAtNoon(2010, 1, 20), 0);
  EXPECT_EQ(SettingsOpens(), 1);
}

TEST_F(DstRulesTest, DamagedRowsNeverCrash) {
  // Month 13, week 0 and 9, times past the end of the day, a zero year that
  // ends the table early.
  WriteSettings(
      "[Dst1]\nTz1=Eastern\n"
      "Data1=2000,2001,13,1,0,120,-60\n"
      "Data2=2000,2001,11,1,0,120,0\n"
      "Data3=2002,2003,3,0,0,65535,-60\n"
      "Data4=2002,2003,11,9,0,1440,0\n"
      "Data5=2004,2005,-3,-2,0,-1,-60\n"
      "Data6=2004,2005,2,5,0,0,0\n"
      "Data7=0,2099,3,2,0,120,-60\n"
      "Data8=2006,2099,3,2,0,120,-60\n");
  EXPECT_EQ(DaylightAtNoon(2000, 7, 1), 0);  // no valid start: standard time all year
  for (int year = 1990; year < 2037; ++year) {
    for (int month = 1; month <= 12; ++month) DaylightAtNoon(year, month, 28);
  }
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 0);  // row 8 is beyond the end of the table
}

TEST_F(DstRulesTest, HostileFilesNeverCrash) {
  std::mt19937 random(12345);
  const std::string pieces[] = {"[Dst1]\n", "[dst2]\n", "[", "]", "Tz1=Eastern\n", "Tz2=",
                                "Data1=", "Data2=", "Data3=", ",", ",,,", "2007", "-60", "65536",
                                "99999999999999999999", "\n", "\r\n", "=", "\"", " ", "\t", ";",
                                std::string(1, '\0'), "\xff\xfe", std::string(300, '7')};
  for (int round = 0; round < 150; ++round) {
    std::string text;
    int length = static_cast<int>(random() % 60);
    for (int i = 0; i < length; ++i) text += pieces[random() % std::size(pieces)];
    ResetTimeStateForTesting();
    WriteSettings(text);
    for (int year = 2005; year < 2010; ++year) DaylightAtNoon(year, 3 + round % 8, 15);
  }
  // An over-long file and over-long lines and values.
  std::string huge = "[Dst1]\nTz1=Eastern\nData1=2007,2099,3,2,0,120,-60\nData2=2007,2099,11,1,0,120,0\n";
  huge += "Data3=" + std::string(3 << 20, '1') + "\n";
  ResetTimeStateForTesting();
  WriteSettings(huge);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
}

TEST_F(DstRulesTest, LongZoneListIsSearchedToItsEnd) {
  std::string text = "[Dst1]\n";
  for (int i = 1; i <= 40000; ++i) text += "Tz" + std::to_string(i) + "=Zone" + std::to_string(i) + "\n";
  text += "Tz40001=Eastern\nData1=2007,2099,3,2,0,120,-60\nData2=2007,2099,11,1,0,120,0\n";
  WriteSettings(text);
  EXPECT_EQ(DaylightAtNoon(2007, 3, 20), 1);
}

}  // namespace
}  // namespace histfeed
