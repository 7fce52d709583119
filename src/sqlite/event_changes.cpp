#include "sqlite/store_internal.h"
#include "base/unicode.h"
#include "calendar/new_event.h"
#include "calendar/series_rules.h"
#include "calendar/stored_series.h"
#include "ical/object_text.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <unistd.h>
#include <utility>

namespace calbridge {

std::optional<double> SqliteStore::lastEndFor(const StoredEvent& event) {
  if (!event.rule) return std::nullopt;
  return lastEndOf(seriesOf(event, zonesFor(event)));
}

bool SqliteStore::insertEvent(std::int64_t calendarId, StoredEvent& event, std::optional<double> lastEnd,
                              std::optional<std::int64_t> objectId, std::optional<std::int64_t> seriesId) {
  if (event.rule || seriesId) caches_->series.erase(calendarId);
  else caches_->singles.erase(calendarId);
  auto id = sqlite::insertEventRow(*db_, calendarId, event, lastEnd, objectId, seriesId);
  if (!id) return false;
  lastInserted_ = *id;
  return true;
}

bool SqliteStore::insertLinked(std::int64_t calendarId, std::vector<StoredEvent>& events,
                               const std::vector<std::optional<std::size_t>>& parents,
                               const std::vector<std::optional<double>>& lastEnds,
                               const std::vector<std::optional<std::int64_t>>& objectIds) {
  // A series before the parts split off it, and those before their changed occurrences.
  std::vector<std::int64_t> ids(events.size(), 0);
  auto depth = [&](std::size_t i) {
    int d = 0;
    for (auto p = parents[i]; p && d < 3; p = parents[*p]) ++d;
    return d;
  };
  for (int level = 0; level < 3; ++level) {
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (depth(i) != level) continue;
      if (!keepDefinedZone(events[i])) return false;
      std::optional<std::int64_t> seriesId;
      if (parents[i]) seriesId = ids[*parents[i]];
      if (!insertEvent(calendarId, events[i], lastEnds[i], objectIds[i], seriesId)) return false;
      ids[i] = lastInserted_;
    }
  }
  return true;
}

bool SqliteStore::saveEvent(Event& event, Span, bool commit) {
  if (!usable_ || event.calendarItemIdentifier || !event.calendar) return false;
  std::optional<StoredEvent> form = storedFormOf(event, zones_);
  if (!form) return false;
  StoredEvent& stored = *form;
  const std::string calendarIdentifier = event.calendar->calendarIdentifier;
  // Worked out before the lock is taken: a long series is walked while others may still write.
  const std::optional<double> lastEnd = lastEndFor(stored);
  bool saved = change(commit, [&] {
    // Looked up under the lock, by identifier: the event goes into the calendar
    // the request named, or nowhere, whatever happened to it meanwhile.
    const CalendarRow* calendar = findCalendar(calendarIdentifier);
    if (calendar == nullptr || !calendar->calendar->allowsContentModifications) return false;
    if (!calendar->replica) return insertEvent(calendar->id, stored, lastEnd);
    // A replica's new event is a new object on its server, made at the commit.
    if (publisher_ == nullptr) return false;
    auto text = objectTextOf(stored, zones(), static_cast<std::int64_t>(std::time(nullptr)));
    Statement u = db_->statement("SELECT remote_url FROM calendars WHERE id = ?1 AND remote_url IS NOT NULL");
    if (!text || u == nullptr) return false;
    sqlite3_bind_int64(u, 1, calendar->id);
    bool row = false;
    if (!db_->step(u, &row) || !row) return false;
    std::string url = columnText(u, 0);
    if (url.empty() || url.back() != '/') url += '/';
    Statement o = db_->statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, '', ?3)");
    if (o == nullptr) return false;
    sqlite3_bind_int64(o, 1, calendar->id);
    bindText(o, 2, url + newUuid() + ".ics");
    bindText(o, 3, *text);
    if (!db_->run(o)) return false;
    const std::int64_t objectId = db_->lastInsertedRow();
    return insertEvent(calendar->id, stored, lastEnd, objectId) &&
           stageReplicaChange(objectId, ObjectChange::Kind::create, *text, std::nullopt);
  });
  if (!saved) return false;
  event.calendarItemIdentifier = stored.calendarItemIdentifier;
  event.calendarItemExternalIdentifier = stored.externalIdentifier;
  event.eventIdentifier = stored.calendarItemIdentifier;
  event.timeZone = stored.timeZone;
  event.occurrenceDate = event.startDate;
  return true;
}

