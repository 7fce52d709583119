// Edits of a kept object's text: only the lines an edit concerns change.
#include "calendar/civil_time.h"
#include "calendar/time_zone.h"
#include "ical/object_edit.h"
#include "ical/object_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calbridge {
namespace {

// Lines joined with CRLF; "|" stands for the stamp lines of an edited series.
std::string crlf(std::string_view lines) {
  std::string out;
  for (char c : lines) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::int64_t wallOf(int y, int m, int d, int h = 0, int min = 0) {
  return daysFromCivil(y, m, d) * kDay + h * 3600 + min * 60;
}

constexpr std::int64_t kNow = 1767225600;  // 2026-01-01 00:00 UTC
constexpr std::string_view kHead = "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//x//y//EN\nBEGIN:VEVENT\nUID:a\n";
constexpr std::string_view kStamp = "SEQUENCE:1\nDTSTAMP:20260101T000000Z\nLAST-MODIFIED:20260101T000000Z\n";

struct Case {
  const char* name;
  std::string body;  // after kHead
  std::vector<ObjectEdit> edits;
  std::string expected;  // after kHead; empty: the edits do not apply
};

const ObjectEdit::Kind kExclude = ObjectEdit::Kind::exclude;
const ObjectEdit::Kind kEnd = ObjectEdit::Kind::endBefore;
const std::string kTail = "END:VEVENT\nEND:VCALENDAR\n";

TEST(ObjectEdit, ChangesOnlyWhatTheEditConcerns) {
  const std::string berlin = "DTSTART;TZID=Europe/Berlin:20250303T100000\nRRULE:FREQ=WEEKLY;COUNT=10\n";
  const std::string alarm = "BEGIN:VALARM\nTRIGGER:-PT5M\nACTION:DISPLAY\nDESCRIPTION:x\nEND:VALARM\n";
  const std::string hawaii = "DTSTART;TZID=Hawaiian Standard Time:20250303T100000\nRRULE:FREQ=DAILY;COUNT=30\n";
  const std::string custom = "DTSTART;TZID=Island Time:20250303T100000\nRRULE:FREQ=DAILY;COUNT=30\n";
  const std::string customZone = "BEGIN:VTIMEZONE\nTZID:Island Time\nBEGIN:STANDARD\nDTSTART:19700101T000000\n"
                                 "TZOFFSETFROM:-1000\nTZOFFSETTO:-1000\nEND:STANDARD\nEND:VTIMEZONE\n";
  const std::string hourly = "DTSTART;TZID=Island Time:20250303T100000\nRRULE:FREQ=HOURLY;COUNT=300\n";
  const std::string summerZone = "BEGIN:VTIMEZONE\nTZID:Island Time\nBEGIN:STANDARD\nDTSTART:19701101T020000\n"
                                 "TZOFFSETFROM:-0900\nTZOFFSETTO:-1000\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\n"
                                 "END:STANDARD\nBEGIN:DAYLIGHT\nDTSTART:19700308T020000\nTZOFFSETFROM:-1000\n"
                                 "TZOFFSETTO:-0900\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU\nEND:DAYLIGHT\n"
                                 "END:VTIMEZONE\n";
  const std::string longText = "DESCRIPTION:" + std::string(80, 'd') + "\n";  // stays unfolded as it came
  const std::string moved =
      "BEGIN:VEVENT\nUID:a\nRECURRENCE-ID:20250310T090000Z\nDTSTART:20250310T110000Z\nSUMMARY:moved\nEND:VEVENT\n";
  const std::vector<Case> cases = {
      {"zoned exclusion keeps alarms and other lines", berlin + "SEQUENCE:0\nDTSTAMP:20250101T000000Z\n" + longText + alarm + "END:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 10, 10)}},
       berlin + "SEQUENCE:1\nDTSTAMP:20260101T000000Z\n" + longText + alarm +
           "EXDATE;TZID=Europe/Berlin:20250310T100000\nLAST-MODIFIED:20260101T000000Z\nEND:VEVENT\n"},
      {"all-day exclusion is a date", "DTSTART;VALUE=DATE:20250303\nRRULE:FREQ=DAILY\nEND:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 5)}},
       "DTSTART;VALUE=DATE:20250303\nRRULE:FREQ=DAILY\nEXDATE;VALUE=DATE:20250305\n" + std::string(kStamp) +
           "END:VEVENT\n"},
      {"UTC series, already excluded once", "DTSTART:20250303T100000Z\nRRULE:FREQ=DAILY\nEXDATE:20250305T100000Z\nEND:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 5, 10)}, {kExclude, wallOf(2025, 3, 6, 10)}, {kExclude, wallOf(2025, 3, 6, 10)}},
       "DTSTART:20250303T100000Z\nRRULE:FREQ=DAILY\nEXDATE:20250305T100000Z\nEXDATE:20250306T100000Z\n" +
           std::string(kStamp) + "END:VEVENT\n"},
      {"floating exclusion", "DTSTART:20250303T100000\nRRULE:FREQ=DAILY\nEND:VEVENT\n", {{kExclude, wallOf(2025, 3, 4, 10)}},
       "DTSTART:20250303T100000\nRRULE:FREQ=DAILY\nEXDATE:20250304T100000\n" + std::string(kStamp) + "END:VEVENT\n"},
      {"an override named in UTC goes with its occurrence", berlin + "END:VEVENT\n" + moved,
       {{kExclude, wallOf(2025, 3, 10, 10)}},
       berlin + "EXDATE;TZID=Europe/Berlin:20250310T100000\n" + std::string(kStamp) + "END:VEVENT\n"},
      {"excluding another occurrence keeps the override", berlin + "END:VEVENT\n" + moved,
       {{kExclude, wallOf(2025, 3, 17, 10)}},
       berlin + "EXDATE;TZID=Europe/Berlin:20250317T100000\n" + std::string(kStamp) + "END:VEVENT\n" + moved},
      {"zoned end: UNTIL in UTC, later dates and overrides go",
       "DTSTART;TZID=Europe/Berlin:20250303T100000\nRRULE:FREQ=WEEKLY;COUNT=10;BYDAY=MO\n"
       "EXDATE;TZID=Europe/Berlin:20250310T100000,20250331T100000\nRDATE;TZID=Europe/Berlin:20250401T100000\n"
       "END:VEVENT\n" + moved,
       {{kEnd, wallOf(2025, 3, 31, 10)}},
       "DTSTART;TZID=Europe/Berlin:20250303T100000\nRRULE:FREQ=WEEKLY;BYDAY=MO;UNTIL=20250331T075959Z\n"
       "EXDATE;TZID=Europe/Berlin:20250310T100000\n" + std::string(kStamp) + "END:VEVENT\n" + moved},
      {"end before an overridden occurrence", berlin + "END:VEVENT\n" + moved, {{kEnd, wallOf(2025, 3, 10, 10)}},
       "DTSTART;TZID=Europe/Berlin:20250303T100000\nRRULE:FREQ=WEEKLY;UNTIL=20250310T085959Z\n" +
           std::string(kStamp) + "END:VEVENT\n"},
      {"all-day end is the day before", "DTSTART;VALUE=DATE:20250303\nRRULE:FREQ=DAILY;UNTIL=20251231\nEND:VEVENT\n",
       {{kEnd, wallOf(2025, 3, 10)}},
       "DTSTART;VALUE=DATE:20250303\nRRULE:FREQ=DAILY;UNTIL=20250309\n" + std::string(kStamp) + "END:VEVENT\n"},
      {"a series ending earlier already keeps its end", "DTSTART:20250303T100000\nRRULE:FREQ=DAILY;UNTIL=20250305T100000\nEND:VEVENT\n",
       {{kEnd, wallOf(2025, 3, 10, 10)}},
       "DTSTART:20250303T100000\nRRULE:FREQ=DAILY;UNTIL=20250305T100000\n" + std::string(kStamp) + "END:VEVENT\n"},
      {"ending at the first occurrence leaves nothing", berlin + "END:VEVENT\n", {{kEnd, wallOf(2025, 3, 3, 10)}}, ""},
      {"an override in a zone only a VTIMEZONE defines", berlin + "END:VEVENT\n" +
           "BEGIN:VTIMEZONE\nTZID:Nowhere\nEND:VTIMEZONE\n"
           "BEGIN:VEVENT\nUID:a\nRECURRENCE-ID;TZID=Nowhere:20250310T100000\nDTSTART:20250310T110000Z\nEND:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 17, 10)}}, ""},
      {"an override in a zone nothing defines is floating, as the reader has it", berlin + "END:VEVENT\n" +
           "BEGIN:VEVENT\nUID:a\nRECURRENCE-ID;TZID=Nowhere:20250310T100000\nDTSTART:20250310T110000Z\nEND:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 10, 10)}},
       berlin + "EXDATE;TZID=Europe/Berlin:20250310T100000\n" + std::string(kStamp) + "END:VEVENT\n"},
      {"two series in one object", berlin + "END:VEVENT\nBEGIN:VEVENT\nUID:a\n" + berlin + "END:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 10, 10)}}, ""},
      // Hawaii is 10 hours west: the end lies between 9 March 20:00Z and 10 March 20:00Z.
      {"end in a zone named as Windows names it", hawaii + "END:VEVENT\n", {{kEnd, wallOf(2025, 3, 10, 10)}},
       "DTSTART;TZID=Hawaiian Standard Time:20250303T100000\nRRULE:FREQ=DAILY;UNTIL=20250310T195959Z\n" +
           std::string(kStamp) + "END:VEVENT\n"},
      {"end in a zone only the text's VTIMEZONE defines", custom + "END:VEVENT\n" + customZone,
       {{kEnd, wallOf(2025, 3, 10, 10)}},
       "DTSTART;TZID=Island Time:20250303T100000\nRRULE:FREQ=DAILY;UNTIL=20250310T195959Z\n" + std::string(kStamp) +
           "END:VEVENT\n" + customZone},
      // Hourly, with summer time in its definition: only the zone itself places the end.
      {"end of an hourly series in a zone its VTIMEZONE alone defines", hourly + "END:VEVENT\n" + summerZone,
       {{kEnd, wallOf(2025, 3, 10, 10)}}, ""},
      {"end in the zone the store reads the series in", hourly + "END:VEVENT\n" + summerZone,
       {{kEnd, wallOf(2025, 3, 10, 10), "Pacific/Honolulu"}},
       "DTSTART;TZID=Island Time:20250303T100000\nRRULE:FREQ=HOURLY;UNTIL=20250310T195959Z\n" + std::string(kStamp) +
           "END:VEVENT\n" + summerZone},
      {"a DTSTART ending in a blank, read as the file's reader reads it",
       "DTSTART:20250303T100000Z \nRRULE:FREQ=DAILY\nDESCRIPTION:kept\n" + alarm + "END:VEVENT\n",
       {{kExclude, wallOf(2025, 3, 4, 10)}},
       "DTSTART:20250303T100000Z \nRRULE:FREQ=DAILY\nDESCRIPTION:kept\n" + alarm + "EXDATE:20250304T100000Z\n" +
           std::string(kStamp) + "END:VEVENT\n"},
  };
  ZoneCache zones;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string input = crlf(std::string(kHead) + c.body + "END:VCALENDAR\n");
    auto edited = applyEdits(input, c.edits, zones, kNow);
    if (c.expected.empty()) {
      EXPECT_FALSE(edited.has_value());
    } else {
      EXPECT_EQ(edited.value_or("(none)"), crlf(std::string(kHead) + c.expected + "END:VCALENDAR\n"));
    }
  }
}

TEST(ObjectEdit, FoldsWhatItWritesAndKeepsTheTextsLineEnds) {
  const std::string tzid = "Europe/Berlin";
  std::string text = "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART;TZID=" + tzid +
                     ":20250303T100000\nRRULE:FREQ=DAILY;BYDAY=MO,TU,WE,TH,FR,SA;BYMONTH=1,2,3,4,5,6,7,8,9,10,11,12;"
                     "WKST=MO;COUNT=99\nEND:VEVENT\nEND:VCALENDAR\n";
  ZoneCache zones;
  std::vector<ObjectEdit> edits = {{ObjectEdit::Kind::endBefore, wallOf(2025, 3, 11, 10)}};
  auto edited = applyEdits(text, edits, zones, kNow);
  ASSERT_TRUE(edited);
  EXPECT_EQ(edited->find('\r'), std::string::npos);
  EXPECT_NE(edited->find(",12\n ;WKST=MO;UNTIL=20250311T085959Z\n"), std::string::npos) << *edited;
}

}  // namespace
}  // namespace calbridge

namespace calbridge {
namespace {

// A new object's text, as calendar programs write one made by their user.
TEST(ObjectText, NewEventsReadBackAsStored) {
  StoredEvent weekly;
  weekly.externalIdentifier = "w";
  weekly.title = "Swim, then; tea";
  weekly.timeZone = "Europe/Berlin";
  weekly.start = 1744009200;  // 2025-04-07 09:00 in Berlin
  weekly.end = weekly.start + 3600;
  weekly.rule = "FREQ=WEEKLY";
  weekly.until = 1746428400;
  weekly.excluded = {wallOf(2025, 4, 14, 9)};
  StoredEvent holiday;
  holiday.externalIdentifier = "h";
  holiday.allDay = true;
  holiday.start = static_cast<double>(wallOf(2025, 12, 24));
  holiday.end = holiday.start + 2 * kDay;
  holiday.status = EventStatus::tentative;
  ZoneCache zones;
  auto text = objectTextOf(weekly, zones, kNow);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, crlf("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//calbridge//calbridge//EN\nBEGIN:VTIMEZONE\n"
                        "TZID:Europe/Berlin\nBEGIN:STANDARD\nDTSTART:19701025T030000\nTZOFFSETFROM:+0200\n"
                        "TZOFFSETTO:+0100\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\nEND:STANDARD\n"
                        "BEGIN:DAYLIGHT\nDTSTART:19700329T020000\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\n"
                        "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\nEND:DAYLIGHT\nEND:VTIMEZONE\nBEGIN:VEVENT\nUID:w\n"
                        "DTSTAMP:20260101T000000Z\nDTSTART;TZID=Europe/Berlin:20250407T090000\n"
                        "DTEND;TZID=Europe/Berlin:20250407T100000\nSUMMARY:Swim\\, then\\; tea\n"
                        "RRULE:FREQ=WEEKLY;UNTIL=20250505T070000Z\nEXDATE;TZID=Europe/Berlin:20250414T090000\n"
                        "END:VEVENT\nEND:VCALENDAR\n"));
  text = objectTextOf(holiday, zones, kNow);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(crlf("DTSTART;VALUE=DATE:20251224\nDTEND;VALUE=DATE:20251226\nSTATUS:TENTATIVE\n")),
            std::string::npos)
      << *text;
}

}  // namespace
}  // namespace calbridge
