#include "ical/long_lines.h"

#include "ical/content_line.h"

#include <algorithm>
#include <array>

namespace calbridge {

namespace {

// Properties whose value only says something to a person (or another
// program): a shorter value changes no event. X- properties too.
constexpr std::array<std::string_view, 12> kFreeText = {
    "SUMMARY", "DESCRIPTION", "COMMENT",  "LOCATION", "CONTACT", "CATEGORIES",
    "RESOURCES", "ATTACH",    "ATTENDEE", "ORGANIZER", "URL",    "RELATED-TO"};

bool freeText(const ContentLine& line) {
  if (line.name().size() >= 2 && equalsIgnoringCase(line.name().substr(0, 2), "X-")) return true;
  return std::any_of(kFreeText.begin(), kFreeText.end(), [&](std::string_view n) { return line.is(n); });
}

// The value cut to at most `room` bytes: at a character's start, never
// between a backslash and what it escapes, base64 in whole quanta.
std::string_view cut(std::string_view value, std::size_t room, bool base64) {
  std::size_t n = std::min(value.size(), room);
  if (base64) return value.substr(0, n - n % 4);
  while (n > 0 && n < value.size() && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
  std::size_t slashes = 0;
  while (slashes < n && value[n - 1 - slashes] == '\\') ++slashes;
  if (slashes % 2 == 1) --n;
  return value.substr(0, n);
}

// One line that is too long, made short; false when it cannot be.
bool shorten(const ContentLine& line, std::string& out, std::string* error) {
  auto refuse = [&](std::string_view what) {
    *error = "a " + std::string(what) + " of " + std::to_string(line.text.size()) + " bytes (" +
             std::string(line.name().substr(0, 64)) + "), longer than can be read";
    return false;
  };
  const bool dates = line.is("EXDATE") || line.is("RDATE");
  if (!dates && !freeText(line)) {
    if (line.text.size() > kLongestLine) return refuse("content line");
    out.append(line.raw);
    return true;
  }
  const std::string_view head = line.head();
  if (!line.hasValue() || head.size() + 16 > kLongLine) return refuse("content line");
  const std::string_view value = line.value();
  if (dates) {
    // The same dates in several properties: RFC 5545 takes them together.
    for (std::size_t from = 0;;) {
      std::size_t end = std::min(value.find(',', from), value.size());
      if (end - from + head.size() > kLongLine) return refuse("date");
      // As many more whole dates as fit.
      while (end < value.size()) {
        const std::size_t next = std::min(value.find(',', end + 1), value.size());
        if (next - from + head.size() > kLongLine) break;
        end = next;
      }
      out.append(head).append(value.substr(from, end - from)).append("\r\n");
      if (end >= value.size()) break;
      from = end + 1;
    }
    return true;
  }
  const bool base64 = upperCase(head).find("BASE64") != std::string::npos;
  out.append(head).append(cut(value, kLongLine - head.size(), base64)).append("\r\n");
  return true;
}

}  // namespace

std::optional<std::string> linesForLibical(std::string_view text, std::string* error) {
  std::string out;
  out.reserve(text.size());
  ContentLineReader reader(text);
  for (ContentLine line; reader.next(line);) {
    if (line.text.size() <= kLongLine) {
      out.append(line.raw);
    } else if (!shorten(line, out, error)) {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace calbridge
