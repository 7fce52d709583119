// The listing's merge over plain values: what a backend feeds, in the order
// every backend lists.
#include "calendar/occurrences.h"
#include "calendar/stored_series.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {
namespace {

constexpr double kHour = 3600;
const double kDay0 = static_cast<double>(daysFromCivil(2027, 1, 4) * kDay);  // Monday, 00:00 UTC

double at(double hours) { return kDay0 + hours * kHour; }

// One calendar as a test writes it: singles and series in hours since kDay0.
struct Fed {
  std::vector<TimeRange> singles;
  struct Series {
    const char* rule;
    double start, hours;
    std::optional<std::int64_t> count = std::nullopt;
    std::vector<double> excluded = {};  // starts, hours
    // (replaced occurrence's start, changed start, changed end), hours
    std::vector<std::array<double, 3>> changes = {};
    std::optional<double> lastEnd = std::nullopt;  // hours; absent: worked out
  };
  std::vector<Series> series;
};

// "kind calendar.item[.change] start-end@occurrenceDate", hours since kDay0.
std::vector<std::string> listing(const std::vector<Fed>& calendars, double from, double to, std::size_t cap = 100) {
  ZoneCache zones;
  // Everything the feeds point at lives here until the merge is done.
  std::vector<std::vector<calbridge::Series>> series(calendars.size());
  std::vector<std::vector<std::vector<SeriesChange>>> changes(calendars.size());
  std::vector<std::vector<ListedSeries>> listed(calendars.size());
  std::vector<CalendarFeed> feeds;
  for (std::size_t c = 0; c < calendars.size(); ++c) {
    for (const Fed::Series& s : calendars[c].series) {
      StoredEvent event;
      event.timeZone = "UTC";
      event.rule = s.rule;
      event.start = at(s.start);
      event.end = at(s.start + s.hours);
      event.count = s.count;
      for (double e : s.excluded) event.excluded.push_back(static_cast<std::int64_t>(at(e)));
      series[c].push_back(seriesOf(event, zones));
      std::vector<SeriesChange>& own = changes[c].emplace_back();
      for (const auto& [replaced, start, end] : s.changes) {
        const auto wall = static_cast<std::int64_t>(at(replaced));
        own.push_back(SeriesChange{{at(start), at(end)}, wall, at(replaced)});
        series[c].back().replaced.push_back(wall);
      }
    }
    for (std::size_t i = 0; i < series[c].size(); ++i) {
      const auto& s = calendars[c].series[i];
      const auto lastEnd = s.lastEnd ? std::optional(at(*s.lastEnd)) : lastEndOf(series[c][i]);
      listed[c].push_back(ListedSeries{&series[c][i], lastEnd, changes[c][i]});
    }
    feeds.push_back(CalendarFeed{calendars[c].singles, listed[c]});
  }
  OccurrenceMerge merge(feeds, at(from), at(to));
  std::vector<std::string> result;
  auto hours = [](double t) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", (t - kDay0) / kHour);
    return std::string(text);
  };
  while (result.size() < cap) {
    auto o = merge.next();
    if (!o) break;
    const char* kinds[] = {"single", "change", "occurrence"};
    std::string item = std::to_string(o->calendar) + "." + std::to_string(o->item);
    if (o->kind == ListedOccurrence::Kind::change) item += "." + std::to_string(o->change);
    result.push_back(std::string(kinds[static_cast<int>(o->kind)]) + " " + item + " " + hours(o->start) + "-" +
                     hours(o->end) + "@" + hours(o->occurrenceDate));
  }
  return result;
}

std::vector<TimeRange> singles(std::initializer_list<std::pair<double, double>> hours) {
  std::vector<TimeRange> result;
  for (auto [start, end] : hours) result.push_back(TimeRange{at(start), at(end)});
  return result;
}

