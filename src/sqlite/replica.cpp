#include "sqlite/store_internal.h"
#include "calendar/series_split.h"

#include <map>

namespace calbridge {

void SqliteStore::setPublisher(ObjectPublisher* publisher) {
  publisher_ = publisher;
  calendarRows_.reset();  // what a replica calendar allows depends on it
}

bool SqliteStore::isRemoteAccount(std::int64_t sourceId) {
  StatementUse s = statement("SELECT url IS NOT NULL FROM sources WHERE id = ?1");
  if (s != nullptr) sqlite3_bind_int64(s, 1, sourceId);
  bool row = false;
  // Unreadable counts as remote: refusing is the safe answer.
  if (!step(s, &row)) return true;
  return row && sqlite3_column_int(s, 0) != 0;
}

namespace {

// The server's color as the store keeps colors: "#RRGGBBAA" loses its alpha.
std::optional<Color> colorOfRemote(const std::string& text) {
  return colorFromHex(text.size() == 9 && text[0] == '#' ? text.substr(0, 7) : text);
}

// An account from the columns identifier, title, url, single_calendar,
// user_name, password_command, ca_file, synced_at, sync_tried_at.
RemoteAccount readRemoteAccount(sqlite3_stmt* s) {
  RemoteAccount account;
  account.sourceIdentifier = columnText(s, 0);
  account.title = columnText(s, 1);
  account.url = columnText(s, 2);
  account.singleCalendar = sqlite3_column_int(s, 3) != 0;
  account.user = optionalText(s, 4);
  account.passwordCommand = optionalText(s, 5);
  account.caFile = optionalText(s, 6);
  account.syncedAt = optionalReal(s, 7);
  account.syncTriedAt = optionalReal(s, 8);
  return account;
}

}  // namespace

bool SqliteStore::applyRound(std::int64_t sourceId, const ReplicaRound& round) {
  const ReplicaCalendar& remote = round.calendar;
  std::optional<std::int64_t> calendarId;
  {
    StatementUse find = statement("SELECT id FROM calendars WHERE source_id = ?1 AND remote_url = ?2");
    if (find == nullptr) return false;
    sqlite3_bind_int64(find, 1, sourceId);
    bindText(find, 2, remote.remoteUrl);
    bool row = false;
    if (!step(find, &row)) return false;
    if (row) calendarId = sqlite3_column_int64(find, 0);
  }
  calendarRows_.reset();
  seriesCache_.clear();
  singlesCache_.clear();
  if (round.action == ReplicaRound::Action::remove) {
    if (!calendarId) return true;
    StatementUse d = statement("DELETE FROM settings WHERE name = 'default_calendar' AND value = ?1");
    StatementUse s = statement("DELETE FROM calendars WHERE id = ?1");
    if (d == nullptr || s == nullptr) return false;
    sqlite3_bind_int64(d, 1, *calendarId);
    sqlite3_bind_int64(s, 1, *calendarId);
    return run(d) && run(s);
  }
  if (round.action == ReplicaRound::Action::add && calendarId) return false;
  if (round.action == ReplicaRound::Action::update && !calendarId) return false;
  Calendar fields;
  fields.title = remote.title;
  fields.color = colorOfRemote(remote.color);
  // Until changes go to the server first, nothing here may change a replica's
  // events: a change made only here would be undone by the next sync.
  fields.allowsContentModifications = false;
  fields.isImmutable = true;
  if (!calendarId) {
    StatementUse s = statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id, "
        "remote_url, remote_writable, sync_token, ctag, remote_color) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    if (s == nullptr) return false;
    bindText(s, 1, newUuid());
    bindCalendarFields(s, fields);
    sqlite3_bind_int64(s, 7, sourceId);
    bindText(s, 8, remote.remoteUrl);
    sqlite3_bind_int(s, 9, remote.remoteWritable ? 1 : 0);
    bindText(s, 10, remote.syncToken);
    bindText(s, 11, remote.ctag);
    bindText(s, 12, remote.color);
    if (!run(s)) return false;
    calendarId = sqlite3_last_insert_rowid(db_);
  } else {
    StatementUse s = statement(
        "UPDATE calendars SET title = ?2, color_space = ?3, color_components = ?4, writable = ?5, immutable = ?6, "
        "remote_writable = ?7, sync_token = ?8, ctag = ?9, remote_color = ?10 WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *calendarId);
    bindCalendarFields(s, fields);
    sqlite3_bind_int(s, 7, remote.remoteWritable ? 1 : 0);
    bindText(s, 8, remote.syncToken);
    bindText(s, 9, remote.ctag);
    bindText(s, 10, remote.color);
    if (!run(s)) return false;
  }
  for (const std::string& url : round.removals) {
    StatementUse d = statement("DELETE FROM objects WHERE calendar_id = ?1 AND url = ?2");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, *calendarId);
    bindText(d, 2, url);
    if (!run(d)) return false;
  }
  for (const ReplicaObject& object : round.upserts) {
    // A changed object replaces its events whole: its old ones go with its old row.
    StatementUse d = statement("DELETE FROM objects WHERE calendar_id = ?1 AND url = ?2");
    StatementUse s = statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, ?3, ?4)");
    if (d == nullptr || s == nullptr) return false;
    sqlite3_bind_int64(d, 1, *calendarId);
    bindText(d, 2, object.url);
    if (!run(d)) return false;
    sqlite3_bind_int64(s, 1, *calendarId);
    bindText(s, 2, object.url);
    bindText(s, 3, object.etag);
    bindText(s, 4, object.data);
    if (!run(s)) return false;
    const std::int64_t objectId = sqlite3_last_insert_rowid(db_);
    std::vector<StoredEvent> events = object.events;
    const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zonesFor(events));
    std::vector<std::optional<double>> lastEnds;
    for (const StoredEvent& event : events) lastEnds.push_back(lastEndFor(event));
    if (!insertLinked(*calendarId, events, parents, lastEnds,
                      std::vector<std::optional<std::int64_t>>(events.size(), objectId))) {
      return false;
    }
  }
  return true;
}

