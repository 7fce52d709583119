#include "sqlite/event_rows.h"

#include "base/unicode.h"
#include "calendar/store.h"
#include "sqlite/columns.h"

#include <utility>

namespace calbridge::sqlite {

EventRow EventRow::read(sqlite3_stmt* s) {
  EventRow row;
  row.id = sqlite3_column_int64(s, 0);
  StoredEvent& event = row.event;
  event.calendarItemIdentifier = columnText(s, 1);
  event.externalIdentifier = columnText(s, 2);
  row.calendarId = sqlite3_column_int64(s, 3);
  event.title = optionalText(s, 4);
  event.start = sqlite3_column_double(s, 5);
  event.end = sqlite3_column_double(s, 6);
  event.allDay = sqlite3_column_int(s, 7) != 0;
  event.status = static_cast<EventStatus>(sqlite3_column_int(s, 8));
  event.timeZone = optionalText(s, 9);
  event.rule = optionalText(s, 10);
  event.until = optionalReal(s, 11);
  event.count = optionalInteger(s, 12);
  row.lastEnd = optionalReal(s, 13);
  event.nominalDays = optionalInteger(s, 14).value_or(0);
  row.seriesId = optionalInteger(s, 15);
  const std::optional<std::int64_t> recurrenceId = optionalInteger(s, 16);
  // A part split off a series changes every later occurrence.
  if (row.seriesId && recurrenceId) event.recurrenceId = ReplacedOccurrence{*recurrenceId, event.rule.has_value()};
  return row;
}

std::optional<EventRow> eventRowOfItem(Database& db, std::string_view itemId) {
  Database::Statement s = db.statement(CALBRIDGE_SELECT_EVENTS "WHERE item_id = ?1");
  if (s == nullptr) return std::nullopt;
  bindText(s, 1, itemId);
  bool found = false;
  if (!db.step(s, &found) || !found) return std::nullopt;
  return EventRow::read(s);
}

void readSingles(Database& db, std::int64_t calendarId, SinglesChunk& chunk) {
  Database::Statement s = db.statement(
      "SELECT item_id, external_id, title, start, end, all_day, status, time_zone FROM events "
      "WHERE calendar_id = ?1 AND rule IS NULL AND series_id IS NULL AND start >= ?2 AND start < ?3 "
      "ORDER BY start, end, id");
  if (s != nullptr) {
    sqlite3_bind_int64(s, 1, calendarId);
    sqlite3_bind_double(s, 2, chunk.from);
    sqlite3_bind_double(s, 3, chunk.to);
  }
  auto slice = [&](int column) {
    SingleRow::Slice slice;
    if (sqlite3_column_type(s, column) == SQLITE_NULL) return slice;
    auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    slice.length = static_cast<std::uint32_t>(sqlite3_column_bytes(s, column));
    slice.at = static_cast<std::uint32_t>(chunk.text.size());
    slice.present = true;
    chunk.text.append(text, slice.length);
    return slice;
  };
  bool row = false;
  while (db.step(s, &row) && row) {
    SingleRow single;
    single.itemId = slice(0);
    single.externalId = slice(1);
    single.title = slice(2);
    single.start = sqlite3_column_double(s, 3);
    single.end = sqlite3_column_double(s, 4);
    single.allDay = sqlite3_column_int(s, 5) != 0;
    single.status = static_cast<EventStatus>(sqlite3_column_int(s, 6));
    single.timeZone = slice(7);
    chunk.rows.push_back(single);
  }
}

SeriesRows readSeriesRows(Database& db, std::int64_t calendarId) {
  SeriesRows rows;
  bool row = false;
  {
    Database::Statement s =
        db.statement(CALBRIDGE_SELECT_EVENTS "WHERE calendar_id = ?1 AND rule IS NOT NULL ORDER BY start, id");
    if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
    while (db.step(s, &row) && row) rows.series.push_back(EventRow::read(s));
  }
  // From the calendar's series to their exclusions: the other way round would
  // read every exclusion of the store for each calendar.
  {
    Database::Statement x = db.statement(
        "SELECT x.event_id, x.wall FROM events e JOIN excluded x ON x.event_id = e.id "
        "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY x.event_id, x.wall");
    if (x != nullptr) sqlite3_bind_int64(x, 1, calendarId);
    while (db.step(x, &row) && row) rows.excluded[sqlite3_column_int64(x, 0)].push_back(sqlite3_column_int64(x, 1));
  }
  {
    Database::Statement r = db.statement(
        "SELECT r.event_id, r.wall, r.duration FROM events e JOIN extra_dates r ON r.event_id = e.id "
        "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY r.event_id, r.wall");
    if (r != nullptr) sqlite3_bind_int64(r, 1, calendarId);
    while (db.step(r, &row) && row) {
      rows.extraDates[sqlite3_column_int64(r, 0)].push_back(ExtraDate{sqlite3_column_int64(r, 1), optionalReal(r, 2)});
    }
  }
  Database::Statement o = db.statement(
      CALBRIDGE_SELECT_EVENTS "WHERE calendar_id = ?1 AND series_id IS NOT NULL AND rule IS NULL ORDER BY start, id");
  if (o != nullptr) sqlite3_bind_int64(o, 1, calendarId);
  while (db.step(o, &row) && row) rows.changes.push_back(EventRow::read(o));
  return rows;
}

std::optional<std::int64_t> insertEventRow(Database& db, std::int64_t calendarId, StoredEvent& event,
                                           std::optional<double> lastEnd, std::optional<std::int64_t> objectId,
                                           std::optional<std::int64_t> seriesId) {
  // An event read again from its object's text may carry its identifier over (replica/identifiers.h).
  if (event.calendarItemIdentifier.empty()) event.calendarItemIdentifier = newUuid();
  Database::Statement s = db.statement(
      "INSERT INTO events(item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, "
      "time_zone, rule, until, count, last_end, object_id, nominal_days, series_id, recurrence_id) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)");
  if (s == nullptr) return std::nullopt;
  bindText(s, 1, event.calendarItemIdentifier);
  bindText(s, 2, event.externalIdentifier);
  bindText(s, 3, nfc(event.externalIdentifier));
  sqlite3_bind_int64(s, 4, calendarId);
  bindOptionalText(s, 5, event.title);
  sqlite3_bind_double(s, 6, event.start);
  sqlite3_bind_double(s, 7, event.end);
  sqlite3_bind_int(s, 8, event.allDay ? 1 : 0);
  sqlite3_bind_int(s, 9, static_cast<int>(event.status));
  bindOptionalText(s, 10, event.timeZone);
  bindOptionalText(s, 11, event.rule);
  bindOptionalReal(s, 12, event.until);
  if (event.count) sqlite3_bind_int64(s, 13, *event.count);
  bindOptionalReal(s, 14, lastEnd);
  if (objectId) sqlite3_bind_int64(s, 15, *objectId);
  if (event.rule && event.nominalDays != 0) sqlite3_bind_int64(s, 16, event.nominalDays);
  if (seriesId && event.recurrenceId) {
    sqlite3_bind_int64(s, 17, *seriesId);
    sqlite3_bind_int64(s, 18, event.recurrenceId->wall);
  }
  if (!db.run(s)) return std::nullopt;
  const std::int64_t id = db.lastInsertedRow();
  for (const ExtraDate& extra : event.rule ? event.extraDates : std::vector<ExtraDate>{}) {
    Database::Statement e =
        db.statement("INSERT OR IGNORE INTO extra_dates(event_id, wall, duration) VALUES(?1, ?2, ?3)");
    if (e == nullptr) return std::nullopt;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, extra.wall);
    bindOptionalReal(e, 3, extra.duration);
    if (!db.run(e)) return std::nullopt;
  }
  for (std::int64_t wall : event.excluded) {
    Database::Statement e = db.statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
    if (e == nullptr) return std::nullopt;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, wall);
    if (!db.run(e)) return std::nullopt;
  }
  if (!event.rule && !seriesId) {
    // Listings read single events from this far before their window.
    Database::Statement longest =
        db.statement("UPDATE settings SET value = ?1 WHERE name = 'longest_event' AND value < ?1");
    if (longest == nullptr) return std::nullopt;
    sqlite3_bind_double(longest, 1, event.end - event.start);
    if (!db.run(longest)) return std::nullopt;
  }
  return id;
}

}  // namespace calbridge::sqlite
