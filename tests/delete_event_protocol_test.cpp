// "deleteEvent" against real stores, and the round trip a host makes.
#include "support/bridge.h"

#include <gtest/gtest.h>

namespace calbridge::testing {
namespace {

constexpr double kDay = 86400;
constexpr double kStart = 1796115600;  // Tuesday 1 December 2026, 09:00 UTC

class DeleteEvent : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    grantAccess();
    calendar = defaultCalendar();
  }
  std::string series(const std::string& more = "") const {
    return createEvent(R"("calendar":")" + calendar + R"(","start":1796115600,"end":1796119200,"repeat":"daily")" +
                       more);
  }
  std::string single(double start) const {
    char members[160];
    std::snprintf(members, sizeof members, R"(","start":%.17g,"end":%.17g)", start, start + 600);
    return createEvent(R"("calendar":")" + calendar + members);
  }
  std::string remove(const std::string& uid, const std::string& more = "", std::string cal = "") const {
    if (cal.empty()) cal = calendar;
    return request("deleteEvent", R"({"uid":")" + uid + R"(","calendar":")" + cal + "\"" + more + "}").raw.out;
  }
  std::vector<double> daysOf(const std::string& uid) const {
    std::vector<double> days;
    rapidjson::Document listed = eventsIn(calendar, kStart - kDay, kStart + 10 * kDay);
    for (const auto& r : listed.GetArray()) {
      if (uid == r["uid"].GetString()) days.push_back((r["start"].GetDouble() - kStart) / kDay);
    }
    return days;
  }
  static std::string deleted(int n) { return R"({"ok":true,"data":{"deleted":)" + std::to_string(n) + "}}"; }
  std::string calendar;
};

TEST_F(DeleteEvent, OccurrenceModeRemovesOnlyWhatStartsWithinASecond) {
  using Days = std::vector<double>;
  struct Case {
    const char* name;
    std::string start;  // the "start" member's JSON value
    std::string reply;
    Days left;  // of the first five days
  } cases[] = {
      {"the second occurrence", "1796202000", deleted(1), {0, 2, 3, 4}},
      {"half a second off", "1796202000.5", deleted(1), {0, 2, 3, 4}},
      {"a second off", "1796202001", deleted(0), {0, 1, 2, 3, 4}},
      {"the first", "1796115600", deleted(1), {1, 2, 3, 4}},
      {"between occurrences", "1796160000", deleted(0), {0, 1, 2, 3, 4}},
      {"true reads as 1 second after 1970", "true", deleted(0), {0, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    BridgeFixture fresh;
    fresh.grantAccess();
    std::string cal = fresh.defaultCalendar();
    std::string uid = fresh.createEvent(R"("calendar":")" + cal +
                                        R"(","start":1796115600,"end":1796119200,"repeat":"daily")");
    EXPECT_EQ(fresh.request("deleteEvent", R"({"uid":")" + uid + R"(","calendar":")" + cal + R"(","start":)" +
                                               c.start + "}")
                  .raw.out,
              c.reply)
        << c.name;
    Days left;
    rapidjson::Document listed = fresh.eventsIn(cal, kStart, kStart + 5 * kDay);
    for (const auto& r : listed.GetArray()) {
      left.push_back((r["start"].GetDouble() - kStart) / kDay);
    }
    EXPECT_EQ(left, c.left) << c.name;
  }
}

TEST_F(DeleteEvent, EventModeRemovesTheEventOrTheWholeSeries) {
  std::string daily = series();
  std::string lunch = single(kStart + 3 * 3600);
  std::string other = single(kStart + 4 * 3600);
  // "start" that is not a number means event mode.
  EXPECT_EQ(remove(daily, R"(,"start":"1796202000")"), deleted(1));
  EXPECT_TRUE(daysOf(daily).empty()) << "the series is gone from its first occurrence on";
  EXPECT_EQ(remove(lunch, R"(,"start":null)"), deleted(1));
  EXPECT_TRUE(daysOf(lunch).empty());
  EXPECT_EQ(daysOf(other).size(), 1u);
  // Gone means gone: a second request finds nothing.
  EXPECT_EQ(remove(daily), deleted(0));
}

// A host knows a moved occurrence by where it is now; removing it leaves the
// place it came from empty, and the other changes as they were.
TEST_F(DeleteEvent, MovedOccurrencesAreFoundWhereTheyAreNow) {
  using Days = std::vector<double>;
  const std::string file =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Another Program//EN\r\n"
      "BEGIN:VEVENT\r\nUID:moving\r\nDTSTART:20261201T090000Z\r\nDTEND:20261201T100000Z\r\n"
      "RRULE:FREQ=DAILY;COUNT=5\r\nEND:VEVENT\r\n"
      "BEGIN:VEVENT\r\nUID:moving\r\nRECURRENCE-ID:20261202T090000Z\r\nSUMMARY:later\r\n"
      "DTSTART:20261202T120000Z\r\nDTEND:20261202T130000Z\r\nEND:VEVENT\r\n"
      "BEGIN:VEVENT\r\nUID:moving\r\nRECURRENCE-ID:20261204T090000Z\r\n"
      "DTSTART:20261204T030000Z\r\nDTEND:20261204T040000Z\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  struct Case {
    const char* name;
    std::string more;  // members after "calendar"
    std::string reply;
    Days left;
  } cases[] = {
      {"the moved occurrence at its new start", R"(,"start":1796212800)", deleted(1), {0, 2, 2.75, 4}},
      {"where it was before it moved", R"(,"start":1796202000)", deleted(0), {0, 1.125, 2, 2.75, 4}},
      {"an occurrence beside the changes", R"(,"start":1796115600)", deleted(1), {1.125, 2, 2.75, 4}},
      {"the series", "", deleted(1), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeFixture fresh;
    fresh.grantAccess();
    calendar = fresh.defaultCalendar();
    ASSERT_EQ(fresh.store({"import", "--calendar", calendar, "-"}, file), "3");
    EXPECT_EQ(fresh.request("deleteEvent", R"({"uid":"moving","calendar":")" + calendar + "\"" + c.more + "}").raw.out,
              c.reply);
    Days days;
    rapidjson::Document listed = fresh.eventsIn(calendar, kStart - kDay, kStart + 10 * kDay);
    for (const auto& r : listed.GetArray()) {
      days.push_back((r["start"].GetDouble() - kStart) / kDay);
    }
    EXPECT_EQ(days, c.left);
  }
}

