// The store's connection to its SQLite file: statements, transactions and
// savepoints, how long it waits for other processes, when its journal is
// copied back, and what becomes of a transaction SQLite gave up or a commit
// whose sync failed. It knows no table; the store and its rows use it.
//
// Failures: a statement that meets a failing disk or a damaged file marks the
// database failed for good (`failed`), so that nothing read or staged since is
// trusted; one that fails for another reason (a constraint, a lock not had in
// time) fails only itself.
#pragma once

#include "base/status.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace calbridge::sqlite {

// How long a request waits, in all, for other processes' locks.
inline constexpr int kBusyTimeoutMs = 10000;

class Database {
 public:
  Database() = default;
  // Rolls back an open transaction and closes the connection.
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Opens the file at `path`, which must exist (the store makes it, private),
  // or with `inMemory` a private database in memory. Sets the connection up
  // as every request needs it: durable commits (synchronous=FULL), the journal
  // kept between requests and cut back after each checkpoint, and waiting for
  // other processes' locks within the wait budget.
  Status open(const std::string& path, bool inMemory);

  // A cached statement lent out for one use. It is reset when the use ends, so a
  // read that stopped early never keeps a read transaction open: a connection
  // holding one cannot wait for the write lock and would fail at once.
  class Statement {
   public:
    explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}
    ~Statement();
    Statement(Statement&& other) noexcept : statement_(other.statement_) { other.statement_ = nullptr; }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& operator=(Statement&&) = delete;
    operator sqlite3_stmt*() const { return statement_; }

   private:
    sqlite3_stmt* statement_;
  };
  // The prepared statement for `sql`, cached by its text; null when it does not prepare.
  Statement statement(std::string_view sql);
  // Runs SQL text that returns no rows (pragmas); true when it completed.
  bool execute(const char* sql);
  // Runs a statement that returns no rows; true when it completed.
  bool run(sqlite3_stmt* statement);
  // Steps a statement: true with `*row` set while rows come, true with it
  // clear at the end; false on an error, which marks the database failed.
  bool step(sqlite3_stmt* statement, bool* row);
  std::int64_t lastInsertedRow() const;
  // Rows the last statement changed.
  int changes() const;
  // The connection itself, for what only SQLite's own calls do (migrations).
  sqlite3* handle() const { return db_; }

  // True once a statement met a failing disk or a damaged file, or a read failed.
  bool failed() const { return failed_; }

  // How long, in all, this connection waits for other processes' locks (10 s
  // unless set): one budget for its whole life, however many statements meet a lock.
  void setWaitBudget(std::chrono::milliseconds budget);
  // When that budget runs out (from now, when nothing waited yet): other waits
  // of the request, for a lock file beside the store, end there too.
  std::chrono::steady_clock::time_point waitDeadline();

  // One write transaction at a time, with savepoints inside it.
  bool inTransaction() const { return inTransaction_; }
  // Begins a write transaction (the write lock at once, waiting its turn).
  bool begin();
  // True when SQLite rolled the open transaction back on an error (I/O, a full
  // disk): statements run after that would each commit on their own, so from
  // then on every change is refused until the transaction is finished.
  bool lost();
  bool savepoint();
  bool release();
  // Takes back what was written since the savepoint, and ends it.
  void rollbackToSavepoint();
  void rollback();
  // Finishes the open transaction: runs `beforeCommit` (what must happen
  // first, and may refuse) and commits, or rolls back when the transaction
  // was lost, a read failed, `beforeCommit` refused or the commit failed. A
  // commit whose sync failed is followed by an empty one (see database.cpp).
  // Success without a transaction.
  Status commit(const std::function<Status()>& beforeCommit);
  // Copies the journal back and truncates it, waiting (within the budget) for readers.
  bool checkpoint();

 private:
  void noteError(int code);
  void noticeLostTransaction();
  void discardUnsyncedCommit();
  void waitForOthers();
  static int waitForLock(void* database, int attempts);
  static int checkpointAfterCommit(void* database, sqlite3* db, const char* name, int pages);

  sqlite3* db_ = nullptr;
  bool inMemory_ = false;
  bool failed_ = false;
  bool inTransaction_ = false;
  bool lost_ = false;
  std::chrono::milliseconds waitBudget_{kBusyTimeoutMs};
  std::optional<std::chrono::steady_clock::time_point> waitDeadline_;
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, sqlite3_stmt*, TextHash, std::equal_to<>> statements_;
};

}  // namespace calbridge::sqlite
