// The frame of a calendar file, checked before libical reads it: libical
// takes much that is no iCalendar file (it drops lines outside any component,
// lets any END close a component and reads nothing past a NUL), so the frame is
// checked first, with line numbers a person can look up.
#pragma once

#include <string>
#include <string_view>

namespace calbridge {

struct Frame {
  std::string error;  // one line; empty when the frame holds
  // The text as libical is to read it: unfolded content lines with CRLF ends,
  // without the lines dropped below, and components written without a
  // VCALENDAR around them inside one of their own.
  std::string cleaned;
  // Lines inside the calendar that are no content line (a value cut loose by
  // bad folding, a name without a value) and properties after its end:
  // dropped, as other programs read such files.
  int droppedLines = 0;
  // Components with no VCALENDAR around them (a bare VEVENT, as some programs
  // write and paste them), read as one calendar.
  int bareComponents = 0;
};

// Checks `text` (without byte order mark): no NUL, UTF-8 once unfolded (RFC
// 5545 3.1: a fold may fall inside a character), BEGIN and END in pairs.
Frame checkFrame(std::string_view text);

}  // namespace calbridge