std::optional<RemoteAccount> SqliteStore::remoteAccount(std::int64_t sourceId) {
  StatementUse s = statement(
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at "
      "FROM sources WHERE id = ?1 AND url IS NOT NULL");
  if (s == nullptr) return std::nullopt;
  sqlite3_bind_int64(s, 1, sourceId);
  bool row = false;
  if (!step(s, &row) || !row) return std::nullopt;
  return readRemoteAccount(s);
}

std::optional<std::string> SqliteStore::makeReplicaCalendar(const Calendar& calendar, std::int64_t sourceId,
                                                            bool commit) {
  if (publisher_ == nullptr) return std::nullopt;
  auto account = remoteAccount(sourceId);
  if (!account) return std::nullopt;
  const std::string color = calendar.color ? hex(calendar.color) : std::string();
  // Asked before the write lock is taken: other writers need not wait on the server.
  auto url = publisher_->makeCalendar(*account, calendar.title, color);
  if (!url) return std::nullopt;
  std::string identifier = newUuid();
  bool stored = change(commit, [&] {
    // A sync that ran meanwhile may have brought the new collection in already.
    StatementUse find = statement("SELECT identifier FROM calendars WHERE source_id = ?1 AND remote_url = ?2");
    if (find == nullptr) return false;
    sqlite3_bind_int64(find, 1, sourceId);
    bindText(find, 2, *url);
    bool row = false;
    if (!step(find, &row)) return false;
    if (row) {
      identifier = columnText(find, 0);
      return true;
    }
    Calendar fields = calendar;
    fields.allowsContentModifications = true;
    fields.isImmutable = false;
    StatementUse s = statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id, "
        "remote_url, remote_writable, sync_token, ctag, remote_color) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 1, '', '', ?9)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindCalendarFields(s, fields);
    sqlite3_bind_int64(s, 7, sourceId);
    bindText(s, 8, *url);
    bindText(s, 9, color);
    return run(s);
  });
  calendarRows_.reset();
  if (stored) return identifier;
  // "failed" must leave nothing behind: the collection goes again.
  publisher_->removeCalendar(*account, *url);
  return std::nullopt;
}

