#include "calendar/libical.h"
#include "calendar/recurrence.h"
#include "calendar/time_zone.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <algorithm>
#include <cmath>
#include <random>

namespace calbridge {
namespace {

// Epoch seconds of a UTC date-time.
double utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s);
}

std::vector<double> starts(const Series& series, double from, double to) {
  std::vector<double> result;
  expandSeries(series, from, to, [&](const Occurrence& o) {
    result.push_back(o.start);
    return true;
  });
  return result;
}

class Recurrence : public ::testing::Test {
 protected:
  Series series(const char* zone, const std::string& rule, double start, double duration = 3600) {
    Series s;
    s.zone = zones.find(zone);
    EXPECT_NE(s.zone, nullptr) << zone;
    s.rule = rule;
    s.start = start;
    s.duration = duration;
    return s;
  }
  ZoneCache zones;
};

TEST_F(Recurrence, WallTimesAcrossTransitions) {
  const Zone& berlin = *zones.find("Europe/Berlin");
  const Zone& newYork = *zones.find("America/New_York");
  struct Case {
    const Zone* zone;
    double wall, epoch;
  } cases[] = {
      {&berlin, utc(2026, 1, 15, 9), utc(2026, 1, 15, 8)},
      {&berlin, utc(2026, 7, 15, 9), utc(2026, 7, 15, 7)},
      // 02:30 does not exist on 29 March 2026: shifted forward by the hour's gap.
      {&berlin, utc(2026, 3, 29, 2, 30), utc(2026, 3, 29, 1, 30)},
      // 02:30 happens twice on 25 October 2026: the earlier one.
      {&berlin, utc(2026, 10, 25, 2, 30), utc(2026, 10, 25, 0, 30)},
      {&newYork, utc(2026, 3, 8, 2, 30), utc(2026, 3, 8, 7, 30)},
      {&newYork, utc(2026, 11, 1, 1, 30), utc(2026, 11, 1, 5, 30)},
      // Far future: daylight saving still follows the rules in force.
      {&berlin, utc(2400, 7, 1, 12), utc(2400, 7, 1, 10)},
      {&berlin, utc(2400, 1, 1, 12), utc(2400, 1, 1, 11)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wallToEpoch(*c.zone, static_cast<std::int64_t>(c.wall)), c.epoch) << c.zone->name << " " << c.wall;
  }
  EXPECT_EQ(epochToWall(berlin, static_cast<std::int64_t>(utc(2026, 7, 15, 7))), utc(2026, 7, 15, 9));
}

TEST_F(Recurrence, TheFiveRuleShapesAgainstKnownDates) {
  // Tuesday 1 December 2026, 09:00 in Berlin.
  const double start = utc(2026, 12, 1, 8);
  struct Case {
    const char* rule;
    std::vector<double> expected;
  } cases[] = {
      {"FREQ=DAILY", {utc(2026, 12, 1, 8), utc(2026, 12, 2, 8), utc(2026, 12, 3, 8), utc(2026, 12, 4, 8)}},
      {"FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR",
       {utc(2026, 12, 1, 8), utc(2026, 12, 2, 8), utc(2026, 12, 3, 8), utc(2026, 12, 4, 8), utc(2026, 12, 7, 8)}},
      {"FREQ=WEEKLY", {utc(2026, 12, 1, 8), utc(2026, 12, 8, 8), utc(2026, 12, 15, 8), utc(2026, 12, 22, 8)}},
      {"FREQ=WEEKLY;INTERVAL=2", {utc(2026, 12, 1, 8), utc(2026, 12, 15, 8), utc(2026, 12, 29, 8)}},
      {"FREQ=MONTHLY", {utc(2026, 12, 1, 8), utc(2027, 1, 1, 8), utc(2027, 2, 1, 8)}},
  };
  for (const auto& c : cases) {
    auto got = starts(series("Europe/Berlin", c.rule, start), start, c.expected.back() + 1);
    EXPECT_EQ(got, c.expected) << c.rule;
  }
}

TEST_F(Recurrence, EndsExclusionsAndCounts) {
  const double start = utc(2026, 12, 1, 8);
  Series daily = series("Europe/Berlin", "FREQ=DAILY", start);
  daily.until = utc(2026, 12, 3, 8);  // an until equal to a start includes it
  EXPECT_EQ(starts(daily, 0, 1e10), (std::vector<double>{start, start + 86400, start + 2 * 86400}));
  daily.until = start;
  EXPECT_EQ(starts(daily, 0, 1e10), (std::vector<double>{start}));
  daily.until.reset();
  daily.count = 3;
  daily.excluded = {static_cast<std::int64_t>(utc(2026, 12, 2, 9))};  // wall time of the second
  EXPECT_EQ(starts(daily, 0, 1e10), (std::vector<double>{start, start + 2 * 86400}));
}

