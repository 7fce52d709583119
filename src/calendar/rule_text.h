// RRULE texts: their parts, the plain shapes walked without libical, what
// the commands write, whether a rule is one RFC 5545 allows, and a full value
// split from its end.
#pragma once

#include "calendar/store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// The parts of RRULE text between its semicolons, empty ones left out.
std::vector<std::string_view> ruleParts(std::string_view rule);

// A rule of the shapes people make by hand, walked with plain arithmetic: a
// frequency, an interval, and for weekly rules a set of weekdays; or a fixed
// step of wall seconds (SECONDLY, MINUTELY, HOURLY with an interval).
struct PlainRule {
  Frequency frequency = Frequency::daily;
  std::int64_t interval = 1;
  std::int64_t secondsPerUnit = 0;  // 1, 60 or 3600 for the sub-daily rules (`frequency` then unused)
  std::vector<int> weekdays;  // 0 Sunday to 6 Saturday; only for weekly rules
  int weekStart = 1;  // Monday, unless WKST says otherwise
};

// The rule's plain form, or nothing when it has parts only libical steps through.
std::optional<PlainRule> parsePlainRule(std::string_view rule);

// The RRULE parts for a rule the commands build (its end is kept apart).
std::string ruleText(const RecurrenceRule& rule);

// True when `rule` parses as RRULE parts with a frequency, and its parts are
// allowed together (no BYMONTHDAY in a weekly rule, and so on): a rule that
// libical refuses for naming no real date (30 February) is valid.
bool ruleIsValid(std::string_view rule);

// Splits a full RRULE value into its parts without UNTIL and COUNT, and those two.
struct SplitRule {
  std::string rule;
  std::optional<std::string> until;  // the UNTIL text, as written
  std::optional<std::int64_t> count;
};
SplitRule splitRule(std::string_view rrule);

}  // namespace calbridge
