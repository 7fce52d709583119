#include "sqlite/store_internal.h"
#include "calendar/occurrences.h"
#include "calendar/stored_series.h"
#include "base/unicode.h"

#include <algorithm>
#include <map>
#include <unistd.h>
#include <utility>

namespace calbridge {

double SqliteStore::longestEvent() {
  if (longestEvent_) return *longestEvent_;
  StatementUse s = statement("SELECT value FROM settings WHERE name = 'longest_event'");
  bool row = false;
  if (!step(s, &row) || !row) return 0;
  longestEvent_ = std::max(0.0, sqlite3_column_double(s, 0));
  return *longestEvent_;
}

SqliteStore::Singles SqliteStore::singlesIn(std::int64_t calendarId, double from, double to) {
  auto chunk = singlesCache_.find(calendarId);
  if (chunk == singlesCache_.end() || from < chunk->second.from || to > chunk->second.to) {
    // A calendar asked about again (the skips of a new series, say) is read in
    // wider chunks; one asked about once is read for exactly its window.
    const int reads = chunk == singlesCache_.end() ? 1 : chunk->second.reads + 1;
    constexpr double kPadding = 60 * kDaySeconds;
    const bool pad = reads > 1 && to - from < kPadding;
    SinglesChunk loaded{pad ? from - kPadding : from, pad ? to + kPadding : to, {}, {}, reads};
    // Only what the covering index holds.
    StatementUse s = statement(
        "SELECT item_id, external_id, title, start, end, all_day, status, time_zone FROM events "
        "WHERE calendar_id = ?1 AND rule IS NULL AND series_id IS NULL AND start >= ?2 AND start < ?3 "
        "ORDER BY start, end, id");
    if (s != nullptr) {
      sqlite3_bind_int64(s, 1, calendarId);
      sqlite3_bind_double(s, 2, loaded.from);
      sqlite3_bind_double(s, 3, loaded.to);
    }
    // Text goes into one buffer per chunk: no allocation per row.
    auto slice = [&](int column) {
      SingleRow::Slice slice;
      if (sqlite3_column_type(s, column) == SQLITE_NULL) return slice;
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
      slice.length = static_cast<std::uint32_t>(sqlite3_column_bytes(s, column));
      slice.at = static_cast<std::uint32_t>(loaded.text.size());
      slice.present = true;
      loaded.text.append(text, slice.length);
      return slice;
    };
    bool row = false;
    while (step(s, &row) && row) {
      SingleRow single;
      single.itemId = slice(0);
      single.externalId = slice(1);
      single.title = slice(2);
      single.start = sqlite3_column_double(s, 3);
      single.end = sqlite3_column_double(s, 4);
      single.allDay = sqlite3_column_int(s, 5) != 0;
      single.status = static_cast<EventStatus>(sqlite3_column_int(s, 6));
      single.timeZone = slice(7);
      loaded.rows.push_back(single);
    }
    chunk = singlesCache_.insert_or_assign(calendarId, std::move(loaded)).first;
  }
  const auto& rows = chunk->second.rows;
  auto first = std::lower_bound(rows.begin(), rows.end(), from, [](const SingleRow& r, double t) { return r.start < t; });
  auto last = std::lower_bound(first, rows.end(), to, [](const SingleRow& r, double t) { return r.start < t; });
  return Singles{{first, last}, &chunk->second.text};
}

ZoneCache& SqliteStore::zonesFor(const StoredEvent& event) {
  return event.timeZone && isDefinedZoneName(*event.timeZone) ? zones() : zones_;
}

ZoneCache& SqliteStore::zonesFor(std::span<const StoredEvent> events) {
  for (const StoredEvent& event : events) {
    if (event.timeZone && isDefinedZoneName(*event.timeZone)) return zones();
  }
  return zones_;
}

std::vector<SqliteStore::CachedSeries>& SqliteStore::seriesIn(std::int64_t calendarId) {
  auto found = seriesCache_.find(calendarId);
  if (found != seriesCache_.end()) return found->second;
  std::vector<CachedSeries> loaded;
  StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE calendar_id = ?1 AND rule IS NOT NULL ORDER BY start, id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
  bool row = false;
  while (step(s, &row) && row) {
    EventRow event = EventRow::read(s);
    Series series = seriesOf(event.event, zonesFor(event.event));
    loaded.push_back(CachedSeries{std::move(event), std::move(series)});
  }
  // From the calendar's series to their exclusions: the other way round would
  // read every exclusion of the store for each calendar.
  StatementUse x = statement(
      "SELECT x.event_id, x.wall FROM events e JOIN excluded x ON x.event_id = e.id "
      "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY x.event_id, x.wall");
  if (x != nullptr) sqlite3_bind_int64(x, 1, calendarId);
  std::map<std::int64_t, std::vector<std::int64_t>> excluded;
  while (step(x, &row) && row) excluded[sqlite3_column_int64(x, 0)].push_back(sqlite3_column_int64(x, 1));
  for (auto& cached : loaded) {
    if (auto e = excluded.find(cached.row.id); e != excluded.end()) cached.series.excluded = std::move(e->second);
  }
  StatementUse r = statement(
      "SELECT r.event_id, r.wall, r.duration FROM events e JOIN extra_dates r ON r.event_id = e.id "
      "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY r.event_id, r.wall");
  if (r != nullptr) sqlite3_bind_int64(r, 1, calendarId);
  std::map<std::int64_t, std::vector<ExtraDate>> extra;
  while (step(r, &row) && row) {
    extra[sqlite3_column_int64(r, 0)].push_back(ExtraDate{sqlite3_column_int64(r, 1), optionalReal(r, 2)});
  }
  std::map<std::int64_t, std::size_t> byId;
  for (std::size_t i = 0; i < loaded.size(); ++i) byId.emplace(loaded[i].row.id, i);
  for (auto& cached : loaded) {
    if (auto e = extra.find(cached.row.id); e != extra.end()) cached.series.extraDates = std::move(e->second);
    if (cached.row.seriesId) {
      if (auto origin = byId.find(*cached.row.seriesId); origin != byId.end()) {
        cached.listedItemId = loaded[origin->second].row.event.calendarItemIdentifier;
      }
    }
  }
  StatementUse o = statement(CALBRIDGE_SELECT_EVENTS
                             "WHERE calendar_id = ?1 AND series_id IS NOT NULL AND rule IS NULL ORDER BY start, id");
  if (o != nullptr) sqlite3_bind_int64(o, 1, calendarId);
  const Zone& local = zones_.local();
  while (step(o, &row) && row) {
    EventRow changed = EventRow::read(o);
    auto series = byId.find(changed.seriesId.value_or(0));
    if (series == byId.end() || !changed.event.recurrenceId) continue;
    CachedSeries& cached = loaded[series->second];
    const std::int64_t wall = changed.event.recurrenceId->wall;
    const StoredEvent& event = changed.event;
    cached.changes.push_back(SeriesChange{listedTimes(event.start, event.end, !event.timeZone, local), wall,
                                          static_cast<double>(wallToEpoch(*cached.series.zone, wall))});
    cached.changeRows.push_back(std::move(changed));
    cached.series.replaced.insert(
        std::lower_bound(cached.series.replaced.begin(), cached.series.replaced.end(), wall), wall);
  }
  return seriesCache_.emplace(calendarId, std::move(loaded)).first->second;
}

SqliteStore::CachedSeries* SqliteStore::cachedSeries(const EventRow& row) {
  for (auto& cached : seriesIn(row.calendarId)) {
    if (cached.row.id == row.id) return &cached;
  }
  return nullptr;
}

SqliteStore::RowView SqliteStore::viewOf(const EventRow& row) {
  const StoredEvent& event = row.event;
  return RowView{event.calendarItemIdentifier,
                 event.externalIdentifier,
                 event.title ? std::optional<std::string_view>(*event.title) : std::nullopt,
                 event.timeZone ? std::optional<std::string_view>(*event.timeZone) : std::nullopt,
                 event.allDay,
                 event.status};
}

SqliteStore::RowView SqliteStore::viewOf(const SingleRow& row, const std::string& text) {
  auto view = [&](const SingleRow::Slice& slice) { return std::string_view(text).substr(slice.at, slice.length); };
  auto optional = [&](const SingleRow::Slice& slice) {
    return slice.present ? std::optional<std::string_view>(view(slice)) : std::nullopt;
  };
  return RowView{view(row.itemId), view(row.externalId), optional(row.title), optional(row.timeZone), row.allDay,
                 row.status};
}

namespace {

// Assigns reusing the string's storage: filling one event after another allocates nothing.
void assign(std::optional<std::string>& to, std::optional<std::string_view> from) {
  if (!from) to.reset();
  else if (to) to->assign(*from);
  else to.emplace(*from);
}

}  // namespace

void SqliteStore::fill(Event& event, const RowView& row, const CalendarRow& calendar, double start, double end) {
  if (event.calendar != calendar.calendar) event.calendar = calendar.calendar;
  assign(event.title, row.title);
  event.startDate = start;
  event.endDate = end;
  event.isAllDay = row.allDay;
  event.status = row.status;
  assign(event.timeZone, row.timeZone);
  assign(event.calendarItemIdentifier, row.itemId);
  assign(event.calendarItemExternalIdentifier, row.externalId);
  assign(event.eventIdentifier, row.eventId.empty() ? row.itemId : row.eventId);
  event.occurrenceDate = row.occurrenceDate.value_or(start);
}

void SqliteStore::enumerateEventsMatching(double from, double to,
                                          const std::vector<std::shared_ptr<const Calendar>>& calendars,
                                          const EventVisitor& visit) {
  if (!usable_ || !(from < to)) return;
  std::vector<const CalendarRow*> selected;
  for (const auto& calendar : calendars) {
    if (!calendar) continue;
    const CalendarRow* row = findCalendar(calendar->calendarIdentifier);
    if (row != nullptr && std::find(selected.begin(), selected.end(), row) == selected.end()) {
      noteRead(*row);
      selected.push_back(row);
    }
  }
  if (selected.empty()) return;
  // One snapshot for the whole answer, and one lock instead of one per statement.
  const bool reading = !inTransaction_ && run(statement("BEGIN"));
  // What each calendar feeds the merge: the listed times of its singles, and
  // its series. Floating times are wall seconds in the table; a day's margin
  // covers any offset.
  const double earliestSingle = from - longestEvent() - kDaySeconds;
  const double latestStart = to + kDaySeconds;
  const Zone& local = zones_.local();
  struct Fed {
    Singles singles;
    const std::vector<CachedSeries>* series;
    std::size_t firstTime, firstSeries;
  };
  std::vector<Fed> fed;
  std::vector<TimeRange> times;
  std::vector<ListedSeries> listed;
  for (const CalendarRow* calendar : selected) {
    Fed f{singlesIn(calendar->id, earliestSingle, latestStart), &seriesIn(calendar->id), times.size(), listed.size()};
    for (const SingleRow& row : f.singles.rows) {
      times.push_back(listedTimes(row.start, row.end, !row.timeZone.present, local));
    }
    for (const CachedSeries& cached : *f.series) {
      listed.push_back(ListedSeries{&cached.series, cached.row.lastEnd, cached.changes});
    }
    fed.push_back(f);
  }
  std::vector<CalendarFeed> feeds;
  for (const Fed& f : fed) {
    feeds.push_back(CalendarFeed{std::span(times).subspan(f.firstTime, f.singles.rows.size()),
                                 std::span(listed).subspan(f.firstSeries, f.series->size())});
  }
  OccurrenceMerge merge(feeds, from, to);
  Event event;
  while (auto o = merge.next()) {
    const Fed& f = fed[o->calendar];
    if (o->kind == ListedOccurrence::Kind::single) {
      fill(event, viewOf(f.singles.rows[o->item], *f.singles.text), *selected[o->calendar], o->start, o->end);
    } else {
      // An occurrence of a series, or a change of one, is listed under the series' item.
      const CachedSeries& cached = (*f.series)[o->item];
      const EventRow& row = o->kind == ListedOccurrence::Kind::change ? cached.changeRows[o->change] : cached.row;
      RowView view = viewOf(row);
      view.itemId = listedItemOf(cached);
      view.eventId = row.event.calendarItemIdentifier;
      view.occurrenceDate = o->occurrenceDate;
      fill(event, view, *selected[o->calendar], o->start, o->end);
    }
    if (!visit(event)) break;
  }
  if (reading) run(statement("COMMIT"));
}

std::vector<CalendarItem> SqliteStore::calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) {
  std::vector<CalendarItem> items;
  if (!usable_) return items;
  StatementUse s = statement(
      CALBRIDGE_SELECT_EVENTS
        "WHERE external_key = ?1 AND series_id IS NULL ORDER BY id");
  if (s != nullptr) bindText(s, 1, nfc(externalIdentifier));
  std::vector<EventRow> rows;
  bool row = false;
  while (step(s, &row) && row) rows.push_back(EventRow::read(s));
  const Zone& local = zones_.local();
  for (const EventRow& row : rows) {
    const CalendarRow* calendar = findCalendar(row.calendarId);
    if (calendar == nullptr) continue;
    const TimeRange at = listedTimes(row.event.start, row.event.end, !row.event.timeZone, local);
    CalendarItem item;
    fill(item.event, viewOf(row), *calendar, at.start, at.end);
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace calbridge
