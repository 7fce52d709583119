#include "sqlite/store_internal.h"
#include "calendar/access/question.h"

#include <utility>

namespace calbridge {

namespace {

// Each call on a connection of its own: the asking thread may outlive the
// request, and the store handle, that started the question.
class SqliteAccessAnswers final : public AccessAnswers {
 public:
  explicit SqliteAccessAnswers(std::string path) : path_(std::move(path)) {}

  AuthorizationStatus status() override {
    std::optional<int> value;
    withConnection("SELECT value FROM settings WHERE name = 'authorization'", [&](sqlite3* db, sqlite3_stmt* s) {
      (void)db;
      if (sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) == SQLITE_INTEGER) {
        value = sqlite3_column_int(s, 0);
      }
      return true;
    });
    if (!value || *value < 0 || *value > 4) return AuthorizationStatus::restricted;
    return static_cast<AuthorizationStatus>(*value);
  }

  bool record(bool granted) override {
    return withConnection("UPDATE settings SET value = ?1 WHERE name = 'authorization'", [&](sqlite3* db,
                                                                                           sqlite3_stmt* s) {
      sqlite3_bind_int(s, 1, static_cast<int>(granted ? AuthorizationStatus::fullAccess : AuthorizationStatus::denied));
      return sqlite3_step(s) == SQLITE_DONE && sqlite3_changes(db) == 1;
    });
  }

 private:
  template <typename Use>
  bool withConnection(const char* sql, Use&& use) {
    sqlite3* db = nullptr;
    bool done = false;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
      sqlite3_busy_timeout(db, sqlite::kBusyTimeoutMs);
      sqlite3_stmt* s = nullptr;
      if (sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) == SQLITE_OK &&
          sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK) {
        done = use(db, s);
      }
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return done;
  }

  std::string path_;
};

}  // namespace

AuthorizationStatus SqliteStore::authorizationStatus() {
  auto value = usable_ ? sqlite::readSetting(*db_, "authorization") : std::nullopt;
  if (!value || *value < 0 || *value > 4) return AuthorizationStatus::restricted;
  return static_cast<AuthorizationStatus>(*value);
}

void SqliteStore::requestFullAccessToEvents(std::function<void(bool)> completion) {
  if (!usable_ || db_->failed() || authorizationStatus() != AuthorizationStatus::notDetermined) {
    completion(false);
    return;
  }
  question_.ask(std::make_shared<SqliteAccessAnswers>(path_), std::move(completion));
}

std::optional<bool> SqliteStore::endAccessRequest() { return question_.end(); }

bool SqliteStore::setAuthorizationStatus(AuthorizationStatus status) {
  return change(true, [&] {
    Statement s = db_->statement("UPDATE settings SET value = ?1 WHERE name = 'authorization'");
    if (s == nullptr) return false;
    sqlite3_bind_int(s, 1, static_cast<int>(status));
    return db_->run(s);
  });
}

}  // namespace calbridge
