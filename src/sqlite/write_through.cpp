// A transaction's changes to replica objects reach their servers before the
// store keeps them, and the store's write lock is not held meanwhile: the rows
// each change leaves are taken as values, the transaction is taken back, the
// changes go to the servers, and under the lock again each is kept as its
// server answered (replica/publishing.h decides how).
#include "sqlite/store_internal.h"
#include "sqlite/object_rows.h"
#include "sqlite/store_files.h"
#include "replica/publishing.h"

#include <algorithm>

namespace calbridge {

namespace {

// The lock file of changes to an account's server; none for an account
// identifier that is not one this store makes (a uuid).
std::optional<std::string> lockName(const std::string& account) {
  if (account.empty() || !std::all_of(account.begin(), account.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '-';
      })) {
    return std::nullopt;
  }
  return "publish-" + account + ".lock";
}

}  // namespace

Status SqliteStore::publishStaged() {
  if (publisher_ == nullptr) return Status::invalid("no way to the servers of CalDAV accounts");
  if (plainWrites_) {
    // Taken back for the servers' sake, they would be lost.
    return Status::invalid("a change of a CalDAV calendar cannot share its transaction with other changes");
  }
  auto accounts = remoteAccounts();
  if (!accounts) return Status::ioError("the accounts cannot be read");
  const std::vector<StagedChange>& changes = staged_.changes();
  std::vector<std::optional<sqlite::ObjectRows>> stagedRows;
  for (const StagedChange& staged : changes) {
    if (staged.change.kind == ObjectChange::Kind::remove) {
      stagedRows.emplace_back();
      continue;
    }
    stagedRows.push_back(sqlite::readObjectRows(*db_, staged.object));
    if (!stagedRows.back()) return Status::ioError("the changed rows cannot be read");
  }
  db_->rollback();
  forgetCaches();

  // One change at a time to an account's server from this store: hosts that
  // change one object at once then meet at most one conflict each, which the
  // publisher makes good, rather than overtaking each other at the server.
  std::vector<FileLock> locks;
  if (path_ != kInMemoryStore) {
    std::vector<std::string> changed;
    for (const StagedChange& staged : changes) changed.push_back(staged.account);
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    const std::string folder = path_.substr(0, path_.find_last_of('/') + 1);
    for (const std::string& account : changed) {
      auto name = lockName(account);
      if (!name) return Status::invalid("the account identifier " + account + " is not one this store made");
      locks.emplace_back(folder + *name, db_->waitDeadline());
      if (!locks.back().held()) {
        return Status::unreachable("another change to the account's server did not end in time");
      }
    }
  }
  std::vector<PublishedObject> answers;
  if (Status published = publishAll(*publisher_, staged_, *accounts, &answers); !published) return published;

  // Under the lock again: each change kept as its server answered.
  const Status unkept = Status::ioError("the server took the change, but the store could not keep it; the next "
                                        "sync brings it in");
  if (!db_->begin()) return unkept;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const StagedChange& staged = changes[i];
    const ObjectChange& change = staged.change;
    const PublishedObject& answer = answers[i];
    auto now = objectEtag(staged.calendar, change.url);
    if (db_->failed()) return unkept;
    switch (settle(change, answer, now)) {
      case Settlement::leave:
        break;
      case Settlement::remove: {
        Statement d = db_->statement("DELETE FROM objects WHERE calendar_id = ?1 AND url = ?2");
        if (d == nullptr) return unkept;
        sqlite3_bind_int64(d, 1, staged.calendar);
        bindText(d, 2, change.url);
        if (!db_->run(d)) return unkept;
        break;
      }
      case Settlement::keepAnswer:
        if (!answer.rebased ||
            !replaceObject(staged.calendar, change.url, answer.etag, answer.text, answer.rebased->events)) {
          return unkept;
        }
        break;
      case Settlement::keepStaged: {
        const bool create = change.kind == ObjectChange::Kind::create;
        if (create) {
          // A sync may have taken the calendar out meanwhile: the object is on the server, and nowhere here.
          Statement c = db_->statement("SELECT 1 FROM calendars WHERE id = ?1");
          if (c == nullptr) return unkept;
          sqlite3_bind_int64(c, 1, staged.calendar);
          bool row = false;
          if (!db_->step(c, &row)) return unkept;
          if (!row) break;
        }
        Statement s =
            create ? db_->statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, ?3, ?4)")
                   : db_->statement("UPDATE objects SET etag = ?3, data = ?4 WHERE calendar_id = ?1 AND url = ?2");
        if (s == nullptr) return unkept;
        sqlite3_bind_int64(s, 1, staged.calendar);
        bindText(s, 2, change.url);
        bindText(s, 3, answer.etag);
        bindText(s, 4, answer.text);
        if (!db_->run(s)) return unkept;
        std::int64_t objectId = 0;
        {
          Statement o = db_->statement("SELECT id FROM objects WHERE calendar_id = ?1 AND url = ?2");
          if (o == nullptr) return unkept;
          sqlite3_bind_int64(o, 1, staged.calendar);
          bindText(o, 2, change.url);
          bool row = false;
          if (!db_->step(o, &row) || !row) return unkept;
          objectId = sqlite3_column_int64(o, 0);
        }
        if (!sqlite::writeObjectRows(*db_, objectId, *stagedRows[i])) return unkept;
        break;
      }
    }
  }
  forgetCaches();
  return db_->failed() ? unkept : Status::ok();
}

}  // namespace calbridge