TEST_F(Recurrence, FractionsAndPartialOverlaps) {
  Series daily = series("UTC", "FREQ=DAILY", utc(2026, 12, 1, 8) + 0.5, 1800);
  daily.until = utc(2026, 12, 3, 8) + 0.25;  // the third starts 0.25 s after the end
  EXPECT_EQ(starts(daily, 0, 1e10), (std::vector<double>{utc(2026, 12, 1, 8) + 0.5, utc(2026, 12, 2, 8) + 0.5}));
  // An occurrence that started before the window but is still going is in it.
  EXPECT_EQ(starts(daily, utc(2026, 12, 2, 8, 20), utc(2026, 12, 2, 9)),
            (std::vector<double>{utc(2026, 12, 2, 8) + 0.5}));
  EXPECT_EQ(starts(daily, utc(2026, 12, 2, 8, 31), utc(2026, 12, 2, 9)), (std::vector<double>{}));
}

TEST_F(Recurrence, MonthlyOnThe31stSkipsShortMonths) {
  Series monthly = series("Europe/Berlin", "FREQ=MONTHLY", utc(2026, 1, 31, 9));
  auto got = starts(monthly, 0, utc(2026, 9, 1));
  EXPECT_EQ(got, (std::vector<double>{utc(2026, 1, 31, 9), utc(2026, 3, 31, 8), utc(2026, 5, 31, 8),
                                      utc(2026, 7, 31, 8), utc(2026, 8, 31, 8)}));
}

TEST_F(Recurrence, SeriesKeepTheirLocalTimeAcrossDaylightSaving) {
  struct Case {
    const char* zone;
    double start;  // 09:00 local on the first day
    double change;  // a day after the change
    double offsetAfter;  // hours to subtract from 09:00 local for UTC afterwards
  } cases[] = {
      {"Europe/Berlin", utc(2026, 3, 27, 8), utc(2026, 3, 30), 7},
      {"Europe/Berlin", utc(2026, 10, 23, 7), utc(2026, 10, 26), 8},
      {"America/New_York", utc(2026, 3, 6, 14), utc(2026, 3, 9), 13},
      {"America/New_York", utc(2026, 10, 30, 13), utc(2026, 11, 2), 14},
  };
  for (const auto& c : cases) {
    auto got = starts(series(c.zone, "FREQ=DAILY", c.start), c.change, c.change + 86400);
    ASSERT_EQ(got.size(), 1u) << c.zone;
    EXPECT_EQ(got[0], c.change + c.offsetAfter * 3600) << c.zone;
  }
  // A series at 02:30 meets the spring gap: that day it runs at 03:30, once.
  auto gap = starts(series("Europe/Berlin", "FREQ=DAILY", utc(2026, 3, 28, 1, 30)), utc(2026, 3, 28),
                    utc(2026, 3, 31));
  EXPECT_EQ(gap, (std::vector<double>{utc(2026, 3, 28, 1, 30), utc(2026, 3, 29, 1, 30), utc(2026, 3, 30, 0, 30)}));
}

TEST_F(Recurrence, WorkIsBoundedByTheWindowNotTheSeriesAge) {
  // A daily series begun in 1900 listed in 2026: few steps, same answer.
  Series old = series("Europe/Berlin", "FREQ=DAILY", utc(1900, 1, 1, 8));
  int visited = 0;
  expandSeries(old, utc(2026, 6, 1), utc(2026, 6, 3), [&](const Occurrence&) { return ++visited, true; });
  EXPECT_EQ(visited, 2);
  Series weekly = series("America/New_York", "FREQ=WEEKLY;INTERVAL=3;BYDAY=SA,TU", utc(1950, 1, 3, 15));
  auto complex = starts(weekly, utc(2026, 6, 1), utc(2026, 7, 1));
  auto viaLibical = starts(series("America/New_York", "FREQ=WEEKLY;INTERVAL=3;BYDAY=SA,TU;BYSECOND=0",
                                  utc(1950, 1, 3, 15)), utc(2026, 6, 1), utc(2026, 7, 1));
  EXPECT_FALSE(complex.empty());
  EXPECT_EQ(complex, viaLibical);
}

