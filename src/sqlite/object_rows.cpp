#include "sqlite/object_rows.h"

#include "sqlite/columns.h"

#include <map>

namespace calbridge::sqlite {

namespace {

using Cell = ObjectRows::Cell;

Cell cellOf(sqlite3_stmt* s, int column) {
  switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER: return sqlite3_column_int64(s, column);
    case SQLITE_FLOAT: return sqlite3_column_double(s, column);
    case SQLITE_NULL: return std::monostate{};
    default: return columnText(s, column);
  }
}

void bindCell(sqlite3_stmt* s, int index, const Cell& cell) {
  if (auto* i = std::get_if<std::int64_t>(&cell)) sqlite3_bind_int64(s, index, *i);
  else if (auto* d = std::get_if<double>(&cell)) sqlite3_bind_double(s, index, *d);
  else if (auto* t = std::get_if<std::string>(&cell)) bindText(s, index, *t);
  else sqlite3_bind_null(s, index);
}

double number(const Cell& cell) {
  if (auto* d = std::get_if<double>(&cell)) return *d;
  if (auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  return 0;
}

// The columns of an event's row in ObjectRows, after its id and series_id;
// restored in this order as parameters 1 to 16.
#define CALBRIDGE_EVENT_COLUMNS                                                                                \
  "item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, time_zone, rule, until, " \
  "count, last_end, nominal_days, recurrence_id"
constexpr int kEventColumns = 16;
constexpr int kStart = 2 + 5, kEnd = 2 + 6, kRule = 2 + 10;  // within a captured row

}  // namespace

std::optional<ObjectRows> readObjectRows(Database& db, std::int64_t objectId) {
  ObjectRows rows;
  auto read = [&](const char* sql, int columns, std::vector<std::vector<Cell>>& into) {
    Database::Statement s = db.statement(sql);
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, objectId);
    bool row = false;
    while (db.step(s, &row) && row) {
      std::vector<Cell>& cells = into.emplace_back();
      for (int c = 0; c < columns; ++c) cells.push_back(cellOf(s, c));
    }
    return !db.failed();
  };
  if (!read("SELECT id, series_id, " CALBRIDGE_EVENT_COLUMNS " FROM events WHERE object_id = ?1 ORDER BY id",
            2 + kEventColumns, rows.events) ||
      !read("SELECT x.event_id, x.wall FROM excluded x JOIN events e ON e.id = x.event_id WHERE e.object_id = ?1", 2,
            rows.excluded) ||
      !read("SELECT d.event_id, d.wall, d.duration FROM extra_dates d JOIN events e ON e.id = d.event_id "
            "WHERE e.object_id = ?1",
            3, rows.extraDates)) {
    return std::nullopt;
  }
  return rows;
}

bool writeObjectRows(Database& db, std::int64_t objectId, const ObjectRows& rows) {
  Database::Statement d = db.statement("DELETE FROM events WHERE object_id = ?1");
  if (d == nullptr) return false;
  sqlite3_bind_int64(d, 1, objectId);
  if (!db.run(d)) return false;
  // Rows get new ids, in the order of the old ones: a series comes before what names it.
  std::map<std::int64_t, std::int64_t> ids;
  auto idOf = [&](const Cell& cell) -> std::optional<std::int64_t> {
    auto* old = std::get_if<std::int64_t>(&cell);
    auto found = old != nullptr ? ids.find(*old) : ids.end();
    if (found == ids.end()) return std::nullopt;
    return found->second;
  };
  for (const std::vector<Cell>& row : rows.events) {
    Database::Statement s = db.statement("INSERT INTO events(" CALBRIDGE_EVENT_COLUMNS
                               ", object_id, series_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
                               "?13, ?14, ?15, ?16, ?17, ?18)");
    if (s == nullptr) return false;
    for (int c = 0; c < kEventColumns; ++c) bindCell(s, c + 1, row[2 + c]);
    sqlite3_bind_int64(s, kEventColumns + 1, objectId);
    const bool inSeries = !std::holds_alternative<std::monostate>(row[1]);
    if (inSeries) {
      auto series = idOf(row[1]);
      if (!series) return false;
      sqlite3_bind_int64(s, kEventColumns + 2, *series);
    }
    if (!db.run(s)) return false;
    ids.emplace(std::get<std::int64_t>(row[0]), db.lastInsertedRow());
    // A single event bounds how far back a listing looks, as when it was first stored.
    if (!inSeries && std::holds_alternative<std::monostate>(row[kRule])) {
      Database::Statement longest =
          db.statement("UPDATE settings SET value = ?1 WHERE name = 'longest_event' AND value < ?1");
      if (longest == nullptr) return false;
      sqlite3_bind_double(longest, 1, number(row[kEnd]) - number(row[kStart]));
      if (!db.run(longest)) return false;
    }
  }
  for (const std::vector<Cell>& row : rows.excluded) {
    Database::Statement s = db.statement("INSERT INTO excluded(event_id, wall) VALUES(?1, ?2)");
    auto event = idOf(row[0]);
    if (s == nullptr || !event) return false;
    sqlite3_bind_int64(s, 1, *event);
    bindCell(s, 2, row[1]);
    if (!db.run(s)) return false;
  }
  for (const std::vector<Cell>& row : rows.extraDates) {
    Database::Statement s = db.statement("INSERT INTO extra_dates(event_id, wall, duration) VALUES(?1, ?2, ?3)");
    auto event = idOf(row[0]);
    if (s == nullptr || !event) return false;
    sqlite3_bind_int64(s, 1, *event);
    bindCell(s, 2, row[1]);
    bindCell(s, 3, row[2]);
    if (!db.run(s)) return false;
  }
  return true;
}

}  // namespace calbridge::sqlite
