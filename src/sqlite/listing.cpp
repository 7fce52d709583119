// Listings: what the store reads for them and keeps, and how it feeds the
// engine's merge (calendar/occurrences.h) and fills what it lists.
#include "sqlite/store_internal.h"

#include "base/unicode.h"
#include "calendar/stored_series.h"

#include <algorithm>
#include <map>
#include <utility>

namespace calbridge {

namespace {

// What filling an event needs of a row, whichever kind it is.
struct RowView {
  std::string_view itemId, externalId;
  std::optional<std::string_view> title, timeZone;
  bool allDay;
  EventStatus status;
  // The occurrence's own row, when it is not the series' (a changed
  // occurrence, a split-off series); empty: `itemId`.
  std::string_view eventId = {};
  std::optional<double> occurrenceDate = std::nullopt;  // absent: its start
};

RowView viewOf(const EventRow& row) {
  const StoredEvent& event = row.event;
  return RowView{event.calendarItemIdentifier,
                 event.externalIdentifier,
                 event.title ? std::optional<std::string_view>(*event.title) : std::nullopt,
                 event.timeZone ? std::optional<std::string_view>(*event.timeZone) : std::nullopt,
                 event.allDay,
                 event.status};
}

RowView viewOf(const SingleRow& row, const std::string& text) {
  auto view = [&](const SingleRow::Slice& slice) { return std::string_view(text).substr(slice.at, slice.length); };
  auto optional = [&](const SingleRow::Slice& slice) {
    return slice.present ? std::optional<std::string_view>(view(slice)) : std::nullopt;
  };
  return RowView{view(row.itemId), view(row.externalId), optional(row.title), optional(row.timeZone), row.allDay,
                 row.status};
}

// Assigns reusing the string's storage: filling one event after another allocates nothing.
void assign(std::optional<std::string>& to, std::optional<std::string_view> from) {
  if (!from) to.reset();
  else if (to) to->assign(*from);
  else to.emplace(*from);
}

// Fills `event` (reusing what it holds) as the occurrence of `row` from start to end.
void fill(Event& event, const RowView& row, const CalendarRow& calendar, double start, double end) {
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

}  // namespace

double SqliteStore::longestEvent() {
  if (caches_->longestEvent) return *caches_->longestEvent;
  Statement s = db_->statement("SELECT value FROM settings WHERE name = 'longest_event'");
  bool row = false;
  if (!db_->step(s, &row) || !row) return 0;
  caches_->longestEvent = std::max(0.0, sqlite3_column_double(s, 0));
  return *caches_->longestEvent;
}

SqliteStore::Singles SqliteStore::singlesIn(std::int64_t calendarId, double from, double to) {
  auto chunk = caches_->singles.find(calendarId);
  if (chunk == caches_->singles.end() || from < chunk->second.from || to > chunk->second.to) {
    // A calendar asked about again (the skips of a new series, say) is read in
    // wider chunks; one asked about once is read for exactly its window.
    const int reads = chunk == caches_->singles.end() ? 1 : chunk->second.reads + 1;
    constexpr double kPadding = 60 * kDaySeconds;
    const bool pad = reads > 1 && to - from < kPadding;
    sqlite::SinglesChunk loaded{pad ? from - kPadding : from, pad ? to + kPadding : to, {}, {}, reads};
    sqlite::readSingles(*db_, calendarId, loaded);
    chunk = caches_->singles.insert_or_assign(calendarId, std::move(loaded)).first;
  }
  const auto& rows = chunk->second.rows;
  auto first = std::lower_bound(rows.begin(), rows.end(), from, [](const SingleRow& r, double t) { return r.start < t; });
  auto last = std::lower_bound(first, rows.end(), to, [](const SingleRow& r, double t) { return r.start < t; });
  return Singles{{first, last}, &chunk->second.text};
}

std::vector<SqliteStore::CachedSeries>& SqliteStore::seriesIn(std::int64_t calendarId) {
  auto found = caches_->series.find(calendarId);
  if (found != caches_->series.end()) return found->second;
  sqlite::SeriesRows rows = sqlite::readSeriesRows(*db_, calendarId);
  std::vector<CachedSeries> loaded;
  loaded.reserve(rows.series.size());
  std::map<std::int64_t, std::size_t> byId;
  for (EventRow& row : rows.series) {
    Series series = seriesOf(row.event, zonesFor(row.event));
    if (auto e = rows.excluded.find(row.id); e != rows.excluded.end()) series.excluded = std::move(e->second);
    if (auto e = rows.extraDates.find(row.id); e != rows.extraDates.end()) series.extraDates = std::move(e->second);
    byId.emplace(row.id, loaded.size());
    loaded.push_back(CachedSeries{std::move(row), std::move(series)});
  }
  for (auto& cached : loaded) {
    if (!cached.row.seriesId) continue;
    if (auto origin = byId.find(*cached.row.seriesId); origin != byId.end()) {
      cached.listedItemId = loaded[origin->second].row.event.calendarItemIdentifier;
    }
  }
  const Zone& local = zones_.local();
  for (EventRow& changed : rows.changes) {
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
  return caches_->series.emplace(calendarId, std::move(loaded)).first->second;
}

SqliteStore::CachedSeries* SqliteStore::cachedSeries(const EventRow& row) {
  for (auto& cached : seriesIn(row.calendarId)) {
    if (cached.row.id == row.id) return &cached;
  }
  return nullptr;
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
  const bool reading = !db_->inTransaction() && db_->run(db_->statement("BEGIN"));
  // What each calendar feeds the merge: the listed times of its singles, and
  // its series. Floating times are wall seconds in the table; a day's margin
  // covers any offset.
  const double earliestSingle = from - longestEvent() - kDaySeconds;
  const double latestStart = to + kDaySeconds;
  const Zone& local = zones_.local();
  auto& fed = caches_->fed;
  auto& times = caches_->times;
  auto& listed = caches_->listed;
  auto& feeds = caches_->feeds;
  fed.clear();
  times.clear();
  listed.clear();
  feeds.clear();
  std::size_t singles = 0, series = 0;
  for (const CalendarRow* calendar : selected) {
    fed.push_back(Caches::Fed{singlesIn(calendar->id, earliestSingle, latestStart), &seriesIn(calendar->id)});
    singles += fed.back().singles.rows.size();
    series += fed.back().series->size();
  }
  times.reserve(singles);
  listed.reserve(series);
  for (const Caches::Fed& f : fed) {
    for (const SingleRow& row : f.singles.rows) {
      times.push_back(listedTimes(row.start, row.end, !row.timeZone.present, local));
    }
    for (const CachedSeries& cached : *f.series) {
      listed.push_back(ListedSeries{&cached.series, cached.row.lastEnd, cached.changes});
    }
  }
  std::size_t firstTime = 0, firstSeries = 0;
  for (const Caches::Fed& f : fed) {
    feeds.push_back(CalendarFeed{std::span(times).subspan(firstTime, f.singles.rows.size()),
                                 std::span(listed).subspan(firstSeries, f.series->size())});
    firstTime += f.singles.rows.size();
    firstSeries += f.series->size();
  }
  OccurrenceMerge merge(feeds, from, to);
  Event event;
  while (auto o = merge.next()) {
    const Caches::Fed& f = fed[o->calendar];
    if (o->kind == ListedOccurrence::Kind::single) {
      fill(event, viewOf(f.singles.rows[o->item], *f.singles.text), *selected[o->calendar], o->start, o->end);
    } else {
      // An occurrence of a series, or a change of one, is listed under the series' item.
      const CachedSeries& cached = (*f.series)[o->item];
      const EventRow& row = o->kind == ListedOccurrence::Kind::change ? cached.changeRows[o->change] : cached.row;
      RowView view = viewOf(row);
      view.itemId = cached.listedItem();
      view.eventId = row.event.calendarItemIdentifier;
      view.occurrenceDate = o->occurrenceDate;
      fill(event, view, *selected[o->calendar], o->start, o->end);
    }
    if (!visit(event)) break;
  }
  if (reading) db_->run(db_->statement("COMMIT"));
}

std::vector<CalendarItem> SqliteStore::calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) {
  std::vector<CalendarItem> items;
  if (!usable_) return items;
  Statement s = db_->statement(
      CALBRIDGE_SELECT_EVENTS
        "WHERE external_key = ?1 AND series_id IS NULL ORDER BY id");
  if (s != nullptr) bindText(s, 1, nfc(externalIdentifier));
  std::vector<EventRow> rows;
  bool row = false;
  while (db_->step(s, &row) && row) rows.push_back(EventRow::read(s));
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
