// The events table and the two that hang on it (excluded, extra_dates): a row
// read whole, single events read for listings, the series of a calendar, and
// an event written with its exclusions and extra dates.
#pragma once

#include "calendar/stored_event.h"
#include "sqlite/database.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge::sqlite {

// Every event query reads the columns EventRow::read expects: one literal each,
// so that a query is written, and cached, as one SQL text.
#define CALBRIDGE_SELECT_EVENTS                                                                                   \
  "SELECT id, item_id, external_id, calendar_id, title, start, end, all_day, status, time_zone, rule, until, " \
  "count, last_end, nominal_days, series_id, recurrence_id FROM events "

// One row of the events table: the event as stored (without its exclusions
// and extra dates, which are rows of their own), and the keys around it.
struct EventRow {
  std::int64_t id = 0;
  std::int64_t calendarId = 0;
  // A changed occurrence names its series' row (`seriesId`) and, in
  // `event.recurrenceId`, the occurrence it stands in for (wall seconds in
  // that series' terms). A series split off by a THISANDFUTURE change names
  // the series it came from, and the original start of its first occurrence.
  StoredEvent event;
  std::optional<double> lastEnd;  // of a series: a bound on its last occurrence's end (lastEndOf)
  std::optional<std::int64_t> seriesId;

  // The row a CALBRIDGE_SELECT_EVENTS statement stands on.
  static EventRow read(sqlite3_stmt* statement);
};

// The row of the event with that item identifier; nothing when there is none
// or it cannot be read.
std::optional<EventRow> eventRowOfItem(Database& db, std::string_view itemId);

// A single event as listings need it; its text lives in its chunk's buffer.
struct SingleRow {
  struct Slice {
    std::uint32_t at = 0, length = 0;
    bool present = false;
  };
  double start = 0, end = 0;
  bool allDay = false;
  EventStatus status = EventStatus::none;
  Slice itemId, externalId, title, timeZone;
};
// The single events of one calendar starting in [from, to), by start, then
// end, then row: only what the covering index holds, the text in one buffer
// (no allocation per row).
struct SinglesChunk {
  double from = 0, to = 0;
  std::vector<SingleRow> rows;
  std::string text;
  int reads = 1;  // how often the calendar was read for listings (see SqliteStore::singlesIn)
};
void readSingles(Database& db, std::int64_t calendarId, SinglesChunk& chunk);

// The repeating events of one calendar by start (then row), with their
// exclusions and extra dates by row, and the changed occurrences of them by start.
struct SeriesRows {
  std::vector<EventRow> series;
  std::map<std::int64_t, std::vector<std::int64_t>> excluded;
  std::map<std::int64_t, std::vector<ExtraDate>> extraDates;
  std::vector<EventRow> changes;
};
SeriesRows readSeriesRows(Database& db, std::int64_t calendarId);

// Writes `event` into the calendar with its exclusions and, for a series, its
// extra dates, under a new item identifier (filled in) unless it carries one;
// a single event may raise the store's longest event. Returns the new row.
std::optional<std::int64_t> insertEventRow(Database& db, std::int64_t calendarId, StoredEvent& event,
                                           std::optional<double> lastEnd, std::optional<std::int64_t> objectId,
                                           std::optional<std::int64_t> seriesId);

}  // namespace calbridge::sqlite
