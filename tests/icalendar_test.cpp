// Calendar files in and out, in process: where times land, what is refused,
// what is counted as left out, and the shape of what is written.
#include "ical/icalendar.h"
#include "ical/zone_names.h"

#include <gtest/gtest.h>
#include <libical/ical.h>

#include <cstdlib>
#include <random>
#include <set>

namespace calbridge {
namespace {

// Lines joined with CRLF, wrapped in one VCALENDAR.
std::string calendarOf(const std::vector<std::string>& lines) {
  std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
  for (const auto& line : lines) text += line + "\r\n";
  return text + "END:VCALENDAR\r\n";
}

// A VTIMEZONE with the European Union's rules between the two offsets, as Outlook writes one.
std::vector<std::string> definition(const std::string& tzid, const std::string& standard, const std::string& daylight,
                                    const std::vector<std::string>& extra = {}) {
  std::vector<std::string> lines{"BEGIN:VTIMEZONE", "TZID:" + tzid};
  lines.insert(lines.end(), extra.begin(), extra.end());
  std::vector<std::string> rest{
      "BEGIN:STANDARD", "DTSTART:16010101T030000", "TZOFFSETFROM:" + daylight, "TZOFFSETTO:" + standard,
      "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10", "END:STANDARD", "BEGIN:DAYLIGHT", "DTSTART:16010101T020000",
      "TZOFFSETFROM:" + standard, "TZOFFSETTO:" + daylight, "RRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3", "END:DAYLIGHT",
      "END:VTIMEZONE"};
  lines.insert(lines.end(), rest.begin(), rest.end());
  return lines;
}

std::vector<std::string> event(const std::vector<std::string>& properties) {
  std::vector<std::string> lines{"BEGIN:VEVENT", "UID:e"};
  lines.insert(lines.end(), properties.begin(), properties.end());
  lines.push_back("END:VEVENT");
  return lines;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Floating times are read in the local zone: pin it.
class ICalendar : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", "America/New_York", 1);
  }
  void TearDown() override {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
  }
  std::optional<std::string> saved_;
};

TEST_F(ICalendar, TimesLandInTheZoneTheFileMeans) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    double start;
    double end;
    std::optional<std::string> zone;
  } cases[] = {
      {"UTC", event({"DTSTART:20240304T090000Z", "DTEND:20240304T100000Z"}), 1709542800, 1709546400, "UTC"},
      {"IANA name", event({"DTSTART;TZID=Europe/Berlin:20240304T090000", "DTEND;TZID=Europe/Berlin:20240304T100000"}),
       1709539200, 1709542800, "Europe/Berlin"},
      // Floating: wall seconds, whoever reads the file; the zone of whoever looks applies.
      {"floating", event({"DTSTART:20240304T090000", "DTEND:20240304T093000"}), 1709542800, 1709544600,
       std::nullopt},
      // A definition no zone follows is what its TZID means: +05:17 until the last Sunday of March.
      {"definition that follows no zone", definition("Odd", "+0517", "+0617") +
                                              event({"DTSTART;TZID=Odd:20240304T090000"}),
       1709523780, 1709523780, "ics:Odd#"},
      {"prefixed name without a definition",
       event({"DTSTART;TZID=/mozilla.org/20050126_1/Europe/Berlin:20240304T090000"}), 1709539200, 1709539200,
       "Europe/Berlin"},
      {"Windows name", definition("W. Europe Standard Time", "+0100", "+0200") +
                           event({"DTSTART;TZID=W. Europe Standard Time:20240304T090000"}),
       1709539200, 1709539200, "Europe/Berlin"},
      {"X-LIC-LOCATION", definition("My zone", "+0900", "+0900", {"X-LIC-LOCATION:Asia/Tokyo"}) +
                             event({"DTSTART;TZID=My zone:20240304T090000"}),
       1709510400, 1709510400, "Asia/Tokyo"},
      // No name to go by: only the offsets and their changes in the events' years tell the zone.
      {"definition only", {"BEGIN:VTIMEZONE", "TZID:Island time", "BEGIN:STANDARD", "DTSTART:16010101T020000",
                           "TZOFFSETFROM:-0230", "TZOFFSETTO:-0330", "RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11",
                           "END:STANDARD", "BEGIN:DAYLIGHT", "DTSTART:16010101T020000", "TZOFFSETFROM:-0330",
                           "TZOFFSETTO:-0230", "RRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3", "END:DAYLIGHT",
                           "END:VTIMEZONE", "BEGIN:VEVENT", "UID:e", "DTSTART;TZID=Island time:20240304T090000",
                           "DTEND;TZID=Island time:20240704T090000", "END:VEVENT"},
       1709555400, 1720092600, "America/St_Johns"},
      {"end in another zone", event({"DTSTART;TZID=Europe/Berlin:20240304T090000",
                                     "DTEND;TZID=America/New_York:20240304T040000"}),
       1709539200, 1709542800, "Europe/Berlin"},
      {"a day of DURATION keeps the wall time across a clock change",
       event({"DTSTART;TZID=Europe/Berlin:20240330T120000", "DURATION:P1D"}), 1711796400, 1711879200,
       "Europe/Berlin"},
      {"24 hours of DURATION are exact", event({"DTSTART;TZID=Europe/Berlin:20240330T120000", "DURATION:PT24H"}),
       1711796400, 1711796400 + 86400, "Europe/Berlin"},
      {"all-day without an end lasts a day", event({"DTSTART;VALUE=DATE:20240510"}), 1715299200, 1715385600,
       std::nullopt},
      {"all-day over three days", event({"DTSTART;VALUE=DATE:20240510", "DTEND;VALUE=DATE:20240513"}), 1715299200,
       1715299200 + 3 * 86400, std::nullopt},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(calendarOf(c.lines), zones);
    ASSERT_EQ(parsed.error, "") << c.name;
    ASSERT_EQ(parsed.events.size(), 1u) << c.name;
    const StoredEvent& e = parsed.events[0];
    EXPECT_EQ(e.start, c.start) << c.name;
    EXPECT_EQ(e.end, c.end) << c.name;
    if (c.zone && c.zone->starts_with("ics:")) {
      // A defined zone's name ends in a digest of its changes.
      EXPECT_EQ(e.timeZone.value_or("").rfind(*c.zone, 0), 0u) << c.name;
    } else {
      EXPECT_EQ(e.timeZone, c.zone) << c.name;
    }
    EXPECT_EQ(e.allDay, std::string_view(c.name).starts_with("all-day")) << c.name;
  }
}

