// Values in and out of SQLite's columns and parameters, as every table reads
// and binds them.
#pragma once

#include "calendar/color.h"
#include "calendar/store.h"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace calbridge {

// Readers, inline: a listing reads a few columns of thousands of rows.
inline std::string columnText(sqlite3_stmt* s, int column) {
  auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
}
inline std::optional<std::string> optionalText(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return columnText(s, column);
}
inline std::optional<double> optionalReal(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(s, column);
}
inline std::optional<std::int64_t> optionalInteger(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, column);
}
void bindText(sqlite3_stmt* s, int index, std::string_view text);
void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& text);
void bindOptionalReal(sqlite3_stmt* s, int index, std::optional<double> value);

// A color as the calendars table keeps it: a space's name and its components as text.
std::optional<Color> colorOf(const std::optional<std::string>& space, const std::optional<std::string>& components);
// A calendar's own fields, at parameters 2 to 6 of inserts and updates alike.
void bindCalendarFields(sqlite3_stmt* s, const Calendar& calendar);

}  // namespace calbridge
