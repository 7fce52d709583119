#include "sqlite/store_internal.h"
#include "base/unicode.h"
#include "calendar/new_event.h"
#include "calendar/series_rules.h"
#include "ical/object_text.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <unistd.h>
#include <utility>

namespace calbridge {

Series SqliteStore::seriesFromStored(const StoredEvent& event) {
  EventRow row;
  row.start = event.start;
  row.end = event.end;
  row.allDay = event.allDay;
  row.timeZone = event.timeZone;
  row.rule = event.rule;
  row.until = event.until;
  row.count = event.count;
  row.nominalDays = event.nominalDays;
  return seriesFrom(row);
}

std::optional<double> SqliteStore::lastEndFor(const StoredEvent& event) {
  if (!event.rule) return std::nullopt;
  Series series = seriesFromStored(event);
  series.extraDates = event.extraDates;
  return lastEndOf(series);
}

bool SqliteStore::insertEvent(std::int64_t calendarId, StoredEvent& event, std::optional<double> lastEnd,
                              std::optional<std::int64_t> objectId, std::optional<std::int64_t> seriesId) {
  if (event.rule || seriesId) seriesCache_.erase(calendarId);
  else singlesCache_.erase(calendarId);
  event.calendarItemIdentifier = newUuid();
  StatementUse s = statement(
      "INSERT INTO events(item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, "
      "time_zone, rule, until, count, last_end, object_id, nominal_days, series_id, recurrence_id) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)");
  if (s == nullptr) return false;
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
  if (!run(s)) return false;
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  for (const ExtraDate& extra : event.rule ? event.extraDates : std::vector<ExtraDate>{}) {
    StatementUse e = statement("INSERT OR IGNORE INTO extra_dates(event_id, wall, duration) VALUES(?1, ?2, ?3)");
    if (e == nullptr) return false;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, extra.wall);
    bindOptionalReal(e, 3, extra.duration);
    if (!run(e)) return false;
  }
  for (std::int64_t wall : event.excluded) {
    StatementUse e = statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
    if (e == nullptr) return false;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, wall);
    if (!run(e)) return false;
  }
  lastInserted_ = id;
  if (!event.rule && !seriesId) {
    sqlite3_stmt* longest =
        statement("UPDATE settings SET value = ?1 WHERE name = 'longest_event' AND value < ?1");
    if (longest == nullptr) return false;
    sqlite3_bind_double(longest, 1, event.end - event.start);
    if (!run(longest)) return false;
  }
  return true;
}