TEST_F(ICalendar, MalformedFilesAreRefusedWhole) {
  const std::string good = calendarOf(event({"DTSTART:20240304T090000Z", "SUMMARY:fine"}));
  std::string binary(512, '\0');
  std::mt19937 random(7);
  for (char& c : binary) c = static_cast<char>(random());
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"plain text", "Meeting at nine\r\n"},
      {"binary", binary},
      {"a VCARD", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Someone\r\nEND:VCARD\r\n"},
      {"text after the calendar", good + "trailing words\r\n"},
      {"END closes the wrong component", calendarOf({"BEGIN:VEVENT", "DTSTART:20240304T090000Z", "END:VTODO"})},
      {"unknown TZID with a VTIMEZONE that cannot be read",
       calendarOf(std::vector<std::string>{"BEGIN:VTIMEZONE", "TZID:Mars/Olympus_Mons", "END:VTIMEZONE"} +
                  event({"DTSTART;TZID=Mars/Olympus_Mons:20240304T090000"}))},
      {"no DTSTART", calendarOf(event({"SUMMARY:when?"}))},
      {"no such day", calendarOf(event({"DTSTART:20240230T090000Z"}))},
      {"invalid UTF-8 in a title", calendarOf(event({"DTSTART:20240304T090000Z", "SUMMARY:caf\xC3("}))},
      {"RRULE that does not parse", calendarOf(event({"DTSTART:20240304T090000Z", "RRULE:FREQ=FORTNIGHTLY"}))},
      {"RRULE with UNTIL and COUNT", calendarOf(event({"DTSTART:20240304T090000Z",
                                                      "RRULE:FREQ=DAILY;COUNT=2;UNTIL=20240310T000000Z"}))},
      {"DTSTART that does not parse", calendarOf(event({"DTSTART:20240304T0900", "SUMMARY:when?"}))},
      {"a repaired value", calendarOf(event({"DTSTART:20240304T090000Z", "DTEND:tomorrow"}))},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(c.text, zones);
    EXPECT_NE(parsed.error, "") << c.name;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << c.name;
    EXPECT_TRUE(parsed.events.empty()) << c.name;
  }
  // Cut anywhere before its last line, a good file is no file.
  const std::size_t lastLine = good.rfind("END:VCALENDAR");
  ZoneCache zones;
  for (std::size_t length = 0; length < lastLine; ++length) {
    EXPECT_NE(parseICalendar(good.substr(0, length), zones).error, "") << "cut at " << length;
  }
  EXPECT_EQ(parseICalendar(good, zones).error, "");
}

