// calbridge-store import and export, through the real binaries, and what the
// bridge then shows of the imported events.
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace calbridge::testing {
namespace {

constexpr double kFrom = 1738368000;  // 2025-02-01 UTC
constexpr double kTo = 1769904000;  // 2026-02-01 UTC

std::string crlf(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

// A file as other programs write them: an Outlook zone, IANA zones, UTC and
// floating times, all-day events, and the five repeating shapes the bridge
// makes, each with an end and an excluded occurrence (written in UTC, in the
// event's zone, in another zone or as a date).
const std::string kForeignFile = crlf(R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Another Program//EN
BEGIN:VTIMEZONE
TZID:W. Europe Standard Time
BEGIN:STANDARD
DTSTART:16010101T030000
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:16010101T020000
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3
END:DAYLIGHT
END:VTIMEZONE
BEGIN:VEVENT
UID:single
SUMMARY:Dentist\, Dr. Who; room 4
DTSTART;TZID=America/New_York:20250303T100000
DTEND;TZID=America/New_York:20250303T110000
END:VEVENT
BEGIN:VEVENT
UID:holiday
SUMMARY:Holiday
DTSTART;VALUE=DATE:20250310
DTEND;VALUE=DATE:20250312
END:VEVENT
BEGIN:VEVENT
UID:cancelled
SUMMARY:Called off
STATUS:CANCELLED
DTSTART:20250305T120000Z
DTEND:20250305T130000Z
END:VEVENT
BEGIN:VEVENT
UID:untitled
DTSTART:20250306T120000Z
DURATION:PT45M
END:VEVENT
BEGIN:VEVENT
UID:daily
SUMMARY:Stand-up
DTSTART;TZID=Europe/Berlin:20250317T083000
DTEND;TZID=Europe/Berlin:20250317T084500
RRULE:FREQ=DAILY;UNTIL=20250404T063000Z
EXDATE;TZID=Europe/Berlin:20250321T083000
END:VEVENT
BEGIN:VEVENT
UID:weekdays
SUMMARY:Focus time
DTSTART;TZID=W. Europe Standard Time:20250324T090000
DTEND;TZID=W. Europe Standard Time:20250324T110000
RRULE:FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR;UNTIL=20250411T070000Z
EXDATE:20250401T070000Z
END:VEVENT
BEGIN:VEVENT
UID:weekly
SUMMARY:Choir
STATUS:TENTATIVE
DTSTART:20250304T190000
DTEND:20250304T210000
RRULE:FREQ=WEEKLY;UNTIL=20250506T190000
EXDATE:20250401T190000
END:VEVENT
BEGIN:VEVENT
UID:biweekly
SUMMARY:Review
DTSTART;TZID=America/New_York:20250303T150000
DTEND;TZID=America/New_York:20250303T160000
RRULE:FREQ=WEEKLY;INTERVAL=2;UNTIL=20250616T190000Z
EXDATE;TZID=Asia/Tokyo:20250415T040000
END:VEVENT
BEGIN:VEVENT
UID:monthly
SUMMARY:Rent
DTSTART;VALUE=DATE:20250301
DTEND;VALUE=DATE:20250302
RRULE:FREQ=MONTHLY;UNTIL=20251201
EXDATE;VALUE=DATE:20250601
END:VEVENT
BEGIN:VEVENT
UID:counted
SUMMARY:Course
DTSTART;TZID=Asia/Tokyo:20250305T090000
DTEND;TZID=Asia/Tokyo:20250305T100000
RRULE:FREQ=WEEKLY;COUNT=4
EXDATE;VALUE=DATE:20250312
END:VEVENT
BEGIN:VEVENT
UID:shared
SUMMARY:First of two
DTSTART:20250307T100000Z
DTEND:20250307T110000Z
END:VEVENT
BEGIN:VEVENT
UID:shared
SUMMARY:Second of two
DTSTART:20250307T100000Z
DTEND:20250307T113000Z
END:VEVENT
END:VCALENDAR
)");

class StoreICalendar : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    // Floating times in a file are read in the local zone; the programs started here inherit it.
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "Europe/Berlin", 1);
    grantAccess();
  }
  void TearDown() override {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
  }

  std::string newCalendar(const std::string& title) const { return store({"calendar", "add", "--title", title}); }

  // The bridge's records for the calendar over the test window, without "calendar", in a stable order.
  using Record = std::tuple<double, double, std::string, std::string, bool>;
  std::vector<Record> records(const std::string& calendar) const {
    Envelope reply = request("events", R"({"from":)" + std::to_string(kFrom) + R"(,"to":)" + std::to_string(kTo) +
                                           R"(,"calendars":[")" + calendar + R"("]})");
    EXPECT_TRUE(reply.ok()) << reply.raw.out;
    std::vector<Record> result;
    if (!reply.ok()) return result;
    for (const auto& r : reply.data().GetArray()) {
      result.emplace_back(r["start"].GetDouble(), r["end"].GetDouble(), r["uid"].GetString(), r["title"].GetString(),
                          r["allDay"].GetBool());
    }
    std::sort(result.begin(), result.end());
    return result;
  }

  static std::size_t countOf(const std::vector<Record>& records, const std::string& uid) {
    return std::count_if(records.begin(), records.end(), [&](const Record& r) { return std::get<2>(r) == uid; });
  }

  // An export without what differs between two calendars of equal content.
  static std::string withoutStampAndName(const std::string& text) {
    std::string result;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find("\r\n", at);
      std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at + 2);
      if (line.rfind("DTSTAMP:", 0) != 0 && line.rfind("NAME:", 0) != 0 && line.rfind("X-WR-CALNAME:", 0) != 0) {
        result += line;
      }
      at = end == std::string::npos ? text.size() : end + 2;
    }
    return result;
  }

 private:
  std::optional<std::string> saved_;
};