TEST_F(DeleteEvent, OccurrenceModeOnASingleEvent) {
  std::string lunch = single(kStart);
  EXPECT_EQ(remove(lunch, R"(,"start":1796115600.9)"), deleted(1));
  EXPECT_TRUE(daysOf(lunch).empty());
}

TEST_F(DeleteEvent, NothingFoundIsZeroAndBadFieldsAreInvalid) {
  std::string daily = series();
  std::string readOnly = store({"calendar", "add", "--title", "RO"});
  std::string inReadOnly = createEvent(R"("calendar":")" + readOnly + R"(","start":1796115600,"end":1796116600)");
  store({"calendar", "set", readOnly, "--read-only"});
  struct Case {
    const char* name;
    std::string request;
    std::string reply;
  } cases[] = {
      {"unknown uid", R"({"uid":"nobody","calendar":")" + calendar + R"("})", deleted(0)},
      {"another calendar", R"({"uid":")" + daily + R"(","calendar":")" + readOnly + R"("})", deleted(0)},
      {"empty calendar", R"({"uid":")" + daily + R"(","calendar":""})", deleted(0)},
      {"calendar id instead of uid", R"({"uid":")" + calendar + R"(","calendar":")" + calendar + R"("})", deleted(0)},
      {"read-only, event mode", R"({"uid":")" + inReadOnly + R"(","calendar":")" + readOnly + R"("})", deleted(0)},
      {"read-only, occurrence mode",
       R"({"uid":")" + inReadOnly + R"(","calendar":")" + readOnly + R"(","start":1796115600})", deleted(0)},
      {"empty uid", R"({"uid":"","calendar":")" + calendar + R"("})", R"({"ok":false,"error":"invalid"})"},
      {"uid not a string", R"({"uid":5,"calendar":")" + calendar + R"("})", R"({"ok":false,"error":"invalid"})"},
      {"no calendar", R"({"uid":")" + daily + R"("})", R"({"ok":false,"error":"invalid"})"},
      {"calendar not a string", R"({"uid":")" + daily + R"(","calendar":["x"]})", R"({"ok":false,"error":"invalid"})"},
  };
  for (const auto& c : cases) EXPECT_EQ(request("deleteEvent", c.request).raw.out, c.reply) << c.name;
  EXPECT_EQ(daysOf(daily).size(), 10u);
  EXPECT_EQ(eventsIn(readOnly, kStart - 1, kStart + 1).Size(), 1u);
}

TEST_F(DeleteEvent, ALongUidIsCutToAThousandCharactersBeforeTheLookup) {
  std::string uid = single(kStart);
  std::string thousand(1000, 'u');
  sql("UPDATE events SET external_id = '" + thousand + "', external_key = '" + thousand + "'");
  EXPECT_EQ(remove(thousand + "and-more-that-is-cut", R"(,"start":1796115600)"), deleted(1));
}

TEST_F(DeleteEvent, EventsSharingAnIdentifierAreAllFoundByOccurrence) {
  std::string first = single(kStart);
  std::string second = single(kStart + 0.5);
  sql("UPDATE events SET external_id = 'shared', external_key = 'shared'");
  EXPECT_EQ(remove("shared", R"(,"start":1796115600.2)"), deleted(2));
  EXPECT_EQ(eventsIn(calendar, kStart - 1, kStart + 1).Size(), 0u);

  single(kStart);
  single(kStart + 0.5);
  sql("UPDATE events SET external_id = 'shared', external_key = 'shared'");
  EXPECT_EQ(remove("shared"), deleted(1));
  rapidjson::Document left = eventsIn(calendar, kStart - 1, kStart + 1);
  ASSERT_EQ(left.Size(), 1u);
  EXPECT_EQ(left[0]["start"].GetDouble(), kStart + 0.5) << "event mode takes the first the store returns";
}

TEST_F(DeleteEvent, RoundTripOfAHost) {
  std::string standup = series(R"(,"title":"Standup","until":1796547600)");  // six occurrences
  ASSERT_FALSE(standup.empty());
  EXPECT_EQ(daysOf(standup), (std::vector<double>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(remove(standup, R"(,"start":1796288400)"), deleted(1));  // the third
  EXPECT_EQ(daysOf(standup), (std::vector<double>{0, 1, 3, 4, 5}));
  EXPECT_EQ(remove(standup), deleted(1));
  EXPECT_TRUE(daysOf(standup).empty());
}

}  // namespace
}  // namespace calbridge::testing