// What other programs read despite a fault is read, and the fault counted:
// the event keeps its start and a length it can have.
TEST_F(ICalendar, FaultsThatLeaveAUsableStartAreReadAndCounted) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    double end;
  } cases[] = {
      {"end before start", event({"DTSTART:20240304T090000Z", "DTEND:20240304T080000Z"}), 1709542800},
      {"negative duration", event({"DTSTART:20240304T090000Z", "DURATION:-PT1H"}), 1709542800},
      {"DTEND and DURATION", event({"DTSTART:20240304T090000Z", "DTEND:20240304T100000Z", "DURATION:PT2H"}),
       1709546400},
      {"a value cut loose by folding", event({"DTSTART:20240304T090000Z", "DTEND:20240304T100000Z",
                                              "ORGANIZER;CN=Ann", "Lee:mailto:ann@example.com"}),
       1709546400},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(calendarOf(c.lines), zones);
    ASSERT_EQ(parsed.error, "") << c.name;
    ASSERT_EQ(parsed.events.size(), 1u) << c.name;
    EXPECT_EQ(parsed.events[0].start, 1709542800) << c.name;
    EXPECT_EQ(parsed.events[0].end, c.end) << c.name;
    EXPECT_GE(parsed.leftOut.unreadableValues, 1) << c.name;
  }
}

