// Expanding repeating events into occurrences.
//
// A series steps in wall-clock time in its zone (time_zone.h). Its first
// occurrence is always its own start, whether or not the rule matches it, and
// counts towards COUNT, as RFC 5545 has it. Excluded starts are wall seconds.
#pragma once

#include "calendar/rule_text.h"
#include "calendar/store.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

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
  // Extra starts (RDATE), sorted by wall: occurrences beside the rule's, not
  // counted by COUNT nor cut by UNTIL, removed by an exclusion like any other.
  // A series with no rule ("") has only its start and these.
  std::vector<ExtraDate> extraDates;
  // Wall seconds of occurrences a changed occurrence stands in for, sorted:
  // left out here, as the change is listed in their place.
  std::vector<std::int64_t> replaced;
};

struct Occurrence {
  double start;  // epoch seconds
  std::int64_t wall;  // the start by the rule, in wall seconds: what an exclusion names
  double ownDuration = -1;  // an extra date's period: its own length; else negative
};

// The end of one occurrence of the series.
double occurrenceEnd(const Series& series, const Occurrence& occurrence);
// The work libical may do for one series of a listing, counted in the steps
// it takes (each occurrence it makes), never in time: the same store and
// request give the same answer on any machine, however loaded. A libical rule
// can take microseconds to seconds per step, and a counted one is walked from
// its start. A series that runs out stops where it is; one that takes more
// than `beforeFirst` steps to reach its first occurrence in the window is left
// out. Each series (and each rule of a series of several) has a budget of its
// own, so that no series can leave another without.
struct StepBudget {
  std::int64_t steps = 1000000;
  std::int64_t beforeFirst = 100000;
};

// True when the rule of `series`, one libical steps through, makes no
// occurrence after the start within 8 years (the longest stretch without a 29
// February), or within 1,048,576 steps of its frequency where that is less:
// a rule whose dates do not exist (30 February). Such a series has its start
// alone, as RFC 5545 counts it. Meant to be asked once, when an event is read,
// so that listings never look for what does not come; false for the plain
// shapes, which always come, and when libical cannot be loaded.
bool yieldsNothingAfterStart(const Series& series);

class RuleStepper;

// The occurrences of a series overlapping [from, to), one at a time in order of
// start (equal starts in the order the rule makes them). It holds one pending
// occurrence, more only where clocks go forward and later wall times start
// earlier. Work is bounded by the window, not by how long ago the series began;
// a COUNT is placed arithmetically for the plain shapes, walked for the rest.
// The series must outlive the cursor.
class SeriesCursor {
 public:
  // `budget`, when given, bounds the libical steps (see StepBudget). Either
  // way libical never steps past the window (its last day and two more).
  SeriesCursor(const Series& series, double from, double to, std::optional<StepBudget> budget = std::nullopt);
  ~SeriesCursor();
  SeriesCursor(SeriesCursor&&) noexcept;
  SeriesCursor& operator=(SeriesCursor&&) noexcept;
  SeriesCursor(const SeriesCursor&) = delete;
  SeriesCursor& operator=(const SeriesCursor&) = delete;

  std::optional<Occurrence> next();
  // False when the rule cannot be stepped through at all (it does not parse, or
  // libical is missing): such a series yields nothing, not even its start.
  bool expandable() const { return expandable_; }
  // True when the budget ran out before the series ended.
  bool overBudget() const { return overBudget_; }

 private:
  struct Pending {
    double start;
    std::int64_t wall;
    std::uint64_t order;
  };
  void generate();
  void push(double start, std::int64_t wall);
  std::optional<Occurrence> nextOfRules();
  std::optional<Occurrence> nextOfRule();
  std::optional<Occurrence> nextExtra();

  const Series* series_ = nullptr;
  std::unique_ptr<RuleStepper> stepper_;
  std::optional<StepBudget> budget_;
  double from_ = 0, to_ = 0, stopAt_ = 0, fraction_ = 0;
  std::int64_t wall0_ = 0;
  std::int64_t made_ = 0;
  std::int64_t costlySteps_ = 0;
  std::uint64_t order_ = 0;
  // No occurrence still to be made starts before this.
  double bound_ = 0;
  std::vector<Pending> pending_;  // a heap, earliest on top
  bool ended_ = true;
  bool expandable_ = true;
  bool overBudget_ = false;
  // A series of several rules: one cursor per rule, over a copy of the series
  // each, and the next occurrence each has ready.
  std::vector<Series> ruleSeries_;
  std::vector<SeriesCursor> children_;
  std::vector<std::optional<Occurrence>> heads_;
  std::optional<Occurrence> lastOfRules_;
  // Extra dates: the next to look at, the window they are taken in, and the
  // next one of them and of the rule, waiting to be merged.
  std::size_t nextExtra_ = 0;
  double extraFrom_ = 0, extraTo_ = 0;
  std::optional<Occurrence> ruleHead_, extraHead_;
  bool ruleEnded_ = false;
};

// Calls `visit` for each occurrence overlapping [from, to) in order of start,
// until it returns false. False when the rule could not be stepped through (it
// does not parse, or libical is missing): then nothing was visited.
bool expandSeries(const Series& series, double from, double to,
                  const std::function<bool(const Occurrence&)>& visit);

// Several rules in one text, as the store keeps them ("parts|until|count" a
// line each), and back; a text without one gives none (it is a single rule).
std::string ruleSetText(const std::vector<Series::Rule>& rules);
std::vector<Series::Rule> parseRuleSet(std::string_view text);
// The start of a counted series' last occurrence, exclusions aside, in the terms
// of `start` (wall seconds for a floating series): arithmetic for the plain
// shapes; walked for the rest, at most `maxSteps` steps. Nothing when unknown:
// no COUNT, past year 9999, or too long to walk.
std::optional<double> lastStartOf(const Series& series, std::int64_t maxSteps);

}  // namespace calbridge
