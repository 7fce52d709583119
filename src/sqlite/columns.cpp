#include "sqlite/columns.h"

#include <cstdio>
#include <cstdlib>

namespace calbridge {

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text64(s, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
  if (text) bindText(s, index, *text);
  else sqlite3_bind_null(s, index);
}

void bindOptionalReal(sqlite3_stmt* s, int index, std::optional<double> value) {
  if (value) sqlite3_bind_double(s, index, *value);
  else sqlite3_bind_null(s, index);
}

namespace {

std::string colorSpaceName(ColorSpace space) {
  switch (space) {
    case ColorSpace::sRGB: return "srgb";
    case ColorSpace::gray: return "gray";
    case ColorSpace::other: return "other";
  }
  return "other";
}

std::string componentsText(const Color& color) {
  std::string text;
  for (double component : color.components) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", component);
    if (!text.empty()) text += ' ';
    text += buffer;
  }
  return text;
}

}  // namespace

std::optional<Color> colorOf(const std::optional<std::string>& space, const std::optional<std::string>& components) {
  if (!space) return std::nullopt;
  Color color;
  color.space = *space == "srgb" ? ColorSpace::sRGB : *space == "gray" ? ColorSpace::gray : ColorSpace::other;
  if (components) {
    const char* p = components->c_str();
    for (;;) {
      char* next = nullptr;
      double value = std::strtod(p, &next);
      if (next == p) break;
      color.components.push_back(value);
      p = next;
    }
  }
  return color;
}

void bindCalendarFields(sqlite3_stmt* s, const Calendar& calendar) {
  bindText(s, 2, calendar.title);
  if (calendar.color) {
    bindText(s, 3, colorSpaceName(calendar.color->space));
    bindText(s, 4, componentsText(*calendar.color));
  }
  sqlite3_bind_int(s, 5, calendar.allowsContentModifications ? 1 : 0);
  sqlite3_bind_int(s, 6, calendar.isImmutable ? 1 : 0);
}

}  // namespace calbridge