// What other programs read is read: an event that cannot be read is left out
// and counted beside those that can; times in a zone nothing defines float;
// components written without a calendar around them are one; one event
// written twice is one.
TEST_F(ICalendar, FilesOtherProgramsReadAreRead) {
  const std::vector<std::string> fine = {"BEGIN:VEVENT", "UID:fine", "DTSTART:20240304T090000Z", "SUMMARY:fine",
                                         "END:VEVENT"};
  auto joined = [](const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
  };
  struct Case {
    const char* name;
    std::string text;
    std::size_t events;
    int unreadable, unknownZones, bare, copies;
    std::string title;  // of the first event
  } cases[] = {
      {"an event without DTSTART beside one with", calendarOf(event({"SUMMARY:when?"}) + fine), 1, 1, 0, 0, 0, "fine"},
      {"a DTSTART libical cannot parse", calendarOf(event({"DTSTART:INVALID-DATE"}) + fine), 1, 1, 0, 0, 0, "fine"},
      {"a DTEND libical cannot parse", calendarOf(event({"DTSTART:20240304T090000Z", "DTEND:19970701T1100000Z"}) + fine),
       1, 1, 0, 0, 0, "fine"},
      {"an RRULE that does not parse", calendarOf(event({"DTSTART:20240304T090000Z", "RRULE:FREQ=SOMETIMES"}) + fine),
       1, 1, 0, 0, 0, "fine"},
      {"a time past the year 9999", calendarOf(event({"DTSTART:20240304T090000Z", "DURATION:P9999999D"}) + fine), 1, 1,
       0, 0, 0, "fine"},
      {"a TZID nothing defines", calendarOf(event({"DTSTART;TZID=Mars/Olympus_Mons:20240304T090000", "SUMMARY:a"}) +
                                            event({"DTSTART;TZID=Mars/Olympus_Mons:20240305T090000", "SUMMARY:b"})),
       2, 0, 1, 0, 0, "a"},
      {"bare VEVENTs", joined(fine) + joined(event({"DTSTART:20240305T090000Z", "SUMMARY:other"})), 2, 0, 0, 2, 0, "fine"},
      {"a bare VEVENT after a calendar", calendarOf(fine) + joined(event({"DTSTART:20240305T090000Z"})), 2, 0, 0, 1, 0,
       "fine"},
      {"two calendars with one UID", calendarOf(fine) + calendarOf(event({"DTSTART:20240305T090000Z", "SUMMARY:new"}) +
                                                                     fine),
       2, 0, 0, 0, 1, "new"},
      {"one event written twice", calendarOf(fine + fine), 1, 0, 0, 0, 1, "fine"},
      {"a date start with a date-time end: the end's date", calendarOf(event({"DTSTART;VALUE=DATE:20240304",
                                                                             "DTEND:20240306T000000Z", "SUMMARY:two days"})),
       1, 0, 0, 0, 0, "two days"},
      {"a line folded inside a character", calendarOf({"BEGIN:VEVENT", "UID:e", "DTSTART:20240304T090000Z",
                                                      "SUMMARY:caf\xC3", " \xA9 au lait", "END:VEVENT"}),
       1, 0, 0, 0, 0, "caf\xC3\xA9 au lait"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(c.text, zones);
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.events.size(), c.events);
    EXPECT_EQ(parsed.leftOut.unreadableEvents, c.unreadable);
    EXPECT_EQ(parsed.firstUnreadable.empty(), c.unreadable == 0) << parsed.firstUnreadable;
    EXPECT_EQ(parsed.unknownZones, c.unknownZones);
    EXPECT_EQ(parsed.bareComponents, c.bare);
    EXPECT_EQ(parsed.leftOut.olderCopies + parsed.leftOut.duplicates, c.copies);
    EXPECT_EQ(parsed.events[0].title.value_or(""), c.title);
    // Only what was read is kept as an object's text.
    std::size_t kept = 0;
    for (const KeptObject& object : parsed.objects) {
      for (std::size_t at = object.text.find("BEGIN:VEVENT"); at != std::string::npos;
           at = object.text.find("BEGIN:VEVENT", at + 1)) {
        ++kept;
      }
    }
    EXPECT_EQ(kept, c.events);
  }
  // Floating: the clock time wherever it is looked at.
  ZoneCache zones;
  ParsedCalendar floating = parseICalendar(calendarOf(event({"DTSTART;TZID=Mars/Olympus_Mons:20240304T090000"})), zones);
  ASSERT_EQ(floating.events.size(), 1u);
  EXPECT_FALSE(floating.events[0].timeZone);
  EXPECT_EQ(floating.events[0].start, 1709542800);
  ParsedCalendar mixed = parseICalendar(calendarOf(event({"DTSTART;VALUE=DATE:20240304", "DTEND:20240306T000000Z"})), zones);
  ASSERT_EQ(mixed.events.size(), 1u);
  EXPECT_TRUE(mixed.events[0].allDay);
  EXPECT_EQ(mixed.events[0].end - mixed.events[0].start, 2 * 86400);
}

// A rule that makes nothing after its start is found once, when the file is
// read, and kept as what it amounts to: the start alone.
TEST_F(ICalendar, ARuleThatMakesNothingAfterItsStartIsItsStartAlone) {
  struct Case {
    std::vector<std::string> rules;
    std::optional<std::int64_t> count;
    std::string storedRule;
  } cases[] = {
      {{"RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30"}, 1, "FREQ=YEARLY;BYMONTHDAY=30;BYMONTH=2"},
      {{"RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30;UNTIL=20300101T000000Z"}, 1, "FREQ=YEARLY;BYMONTHDAY=30;BYMONTH=2"},
      {{"RRULE:FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29"}, std::nullopt, "FREQ=YEARLY;BYMONTHDAY=29;BYMONTH=2"},
      {{"RRULE:FREQ=WEEKLY;COUNT=3", "RRULE:FREQ=MONTHLY;BYMONTH=4,6;BYMONTHDAY=31"}, std::nullopt,
       "FREQ=WEEKLY||3\nFREQ=MONTHLY;BYMONTHDAY=31;BYMONTH=4,6||1"},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(calendarOf(event(std::vector<std::string>{"DTSTART:20260115T090000Z"} + c.rules)), zones);
    ASSERT_EQ(parsed.error, "") << c.rules[0];
    ASSERT_EQ(parsed.events.size(), 1u);
    EXPECT_EQ(parsed.events[0].count, c.count) << c.rules[0];
    EXPECT_FALSE(parsed.events[0].count && parsed.events[0].until) << c.rules[0];
    EXPECT_EQ(parsed.events[0].rule.value_or(""), c.storedRule) << c.rules[0];
  }
}

