#include "sqlite/store_internal.h"
#include "calendar/series_split.h"

#include <algorithm>
#include <map>
#include <utility>

namespace calbridge {

bool SqliteStore::removeObjectOf(std::int64_t eventId) {
  auto objectId = objectOf(eventId);
  if (readFailed_) return false;
  if (!objectId) return true;
  if (isReplicaObject(*objectId) &&
      !stageReplicaChange(*objectId, ObjectChange::Kind::remove, std::nullopt, std::nullopt))
    return false;
  StatementUse o = statement("DELETE FROM objects WHERE id = ?1");
  if (o == nullptr) return false;
  sqlite3_bind_int64(o, 1, *objectId);
  return run(o);
}

bool SqliteStore::isReplicaObject(std::int64_t objectId) {
  StatementUse s = statement(
      "SELECT c.remote_url IS NOT NULL FROM objects o JOIN calendars c ON c.id = o.calendar_id WHERE o.id = ?1");
  if (s == nullptr) return true;
  sqlite3_bind_int64(s, 1, objectId);
  bool row = false;
  // Unreadable counts as a replica's: refusing is the safe answer.
  if (!step(s, &row)) return true;
  return row && sqlite3_column_int(s, 0) != 0;
}

bool SqliteStore::stageReplicaChange(std::int64_t objectId, ObjectChange::Kind kind, std::optional<std::string> text,
                                     const std::optional<ObjectEdit>& edit) {
  if (publisher_ == nullptr) return false;
  for (auto it = staged_.begin(); it != staged_.end(); ++it) {
    if (it->objectId != objectId) continue;
    if (kind == ObjectChange::Kind::remove) {
      // An object this transaction made never reached the server: nothing to send.
      if (it->change.kind == ObjectChange::Kind::create) {
        staged_.erase(it);
        return true;
      }
      it->change.kind = kind;
      it->change.text.clear();
      it->change.edits.clear();
    } else if (it->change.kind != ObjectChange::Kind::remove && text) {
      // A new object goes with every later change in it (a new series' skips
      // as EXDATEs), one request for all.
      it->change.text = std::move(*text);
      if (edit && it->change.kind == ObjectChange::Kind::modify) it->change.edits.push_back(*edit);
    }
    return true;
  }
  StatementUse s = statement(
      "SELECT o.url, o.etag, o.calendar_id, c.remote_url, src.identifier FROM objects o "
      "JOIN calendars c ON c.id = o.calendar_id JOIN sources src ON src.id = c.source_id WHERE o.id = ?1");
  if (s == nullptr) return false;
  sqlite3_bind_int64(s, 1, objectId);
  bool row = false;
  if (!step(s, &row) || !row) return false;
  PendingChange pending;
  pending.objectId = objectId;
  pending.calendarId = sqlite3_column_int64(s, 2);
  pending.sourceIdentifier = columnText(s, 4);
  pending.change.kind = kind;
  pending.change.url = columnText(s, 0);
  pending.change.etag = columnText(s, 1);
  pending.change.calendarUrl = columnText(s, 3);
  if (text) pending.change.text = std::move(*text);
  if (edit) pending.change.edits.push_back(*edit);
  staged_.push_back(std::move(pending));
  return true;
}

bool SqliteStore::publishStaged() {
  if (publisher_ == nullptr) return false;
  auto accounts = remoteAccounts();
  if (!accounts) return false;
  std::vector<PublishedObject> answers;
  for (const PendingChange& pending : staged_) {
    auto account = std::find_if(accounts->begin(), accounts->end(),
                                [&](const RemoteAccount& a) { return a.sourceIdentifier == pending.sourceIdentifier; });
    if (account == accounts->end()) return false;
    auto answer = publisher_->publish(*account, pending.change);
    // One refusal takes back the whole transaction; what the server accepted
    // before it is the next sync's to bring in.
    if (!answer) return false;
    answers.push_back(std::move(*answer));
  }
  forgetCaches();
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    const PendingChange& pending = staged_[i];
    PublishedObject& answer = answers[i];
    if (pending.change.kind == ObjectChange::Kind::remove) {
      StatementUse d = statement("DELETE FROM objects WHERE id = ?1");
      if (d == nullptr) return false;
      sqlite3_bind_int64(d, 1, pending.objectId);
      if (!run(d)) return false;
      continue;
    }
    // The events keep their identifiers: another host that found one of them
    // before this commit still removes it once its turn comes.
    std::map<std::pair<std::string, std::int64_t>, std::string> itemIds;
    {
      StatementUse k = statement(
          "SELECT external_id, coalesce(recurrence_id, -9223372036854775807), item_id FROM events WHERE object_id = ?1");
      if (k == nullptr) return false;
      sqlite3_bind_int64(k, 1, pending.objectId);
      bool row = false;
      while (step(k, &row) && row) itemIds.emplace(std::pair{columnText(k, 0), sqlite3_column_int64(k, 1)}, columnText(k, 2));
      if (readFailed_) return false;
    }
    // As a sync keeps an object: its events are what its text now says.
    StatementUse u = statement("UPDATE objects SET etag = ?2, data = ?3 WHERE id = ?1");
    StatementUse d = statement("DELETE FROM events WHERE object_id = ?1");
    if (u == nullptr || d == nullptr) return false;
    sqlite3_bind_int64(u, 1, pending.objectId);
    bindText(u, 2, answer.etag);
    bindText(u, 3, answer.text);
    sqlite3_bind_int64(d, 1, pending.objectId);
    if (!run(u) || !run(d)) return false;
    // Its changed occurrences tied to their series, as a sync reads them.
    std::vector<StoredEvent>& events = answer.events;
    const std::vector<std::optional<std::size_t>> parents = linkChanges(events, zonesFor(events));
    std::vector<std::optional<double>> lastEnds;
    for (const StoredEvent& event : events) lastEnds.push_back(lastEndFor(event));
    if (!insertLinked(pending.calendarId, events, parents, lastEnds,
                      std::vector<std::optional<std::int64_t>>(events.size(), pending.objectId))) {
      return false;
    }
    std::vector<std::pair<std::int64_t, std::string>> renames;
    {
      StatementUse k = statement(
          "SELECT id, external_id, coalesce(recurrence_id, -9223372036854775807) FROM events WHERE object_id = ?1");
      if (k == nullptr) return false;
      sqlite3_bind_int64(k, 1, pending.objectId);
      bool row = false;
      while (step(k, &row) && row) {
        auto old = itemIds.find({columnText(k, 1), sqlite3_column_int64(k, 2)});
        if (old != itemIds.end()) renames.emplace_back(sqlite3_column_int64(k, 0), old->second);
      }
      if (readFailed_) return false;
    }
    for (const auto& [id, itemId] : renames) {
      StatementUse r = statement("UPDATE events SET item_id = ?2 WHERE id = ?1");
      if (r == nullptr) return false;
      sqlite3_bind_int64(r, 1, id);
      bindText(r, 2, itemId);
      if (!run(r)) return false;
    }
  }
  forgetCaches();
  return true;
}