std::vector<std::optional<std::size_t>> SqliteStore::linkOverrides(std::vector<StoredEvent>& events) {
  std::vector<std::optional<std::size_t>> parents(events.size());
  std::map<std::string, std::size_t> seriesByUid;  // the first event of a UID that changes no occurrence
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) seriesByUid.emplace(nfc(events[i].externalIdentifier), i);
  }
  std::map<std::size_t, std::vector<std::size_t>> changesOf;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) continue;
    auto series = seriesByUid.find(nfc(events[i].externalIdentifier));
    if (series == seriesByUid.end()) {
      events[i].recurrenceId.reset();  // a changed occurrence of a series not given: all there is of it
      continue;
    }
    changesOf[series->second].push_back(i);
  }
  auto seriesOf = [&](const StoredEvent& event) { return seriesFromStored(event); };
  auto wallOfStart = [&](const StoredEvent& event) {
    const auto start = static_cast<std::int64_t>(std::floor(event.start));
    const Zone* zone = event.timeZone ? zones_.find(*event.timeZone) : nullptr;
    return zone != nullptr ? epochToWall(*zone, start) : start;
  };
  for (auto& [master, changes] : changesOf) {
    // A single event with changes is a series of its start alone.
    if (!events[master].rule) events[master].rule = "";
    std::stable_sort(changes.begin(), changes.end(), [&](std::size_t a, std::size_t b) {
      return events[a].recurrenceId->wall < events[b].recurrenceId->wall;
    });
    // A THISANDFUTURE change splits the series: the part before it ends
    // there, and the change starts a series of its own with the rest of the
    // occurrences, moved by as much as the change moved its own. Later
    // changes name occurrences by their original starts, so each part keeps
    // how far it moved them.
    struct Part {
      std::size_t index;
      std::int64_t from;  // original wall of its first occurrence
      std::int64_t shift;
    };
    std::vector<Part> parts{{master, std::numeric_limits<std::int64_t>::min(), 0}};
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (!change.recurrenceId->thisAndFuture || !convertible(change.start)) continue;
      StoredEvent& part = events[parts.back().index];
      const std::int64_t at = change.recurrenceId->wall + parts.back().shift;
      Series series = seriesOf(part);
      series.excluded = part.excluded;
      std::optional<std::int64_t> left = part.count;
      if (part.count) {
        auto made = madeBefore(series, at, 100000);
        if (made) left = *part.count - *made;
      }
      const std::int64_t delta = wallOfStart(change) - at;
      // Several rules: each counts its own, and the part takes what each has left.
      std::optional<std::vector<Series::Rule>> rules;
      if (!series.rules.empty()) rules = rulesAfterSplit(series, at, static_cast<double>(delta), 100000);
      if (part.rule->empty() || (left && *left <= 0) || (rules && rules->empty())) {
        change.recurrenceId->thisAndFuture = false;  // nothing after it: a change of one occurrence
        continue;
      }
      change.rule = rules ? ruleSetText(*rules) : *part.rule;
      change.count = left;
      change.until.reset();
      if (part.until) change.until = *part.until + static_cast<double>(delta);
      change.nominalDays = 0;
      change.excluded.clear();
      for (std::int64_t wall : part.excluded) {
        if (wall >= at) change.excluded.push_back(wall + delta);
      }
      change.extraDates.clear();
      for (const ExtraDate& extra : part.extraDates) {
        if (extra.wall >= at) change.extraDates.push_back(ExtraDate{extra.wall + delta, extra.duration});
      }
      std::erase_if(part.excluded, [&](std::int64_t wall) { return wall >= at; });
      std::erase_if(part.extraDates, [&](const ExtraDate& extra) { return extra.wall >= at; });
      const double end = series.floating ? static_cast<double>(at) - 1
                                         : static_cast<double>(wallToEpoch(*series.zone, at)) - 1;
      part.until = part.until ? std::min(*part.until, end) : end;
      part.count.reset();
      // The first occurrence is always there, whatever the end: changed from its start on, it goes.
      const std::int64_t first = wallOfStart(part);
      if (at <= first) part.excluded.insert(std::lower_bound(part.excluded.begin(), part.excluded.end(), first), first);
      parents[i] = master;
      parts.push_back(Part{i, change.recurrenceId->wall, wallOfStart(change) - change.recurrenceId->wall});
    }
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (change.recurrenceId->thisAndFuture && parents[i]) continue;
      change.recurrenceId->thisAndFuture = false;
      const Part* holder = &parts.front();
      for (const Part& part : parts) {
        if (part.from <= change.recurrenceId->wall) holder = &part;
      }
      change.recurrenceId->wall += holder->shift;
      parents[i] = holder->index;
    }
  }
  return parents;
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
    StatementUse u = statement("SELECT remote_url FROM calendars WHERE id = ?1 AND remote_url IS NOT NULL");
    if (!text || u == nullptr) return false;
    sqlite3_bind_int64(u, 1, calendar->id);
    bool row = false;
    if (!step(u, &row) || !row) return false;
    std::string url = columnText(u, 0);
    if (url.empty() || url.back() != '/') url += '/';
    StatementUse o = statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, '', ?3)");
    if (o == nullptr) return false;
    sqlite3_bind_int64(o, 1, calendar->id);
    bindText(o, 2, url + newUuid() + ".ics");
    bindText(o, 3, *text);
    if (!run(o)) return false;
    const std::int64_t objectId = sqlite3_last_insert_rowid(db_);
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

std::int64_t SqliteStore::partShift(const CachedSeries& cached) {
  if (!cached.row.seriesId || !cached.row.recurrenceId || !convertible(cached.series.start)) return 0;
  const auto start = static_cast<std::int64_t>(std::floor(cached.series.start));
  return (cached.series.floating ? start : epochToWall(*cached.series.zone, start)) - *cached.row.recurrenceId;
}