// Changed occurrences name the occurrence they change in their series' terms;
// extra dates are kept in each of their forms.
TEST_F(ICalendar, ChangedOccurrencesAndExtraDatesAreRead) {
  const std::vector<std::string> series =
      definition("W. Europe Standard Time", "+0100", "+0200") +
      event({"DTSTART;TZID=W. Europe Standard Time:20240304T090000", "DTEND;TZID=W. Europe Standard Time:20240304T100000",
             "RRULE:FREQ=WEEKLY", "RDATE;VALUE=DATE:20240307", "RDATE:20240308T120000Z",
             "RDATE;VALUE=PERIOD:20240309T080000Z/PT30M,20240310T080000Z/20240310T100000Z"});
  constexpr std::int64_t kMarch4 = 19786LL * 86400;  // 2024-03-04 as wall seconds
  struct Case {
    const char* name;
    std::vector<std::string> change;
    std::int64_t wall;
    bool thisAndFuture;
  } cases[] = {
      {"in the series' zone", {"RECURRENCE-ID;TZID=W. Europe Standard Time:20240311T090000"}, kMarch4 + 7 * 86400 + 9 * 3600, false},
      {"in UTC", {"RECURRENCE-ID:20240311T080000Z"}, kMarch4 + 7 * 86400 + 9 * 3600, false},
      {"as a date", {"RECURRENCE-ID;VALUE=DATE:20240318"}, kMarch4 + 14 * 86400 + 9 * 3600, false},
      {"this and future", {"RECURRENCE-ID;RANGE=THISANDFUTURE:20240318T080000Z"}, kMarch4 + 14 * 86400 + 9 * 3600, true},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(
        calendarOf(series + event(c.change + std::vector<std::string>{"DTSTART:20240311T130000Z", "SUMMARY:moved"})),
        zones);
    ASSERT_EQ(parsed.error, "") << c.name;
    ASSERT_EQ(parsed.events.size(), 2u) << c.name;
    ASSERT_TRUE(parsed.events[1].recurrenceId) << c.name;
    EXPECT_EQ(parsed.events[1].recurrenceId->wall, c.wall) << c.name;
    EXPECT_EQ(parsed.events[1].recurrenceId->thisAndFuture, c.thisAndFuture) << c.name;
    EXPECT_EQ(parsed.events[1].start, 1710162000) << c.name;
    EXPECT_FALSE(parsed.events[1].rule) << c.name;
    EXPECT_EQ(parsed.events[0].extraDates,
              (std::vector<ExtraDate>{{kMarch4 + 3 * 86400 + 9 * 3600, std::nullopt},
                                      {kMarch4 + 4 * 86400 + 13 * 3600, std::nullopt},
                                      {kMarch4 + 5 * 86400 + 9 * 3600, 1800.0},
                                      {kMarch4 + 6 * 86400 + 9 * 3600, 7200.0}}))
        << c.name;
  }
}

TEST_F(ICalendar, WhatTheStoreCannotHoldIsCounted) {
  std::string text = calendarOf(
      event({"DTSTART:20240304T090000Z", "SUMMARY:", "RRULE:FREQ=DAILY;COUNT=5", "RDATE:20240320T090000Z,20240321T090000Z",
             "ATTENDEE:mailto:a@example.com", "ATTENDEE:mailto:b@example.com", "DESCRIPTION:agenda",
             "LOCATION:", "STYLED-DESCRIPTION;VALUE=TEXT:<b>agenda</b>", "BEGIN:VALARM", "ACTION:DISPLAY",
             "DESCRIPTION:soon", "TRIGGER:-PT5M", "END:VALARM",
             "BEGIN:VALARM", "ACTION:AUDIO", "TRIGGER:-PT1M", "END:VALARM"}) +
      std::vector<std::string>{"BEGIN:VEVENT", "UID:e", "RECURRENCE-ID:20240305T090000Z",
                               "DTSTART:20240305T100000Z", "END:VEVENT", "BEGIN:VTODO", "UID:t", "END:VTODO"});
  ZoneCache zones;
  ParsedCalendar parsed = parseICalendar(text, zones);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.events.size(), 2u);  // the series and its changed occurrence
  EXPECT_EQ(parsed.events[0].title, "");  // empty, not absent, though libical drops the empty property
  EXPECT_EQ(describe(parsed.leftOut), "2 alarms, 2 attendees, 1 description, 1 to-do");
  EXPECT_EQ(describe(LeftOut{}), "");
}

