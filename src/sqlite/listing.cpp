#include "sqlite/store_internal.h"
#include "calendar/recurrence.h"
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

Series SqliteStore::seriesFrom(const EventRow& row) {
  Series series;
  series.rule = row.rule.value_or("");
  series.rules = parseRuleSet(series.rule);
  if (series.rules.empty()) series.plain = parsePlainRule(series.rule);
  series.start = row.start;
  series.duration = std::max(0.0, row.end - row.start);
  series.floating = !row.timeZone;
  series.allDay = row.allDay;
  if (row.timeZone) {
    series.zone = (isDefinedZoneName(*row.timeZone) ? zones() : zones_).find(*row.timeZone);
  } else {
    series.zone = &zones_.local();
  }
  if (series.zone == nullptr) series.zone = &zones_.utc();
  // Fewer days than the years 1 to 9999 hold: anything else is no row this store wrote.
  if (row.nominalDays > 0 && row.nominalDays < 3652425 && !series.floating && convertible(row.start)) {
    // The first end is its days on the clock and then exact seconds: keep those seconds.
    series.days = row.nominalDays;
    const double nominalEnd = epochOf(*series.zone, wallOf(*series.zone, row.start) + row.nominalDays * kDaySeconds);
    series.duration = std::max(0.0, row.end - nominalEnd);
  }
  series.until = row.until;
  series.count = row.count;
  return series;
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
    Series series = seriesFrom(event);
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
        cached.listedItemId = loaded[origin->second].row.itemId;
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
    if (series == byId.end() || !changed.recurrenceId) continue;
    CachedSeries& cached = loaded[series->second];
    Override override{std::move(changed), 0, 0, 0};
    override.start = override.row.start;
    override.end = override.row.end;
    if (!override.row.timeZone && convertible(override.start) && convertible(override.end)) {
      override.start = epochOf(local, override.start);
      override.end = epochOf(local, override.end);
    }
    const std::int64_t wall = *override.row.recurrenceId;
    override.replacedStart = static_cast<double>(wallToEpoch(*cached.series.zone, wall));
    cached.series.replaced.insert(
        std::lower_bound(cached.series.replaced.begin(), cached.series.replaced.end(), wall), wall);
    cached.overrides.push_back(std::move(override));
  }
  return seriesCache_.emplace(calendarId, std::move(loaded)).first->second;
}

SqliteStore::CachedSeries* SqliteStore::cachedSeries(const EventRow& row) {
  for (auto& cached : seriesIn(row.calendarId)) {
    if (cached.row.id == row.id) return &cached;
  }
  return nullptr;
}

std::optional<double> SqliteStore::lastEndOf(const Series& series) {
  // An upper bound: days on the clock may run an offset change longer.
  const double longest =
      series.duration + (series.days != 0 ? static_cast<double>(series.days + 1) * kDaySeconds : 0.0);
  std::optional<double> last;
  if (series.rule.empty() && series.rules.empty()) {
    last = series.start;  // extra dates alone
  } else if (series.until) {
    last = std::max(*series.until, series.start);  // the start is an occurrence, whatever the end
  } else {
    // Unknown (a rule too long to walk): never leave it out of a window.
    last = lastStartOf(series, 100000);
    if (!last) return std::nullopt;
  }
  double end = *last + longest;
  if (!series.extraDates.empty() && series.zone != nullptr) {
    // Neither COUNT nor UNTIL ends the extra dates; the last one may run longer.
    const ExtraDate& extra = series.extraDates.back();
    const double start = series.floating ? static_cast<double>(extra.wall)
                                         : static_cast<double>(wallToEpoch(*series.zone, extra.wall));
    double period = 0;
    for (const ExtraDate& e : series.extraDates) period = std::max(period, e.duration.value_or(0));
    end = std::max(end, start + std::max(longest, period) + kDaySeconds);
  }
  return end;
}