TEST_F(StoreICalendar, ExportedCalendarImportsToTheSameEvents) {
  std::string first = newCalendar("Imported");
  EXPECT_EQ(store({"import", "--calendar", first, "-"}, kForeignFile), "12");
  // What the bridge made joins what was imported: a series with a skipped occurrence.
  Envelope created = request("createEvent", R"({"calendar":")" + first +
                                                R"(","title":"Swim","start":1744009200,"end":1744012800,)"
                                                R"("repeat":"weekly","until":1746428400,"skip":[1744614000]})");
  ASSERT_TRUE(created.ok()) << created.raw.out;

  std::vector<Record> original = records(first);
  EXPECT_EQ(countOf(original, "cancelled"), 0u);
  EXPECT_EQ(countOf(original, "daily"), 18u);  // 17 March to 4 April, less 21 March
  EXPECT_EQ(countOf(original, "weekdays"), 14u);  // three weeks less 1 April, 07:00 UTC being 09:00 in Berlin
  EXPECT_EQ(countOf(original, "weekly"), 9u);  // ten Tuesdays, less 1 April
  EXPECT_EQ(countOf(original, "biweekly"), 7u);  // eight, less 14 April (15 April in Tokyo)
  EXPECT_EQ(countOf(original, "monthly"), 9u);  // March to December, less June
  EXPECT_EQ(countOf(original, "counted"), 3u);
  EXPECT_EQ(countOf(original, "shared"), 2u);
  EXPECT_EQ(countOf(original, std::string(created.data()["uid"].GetString())), 4u);

  RunResult exported = runStore({"export", "--calendar", first});
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.err, "");
  std::string second = newCalendar("Round trip");
  EXPECT_EQ(store({"import", "--calendar", second, "-"}, exported.out), "13");
  EXPECT_EQ(records(second), original);
  // The file itself is stable: nothing drifts from one trip to the next, not
  // even what the bridge does not show (a cancelled event, a tentative one).
  RunResult again = runStore({"export", "--calendar", second});
  EXPECT_TRUE(withoutStampAndName(again.out) == withoutStampAndName(exported.out)) << again.out;
  // Importing it once more updates what is there: one copy of each event.
  RunResult twice = runStore({"import", "--calendar", second, "-"}, exported.out);
  EXPECT_EQ(twice.status, 0) << twice.err;
  EXPECT_NE(twice.err.find("replaced 13 events stored before under the same UID"), std::string::npos) << twice.err;
  EXPECT_EQ(records(second), original);
}