StoredEvent stored(const char* uid, double start, double end, std::optional<std::string> zone) {
  StoredEvent e;
  e.externalIdentifier = uid;
  e.start = start;
  e.end = end;
  e.timeZone = std::move(zone);
  e.allDay = !e.timeZone;
  e.title = uid;
  return e;
}

TEST_F(ICalendar, WrittenFileKeepsTheRulesOfTheFormat) {
  std::vector<StoredEvent> events;
  events.push_back(stored("berlin", 1709539200.75, 1709542800.25, "Europe/Berlin"));
  events.back().title = std::string(40, 'x') + "\xC3\xBC\xE6\x97\xA5\xF0\x9F\x98\x80" + std::string(60, 'y');
  events.back().rule = "FREQ=DAILY";
  events.back().until = 1709539200 + 5 * 86400 + 0.5;
  events.back().excluded = {1709629200};
  events.push_back(stored("all-day", 1715299200, 1715385600, std::nullopt));
  events.back().rule = "FREQ=DAILY";
  events.back().until = 1715299200 + 3 * 86400;
  events.back().excluded = {1715299200 + 86400};
  events.push_back(stored("new york", 1709539200, 1709542800, "America/New_York"));
  events.push_back(stored("utc", 1709539200, 1709542800, "Etc/UTC"));
  events.push_back(stored("year 10000", 253402300800.0, 253402300800.0, "UTC"));

  ZoneCache zones;
  WrittenCalendar written = writeICalendar(events, zones, 1700000000);
  EXPECT_EQ(written.unwritable, 1);
  const std::string& text = written.text;
  std::size_t lines = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    std::string line = text.substr(at, end - at);
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_LE(line.size(), 75u) << line;
    // Folding never splits a character: no line starts with a continuation byte.
    std::string_view content = line.front() == ' ' ? std::string_view(line).substr(1) : std::string_view(line);
    EXPECT_FALSE(!content.empty() && (static_cast<unsigned char>(content.front()) & 0xC0) == 0x80) << line;
    at = end + 2;
    ++lines;
  }
  EXPECT_GT(lines, 20u);
  auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(text.rfind("BEGIN:VCALENDAR\r\n", 0), 0u);
  EXPECT_EQ(count("VERSION:2.0\r\n"), 1u);
  EXPECT_EQ(count("PRODID:"), 1u);
  EXPECT_EQ(count("DTSTAMP:20231114T221320Z\r\n"), 4u);
  EXPECT_EQ(count("BEGIN:VTIMEZONE"), 2u);
  EXPECT_EQ(count("TZID:Europe/Berlin\r\n"), 1u);
  EXPECT_EQ(count("TZID:America/New_York\r\n"), 1u);
  // Fractions are rounded down; UNTIL has the start's value type.
  EXPECT_EQ(count("DTSTART;TZID=Europe/Berlin:20240304T090000\r\n"), 1u);
  EXPECT_EQ(count("DTEND;TZID=Europe/Berlin:20240304T100000\r\n"), 1u);
  EXPECT_EQ(count("RRULE:FREQ=DAILY;UNTIL=20240309T080000Z\r\n"), 1u);
  EXPECT_EQ(count("EXDATE;TZID=Europe/Berlin:20240305T090000\r\n"), 1u);
  EXPECT_EQ(count("DTSTART;VALUE=DATE:20240510\r\n"), 1u);
  EXPECT_EQ(count("RRULE:FREQ=DAILY;UNTIL=20240513\r\n"), 1u);
  EXPECT_EQ(count("EXDATE;VALUE=DATE:20240511\r\n"), 1u);
  EXPECT_EQ(count("DTSTART:20240304T080000Z\r\n"), 1u);
}

