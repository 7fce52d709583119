#include "sqlite/store_internal.h"
#include "calendar/series_split.h"
#include "replica/identifiers.h"

#include <map>
#include <unordered_set>

namespace calbridge {

void SqliteStore::setPublisher(ObjectPublisher* publisher) {
  publisher_ = publisher;
  caches_->calendarRows.reset();  // what a replica calendar allows depends on it
}

namespace {

// The server's color as the store keeps colors: "#RRGGBBAA" loses its alpha.
std::optional<Color> colorOfRemote(const std::string& text) {
  return colorFromHex(text.size() == 9 && text[0] == '#' ? text.substr(0, 7) : text);
}

// An account from the columns identifier, title, url, single_calendar,
// user_name, password_command, ca_file, synced_at, sync_tried_at, token_command.
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
  account.tokenCommand = optionalText(s, 9);
  return account;
}

}  // namespace

std::optional<std::string> SqliteStore::objectEtag(std::int64_t calendarId, const std::string& url) {
  Statement s = db_->statement("SELECT etag FROM objects WHERE calendar_id = ?1 AND url = ?2");
  if (s == nullptr) return std::nullopt;
  sqlite3_bind_int64(s, 1, calendarId);
  bindText(s, 2, url);
  bool row = false;
  if (!db_->step(s, &row) || !row) return std::nullopt;
  return columnText(s, 0);
}

bool SqliteStore::replaceObject(std::int64_t calendarId, const std::string& url, const std::string& etag,
                                const std::string& data, std::vector<StoredEvent> events, bool firstInNewCalendar) {
  std::optional<std::int64_t> objectId;
  std::vector<KeptIdentity> kept;
  if (!firstInNewCalendar) {
    Statement k = db_->statement(
        "SELECT o.id, e.external_id, e.recurrence_id, e.item_id FROM objects o "
        "LEFT JOIN events e ON e.object_id = o.id WHERE o.calendar_id = ?1 AND o.url = ?2");
    if (k == nullptr) return false;
    sqlite3_bind_int64(k, 1, calendarId);
    bindText(k, 2, url);
    bool row = false;
    while (db_->step(k, &row) && row) {
      objectId = sqlite3_column_int64(k, 0);
      if (sqlite3_column_type(k, 3) != SQLITE_NULL) {
        kept.push_back(KeptIdentity{columnText(k, 1), optionalInteger(k, 2), columnText(k, 3)});
      }
    }
    if (db_->failed()) return false;
  }
  if (objectId) {
    Statement u = db_->statement("UPDATE objects SET etag = ?2, data = ?3 WHERE id = ?1");
    Statement d = db_->statement("DELETE FROM events WHERE object_id = ?1");
    if (u == nullptr || d == nullptr) return false;
    sqlite3_bind_int64(u, 1, *objectId);
    bindText(u, 2, etag);
    bindText(u, 3, data);
    sqlite3_bind_int64(d, 1, *objectId);
    if (!db_->run(u) || !db_->run(d)) return false;
  } else {
    Statement s = db_->statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, ?3, ?4)");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, calendarId);
    bindText(s, 2, url);
    bindText(s, 3, etag);
    bindText(s, 4, data);
    if (!db_->run(s)) return false;
    objectId = db_->lastInsertedRow();
  }
  // Changed occurrences tied to their series, as an import reads them; then
  // each names its occurrence as its row does.
  const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zonesFor(events));
  carryIdentifiers(kept, events);
  std::vector<std::optional<double>> lastEnds;
  for (const StoredEvent& event : events) lastEnds.push_back(lastEndFor(event));
  return insertLinked(calendarId, events, parents, lastEnds,
                      std::vector<std::optional<std::int64_t>>(events.size(), *objectId));
}

