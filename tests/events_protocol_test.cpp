// "events" and "createEvent" against real stores.
#include "support/bridge.h"

#include <gtest/gtest.h>

namespace calbridge::testing {
namespace {

constexpr char kInvalid[] = R"({"ok":false,"error":"invalid"})";
constexpr double kDay = 86400;
// Tuesday 1 December 2026, 09:00 UTC.
constexpr double kStart = 1796115600;

class Events : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    grantAccess();
    calendar = defaultCalendar();
  }
  std::string at(double start, double end, const std::string& more = "") const {
    char times[96];
    std::snprintf(times, sizeof times, R"(","start":%.17g,"end":%.17g)", start, end);
    return R"("calendar":")" + calendar + times + more;
  }
  std::string calendar;
};

TEST_F(Events, WindowAndCalendarListBoundaries) {
  std::string ids500, ids501;
  for (int i = 0; i < 501; ++i) {
    (i < 500 ? ids500 : ids501) += std::string(i ? "," : "") + "\"" + calendar + "\"";
  }
  ids501 = ids500 + ids501;
  const std::string one = "[\"" + calendar + "\"]";
  struct Case {
    const char* name;
    std::string request;
    bool ok;
  } cases[] = {
      {"from equal to to", R"({"from":5,"to":5,"calendars":)" + one + "}", false},
      {"from after to", R"({"from":6,"to":5,"calendars":)" + one + "}", false},
      {"exactly 450 days", R"({"from":0,"to":38880000,"calendars":)" + one + "}", true},
      {"half a second more", R"({"from":0,"to":38880000.5,"calendars":)" + one + "}", false},
      {"fractions used as sent", R"({"from":0.25,"to":38880000.25,"calendars":)" + one + "}", true},
      {"500 copies of one id", R"({"from":0,"to":1,"calendars":[)" + ids500 + "]}", true},
      {"501 copies", R"({"from":0,"to":1,"calendars":[)" + ids501 + "]}", false},
      {"a number among the ids", R"({"from":0,"to":1,"calendars":[")" + calendar + R"(",7]})", false},
      {"digits as a string", R"({"from":"0","to":1,"calendars":)" + one + "}", false},
      {"true and false as numbers", R"({"from":false,"to":true,"calendars":)" + one + "}", true},
      {"no calendars", R"({"from":0,"to":1})", false},
      {"calendars not a list", R"({"from":0,"to":1,"calendars":")" + calendar + "\"}", false},
      {"empty list", R"({"from":0,"to":1,"calendars":[]})", true},
      {"no to", R"({"from":0,"calendars":[]})", false},
      {"huge values", R"({"from":-1.7e308,"to":1.7e308,"calendars":[]})", false},
  };
  for (const auto& c : cases) {
    Envelope reply = request("events", c.request);
    EXPECT_EQ(reply.ok(), c.ok) << c.name << ": " << reply.raw.out;
    if (!c.ok) {
      EXPECT_EQ(reply.raw.out, kInvalid) << c.name;
    }
  }
  EXPECT_EQ(request("events", R"({"from":0,"to":1,"calendars":["nothing","here"]})").raw.out,
            R"({"ok":true,"data":[]})");
}

TEST_F(Events, SeveralCalendarsListTogetherInOrderOfStart) {
  // Each calendar's occurrences interleave with the other's, so a listing
  // that went calendar by calendar would show.
  const std::string other = store({"calendar", "add", "--title", "Other"});
  const std::string mine = calendar;
  ASSERT_FALSE(createEvent(at(kStart, kStart + 600, R"(,"repeat":"daily")")).empty());
  calendar = other;
  ASSERT_FALSE(createEvent(at(kStart - 3600, kStart - 3000, R"(,"repeat":"daily")")).empty());
  ASSERT_FALSE(createEvent(at(kStart + 2 * kDay + 60, kStart + 2 * kDay + 120)).empty());
  Envelope reply = request("events", R"({"from":)" + number(kStart - kDay) + R"(,"to":)" + number(kStart + 3 * kDay - 7200) +
                                         R"(,"calendars":[")" + mine + R"(",")" + other + R"("]})");
  ASSERT_TRUE(reply.ok()) << reply.raw.out;
  std::vector<std::pair<double, std::string>> listed;
  for (const auto& r : reply.data().GetArray()) listed.emplace_back(r["start"].GetDouble(), r["calendar"].GetString());
  const std::vector<std::pair<double, std::string>> expected = {
      {kStart - 3600, other}, {kStart, mine},           {kStart + kDay - 3600, other},       {kStart + kDay, mine},
      {kStart + 2 * kDay - 3600, other}, {kStart + 2 * kDay, mine}, {kStart + 2 * kDay + 60, other}};
  EXPECT_EQ(listed, expected);
}

