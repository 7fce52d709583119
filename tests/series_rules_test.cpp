#include "calendar/new_event.h"
#include "calendar/series_rules.h"
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
  };
  const std::int64_t second = static_cast<std::int64_t>(kStart + kDaySeconds);
  const Case cases[] = {
      {"one of an endless series", std::nullopt, {}, kStart + 2 * kDaySeconds, Span::thisEvent, Kind::exclude, {}},
      {"the last one left", 2, {static_cast<std::int64_t>(kStart)}, kStart + kDaySeconds, Span::thisEvent,
       Kind::removeAll, {}},
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
    RemovalPlan plan = planRemoval(series, c.at, c.span);
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

TEST(NewEvent, StoredForm) {
  struct Case {
    const char* name;
    bool allDay;
    std::optional<std::string> zone;
    double start, end;
    std::optional<RecurrenceRule> rule;
    // Expected; nothing when the event cannot be stored.
    std::optional<double> storedStart, storedEnd, storedUntil;
    std::optional<std::string> storedZone;
    std::optional<std::string> storedRule;
  };
  const double nineUtc = kStart;  // a Monday
  const double berlinMidnight = kStart - 10 * 3600;  // 2026-01-05 00:00 in Berlin
  const double wallMidnight = kStart - 9 * 3600;
  const RecurrenceRule weeklyTill{Frequency::weekly, 2, {2, 4}, nineUtc + 28 * kDaySeconds};
  const std::nullopt_t none = std::nullopt;
  const Case cases[] = {
      {"timed in its own zone", false, "America/New_York", nineUtc, nineUtc + 3600, none, nineUtc, nineUtc + 3600,
       none, "America/New_York", none},
      {"timed without a zone takes the local one", false, none, nineUtc, nineUtc + 3600, none, nineUtc,
       nineUtc + 3600, none, "Europe/Berlin", none},
      {"timed series: the end stays an instant", false, "UTC", nineUtc, nineUtc + 60, weeklyTill, nineUtc,
       nineUtc + 60, weeklyTill.endDate, "UTC", "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE"},
      {"all-day floats in local wall seconds, its end too", true, "UTC", berlinMidnight, berlinMidnight + kDaySeconds,
       RecurrenceRule{Frequency::daily, 1, {}, berlinMidnight + 3 * kDaySeconds}, wallMidnight,
       wallMidnight + kDaySeconds, wallMidnight + 3 * kDaySeconds, none, "FREQ=DAILY"},
      {"end before start", false, "UTC", nineUtc, nineUtc - 1, none, none, none, none, none, none},
      {"unknown zone", false, "Nowhere/Special", nineUtc, nineUtc, none, none, none, none, none, none},
      {"a rule stepping by 0", false, "UTC", nineUtc, nineUtc, RecurrenceRule{Frequency::daily, 0, {}, none}, none,
       none, none, none, none},
      {"not a number", false, "UTC", NAN, nineUtc, none, none, none, none, none, none},
      {"all-day past year 9999", true, none, 253402300800.0, 253402300800.0 + kDaySeconds, none, none, none, none,
       none, none},
  };
  const char* saved = std::getenv("TZ");
  const std::optional<std::string> savedZone = saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TZ", "Europe/Berlin", 1);
  ZoneCache zones;  // reads the local zone once, now
  for (const Case& c : cases) {
    Event event;
    event.title = "t";
    event.isAllDay = c.allDay;
    event.timeZone = c.zone;
    event.startDate = c.start;
    event.endDate = c.end;
    event.recurrenceRule = c.rule;
    event.calendarItemExternalIdentifier = "uid";
    std::optional<StoredEvent> stored = storedFormOf(event, zones);
    ASSERT_EQ(stored.has_value(), c.storedStart.has_value()) << c.name;
    if (!stored) continue;
    EXPECT_EQ(stored->start, *c.storedStart) << c.name;
    EXPECT_EQ(stored->end, *c.storedEnd) << c.name;
    EXPECT_EQ(stored->until, c.storedUntil) << c.name;
    EXPECT_EQ(stored->timeZone, c.storedZone) << c.name;
    EXPECT_EQ(stored->rule, c.storedRule) << c.name;
    EXPECT_EQ(stored->allDay, c.allDay) << c.name;
    EXPECT_EQ(stored->externalIdentifier, "uid") << c.name;
  }
  if (savedZone) ::setenv("TZ", savedZone->c_str(), 1);
  else ::unsetenv("TZ");
}

}  // namespace
}  // namespace calbridge