bool SqliteStore::removeFromSeries(CachedSeries& cached, double occurrenceStart, Span span) {
  const std::int64_t id = cached.row.id;
  const std::int64_t calendarId = cached.row.calendarId;
  // A part split off a series names where it came from; the parts after it
  // go when it ends, and they are found by their original starts.
  const std::int64_t origin = cached.row.seriesId.value_or(id);
  const std::int64_t shift = partShift(cached);
  const bool related = !cached.overrides.empty() || cached.row.seriesId || !cached.series.extraDates.empty();
  auto laterParts = [&](std::int64_t wall) {
    StatementUse t = statement(
        "DELETE FROM events WHERE series_id = ?1 AND rule IS NOT NULL AND recurrence_id >= ?2 AND id != ?3");
    if (t == nullptr) return false;
    sqlite3_bind_int64(t, 1, origin);
    sqlite3_bind_int64(t, 2, wall - shift);
    sqlite3_bind_int64(t, 3, id);
    return run(t);
  };
  auto removeAll = [&] {
    if (cached.row.seriesId && cached.row.recurrenceId) {
      // A part split off a series: the object keeps the series, ended where the part began.
      if (!editObject(id, ObjectEdit::Kind::endBefore, *cached.row.recurrenceId)) return false;
    } else {
      // The whole object goes (with every row read from it): nothing of the series is left to keep a text for.
      if (!removeObjectOf(id)) return false;
    }
    StatementUse s = statement("DELETE FROM events WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    if (!run(s)) return false;
    if (cached.row.seriesId && cached.row.recurrenceId && !laterParts(*cached.row.recurrenceId + shift)) return false;
    if (related) {
      seriesCache_.erase(calendarId);
      return true;
    }
    std::erase_if(seriesIn(calendarId), [&](const CachedSeries& c) { return c.row.id == id; });
    return true;
  };
  RemovalPlan plan = planRemoval(cached.series, occurrenceStart, span);
  // Changed occurrences that stay keep the series, though the rule has nothing left.
  if (plan.kind == RemovalPlan::Kind::removeAll && span == Span::thisEvent &&
      (!cached.overrides.empty() || hasParts(calendarId, id))) {
    plan.kind = RemovalPlan::Kind::exclude;
  }
  switch (plan.kind) {
    case RemovalPlan::Kind::none: return false;
    case RemovalPlan::Kind::removeAll: return removeAll();
    case RemovalPlan::Kind::exclude: {
      StatementUse s = statement("INSERT INTO excluded(event_id, wall) VALUES(?1, ?2)");
      if (s == nullptr) return false;
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int64(s, 2, plan.wall);
      if (!run(s) || !editObject(id, ObjectEdit::Kind::exclude, plan.wall - shift)) return false;
      auto& excluded = cached.series.excluded;  // the cache takes the exclusion only once the database has
      excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), plan.wall), plan.wall);
      return true;
    }
    case RemovalPlan::Kind::endBefore: break;
  }
  Series& ended = plan.ended;
  std::optional<double> lastEnd = lastEndOf(ended);
  StatementUse s = statement("UPDATE events SET until = ?2, count = NULL, last_end = ?3 WHERE id = ?1");
  StatementUse e = statement("DELETE FROM excluded WHERE event_id = ?1 AND wall >= ?2");
  if (s == nullptr || e == nullptr) return false;
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_double(s, 2, *ended.until);
  bindOptionalReal(s, 3, lastEnd);
  sqlite3_bind_int64(e, 1, id);
  sqlite3_bind_int64(e, 2, plan.wall);
  if (!run(s) || !run(e) || !editObject(id, ObjectEdit::Kind::endBefore, plan.wall - shift)) return false;
  if (related) {
    // Later extra dates, changed occurrences and parts go with the occurrences they belong to.
    StatementUse r = statement("DELETE FROM extra_dates WHERE event_id = ?1 AND wall >= ?2");
    StatementUse o = statement("DELETE FROM events WHERE series_id = ?1 AND rule IS NULL AND recurrence_id >= ?2");
    if (r == nullptr || o == nullptr) return false;
    sqlite3_bind_int64(r, 1, id);
    sqlite3_bind_int64(r, 2, plan.wall);
    sqlite3_bind_int64(o, 1, id);
    sqlite3_bind_int64(o, 2, plan.wall);
    if (!run(r) || !run(o) || !laterParts(plan.wall)) return false;
    seriesCache_.erase(calendarId);
    return true;
  }
  cached.series = std::move(ended);
  cached.row.until = cached.series.until;
  cached.row.count.reset();
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
  if (cached == nullptr || !row.recurrenceId) return false;
  const std::int64_t wall = *row.recurrenceId;
  {
    // Reset before the removal below takes the same statement again.
    StatementUse d = statement("DELETE FROM events WHERE id = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, row.id);
    if (!run(d)) return false;
  }
  std::erase_if(cached->overrides, [&](const Override& o) { return o.row.id == row.id; });
  auto& replaced = cached->series.replaced;
  if (auto at = std::lower_bound(replaced.begin(), replaced.end(), wall); at != replaced.end() && *at == wall) {
    replaced.erase(at);
  }
  if (span == Span::futureEvents) {
    // From the occurrence it stood in for on, which the series still has by its rule.
    const double fraction = cached->series.start - std::floor(cached->series.start);
    const double start =
        static_cast<double>(cached->series.floating ? wall : wallToEpoch(*cached->series.zone, wall)) + fraction;
    if (removeFromSeries(*cached, start, span)) return true;
  }
  // It stays hidden; a series left with nothing at all goes.
  StatementUse x = statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
  if (x == nullptr) return false;
  sqlite3_bind_int64(x, 1, key.id);
  sqlite3_bind_int64(x, 2, wall);
  // The object's text names occurrences by their original starts.
  if (!run(x) || !editObject(key.id, ObjectEdit::Kind::exclude, wall - partShift(*cached))) return false;
  auto& excluded = cached->series.excluded;
  if (!std::binary_search(excluded.begin(), excluded.end(), wall)) {
    excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), wall), wall);
  }
  const bool empty = cached->overrides.empty() && !cached->row.seriesId && !hasParts(row.calendarId, key.id) &&
                     nothingLeft(cached->series);
  seriesCache_.erase(row.calendarId);
  if (!empty) return true;
  StatementUse s = statement("DELETE FROM events WHERE id = ?1");
  if (s == nullptr || !removeObjectOf(key.id)) return false;
  sqlite3_bind_int64(s, 1, key.id);
  return run(s);
}

