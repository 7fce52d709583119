// The small calendar files of the interop folder, each a way of reading a real
// file wrong, imported under one zone and listed under another. The expected
// occurrences are worked out from RFC 5545 beside each case.
#include "ical/icalendar.h"
#include "sqlite/sqlite_store.h"
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace calbridge {
namespace {

// "2024-06-10 07:00" in UTC, as epoch seconds.
double utc(const char* text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  std::sscanf(text, "%d-%d-%d %d:%d", &y, &mo, &d, &h, &mi);
  return static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60);
}

struct Occurrence {
  double start, end;
  std::optional<std::string> title;
  bool allDay = false;
  bool operator==(const Occurrence&) const = default;
  bool operator<(const Occurrence& o) const {
    return std::tie(start, end, title, allDay) < std::tie(o.start, o.end, o.title, o.allDay);
  }
};

std::ostream& operator<<(std::ostream& out, const Occurrence& o) {
  return out << "{" << static_cast<std::int64_t>(o.start) << ", " << static_cast<std::int64_t>(o.end) << ", "
             << o.title.value_or("(none)") << (o.allDay ? ", all day" : "") << "}";
}

struct Case {
  const char* name;  // a file of cases/, or what `text` shows
  std::string text;  // empty: the file's contents, with `replace` applied
  std::vector<std::pair<std::string, std::string>> replace;
  const char* importZone;
  const char* listZone;
  const char* from;
  const char* to;
  std::vector<Occurrence> occurrences;
  std::string leftOut;
  std::string exported = {};  // a line the export must hold
};

std::string calendarOf(const std::string& body) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + body + "END:VCALENDAR\r\n";
}

const std::string kBerlinNoon = "DTSTART;TZID=Europe/Berlin:20240330T120000\r\nRRULE:FREQ=DAILY;COUNT=2\r\n";

