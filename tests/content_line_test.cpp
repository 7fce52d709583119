// The one reader of content lines: unfolded first, then split into name,
// parameters and value, so the reader, the frame check and the editor read a
// line alike.
#include "ical/content_line.h"

#include <gtest/gtest.h>

namespace calbridge {
namespace {

TEST(ContentLines, UnfoldThenSplit) {
  struct Case {
    const char* name;
    std::string text;
    std::string unfolded;  // of the first line
    std::string lineName, value, tzid;
    bool wellFormed;
    std::size_t lines;
  } cases[] = {
      {"plain", "SUMMARY:Tea\r\n", "SUMMARY:Tea", "SUMMARY", "Tea", "", true, 1},
      {"folded inside a character", "SUMMARY:caf\xC3\r\n \xA9\r\n", "SUMMARY:caf\xC3\xA9", "SUMMARY", "caf\xC3\xA9", "",
       true, 1},
      {"folded with a tab, LF ends", "DESCRIPTION:a\n\tb\n", "DESCRIPTION:ab", "DESCRIPTION", "ab", "", true, 1},
      {"folded across an empty line", "VERSION\r\n\r\n :2.0\r\n", "VERSION:2.0", "VERSION", "2.0", "", true, 1},
      {"quoted parameter with ':' and ';'", "DTSTART;TZID=\"a:b;c\";VALUE=DATE-TIME:20250303T100000\r\n",
       "DTSTART;TZID=\"a:b;c\";VALUE=DATE-TIME:20250303T100000", "DTSTART", "20250303T100000", "a:b;c", true, 1},
      {"colons in the value", "URL:http://x/y\r\n", "URL:http://x/y", "URL", "http://x/y", "", true, 1},
      {"a continuation of nothing", " :2.0\r\nVERSION:2.0\r\n", " :2.0", " ", "2.0", "", false, 2},
      {"a name without a value", "ORGANIZER;CN=Ann\r\nLee:mailto:a@x\r\n", "ORGANIZER;CN=Ann", "ORGANIZER", "", "",
       false, 2},
      {"an unclosed quote has no value", "X-A;P=\"b:c\r\n", "X-A;P=\"b:c", "X-A", "", "", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ContentLine> lines = contentLines(c.text);
    ASSERT_EQ(lines.size(), c.lines);
    const ContentLine& line = lines[0];
    EXPECT_EQ(line.text, c.unfolded);
    EXPECT_EQ(line.name(), c.lineName);
    EXPECT_EQ(line.value(), c.value);
    EXPECT_EQ(line.parameter("TZID").value_or(""), c.tzid);
    EXPECT_EQ(line.wellFormed(), c.wellFormed);
    // The raw lines are every byte the text held for the line: written back, the text is whole.
    std::string raw;
    for (const ContentLine& l : lines) raw += l.raw;
    EXPECT_EQ(raw, c.text);
  }
  // A fault inside a continuation is named by its physical line.
  std::vector<ContentLine> lines = contentLines("BEGIN:VEVENT\r\nSUMMARY:a\r\n\r\n b\r\n c\xFF\r\n");
  ASSERT_EQ(lines.size(), 2u);
  auto bad = invalidUtf8At(lines[1].text);
  ASSERT_TRUE(bad);
  EXPECT_EQ(lines[1].lineOf(*bad), 5u);
  EXPECT_EQ(lines[1].lineOf(0), 2u);
}

}  // namespace
}  // namespace calbridge
