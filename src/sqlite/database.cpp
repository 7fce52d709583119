#include "sqlite/store_internal.h"
#include "sqlite/store_files.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <utility>

namespace calbridge {

namespace {

// Bytes of journal kept after a checkpoint (4 MiB); a literal, as it goes into a PRAGMA.
#define CALBRIDGE_JOURNAL_SIZE_LIMIT "4194304"
// Journal pages after which a commit checkpoints: SQLite's own default.
constexpr int kCheckpointPages = 1000;

}  // namespace

std::string defaultStorePath() {
  std::string base;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    base = data;
  } else {
    // Only what the environment says: a process whose environment names no home
    // was started without one on purpose, and the store of the account it runs
    // under (from the user database) may not be the one meant.
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.local/share";
  }
  return base + "/calbridge/calendar.db";
}

SqliteStore::SqliteStore(std::string path) : path_(std::move(path)) {}

SqliteStore::~SqliteStore() {
  if (inTransaction_) execute("ROLLBACK");
  for (auto& [sql, s] : statements_) sqlite3_finalize(s);
  if (db_ != nullptr) sqlite3_close(db_);
}

bool SqliteStore::open() {
  if (opened_) return usable_;
  opened_ = true;
  if (path_.empty()) return false;
  const bool inMemory = path_ == kInMemoryStore;
  // Open until the files are checked a second time: the folder they are checked in.
  std::optional<StoreFolder> folder;
  std::string name = path_;
  std::pair<dev_t, ino_t> identity{};
  if (!inMemory) {
    auto slash = path_.find_last_of('/');
    folder.emplace(slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path_.substr(0, slash));
    name = path_.substr(slash + 1);
    // The file is made here rather than by SQLite so that it is private from its
    // first byte; the journal files SQLite adds take the same mode.
    problem_ = folder->open();
    if (problem_.empty()) problem_ = folder->createPrivateFile(name);
    if (problem_.empty()) problem_ = checkDatabaseFiles(*folder, name, &identity);
    if (!problem_.empty()) return false;
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (inMemory ? SQLITE_OPEN_MEMORY : 0);
  if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) return false;
  sqlite3_extended_result_codes(db_, 1);
  waitForOthers();
  // Each request is its own short process. Left to itself, the last one out
  // would checkpoint and delete the journal, and the next would create it anew:
  // a read would write, and a write would pay twice. The journal stays, and
  // a commit checkpoints when it has grown to 1000 pages (checkpointAfterCommit).
  int keepJournal = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keepJournal);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  // A kept journal is still cut back after a checkpoint, so one large change
  // does not leave a large file behind for good.
  sqlite3_wal_hook(db_, checkpointAfterCommit, this);
  if (!execute("PRAGMA synchronous=FULL") ||
      !execute("PRAGMA journal_size_limit=" CALBRIDGE_JOURNAL_SIZE_LIMIT)) {
    return false;
  }
  if (!inMemory) {
    // The first read opens the journal files. Nobody else can add or swap a file
    // in a folder that passed the check, so this second look only confirms that
    // what SQLite opened is what was checked, before anything read is used or
    // anything is written.
    std::pair<dev_t, ino_t> opened{};
    if (!execute("PRAGMA user_version")) return false;
    problem_ = checkDatabaseFiles(*folder, name, &opened);
    if (problem_.empty() && opened != identity) problem_ = path_ + std::string(" was replaced while it was opened; try again");
    if (!problem_.empty()) return false;
  }
  // Foreign keys come on only after migrating: a migration that rebuilds a
  // table must not cascade into the rows that refer to it.
  usable_ = execute("PRAGMA foreign_keys=OFF") && migrate(inMemory) && execute("PRAGMA foreign_keys=ON");
  return usable_;
}

// Runs after each commit in place of SQLite's own checkpoint, at the same size.
// Each request is a process of its own, and the first connection of a process
// rebuilds the journal's index, which then no longer knows what was copied
// back: a writer never starts the journal over, and it grows for good. So the
// checkpoint also starts it over (TRUNCATE), when nobody is reading it; with no
// waiting, so a commit never lingers for others, who then leave it for later.
int SqliteStore::checkpointAfterCommit(void* store, sqlite3* db, const char* name, int pages) {
  if (pages < kCheckpointPages) return SQLITE_OK;
  sqlite3_busy_handler(db, nullptr, nullptr);
  sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  static_cast<SqliteStore*>(store)->waitForOthers();
  return SQLITE_OK;
}

void SqliteStore::waitForOthers() { sqlite3_busy_handler(db_, &SqliteStore::waitForLock, this); }

bool SqliteStore::shrinkJournal() {
  // Waits (busy timeout) for readers to move on; when they do not, the journal
  // is cut back by a later checkpoint instead.
  return usable_ && !inTransaction_ && !path_.empty() && path_ != kInMemoryStore &&
         execute("PRAGMA wal_checkpoint(TRUNCATE)");
}

