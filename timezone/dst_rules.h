// SPDX-License-Identifier: Apache-2.0
// Daylight saving time decisions, with transition dates that the settings
// file "KELSYS.INI" may give per year instead of the zone's own.
//
// The file names the zones that use a rule section, and lists the rule
// lines of that section:
//   [Dst1]
//   Tz1=America/New_York
//   Data1=2007,2099,3,2,0,120,-60    daylight time from the 2nd Sunday of March, 02:00
//   Data2=2007,2099,11,1,0,120,0     standard time from the 1st Sunday of November
// The fields are first year, last year, month, week (5 = last Sunday), an
// unused value, minutes after midnight and a bias whose sign alone counts:
// negative starts daylight time, zero or positive starts standard time.
#ifndef HISTFEED_TIMEZONE_DST_RULES_H_
#define HISTFEED_TIMEZONE_DST_RULES_H_

#include <cstdint>
#include <ctime>
#include <string_view>

#include "platform/time_zone.h"

namespace histfeed {

struct DstRule {
  uint16_t firstYear = 0;
  uint16_t lastYear = 0;
  uint16_t month = 0;
  uint16_t week = 0;
  uint16_t fifth = 0;  // read and kept, never used
  uint16_t time = 0;   // minutes after midnight
  int32_t bias = 0;
};

// Parses one rule line: up to seven integers separated by commas, where a
// run of commas counts as one separator; missing ones stay 0.
DstRule ParseDstRule(std::string_view text);

// Reads the settings file and builds the rule table for the local zone.
// Returns 0 when the search ran (whether or not the zone was listed), -1
// when the table could not be allocated, -2 when the file has no rule
// sections.
int32_t LoadDstRuleTable();

// Fills in the daylight-start and standard-start transitions of `year` from
// the rule table, leaving a transition that no row covers as it was.
// Returns 0, or -1 when there is no rule table.
int32_t SelectDstRules(int32_t year, platform::ZoneDate* daylightStart,
                       platform::ZoneDate* standardStart);

// Whether daylight time applies at the given local standard time (year, day
// of year and time of day are read). Returns 1 or 0.
int32_t IsDaylightTime(const std::tm& standardTime);

// Forgets the zone, the rule table and the computed transitions, as in a
// fresh process. Tests only; no conversion may run meanwhile.
void ResetTimeStateForTesting();

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_DST_RULES_H_