bool SqliteStore::applyRound(std::int64_t sourceId, const ReadRound& read) {
  const ReplicaRound& round = read.round;
  const ReplicaCalendar& remote = round.calendar;
  std::optional<std::int64_t> calendarId;
  std::string keptToken, keptCtag;
  {
    Statement find =
        db_->statement("SELECT id, sync_token, ctag FROM calendars WHERE source_id = ?1 AND remote_url = ?2");
    if (find == nullptr) return false;
    sqlite3_bind_int64(find, 1, sourceId);
    bindText(find, 2, remote.url);
    bool row = false;
    if (!db_->step(find, &row)) return false;
    if (row) {
      calendarId = sqlite3_column_int64(find, 0);
      keptToken = columnText(find, 1);
      keptCtag = columnText(find, 2);
    }
  }
  caches_->calendarRows.reset();
  caches_->series.clear();
  caches_->singles.clear();
  if (round.action == ReplicaRound::Action::remove) {
    if (!calendarId) return true;
    Statement d = db_->statement("DELETE FROM settings WHERE name = 'default_calendar' AND value = ?1");
    Statement s = db_->statement("DELETE FROM calendars WHERE id = ?1");
    if (d == nullptr || s == nullptr) return false;
    sqlite3_bind_int64(d, 1, *calendarId);
    sqlite3_bind_int64(s, 1, *calendarId);
    return db_->run(d) && db_->run(s);
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
  bool newCalendar = false;
  if (!calendarId) {
    Statement s = db_->statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id, "
        "remote_url, remote_writable, sync_token, ctag, remote_color) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    if (s == nullptr) return false;
    bindText(s, 1, newUuid());
    bindCalendarFields(s, fields);
    sqlite3_bind_int64(s, 7, sourceId);
    bindText(s, 8, remote.url);
    sqlite3_bind_int(s, 9, remote.writable ? 1 : 0);
    bindText(s, 10, remote.sync_token);
    bindText(s, 11, remote.ctag);
    bindText(s, 12, remote.color);
    if (!db_->run(s)) return false;
    calendarId = db_->lastInsertedRow();
    newCalendar = true;
    keptToken = remote.sync_token;
    keptCtag = remote.ctag;
  }
  bool waits = false;
  // In a calendar this round made there is nothing to compare with, but for
  // an object the round names twice.
  std::unordered_set<std::string> named;
  auto firstInNewCalendar = [&](const std::string& url) { return newCalendar && named.insert(url).second; };
  auto applies = [&](const std::string& url, const std::optional<std::string>& fetched) {
    auto before = round.before.find(url);
    RoundStep s = roundStep(before == round.before.end() ? std::nullopt : std::optional(before->second),
                            objectEtag(*calendarId, url), fetched);
    waits = waits || s == RoundStep::wait;
    return s == RoundStep::apply;
  };
  for (const std::string& url : round.removals) {
    if (!firstInNewCalendar(url) && !applies(url, std::nullopt)) continue;
    Statement d = db_->statement("DELETE FROM objects WHERE calendar_id = ?1 AND url = ?2");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, *calendarId);
    bindText(d, 2, url);
    if (!db_->run(d)) return false;
  }
  for (std::size_t i = 0; i < round.upserts.size(); ++i) {
    const ReplicaObject& object = round.upserts[i];
    const bool first = firstInNewCalendar(object.url);
    if (!first && !applies(object.url, object.etag)) continue;
    if (!replaceObject(*calendarId, object.url, object.etag, object.data,
                       i < read.events.size() ? read.events[i] : std::vector<StoredEvent>{}, first)) {
      return false;
    }
  }
  if (db_->failed()) return false;
  // An object left for the next round holds the token back, so that the next round asks for it again.
  Statement s = db_->statement(
      "UPDATE calendars SET title = ?2, color_space = ?3, color_components = ?4, writable = ?5, immutable = ?6, "
      "remote_writable = ?7, sync_token = ?8, ctag = ?9, remote_color = ?10 WHERE id = ?1");
  if (s == nullptr) return false;
  sqlite3_bind_int64(s, 1, *calendarId);
  bindCalendarFields(s, fields);
  sqlite3_bind_int(s, 7, remote.writable ? 1 : 0);
  bindText(s, 8, waits ? keptToken : remote.sync_token);
  bindText(s, 9, waits ? keptCtag : remote.ctag);
  bindText(s, 10, remote.color);
  return db_->run(s);
}

std::optional<RemoteAccount> SqliteStore::remoteAccount(std::int64_t sourceId) {
  Statement s = db_->statement(
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at, "
      "token_command "
      "FROM sources WHERE id = ?1 AND url IS NOT NULL");
  if (s == nullptr) return std::nullopt;
  sqlite3_bind_int64(s, 1, sourceId);
  bool row = false;
  if (!db_->step(s, &row) || !row) return std::nullopt;
  return readRemoteAccount(s);
}

std::optional<std::string> SqliteStore::makeReplicaCalendar(const Calendar& calendar, std::int64_t sourceId,
                                                            bool commit) {
  if (publisher_ == nullptr) return std::nullopt;
  auto account = remoteAccount(sourceId);
  if (!account) return std::nullopt;
  const std::string color = calendar.color ? hex(calendar.color) : std::string();
  // Asked before the write lock is taken: other writers need not wait on the server.
  std::string url;
  failure_ = publisher_->makeCalendar(*account, calendar.title, color, &url);
  if (!failure_) return std::nullopt;
  std::string identifier = newUuid();
  bool stored = change(commit, [&] {
    // A sync that ran meanwhile may have brought the new collection in already.
    Statement find = db_->statement("SELECT identifier FROM calendars WHERE source_id = ?1 AND remote_url = ?2");
    if (find == nullptr) return false;
    sqlite3_bind_int64(find, 1, sourceId);
    bindText(find, 2, url);
    bool row = false;
    if (!db_->step(find, &row)) return false;
    if (row) {
      identifier = columnText(find, 0);
      return true;
    }
    Calendar fields = calendar;
    fields.allowsContentModifications = true;
    fields.isImmutable = false;
    Statement s = db_->statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id, "
        "remote_url, remote_writable, sync_token, ctag, remote_color) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 1, '', '', ?9)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindCalendarFields(s, fields);
    sqlite3_bind_int64(s, 7, sourceId);
    bindText(s, 8, url);
    bindText(s, 9, color);
    return db_->run(s);
  });
  caches_->calendarRows.reset();
  if (stored) return identifier;
  // "failed" must leave nothing behind: the collection goes again.
  (void)publisher_->removeCalendar(*account, url);
  return std::nullopt;
}

