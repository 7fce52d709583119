#include "sqlite/store_internal.h"
#include "base/unicode.h"

#include <cerrno>
#include <utility>

namespace calbridge {

const std::vector<SqliteStore::CalendarRow>& SqliteStore::calendarRows() {
  if (calendarRows_) return *calendarRows_;
  std::vector<CalendarRow> rows;
  StatementUse s = usable_ ? statement(
      "SELECT c.id, c.identifier, c.title, c.color_space, c.color_components, c.writable, c.immutable, "
      "s.identifier, s.title, s.type, s.url, "
      "CASE WHEN s.synced_at IS NULL AND s.sync_tried_at IS NULL THEN NULL "
      "ELSE max(coalesce(s.synced_at, 0), coalesce(s.sync_tried_at, 0)) END, c.remote_url, c.remote_writable "
      "FROM calendars c LEFT JOIN sources s ON s.id = c.source_id "
      "ORDER BY c.id")
                            : StatementUse(nullptr);
  bool row = false;
  while (usable_ && step(s, &row) && row) {
    auto calendar = std::make_shared<Calendar>();
    calendar->calendarIdentifier = columnText(s, 1);
    calendar->title = columnText(s, 2);
    calendar->color = colorOf(optionalText(s, 3), optionalText(s, 4));
    calendar->allowsContentModifications = sqlite3_column_int(s, 5) != 0;
    calendar->isImmutable = sqlite3_column_int(s, 6) != 0;
    if (sqlite3_column_type(s, 7) != SQLITE_NULL) {
      calendar->source = Source{columnText(s, 7), optionalText(s, 8), static_cast<SourceType>(sqlite3_column_int(s, 9))};
    }
    const bool replica = sqlite3_column_type(s, 10) != SQLITE_NULL;
    std::string remoteUrl = replica ? columnText(s, 12) : std::string();
    if (replica) {
      // The server's privilege decides; and only a store that tells the server
      // first may change a replica at all.
      const bool writable = publisher_ != nullptr && !remoteUrl.empty() && sqlite3_column_int(s, 13) != 0;
      calendar->allowsContentModifications = writable;
      calendar->isImmutable = !writable;
    }
    CalendarRow loaded{sqlite3_column_int64(s, 0), std::move(calendar), replica, std::move(remoteUrl), std::nullopt};
    loaded.syncedAt = optionalReal(s, 11);
    rows.push_back(std::move(loaded));
  }
  calendarRows_ = std::move(rows);
  return *calendarRows_;
}

const SqliteStore::CalendarRow* SqliteStore::findCalendar(std::string_view identifier) {
  for (const auto& row : calendarRows()) {
    if (canonicallyEqual(row.calendar->calendarIdentifier, identifier)) return &row;
  }
  return nullptr;
}

const SqliteStore::CalendarRow* SqliteStore::findCalendar(std::int64_t id) {
  for (const auto& row : calendarRows()) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

std::optional<std::int64_t> SqliteStore::findSource(std::string_view identifier) {
  StatementUse s = statement("SELECT id, identifier FROM sources ORDER BY id");
  bool row = false;
  while (step(s, &row) && row) {
    if (canonicallyEqual(columnText(s, 1), identifier)) return sqlite3_column_int64(s, 0);
  }
  return std::nullopt;
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
  auto id = usable_ ? setting("default_calendar") : std::nullopt;
  const CalendarRow* row = id ? findCalendar(*id) : nullptr;
  return row != nullptr ? row->calendar : nullptr;
}

std::vector<Source> SqliteStore::sources() {
  std::vector<Source> result;
  StatementUse s = usable_ ? statement("SELECT identifier, title, type FROM sources ORDER BY id") : StatementUse(nullptr);
  bool row = false;
  while (usable_ && step(s, &row) && row) {
    result.push_back(Source{columnText(s, 0), optionalText(s, 1), static_cast<SourceType>(sqlite3_column_int(s, 2))});
  }
  return result;
}

bool SqliteStore::saveCalendar(Calendar& calendar, bool commit) {
  if (!usable_ || !calendar.calendarIdentifier.empty() || !calendar.source) return false;
  auto sourceId = findSource(calendar.source->sourceIdentifier);
  if (!sourceId) return false;
  // A calendar of an account kept in step with a server is made there first:
  // one made only here would be taken away again by the next sync.
  auto identifier = isRemoteAccount(*sourceId) ? makeReplicaCalendar(calendar, *sourceId, commit)
                                               : insertCalendar(calendar, sourceId, commit);
  if (!identifier) return false;
  calendar.calendarIdentifier = *identifier;
  return true;
}

std::optional<std::string> SqliteStore::insertCalendar(const Calendar& calendar, std::optional<std::int64_t> sourceId,
                                                       bool commit) {
  std::string identifier = newUuid();
  bool inserted = change(commit, [&] {
    StatementUse s = statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindCalendarFields(s, calendar);
    if (sourceId) sqlite3_bind_int64(s, 7, *sourceId);
    return run(s);
  });
  calendarRows_.reset();
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
    auto account = row->calendar->source ? findSource(row->calendar->source->sourceIdentifier) : std::nullopt;
    auto remote = account ? remoteAccount(*account) : std::nullopt;
    if (!remote || row->remoteUrl.empty() || !publisher_->removeCalendar(*remote, row->remoteUrl)) return false;
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
    StatementUse d = statement("DELETE FROM settings WHERE name = 'default_calendar' AND value = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, id);
    if (!run(d)) return false;
    StatementUse s = statement("DELETE FROM calendars WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    return run(s) && sqlite3_changes(db_) == 1;
  });
  calendarRows_.reset();
  return removed;
}

std::optional<std::string> SqliteStore::addSource(const std::string& title, SourceType type) {
  std::string identifier = newUuid();
  bool added = change(true, [&] {
    StatementUse s = statement("INSERT INTO sources(identifier, title, type) VALUES(?1, ?2, ?3)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindText(s, 2, title);
    sqlite3_bind_int(s, 3, static_cast<int>(type));
    return run(s);
  });
  if (!added) return std::nullopt;
  return identifier;
}

bool SqliteStore::removeSource(std::string_view identifier) {
  bool removed = change(true, [&] {
    auto id = findSource(identifier);
    if (!id) return false;
    if (isRemoteAccount(*id)) {
      // A replica goes with its account; the server keeps the calendars.
      StatementUse d = statement(
          "DELETE FROM settings WHERE name = 'default_calendar' AND value IN "
          "(SELECT id FROM calendars WHERE source_id = ?1)");
      StatementUse c = statement("DELETE FROM calendars WHERE source_id = ?1");
      if (d == nullptr || c == nullptr) return false;
      sqlite3_bind_int64(d, 1, *id);
      sqlite3_bind_int64(c, 1, *id);
      if (!run(d) || !run(c)) return false;
    }
    StatementUse used = statement("SELECT 1 FROM calendars WHERE source_id = ?1");
    if (used == nullptr) return false;
    sqlite3_bind_int64(used, 1, *id);
    if (sqlite3_step(used) != SQLITE_DONE) return false;
    StatementUse s = statement("DELETE FROM sources WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *id);
    return run(s);
  });
  calendarRows_.reset();
  return removed;
}

std::optional<std::string> SqliteStore::addCalendar(const Calendar& calendar) {
  std::optional<std::int64_t> sourceId;
  if (calendar.source) {
    sourceId = findSource(calendar.source->sourceIdentifier);
    if (!sourceId) return std::nullopt;
  }
  return insertCalendar(calendar, sourceId, true);
}

bool SqliteStore::updateCalendar(const Calendar& calendar) {
  bool updated = change(true, [&] {
    const CalendarRow* row = findCalendar(calendar.calendarIdentifier);
    if (row == nullptr) return false;
    const std::int64_t id = row->id;
    StatementUse s = statement(
        "UPDATE calendars SET title = ?2, color_space = ?3, color_components = ?4, writable = ?5, immutable = ?6 "
        "WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    bindCalendarFields(s, calendar);
    return run(s);
  });
  calendarRows_.reset();
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
    StatementUse s = id ? statement("INSERT OR REPLACE INTO settings(name, value) VALUES('default_calendar', ?1)")
                         : statement("DELETE FROM settings WHERE name = 'default_calendar'");
    if (s == nullptr) return false;
    if (id) sqlite3_bind_int64(s, 1, *id);
    return run(s);
  });
}

}  // namespace calbridge