TEST_F(StoreICalendar, BridgeSeesImportedEventsAsThePersonWould) {
  std::string calendar = defaultCalendar();
  store({"import", "--calendar", calendar, "-"}, kForeignFile);
  Envelope reply = request("events", R"({"from":1741132800,"to":1741737600,"calendars":[")" + calendar + R"("]})");
  ASSERT_TRUE(reply.ok()) << reply.raw.out;
  std::map<std::string, const rapidjson::Value*> byUid;
  for (const auto& r : reply.data().GetArray()) byUid[r["uid"].GetString()] = &r;
  EXPECT_EQ(byUid.count("cancelled"), 0u);
  ASSERT_EQ(byUid.count("untitled"), 1u);
  EXPECT_STREQ((*byUid["untitled"])["title"].GetString(), "");
  EXPECT_EQ((*byUid["untitled"])["end"].GetDouble() - (*byUid["untitled"])["start"].GetDouble(), 2700);
  ASSERT_EQ(byUid.count("holiday"), 1u);
  EXPECT_TRUE((*byUid["holiday"])["allDay"].GetBool());
  // Local midnight in Berlin, two days long.
  EXPECT_EQ((*byUid["holiday"])["start"].GetDouble(), 1741561200);
  EXPECT_EQ((*byUid["holiday"])["end"].GetDouble(), 1741734000);

  // Removing the occurrence at 7 March 10:00 UTC takes both events sharing the UID.
  Envelope deleted =
      request("deleteEvent", R"({"uid":"shared","calendar":")" + calendar + R"(","start":1741341600})");
  ASSERT_TRUE(deleted.ok()) << deleted.raw.out;
  EXPECT_EQ(deleted.data()["deleted"].GetInt(), 2);
  EXPECT_EQ(countOf(records(calendar), "shared"), 0u);
}

TEST_F(StoreICalendar, MalformedFilesAreRefusedAndStoreNothing) {
  std::string calendar = newCalendar("Target");
  std::string binary = "\x7f" "ELF\x02\x01\x01";
  binary += std::string(64, '\0') + "BEGIN:VCALENDAR\r\n";
  std::string secondBroken = kForeignFile;
  secondBroken.replace(secondBroken.find("DTSTART:20250306T120000Z"), 24, "DTSTART:20250306T120000Z\r\nX-NOTE:\xC3(");
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"truncated", kForeignFile.substr(0, kForeignFile.size() / 2)},
      {"not iCalendar", "Dentist on Monday at ten\n"},
      {"binary", binary},
      {"text that is not UTF-8 in the fourth of twelve events", secondBroken},
  };
  for (const auto& c : cases) {
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (fromFile ? " (file)" : " (standard input)"));
      std::string path = dataHome() + "/input.ics";
      std::ofstream(path, std::ios::binary) << c.text;
      RunResult result = fromFile ? runStore({"import", "--calendar", calendar, path})
                                  : runStore({"import", "--calendar", calendar, "-"}, c.text);
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(result.err.rfind("calbridge-store: ", 0), 0u) << result.err;
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
  }
  EXPECT_EQ(store({"export", "--calendar", calendar}).find("BEGIN:VEVENT"), std::string::npos);
  EXPECT_TRUE(records(calendar).empty());

  RunResult unknown = runStore({"import", "--calendar", "no-such-calendar", "-"}, kForeignFile);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.err, "calbridge-store: no calendar with id no-such-calendar\n");
  EXPECT_EQ(runStore({"export", "--calendar", "no-such-calendar"}).status, 1);
}

TEST_F(StoreICalendar, WhatIsLeftOutIsCountedOnStandardError) {
  std::string calendar = newCalendar("Meetings");
  std::string file = crlf(R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Another Program//EN
BEGIN:VEVENT
UID:meeting
SUMMARY:Planning
DTSTART:20250303T090000Z
RRULE:FREQ=WEEKLY;COUNT=4
RDATE:20250320T090000Z
ATTENDEE;CN=Ann:mailto:ann@example.com
ATTENDEE;CN=Bob:mailto:bob@example.com
BEGIN:VALARM
ACTION:DISPLAY
DESCRIPTION:Planning
TRIGGER:-PT10M
END:VALARM
END:VEVENT
BEGIN:VEVENT
UID:meeting
RECURRENCE-ID:20250310T090000Z
SUMMARY:Planning (moved)
DTSTART:20250310T140000Z
END:VEVENT
BEGIN:VTODO
UID:task
SUMMARY:Agenda
END:VTODO
END:VCALENDAR
)");
  RunResult result = runStore({"import", "--calendar", calendar, "-"}, file);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "2\n");
  // Only what a calendar of events cannot hold is left out now.
  EXPECT_EQ(result.err, "calbridge-store: left out 1 to-do\n");
  // Four by the rule, one of them moved, and the extra date.
  EXPECT_EQ(countOf(records(calendar), "meeting"), 5u);

  // Read as other programs read such files, and said so.
  const std::string readable = "BEGIN:VEVENT\r\nUID:fine\r\nDTSTART;TZID=Nowhere:20250303T090000\r\nEND:VEVENT\r\n";
  struct Lenient {
    const char* name;
    std::string file;
    std::string err;
  } lenient[] = {
      {"an event without a start",
       "BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nUID:when\r\nSUMMARY:when?\r\nEND:VEVENT\r\n" + readable + "END:VCALENDAR\r\n",
       "calbridge-store: left out 1 unreadable event\n"
       "calbridge-store: the first unreadable event: event \"when\" has no DTSTART\n"
       "calbridge-store: read the times of 1 time zone with neither a known name nor a VTIMEZONE as floating\n"},
      {"an event without a calendar around it", readable,
       "calbridge-store: read the times of 1 time zone with neither a known name nor a VTIMEZONE as floating\n"
       "calbridge-store: read 1 component written outside a VCALENDAR\n"},
  };
  for (const Lenient& c : lenient) {
    SCOPED_TRACE(c.name);
    std::string target = newCalendar(c.name);
    RunResult read = runStore({"import", "--calendar", target, "-"}, c.file);
    EXPECT_EQ(read.status, 0);
    EXPECT_EQ(read.out, "1\n");
    EXPECT_EQ(read.err, c.err);
    EXPECT_EQ(countOf(records(target), "fine"), 1u);
  }
}

