#include "calendar/series_rules.h"
#include "calendar/time_zone.h"

#include <gtest/gtest.h>

#include <optional>
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

}  // namespace
}  // namespace calbridge