bool SqliteStore::removeFromSeries(CachedSeries& cached, double occurrenceStart, Span span) {
  const std::int64_t id = cached.row.id;
  const std::int64_t calendarId = cached.row.calendarId;
  // A part split off a series names where it came from; the parts after it
  // go when it ends, and they are found by their original starts.
  const std::int64_t origin = cached.row.seriesId.value_or(id);
  const std::int64_t shift = cached.shift();
  const bool related = !cached.changes.empty() || cached.row.seriesId || !cached.series.extraDates.empty();
  // Where a part split off a series began, by the original rule.
  const bool isPart = cached.row.seriesId && cached.row.event.recurrenceId;
  const std::int64_t partFrom = isPart ? cached.row.event.recurrenceId->wall : 0;
  auto laterParts = [&](std::int64_t wall) {
    Statement t = db_->statement(
        "DELETE FROM events WHERE series_id = ?1 AND rule IS NOT NULL AND recurrence_id >= ?2 AND id != ?3");
    if (t == nullptr) return false;
    sqlite3_bind_int64(t, 1, origin);
    sqlite3_bind_int64(t, 2, wall - shift);
    sqlite3_bind_int64(t, 3, id);
    return db_->run(t);
  };
  auto removeAll = [&] {
    if (isPart) {
      // A part split off a series: the object keeps the series, ended where the part began.
      if (!editObject(id, {ObjectEdit::Kind::endBefore, partFrom})) return false;
    } else {
      // The whole object goes (with every row read from it): nothing of the series is left to keep a text for.
      if (!removeObjectOf(id)) return false;
    }
    Statement s = db_->statement("DELETE FROM events WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    if (!db_->run(s)) return false;
    if (isPart && !laterParts(partFrom + shift)) return false;
    if (related) {
      caches_->series.erase(calendarId);
      return true;
    }
    std::erase_if(seriesIn(calendarId), [&](const CachedSeries& c) { return c.row.id == id; });
    return true;
  };
  RemovalPlan plan =
      planRemoval(cached.series, occurrenceStart, span, !cached.changes.empty() || hasParts(calendarId, id));
  switch (plan.kind) {
    case RemovalPlan::Kind::none: return false;
    case RemovalPlan::Kind::removeAll: return removeAll();
    case RemovalPlan::Kind::exclude: {
      Statement s = db_->statement("INSERT INTO excluded(event_id, wall) VALUES(?1, ?2)");
      if (s == nullptr) return false;
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int64(s, 2, plan.wall);
      if (!db_->run(s) || !editObject(id, {ObjectEdit::Kind::exclude, plan.wall - shift})) return false;
      auto& excluded = cached.series.excluded;  // the cache takes the exclusion only once the database has
      excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), plan.wall), plan.wall);
      return true;
    }
    case RemovalPlan::Kind::endBefore: break;
  }
  Series& ended = plan.ended;
  std::optional<double> lastEnd = lastEndOf(ended);
  Statement s = db_->statement("UPDATE events SET until = ?2, count = NULL, last_end = ?3 WHERE id = ?1");
  Statement e = db_->statement("DELETE FROM excluded WHERE event_id = ?1 AND wall >= ?2");
  if (s == nullptr || e == nullptr) return false;
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_double(s, 2, *ended.until);
  bindOptionalReal(s, 3, lastEnd);
  sqlite3_bind_int64(e, 1, id);
  sqlite3_bind_int64(e, 2, plan.wall);
  if (!db_->run(s) || !db_->run(e) || !editObject(id, {ObjectEdit::Kind::endBefore, plan.wall - shift})) return false;
  if (related) {
    // Later extra dates, changed occurrences and parts go with the occurrences they belong to.
    Statement r = db_->statement("DELETE FROM extra_dates WHERE event_id = ?1 AND wall >= ?2");
    Statement o = db_->statement("DELETE FROM events WHERE series_id = ?1 AND rule IS NULL AND recurrence_id >= ?2");
    if (r == nullptr || o == nullptr) return false;
    sqlite3_bind_int64(r, 1, id);
    sqlite3_bind_int64(r, 2, plan.wall);
    sqlite3_bind_int64(o, 1, id);
    sqlite3_bind_int64(o, 2, plan.wall);
    if (!db_->run(r) || !db_->run(o) || !laterParts(plan.wall)) return false;
    caches_->series.erase(calendarId);
    return true;
  }
  cached.series = std::move(ended);
  cached.row.event.until = cached.series.until;
  cached.row.event.count.reset();
  cached.row.lastEnd = lastEnd;
  return true;
}

bool SqliteStore::hasParts(std::int64_t calendarId, std::int64_t id) {
  for (const CachedSeries& cached : seriesIn(calendarId)) {
    if (cached.row.seriesId == id) return true;
  }
  return false;
}

