#include "sqlite/store_internal.h"

namespace calbridge {

bool SqliteStore::removeObjectOf(std::int64_t eventId) {
  auto objectId = objectOf(eventId);
  if (db_->failed()) return false;
  if (!objectId) return true;
  if (isReplicaObject(*objectId) &&
      !stageReplicaChange(*objectId, ObjectChange::Kind::remove, std::nullopt, std::nullopt))
    return false;
  Statement o = db_->statement("DELETE FROM objects WHERE id = ?1");
  if (o == nullptr) return false;
  sqlite3_bind_int64(o, 1, *objectId);
  return db_->run(o);
}

bool SqliteStore::isReplicaObject(std::int64_t objectId) {
  Statement s = db_->statement(
      "SELECT c.remote_url IS NOT NULL FROM objects o JOIN calendars c ON c.id = o.calendar_id WHERE o.id = ?1");
  if (s == nullptr) return true;
  sqlite3_bind_int64(s, 1, objectId);
  bool row = false;
  // Unreadable counts as a replica's: refusing is the safe answer.
  if (!db_->step(s, &row)) return true;
  return row && sqlite3_column_int(s, 0) != 0;
}

bool SqliteStore::stageReplicaChange(std::int64_t objectId, ObjectChange::Kind kind, std::optional<std::string> text,
                                     const std::optional<ObjectEdit>& edit) {
  if (publisher_ == nullptr) return false;
  StagedChange next;
  if (const StagedChange* held = staged_.find(objectId)) {
    next = *held;  // the object as the transaction found it
  } else {
    Statement s = db_->statement(
        "SELECT o.url, o.etag, o.calendar_id, c.remote_url, src.identifier FROM objects o "
        "JOIN calendars c ON c.id = o.calendar_id JOIN sources src ON src.id = c.source_id WHERE o.id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, objectId);
    bool row = false;
    if (!db_->step(s, &row) || !row) return false;
    next.object = objectId;
    next.calendar = sqlite3_column_int64(s, 2);
    next.account = columnText(s, 4);
    next.change.url = columnText(s, 0);
    next.change.etag = columnText(s, 1);
    next.change.calendarUrl = columnText(s, 3);
  }
  next.change.kind = kind;
  next.change.text = text.value_or(std::string());
  next.change.edits.clear();
  if (edit) next.change.edits.push_back(*edit);
  staged_.stage(std::move(next));
  ++stagings_;
  return true;
}

std::optional<std::int64_t> SqliteStore::objectOf(std::int64_t eventId) {
  Statement s = db_->statement("SELECT object_id FROM events WHERE id = ?1 AND object_id IS NOT NULL");
  if (s == nullptr) return std::nullopt;
  sqlite3_bind_int64(s, 1, eventId);
  bool row = false;
  if (!db_->step(s, &row) || !row) return std::nullopt;
  return sqlite3_column_int64(s, 0);
}

bool SqliteStore::editObject(std::int64_t eventId, const ObjectEdit& given) {
  auto objectId = objectOf(eventId);
  if (db_->failed()) return false;
  if (!objectId) return true;
  ObjectEdit edit = given;
  {
    // The zone the edit's wall time is in: the series' as its DTSTART was read.
    Statement z = db_->statement("SELECT time_zone FROM events WHERE object_id = ?1 AND series_id IS NULL ORDER BY id");
    if (z == nullptr) return false;
    sqlite3_bind_int64(z, 1, *objectId);
    bool row = false;
    if (!db_->step(z, &row)) return false;
    if (row) edit.timeZone = columnText(z, 0);
  }
  std::optional<std::string> edited;
  {
    Statement s = db_->statement("SELECT data FROM objects WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *objectId);
    bool row = false;
    if (!db_->step(s, &row)) return false;
    // A second edit of one object in a transaction applies to the text the first made.
    if (row) edited = staged_.editedText(*objectId, columnText(s, 0), edit, zones());
  }
  // The text is what export and the server give back: a change that cannot
  // be written into it is refused, never half made.
  if (!edited) return false;
  if (isReplicaObject(*objectId)) return stageReplicaChange(*objectId, ObjectChange::Kind::modify, *edited, edit);
  Statement u = db_->statement("UPDATE objects SET data = ?2 WHERE id = ?1");
  if (u == nullptr) return false;
  sqlite3_bind_int64(u, 1, *objectId);
  bindText(u, 2, *edited);
  return db_->run(u);
}

}  // namespace calbridge
