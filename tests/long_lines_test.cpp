// Long content lines are made short before libical reads them (it reads a
// line in the square of its length): what is read must not change.
#include "calendar/civil_time.h"
#include "ical/icalendar.h"

#include <gtest/gtest.h>

#include <string>

namespace calbridge {
namespace {

// `line` folded at 75 octets, as writers fold; never inside a UTF-8 sequence.
std::string folded(const std::string& line) {
  std::string out;
  std::size_t width = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const bool continuation = (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80;
    if (width >= 74 && !continuation) {
      out += "\r\n ";
      width = 1;
    }
    out += line[i];
    ++width;
  }
  return out + "\r\n";
}

std::string eventWith(const std::string& lines, const std::string& uid = "long") {
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
         "\r\nDTSTAMP:20260101T000000Z\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::string repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(LongLines, AreReadAsWrittenWithoutLibicalReadingThemWhole) {
  const std::string start = "DTSTART:20260105T100000Z\r\nDTEND:20260105T110000Z\r\n";
  std::string exdates;
  for (int day = 0; day < 3000; ++day) {
    const CivilDate date = civilFromDays(20458 + day);  // 2026-01-05 and on
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02dT100000Z", date.year, date.month, date.day);
    exdates += (day == 0 ? "" : ",") + std::string(text);
  }
  const std::string longTitle = repeated("\xC3\xA9", 20000);  // é, two bytes each
  const std::string longUid = repeated("u", 10000);
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // a part of the error; empty: read
    std::size_t excluded = 0;
    std::string title = "Long";
    std::string uid = "long";
  } cases[] = {
      {"a description of 300 kB, escapes and UTF-8 throughout",
       eventWith(start + "SUMMARY:Long\r\n" + folded("DESCRIPTION:" + repeated("caf\xC3\xA9\\, \\n\\\\ ", 25000))), ""},
      {"a title of 20,000 characters, as written", eventWith(start + folded("SUMMARY:" + longTitle)), "", 0, longTitle},
      {"3,000 exclusions in one EXDATE",
       eventWith(start + "SUMMARY:Long\r\nRRULE:FREQ=DAILY;COUNT=4000\r\n" + folded("EXDATE:" + exdates)), "", 3000},
      {"an attachment of 100 kB in base64",
       eventWith(start + "SUMMARY:Long\r\n" + folded("ATTACH;ENCODING=BASE64;VALUE=BINARY:" + repeated("QUJD", 25000) + "QQ==")),
       ""},
      {"a property of another program's, 70 kB", eventWith(start + "SUMMARY:Long\r\n" + folded("X-OTHER:" + repeated("x", 70000))), ""},
      {"a UID of 10 kB", eventWith(start + "SUMMARY:Long\r\n", longUid), "", 0, "Long", longUid},
      {"a start with 70 kB of parameters",
       eventWith(folded("DTSTART;X-PAD=" + repeated("p", 70000) + ":20260105T100000Z") + "SUMMARY:Long\r\n"), "DTSTART"},
  };
  for (const auto& c : cases) {
    ZoneCache zones;
    ParsedCalendar parsed = parseICalendar(c.text, zones);
    if (!c.error.empty()) {
      EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.name << ": " << parsed.error;
      EXPECT_TRUE(parsed.events.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(parsed.error, "") << c.name;
    ASSERT_EQ(parsed.events.size(), 1u) << c.name;
    const StoredEvent& e = parsed.events[0];
    EXPECT_TRUE(e.title == c.title) << c.name << ": a title of " << e.title.value_or("").size() << " bytes";
    EXPECT_TRUE(e.externalIdentifier == c.uid) << c.name << ": a UID of " << e.externalIdentifier.size() << " bytes";
    EXPECT_EQ(e.start, 1767607200) << c.name;
    EXPECT_EQ(e.excluded.size(), c.excluded) << c.name;
    EXPECT_EQ(parsed.leftOut.unreadableValues, 0) << c.name;
    ASSERT_EQ(parsed.objects.size(), 1u) << c.name;
    EXPECT_EQ(parsed.objects[0].text.size() > 10000, true) << c.name << ": the kept text is the whole original";
  }
}

}  // namespace
}  // namespace calbridge