// A removal its text cannot take (a changed occurrence named in a zone only
// the text's VTIMEZONE defines) is refused whole: "failed", and nothing of
// the request happened, in the listing or the text.
TEST_F(StoreICalendar, ARemovalTheTextCannotTakeFails) {
  const std::string file = crlf(R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Another Program//EN
BEGIN:VTIMEZONE
TZID:Somewhere
BEGIN:STANDARD
DTSTART:16010101T000000
TZOFFSETFROM:+0130
TZOFFSETTO:+0130
END:STANDARD
END:VTIMEZONE
BEGIN:VEVENT
UID:daily
DTSTART:20250303T090000Z
RRULE:FREQ=DAILY;COUNT=5
DESCRIPTION:kept
END:VEVENT
BEGIN:VEVENT
UID:daily
RECURRENCE-ID;TZID=Somewhere:20250305T103000
DTSTART:20250305T120000Z
END:VEVENT
END:VCALENDAR
)");
  std::string calendar = newCalendar("Refused");
  store({"import", "--calendar", calendar, "-"}, file);
  auto records0 = records(calendar);
  auto masked = [&] {
    std::string text = store({"export", "--calendar", calendar});
    return text.substr(text.find("BEGIN:VEVENT"));  // past the export's own stamp
  };
  const std::string before = masked();
  Envelope reply = request("deleteEvent", R"({"uid":"daily","calendar":")" + calendar + R"(","start":1741078800})");
  EXPECT_EQ(reply.raw.out, R"({"ok":false,"error":"failed"})");
  EXPECT_EQ(records(calendar), records0);
  EXPECT_EQ(masked(), before);
}