const Case kCases[] = {
    // The globally unique form and longer prefixes name Europe/Stockholm: 09:00 CEST.
    {"a_citadel.ics", {}, {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "solidus"}}, ""},
    {"a_mozilla.ics", {}, {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "solidus"}}, ""},
    {"a_solidus.ics", {}, {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "solidus"}}, ""},
    // Six months from 9 April 2014, all within the definition's summer time (+02).
    {"b_count.ics", {}, {}, "UTC", "UTC", "2014-01-01 00:00", "2015-01-01 00:00",
     {{utc("2014-04-09 07:30"), utc("2014-04-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-05-09 07:30"), utc("2014-05-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-06-09 07:30"), utc("2014-06-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-07-09 07:30"), utc("2014-07-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-08-09 07:30"), utc("2014-08-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-09-09 07:30"), utc("2014-09-09 08:30"), "monthly x6 in 2014"}},
     ""},
    {"b_until.ics", {}, {}, "UTC", "UTC", "2014-01-01 00:00", "2015-01-01 00:00",
     {{utc("2014-04-09 07:30"), utc("2014-04-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-05-09 07:30"), utc("2014-05-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-06-09 07:30"), utc("2014-06-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-07-09 07:30"), utc("2014-07-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-08-09 07:30"), utc("2014-08-09 08:30"), "monthly x6 in 2014"},
      {utc("2014-09-09 07:30"), utc("2014-09-09 08:30"), "monthly x6 in 2014"}},
     ""},
    {"b_single.ics", {}, {}, "UTC", "UTC", "2014-01-01 00:00", "2015-01-01 00:00",
     {{utc("2014-04-09 07:30"), utc("2014-04-09 08:30"), "monthly x6 in 2014"}}, ""},
    // May is standard time (-03) in the definition; no UID, no title.
    {"c_midnight.ics", {}, {}, "UTC", "UTC", "2017-05-11 00:00", "2017-05-12 00:00",
     {{utc("2017-05-11 16:30"), utc("2017-05-11 17:00"), std::nullopt}}, ""},
    // The same changes as Outlook writes them: a second before midnight, on the Saturday.
    {"c_midnight.ics at 23:59:59", {}, {{"T000000", "T235959"}, {"3SU", "3SA"}}, "UTC", "UTC", "2017-05-11 00:00",
     "2017-05-12 00:00", {{utc("2017-05-11 16:30"), utc("2017-05-11 17:00"), std::nullopt}}, ""},
    // Dates float: each day runs from local midnight to the next, 25 hours on 27 October.
    {"d_allday_dst.ics", {}, {}, "Europe/Berlin", "Europe/Berlin", "2024-10-20 00:00", "2024-11-05 00:00",
     {{utc("2024-10-25 22:00"), utc("2024-10-26 22:00"), "daily all-day", true},
      {utc("2024-10-26 22:00"), utc("2024-10-27 23:00"), "daily all-day", true},
      {utc("2024-10-27 23:00"), utc("2024-10-28 23:00"), "daily all-day", true}},
     ""},
    // A broken value that does not say when the event is: dropped, counted, the event kept.
    {"e_class.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 unreadable value"},
    {"e_dtstamp.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 unreadable value"},
    {"e_exdate.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 unreadable value"},
    {"e_rdate_z.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 unreadable value"},
    {"e_rrule.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 unreadable value"},
    {"e_trigger.ics", {}, {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "empty class"}}, "1 alarm, 1 unreadable value"},
    // Read in Berlin, looked at in New York: 09:00 there (-04), and 11 June there.
    {"g_floating.ics", {}, {}, "Europe/Berlin", "America/New_York", "2024-06-09 00:00", "2024-06-13 00:00",
     {{utc("2024-06-10 13:00"), utc("2024-06-10 14:00"), "floating 9am"},
      {utc("2024-06-11 04:00"), utc("2024-06-12 04:00"), "all-day", true}},
     "", "DTSTART:20240610T090000\r\n"},
    {"h_ws.ics", {}, {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 09:00"), utc("2024-06-10 09:00"), "Event#1 "},
      {utc("2024-06-10 10:00"), utc("2024-06-10 10:00"), "two  spaces, comma\n newline"}},
     ""},
    // The file's definition keeps summer time (-05, April to October) after
    // Mexico dropped it in 2022: it is what the TZID means.
    {"m_mexico.ics", {}, {}, "UTC", "UTC", "2019-06-09 00:00", "2019-06-12 00:00",
     {{utc("2019-06-10 14:00"), utc("2019-06-10 15:00"), "weekly since 2019"},
      {utc("2019-06-10 14:00"), utc("2019-06-10 15:00"), "single 2019"}},
     ""},
    {"m_mexico.ics in 2026", {}, {}, "UTC", "UTC", "2026-06-01 00:00", "2026-06-02 00:00",
     {{utc("2026-06-01 14:00"), utc("2026-06-01 15:00"), "weekly since 2019"}}, ""},
    {"m_mexico.ics in winter", {}, {}, "UTC", "UTC", "2026-01-05 00:00", "2026-01-06 00:00",
     {{utc("2026-01-05 15:00"), utc("2026-01-05 16:00"), "weekly since 2019"}}, ""},
    {"m_mexico_single.ics", {}, {}, "UTC", "UTC", "2019-06-09 00:00", "2019-06-12 00:00",
     {{utc("2019-06-10 14:00"), utc("2019-06-10 15:00"), "single 2019"}}, ""},

    // A UTC UNTIL on an all-day series, as Outlook in London writes it: the
    // midnight starting 17 September there. The same days wherever it is read.
    {"all-day series with a UTC UNTIL, read in Berlin",
     calendarOf("BEGIN:VEVENT\r\nUID:u\r\nDTSTART;VALUE=DATE:20200402\r\nSUMMARY:fortnightly\r\n"
                "RRULE:FREQ=WEEKLY;UNTIL=20200916T230000Z;INTERVAL=2;BYDAY=TH;WKST=MO\r\nEND:VEVENT\r\n"),
     {}, "Europe/Berlin", "UTC", "2020-09-01 00:00", "2020-10-01 00:00",
     {{utc("2020-09-03 00:00"), utc("2020-09-04 00:00"), "fortnightly", true},
      {utc("2020-09-17 00:00"), utc("2020-09-18 00:00"), "fortnightly", true}},
     ""},
    {"all-day series with a UTC UNTIL, read in New York",
     calendarOf("BEGIN:VEVENT\r\nUID:u\r\nDTSTART;VALUE=DATE:20200402\r\nSUMMARY:fortnightly\r\n"
                "RRULE:FREQ=WEEKLY;UNTIL=20200916T230000Z;INTERVAL=2;BYDAY=TH;WKST=MO\r\nEND:VEVENT\r\n"),
     {}, "America/New_York", "UTC", "2020-09-01 00:00", "2020-10-01 00:00",
     {{utc("2020-09-03 00:00"), utc("2020-09-04 00:00"), "fortnightly", true},
      {utc("2020-09-17 00:00"), utc("2020-09-18 00:00"), "fortnightly", true}},
     ""},
    // A TRIGGER with a wrong VALUE type, then unreadable: the alarm is left out as ever.
    {"an alarm whose TRIGGER is a time of day",
     calendarOf("BEGIN:VEVENT\r\nUID:t\r\nDTSTART:20240610T090000Z\r\nSUMMARY:alarmed\r\nBEGIN:VALARM\r\n"
                "ACTION:DISPLAY\r\nDESCRIPTION:x\r\nTRIGGER;VALUE=TIME:230000\r\nEND:VALARM\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 09:00"), utc("2024-06-10 09:00"), "alarmed"}}, "1 alarm, 1 unreadable value"},
    // Edited copies of one event without RECURRENCE-ID: the highest SEQUENCE,
    // then the latest DTSTAMP, stands (RFC 5546 2.1.4).
    {"edited copies of one UID",
     calendarOf("BEGIN:VEVENT\r\nUID:x\r\nDTSTAMP:20240101T000000Z\r\nDTSTART:20240610T090000Z\r\nSUMMARY:first\r\n"
                "END:VEVENT\r\nBEGIN:VEVENT\r\nUID:x\r\nSEQUENCE:2\r\nDTSTAMP:20240103T000000Z\r\n"
                "DTSTART:20240610T110000Z\r\nSUMMARY:last\r\nEND:VEVENT\r\nBEGIN:VEVENT\r\nUID:x\r\nSEQUENCE:2\r\n"
                "DTSTAMP:20240102T000000Z\r\nDTSTART:20240610T100000Z\r\nSUMMARY:third\r\nEND:VEVENT\r\n"
                "BEGIN:VEVENT\r\nUID:x\r\nSEQUENCE:1\r\nDTSTAMP:20240104T000000Z\r\nDTSTART:20240610T120000Z\r\n"
                "SUMMARY:second\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-10 00:00", "2024-06-11 00:00",
     {{utc("2024-06-10 11:00"), utc("2024-06-10 11:00"), "last"}}, "3 older copies"},
    // Several RRULEs: the union of their occurrences, each rule with its own
    // end and counting the start as its first (RFC 5545 3.8.5.3).
    {"two RRULEs with their own ends",
     calendarOf("BEGIN:VEVENT\r\nUID:r\r\nSUMMARY:two rules\r\nDTSTART;TZID=Europe/Berlin:20240603T090000\r\n"
                "DTEND;TZID=Europe/Berlin:20240603T100000\r\nRRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=2\r\n"
                "RRULE:FREQ=WEEKLY;BYDAY=WE;UNTIL=20240612T235959Z\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-03 07:00"), utc("2024-06-03 08:00"), "two rules"},
      {utc("2024-06-05 07:00"), utc("2024-06-05 08:00"), "two rules"},
      {utc("2024-06-10 07:00"), utc("2024-06-10 08:00"), "two rules"},
      {utc("2024-06-12 07:00"), utc("2024-06-12 08:00"), "two rules"}},
     ""},
    {"two RRULEs that meet",
     calendarOf("BEGIN:VEVENT\r\nUID:r\r\nSUMMARY:met\r\nDTSTART:20240603T090000Z\r\n"
                "RRULE:FREQ=DAILY;COUNT=3\r\nRRULE:FREQ=WEEKLY;COUNT=2\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-03 09:00"), utc("2024-06-03 09:00"), "met"},
      {utc("2024-06-04 09:00"), utc("2024-06-04 09:00"), "met"},
      {utc("2024-06-05 09:00"), utc("2024-06-05 09:00"), "met"},
      {utc("2024-06-10 09:00"), utc("2024-06-10 09:00"), "met"}},
     ""},
    // The start is the first occurrence whatever the rule's end (RFC 5545 3.8.5.3).
    {"an UNTIL before the start",
     calendarOf("BEGIN:VEVENT\r\nUID:u\r\nSUMMARY:once\r\nDTSTART:20240610T090000Z\r\n"
                "RRULE:FREQ=DAILY;UNTIL=20240101T000000Z\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-10 09:00"), utc("2024-06-10 09:00"), "once"}}, ""},
    // Split by a change of this and future occurrences, each rule keeps
    // counting what it made before the change: the daily one three more, the
    // Sunday one its two Sundays (the start was its first).
    {"two RRULEs and a THISANDFUTURE change",
     calendarOf("BEGIN:VEVENT\r\nUID:s\r\nSUMMARY:both\r\nDTSTART:20240603T090000Z\r\n"
                "RRULE:FREQ=DAILY;COUNT=5\r\nRRULE:FREQ=WEEKLY;BYDAY=SU;COUNT=3\r\nEND:VEVENT\r\n"
                "BEGIN:VEVENT\r\nUID:s\r\nSUMMARY:later\r\nRECURRENCE-ID;RANGE=THISANDFUTURE:20240605T090000Z\r\n"
                "DTSTART:20240605T100000Z\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-06-01 00:00", "2024-07-01 00:00",
     {{utc("2024-06-03 09:00"), utc("2024-06-03 09:00"), "both"},
      {utc("2024-06-04 09:00"), utc("2024-06-04 09:00"), "both"},
      {utc("2024-06-05 10:00"), utc("2024-06-05 10:00"), "later"},
      {utc("2024-06-06 10:00"), utc("2024-06-06 10:00"), "later"},
      {utc("2024-06-07 10:00"), utc("2024-06-07 10:00"), "later"},
      {utc("2024-06-09 10:00"), utc("2024-06-09 10:00"), "later"},
      {utc("2024-06-16 10:00"), utc("2024-06-16 10:00"), "later"}},
     ""},
    // A day of DURATION is a day on the clock in each occurrence (23 hours
    // into summer time, then 24); 24 hours and a DTEND's length are exact.
    {"DURATION:P1D across the change to summer time",
     calendarOf("BEGIN:VEVENT\r\nUID:p\r\n" + kBerlinNoon + "DURATION:P1D\r\nEND:VEVENT\r\n"), {}, "UTC", "UTC",
     "2024-03-29 00:00", "2024-04-03 00:00",
     {{utc("2024-03-30 11:00"), utc("2024-03-31 10:00"), std::nullopt},
      {utc("2024-03-31 10:00"), utc("2024-04-01 10:00"), std::nullopt}},
     "", "DURATION:P1D\r\n"},
    {"DURATION:PT24H across the change to summer time",
     calendarOf("BEGIN:VEVENT\r\nUID:p\r\n" + kBerlinNoon + "DURATION:PT24H\r\nEND:VEVENT\r\n"), {}, "UTC", "UTC",
     "2024-03-29 00:00", "2024-04-03 00:00",
     {{utc("2024-03-30 11:00"), utc("2024-03-31 11:00"), std::nullopt},
      {utc("2024-03-31 10:00"), utc("2024-04-01 10:00"), std::nullopt}},
     ""},
    {"DTEND a clock day later, across the change to summer time",
     calendarOf("BEGIN:VEVENT\r\nUID:p\r\n" + kBerlinNoon +
                "DTEND;TZID=Europe/Berlin:20240331T120000\r\nEND:VEVENT\r\n"),
     {}, "UTC", "UTC", "2024-03-29 00:00", "2024-04-03 00:00",
     {{utc("2024-03-30 11:00"), utc("2024-03-31 10:00"), std::nullopt},
      {utc("2024-03-31 10:00"), utc("2024-04-01 09:00"), std::nullopt}},
     ""},
};