// Each zone's definition holds the years its events use, and is enough on its
// own: libical, given only the written VTIMEZONE, puts every local time at the
// instant the zone's own data says.
TEST_F(ICalendar, AZoneIsWrittenForTheYearsItsEventsUseOnly) {
  constexpr std::int64_t kWeek = 7 * 86400;
  struct Case {
    const char* zone;
    const char* wallStart;  // local, "YYYYMMDDTHHMMSS" as a floating DATE-TIME
    std::optional<std::string> rule;
    std::optional<std::int64_t> untilWeeks;  // for a rule: its end, in weeks after the start
    std::vector<std::int64_t> checkWeeks;  // occurrences checked, in weeks after the start
    std::size_t mostOnsets;
  } cases[] = {
      {"Europe/Berlin", "20260701T100000", std::nullopt, std::nullopt, {0}, 1},
      {"America/New_York", "20260105T090000", "FREQ=WEEKLY", std::nullopt, {0, 26, 52 * 14 + 26, 52 * 40}, 3},
      {"Australia/Sydney", "20260301T083000", "FREQ=WEEKLY", 10, {0, 4, 10}, 2},
      {"Europe/London", "19680301T120000", "FREQ=WEEKLY", 52 * 5, {0, 20, 52 * 2, 52 * 4 + 30}, 6},
  };
  ZoneCache zones;
  for (const Case& c : cases) {
    const Zone* zone = zones.find(c.zone);
    ASSERT_NE(zone, nullptr) << c.zone;
    icaltimetype wall = icaltime_from_string(c.wallStart);
    const std::int64_t wallStart = daysFromCivil(wall.year, wall.month, wall.day) * 86400 + wall.hour * 3600 +
                                   wall.minute * 60;
    auto at = [&](std::int64_t weeks) { return wallToEpoch(*zone, wallStart + weeks * kWeek); };
    StoredEvent event = stored("u", static_cast<double>(at(0)), static_cast<double>(at(0) + 3600), c.zone);
    event.rule = c.rule;
    if (c.untilWeeks) event.until = static_cast<double>(at(*c.untilWeeks));
    const std::string text = writeICalendar({event}, zones, 1700000000).text;

    std::size_t onsets = 0;
    for (const char* kind : {"BEGIN:STANDARD", "BEGIN:DAYLIGHT"}) {
      for (auto p = text.find(kind); p != std::string::npos; p = text.find(kind, p + 1)) ++onsets;
    }
    EXPECT_GE(onsets, 1u) << c.zone;
    EXPECT_LE(onsets, c.mostOnsets) << c.zone << "\n" << text;

    icalcomponent* calendar = icalparser_parse_string(text.c_str());
    ASSERT_NE(calendar, nullptr) << c.zone;
    icalcomponent* vtimezone = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT);
    ASSERT_NE(vtimezone, nullptr) << c.zone;
    icaltimezone* written = icaltimezone_new();
    icaltimezone_set_component(written, icalcomponent_new_clone(vtimezone));
    for (std::int64_t weeks : c.checkWeeks) {
      icaltimetype t = icaltime_from_timet_with_zone(static_cast<time_t>(wallStart + weeks * kWeek), 0, nullptr);
      EXPECT_EQ(static_cast<std::int64_t>(icaltime_as_timet_with_zone(t, written)), at(weeks))
          << c.zone << " week " << weeks << "\n" << text;
    }
    icaltimezone_free(written, 1);
    icalcomponent_free(calendar);

    ParsedCalendar back = parseICalendar(text, zones);
    ASSERT_EQ(back.events.size(), 1u) << back.error;
    EXPECT_EQ(back.events[0].start, event.start) << c.zone;
    EXPECT_EQ(back.events[0].timeZone, event.timeZone) << c.zone;
    EXPECT_EQ(back.events[0].until, event.until) << c.zone;
  }
}

TEST(WindowsZones, EveryZoneTheTableNamesIsKnownHere) {
  ZoneCache zones;
  std::set<std::string_view> names;
  for (const auto& entry : windowsZones()) {
    EXPECT_NE(zones.find(entry.iana), nullptr) << entry.windows << " -> " << entry.iana;
    EXPECT_TRUE(names.insert(entry.windows).second) << entry.windows << " twice";
  }
  EXPECT_GT(names.size(), 50u);
}

}  // namespace
}  // namespace calbridge