SqliteStore::StatementUse::~StatementUse() {
  if (statement_ != nullptr) sqlite3_reset(statement_);
}

SqliteStore::StatementUse SqliteStore::statement(std::string_view sql) {
  if (db_ == nullptr) return StatementUse(nullptr);
  auto found = statements_.find(sql);
  if (found != statements_.end()) {
    sqlite3_clear_bindings(found->second);
    return StatementUse(found->second);
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(s);
    return StatementUse(nullptr);
  }
  statements_.emplace(std::string(sql), s);
  return StatementUse(s);
}

bool SqliteStore::execute(const char* sql) {
  if (db_ == nullptr) return false;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  noteError(rc);
  return false;
}

bool SqliteStore::run(sqlite3_stmt* s) {
  if (s == nullptr) return false;
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return true;
  noteError(rc);
  return false;
}

void SqliteStore::noteError(int rc) {
  // A disk that fails or a file that is damaged, as against a change refused
  // (a constraint) or a lock not had in time: what was read or written may be
  // incomplete, so the request fails whole.
  switch (rc & 0xFF) {
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_NOMEM:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      readFailed_ = true;
      break;
    default:
      break;
  }
  noticeLostTransaction();
}

bool SqliteStore::step(sqlite3_stmt* s, bool* row) {
  *row = false;
  if (s == nullptr) {
    readFailed_ = true;
    return false;
  }
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    *row = true;
    return true;
  }
  if (rc == SQLITE_DONE) return true;
  readFailed_ = true;
  noteError(rc);
  return false;
}

int SqliteStore::waitForLock(void* context, int) {
  auto& store = *static_cast<SqliteStore*>(context);
  // One budget for the whole request, however many statements meet the lock:
  // a request of a thousand steps behind a stuck writer waits once, not a
  // thousand times.
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  if (!store.waitDeadline_) store.waitDeadline_ = now + store.waitBudget_;
  if (now >= *store.waitDeadline_) return 0;
  auto pause = std::min<Clock::duration>(std::chrono::milliseconds(10), *store.waitDeadline_ - now);
  std::this_thread::sleep_for(pause);
  return 1;
}

void SqliteStore::setWaitBudget(std::chrono::milliseconds budget) {
  waitBudget_ = budget;
  waitDeadline_.reset();
}

void SqliteStore::noticeLostTransaction() {
  // SQLite rolls a transaction back by itself on some errors (I/O, a full
  // disk). Statements run after that would each commit on their own; from here
  // on every change is refused until the caller learns it through commit().
  if (inTransaction_ && db_ != nullptr && sqlite3_get_autocommit(db_) != 0) lost_ = true;
}

bool SqliteStore::finishTransaction() {
  if (!inTransaction_) return true;
  inTransaction_ = false;
  const bool lost = std::exchange(lost_, false);
  // A statement that met a failing disk inside the transaction may have left
  // a change half done, and the reply will say "failed": nothing of it may stay.
  int error = SQLITE_OK;
  // The server first: what it refused is not kept here either.
  const bool published = staged_.empty() || (!lost && !readFailed_ && publishStaged());
  staged_.clear();
  if (!lost && !readFailed_ && published) {
    if (run(statement("COMMIT"))) return true;
    error = sqlite3_extended_errcode(db_);
  }
  if (sqlite3_get_autocommit(db_) == 0) run(statement("ROLLBACK"));
  forgetCaches();
  if ((error & 0xFF) == SQLITE_IOERR || (error & 0xFF) == SQLITE_FULL) discardUnsyncedCommit();
  return false;
}

void SqliteStore::discardUnsyncedCommit() {
  // A commit whose sync failed has written all of its frames to the journal,
  // but not its mark in the shared index: the next process to open the store
  // alone would rebuild the index from the journal and find the commit after
  // all, though this one was told it failed. A commit of nothing written right
  // after, at the same place in the journal, breaks the chain of checksums
  // those frames hang on, so "failed" stays true.
  if (path_ == kInMemoryStore) return;
  const std::string touch = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
  if (!execute("BEGIN IMMEDIATE")) return;
  if (!execute(touch.c_str()) || !execute("COMMIT")) execute("ROLLBACK");
}

void SqliteStore::forgetCaches() {
  calendarRows_.reset();
  seriesCache_.clear();
  singlesCache_.clear();
  longestEvent_.reset();
}

bool SqliteStore::commit() {
  if (!usable_) return false;
  return finishTransaction();
}

std::optional<std::int64_t> SqliteStore::setting(const char* name) {
  StatementUse s = statement("SELECT value FROM settings WHERE name = ?1");
  if (s != nullptr) sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  bool row = false;
  if (!step(s, &row) || !row) return std::nullopt;
  return optionalInteger(s, 0);
}

}  // namespace calbridge