std::optional<std::int64_t> SqliteStore::objectOf(std::int64_t eventId) {
  StatementUse s = statement("SELECT object_id FROM events WHERE id = ?1 AND object_id IS NOT NULL");
  if (s == nullptr) return std::nullopt;
  sqlite3_bind_int64(s, 1, eventId);
  bool row = false;
  if (!step(s, &row) || !row) return std::nullopt;
  return sqlite3_column_int64(s, 0);
}

bool SqliteStore::editObject(std::int64_t eventId, const ObjectEdit& edit) {
  auto objectId = objectOf(eventId);
  if (readFailed_) return false;
  if (!objectId) return true;
  std::optional<std::string> edited;
  {
    StatementUse s = statement("SELECT data FROM objects WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *objectId);
    bool row = false;
    if (!step(s, &row)) return false;
    if (row) {
      // A second edit of one object in a transaction applies to the text the first made.
      std::string text = columnText(s, 0);
      for (const PendingChange& p : staged_)
        if (p.objectId == *objectId && p.change.kind != ObjectChange::Kind::remove) text = p.change.text;
      edited = applyEdits(text, std::span(&edit, 1), zones());
    }
  }
  if (isReplicaObject(*objectId)) {
    // A replica's text is the server's: an edit that does not apply is refused, never guessed.
    if (!edited) return false;
    return stageReplicaChange(*objectId, ObjectChange::Kind::modify, *edited, edit);
  }
  if (edited) {
    StatementUse u = statement("UPDATE objects SET data = ?2 WHERE id = ?1");
    if (u == nullptr) return false;
    sqlite3_bind_int64(u, 1, *objectId);
    bindText(u, 2, *edited);
    return run(u);
  }
  StatementUse keep = statement("UPDATE events SET object_id = NULL WHERE object_id = ?1");
  StatementUse d = statement("DELETE FROM objects WHERE id = ?1");
  if (keep == nullptr || d == nullptr) return false;
  sqlite3_bind_int64(keep, 1, *objectId);
  sqlite3_bind_int64(d, 1, *objectId);
  return run(keep) && run(d);
}

}  // namespace calbridge
