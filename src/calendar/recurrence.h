// Expanding repeating events into occurrences.
//
// A series steps in wall-clock time in its zone (time_zone.h). Its first
// occurrence is always its own start, whether or not the rule matches it, and
// counts towards COUNT, as RFC 5545 has it. Excluded starts are wall seconds.
#pragma once

#include "calendar/store.h"
#include "calendar/time_zone.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// A rule of the shapes people make by hand, walked with plain arithmetic: a
// frequency, an interval, and for weekly rules a set of weekdays.
struct PlainRule {
  Frequency frequency = Frequency::daily;
  std::int64_t interval = 1;
  std::vector<int> weekdays;  // 0 Sunday to 6 Saturday; only for weekly rules
  int weekStart = 1;  // Monday, unless WKST says otherwise
};

// The rule's plain form, or nothing when it has parts only libical steps through.
std::optional<PlainRule> parsePlainRule(std::string_view rule);

struct Series {
  // One of several RRULEs of an event, with its own end.
  struct Rule {
    std::string rule;  // parts other than UNTIL and COUNT
    std::optional<double> until;  // in the same terms as `start`
    std::optional<std::int64_t> count;
  };
  // RRULE parts other than UNTIL and COUNT, e.g. "FREQ=WEEKLY;INTERVAL=2".
  std::string rule;
  // When not empty, the series has these rules instead of `rule` (RFC 5545
  // deprecates several, yet files hold them): its occurrences are the union of
  // theirs, each rule counting its own COUNT; `until` then only cuts the union
  // short, and `count` is unused.
  std::vector<Rule> rules;
  // parsePlainRule(rule), when the caller has it at hand: expanding many times
  // then parses once.
  std::optional<PlainRule> plain;
  // Epoch seconds of the first start; wall seconds when `floating`.
  double start = 0;
  // How long each occurrence lasts: for a floating series in wall seconds, which
  // keep the clock time of its end; else `days` on the clock (a DURATION's days
  // and weeks, RFC 5545's nominal time) and then `duration` exact seconds.
  double duration = 0;
  std::int64_t days = 0;
  // The zone the series follows; for a floating series, the local zone it is read in.
  const Zone* zone = nullptr;
  bool floating = false;
  bool allDay = false;
  // Last moment an occurrence may start, in the same terms as `start`.
  std::optional<double> until;
  std::optional<std::int64_t> count;
  // Wall seconds of excluded occurrence starts, sorted.
  std::vector<std::int64_t> excluded;
};

struct Occurrence {
  double start;  // epoch seconds
  std::int64_t wall;  // the start by the rule, in wall seconds: what an exclusion names
};

// The end of one occurrence of the series.
double occurrenceEnd(const Series& series, const Occurrence& occurrence);

// Calls `visit` for each occurrence overlapping [from, to) in order of start,
// until it returns false. Work is bounded by the window, not by how long ago the
// series began (unless it has a COUNT, which bounds it instead). False when the
// rule could not be stepped through (it does not parse, or libical is missing):
// then only the first occurrence may have been visited.
bool expandSeries(const Series& series, double from, double to,
                  const std::function<bool(const Occurrence&)>& visit);

// Several rules in one text, as the store keeps them ("parts|until|count" a
// line each), and back; a text without one gives none (it is a single rule).
std::string ruleSetText(const std::vector<Series::Rule>& rules);
std::vector<Series::Rule> parseRuleSet(std::string_view text);

// The RRULE parts for a rule the commands build (its end is kept apart).
std::string ruleText(const RecurrenceRule& rule);

// True when `rule` parses as RRULE parts with a frequency.
bool ruleIsValid(std::string_view rule);

// Splits a full RRULE value into its parts without UNTIL and COUNT, and those two.
struct SplitRule {
  std::string rule;
  std::optional<std::string> until;  // the UNTIL text, as written
  std::optional<std::int64_t> count;
};
SplitRule splitRule(std::string_view rrule);

}  // namespace calbridge