std::optional<std::string> SqliteStore::addRemoteAccount(RemoteAccount& account,
                                                         const std::vector<ReplicaRound>& rounds) {
  std::string identifier = newUuid();
  bool added = change(true, [&] {
    StatementUse s = statement(
        "INSERT INTO sources(identifier, title, type, url, user_name, password_command, ca_file, single_calendar, "
        "synced_at) VALUES(?1, ?2, 2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindText(s, 2, account.title);
    bindText(s, 3, account.url);
    bindOptionalText(s, 4, account.user);
    bindOptionalText(s, 5, account.passwordCommand);
    bindOptionalText(s, 6, account.caFile);
    sqlite3_bind_int(s, 7, account.singleCalendar ? 1 : 0);
    bindOptionalReal(s, 8, account.syncedAt);
    if (!run(s)) return false;
    const std::int64_t sourceId = sqlite3_last_insert_rowid(db_);
    for (const ReplicaRound& round : rounds) {
      if (!applyRound(sourceId, round)) return false;
    }
    return true;
  });
  calendarRows_.reset();
  if (!added) return std::nullopt;
  account.sourceIdentifier = identifier;
  return identifier;
}

std::optional<std::vector<RemoteAccount>> SqliteStore::remoteAccounts() {
  if (!usable_) return std::nullopt;
  StatementUse s = statement(
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at "
      "FROM sources "
      "WHERE url IS NOT NULL ORDER BY id");
  std::vector<RemoteAccount> accounts;
  bool row = false;
  while (step(s, &row) && row) accounts.push_back(readRemoteAccount(s));
  if (readFailed_) return std::nullopt;
  return accounts;
}

std::optional<std::vector<ReplicaCalendar>> SqliteStore::replicaCalendars(std::string_view sourceIdentifier) {
  auto sourceId = usable_ ? findSource(sourceIdentifier) : std::nullopt;
  if (!sourceId) return std::nullopt;
  StatementUse s = statement(
      "SELECT remote_url, title, remote_color, remote_writable, sync_token, ctag FROM calendars "
      "WHERE source_id = ?1 AND remote_url IS NOT NULL ORDER BY id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, *sourceId);
  std::vector<ReplicaCalendar> calendars;
  bool row = false;
  while (step(s, &row) && row) {
    calendars.push_back(ReplicaCalendar{columnText(s, 0), columnText(s, 1), columnText(s, 2),
                                        sqlite3_column_int(s, 3) != 0, columnText(s, 4), columnText(s, 5)});
  }
  if (readFailed_) return std::nullopt;
  return calendars;
}

std::optional<std::map<std::string, std::string>> SqliteStore::replicaEtags(std::string_view sourceIdentifier,
                                                                           std::string_view remoteUrl) {
  auto sourceId = usable_ ? findSource(sourceIdentifier) : std::nullopt;
  if (!sourceId) return std::nullopt;
  StatementUse s = statement(
      "SELECT o.url, o.etag FROM objects o JOIN calendars c ON c.id = o.calendar_id "
      "WHERE c.source_id = ?1 AND c.remote_url = ?2");
  if (s != nullptr) {
    sqlite3_bind_int64(s, 1, *sourceId);
    bindText(s, 2, remoteUrl);
  }
  std::map<std::string, std::string> etags;
  bool row = false;
  while (step(s, &row) && row) etags.emplace(columnText(s, 0), columnText(s, 1));
  if (readFailed_) return std::nullopt;
  return etags;
}

bool SqliteStore::applyReplicaRound(std::string_view sourceIdentifier, const ReplicaRound& round) {
  // Everything a round stores is worked out by the caller; under the lock it is only written.
  return change(true, [&] {
    auto sourceId = findSource(sourceIdentifier);
    return sourceId && applyRound(*sourceId, round);
  });
}

bool SqliteStore::markSynced(std::string_view sourceIdentifier, double when, bool completed) {
  return change(true, [&] {
    auto sourceId = findSource(sourceIdentifier);
    if (!sourceId) return false;
    StatementUse s = completed ? statement("UPDATE sources SET synced_at = ?2 WHERE id = ?1")
                               : statement("UPDATE sources SET sync_tried_at = ?2 WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *sourceId);
    sqlite3_bind_double(s, 2, when);
    return run(s);
  });
}

}  // namespace calbridge