// The arithmetic stepper must agree with libical on every rule shape it takes.
// BYSECOND set to the start's own second changes nothing in the rule's meaning
// but sends it down libical's path.
TEST_F(Recurrence, ArithmeticStepperAgreesWithLibical) {
  std::mt19937 random(20261208);
  const char* frequencies[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  const char* days[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  const char* zonesToUse[] = {"Europe/Berlin", "America/New_York", "UTC", "Australia/Sydney"};
  for (int i = 0; i < 3000; ++i) {
    double start = utc(2020 + static_cast<int>(random() % 8), 1 + static_cast<int>(random() % 12),
                       1 + static_cast<int>(random() % 28 + (random() % 4 == 0 ? 3 : 0)),
                       static_cast<int>(random() % 24), static_cast<int>(random() % 4) * 15);
    const char* zone = zonesToUse[random() % 4];
    std::int64_t wall = epochToWall(*zones.find(zone), static_cast<std::int64_t>(start));
    int startWeekday = static_cast<int>((wall / 86400 + 4) % 7);
    std::string rule = std::string("FREQ=") + frequencies[random() % 4];
    int interval = 1 + static_cast<int>(random() % 4);
    if (interval > 1) rule += ";INTERVAL=" + std::to_string(interval);
    if (rule.find("WEEKLY") != std::string::npos && random() % 2) {
      // Distinct days, the start's own among them when weeks are skipped: libical
      // stops a rule that names a day twice, and miscounts the weeks of an
      // interval when the start's weekday is not listed or WKST is not Monday
      // (see WeekStartFollowsTheRfcExamples for what is right there).
      int first = interval > 1 ? startWeekday : static_cast<int>(random() % 7);
      int count = 1 + static_cast<int>(random() % 4);
      rule += ";BYDAY=";
      for (int d = 0; d < count; ++d) rule += std::string(d ? "," : "") + days[(first + d * 2) % 7];
    }
    double from = start + static_cast<double>(random() % (800 * 86400)) - 30 * 86400;
    double to = from + static_cast<double>(1 + random() % (120 * 86400));
    Series plain = series(zone, rule, start);
    Series viaLibical = series(zone, rule + ";BYSECOND=0", start);
    if (random() % 3 == 0) {
      plain.count = viaLibical.count = 1 + random() % 400;  // placed by arithmetic, walked by libical
    }
    ASSERT_EQ(starts(plain, from, to), starts(viaLibical, from, to)) << rule << " in " << zone << " from " << start;
  }
}

// A counted series is placed in a window far from its start, and its last
// occurrence found, by arithmetic for the plain shapes: the same answers as
// libical walking it from the start (BYSECOND=0 sends a rule down that path).
TEST_F(Recurrence, CountedSeriesArePlacedWithoutWalkingFromTheirStart) {
  struct Case {
    const char* zone;
    const char* rule;
    double start;
    std::int64_t count;
  } cases[] = {
      {"Europe/Berlin", "FREQ=DAILY;INTERVAL=3", utc(1950, 1, 1, 8), 8000},
      {"America/New_York", "FREQ=WEEKLY;BYDAY=MO,WE,FR", utc(1970, 1, 2, 14), 8000},
      {"Europe/Berlin", "FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,SU;WKST=SU", utc(1950, 3, 7, 9), 4000},
      {"Australia/Sydney", "FREQ=MONTHLY", utc(1900, 1, 30, 23), 850},
      {"UTC", "FREQ=YEARLY", utc(1904, 2, 29, 12), 30},
      {"Europe/Berlin", "FREQ=MINUTELY;INTERVAL=7", utc(2026, 3, 1, 0, 3), 20000},
      {"America/New_York", "FREQ=HOURLY;INTERVAL=5", utc(2020, 1, 1, 12), 10000},
  };
  for (const Case& c : cases) {
    Series plain = series(c.zone, c.rule, c.start);
    Series viaLibical = series(c.zone, std::string(c.rule) + ";BYSECOND=0", c.start);
    plain.count = viaLibical.count = c.count;
    auto last = lastStartOf(plain, 0);  // no step to spare: arithmetic alone
    ASSERT_TRUE(last) << c.rule;
    EXPECT_EQ(last, lastStartOf(viaLibical, 10000000)) << c.rule;
    for (double from : {*last - 3 * 86400, *last - 400 * 86400, *last - 90}) {
      ASSERT_EQ(starts(plain, from, from + 5 * 86400), starts(viaLibical, from, from + 5 * 86400))
          << c.rule << " from " << from;
    }
  }
  // A hundred million minutes from 1900: a day of 2026 is found at once.
  Series minutes = series("UTC", "FREQ=MINUTELY", utc(1900, 1, 1), 60);
  minutes.count = 100000000;
  auto day = starts(minutes, utc(2026, 6, 1), utc(2026, 6, 2));
  ASSERT_EQ(day.size(), 1440u);
  EXPECT_EQ(day.front(), utc(2026, 6, 1));
  minutes.count = static_cast<std::int64_t>((utc(2026, 6, 1, 12) - utc(1900, 1, 1)) / 60) + 1;
  EXPECT_EQ(starts(minutes, utc(2026, 6, 1, 11, 59), utc(2026, 6, 2)),
            (std::vector<double>{utc(2026, 6, 1, 11, 59), utc(2026, 6, 1, 12)}));
  EXPECT_EQ(lastStartOf(minutes, 0), utc(2026, 6, 1, 12));

  // Through libical a counted series is walked: one too far from the window is
  // left out of a listing; another series steps within a budget of its own.
  StepBudget budget;
  budget.beforeFirst = 1000;
  Series walked = series("UTC", "FREQ=MINUTELY;BYSECOND=0", utc(1900, 1, 1), 60);
  walked.count = 100000000;
  SeriesCursor far(walked, utc(2026, 6, 1), utc(2026, 6, 2), budget);
  EXPECT_FALSE(far.next());
  EXPECT_TRUE(far.overBudget());
  Series near = series("UTC", "FREQ=DAILY;BYSECOND=0", utc(2026, 5, 1, 9));
  near.count = 100;
  SeriesCursor close(near, utc(2026, 6, 1), utc(2026, 6, 2), budget);
  auto first = close.next();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->start, utc(2026, 6, 1, 9));
}

// A listing is the same however slowly libical answers, as on a loaded
// machine or under valgrind: budgets count steps, never time, each series has
// its own, and libical never steps past the window, so that a rule whose
// dates do not exist costs the others nothing.
TEST_F(Recurrence, AListingIsTheSameHoweverSlowlyLibicalAnswers) {
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) GTEST_SKIP() << "no libical";
  std::vector<Series> all = {series("UTC", "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30", utc(2026, 1, 15, 9)),
                             series("UTC", "FREQ=DAILY;BYMONTH=2;BYMONTHDAY=30", utc(2026, 1, 15, 9)),
                             series("UTC", "FREQ=HOURLY;BYMONTH=2;BYMONTHDAY=30", utc(2026, 1, 15, 9)),
                             series("UTC", "FREQ=MONTHLY;BYMONTHDAY=15", utc(2026, 1, 15, 9))};
  all[1].count = 5;
  auto listing = [&] {
    std::vector<SeriesCursor> cursors;
    for (const Series& s : all) cursors.emplace_back(s, utc(2026, 1, 1), utc(2027, 1, 1), StepBudget{});
    std::vector<std::vector<double>> starts(cursors.size());
    for (std::size_t i = 0; i < cursors.size(); ++i) {
      while (auto o = cursors[i].next()) starts[i].push_back(o->start);
    }
    return starts;
  };
  const auto quick = listing();
  EXPECT_EQ(quick, (std::vector<std::vector<double>>{{utc(2026, 1, 15, 9)}, {utc(2026, 1, 15, 9)},
                                                     {utc(2026, 1, 15, 9)}, quick[3]}));
  EXPECT_EQ(quick[3].size(), 12u);
  // Each rule libical takes up a third of a second late: the second a
  // listing once had is gone before the last series is reached.
  auto& functions = const_cast<LibicalFunctions&>(*ical);
  static icalrecur_iterator* (*iteratorNew)(icalrecurrencetype, icaltimetype) = functions.iteratorNew;
  functions.iteratorNew = [](icalrecurrencetype rule, icaltimetype start) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return iteratorNew(rule, start);
  };
  const auto slow = listing();
  functions.iteratorNew = iteratorNew;
  EXPECT_EQ(slow, quick);
}