std::optional<std::string> SqliteStore::addRemoteAccount(RemoteAccount& account,
                                                         const std::vector<ReadRound>& rounds) {
  std::string identifier = newUuid();
  // A first sync is one large change: in SQLite's default 2 MiB cache it
  // would spill to the journal halfway (32 MiB holds 10,000 events). Only
  // for it: a long sync's rounds would otherwise keep a cache this size.
  const bool roomy = db_->execute("PRAGMA cache_size=-32768");
  bool added = change(true, [&] {
    Statement s = db_->statement(
        "INSERT INTO sources(identifier, title, type, url, user_name, password_command, ca_file, single_calendar, "
        "synced_at, token_command) VALUES(?1, ?2, 2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindText(s, 2, account.title);
    bindText(s, 3, account.url);
    bindOptionalText(s, 4, account.user);
    bindOptionalText(s, 5, account.passwordCommand);
    bindOptionalText(s, 6, account.caFile);
    sqlite3_bind_int(s, 7, account.singleCalendar ? 1 : 0);
    bindOptionalReal(s, 8, account.syncedAt);
    bindOptionalText(s, 9, account.tokenCommand);
    if (!db_->run(s)) return false;
    const std::int64_t sourceId = db_->lastInsertedRow();
    for (const ReadRound& round : rounds) {
      if (!applyRound(sourceId, round)) return false;
    }
    return true;
  });
  if (roomy) (void)db_->execute("PRAGMA cache_size=-2000");  // SQLite's default again, and its pages go
  caches_->calendarRows.reset();
  if (!added) return std::nullopt;
  account.sourceIdentifier = identifier;
  return identifier;
}

std::optional<std::vector<RemoteAccount>> SqliteStore::remoteAccounts() {
  if (!usable_) return std::nullopt;
  Statement s = db_->statement(
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at, "
      "token_command "
      "FROM sources "
      "WHERE url IS NOT NULL ORDER BY id");
  std::vector<RemoteAccount> accounts;
  bool row = false;
  while (db_->step(s, &row) && row) accounts.push_back(readRemoteAccount(s));
  if (db_->failed()) return std::nullopt;
  return accounts;
}

std::optional<std::vector<ReplicaCalendar>> SqliteStore::replicaCalendars(std::string_view sourceIdentifier) {
  auto sourceId = usable_ ? sqlite::findSourceRow(*db_, sourceIdentifier) : std::nullopt;
  if (!sourceId) return std::nullopt;
  Statement s = db_->statement(
      "SELECT remote_url, title, remote_color, remote_writable, sync_token, ctag FROM calendars "
      "WHERE source_id = ?1 AND remote_url IS NOT NULL ORDER BY id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, *sourceId);
  std::vector<ReplicaCalendar> calendars;
  bool row = false;
  while (db_->step(s, &row) && row) {
    calendars.push_back(ReplicaCalendar{columnText(s, 0), columnText(s, 1), columnText(s, 2),
                                        sqlite3_column_int(s, 3) != 0, columnText(s, 4), columnText(s, 5)});
  }
  if (db_->failed()) return std::nullopt;
  return calendars;
}

std::optional<std::map<std::string, std::string>> SqliteStore::replicaEtags(std::string_view sourceIdentifier,
                                                                           std::string_view remoteUrl) {
  auto sourceId = usable_ ? sqlite::findSourceRow(*db_, sourceIdentifier) : std::nullopt;
  if (!sourceId) return std::nullopt;
  Statement s = db_->statement(
      "SELECT o.url, o.etag FROM objects o JOIN calendars c ON c.id = o.calendar_id "
      "WHERE c.source_id = ?1 AND c.remote_url = ?2");
  if (s != nullptr) {
    sqlite3_bind_int64(s, 1, *sourceId);
    bindText(s, 2, remoteUrl);
  }
  std::map<std::string, std::string> etags;
  bool row = false;
  while (db_->step(s, &row) && row) etags.emplace(columnText(s, 0), columnText(s, 1));
  if (db_->failed()) return std::nullopt;
  return etags;
}

bool SqliteStore::applyReplicaRound(std::string_view sourceIdentifier, const ReadRound& read) {
  // Everything a round stores is worked out by the caller; under the lock it is only written.
  return change(true, [&] {
    auto sourceId = sqlite::findSourceRow(*db_, sourceIdentifier);
    return sourceId && applyRound(*sourceId, read);
  });
}

bool SqliteStore::markSynced(std::string_view sourceIdentifier, double when, bool completed) {
  return change(true, [&] {
    auto sourceId = sqlite::findSourceRow(*db_, sourceIdentifier);
    if (!sourceId) return false;
    Statement s = completed ? db_->statement("UPDATE sources SET synced_at = ?2 WHERE id = ?1")
                               : db_->statement("UPDATE sources SET sync_tried_at = ?2 WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *sourceId);
    sqlite3_bind_double(s, 2, when);
    return db_->run(s);
  });
}

}  // namespace calbridge
