// Values as iCalendar text holds them (RFC 5545 3.3), read and written without
// libical: dates and date-times, UTC offsets, TEXT escapes, and folding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace calbridge {

// A DATE or DATE-TIME value as written: its date and time counted as if UTC.
struct TextTime {
  std::int64_t wall = 0;
  bool date = false;
  bool utc = false;
};

// "20250303" or "20250303T100000" (with "Z" for UTC); blanks at its ends are
// no part of it, as libical reads them. A leap second reads as the last second
// of its minute. Nothing for anything else, or a date that does not exist.
std::optional<TextTime> parseTextTime(std::string_view value);

std::string dateText(std::int64_t wall);  // "20250303"
std::string dateTimeText(std::int64_t wall, bool utc);  // "20250303T100000", "...Z"
// "+0100", or "+053328" when the offset has seconds, as libical writes them.
std::string utcOffsetText(std::int32_t offset);
// A TEXT value with '\', ';', ',' and line breaks escaped.
std::string escapedText(std::string_view text);
// A parameter value, quoted when it holds ':', ';' or ','.
std::string parameterText(std::string_view value);

// One content line folded at 75 octets, never inside a UTF-8 sequence, with
// `lineEnd` after each part.
std::string folded(std::string_view content, std::string_view lineEnd = "\r\n");

}  // namespace calbridge