SqliteStore::RowView SqliteStore::viewOf(const EventRow& row) {
  return RowView{row.itemId,
                 row.externalId,
                 row.title ? std::optional<std::string_view>(*row.title) : std::nullopt,
                 row.timeZone ? std::optional<std::string_view>(*row.timeZone) : std::nullopt,
                 row.allDay,
                 row.status};
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

  // Singles (ordered once, as small keys) and one cursor per series are merged
  // by start, then end, then the order of their sources: calendars as asked,
  // in each its singles in table order, then its series. Only what is sent is
  // ever made, and each series holds about one pending occurrence, so a listing
  // costs what it sends, however many occurrences its series have.
  struct SingleHit {
    double start, end;
    std::uint64_t order;
    const SingleRow* row;  // or, for a changed occurrence, null and the next two
    const std::string* text;
    const CalendarRow* calendar;
    const CachedSeries* series = nullptr;
    const Override* override = nullptr;
  };
  struct SeriesHead {
    double start, end;
    std::uint64_t order;
    std::uint32_t cursor;
  };
  struct SeriesSource {
    SeriesCursor cursor;
    const CachedSeries* cached;
    const CalendarRow* calendar;
    std::uint64_t order;
  };
  std::vector<SingleHit> singleHits;
  std::vector<SeriesSource> seriesSources;
  std::uint64_t order = 0;
  auto overlaps = [&](double start, double end) { return start < to && (end > from || start >= from); };
  // Floating times are wall seconds in the table; a day's margin covers any offset.
  const double earliestSingle = from - longestEvent() - kDaySeconds;
  const double latestStart = to + kDaySeconds;
  const Zone& local = zones_.local();
  for (const CalendarRow* calendar : selected) {
    Singles singles = singlesIn(calendar->id, earliestSingle, latestStart);
    for (const SingleRow& row : singles.rows) {
      double start = row.start;
      double end = row.end;
      if (!row.timeZone.present && convertible(start) && convertible(end)) {
        start = epochOf(local, start);
        end = epochOf(local, end);
      }
      if (overlaps(start, end)) singleHits.push_back(SingleHit{start, end, order, &row, singles.text, calendar});
      ++order;
    }
    std::vector<CachedSeries>& allSeries = seriesIn(calendar->id);
    // Changed occurrences are listed where they now are, which may lie far
    // from the occurrence they stand in for; one of an excluded occurrence
    // changes nothing, as the occurrence is no longer there (RFC 5545 3.8.5.1).
    for (const CachedSeries& cached : allSeries) {
      for (const Override& o : cached.overrides) {
        if (overlaps(o.start, o.end) && !std::binary_search(cached.series.excluded.begin(),
                                                            cached.series.excluded.end(), *o.row.recurrenceId)) {
          singleHits.push_back(SingleHit{o.start, o.end, order, nullptr, nullptr, calendar, &cached, &o});
        }
        ++order;
      }
    }
    for (const CachedSeries& cached : allSeries) {
      if (cached.row.start >= latestStart) break;  // ordered by start
      if (cached.row.lastEnd && *cached.row.lastEnd <= from - kDaySeconds) continue;
      // A rule that cannot be expanded is left out rather than failing the
      // listing; each series steps within a budget of its own.
      seriesSources.push_back(SeriesSource{SeriesCursor(cached.series, from, to, StepBudget{}), &cached, calendar, order++});
    }
  }
  auto before = [](const auto& a, const auto& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return a.order < b.order;
  };
  // Timed singles are in start order already; floating ones shift by their offset.
  if (!std::is_sorted(singleHits.begin(), singleHits.end(), before)) {
    std::sort(singleHits.begin(), singleHits.end(), before);
  }
  std::vector<SeriesHead> heads;  // a heap, earliest on top
  heads.reserve(seriesSources.size());
  auto later = [&](const SeriesHead& a, const SeriesHead& b) { return before(b, a); };
  auto advance = [&](std::uint32_t index) {
    SeriesSource& source = seriesSources[index];
    if (auto o = source.cursor.next()) {
      heads.push_back(SeriesHead{o->start, occurrenceEnd(source.cached->series, *o), source.order, index});
      std::push_heap(heads.begin(), heads.end(), later);
    }
  };
  for (std::uint32_t i = 0; i < seriesSources.size(); ++i) advance(i);
  Event event;
  std::size_t nextSingle = 0;
  for (;;) {
    const bool single = nextSingle < singleHits.size() && (heads.empty() || before(singleHits[nextSingle], heads.front()));
    if (single) {
      const SingleHit& hit = singleHits[nextSingle++];
      if (hit.override != nullptr) {
        RowView view = viewOf(hit.override->row);
        view.itemId = listedItemOf(*hit.series);
        view.eventId = hit.override->row.itemId;
        view.occurrenceDate = hit.override->replacedStart;
        fill(event, view, *hit.calendar, hit.start, hit.end);
      } else {
        fill(event, viewOf(*hit.row, *hit.text), *hit.calendar, hit.start, hit.end);
      }
      if (!visit(event)) break;
    } else if (!heads.empty()) {
      std::pop_heap(heads.begin(), heads.end(), later);
      const SeriesHead head = heads.back();
      heads.pop_back();
      const SeriesSource& source = seriesSources[head.cursor];
      RowView view = viewOf(source.cached->row);
      view.itemId = listedItemOf(*source.cached);
      view.eventId = source.cached->row.itemId;
      fill(event, view, *source.calendar, head.start, head.end);
      if (!visit(event)) break;
      advance(head.cursor);
    } else {
      break;
    }
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
  for (const EventRow& event : rows) {
    const CalendarRow* calendar = findCalendar(event.calendarId);
    if (calendar == nullptr) continue;
    double start = event.start;
    double end = event.end;
    if (!event.timeZone && convertible(start) && convertible(end)) {
      start = epochOf(local, start);
      end = epochOf(local, end);
    }
    CalendarItem item;
    fill(item.event, viewOf(event), *calendar, start, end);
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace calbridge
