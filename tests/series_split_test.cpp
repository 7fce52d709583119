// Changed occurrences tied to their series, series split at THISANDFUTURE
// changes and rejoined for writing, over plain values.
#include "calendar/series_split.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace calbridge {
namespace {

constexpr double kHour = 3600;
const double kDay0 = static_cast<double>(daysFromCivil(2027, 1, 4) * kDay);  // Monday, 00:00 UTC

double at(double hours) { return kDay0 + hours * kHour; }
std::int64_t wallAt(double hours) { return static_cast<std::int64_t>(at(hours)); }

// An event in UTC, times in hours since kDay0.
struct E {
  const char* uid;
  double start, end;
  std::optional<std::string> rule = std::nullopt;
  std::optional<std::int64_t> count = std::nullopt;
  std::optional<double> until = std::nullopt;
  std::vector<double> excluded = {};
  std::vector<double> extra = {};
  std::optional<double> replaced = std::nullopt;  // RECURRENCE-ID
  bool thisAndFuture = false;

  StoredEvent stored() const {
    StoredEvent e;
    e.externalIdentifier = uid;
    e.timeZone = "UTC";
    e.start = at(start);
    e.end = at(end);
    e.rule = rule;
    e.count = count;
    if (until) e.until = at(*until);
    for (double x : excluded) e.excluded.push_back(wallAt(x));
    for (double x : extra) e.extraDates.push_back(ExtraDate{wallAt(x), std::nullopt});
    if (replaced) e.recurrenceId = ReplacedOccurrence{wallAt(*replaced), thisAndFuture};
    return e;
  }
};

// What linking made of one event.
struct Linked {
  std::optional<std::size_t> parent;
  std::optional<std::string> rule;
  std::optional<std::int64_t> count;
  std::optional<double> until;  // epoch seconds
  std::vector<double> excluded;  // hours
  std::vector<double> extra;  // hours
  std::optional<double> replaced;  // hours
  bool thisAndFuture;
};

Linked linkedOf(const StoredEvent& e, std::optional<std::size_t> parent) {
  Linked l{parent, e.rule, e.count, e.until, {}, {}, std::nullopt, false};
  for (std::int64_t w : e.excluded) l.excluded.push_back((static_cast<double>(w) - kDay0) / kHour);
  for (const ExtraDate& x : e.extraDates) l.extra.push_back((static_cast<double>(x.wall) - kDay0) / kHour);
  if (e.recurrenceId) {
    l.replaced = (static_cast<double>(e.recurrenceId->wall) - kDay0) / kHour;
    l.thisAndFuture = e.recurrenceId->thisAndFuture;
  }
  return l;
}

void expectSame(const Linked& got, const Linked& want, const std::string& what) {
  EXPECT_EQ(got.parent, want.parent) << what;
  EXPECT_EQ(got.rule, want.rule) << what;
  EXPECT_EQ(got.count, want.count) << what;
  EXPECT_EQ(got.until, want.until) << what;
  EXPECT_EQ(got.excluded, want.excluded) << what;
  EXPECT_EQ(got.extra, want.extra) << what;
  EXPECT_EQ(got.replaced, want.replaced) << what;
  EXPECT_EQ(got.thisAndFuture, want.thisAndFuture) << what;
}

const std::nullopt_t none = std::nullopt;
const std::string weekly = "FREQ=WEEKLY", daily = "FREQ=DAILY";

// Weekly from Monday 10:00: 10, 178, 346, 514, 682, 850, 1018 hours.
TEST(SeriesSplit, LinkAndRejoin) {
  struct Case {
    const char* name;
    std::vector<E> events;
    std::vector<Linked> linked;
    bool rejoinsToTheOriginal;  // the series and its changes as given, after rejoinSplits
  } cases[] = {
      {"split from the fifth of six on, moved an hour later; changes before and after it",
       {{"w", 10, 11, weekly, 6, none, {346}},
        {"w", 683, 683.5, none, none, none, {}, {}, 682, true},
        {"w", 860, 861, none, none, none, {}, {}, 850},
        {"w", 180, 181, none, none, none, {}, {}, 178}},
       {{none, weekly, none, at(682) - 1, {346}, {}, none, false},
        {0, weekly, 2, none, {}, {}, 682, true},
        {1, none, none, none, {}, {}, 851, false},  // named in the part's terms
        {0, none, none, none, {}, {}, 178, false}},
       true},
      {"a series ending by UNTIL, its later exclusions and extra dates go to the part",
       {{"w", 10, 11, weekly, none, 850, {178, 850}, {700}}, {"w", 683, 684, none, none, none, {}, {}, 682, true}},
       {{none, weekly, none, at(682) - 1, {178}, {}, none, false},
        {0, weekly, none, at(851), {851}, {701}, 682, true}},
       true},
      {"split at the first occurrence, which then is hidden",
       {{"d", 10, 11, daily, 3}, {"d", 12, 13, none, none, none, {}, {}, 10, true}},
       {{none, daily, none, at(10) - 1, {10}, {}, none, false}, {0, daily, 3, none, {}, {}, 10, true}},
       true},
      {"two splits: the second names its occurrence by the original start",
       {{"w", 10, 11, weekly, 6},
        {"w", 180, 181, none, none, none, {}, {}, 178, true},
        {"w", 516, 517, none, none, none, {}, {}, 514, true}},
       {{none, weekly, none, at(178) - 1, {}, {}, none, false},
        {0, weekly, none, at(516) - 1, {}, {}, 178, true},
        {0, weekly, 3, none, {}, {}, 514, true}},
       true},
      {"a THISANDFUTURE change past COUNT changes one occurrence",
       {{"d", 10, 11, daily, 3}, {"d", 83, 84, none, none, none, {}, {}, 82, true}},
       {{none, daily, 3, none, {}, {}, none, false}, {0, none, none, none, {}, {}, 82, false}},
       true},
      {"a single event with a change is a series of its start alone",
       {{"s", 10, 11}, {"s", 12, 13, none, none, none, {}, {}, 10, true}},
       {{none, "", none, none, {}, {}, none, false}, {0, none, none, none, {}, {}, 10, false}},
       false},
      {"a change whose series is not given is an event of its own; UIDs compare canonically",
       {{"lonely", 12, 13, none, none, none, {}, {}, 10},
        {"caf\u00e9", 10, 11, daily, 2},
        {"cafe\u0301", 40, 41, none, none, none, {}, {}, 34}},
       {{none, none, none, none, {}, {}, none, false},
        {none, daily, 2, none, {}, {}, none, false},
        {1, none, none, none, {}, {}, 34, false}},
       false},
  };
  ZoneCache zones;
  for (const Case& c : cases) {
    std::vector<StoredEvent> events;
    for (const E& e : c.events) events.push_back(e.stored());
    const std::vector<StoredEvent> original = events;
    auto parents = linkChanges(events, zones);
    ASSERT_EQ(parents.size(), c.linked.size()) << c.name;
    for (std::size_t i = 0; i < events.size(); ++i) {
      expectSame(linkedOf(events[i], parents[i]), c.linked[i], std::string(c.name) + ", event " + std::to_string(i));
    }
    if (!c.rejoinsToTheOriginal) continue;
    rejoinSplits(events, parents, zones);
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].recurrenceId && events[i].rule) continue;  // a part stays beside its series
      Linked want = linkedOf(original[i], parents[i]);
      want.thisAndFuture = false;
      expectSame(linkedOf(events[i], parents[i]), want, std::string(c.name) + ", rejoined event " + std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace calbridge