TEST_F(Events, SeriesListOneRecordPerOccurrence) {
  struct Case {
    const char* repeat;
    std::vector<double> days;  // occurrence starts in the first ten days, in days after the first
    std::size_t in70Days;
  } cases[] = {
      {"daily", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 70},
      {"weekdays", {0, 1, 2, 3, 6, 7, 8, 9}, 50},  // Tuesday to Friday, then Monday on
      {"weekly", {0, 7}, 10},
      {"biweekly", {0}, 5},
      {"monthly", {0}, 3},  // 1 December, 1 January, 1 February
  };
  for (const auto& c : cases) {
    std::string uid = createEvent(at(kStart, kStart + 1800, std::string(R"(,"title":"T","repeat":")") + c.repeat + "\""));
    ASSERT_FALSE(uid.empty()) << c.repeat;
    std::vector<double> starts;
    rapidjson::Document listed = eventsIn(calendar, kStart - 1, kStart + 10 * kDay - 1);
    for (const auto& r : listed.GetArray()) {
      if (uid != r["uid"].GetString()) continue;
      starts.push_back((r["start"].GetDouble() - kStart) / kDay);
      EXPECT_EQ(r["end"].GetDouble() - r["start"].GetDouble(), 1800) << c.repeat;
      EXPECT_STREQ(r["title"].GetString(), "T");
      EXPECT_FALSE(r["allDay"].GetBool());
      EXPECT_EQ(r["calendar"].GetString(), calendar);
    }
    EXPECT_EQ(starts, c.days) << c.repeat;
    std::size_t count = 0;
    rapidjson::Document longer = eventsIn(calendar, kStart, kStart + 70 * kDay);
    for (const auto& r : longer.GetArray()) count += uid == r["uid"].GetString();
    EXPECT_EQ(count, c.in70Days) << c.repeat;
  }
}

TEST_F(Events, ASeriesKeepsItsLocalTimeAcrossDaylightSaving) {
  std::map<std::string, std::optional<std::string>> berlin{{"TZ", "Europe/Berlin"}};
  // 09:00 in Berlin on Friday 27 March 2026; clocks go forward on the 29th.
  const double friday = 1774598400;
  std::string uid = createEvent(at(friday, friday + 3600, R"(,"repeat":"daily")"), berlin);
  ASSERT_FALSE(uid.empty());
  // Listed from a process in another zone: the series follows its own zone.
  std::vector<double> starts = startsIn(calendar, friday, friday + 4 * kDay);
  EXPECT_EQ(starts, (std::vector<double>{friday, friday + kDay, friday + 2 * kDay - 3600, friday + 3 * kDay - 3600,
                                         friday + 4 * kDay - 3600}));
}