class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
    ::setenv("TZ", zone, 1);
  }
  ~ScopedZone() {
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
  }

 private:
  std::optional<std::string> saved_;
};

const std::filesystem::path kCasesFolder = std::filesystem::path(CALBRIDGE_INTEROP_DIR) / "cases";

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Imports the case into a new store and lists it from another; a failure
// ends only this case.
void check(const Case& c, std::set<std::string>& covered) {
  std::string text = c.text;
  if (text.empty()) {
    std::string file(c.name);
    file = file.substr(0, file.find(' '));
    covered.insert(file);
    text = fileText(kCasesFolder / file);
    ASSERT_FALSE(text.empty());
    for (const auto& [from, to] : c.replace) {
      for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
      }
    }
  }
  // A folder of the test's own: the store refuses one others may write to, as /tmp is.
  const testing::TemporaryFolder folder;
  const std::filesystem::path database = std::filesystem::path(folder.path()) / "calendar.db";
  std::string calendar;
  {
    ScopedZone zone(c.importZone);
    SqliteStore store(database.string());
    ASSERT_TRUE(store.open());
    calendar = store.defaultCalendarForNewEvents()->calendarIdentifier;
    ParsedCalendar parsed = parseICalendar(text, store.zones());
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(describe(parsed.leftOut), c.leftOut);
    ASSERT_TRUE(store.importEvents(calendar, parsed.events));
  }
  {
    // A new process, in another zone: only what the store kept counts.
    ScopedZone zone(c.listZone);
    SqliteStore store(database.string());
    ASSERT_TRUE(store.open());
    auto listed = [&](const std::string& identifier) {
      std::vector<Occurrence> occurrences;
      for (const Event& e : store.eventsMatching(utc(c.from), utc(c.to), {store.calendarWithIdentifier(identifier)})) {
        occurrences.push_back(Occurrence{*e.startDate, *e.endDate, e.title, e.isAllDay});
      }
      std::sort(occurrences.begin(), occurrences.end());
      return occurrences;
    };
    std::vector<Occurrence> expected = c.occurrences;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed(calendar), expected);
    EXPECT_FALSE(store.readFailed());

    // Exported and imported again, it lists the same.
    auto events = store.storedEvents(calendar);
    ASSERT_TRUE(events);
    WrittenCalendar written = writeICalendar(*events, store.zones(), 0);
    EXPECT_NE(written.text.find(c.exported), std::string::npos) << written.text;
    ParsedCalendar again = parseICalendar(written.text, store.zones());
    ASSERT_EQ(again.error, "") << written.text;
    Calendar copy;
    copy.title = "again";
    auto copied = store.addCalendar(copy);
    ASSERT_TRUE(copied);
    ASSERT_TRUE(store.importEvents(*copied, again.events));
    EXPECT_EQ(listed(*copied), expected) << written.text;
  }

}

