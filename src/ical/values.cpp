#include "ical/values.h"

#include "calendar/civil_time.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace calbridge {

std::optional<TextTime> parseTextTime(std::string_view v) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!v.empty() && blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && blank(v.back())) v.remove_suffix(1);
  auto digits = [&](std::size_t from, std::size_t n) -> std::optional<int> {
    if (from + n > v.size()) return std::nullopt;
    int out = 0;
    for (std::size_t i = from; i < from + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(v[i]))) return std::nullopt;
      out = out * 10 + (v[i] - '0');
    }
    return out;
  };
  auto y = digits(0, 4), m = digits(4, 2), d = digits(6, 2);
  if (!y || !m || !d || *m < 1 || *m > 12 || *d < 1 || *d > daysInMonth(*y, *m)) return std::nullopt;
  TextTime t;
  t.wall = daysFromCivil(*y, *m, *d) * kDay;
  if (v.size() == 8) {
    t.date = true;
    return t;
  }
  if (v.size() < 15 || v[8] != 'T') return std::nullopt;
  auto hh = digits(9, 2), mm = digits(11, 2), ss = digits(13, 2);
  if (!hh || !mm || !ss || *hh > 23 || *mm > 59 || *ss > 60) return std::nullopt;
  t.wall += *hh * 3600 + *mm * 60 + std::min(*ss, 59);
  if (v.size() == 16 && (v[15] == 'Z' || v[15] == 'z')) {
    t.utc = true;
  } else if (v.size() != 15) {
    return std::nullopt;
  }
  return t;
}

std::string dateText(std::int64_t wall) {
  CivilDate c = civilFromDays(floorDiv(wall, kDay));
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", c.year, c.month, c.day);
  return buffer;
}

std::string dateTimeText(std::int64_t wall, bool utc) {
  std::int64_t seconds = wall - floorDiv(wall, kDay) * kDay;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "T%02d%02d%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return dateText(wall) + buffer + (utc ? "Z" : "");
}

std::string utcOffsetText(std::int32_t offset) {
  const std::int32_t a = std::abs(offset);
  const int hours = std::min(a / 3600, 23), minutes = a / 60 % 60, seconds = a % 60;
  char buffer[16];
  if (seconds != 0) {
    std::snprintf(buffer, sizeof buffer, "%c%02d%02d%02d", offset < 0 ? '-' : '+', hours, minutes, seconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%c%02d%02d", offset < 0 ? '-' : '+', hours, minutes);
  }
  return buffer;
}

std::string escapedText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == ';' || c == ',') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::string parameterText(std::string_view value) {
  if (value.find_first_of(";:,") == std::string_view::npos) return std::string(value);
  return "\"" + std::string(value) + "\"";
}

std::string folded(std::string_view content, std::string_view lineEnd) {
  std::string out;
  std::size_t limit = 75;
  while (content.size() > limit) {
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(content[cut]) & 0xC0) == 0x80) --cut;
    out.append(content.substr(0, cut));
    out.append(lineEnd);
    out.push_back(' ');
    content.remove_prefix(cut);
    limit = 74;
  }
  out.append(content);
  out.append(lineEnd);
  return out;
}

}  // namespace calbridge