TEST_F(Events, CreateRefusesOutOfRangeAndStoresNothing) {
  std::string readOnly = store({"calendar", "add", "--title", "RO", "--read-only"});
  struct Case {
    const char* name;
    std::string members;
  } cases[] = {
      {"end equal to start", at(kStart, kStart)},
      {"end before start", at(kStart, kStart - 1)},
      {"one second over a day", at(kStart, kStart + 86401)},
      {"start as digits", R"("calendar":")" + calendar + R"(","start":"1796115600","end":1796119200)"},
      {"no end", R"("calendar":")" + calendar + R"(","start":1796115600)"},
      {"unknown calendar", R"("calendar":"nope","start":0,"end":1)"},
      {"calendar not a string", R"("calendar":5,"start":0,"end":1)"},
      {"read-only calendar", R"("calendar":")" + readOnly + R"(","start":0,"end":1)"},
      {"repeat in capitals", at(kStart, kStart + 60, R"(,"repeat":"Daily")")},
      {"repeat with a space", at(kStart, kStart + 60, R"(,"repeat":"daily ")")},
      {"unknown repeat", at(kStart, kStart + 60, R"(,"repeat":"yearly")")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(request("createEvent", "{" + c.members + "}").raw.out, kInvalid) << c.name;
  }
  EXPECT_EQ(eventsIn(calendar, kStart - 10 * kDay, kStart + 300 * kDay).Size(), 0u);
  EXPECT_EQ(eventsIn(readOnly, 0, 100).Size(), 0u);
  EXPECT_FALSE(createEvent(at(kStart, kStart + 86400)).empty()) << "exactly a day is accepted";
}

TEST_F(Events, TitlesAreCutOrTakenFromTheCalendar) {
  std::string long300;
  for (int i = 0; i < 300; ++i) long300 += "\U0001F1E9\U0001F1EA";  // 300 flags, each one character
  // Longer than calbridge-store or "createCalendar" would keep it: as another program may have named it.
  sql("UPDATE calendars SET title = '" + std::string(300, 'C') + "' WHERE identifier = '" + calendar + "'");
  struct Case {
    const char* name;
    std::string title;  // JSON for the member, or empty for none
    std::string stored;
  } cases[] = {
      {"300 characters", "\"" + long300 + "\"", long300.substr(0, 255 * 8)},
      {"missing: the calendar's whole title", "", std::string(300, 'C')},
      {"empty: the calendar's title", "\"\"", std::string(300, 'C')},
      {"not a string", "17", std::string(300, 'C')},
      {"control and direction marks kept", "\"a\\u0007\\u202Eb\\n\"", "a\x07\u202E" "b\n"},
  };
  double start = kStart;
  for (const auto& c : cases) {
    start += kDay;
    std::string members = at(start, start + 60, c.title.empty() ? "" : R"(,"title":)" + c.title);
    ASSERT_FALSE(createEvent(members).empty()) << c.name;
    rapidjson::Document data = eventsIn(calendar, start, start + 1);
    ASSERT_EQ(data.Size(), 1u) << c.name;
    EXPECT_EQ(data[0]["title"].GetString(), c.stored) << c.name;
  }
  // An event another program stored without a title lists with "".
  sql("UPDATE events SET title = NULL");
  EXPECT_STREQ(eventsIn(calendar, kStart, kStart + 2 * kDay)[0]["title"].GetString(), "");
}

TEST_F(Events, UntilEndsTheSeriesOnlyWhenNotBeforeTheStart) {
  struct Case {
    const char* name;
    std::string until;
    std::size_t occurrencesIn30Days;
  } cases[] = {
      {"until before start: no end", R"(,"until":1796115599)", 30},
      {"until equal to start: one", R"(,"until":1796115600)", 1},
      {"until at the third", R"(,"until":1796288400)", 3},
      {"until a string: no end", R"(,"until":"1796288400")", 30},
  };
  for (const auto& c : cases) {
    std::string uid = createEvent(at(kStart, kStart + 60, R"(,"repeat":"daily")" + c.until));
    ASSERT_FALSE(uid.empty()) << c.name;
    std::size_t count = 0;
    rapidjson::Document listed = eventsIn(calendar, kStart, kStart + 30 * kDay);
    for (const auto& r : listed.GetArray()) count += uid == r["uid"].GetString();
    EXPECT_EQ(count, c.occurrencesIn30Days) << c.name;
  }
}

TEST_F(Events, SkipsRemoveTheNearOccurrencesOfTheNewSeriesOnly) {
  struct Case {
    const char* name;
    std::string skip;
    std::vector<double> removedDays;
  } cases[] = {
      {"the second occurrence", "[1796202000]", {1}},
      {"half a second off", "[1796202000.5]", {1}},
      {"a second off", "[1796202001, 1796201999]", {}},
      {"several, unordered, repeated", "[1796374800, 1796202000, 1796202000]", {1, 3}},
      {"a string among them", "[1796202000, \"1796374800\"]", {}},
      {"not finite", "[9e308, 1796202000]", {1}},
  };
  for (const auto& c : cases) {
    BridgeFixture fresh;
    fresh.grantAccess();
    std::string cal = fresh.defaultCalendar();
    // Another event starting exactly at a skipped start stays.
    ASSERT_FALSE(fresh.createEvent(R"("calendar":")" + cal + R"(","start":1796202000,"end":1796202060)").empty());
    std::string uid = fresh.createEvent(R"("calendar":")" + cal +
                                        R"(","start":1796115600,"end":1796115660,"repeat":"daily","skip":)" + c.skip);
    ASSERT_FALSE(uid.empty()) << c.name;
    std::vector<double> present;
    int others = 0;
    rapidjson::Document listed = fresh.eventsIn(cal, kStart, kStart + 5 * kDay);
    for (const auto& r : listed.GetArray()) {
      if (uid == r["uid"].GetString()) present.push_back((r["start"].GetDouble() - kStart) / kDay);
      else ++others;
    }
    std::vector<double> expected;
    for (double d = 0; d < 5; ++d) {
      if (std::find(c.removedDays.begin(), c.removedDays.end(), d) == c.removedDays.end()) expected.push_back(d);
    }
    EXPECT_EQ(present, expected) << c.name;
    EXPECT_EQ(others, 1) << c.name;
  }
}

TEST_F(Events, AThousandSkipsAreUsedAndOneMoreIgnoresThemAll) {
  auto skipping = [&](int count) {
    std::string list;
    for (int i = 0; i < count; ++i) {
      list += std::string(i ? "," : "") + std::to_string(static_cast<long long>(kStart + (i % 400) * kDay));
    }
    return list;
  };
  std::string used = createEvent(at(kStart, kStart + 60, R"(,"repeat":"daily","skip":[)" + skipping(1000) + "]"));
  std::string ignored = createEvent(at(kStart, kStart + 60, R"(,"repeat":"daily","skip":[)" + skipping(1001) + "]"));
  ASSERT_FALSE(used.empty());
  ASSERT_FALSE(ignored.empty());
  std::size_t usedLeft = 0, ignoredLeft = 0;
  rapidjson::Document listed = eventsIn(calendar, kStart, kStart + 450 * kDay);
  for (const auto& r : listed.GetArray()) {
    usedLeft += used == r["uid"].GetString();
    ignoredLeft += ignored == r["uid"].GetString();
  }
  EXPECT_EQ(usedLeft, 50u);
  EXPECT_EQ(ignoredLeft, 450u);
}

}  // namespace
}  // namespace calbridge::testing