TEST(InteropCases, EachFileListsAsRfc5545ReadsIt) {
  if (!std::filesystem::is_directory(kCasesFolder)) GTEST_SKIP() << "no interop cases at " << kCasesFolder;
  std::set<std::string> covered;
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    check(c, covered);
  }
  for (const auto& entry : std::filesystem::directory_iterator(kCasesFolder)) {
    EXPECT_TRUE(covered.count(entry.path().filename().string())) << entry.path() << " has no expected occurrences";
  }
}

}  // namespace
}  // namespace calbridge

namespace calbridge {
namespace {

// A series of several rules loses an occurrence, then its future, like any
// other, and is written back with each rule ended where the series now ends.
TEST(SeveralRules, RemovingOccurrencesReachesEveryRule) {
  ScopedZone zone("UTC");
  SqliteStore store{std::string(kInMemoryStore)};
  ASSERT_TRUE(store.open());
  auto calendar = store.defaultCalendarForNewEvents();
  ParsedCalendar parsed = parseICalendar(
      calendarOf("BEGIN:VEVENT\r\nUID:r\r\nDTSTART:20240603T090000Z\r\nRRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=4\r\n"
                 "RRULE:FREQ=WEEKLY;BYDAY=WE\r\nEND:VEVENT\r\n"),
      store.zones());
  ASSERT_EQ(parsed.error, "");
  ASSERT_TRUE(store.importEvents(calendar->calendarIdentifier, parsed.events));
  auto starts = [&] {
    std::vector<double> result;
    for (const Event& e : store.eventsMatching(utc("2024-06-01 00:00"), utc("2024-08-01 00:00"), {calendar})) {
      result.push_back(*e.startDate);
    }
    return result;
  };
  std::vector<Event> listed = store.eventsMatching(utc("2024-06-05 00:00"), utc("2024-06-06 00:00"), {calendar});
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_TRUE(store.removeEvent(listed[0], Span::thisEvent, true));
  listed = store.eventsMatching(utc("2024-06-12 00:00"), utc("2024-06-13 00:00"), {calendar});
  ASSERT_EQ(listed.size(), 1u);
  ASSERT_TRUE(store.removeEvent(listed[0], Span::futureEvents, true));
  EXPECT_EQ(starts(), (std::vector<double>{utc("2024-06-03 09:00"), utc("2024-06-10 09:00")}));

  auto events = store.storedEvents(calendar->calendarIdentifier);
  ASSERT_TRUE(events);
  std::string text = writeICalendar(*events, store.zones(), 0).text;
  EXPECT_NE(text.find("RRULE:FREQ=WEEKLY;UNTIL=20240612T085959Z;BYDAY=MO\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RRULE:FREQ=WEEKLY;UNTIL=20240612T085959Z;BYDAY=WE\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace calbridge

namespace calbridge {
namespace {

// A removal is written into the text the file brought, which keeps everything
// else it held, or it is refused; it never leaves the text behind.
TEST(KeptTexts, RemovalsAreWrittenIntoTheTextOrRefused) {
  const std::string hawaii =
      "BEGIN:VTIMEZONE\r\nTZID:Hawaiian Standard Time\r\nBEGIN:STANDARD\r\nDTSTART:16010101T000000\r\n"
      "TZOFFSETFROM:-1000\r\nTZOFFSETTO:-1000\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
  const std::string extras = "DESCRIPTION:kept\r\nLOCATION:room\r\nATTENDEE:mailto:ann@example.com\r\n"
                             "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:x\r\nTRIGGER:-PT5M\r\nEND:VALARM\r\n";
  const std::string daily = "BEGIN:VEVENT\r\nUID:d\r\nDTSTAMP:20250101T000000Z\r\nDTSTART:20250303T090000Z\r\n"
                            "SUMMARY:daily\r\nRRULE:FREQ=DAILY;COUNT=5\r\nEND:VEVENT\r\n";
  struct Case {
    const char* name;
    std::string body;
    const char* occurrence;  // UTC
    Span span;
    bool removed;
    std::size_t left;  // occurrences listed after
    std::vector<std::string> kept;  // in the object's text after
  } cases[] = {
      {"an end in a zone named as Windows names it",
       hawaii + "BEGIN:VEVENT\r\nUID:h\r\nDTSTART;TZID=Hawaiian Standard Time:20250303T100000\r\n"
                "RRULE:FREQ=DAILY;COUNT=5\r\nEND:VEVENT\r\n",
       "2025-03-06 20:00", Span::futureEvents, true, 3, {"RRULE:FREQ=DAILY;UNTIL=20250306T195959Z\r\n"}},
      {"a DTSTART ending in a blank",
       "BEGIN:VEVENT\r\nUID:b\r\nDTSTART:20250303T090000Z \r\nRRULE:FREQ=DAILY;COUNT=5\r\n" + extras + "END:VEVENT\r\n",
       "2025-03-04 09:00", Span::thisEvent, true, 4,
       {"DESCRIPTION:kept\r\n", "LOCATION:room\r\n", "ATTENDEE:mailto:ann@example.com\r\n", "BEGIN:VALARM\r\n",
        "EXDATE:20250304T090000Z\r\n"}},
      {"one event written twice", daily + daily, "2025-03-03 09:00", Span::futureEvents, true, 0, {}},
      {"a change in a zone only a VTIMEZONE defines",
       "BEGIN:VTIMEZONE\r\nTZID:Somewhere\r\nBEGIN:STANDARD\r\nDTSTART:16010101T000000\r\nTZOFFSETFROM:+0130\r\n"
       "TZOFFSETTO:+0130\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n" + daily.substr(0, daily.size() - 12) +
           extras + "END:VEVENT\r\nBEGIN:VEVENT\r\nUID:d\r\nRECURRENCE-ID;TZID=Somewhere:20250305T103000\r\n"
           "DTSTART:20250305T120000Z\r\nSUMMARY:moved\r\nEND:VEVENT\r\n",
       "2025-03-04 09:00", Span::thisEvent, false, 5, {"DESCRIPTION:kept\r\n", "BEGIN:VALARM\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedZone zone("UTC");
    SqliteStore store{std::string(kInMemoryStore)};
    ASSERT_TRUE(store.open());
    auto calendar = store.defaultCalendarForNewEvents();
    ParsedCalendar parsed = parseICalendar(calendarOf(c.body), store.zones());
    ASSERT_EQ(parsed.error, "");
    ASSERT_TRUE(store.importEvents(calendar->calendarIdentifier, parsed.events, parsed.objects));
    auto listing = [&] { return store.eventsMatching(utc("2025-03-01 00:00"), utc("2025-03-10 00:00"), {calendar}); };
    const double at = utc(c.occurrence);
    std::vector<Event> before = listing();
    auto found = std::find_if(before.begin(), before.end(), [&](const Event& e) { return *e.startDate == at; });
    ASSERT_NE(found, before.end());
    EXPECT_EQ(store.removeEvent(*found, c.span, true), c.removed);
    EXPECT_EQ(listing().size(), c.left);
    auto exported = store.exportedCalendar(calendar->calendarIdentifier);
    ASSERT_TRUE(exported);
    std::string texts;
    for (const std::string& object : exported->objects) texts += object;
    for (const std::string& line : c.kept) EXPECT_NE(texts.find(line), std::string::npos) << line << texts;
    // What the text says is what is listed.
    Calendar copy;
    copy.title = "again";
    auto again = store.addCalendar(copy);
    ASSERT_TRUE(again);
    ParsedCalendar back = parseICalendar(joinedCalendar(writeICalendar(exported->events, store.zones(), 0).text,
                                                        exported->objects),
                                         store.zones());
    ASSERT_EQ(back.error, "");
    ASSERT_TRUE(store.importEvents(*again, back.events, back.objects));
    EXPECT_EQ(store.eventsMatching(utc("2025-03-01 00:00"), utc("2025-03-10 00:00"),
                                   {store.calendarWithIdentifier(*again)}).size(),
              c.left);
  }
}

}  // namespace
}  // namespace calbridge
