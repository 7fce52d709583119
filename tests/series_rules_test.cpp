#include "calendar/new_event.h"
#include "calendar/series_rules.h"
#include "calendar/stored_series.h"
#include "calendar/time_zone.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {
namespace {

constexpr double kStart = 1767603600;  // 2026-01-05 09:00 UTC, a daily series at 09:00
constexpr double kDaySeconds = 86400;

TEST(SeriesRules, PlanRemoval) {
  using Kind = RemovalPlan::Kind;
  struct Case {
    const char* name;
    std::optional<std::int64_t> count;
    std::vector<std::int64_t> excluded;
    double at;
    Span span;
    Kind kind;
    std::optional<double> until;  // of the series left, for endBefore
    bool changesStay = false;
  };
  const std::int64_t second = static_cast<std::int64_t>(kStart + kDaySeconds);
  const Case cases[] = {
      {"one of an endless series", std::nullopt, {}, kStart + 2 * kDaySeconds, Span::thisEvent, Kind::exclude, {}},
      {"the last one left", 2, {static_cast<std::int64_t>(kStart)}, kStart + kDaySeconds, Span::thisEvent,
       Kind::removeAll, {}},
      {"the last one left, with changes that stay", 2, {static_cast<std::int64_t>(kStart)}, kStart + kDaySeconds,
       Span::thisEvent, Kind::exclude, {}, true},
      {"from the first on, with changes that stay", std::nullopt, {}, kStart, Span::futureEvents, Kind::removeAll, {},
       true},
      {"from the first on", std::nullopt, {}, kStart, Span::futureEvents, Kind::removeAll, {}},
      {"from the third on", 10, {second + 5 * 86400}, kStart + 2 * kDaySeconds, Span::futureEvents, Kind::endBefore,
       kStart + 2 * kDaySeconds - 1},
      {"from the second on, the first excluded", 5, {static_cast<std::int64_t>(kStart)}, kStart + kDaySeconds,
       Span::futureEvents, Kind::removeAll, {}},
      {"no occurrence starts there", std::nullopt, {}, kStart + 3600, Span::thisEvent, Kind::none, {}},
  };
  ZoneCache zones;
  for (const Case& c : cases) {
    Series series;
    series.zone = zones.find("UTC");
    ASSERT_NE(series.zone, nullptr);
    series.rule = "FREQ=DAILY";
    series.start = kStart;
    series.duration = 3600;
    series.count = c.count;
    series.excluded = c.excluded;
    RemovalPlan plan = planRemoval(series, c.at, c.span, c.changesStay);
    EXPECT_EQ(plan.kind, c.kind) << c.name;
    if (c.kind == Kind::exclude) {
      EXPECT_EQ(plan.wall, static_cast<std::int64_t>(c.at)) << c.name;
    }
    if (c.kind == Kind::endBefore) {
      EXPECT_EQ(plan.ended.until, c.until) << c.name;
      EXPECT_FALSE(plan.ended.count) << c.name;
      EXPECT_TRUE(plan.ended.excluded.empty()) << c.name;  // the exclusion after the end goes with it
    }
  }
}

// A bound on where a series' last occurrence ends, as the store keeps it to
// leave series out of windows they cannot reach.
TEST(SeriesRules, LastEnd) {
  const std::nullopt_t none = std::nullopt;
  struct Case {
    const char* name;
    std::optional<std::string> rule;
    std::optional<double> until;
    std::optional<std::int64_t> count, nominalDays;
    std::vector<ExtraDate> extra;
    std::optional<double> lastEnd;
  } cases[] = {
      {"until", "FREQ=DAILY", kStart + 9 * kDaySeconds, none, none, {}, kStart + 9 * kDaySeconds + 3600},
      {"count, placed by arithmetic", "FREQ=DAILY", none, 3, none, {}, kStart + 2 * kDaySeconds + 3600},
      {"no end", "FREQ=DAILY", none, none, none, {}, none},
      {"days on the clock run a day longer at most", "FREQ=DAILY", none, 3, 1, {},
       kStart + 2 * kDaySeconds + 3600 + 2 * kDaySeconds},
      {"a later extra date with a period of its own, and a day's margin", "FREQ=DAILY", none, 2, none,
       {{static_cast<std::int64_t>(kStart) + 10 * 86400, 3 * 3600.0}},
       kStart + 10 * kDaySeconds + 3 * 3600 + kDaySeconds},
      {"extra dates alone", "", none, none, none, {{static_cast<std::int64_t>(kStart) + 86400, none}},
       kStart + kDaySeconds + 3600 + kDaySeconds},
  };
  ZoneCache zones;
  for (const Case& c : cases) {
    StoredEvent event;
    event.timeZone = "UTC";
    event.start = kStart;
    event.end = kStart + 3600 + (c.nominalDays ? *c.nominalDays * kDaySeconds : 0);
    event.rule = c.rule;
    event.until = c.until;
    event.count = c.count;
    event.nominalDays = c.nominalDays.value_or(0);
    event.extraDates = c.extra;
    EXPECT_EQ(lastEndOf(seriesOf(event, zones)), c.lastEnd) << c.name;
  }
}

// Times as stored (nothing: refused), for events made in Berlin's local zone.
TEST(NewEvent, StoredForm) {
  const double nine = kStart, midnight = kStart - 10 * 3600;  // 2026-01-05 09:00 UTC; 00:00 in Berlin
  const double wall = kStart - 9 * 3600;  // that midnight in wall seconds
  const std::nullopt_t none = std::nullopt;
  struct Case {
    const char* name;
    bool allDay;
    std::optional<std::string> zone;
    double start, end;
    std::optional<RecurrenceRule> rule;
    std::optional<double> storedStart, storedUntil;
    std::optional<std::string> storedZone, storedRule;
  } cases[] = {
      {"timed in its own zone", false, "America/New_York", nine, nine, none, nine, none, "America/New_York", none},
      {"timed without a zone", false, none, nine, nine, none, nine, none, "Europe/Berlin", none},
      {"timed series", false, "UTC", nine, nine, RecurrenceRule{Frequency::weekly, 2, {2, 4}, nine + 9}, nine,
       nine + 9, "UTC", "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE"},
      {"all-day floats, its end too", true, "UTC", midnight, midnight + kDaySeconds,
       RecurrenceRule{Frequency::daily, 1, {}, midnight + 3 * kDaySeconds}, wall, wall + 3 * kDaySeconds, none,
       "FREQ=DAILY"},
      {"end before start", false, "UTC", nine, nine - 1, none, none, none, none, none},
      {"unknown zone", false, "Nowhere/Special", nine, nine, none, none, none, none, none},
      {"steps by 0", false, "UTC", nine, nine, RecurrenceRule{Frequency::daily, 0, {}, none}, none, none, none, none},
      {"not a number", false, "UTC", NAN, nine, none, none, none, none, none},
      {"all-day past 9999", true, none, 253402300800.0, 253402300800.0, none, none, none, none, none},
  };
  const char* saved = std::getenv("TZ");
  const std::optional<std::string> savedZone = saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TZ", "Europe/Berlin", 1);
  ZoneCache zones;  // reads the local zone now
  for (const Case& c : cases) {
    Event event;
    event.isAllDay = c.allDay;
    event.timeZone = c.zone;
    event.startDate = c.start;
    event.endDate = c.end;
    event.recurrenceRule = c.rule;
    std::optional<StoredEvent> stored = storedFormOf(event, zones);
    ASSERT_EQ(stored.has_value(), c.storedStart.has_value()) << c.name;
    if (!stored) continue;
    EXPECT_EQ(stored->start, *c.storedStart) << c.name;
    EXPECT_EQ(stored->end - stored->start, c.end - c.start) << c.name;
    EXPECT_EQ(stored->until, c.storedUntil) << c.name;
    EXPECT_EQ(stored->timeZone, c.storedZone) << c.name;
    EXPECT_EQ(stored->rule, c.storedRule) << c.name;
  }
  if (savedZone) ::setenv("TZ", savedZone->c_str(), 1);
  else ::unsetenv("TZ");
}

}  // namespace
}  // namespace calbridge
