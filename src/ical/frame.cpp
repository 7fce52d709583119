#include "ical/frame.h"

#include "ical/content_line.h"

#include <optional>
#include <vector>

namespace calbridge {

namespace {

std::string_view withoutTrailingBlanks(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

class FrameChecker {
 public:
  explicit FrameChecker(Frame& frame) : frame_(frame) {}

  // One line; false once the frame is broken (`frame_.error` says how).
  bool take(const ContentLine& line) {
    // Made only for a message: a file has tens of thousands of lines.
    auto at = [&line] { return "line " + std::to_string(line.number) + ": "; };
    if (line.text.empty()) return true;
    if (line.orphan) {
      if (open_.empty()) return fail(at() + "a continuation of nothing");
      ++frame_.droppedLines;
      return true;
    }
    if (!line.wellFormed()) {
      if (!open_.empty()) {
        ++frame_.droppedLines;
        return true;
      }
      return fail(sawCalendar_ ? at() + "text after the end of the calendar" : "not an iCalendar file");
    }
    const bool begin = line.is("BEGIN");
    const bool end = line.is("END");
    const std::string value = begin || end ? upperCase(withoutTrailingBlanks(line.value())) : std::string();
    if (open_.empty()) {
      if (begin && value != "VCALENDAR") {
        // A component with no calendar around it: inside one of its own.
        if (!bare_) frame_.cleaned += "BEGIN:VCALENDAR\r\n";
        bare_ = true;
        ++frame_.bareComponents;
        bareEvent_ = bareEvent_ || value == "VEVENT";
      } else if (begin) {
        closeBare();
        realCalendar_ = true;
      } else if (!sawCalendar_ || end) {
        return fail(sawCalendar_ ? at() + "text after the end of the calendar" : "not an iCalendar file");
      } else {
        // A property after the end (a feed's note on when it was cached) belongs to no calendar.
        ++frame_.droppedLines;
        return true;
      }
    }
    if (begin) {
      open_.push_back(value);
    } else if (end) {
      if (value != open_.back()) return fail(at() + "END:" + value + " does not close BEGIN:" + open_.back());
      open_.pop_back();
      sawCalendar_ = sawCalendar_ || open_.empty();
    }
    frame_.cleaned.append(line.text);
    frame_.cleaned += "\r\n";
    return true;
  }

  void finish() {
    if (!frame_.error.empty()) return;
    closeBare();
    if (!open_.empty()) {
      fail("the file ends inside " + open_.back() + ": it is cut short");
    } else if (!sawCalendar_ || (frame_.bareComponents > 0 && !bareEvent_ && !realCalendar_)) {
      // Bare components are read for the events among them; a vCard is no calendar.
      fail("not an iCalendar file");
    }
  }

 private:
  bool fail(std::string message) {
    frame_.error = std::move(message);
    return false;
  }
  void closeBare() {
    if (bare_) frame_.cleaned += "END:VCALENDAR\r\n";
    bare_ = false;
  }

  Frame& frame_;
  std::vector<std::string> open_;
  bool sawCalendar_ = false;
  bool bare_ = false;  // inside a run of components without a calendar around them
  bool bareEvent_ = false;
  bool realCalendar_ = false;
};

}  // namespace

Frame checkFrame(std::string_view text) {
  Frame frame;
  if (text.find('\0') != std::string_view::npos) {
    frame.error = "not a text file (it holds NUL bytes)";
    return frame;
  }
  FrameChecker checker(frame);
  frame.cleaned.reserve(text.size() + 64);  // the text, less its folds, and maybe a VCALENDAR around it
  // Text that is not UTF-8 is named before any fault of the frame, wherever it lies.
  std::optional<std::size_t> notUtf8;
  bool broken = false;
  ContentLineReader reader(text);
  for (ContentLine line; reader.next(line);) {
    if (auto at = invalidUtf8At(line.text)) {
      notUtf8 = line.lineOf(*at);
      break;
    }
    if (!broken) broken = !checker.take(line);
  }
  if (notUtf8) {
    frame.error = "line " + std::to_string(*notUtf8) + ": not UTF-8 text";
    return frame;
  }
  checker.finish();
  return frame;
}

}  // namespace calbridge
