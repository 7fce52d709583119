// What a store holds never crashes, stalls or fails a listing: series with far
// more occurrences than a reply may hold, rules that name no date or cannot be
// read, and events made under a local zone given as a POSIX TZ rule.
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace calbridge::testing {
namespace {

constexpr double kDay = 86400;
constexpr double kJanuary2026 = 1767225600;  // 2026-01-01 00:00 UTC
constexpr double kWidestWindow = 38880000;

std::string calendarFile(const std::string& events) {
  std::string text = "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//EN\n" + events + "END:VCALENDAR\n";
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

std::string vevent(const std::string& uid, const std::string& start, const std::string& end, const std::string& rule) {
  return "BEGIN:VEVENT\nUID:" + uid + "\nDTSTART:" + start + "\nDTEND:" + end + "\n" +
         (rule.empty() ? "" : "RRULE:" + rule + "\n") + "END:VEVENT\n";
}

class Listing : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    grantAccess();
    calendar = defaultCalendar();
  }
  std::string window(double from, double to) const {
    return R"({"from":)" + number(from) + R"(,"to":)" + number(to) + R"(,"calendars":[")" + calendar + R"("]})";
  }
  std::string calendar;
};

TEST_F(Listing, SeriesOfEverySecondAndMinuteListTheirFirstRecordsWithinAMemoryLimit) {
#ifdef CALBRIDGE_EVENTKIT_SIMULATOR
  GTEST_SKIP() << "EventKit has no rule by the second or the minute, and answers a query with every occurrence "
                  "of the window at once";
#endif
  std::string events = vevent("every-second", "20260101T000000Z", "20260101T000001Z", "FREQ=SECONDLY") +
                       vevent("every-minute", "20260101T000000Z", "20260101T000030Z", "FREQ=MINUTELY");
  for (int i = 0; i < 50; ++i) {
    events += vevent("daily-" + std::to_string(i), "20260101T080000Z", "20260101T083000Z", "FREQ=DAILY");
  }
  store({"import", "--calendar", calendar, "-"}, calendarFile(events));
  // Expanding the whole window would take 39 million occurrences and gigabytes.
  std::vector<std::string> argv{"/usr/bin/prlimit", "--as=1073741824", bridgeBinary(), "events"};  // util-linux
#if defined(__SANITIZE_ADDRESS__)
  argv = {bridgeBinary(), "events"};  // AddressSanitizer reserves more address space than any such limit
#endif
  RunOptions options;
  options.input = window(kJanuary2026, kJanuary2026 + kWidestWindow);
  options.environment = environment();
  RunResult result = runProgram(argv, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  rapidjson::Document reply;
  reply.Parse(result.out.c_str());
  ASSERT_TRUE(reply.IsObject() && reply["ok"].IsTrue()) << result.out.substr(0, 200);
  const auto& records = reply["data"];
  ASSERT_EQ(records.Size(), 20000u);
  // In order of start, then end: each minute's own record right after that second's.
  std::size_t minutes = 0;
  for (rapidjson::SizeType i = 0; i < records.Size(); ++i) {
    double start = records[i]["start"].GetDouble();
    if (i > 0) {
      ASSERT_LE(records[i - 1]["start"].GetDouble(), start) << i;
    }
    if (std::string(records[i]["uid"].GetString()) == "every-minute") {
      ++minutes;
      ASSERT_EQ(std::string(records[i - 1]["uid"].GetString()), "every-second") << i;
      ASSERT_EQ(records[i - 1]["start"].GetDouble(), start) << i;
    }
  }
  EXPECT_EQ(minutes, 328u);  // 19,672 seconds and 328 minute marks make the 20,000
}

// RFC 5545: DTSTART is always the first occurrence, and dates a rule names
// that do not exist are ignored; a rule that cannot be read at all is refused
// at import and, if stored anyway, left out of the listing alone.
TEST_F(Listing, RulesThatNameNoDateOrCannotBeReadNeverFailAListing) {
  struct Case {
    const char* rule;
    bool imported;
    long listed;  // occurrences in 2026
  } cases[] = {
      {"FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30", true, 1},
      {"FREQ=YEARLY;BYMONTH=4,6;BYMONTHDAY=31;COUNT=5", true, 1},
      {"FREQ=MONTHLY;BYMONTHDAY=15", true, 12},
      {"FREQ=WEEKLY;BYMONTHDAY=1", false, 0},
      {"FREQ=DAILY;BYYEARDAY=100", false, 0},
      {"FREQ=WEEKLY;BYDAY=2MO", false, 0},
  };
  int uid = 0;
  for (const Case& c : cases) {
    std::string file = calendarFile(vevent("rule-" + std::to_string(uid++), "20260115T090000Z", "20260115T100000Z", c.rule));
    RunResult imported = runStore({"import", "--calendar", calendar, "-"}, file);
    EXPECT_EQ(imported.status, c.imported ? 0 : 1) << c.rule << ": " << imported.err;
  }
  store({"import", "--calendar", calendar, "-"},
        calendarFile(vevent("unreadable", "20260110T090000Z", "20260110T100000Z", "FREQ=DAILY") +
                     vevent("single", "20260301T090000Z", "20260301T100000Z", "")));
  sql("UPDATE events SET rule = 'FREQ=FORTNIGHTLY' WHERE external_id = 'unreadable'");
  Envelope reply = request("events", window(kJanuary2026, kJanuary2026 + 365 * kDay));
  ASSERT_TRUE(reply.ok()) << reply.raw.out;
  auto listed = [&](const std::string& uid) {
    return std::count_if(reply.data().Begin(), reply.data().End(),
                         [&](const rapidjson::Value& r) { return uid == r["uid"].GetString(); });
  };
  uid = 0;
  for (const Case& c : cases) EXPECT_EQ(listed("rule-" + std::to_string(uid++)), c.listed) << c.rule;
  EXPECT_EQ(listed("unreadable"), 0);
  EXPECT_EQ(listed("single"), 1);
}

// A weekly 09:00 series made under each TZ stays at 09:00 local time in winter
// and summer, whatever zone the listing process is in.
TEST_F(Listing, LocalZonesGivenAsPosixRulesKeepTheirLocalTime) {
  struct Case {
    const char* tz;
    double winterHours, summerHours;  // east of UTC
  } cases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", -5, -4},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1, 2},
      {":Europe/Berlin", 1, 2},
      {"UTC0", 0, 0},
      {"<+0330>-3:30", 3.5, 3.5},
  };
  const double tuesdayJanuary6 = kJanuary2026 + 5 * kDay + 9 * 3600;  // as if in UTC
  const double tuesdayJuly7 = tuesdayJanuary6 + 26 * 7 * kDay;
  const double tuesdayDecember1 = tuesdayJanuary6 + 47 * 7 * kDay;
  for (const Case& c : cases) {
    std::map<std::string, std::optional<std::string>> zone{{"TZ", c.tz}};
    const double start = tuesdayJanuary6 - c.winterHours * 3600;
    std::string uid = createEvent(R"("calendar":")" + calendar + R"(","start":)" + number(start) + R"(,"end":)" +
                                      number(start + 3600) + R"(,"repeat":"weekly")",
                                  zone);
    ASSERT_FALSE(uid.empty()) << c.tz;
    for (double local : {tuesdayJuly7 - c.summerHours * 3600, tuesdayDecember1 - c.winterHours * 3600}) {
      Envelope reply = request("events", window(local - 3600, local + 3600), {{"TZ", "Asia/Tokyo"}});
      ASSERT_TRUE(reply.ok()) << reply.raw.out;
      std::vector<double> starts;
      for (const auto& r : reply.data().GetArray()) {
        if (uid == r["uid"].GetString()) starts.push_back(r["start"].GetDouble());
      }
      EXPECT_EQ(starts, std::vector<double>{local}) << c.tz;
    }
  }
}

}  // namespace
}  // namespace calbridge::testing