// What the file held beyond what is listed comes back on export, with each
// change the bridge made written into it and nothing else of it changed.
TEST_F(StoreICalendar, ExportKeepsTheFilesTextWithTheChangesMade) {
  const std::string file = crlf(R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Another Program//EN
BEGIN:VEVENT
UID:weekly
SUMMARY:Planning
DTSTART:20250303T090000Z
DTEND:20250303T100000Z
RRULE:FREQ=WEEKLY;COUNT=4
DESCRIPTION:Bring the figures\, all of them
ATTENDEE;CN=Ann:mailto:ann@example.com
X-OTHER-PROGRAM;X-P=1:kept as it came
BEGIN:VALARM
ACTION:DISPLAY
DESCRIPTION:Planning
TRIGGER:-PT10M
END:VALARM
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID:20250310T090000Z
SUMMARY:Planning (moved)
DTSTART:20250310T140000Z
DTEND:20250310T150000Z
END:VEVENT
END:VCALENDAR
)");
  const std::vector<std::string> kept = {"DESCRIPTION:Bring the figures\\, all of them\r\n",
                                         "ATTENDEE;CN=Ann:mailto:ann@example.com\r\n",
                                         "X-OTHER-PROGRAM;X-P=1:kept as it came\r\n", "TRIGGER:-PT10M\r\n"};
  struct Case {
    const char* name;
    const char* start;  // the deleteEvent request's "start" member; "": event mode; null: no request
    std::vector<std::string> present, absent;
  } cases[] = {
      {"as imported", nullptr, {"RECURRENCE-ID:20250310T090000Z\r\n", "RRULE:FREQ=WEEKLY;COUNT=4\r\n"}, {"EXDATE"}},
      {"one occurrence removed", R"(,"start":1742202000)", {"EXDATE:20250317T090000Z\r\n", "SEQUENCE:1\r\n",
       "RECURRENCE-ID:20250310T090000Z\r\n"}, {}},
      {"the moved occurrence removed", R"(,"start":1741615200)", {"EXDATE:20250310T090000Z\r\n"},
       {"RECURRENCE-ID", "Planning (moved)"}},
      {"the whole series removed", "", {}, {"UID:weekly", "DESCRIPTION"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string calendar = newCalendar(c.name);
    store({"import", "--calendar", calendar, "-"}, file);
    if (c.start != nullptr) {
      Envelope reply = request("deleteEvent", R"({"uid":"weekly","calendar":")" + calendar + "\"" + c.start + "}");
      ASSERT_TRUE(reply.ok()) << reply.raw.out;
    }
    std::string exported = store({"export", "--calendar", calendar});
    std::vector<std::string> present = c.present, absent = c.absent;
    auto& texts = c.start != nullptr && *c.start == '\0' ? absent : present;
    texts.insert(texts.end(), kept.begin(), kept.end());
    for (const std::string& line : present) EXPECT_NE(exported.find(line), std::string::npos) << line << exported;
    for (const std::string& line : absent) EXPECT_EQ(exported.find(line), std::string::npos) << line << exported;
    // And read back, it lists what the store listed.
    std::string again = newCalendar(std::string(c.name) + " again");
    store({"import", "--calendar", again, "-"}, exported);
    EXPECT_EQ(records(again), records(calendar));
  }
}

// Imported text is kept no longer than a request could make it: titles 255
// characters (here of two code points each), uids 1000, counted on standard
// error; so are calendar titles given to calbridge-store.
TEST_F(StoreICalendar, LongTextIsCutAtImport) {
  std::string accented;
  for (int i = 0; i < 300; ++i) accented += "e\u0301";
  const std::string longUid(1100, 'u');
  const std::string calendar = newCalendar("Imported");
  RunResult result = runStore({"import", "--calendar", calendar, "-"}, crlf("BEGIN:VCALENDAR\nVERSION:2.0\n"
      "BEGIN:VEVENT\nUID:" + longUid + "\nSUMMARY:" + accented + "\nDTSTART:20250303T090000Z\nEND:VEVENT\n"
      "BEGIN:VEVENT\nUID:short\nSUMMARY:Short\nDTSTART:20250304T090000Z\nEND:VEVENT\nEND:VCALENDAR\n"));
  EXPECT_EQ(result.out, "2\n");
  EXPECT_EQ(result.err, "calbridge-store: cut 1 title to 255 characters, 1 uid to 1000 characters\n");
  auto listed = records(calendar);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(std::get<2>(listed[0]), longUid.substr(0, 1000));
  EXPECT_EQ(std::get<3>(listed[0]), accented.substr(0, 255 * 3));
  EXPECT_EQ(std::get<3>(listed[1]), "Short");
  RunResult titled = runStore({"calendar", "add", "--title", std::string(300, 'c')});
  EXPECT_EQ(titled.err, "calbridge-store: cut the title to 255 characters\n");
  EXPECT_NE(store({"calendars"}).find("\"" + std::string(255, 'c') + "\""), std::string::npos);
}

// A large import leaves the journal small again; a large change by the bridge
// leaves it no larger than the limit once the next change has started it over;
// an ordinary request still keeps the journal file between processes.
TEST_F(StoreICalendar, LargeImportLeavesTheJournalSmall) {
  constexpr int kEvents = 12000;
  std::string file = "BEGIN:VCALENDAR\nVERSION:2.0\n";
  for (int i = 0; i < kEvents; ++i) {
    file += "BEGIN:VEVENT\nUID:event-" + std::to_string(i) + "\nSUMMARY:" + std::string(200, 't') +
            "\nDTSTART:20250303T090000Z\nEND:VEVENT\n";
  }
  const std::string calendar = newCalendar("Large");
  EXPECT_EQ(store({"import", "--calendar", calendar, "-"}, crlf(file + "END:VCALENDAR\n")), std::to_string(kEvents));
  const std::string journal = databasePath() + "-wal";
  EXPECT_LE(std::filesystem::file_size(journal), 4u << 20);
  EXPECT_EQ(records(calendar).size(), static_cast<std::size_t>(kEvents));
  EXPECT_TRUE(request("deleteCalendar", R"({"calendar":")" + calendar + R"("})").ok());
  EXPECT_NE(createEvent(R"("calendar":")" + defaultCalendar() + R"(","start":1741000000,"end":1741003600)"), "");
  EXPECT_TRUE(std::filesystem::exists(journal));
  EXPECT_LE(std::filesystem::file_size(journal), 4u << 20);
}

}  // namespace
}  // namespace calbridge::testing
