#include "sqlite/database.h"

#include "sqlite/schema.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace calbridge::sqlite {

namespace {

// Bytes of journal kept after a checkpoint (4 MiB); a literal, as it goes into a PRAGMA.
#define CALBRIDGE_JOURNAL_SIZE_LIMIT "4194304"
// Journal pages after which a commit checkpoints: SQLite's own default.
constexpr int kCheckpointPages = 1000;

}  // namespace

Database::~Database() {
  if (inTransaction_) execute("ROLLBACK");
  for (auto& [sql, s] : statements_) sqlite3_finalize(s);
  if (db_ != nullptr) sqlite3_close(db_);
}

Status Database::open(const std::string& path, bool inMemory) {
  inMemory_ = inMemory;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (inMemory ? SQLITE_OPEN_MEMORY : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    return Status::ioError(path + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot be opened"));
  }
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
  if (!execute("PRAGMA synchronous=FULL") || !execute("PRAGMA journal_size_limit=" CALBRIDGE_JOURNAL_SIZE_LIMIT)) {
    return Status::ioError(path + ": " + sqlite3_errmsg(db_));
  }
  return Status::ok();
}

// Runs after each commit in place of SQLite's own checkpoint, at the same size.
// Each request is a process of its own, and the first connection of a process
// rebuilds the journal's index, which then no longer knows what was copied
// back: a writer never starts the journal over, and it grows for good. So the
// checkpoint also starts it over (TRUNCATE), when nobody is reading it; with no
// waiting, so a commit never lingers for others, who then leave it for later.
int Database::checkpointAfterCommit(void* database, sqlite3* db, const char* name, int pages) {
  if (pages < kCheckpointPages) return SQLITE_OK;
  sqlite3_busy_handler(db, nullptr, nullptr);
  sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  static_cast<Database*>(database)->waitForOthers();
  return SQLITE_OK;
}

void Database::waitForOthers() { sqlite3_busy_handler(db_, &Database::waitForLock, this); }

bool Database::checkpoint() {
  // Waits (busy timeout) for readers to move on; when they do not, the journal
  // is cut back by a later checkpoint instead.
  return db_ != nullptr && !inTransaction_ && !inMemory_ && execute("PRAGMA wal_checkpoint(TRUNCATE)");
}

Database::Statement::~Statement() {
  if (statement_ != nullptr) sqlite3_reset(statement_);
}

Database::Statement Database::statement(std::string_view sql) {
  if (db_ == nullptr) return Statement(nullptr);
  auto found = statements_.find(sql);
  if (found != statements_.end()) {
    sqlite3_clear_bindings(found->second);
    return Statement(found->second);
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(s);
    return Statement(nullptr);
  }
  statements_.emplace(std::string(sql), s);
  return Statement(s);
}

bool Database::execute(const char* sql) {
  if (db_ == nullptr) return false;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return true;
  noteError(rc);
  return false;
}

bool Database::run(sqlite3_stmt* s) {
  if (s == nullptr) return false;
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return true;
  noteError(rc);
  return false;
}

bool Database::step(sqlite3_stmt* s, bool* row) {
  *row = false;
  if (s == nullptr) {
    failed_ = true;
    return false;
  }
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    *row = true;
    return true;
  }
  if (rc == SQLITE_DONE) return true;
  failed_ = true;
  noteError(rc);
  return false;
}

std::int64_t Database::lastInsertedRow() const { return sqlite3_last_insert_rowid(db_); }

int Database::changes() const { return sqlite3_changes(db_); }

void Database::noteError(int rc) {
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
      failed_ = true;
      break;
    default:
      break;
  }
  noticeLostTransaction();
}

int Database::waitForLock(void* context, int) {
  auto& database = *static_cast<Database*>(context);
  // One budget for the whole request, however many statements meet the lock:
  // a request of a thousand steps behind a stuck writer waits once, not a
  // thousand times.
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  if (!database.waitDeadline_) database.waitDeadline_ = now + database.waitBudget_;
  if (now >= *database.waitDeadline_) return 0;
  auto pause = std::min<Clock::duration>(std::chrono::milliseconds(10), *database.waitDeadline_ - now);
  std::this_thread::sleep_for(pause);
  return 1;
}

void Database::setWaitBudget(std::chrono::milliseconds budget) {
  waitBudget_ = budget;
  waitDeadline_.reset();
}

std::chrono::steady_clock::time_point Database::waitDeadline() {
  if (!waitDeadline_) waitDeadline_ = std::chrono::steady_clock::now() + waitBudget_;
  return *waitDeadline_;
}

bool Database::begin() {
  if (!run(statement("BEGIN IMMEDIATE"))) return false;
  inTransaction_ = true;
  return true;
}

void Database::noticeLostTransaction() {
  // SQLite rolls a transaction back by itself on some errors (I/O, a full disk).
  if (inTransaction_ && db_ != nullptr && sqlite3_get_autocommit(db_) != 0) lost_ = true;
}

bool Database::lost() {
  noticeLostTransaction();
  return lost_;
}

bool Database::savepoint() { return run(statement("SAVEPOINT change")); }

bool Database::release() { return run(statement("RELEASE change")); }

void Database::rollbackToSavepoint() {
  run(statement("ROLLBACK TO change"));
  run(statement("RELEASE change"));
}

void Database::rollback() {
  run(statement("ROLLBACK"));
  inTransaction_ = false;
}

Status Database::commit(const std::function<Status()>& beforeCommit) {
  if (!inTransaction_) return Status::ok();
  inTransaction_ = false;
  // A statement that met a failing disk inside the transaction may have left
  // a change half done, and the reply will say "failed": nothing of it may stay.
  Status status = std::exchange(lost_, false) ? Status::ioError("the transaction was lost to an error")
                  : failed_                   ? Status::ioError("a read or write failed inside the transaction")
                                              : beforeCommit();
  if (status && failed_) status = Status::ioError("a read or write failed before the commit");
  int error = SQLITE_OK;
  if (status) {
    if (run(statement("COMMIT"))) return status;
    error = sqlite3_extended_errcode(db_);
    status = Status::ioError(std::string("commit failed: ") + sqlite3_errstr(error));
  }
  if (sqlite3_get_autocommit(db_) == 0) run(statement("ROLLBACK"));
  if ((error & 0xFF) == SQLITE_IOERR || (error & 0xFF) == SQLITE_FULL) discardUnsyncedCommit();
  return status;
}

void Database::discardUnsyncedCommit() {
  // A commit whose sync failed has written all of its frames to the journal,
  // but not its mark in the shared index: the next process to open the store
  // alone would rebuild the index from the journal and find the commit after
  // all, though this one was told it failed. A commit of nothing written right
  // after, at the same place in the journal, breaks the chain of checksums
  // those frames hang on, so "failed" stays true.
  if (inMemory_) return;
  const std::string touch = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
  if (!execute("BEGIN IMMEDIATE")) return;
  if (!execute(touch.c_str()) || !execute("COMMIT")) execute("ROLLBACK");
}

}  // namespace calbridge::sqlite