// A rule whose dates do not exist is found when it is read; one whose dates
// come seldom is not taken for one.
TEST_F(Recurrence, RulesThatMakeNothingAfterTheirStartAreFound) {
  struct Case {
    const char* rule;
    bool nothing;
  } cases[] = {
      {"FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30", true},
      {"FREQ=MONTHLY;BYMONTHDAY=31;BYMONTH=2,4", true},
      {"FREQ=HOURLY;BYMONTH=2;BYMONTHDAY=30", true},
      {"FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29", false},  // next in 2028
      {"FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29;BYDAY=TU", false},  // 29 February 2028 is a Tuesday
      {"FREQ=MONTHLY;BYMONTHDAY=15", false},
      {"FREQ=DAILY", false},  // the plain shapes always come
  };
  for (const Case& c : cases) {
    EXPECT_EQ(yieldsNothingAfterStart(series("UTC", c.rule, utc(2026, 1, 15, 9))), c.nothing) << c.rule;
  }
}

// Skipping ahead to a window keeps the steps counted from the start, not from
// where the skip landed.
TEST_F(Recurrence, SubDailyRulesKeepTheirStepsFarFromTheirStart) {
  const double start = utc(2026, 3, 1, 1, 30);
  const double from = utc(2026, 3, 20);
  for (double step : {7.0, 13 * 60.0, 5 * 3600.0}) {
    std::string rule = step < 60 ? "FREQ=SECONDLY;INTERVAL=7" : step < 3600 ? "FREQ=MINUTELY;INTERVAL=13"
                                                                            : "FREQ=HOURLY;INTERVAL=5";
    auto list = starts(series("UTC", rule, start, 1), from, from + 86400);
    ASSERT_FALSE(list.empty()) << rule;
    EXPECT_EQ(list.front(), start + std::ceil((from - start) / step) * step) << rule;
    EXPECT_EQ(list.size(), static_cast<std::size_t>(std::floor((from + 86400 - 1 - list.front()) / step)) + 1) << rule;
  }
}