bool SqliteStore::removeEvent(const Event& event, Span span, bool commit) {
  if (!usable_ || !event.calendarItemIdentifier) return false;
  return change(commit, [&] {
    if (event.eventIdentifier && *event.eventIdentifier != *event.calendarItemIdentifier) {
      // A changed occurrence, or an occurrence of a part split off its series.
      EventRow row;
      {
        StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE item_id = ?1");
        if (s == nullptr) return false;
        bindText(s, 1, *event.eventIdentifier);
        bool found = false;
        if (!step(s, &found) || !found) return false;
        row = EventRow::read(s);
      }
      const CalendarRow* calendar = findCalendar(row.calendarId);
      if (calendar == nullptr || !calendar->calendar->allowsContentModifications || !row.seriesId) return false;
      if (!row.rule) return removeOverride(row, span);
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
        if (cached.row.itemId == itemId) {
          series = &cached;
          break;
        }
      }
    }
    std::optional<EventRow> single;
    if (series == nullptr) {
      StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE item_id = ?1");
      if (s == nullptr) return false;
      bindText(s, 1, itemId);
      bool found = false;
      if (!step(s, &found) || !found) return false;
      EventRow row = EventRow::read(s);
      if (row.rule) {
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
        StatementUse n = statement("SELECT COUNT(*) FROM events WHERE object_id = ?1");
        if (!objectId || n == nullptr) return false;
        sqlite3_bind_int64(n, 1, *objectId);
        bool row = false;
        if (!step(n, &row) || !row || sqlite3_column_int64(n, 0) != 1) return false;
        if (!stageReplicaChange(*objectId, ObjectChange::Kind::remove, std::nullopt, std::nullopt)) return false;
      }
      // An object that held only this event goes with it.
      StatementUse o = statement(
          "DELETE FROM objects WHERE id = (SELECT object_id FROM events WHERE id = ?1) "
          "AND (SELECT COUNT(*) FROM events WHERE object_id = objects.id) = 1");
      StatementUse d = statement("DELETE FROM events WHERE id = ?1");
      if (o == nullptr || d == nullptr) return false;
      sqlite3_bind_int64(o, 1, single->id);
      if (!run(o)) return false;
      sqlite3_bind_int64(d, 1, single->id);
      singlesCache_.erase(calendarId);
      return run(d);
    }
    auto occurrence = event.occurrenceDate ? event.occurrenceDate : event.startDate;
    if (!occurrence) return false;
    return removeFromSeries(*series, *occurrence, span);
  });
}

}  // namespace calbridge
