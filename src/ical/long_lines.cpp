#include "ical/long_lines.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace calbridge {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::toupper(x) == std::toupper(y);
         });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// Properties whose value only says something to a person (or another
// program): a shorter value changes no event. X- properties too.
constexpr std::array<std::string_view, 12> kFreeText = {
    "SUMMARY", "DESCRIPTION", "COMMENT",  "LOCATION", "CONTACT", "CATEGORIES",
    "RESOURCES", "ATTACH",    "ATTENDEE", "ORGANIZER", "URL",    "RELATED-TO"};

bool freeText(std::string_view name) {
  if (startsWithIgnoringCase(name, "X-")) return true;
  return std::any_of(kFreeText.begin(), kFreeText.end(), [&](std::string_view n) { return equalsIgnoringCase(n, name); });
}

// Where the value starts: after the first colon outside a quoted parameter value.
std::size_t valueStart(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else if (line[i] == ':' && !quoted) return i + 1;
  }
  return std::string_view::npos;
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

// One logical line that is too long (`written` as its physical lines), made
// short; false when it cannot be.
bool shorten(std::string_view line, std::string_view written, std::string& out, std::string* error) {
  const std::size_t nameEnd = std::min(line.find_first_of(";:"), line.size());
  const std::string_view name = line.substr(0, nameEnd);
  const std::size_t start = valueStart(line);
  const std::string_view head = start == std::string_view::npos ? line : line.substr(0, start);
  auto refuse = [&](std::string_view what) {
    *error = "a " + std::string(what) + " of " + std::to_string(line.size()) + " bytes (" +
             std::string(name.substr(0, 64)) + "), longer than can be read";
    return false;
  };
  const bool dates = equalsIgnoringCase(name, "EXDATE") || equalsIgnoringCase(name, "RDATE");
  if (!dates && !freeText(name)) {
    if (line.size() > kLongestLine) return refuse("content line");
    out.append(written);
    return true;
  }
  if (start == std::string_view::npos || head.size() + 16 > kLongLine) return refuse("content line");
  const std::string_view value = line.substr(start);
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
  const bool base64 = head.find("BASE64") != std::string_view::npos || head.find("base64") != std::string_view::npos;
  out.append(head).append(cut(value, kLongLine - head.size(), base64)).append("\r\n");
  return true;
}

}  // namespace

std::optional<std::string> linesForLibical(std::string_view text, std::string* error) {
  std::string out;
  out.reserve(text.size());
  // Each logical line: its physical lines as written, and unfolded.
  std::size_t logicalStart = 0;
  std::string unfolded;
  bool any = false;
  auto flush = [&](std::size_t end) {
    if (!any) return true;
    if (unfolded.size() <= kLongLine) {
      out.append(text.substr(logicalStart, end - logicalStart));
      return true;
    }
    return shorten(unfolded, text.substr(logicalStart, end - logicalStart), out, error);
  };
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t newline = text.find('\n', position);
    std::size_t next = newline == std::string_view::npos ? text.size() : newline + 1;
    std::string_view physical = text.substr(position, next - position);
    std::string_view content = physical;
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.remove_suffix(1);
    if (any && !content.empty() && (content.front() == ' ' || content.front() == '\t')) {
      unfolded.append(content.substr(1));
    } else {
      if (!flush(position)) return std::nullopt;
      logicalStart = position;
      unfolded.assign(content);
      any = true;
    }
    position = next;
  }
  if (!flush(text.size())) return std::nullopt;
  return out;
}

}  // namespace calbridge