// Where clocks go forward, a wall time in the gap starts later than the wall
// times just after it; the occurrences still come in order of start.
TEST_F(Recurrence, OccurrencesComeInOrderOfStartAcrossAGap) {
  Series s = series("Europe/Berlin", "FREQ=MINUTELY;INTERVAL=10", utc(2026, 3, 28, 23), 60);
  auto list = starts(s, utc(2026, 3, 28, 23), utc(2026, 3, 29, 3));
  EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
  EXPECT_EQ(list.size(), 4u * 6 + 6);  // four hours of wall time, and the gap's hour read once more
}

// RFC 5545's own examples for the week start: only WKST differs between them.
TEST_F(Recurrence, WeekStartFollowsTheRfcExamples) {
  const double start = utc(1997, 8, 5, 13);  // 09:00 EDT, a Tuesday
  struct Case {
    const char* rule;
    std::vector<double> firstFour;
    std::vector<double> from18To25August;  // reached by skipping ahead
  } cases[] = {
      {"FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,SU;WKST=MO",
       {utc(1997, 8, 5, 13), utc(1997, 8, 10, 13), utc(1997, 8, 19, 13), utc(1997, 8, 24, 13)},
       {utc(1997, 8, 19, 13), utc(1997, 8, 24, 13)}},
      {"FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,SU;WKST=SU",
       {utc(1997, 8, 5, 13), utc(1997, 8, 17, 13), utc(1997, 8, 19, 13), utc(1997, 8, 31, 13)},
       {utc(1997, 8, 19, 13)}},
      // The weeks count from the start's own week, whether or not its weekday is listed.
      {"FREQ=WEEKLY;INTERVAL=4;BYDAY=SU",
       {utc(1997, 8, 5, 13), utc(1997, 8, 10, 13), utc(1997, 9, 7, 13), utc(1997, 10, 5, 13)},
       {}},
  };
  for (const auto& c : cases) {
    Series weekly = series("America/New_York", c.rule, start);
    weekly.count = 4;
    EXPECT_EQ(starts(weekly, 0, 1e10), c.firstFour) << c.rule;
    weekly.count.reset();
    EXPECT_EQ(starts(weekly, utc(1997, 8, 18), utc(1997, 8, 25)), c.from18To25August) << c.rule;
  }
}

TEST(RuleText, SplitsAndWritesRules) {
  RecurrenceRule weekdays{Frequency::weekly, 1, {2, 3, 4, 5, 6}, std::nullopt};
  EXPECT_EQ(ruleText(weekdays), "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR");
  EXPECT_EQ(ruleText(RecurrenceRule{Frequency::weekly, 2, {}, std::nullopt}), "FREQ=WEEKLY;INTERVAL=2");
  EXPECT_EQ(ruleText(RecurrenceRule{Frequency::monthly, 1, {}, std::nullopt}), "FREQ=MONTHLY");
  SplitRule split = splitRule("FREQ=DAILY;UNTIL=20261231T000000Z;INTERVAL=2");
  EXPECT_EQ(split.rule, "FREQ=DAILY;INTERVAL=2");
  EXPECT_EQ(split.until, "20261231T000000Z");
  EXPECT_EQ(splitRule("FREQ=DAILY;COUNT=5").count, 5);
  EXPECT_TRUE(ruleIsValid("FREQ=MONTHLY;BYDAY=-1FR"));
  EXPECT_FALSE(ruleIsValid("BOGUS"));
  EXPECT_FALSE(ruleIsValid(""));
}

}  // namespace
}  // namespace calbridge
