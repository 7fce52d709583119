#include "sqlite/store_internal.h"
#include "base/unicode.h"

#include <cerrno>
#include <utility>

namespace calbridge {

const std::vector<CalendarRow>& SqliteStore::calendarRows() {
  auto& rows = caches_->calendarRows;
  if (!rows) rows = usable_ ? sqlite::readCalendarRows(*db_, publisher_ != nullptr) : std::vector<CalendarRow>{};
  return *rows;
}

const CalendarRow* SqliteStore::findCalendar(std::string_view identifier) {
  for (const auto& row : calendarRows()) {
    if (canonicallyEqual(row.calendar->calendarIdentifier, identifier)) return &row;
  }
  return nullptr;
}

const CalendarRow* SqliteStore::findCalendar(std::int64_t id) {
  for (const auto& row : calendarRows()) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

std::vector<std::shared_ptr<const Calendar>> SqliteStore::calendars() {
  std::vector<std::shared_ptr<const Calendar>> result;
  for (const auto& row : calendarRows()) {
    noteRead(row);
    result.push_back(row.calendar);
  }
  return result;
}

void SqliteStore::noteRead(const CalendarRow& row) {
  if (row.replica && row.calendar->source) replicasRead_[row.calendar->source->sourceIdentifier] = row.syncedAt;
}

std::vector<std::string> SqliteStore::staleAccountsRead(double now, double maxAge) const {
  std::vector<std::string> stale;
  for (const auto& [account, syncedAt] : replicasRead_) {
    if (!syncedAt || now - *syncedAt > maxAge) stale.push_back(account);
  }
  return stale;
}

std::shared_ptr<const Calendar> SqliteStore::calendarWithIdentifier(std::string_view identifier) {
  const CalendarRow* row = findCalendar(identifier);
  return row != nullptr ? row->calendar : nullptr;
}

std::shared_ptr<const Calendar> SqliteStore::defaultCalendarForNewEvents() {
  auto id = usable_ ? sqlite::readSetting(*db_, "default_calendar") : std::nullopt;
  const CalendarRow* row = id ? findCalendar(*id) : nullptr;
  return row != nullptr ? row->calendar : nullptr;
}

std::vector<Source> SqliteStore::sources() {
  std::vector<Source> result;
  Statement s = usable_ ? db_->statement("SELECT identifier, title, type FROM sources ORDER BY id") : Statement(nullptr);
  bool row = false;
  while (usable_ && db_->step(s, &row) && row) {
    result.push_back(Source{columnText(s, 0), optionalText(s, 1), static_cast<SourceType>(sqlite3_column_int(s, 2))});
  }
  return result;
}

bool SqliteStore::saveCalendar(Calendar& calendar, bool commit) {
  if (!usable_ || !calendar.calendarIdentifier.empty() || !calendar.source) return false;
  auto sourceId = sqlite::findSourceRow(*db_, calendar.source->sourceIdentifier);
  if (!sourceId) return false;
  // A calendar of an account kept in step with a server is made there first:
  // one made only here would be taken away again by the next sync.
  auto identifier = sqlite::isRemoteSource(*db_, *sourceId) ? makeReplicaCalendar(calendar, *sourceId, commit)
                                               : insertCalendar(calendar, sourceId, commit);
  if (!identifier) return false;
  calendar.calendarIdentifier = *identifier;
  return true;
}

std::optional<std::string> SqliteStore::insertCalendar(const Calendar& calendar, std::optional<std::int64_t> sourceId,
                                                       bool commit) {
  std::string identifier = newUuid();
  bool inserted = change(commit, [&] {
    Statement s = db_->statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindCalendarFields(s, calendar);
    if (sourceId) sqlite3_bind_int64(s, 7, *sourceId);
    return db_->run(s);
  });
  caches_->calendarRows.reset();
  if (!inserted) return std::nullopt;
  return identifier;
}

bool SqliteStore::removeCalendar(const Calendar& calendar, bool commit) {
  return removeCalendarRow(calendar.calendarIdentifier, false, commit);
}

bool SqliteStore::deleteCalendar(std::string_view identifier) { return removeCalendarRow(identifier, true, true); }

bool SqliteStore::removeCalendarRow(std::string_view identifier, bool evenImmutable, bool commit) {
  // A replica's collection goes on the server first, and before the write
  // lock is taken, so that other writers do not wait on the server. The
  // owner's tool (no publisher) may still drop a replica calendar here only,
  // and the next sync brings it back.
  bool goneFromServer = false;
  if (const CalendarRow* row = publisher_ != nullptr ? findCalendar(identifier) : nullptr; row && row->replica) {
    if (row->calendar->isImmutable && !evenImmutable) return false;
    auto account = row->calendar->source ? sqlite::findSourceRow(*db_, row->calendar->source->sourceIdentifier) : std::nullopt;
    auto remote = account ? remoteAccount(*account) : std::nullopt;
    if (!remote || row->remoteUrl.empty()) return false;
    failure_ = publisher_->removeCalendar(*remote, row->remoteUrl);
    if (!failure_) return false;
    goneFromServer = true;
  }
  bool removed = change(commit, [&] {
    // Looked up under the lock: a request removes the calendar it named, or none.
    const CalendarRow* row = findCalendar(identifier);
    // A sync that ran meanwhile may have taken it out already.
    if (row == nullptr) return goneFromServer;
    if (!goneFromServer && row->calendar->isImmutable && !evenImmutable) return false;
    if (row->replica && !goneFromServer && !evenImmutable) return false;
    const std::int64_t id = row->id;
    Statement d = db_->statement("DELETE FROM settings WHERE name = 'default_calendar' AND value = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, id);
    if (!db_->run(d)) return false;
    Statement s = db_->statement("DELETE FROM calendars WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    return db_->run(s) && db_->changes() == 1;
  });
  caches_->calendarRows.reset();
  return removed;
}

std::optional<std::string> SqliteStore::addSource(const std::string& title, SourceType type) {
  std::string identifier = newUuid();
  bool added = change(true, [&] {
    Statement s = db_->statement("INSERT INTO sources(identifier, title, type) VALUES(?1, ?2, ?3)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindText(s, 2, title);
    sqlite3_bind_int(s, 3, static_cast<int>(type));
    return db_->run(s);
  });
  if (!added) return std::nullopt;
  return identifier;
}

bool SqliteStore::removeSource(std::string_view identifier) {
  bool removed = change(true, [&] {
    auto id = sqlite::findSourceRow(*db_, identifier);
    if (!id) return false;
    if (sqlite::isRemoteSource(*db_, *id)) {
      // A replica goes with its account; the server keeps the calendars.
      Statement d = db_->statement(
          "DELETE FROM settings WHERE name = 'default_calendar' AND value IN "
          "(SELECT id FROM calendars WHERE source_id = ?1)");
      Statement c = db_->statement("DELETE FROM calendars WHERE source_id = ?1");
      if (d == nullptr || c == nullptr) return false;
      sqlite3_bind_int64(d, 1, *id);
      sqlite3_bind_int64(c, 1, *id);
      if (!db_->run(d) || !db_->run(c)) return false;
    }
    Statement used = db_->statement("SELECT 1 FROM calendars WHERE source_id = ?1");
    if (used == nullptr) return false;
    sqlite3_bind_int64(used, 1, *id);
    if (sqlite3_step(used) != SQLITE_DONE) return false;
    Statement s = db_->statement("DELETE FROM sources WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *id);
    return db_->run(s);
  });
  caches_->calendarRows.reset();
  return removed;
}

std::optional<std::string> SqliteStore::addCalendar(const Calendar& calendar) {
  std::optional<std::int64_t> sourceId;
  if (calendar.source) {
    sourceId = sqlite::findSourceRow(*db_, calendar.source->sourceIdentifier);
    if (!sourceId) return std::nullopt;
  }
  return insertCalendar(calendar, sourceId, true);
}

bool SqliteStore::updateCalendar(const Calendar& calendar) {
  bool updated = change(true, [&] {
    const CalendarRow* row = findCalendar(calendar.calendarIdentifier);
    if (row == nullptr) return false;
    const std::int64_t id = row->id;
    Statement s = db_->statement(
        "UPDATE calendars SET title = ?2, color_space = ?3, color_components = ?4, writable = ?5, immutable = ?6 "
        "WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    bindCalendarFields(s, calendar);
    return db_->run(s);
  });
  caches_->calendarRows.reset();
  return updated;
}

bool SqliteStore::setDefaultCalendar(std::optional<std::string_view> identifier) {
  return change(true, [&] {
    std::optional<std::int64_t> id;
    if (identifier) {
      const CalendarRow* row = findCalendar(*identifier);
      if (row == nullptr) return false;
      id = row->id;
    }
    Statement s = id ? db_->statement("INSERT OR REPLACE INTO settings(name, value) VALUES('default_calendar', ?1)")
                         : db_->statement("DELETE FROM settings WHERE name = 'default_calendar'");
    if (s == nullptr) return false;
    if (id) sqlite3_bind_int64(s, 1, *id);
    return db_->run(s);
  });
}

}  // namespace calbridge