bool SqliteStore::removeOverride(const EventRow& row, Span span) {
  EventRow key;
  key.id = *row.seriesId;
  key.calendarId = row.calendarId;
  CachedSeries* cached = cachedSeries(key);
  if (cached == nullptr || !row.event.recurrenceId) return false;
  const std::int64_t wall = row.event.recurrenceId->wall;
  {
    // Reset before the removal below takes the same statement again.
    Statement d = db_->statement("DELETE FROM events WHERE id = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, row.id);
    if (!db_->run(d)) return false;
  }
  for (std::size_t i = 0; i < cached->changeRows.size(); ++i) {
    if (cached->changeRows[i].id != row.id) continue;
    cached->changeRows.erase(cached->changeRows.begin() + static_cast<std::ptrdiff_t>(i));
    cached->changes.erase(cached->changes.begin() + static_cast<std::ptrdiff_t>(i));
    break;
  }
  auto& replaced = cached->series.replaced;
  if (auto at = std::lower_bound(replaced.begin(), replaced.end(), wall); at != replaced.end() && *at == wall) {
    replaced.erase(at);
  }
  // From the occurrence it stood in for on, which the series still has by its rule.
  if (span == Span::futureEvents && removeFromSeries(*cached, occurrenceStartAt(cached->series, wall), span)) {
    return true;
  }
  // It stays hidden; a series left with nothing at all goes.
  Statement x = db_->statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
  if (x == nullptr) return false;
  sqlite3_bind_int64(x, 1, key.id);
  sqlite3_bind_int64(x, 2, wall);
  // The object's text names occurrences by their original starts.
  if (!db_->run(x) || !editObject(key.id, {ObjectEdit::Kind::exclude, wall - cached->shift()})) return false;
  auto& excluded = cached->series.excluded;
  if (!std::binary_search(excluded.begin(), excluded.end(), wall)) {
    excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), wall), wall);
  }
  // Other changes and parts keep it, and so does the series a part was split from.
  const bool changesStay = !cached->changes.empty() || cached->row.seriesId || hasParts(row.calendarId, key.id);
  const bool empty = !changesStay && nothingLeft(cached->series);
  caches_->series.erase(row.calendarId);
  if (!empty) return true;
  Statement s = db_->statement("DELETE FROM events WHERE id = ?1");
  if (s == nullptr || !removeObjectOf(key.id)) return false;
  sqlite3_bind_int64(s, 1, key.id);
  return db_->run(s);
}

bool SqliteStore::removeEvent(const Event& event, Span span, bool commit) {
  if (!usable_ || !event.calendarItemIdentifier) return false;
  return change(commit, [&] {
    if (event.eventIdentifier && *event.eventIdentifier != *event.calendarItemIdentifier) {
      // A changed occurrence, or an occurrence of a part split off its series.
      std::optional<EventRow> found = sqlite::eventRowOfItem(*db_, *event.eventIdentifier);
      if (!found) return false;
      const EventRow& row = *found;
      const CalendarRow* calendar = findCalendar(row.calendarId);
      if (calendar == nullptr || !calendar->calendar->allowsContentModifications || !row.seriesId) return false;
      if (!row.event.rule) return removeOverride(row, span);
      CachedSeries* part = cachedSeries(row);
      auto occurrence = event.occurrenceDate ? event.occurrenceDate : event.startDate;
      return part != nullptr && occurrence && removeFromSeries(*part, *occurrence, span);
    }
    const std::string& itemId = *event.calendarItemIdentifier;
    // An occurrence of a series is found in the cache; anything else by its row.
    CachedSeries* series = nullptr;
    const CalendarRow* calendar = event.calendar ? findCalendar(event.calendar->calendarIdentifier) : nullptr;
    if (calendar != nullptr) {
      for (auto& cached : seriesIn(calendar->id)) {
        if (cached.row.event.calendarItemIdentifier == itemId) {
          series = &cached;
          break;
        }
      }
    }
    std::optional<EventRow> single;
    if (series == nullptr) {
      std::optional<EventRow> found = sqlite::eventRowOfItem(*db_, itemId);
      if (!found) return false;
      EventRow& row = *found;
      if (row.event.rule) {
        series = cachedSeries(row);
        if (series == nullptr) return false;
      } else {
        single = std::move(row);
      }
    }
    const std::int64_t calendarId = series != nullptr ? series->row.calendarId : single->calendarId;
    calendar = findCalendar(calendarId);
    if (calendar == nullptr || !calendar->calendar->allowsContentModifications) return false;
    if (single) {
      if (calendar->replica) {
        // The server's object goes whole, which is right only for an object of this event alone.
        auto objectId = objectOf(single->id);
        Statement n = db_->statement("SELECT COUNT(*) FROM events WHERE object_id = ?1");
        if (!objectId || n == nullptr) return false;
        sqlite3_bind_int64(n, 1, *objectId);
        bool row = false;
        if (!db_->step(n, &row) || !row || sqlite3_column_int64(n, 0) != 1) return false;
        if (!stageReplicaChange(*objectId, ObjectChange::Kind::remove, std::nullopt, std::nullopt)) return false;
      }
      // An object that held only this event goes with it.
      Statement o = db_->statement(
          "DELETE FROM objects WHERE id = (SELECT object_id FROM events WHERE id = ?1) "
          "AND (SELECT COUNT(*) FROM events WHERE object_id = objects.id) = 1");
      Statement d = db_->statement("DELETE FROM events WHERE id = ?1");
      if (o == nullptr || d == nullptr) return false;
      sqlite3_bind_int64(o, 1, single->id);
      if (!db_->run(o)) return false;
      sqlite3_bind_int64(d, 1, single->id);
      caches_->singles.erase(calendarId);
      return db_->run(d);
    }
    auto occurrence = event.occurrenceDate ? event.occurrenceDate : event.startDate;
    if (!occurrence) return false;
    return removeFromSeries(*series, *occurrence, span);
  });
}

}  // namespace calbridge
