#include "sqlite/store_internal.h"
#include "calendar/series_split.h"
#include "base/unicode.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <set>
#include <unistd.h>
#include <utility>

namespace calbridge {

bool SqliteStore::importEvents(std::string_view calendarIdentifier, std::vector<StoredEvent>& events,
                               std::span<const KeptObject> objects) {
  if (!usable_) return false;
  // Every series is worked out first: the lock is then held only for the
  // inserts, and other hosts wait for those, not for the walking.
  const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zonesFor(events));
  std::vector<std::optional<double>> lastEnds;
  lastEnds.reserve(events.size());
  for (const StoredEvent& event : events) lastEnds.push_back(lastEndFor(event));
  return change(true, [&] {
    const CalendarRow* row = findCalendar(calendarIdentifier);
    // A replica's events come from its server, and the next sync would not know these.
    if (row == nullptr || row->replica) return false;
    const std::int64_t id = row->id;
    // An event whose UID the calendar already holds is an update of it, as
    // calendar programs read a file: the file's version replaces the stored one,
    // and importing a file twice leaves one copy.
    std::set<std::string> uids;
    for (const StoredEvent& event : events) uids.insert(nfc(event.externalIdentifier));
    for (const std::string& uid : uids) {
      Statement d = db_->statement("DELETE FROM events WHERE calendar_id = ?1 AND external_key = ?2");
      if (d == nullptr) return false;
      sqlite3_bind_int64(d, 1, id);
      bindText(d, 2, uid);
      if (!db_->run(d)) return false;
      replaced_ += static_cast<std::size_t>(db_->changes());
    }
    // The replaced events' kept texts go with them.
    if (!uids.empty()) {
      Statement o = db_->statement(
          "DELETE FROM objects WHERE calendar_id = ?1 AND NOT EXISTS (SELECT 1 FROM events e WHERE e.object_id = objects.id)");
      if (o == nullptr) return false;
      sqlite3_bind_int64(o, 1, id);
      if (!db_->run(o)) return false;
    }
    std::map<std::string, std::int64_t> objectIds;  // by UID
    for (const KeptObject& object : objects) {
      // A local object has no server; its name is one a server would give it.
      Statement s = db_->statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, '', ?3)");
      if (s == nullptr) return false;
      sqlite3_bind_int64(s, 1, id);
      bindText(s, 2, newUuid() + ".ics");
      bindText(s, 3, object.text);
      if (!db_->run(s)) return false;
      objectIds.emplace(nfc(object.uid), db_->lastInsertedRow());
    }
    caches_->series.erase(id);
    caches_->singles.erase(id);
    std::vector<std::optional<std::int64_t>> objectOfEach(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (auto found = objectIds.find(nfc(events[i].externalIdentifier)); found != objectIds.end()) {
        objectOfEach[i] = found->second;
      }
    }
    return insertLinked(id, events, parents, lastEnds, objectOfEach);
  });
}

std::optional<SqliteStore::ExportedCalendar> SqliteStore::exportedCalendar(std::string_view calendarIdentifier) {
  const CalendarRow* calendar = usable_ ? findCalendar(calendarIdentifier) : nullptr;
  if (calendar == nullptr) return std::nullopt;
  const std::int64_t calendarId = calendar->id;
  auto events = storedEvents(calendarIdentifier);
  if (!events) return std::nullopt;
  ExportedCalendar exported;
  std::set<std::string> kept;  // item ids of events whose object's text is written
  {
    Statement s = db_->statement("SELECT item_id FROM events WHERE calendar_id = ?1 AND object_id IS NOT NULL");
    if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
    bool row = false;
    while (db_->step(s, &row) && row) kept.insert(columnText(s, 0));
  }
  {
    Statement s = db_->statement("SELECT data FROM objects WHERE calendar_id = ?1 ORDER BY id");
    if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
    bool row = false;
    while (db_->step(s, &row) && row) exported.objects.push_back(columnText(s, 0));
  }
  if (db_->failed()) return std::nullopt;
  for (StoredEvent& event : *events)
    if (!kept.count(event.calendarItemIdentifier)) exported.events.push_back(std::move(event));
  return exported;
}

std::optional<std::vector<StoredEvent>> SqliteStore::storedEvents(std::string_view calendarIdentifier) {
  const CalendarRow* calendar = usable_ ? findCalendar(calendarIdentifier) : nullptr;
  if (calendar == nullptr) return std::nullopt;
  Statement s = db_->statement(
      CALBRIDGE_SELECT_EVENTS
        "WHERE calendar_id = ?1 ORDER BY id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, calendar->id);
  std::vector<EventRow> rows;
  bool row = false;
  while (db_->step(s, &row) && row) rows.push_back(EventRow::read(s));
  if (db_->failed()) return std::nullopt;
  std::vector<StoredEvent> events;
  events.reserve(rows.size());
  std::map<std::int64_t, std::size_t> byId;
  for (EventRow& r : rows) {
    byId.emplace(r.id, events.size());
    if (!r.event.rule) r.event.nominalDays = 0;
    if (r.event.rule) {
      if (CachedSeries* cached = cachedSeries(r)) {
        r.event.excluded = cached->series.excluded;
        r.event.extraDates = cached->series.extraDates;
      }
    }
    events.push_back(std::move(r.event));
  }
  if (db_->failed()) return std::nullopt;
  // A series split at THISANDFUTURE changes is written as it came: whole, with
  // the changes beside it, which name where each part begins.
  std::vector<std::optional<std::size_t>> parents(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].seriesId) continue;
    if (auto parent = byId.find(*rows[i].seriesId); parent != byId.end()) parents[i] = parent->second;
  }
  rejoinSplits(events, parents, zonesFor(events));
  return events;
}

}  // namespace calbridge
