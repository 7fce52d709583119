// A file's VTIMEZONE is worked out once and remembered for the run: what is
// remembered must be exactly what working it out again would give, whatever
// TZID, text and years an object brings, and whichever zone cache reads it.
#include "ical/icalendar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calbridge {
namespace {

// A VTIMEZONE with yearly rules between two offsets (the EU's last Sundays of
// March and October), or one offset all year, from 1970 on.
std::string definition(const std::string& tzid, const std::string& standard, const std::string& summer) {
  std::string text = "BEGIN:VTIMEZONE\r\nTZID:" + tzid + "\r\n";
  if (summer.empty()) {
    // A yearly onset that changes nothing: the definition speaks for every year.
    return text + "BEGIN:STANDARD\r\nDTSTART:19701025T020000\r\nTZOFFSETFROM:" + standard + "\r\nTZOFFSETTO:" +
           standard + "\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
  }
  return text + "BEGIN:DAYLIGHT\r\nDTSTART:19700329T020000\r\nTZOFFSETFROM:" + standard + "\r\nTZOFFSETTO:" + summer +
         "\r\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU\r\nEND:DAYLIGHT\r\nBEGIN:STANDARD\r\nDTSTART:19701025T030000\r\n"
         "TZOFFSETFROM:" + summer + "\r\nTZOFFSETTO:" + standard +
         "\r\nRRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
}

std::string object(const std::string& zone, const std::string& tzid, const std::string& start) {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n" + zone + "BEGIN:VEVENT\r\nUID:e\r\n" +
         "DTSTAMP:20260101T000000Z\r\nDTSTART;TZID=" + tzid + ":" + start + "\r\nSUMMARY:e\r\nEND:VEVENT\r\n" +
         "END:VCALENDAR\r\n";
}

TEST(ZoneInterpretation, WhatIsRememberedIsWhatReadingAgainGives) {
  const std::string berlin = definition("Europe/Berlin", "+0100", "+0200");
  const std::string londonAsBerlin = definition("Europe/Berlin", "+0000", "+0100");
  const std::string madeUp = definition("Made Up", "+0530", "+0630");
  // Mexico City's offsets since it dropped summer time in 2022.
  const std::string mexico = definition("America/Mexico_City", "-0600", "");
  const std::string sixFrom1970 =
      "BEGIN:VTIMEZONE\r\nTZID:Made Up\r\nBEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:+0600\r\n"
      "TZOFFSETTO:+0600\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n";
  struct Case {
    const char* name;
    std::string text;
    std::string zone;  // the zone the event is kept in; "ics:" alone: one of the file's own
    bool sameName;     // whether `zone` is the exact name or the name must differ from it
    double start;
  } cases[] = {
      {"a definition that agrees with its IANA name", object(berlin, "Europe/Berlin", "20260701T090000"),
       "Europe/Berlin", true, 1782889200},
      {"the same TZID defined otherwise", object(londonAsBerlin, "Europe/Berlin", "20260701T090000"),
       "Europe/Berlin", false, 1782892800},
      {"a definition no IANA zone has", object(madeUp, "Made Up", "20260701T090000"), "ics:", true, 1782873000},
      {"one text, years its name agrees with", object(mexico, "America/Mexico_City", "20260701T090000"),
       "America/Mexico_City", true, 1782918000},
      {"one text, years its name had summer time", object(mexico, "America/Mexico_City", "20200701T090000"),
       "America/Mexico_City", false, 1593615600},
      // One onset in 1970 and no rule: +06:00 from then on, not the zone
      // (Asia/Tashkent) that had +06:00 in 1970 and +05:00 now.
      {"a last offset that holds on", object(sixFrom1970, "Made Up", "20260701T090000"), "Asia/Tashkent", false,
       1782874800},
  };
  // Each case read in turn by two caches, twice over, so that every answer
  // after the first comes from what was remembered, by the same cache or
  // through another one.
  ZoneCache first, second;
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& c : cases) {
      for (ZoneCache* zones : {&first, &second}) {
        ParsedCalendar parsed = parseICalendar(c.text, *zones);
        ASSERT_EQ(parsed.error, "") << c.name;
        ASSERT_EQ(parsed.events.size(), 1u) << c.name;
        const StoredEvent& e = parsed.events[0];
        ASSERT_TRUE(e.timeZone.has_value()) << c.name;
        if (c.zone == "ics:") {
          EXPECT_TRUE(e.timeZone->starts_with("ics:Made Up#")) << c.name << ": " << *e.timeZone;
          EXPECT_NE(zones->find(*e.timeZone), nullptr) << c.name << ": the cache that reads it knows the zone";
        } else if (c.sameName) {
          EXPECT_EQ(*e.timeZone, c.zone) << c.name;
        } else {
          EXPECT_NE(*e.timeZone, c.zone) << c.name;
        }
        EXPECT_EQ(e.start, c.start) << c.name << ", pass " << pass;
      }
    }
  }
}

}  // namespace
}  // namespace calbridge
