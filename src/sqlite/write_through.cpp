// A transaction's changes to replica objects reach their servers before the
// store keeps them, and the store's write lock is not held meanwhile: the rows
// each change leaves are taken as values, the transaction is taken back, the
// changes go to the servers, and under the lock again each is kept as the
// server answered (replica/publishing.h decides how).
#include "sqlite/store_internal.h"
#include "sqlite/store_files.h"
#include "replica/publishing.h"

#include <algorithm>
#include <map>
#include <utility>

namespace calbridge {

namespace {

using Cell = std::variant<std::monostate, std::int64_t, double, std::string>;  // SqliteStore::ObjectRows::Cell

Cell cellOf(sqlite3_stmt* s, int column) {
  switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER: return sqlite3_column_int64(s, column);
    case SQLITE_FLOAT: return sqlite3_column_double(s, column);
    case SQLITE_NULL: return std::monostate{};
    default: return columnText(s, column);
  }
}

void bindCell(sqlite3_stmt* s, int index, const Cell& cell) {
  if (auto* i = std::get_if<std::int64_t>(&cell)) sqlite3_bind_int64(s, index, *i);
  else if (auto* d = std::get_if<double>(&cell)) sqlite3_bind_double(s, index, *d);
  else if (auto* t = std::get_if<std::string>(&cell)) bindText(s, index, *t);
  else sqlite3_bind_null(s, index);
}

double number(const Cell& cell) {
  if (auto* d = std::get_if<double>(&cell)) return *d;
  if (auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  return 0;
}

// The columns of an event's row in ObjectRows, after its id and series_id;
// restored in this order as parameters 1 to 16.
#define CALBRIDGE_EVENT_COLUMNS                                                                                \
  "item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, time_zone, rule, until, " \
  "count, last_end, nominal_days, recurrence_id"
constexpr int kEventColumns = 16;
constexpr int kStart = 2 + 5, kEnd = 2 + 6, kRule = 2 + 10;  // within a captured row

// What the lock file of an account's changes is called; none for an account
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

std::optional<SqliteStore::ObjectRows> SqliteStore::objectRows(std::int64_t objectId) {
  ObjectRows rows;
  auto read = [&](const char* sql, int columns, std::vector<std::vector<Cell>>& into) {
    StatementUse s = statement(sql);
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, objectId);
    bool row = false;
    while (step(s, &row) && row) {
      std::vector<Cell>& cells = into.emplace_back();
      for (int c = 0; c < columns; ++c) cells.push_back(cellOf(s, c));
    }
    return !readFailed_;
  };
  if (!read("SELECT id, series_id, " CALBRIDGE_EVENT_COLUMNS " FROM events WHERE object_id = ?1 ORDER BY id",
            2 + kEventColumns, rows.events) ||
      !read("SELECT x.event_id, x.wall FROM excluded x JOIN events e ON e.id = x.event_id WHERE e.object_id = ?1", 2,
            rows.excluded) ||
      !read("SELECT d.event_id, d.wall, d.duration FROM extra_dates d JOIN events e ON e.id = d.event_id "
            "WHERE e.object_id = ?1",
            3, rows.extraDates)) {
    return std::nullopt;
  }
  return rows;
}

bool SqliteStore::restoreObjectRows(std::int64_t objectId, const ObjectRows& rows) {
  StatementUse d = statement("DELETE FROM events WHERE object_id = ?1");
  if (d == nullptr) return false;
  sqlite3_bind_int64(d, 1, objectId);
  if (!run(d)) return false;
  // Rows get new ids, in the order of the old ones: a series comes before what names it.
  std::map<std::int64_t, std::int64_t> ids;
  auto idOf = [&](const Cell& cell) -> std::optional<std::int64_t> {
    auto* old = std::get_if<std::int64_t>(&cell);
    auto found = old != nullptr ? ids.find(*old) : ids.end();
    if (found == ids.end()) return std::nullopt;
    return found->second;
  };
  for (const std::vector<Cell>& row : rows.events) {
    StatementUse s = statement("INSERT INTO events(" CALBRIDGE_EVENT_COLUMNS
                               ", object_id, series_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
                               "?13, ?14, ?15, ?16, ?17, ?18)");
    if (s == nullptr) return false;
    for (int c = 0; c < kEventColumns; ++c) bindCell(s, c + 1, row[2 + c]);
    sqlite3_bind_int64(s, kEventColumns + 1, objectId);
    const bool inSeries = !std::holds_alternative<std::monostate>(row[1]);
    if (inSeries) {
      auto series = idOf(row[1]);
      if (!series) return false;
      sqlite3_bind_int64(s, kEventColumns + 2, *series);
    }
    if (!run(s)) return false;
    ids.emplace(std::get<std::int64_t>(row[0]), sqlite3_last_insert_rowid(db_));
    // A single event bounds how far back a listing looks, as when it was first stored.
    if (!inSeries && std::holds_alternative<std::monostate>(row[kRule])) {
      StatementUse longest = statement("UPDATE settings SET value = ?1 WHERE name = 'longest_event' AND value < ?1");
      if (longest == nullptr) return false;
      sqlite3_bind_double(longest, 1, number(row[kEnd]) - number(row[kStart]));
      if (!run(longest)) return false;
    }
  }
  for (const std::vector<Cell>& row : rows.excluded) {
    StatementUse s = statement("INSERT INTO excluded(event_id, wall) VALUES(?1, ?2)");
    auto event = idOf(row[0]);
    if (s == nullptr || !event) return false;
    sqlite3_bind_int64(s, 1, *event);
    bindCell(s, 2, row[1]);
    if (!run(s)) return false;
  }
  for (const std::vector<Cell>& row : rows.extraDates) {
    StatementUse s = statement("INSERT INTO extra_dates(event_id, wall, duration) VALUES(?1, ?2, ?3)");
    auto event = idOf(row[0]);
    if (s == nullptr || !event) return false;
    sqlite3_bind_int64(s, 1, *event);
    bindCell(s, 2, row[1]);
    bindCell(s, 3, row[2]);
    if (!run(s)) return false;
  }
  return true;
}

bool SqliteStore::publishStaged() {
  failure_ = Status::ok();
  if (publisher_ == nullptr) return false;
  if (plainWrites_) {
    // Taken back for the servers' sake, other changes would be lost.
    failure_ = Status::invalid("a change of a CalDAV calendar cannot share its transaction with other changes");
    return false;
  }
  auto accounts = remoteAccounts();
  if (!accounts) return false;
  const std::vector<StagedChange>& changes = staged_.changes();
  std::vector<std::optional<ObjectRows>> stagedRows;
  for (const StagedChange& staged : changes) {
    if (staged.change.kind == ObjectChange::Kind::remove) {
      stagedRows.emplace_back();
      continue;
    }
    stagedRows.push_back(objectRows(staged.object));
    if (!stagedRows.back()) return false;
  }
  if (!run(statement("ROLLBACK"))) return false;
  forgetCaches();

  using Clock = std::chrono::steady_clock;
  if (!waitDeadline_) waitDeadline_ = Clock::now() + waitBudget_;
  // One change at a time to an account's server from this store: hosts that
  // change one object at once then meet at most one conflict each, which the
  // publisher makes good, instead of overtaking each other at the server.
  std::vector<FileLock> locks;
  if (path_ != kInMemoryStore) {
    std::vector<std::string> accountsChanged;
    for (const StagedChange& staged : changes) accountsChanged.push_back(staged.account);
    std::sort(accountsChanged.begin(), accountsChanged.end());
    accountsChanged.erase(std::unique(accountsChanged.begin(), accountsChanged.end()), accountsChanged.end());
    const std::string folder = path_.substr(0, path_.find_last_of('/') + 1);
    for (const std::string& account : accountsChanged) {
      auto name = lockName(account);
      if (!name) {
        failure_ = Status::invalid("the account identifier " + account + " is not one this store made");
        return false;
      }
      locks.emplace_back(folder + *name, *waitDeadline_);
      if (!locks.back().held()) {
        failure_ = Status::unreachable("another change to the account's server did not end in time");
        return false;
      }
    }
  }
  std::vector<PublishedObject> answers;
  failure_ = publishAll(*publisher_, staged_, *accounts, &answers);
  if (!failure_) return false;

  // Under the lock again: each change kept as its server answered.
  if (!run(statement("BEGIN IMMEDIATE"))) {
    failure_ = Status::ioError("the server took the change, but the store could not be written; the next sync "
                               "brings it in");
    return false;
  }
  inTransaction_ = true;
  auto kept = [&]() -> bool {
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const StagedChange& staged = changes[i];
      const ObjectChange& change = staged.change;
      const PublishedObject& answer = answers[i];
      auto now = objectEtag(staged.calendar, change.url);
      if (readFailed_) return false;
      switch (settle(change, answer, now)) {
        case Settlement::leave:
          break;
        case Settlement::remove: {
          StatementUse d = statement("DELETE FROM objects WHERE calendar_id = ?1 AND url = ?2");
          if (d == nullptr) return false;
          sqlite3_bind_int64(d, 1, staged.calendar);
          bindText(d, 2, change.url);
          if (!run(d)) return false;
          break;
        }
        case Settlement::keepAnswer:
          if (!answer.rebased || !replaceObject(staged.calendar, change.url, answer.etag, answer.text,
                                                answer.rebased->events)) {
            return false;
          }
          break;
        case Settlement::keepStaged: {
          if (change.kind == ObjectChange::Kind::create) {
            // A sync may have taken the calendar out meanwhile: the object is on the server, and nowhere here.
            StatementUse c = statement("SELECT 1 FROM calendars WHERE id = ?1");
            if (c == nullptr) return false;
            sqlite3_bind_int64(c, 1, staged.calendar);
            bool row = false;
            if (!step(c, &row)) return false;
            if (!row) break;
          }
          StatementUse s = change.kind == ObjectChange::Kind::create
                               ? statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, ?3, ?4)")
                               : statement("UPDATE objects SET etag = ?3, data = ?4 WHERE calendar_id = ?1 AND url = ?2");
          if (s == nullptr) return false;
          sqlite3_bind_int64(s, 1, staged.calendar);
          bindText(s, 2, change.url);
          bindText(s, 3, answer.etag);
          bindText(s, 4, answer.text);
          if (!run(s)) return false;
          std::int64_t objectId = 0;
          {
            StatementUse o = statement("SELECT id FROM objects WHERE calendar_id = ?1 AND url = ?2");
            if (o == nullptr) return false;
            sqlite3_bind_int64(o, 1, staged.calendar);
            bindText(o, 2, change.url);
            bool row = false;
            if (!step(o, &row) || !row) return false;
            objectId = sqlite3_column_int64(o, 0);
          }
          if (!restoreObjectRows(objectId, *stagedRows[i])) return false;
          break;
        }
      }
    }
    return !readFailed_;
  }();
  noticeLostTransaction();
  inTransaction_ = false;
  forgetCaches();
  if (std::exchange(lost_, false) || !kept) {
    if (failure_) failure_ = Status::ioError("the server took the change, but the store could not keep it; the next "
                                             "sync brings it in");
    return false;
  }
  return true;
}

}  // namespace calbridge