TEST(OccurrenceMerge, OrderAndWindow) {
  struct Case {
    const char* name;
    std::vector<Fed> calendars;
    double from, to;
    std::vector<std::string> listed;
  } cases[] = {
      {"overlapping the window: an instant at its start counts, an end at its start does not",
       {{singles({{8, 10}, {9, 11}, {10, 10}, {19, 25}, {20, 21}}), {}}},
       10,
       20,
       {"single 0.1 9-11@9", "single 0.2 10-10@10", "single 0.3 19-25@19"}},
      {"by start, then end, then source: singles, then series, calendar by calendar",
       {{singles({{12, 13}}), {{"FREQ=DAILY", 12, 1}}}, {singles({{12, 12.5}, {12, 13}}), {}}},
       0,
       24,
       {"single 1.0 12-12.5@12", "single 0.0 12-13@12", "occurrence 0.0 12-13@12", "single 1.1 12-13@12"}},
      {"singles out of start order (floating ones moved by their offset) are put in order, ties by source",
       {{singles({{11, 12}, {10, 11}, {11, 12}}), {}}},
       0,
       24,
       {"single 0.1 10-11@10", "single 0.0 11-12@11", "single 0.2 11-12@11"}},
      {"series interleave, each by its own rule and end",
       {{{}, {{"FREQ=HOURLY;INTERVAL=6", 1, 0.5, 3}, {"FREQ=DAILY", 2, 1}}}},
       0,
       48,
       {"occurrence 0.0 1-1.5@1", "occurrence 0.1 2-3@2", "occurrence 0.0 7-7.5@7", "occurrence 0.0 13-13.5@13",
        "occurrence 0.1 26-27@26"}},
      {"five series take turns; equal occurrences by source",
       {{{},
         {{"FREQ=HOURLY;INTERVAL=4", 0, 1, 2},
          {"FREQ=HOURLY;INTERVAL=4", 1, 1, 2},
          {"FREQ=HOURLY;INTERVAL=4", 2, 1, 2},
          {"FREQ=HOURLY;INTERVAL=4", 3, 1, 2},
          {"FREQ=HOURLY;INTERVAL=4", 0, 1, 2}}}},
       0,
       24,
       {"occurrence 0.0 0-1@0", "occurrence 0.4 0-1@0", "occurrence 0.1 1-2@1", "occurrence 0.2 2-3@2",
        "occurrence 0.3 3-4@3", "occurrence 0.0 4-5@4", "occurrence 0.4 4-5@4", "occurrence 0.1 5-6@5",
        "occurrence 0.2 6-7@6", "occurrence 0.3 7-8@7"}},
      {"a change is listed where it now is, in place of its occurrence; one of an excluded occurrence is not",
       {{{},
         {{"FREQ=DAILY", 10, 1, 5, {58}, {{34, 39, 40}, {58, 64, 65}, {106, -30, -29}}}}}},
       0,
       120,
       {"occurrence 0.0 10-11@10", "change 0.0.0 39-40@34", "occurrence 0.0 82-83@82"}},
      {"a change before the window still takes its occurrence's place",
       {{{}, {{"FREQ=DAILY", 10, 1, 3, {}, {{34, -30, -29}}}}}},
       24,
       72,
       {"occurrence 0.0 58-59@58"}},
      {"a change that lies in the window lists though its series began long after it",
       {{{}, {{"FREQ=DAILY", 100, 1, 3, {}, {{124, 5, 6}}}}}},
       0,
       24,
       {"change 0.0.0 5-6@124"}},
      {"a series that cannot be stepped through lists nothing; the others still list",
       {{singles({{3, 4}}), {{"FREQ=NEVER", 1, 1}, {"FREQ=DAILY", 2, 1, 1}}}},
       0,
       24,
       {"occurrence 0.1 2-3@2", "single 0.0 3-4@3"}},
      {"a series whose last end lies a day before the window is not stepped (its bound is trusted)",
       {{{}, {{"FREQ=DAILY", -72, 1, std::nullopt, {}, {}, -24}, {"FREQ=DAILY", -72, 1, std::nullopt, {}, {}, -23}}}},
       0,
       24,
       {"occurrence 0.1 0-1@0"}},
  };
  for (const Case& c : cases) EXPECT_EQ(listing(c.calendars, c.from, c.to), c.listed) << c.name;
}

// A listing makes only what is pulled: an endless series of one occurrence a
// second over a year gives its first records at once, the cap stops it.
TEST(OccurrenceMerge, MakesOnlyWhatIsPulled) {
  auto listed = listing({{singles({{0, 0}}), {{"FREQ=SECONDLY", 0, 0}}}}, 0, 24 * 365, 3);
  EXPECT_EQ(listed, (std::vector<std::string>{"single 0.0 0-0@0", "occurrence 0.0 0-0@0",
                                               "occurrence 0.0 0.000277778-0.000277778@0.000277778"}));
}

TEST(OccurrenceMerge, ListedTimes) {
  ZoneCache zones;
  const Zone& berlin = *zones.find("Europe/Berlin");
  const double nine = at(9);  // 09:00 as wall seconds
  EXPECT_EQ(listedTimes(nine, nine + kHour, true, berlin), (TimeRange{at(8), at(9)}));  // floating: read in Berlin
  EXPECT_EQ(listedTimes(nine, nine + kHour, false, berlin), (TimeRange{nine, nine + kHour}));
  const double far = static_cast<double>(kEndOfTime) + 1;  // no wall time there: as it is
  EXPECT_EQ(listedTimes(far, far + 1, true, berlin), (TimeRange{far, far + 1}));
}

}  // namespace
}  // namespace calbridge
