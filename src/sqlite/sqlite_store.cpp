#include "sqlite/sqlite_store.h"

#include "calendar/access/question.h"
#include "calendar/civil_time.h"
#include "calendar/new_event.h"
#include "calendar/series_rules.h"
#include "sqlite/store_files.h"
#include "protocol/unicode.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <map>
#include <numeric>
#include <sys/stat.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <utility>

namespace calbridge {

namespace {

constexpr int kSchemaVersion = 7;
constexpr int kBusyTimeoutMs = 10000;
// Bytes of journal kept after a checkpoint (4 MiB); a literal, as it goes into a PRAGMA.
#define CALBRIDGE_JOURNAL_SIZE_LIMIT "4194304"
// Journal pages after which a commit checkpoints: SQLite's own default.
constexpr int kCheckpointPages = 1000;
constexpr double kDaySeconds = static_cast<double>(kDay);
// Two starts this close are one occurrence: well below a second, well above rounding.

// Migration i takes the schema from version i to i + 1; a new store runs them all.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE sources(
  id INTEGER PRIMARY KEY,
  identifier TEXT NOT NULL UNIQUE,
  title TEXT,
  type INTEGER NOT NULL);
CREATE TABLE calendars(
  id INTEGER PRIMARY KEY,
  identifier TEXT NOT NULL UNIQUE,
  title TEXT NOT NULL,
  color_space TEXT,
  color_components TEXT,
  writable INTEGER NOT NULL,
  immutable INTEGER NOT NULL,
  source_id INTEGER REFERENCES sources(id));
CREATE TABLE settings(name TEXT PRIMARY KEY, value) WITHOUT ROWID;
-- start/end/until are epoch seconds, or wall-clock seconds for a floating
-- event (time_zone NULL). last_end bounds the end of a series' last
-- occurrence in the same terms; NULL when the series does not end.
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  item_id TEXT NOT NULL UNIQUE,
  external_id TEXT NOT NULL,
  external_key TEXT NOT NULL,
  calendar_id INTEGER NOT NULL REFERENCES calendars(id) ON DELETE CASCADE,
  title TEXT,
  start REAL NOT NULL,
  end REAL NOT NULL,
  all_day INTEGER NOT NULL,
  status INTEGER NOT NULL,
  time_zone TEXT,
  rule TEXT,
  until REAL,
  count INTEGER,
  last_end REAL);
CREATE INDEX single_events ON events(calendar_id, start) WHERE rule IS NULL;
CREATE INDEX repeating_events ON events(calendar_id, start) WHERE rule IS NOT NULL;
CREATE INDEX events_by_external_id ON events(external_key);
CREATE TABLE excluded(
  event_id INTEGER NOT NULL REFERENCES events(id) ON DELETE CASCADE,
  wall INTEGER NOT NULL,
  PRIMARY KEY(event_id, wall)) WITHOUT ROWID;
)sql",
    // Listing reads single events by calendar and start; an index that holds
    // what a record needs answers without visiting the table row by row.
    R"sql(
DROP INDEX single_events;
CREATE INDEX single_events ON events(calendar_id, start, end, id, item_id, external_id, title, all_day, status,
  time_zone, rule) WHERE rule IS NULL;
)sql",
    // A calendar's row id is never given to another calendar: a request that
    // looked a calendar up must not find a newer one under the same id.
    // Runs with foreign keys off (see migrate), so dropping the old table
    // takes no events with it.
    R"sql(
CREATE TABLE calendars_new(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  identifier TEXT NOT NULL UNIQUE,
  title TEXT NOT NULL,
  color_space TEXT,
  color_components TEXT,
  writable INTEGER NOT NULL,
  immutable INTEGER NOT NULL,
  source_id INTEGER REFERENCES sources(id));
INSERT INTO calendars_new(id, identifier, title, color_space, color_components, writable, immutable, source_id)
  SELECT id, identifier, title, color_space, color_components, writable, immutable, source_id FROM calendars;
DROP TABLE calendars;
ALTER TABLE calendars_new RENAME TO calendars;
)sql",
    // Replicas of CalDAV accounts. An account with a url is kept in step with
    // its server; each of its calendars is a collection there, and each event
    // comes from one calendar object, kept as the server sent it with its ETag.
    R"sql(
ALTER TABLE sources ADD COLUMN url TEXT;
ALTER TABLE sources ADD COLUMN user_name TEXT;
ALTER TABLE sources ADD COLUMN password_command TEXT;
ALTER TABLE sources ADD COLUMN ca_file TEXT;
ALTER TABLE sources ADD COLUMN single_calendar INTEGER NOT NULL DEFAULT 0;
ALTER TABLE sources ADD COLUMN synced_at REAL;
ALTER TABLE sources ADD COLUMN sync_tried_at REAL;
ALTER TABLE calendars ADD COLUMN remote_url TEXT;
ALTER TABLE calendars ADD COLUMN remote_writable INTEGER;
ALTER TABLE calendars ADD COLUMN sync_token TEXT;
ALTER TABLE calendars ADD COLUMN ctag TEXT;
ALTER TABLE calendars ADD COLUMN remote_color TEXT;
CREATE UNIQUE INDEX calendars_by_remote_url ON calendars(source_id, remote_url) WHERE remote_url IS NOT NULL;
CREATE TABLE objects(
  id INTEGER PRIMARY KEY,
  calendar_id INTEGER NOT NULL REFERENCES calendars(id) ON DELETE CASCADE,
  url TEXT NOT NULL,
  etag TEXT NOT NULL,
  data TEXT NOT NULL,
  UNIQUE(calendar_id, url));
ALTER TABLE events ADD COLUMN object_id INTEGER REFERENCES objects(id) ON DELETE CASCADE;
CREATE INDEX events_by_object ON events(object_id) WHERE object_id IS NOT NULL;
)sql",
    // A DURATION's days keep their wall-clock length in each occurrence of a
    // series; zones that calendar files define for themselves, by the name
    // their events use (see kDefinedZonePrefix), as zoneText writes them.
    R"sql(
ALTER TABLE events ADD COLUMN nominal_days INTEGER;
CREATE TABLE defined_zones(name TEXT PRIMARY KEY, definition TEXT NOT NULL) WITHOUT ROWID;
)sql",
    // Changed occurrences (RECURRENCE-ID) are rows of their own that name their
    // series and the occurrence they stand in for (wall seconds, as excluded);
    // a THISANDFUTURE change is a series split off, naming where it came from.
    // They are listed with their series, so single listings pass them over
    // (and the covering index of singles holds the column that tells them apart).
    // Extra dates (RDATE) are wall seconds as well; a period has its own length.
    R"sql(
ALTER TABLE events ADD COLUMN series_id INTEGER REFERENCES events(id) ON DELETE CASCADE;
ALTER TABLE events ADD COLUMN recurrence_id INTEGER;
CREATE INDEX events_by_series ON events(series_id) WHERE series_id IS NOT NULL;
CREATE INDEX overrides_by_calendar ON events(calendar_id) WHERE series_id IS NOT NULL AND rule IS NULL;
DROP INDEX single_events;
CREATE INDEX single_events ON events(calendar_id, start, end, id, item_id, external_id, title, all_day, status,
  time_zone, rule, series_id) WHERE rule IS NULL AND series_id IS NULL;
CREATE TABLE extra_dates(
  event_id INTEGER NOT NULL REFERENCES events(id) ON DELETE CASCADE,
  wall INTEGER NOT NULL,
  duration REAL,
  PRIMARY KEY(event_id, wall)) WITHOUT ROWID;
)sql",
    // A CalDAV account may sign in with an OAuth 2.0 bearer token from a
    // command instead of a password.
    R"sql(
ALTER TABLE sources ADD COLUMN token_command TEXT;
)sql",
};

std::string columnText(sqlite3_stmt* s, int column) {
  auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text == nullptr ? std::string() : std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
}

std::optional<std::string> optionalText(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return columnText(s, column);
}

std::optional<double> optionalReal(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(s, column);
}

std::optional<std::int64_t> optionalInteger(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(s, column);
}

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text64(s, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
  if (text) bindText(s, index, *text);
  else sqlite3_bind_null(s, index);
}

void bindOptionalReal(sqlite3_stmt* s, int index, std::optional<double> value) {
  if (value) sqlite3_bind_double(s, index, *value);
  else sqlite3_bind_null(s, index);
}

std::string colorSpaceName(ColorSpace space) {
  switch (space) {
    case ColorSpace::sRGB: return "srgb";
    case ColorSpace::gray: return "gray";
    case ColorSpace::other: return "other";
  }
  return "other";
}

std::optional<Color> colorOf(const std::optional<std::string>& space, const std::optional<std::string>& components) {
  if (!space) return std::nullopt;
  Color color;
  color.space = *space == "srgb" ? ColorSpace::sRGB : *space == "gray" ? ColorSpace::gray : ColorSpace::other;
  if (components) {
    const char* p = components->c_str();
    for (;;) {
      char* next = nullptr;
      double value = std::strtod(p, &next);
      if (next == p) break;
      color.components.push_back(value);
      p = next;
    }
  }
  return color;
}

std::string componentsText(const Color& color) {
  std::string text;
  for (double component : color.components) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", component);
    if (!text.empty()) text += ' ';
    text += buffer;
  }
  return text;
}

// A calendar's own fields, at parameters 2 to 6 of inserts and updates alike.
void bindCalendarFields(sqlite3_stmt* s, const Calendar& calendar) {
  bindText(s, 2, calendar.title);
  if (calendar.color) {
    bindText(s, 3, colorSpaceName(calendar.color->space));
    bindText(s, 4, componentsText(*calendar.color));
  }
  sqlite3_bind_int(s, 5, calendar.allowsContentModifications ? 1 : 0);
  sqlite3_bind_int(s, 6, calendar.isImmutable ? 1 : 0);
}

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
      sqlite3_busy_timeout(db, kBusyTimeoutMs);
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

// Every event query reads the columns EventRow::read expects: one literal each,
// so that a query is written, and cached, as one SQL text.
#define CALBRIDGE_SELECT_EVENTS                                                                                   \
  "SELECT id, item_id, external_id, calendar_id, title, start, end, all_day, status, time_zone, rule, until, " \
  "count, last_end, nominal_days, series_id, recurrence_id FROM events "

SqliteStore::EventRow SqliteStore::EventRow::read(sqlite3_stmt* s) {
  EventRow row;
  row.id = sqlite3_column_int64(s, 0);
  row.itemId = columnText(s, 1);
  row.externalId = columnText(s, 2);
  row.calendarId = sqlite3_column_int64(s, 3);
  row.title = optionalText(s, 4);
  row.start = sqlite3_column_double(s, 5);
  row.end = sqlite3_column_double(s, 6);
  row.allDay = sqlite3_column_int(s, 7) != 0;
  row.status = static_cast<EventStatus>(sqlite3_column_int(s, 8));
  row.timeZone = optionalText(s, 9);
  row.rule = optionalText(s, 10);
  row.until = optionalReal(s, 11);
  row.count = optionalInteger(s, 12);
  row.lastEnd = optionalReal(s, 13);
  row.nominalDays = optionalInteger(s, 14).value_or(0);
  row.seriesId = optionalInteger(s, 15);
  row.recurrenceId = optionalInteger(s, 16);
  return row;
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

bool SqliteStore::migrate(bool inMemory) {
  auto readVersion = [this]() -> std::optional<int> {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr) != SQLITE_OK) return std::nullopt;
    std::optional<int> version;
    if (sqlite3_step(s) == SQLITE_ROW) version = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return version;
  };
  // Reading the header is also the check that this is a database at all; a
  // damaged or foreign file stops here, untouched.
  auto version = readVersion();
  if (!version || *version > kSchemaVersion || *version < 0) return false;
  if (*version == kSchemaVersion) return true;
  // A file with tables but no version is somebody else's database: leave it be.
  auto holdsNoTables = [this] {
    sqlite3_stmt* s = nullptr;
    bool empty = sqlite3_prepare_v2(db_, "SELECT count(*) FROM sqlite_master", -1, &s, nullptr) == SQLITE_OK &&
                 sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 0;
    sqlite3_finalize(s);
    return empty;
  };
  if (*version == 0 && !holdsNoTables()) return false;

  // The journal mode is chosen outside any transaction; it persists in the file.
  for (int attempt = 0; !inMemory; ++attempt) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(s);
    bool wal = rc == SQLITE_ROW && columnText(s, 0) == "wal";
    sqlite3_finalize(s);
    if (wal) break;
    if ((rc & 0xFF) != SQLITE_BUSY || attempt >= kBusyTimeoutMs / 10) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  if (!execute("BEGIN IMMEDIATE")) return false;
  bool done = false;
  version = readVersion();  // another process may have finished first
  if (version && *version == kSchemaVersion) {
    done = true;
  } else if (version && *version >= 0 && *version < kSchemaVersion) {
    bool fresh = *version == 0;
    done = !fresh || holdsNoTables();
    for (int v = *version; done && v < kSchemaVersion; ++v) {
      done = sqlite3_exec(db_, kMigrations[v], nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (done && fresh) {
      // A new store has one local account and one calendar in it, the default for new events.
      StatementUse source = statement("INSERT INTO sources(identifier, title, type) VALUES(?1, 'On This Computer', 0)");
      if (source != nullptr) bindText(source, 1, newUuid());
      StatementUse calendar = run(source) ? statement(
          "INSERT INTO calendars(identifier, title, writable, immutable, source_id) "
          "VALUES(?1, 'Calendar', 1, 0, last_insert_rowid())") : StatementUse(nullptr);
      if (calendar != nullptr) bindText(calendar, 1, newUuid());
      done = run(calendar) &&
             run(statement("INSERT INTO settings(name, value) VALUES('authorization', 0), "
                           "('default_calendar', last_insert_rowid()), ('longest_event', 0)"));
    }
    std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    done = done && execute(setVersion.c_str());
  }
  if (done && execute("COMMIT")) return true;
  execute("ROLLBACK");
  return false;
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

template <typename Work>
bool SqliteStore::change(bool commit, Work&& work) {
  if (!usable_ || lost_) return false;
  bool began = false;
  if (!inTransaction_) {
    if (!run(statement("BEGIN IMMEDIATE"))) return false;
    inTransaction_ = true;
    began = true;
    // Others may have written since anything here was read; from now on nobody can.
    forgetCaches();
  }
  // Changes staged before this one stay whatever becomes of it: a change that
  // joins an open transaction takes back only its own writes when refused.
  const bool nested = !began;
  if (began) staged_.clear();
  std::vector<PendingChange> stagedBefore = nested ? staged_ : std::vector<PendingChange>{};
  bool done = !nested || run(statement("SAVEPOINT change"));
  if (done) {
    done = work();
    if (nested) {
      if (done) {
        done = run(statement("RELEASE change"));
      } else {
        run(statement("ROLLBACK TO change"));
        run(statement("RELEASE change"));
        staged_ = std::move(stagedBefore);
      }
    }
  }
  noticeLostTransaction();
  if (lost_) {
    forgetCaches();
    staged_.clear();
    return false;
  }
  if (!done) {
    forgetCaches();
    if (began) {
      run(statement("ROLLBACK"));
      inTransaction_ = false;
      staged_.clear();
    }
    return false;
  }
  return commit ? finishTransaction() : true;
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

ZoneCache& SqliteStore::zones() {
  if (usable_ && !definedZonesLoaded_) {
    // Few and small: read whole, once; a name always means the same definition.
    StatementUse s = statement("SELECT name, definition FROM defined_zones");
    bool row = false;
    while (step(s, &row) && row) {
      std::string name = columnText(s, 0);
      if (auto zone = zoneFromText(name, columnText(s, 1))) zones_.add(std::move(*zone));
    }
    definedZonesLoaded_ = !readFailed_;
  }
  return zones_;
}

std::optional<std::int64_t> SqliteStore::setting(const char* name) {
  StatementUse s = statement("SELECT value FROM settings WHERE name = ?1");
  if (s != nullptr) sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  bool row = false;
  if (!step(s, &row) || !row) return std::nullopt;
  return optionalInteger(s, 0);
}

double SqliteStore::longestEvent() {
  if (longestEvent_) return *longestEvent_;
  StatementUse s = statement("SELECT value FROM settings WHERE name = 'longest_event'");
  bool row = false;
  if (!step(s, &row) || !row) return 0;
  longestEvent_ = std::max(0.0, sqlite3_column_double(s, 0));
  return *longestEvent_;
}

SqliteStore::Singles SqliteStore::singlesIn(std::int64_t calendarId, double from, double to) {
  auto chunk = singlesCache_.find(calendarId);
  if (chunk == singlesCache_.end() || from < chunk->second.from || to > chunk->second.to) {
    // A calendar asked about again (the skips of a new series, say) is read in
    // wider chunks; one asked about once is read for exactly its window.
    const int reads = chunk == singlesCache_.end() ? 1 : chunk->second.reads + 1;
    constexpr double kPadding = 60 * kDaySeconds;
    const bool pad = reads > 1 && to - from < kPadding;
    SinglesChunk loaded{pad ? from - kPadding : from, pad ? to + kPadding : to, {}, {}, reads};
    // Only what the covering index holds.
    StatementUse s = statement(
        "SELECT item_id, external_id, title, start, end, all_day, status, time_zone FROM events "
        "WHERE calendar_id = ?1 AND rule IS NULL AND series_id IS NULL AND start >= ?2 AND start < ?3 "
        "ORDER BY start, end, id");
    if (s != nullptr) {
      sqlite3_bind_int64(s, 1, calendarId);
      sqlite3_bind_double(s, 2, loaded.from);
      sqlite3_bind_double(s, 3, loaded.to);
    }
    // Text goes into one buffer per chunk: no allocation per row.
    auto slice = [&](int column) {
      SingleRow::Slice slice;
      if (sqlite3_column_type(s, column) == SQLITE_NULL) return slice;
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
      slice.length = static_cast<std::uint32_t>(sqlite3_column_bytes(s, column));
      slice.at = static_cast<std::uint32_t>(loaded.text.size());
      slice.present = true;
      loaded.text.append(text, slice.length);
      return slice;
    };
    bool row = false;
    while (step(s, &row) && row) {
      SingleRow single;
      single.itemId = slice(0);
      single.externalId = slice(1);
      single.title = slice(2);
      single.start = sqlite3_column_double(s, 3);
      single.end = sqlite3_column_double(s, 4);
      single.allDay = sqlite3_column_int(s, 5) != 0;
      single.status = static_cast<EventStatus>(sqlite3_column_int(s, 6));
      single.timeZone = slice(7);
      loaded.rows.push_back(single);
    }
    chunk = singlesCache_.insert_or_assign(calendarId, std::move(loaded)).first;
  }
  const auto& rows = chunk->second.rows;
  auto first = std::lower_bound(rows.begin(), rows.end(), from, [](const SingleRow& r, double t) { return r.start < t; });
  auto last = std::lower_bound(first, rows.end(), to, [](const SingleRow& r, double t) { return r.start < t; });
  return Singles{{first, last}, &chunk->second.text};
}

AuthorizationStatus SqliteStore::authorizationStatus() {
  auto value = usable_ ? setting("authorization") : std::nullopt;
  if (!value || *value < 0 || *value > 4) return AuthorizationStatus::restricted;
  return static_cast<AuthorizationStatus>(*value);
}

void SqliteStore::requestFullAccessToEvents(std::function<void(bool)> completion) {
  if (!usable_ || readFailed_ || authorizationStatus() != AuthorizationStatus::notDetermined) {
    completion(false);
    return;
  }
  question_.ask(std::make_shared<SqliteAccessAnswers>(path_), std::move(completion));
}

std::optional<bool> SqliteStore::endAccessRequest() { return question_.end(); }

const std::vector<SqliteStore::CalendarRow>& SqliteStore::calendarRows() {
  if (calendarRows_) return *calendarRows_;
  std::vector<CalendarRow> rows;
  StatementUse s = usable_ ? statement(
      "SELECT c.id, c.identifier, c.title, c.color_space, c.color_components, c.writable, c.immutable, "
      "s.identifier, s.title, s.type, s.url, "
      "CASE WHEN s.synced_at IS NULL AND s.sync_tried_at IS NULL THEN NULL "
      "ELSE max(coalesce(s.synced_at, 0), coalesce(s.sync_tried_at, 0)) END, c.remote_url, c.remote_writable "
      "FROM calendars c LEFT JOIN sources s ON s.id = c.source_id "
      "ORDER BY c.id")
                            : StatementUse(nullptr);
  bool row = false;
  while (usable_ && step(s, &row) && row) {
    auto calendar = std::make_shared<Calendar>();
    calendar->calendarIdentifier = columnText(s, 1);
    calendar->title = columnText(s, 2);
    calendar->color = colorOf(optionalText(s, 3), optionalText(s, 4));
    calendar->allowsContentModifications = sqlite3_column_int(s, 5) != 0;
    calendar->isImmutable = sqlite3_column_int(s, 6) != 0;
    if (sqlite3_column_type(s, 7) != SQLITE_NULL) {
      calendar->source = Source{columnText(s, 7), optionalText(s, 8), static_cast<SourceType>(sqlite3_column_int(s, 9))};
    }
    const bool replica = sqlite3_column_type(s, 10) != SQLITE_NULL;
    std::string remoteUrl = replica ? columnText(s, 12) : std::string();
    if (replica) {
      // The server's privilege decides; and only a store that tells the server
      // first may change a replica at all.
      const bool writable = publisher_ != nullptr && !remoteUrl.empty() && sqlite3_column_int(s, 13) != 0;
      calendar->allowsContentModifications = writable;
      calendar->isImmutable = !writable;
    }
    CalendarRow loaded{sqlite3_column_int64(s, 0), std::move(calendar), replica, std::move(remoteUrl), std::nullopt};
    loaded.syncedAt = optionalReal(s, 11);
    rows.push_back(std::move(loaded));
  }
  calendarRows_ = std::move(rows);
  return *calendarRows_;
}

const SqliteStore::CalendarRow* SqliteStore::findCalendar(std::string_view identifier) {
  for (const auto& row : calendarRows()) {
    if (canonicallyEqual(row.calendar->calendarIdentifier, identifier)) return &row;
  }
  return nullptr;
}

const SqliteStore::CalendarRow* SqliteStore::findCalendar(std::int64_t id) {
  for (const auto& row : calendarRows()) {
    if (row.id == id) return &row;
  }
  return nullptr;
}

std::optional<std::int64_t> SqliteStore::findSource(std::string_view identifier) {
  StatementUse s = statement("SELECT id, identifier FROM sources ORDER BY id");
  bool row = false;
  while (step(s, &row) && row) {
    if (canonicallyEqual(columnText(s, 1), identifier)) return sqlite3_column_int64(s, 0);
  }
  return std::nullopt;
}

std::vector<std::shared_ptr<const Calendar>> SqliteStore::calendars() {
  std::vector<std::shared_ptr<const Calendar>> result;
  for (const auto& row : calendarRows()) {
    noteRead(row);
    result.push_back(row.calendar);
  }
  return result;
}

void SqliteStore::noteRead(const CalendarRow& row) {
  if (row.replica && row.calendar->source) replicasRead_[row.calendar->source->sourceIdentifier] = row.syncedAt;
}

std::vector<std::string> SqliteStore::staleAccountsRead(double now, double maxAge) const {
  std::vector<std::string> stale;
  for (const auto& [account, syncedAt] : replicasRead_) {
    if (!syncedAt || now - *syncedAt > maxAge) stale.push_back(account);
  }
  return stale;
}

std::shared_ptr<const Calendar> SqliteStore::calendarWithIdentifier(std::string_view identifier) {
  const CalendarRow* row = findCalendar(identifier);
  return row != nullptr ? row->calendar : nullptr;
}

std::shared_ptr<const Calendar> SqliteStore::defaultCalendarForNewEvents() {
  auto id = usable_ ? setting("default_calendar") : std::nullopt;
  const CalendarRow* row = id ? findCalendar(*id) : nullptr;
  return row != nullptr ? row->calendar : nullptr;
}

std::vector<Source> SqliteStore::sources() {
  std::vector<Source> result;
  StatementUse s = usable_ ? statement("SELECT identifier, title, type FROM sources ORDER BY id") : StatementUse(nullptr);
  bool row = false;
  while (usable_ && step(s, &row) && row) {
    result.push_back(Source{columnText(s, 0), optionalText(s, 1), static_cast<SourceType>(sqlite3_column_int(s, 2))});
  }
  return result;
}

Series SqliteStore::seriesFrom(const EventRow& row) {
  Series series;
  series.rule = row.rule.value_or("");
  series.rules = parseRuleSet(series.rule);
  if (series.rules.empty()) series.plain = parsePlainRule(series.rule);
  series.start = row.start;
  series.duration = std::max(0.0, row.end - row.start);
  series.floating = !row.timeZone;
  series.allDay = row.allDay;
  if (row.timeZone) {
    series.zone = (isDefinedZoneName(*row.timeZone) ? zones() : zones_).find(*row.timeZone);
  } else {
    series.zone = &zones_.local();
  }
  if (series.zone == nullptr) series.zone = &zones_.utc();
  // Fewer days than the years 1 to 9999 hold: anything else is no row this store wrote.
  if (row.nominalDays > 0 && row.nominalDays < 3652425 && !series.floating && convertible(row.start)) {
    // The first end is its days on the clock and then exact seconds: keep those seconds.
    series.days = row.nominalDays;
    const double nominalEnd = epochOf(*series.zone, wallOf(*series.zone, row.start) + row.nominalDays * kDaySeconds);
    series.duration = std::max(0.0, row.end - nominalEnd);
  }
  series.until = row.until;
  series.count = row.count;
  return series;
}

std::vector<SqliteStore::CachedSeries>& SqliteStore::seriesIn(std::int64_t calendarId) {
  auto found = seriesCache_.find(calendarId);
  if (found != seriesCache_.end()) return found->second;
  std::vector<CachedSeries> loaded;
  StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE calendar_id = ?1 AND rule IS NOT NULL ORDER BY start, id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
  bool row = false;
  while (step(s, &row) && row) {
    EventRow event = EventRow::read(s);
    Series series = seriesFrom(event);
    loaded.push_back(CachedSeries{std::move(event), std::move(series)});
  }
  // From the calendar's series to their exclusions: the other way round would
  // read every exclusion of the store for each calendar.
  StatementUse x = statement(
      "SELECT x.event_id, x.wall FROM events e JOIN excluded x ON x.event_id = e.id "
      "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY x.event_id, x.wall");
  if (x != nullptr) sqlite3_bind_int64(x, 1, calendarId);
  std::map<std::int64_t, std::vector<std::int64_t>> excluded;
  while (step(x, &row) && row) excluded[sqlite3_column_int64(x, 0)].push_back(sqlite3_column_int64(x, 1));
  for (auto& cached : loaded) {
    if (auto e = excluded.find(cached.row.id); e != excluded.end()) cached.series.excluded = std::move(e->second);
  }
  StatementUse r = statement(
      "SELECT r.event_id, r.wall, r.duration FROM events e JOIN extra_dates r ON r.event_id = e.id "
      "WHERE e.calendar_id = ?1 AND e.rule IS NOT NULL ORDER BY r.event_id, r.wall");
  if (r != nullptr) sqlite3_bind_int64(r, 1, calendarId);
  std::map<std::int64_t, std::vector<ExtraDate>> extra;
  while (step(r, &row) && row) {
    extra[sqlite3_column_int64(r, 0)].push_back(ExtraDate{sqlite3_column_int64(r, 1), optionalReal(r, 2)});
  }
  std::map<std::int64_t, std::size_t> byId;
  for (std::size_t i = 0; i < loaded.size(); ++i) byId.emplace(loaded[i].row.id, i);
  for (auto& cached : loaded) {
    if (auto e = extra.find(cached.row.id); e != extra.end()) cached.series.extraDates = std::move(e->second);
    if (cached.row.seriesId) {
      if (auto origin = byId.find(*cached.row.seriesId); origin != byId.end()) {
        cached.listedItemId = loaded[origin->second].row.itemId;
      }
    }
  }
  StatementUse o = statement(CALBRIDGE_SELECT_EVENTS
                             "WHERE calendar_id = ?1 AND series_id IS NOT NULL AND rule IS NULL ORDER BY start, id");
  if (o != nullptr) sqlite3_bind_int64(o, 1, calendarId);
  const Zone& local = zones_.local();
  while (step(o, &row) && row) {
    EventRow changed = EventRow::read(o);
    auto series = byId.find(changed.seriesId.value_or(0));
    if (series == byId.end() || !changed.recurrenceId) continue;
    CachedSeries& cached = loaded[series->second];
    Override override{std::move(changed), 0, 0, 0};
    override.start = override.row.start;
    override.end = override.row.end;
    if (!override.row.timeZone && convertible(override.start) && convertible(override.end)) {
      override.start = epochOf(local, override.start);
      override.end = epochOf(local, override.end);
    }
    const std::int64_t wall = *override.row.recurrenceId;
    override.replacedStart = static_cast<double>(wallToEpoch(*cached.series.zone, wall));
    cached.series.replaced.insert(
        std::lower_bound(cached.series.replaced.begin(), cached.series.replaced.end(), wall), wall);
    cached.overrides.push_back(std::move(override));
  }
  return seriesCache_.emplace(calendarId, std::move(loaded)).first->second;
}

SqliteStore::CachedSeries* SqliteStore::cachedSeries(const EventRow& row) {
  for (auto& cached : seriesIn(row.calendarId)) {
    if (cached.row.id == row.id) return &cached;
  }
  return nullptr;
}

std::optional<double> SqliteStore::lastEndOf(const Series& series) {
  // An upper bound: days on the clock may run an offset change longer.
  const double longest =
      series.duration + (series.days != 0 ? static_cast<double>(series.days + 1) * kDaySeconds : 0.0);
  std::optional<double> last;
  if (series.rule.empty() && series.rules.empty()) {
    last = series.start;  // extra dates alone
  } else if (series.until) {
    last = *series.until;
  } else {
    // Unknown (a rule too long to walk): never leave it out of a window.
    last = lastStartOf(series, 100000);
    if (!last) return std::nullopt;
  }
  double end = *last + longest;
  if (!series.extraDates.empty() && series.zone != nullptr) {
    // Neither COUNT nor UNTIL ends the extra dates; the last one may run longer.
    const ExtraDate& extra = series.extraDates.back();
    const double start = series.floating ? static_cast<double>(extra.wall)
                                         : static_cast<double>(wallToEpoch(*series.zone, extra.wall));
    double period = 0;
    for (const ExtraDate& e : series.extraDates) period = std::max(period, e.duration.value_or(0));
    end = std::max(end, start + std::max(longest, period) + kDaySeconds);
  }
  return end;
}

SqliteStore::RowView SqliteStore::viewOf(const EventRow& row) {
  return RowView{row.itemId,
                 row.externalId,
                 row.title ? std::optional<std::string_view>(*row.title) : std::nullopt,
                 row.timeZone ? std::optional<std::string_view>(*row.timeZone) : std::nullopt,
                 row.allDay,
                 row.status};
}

SqliteStore::RowView SqliteStore::viewOf(const SingleRow& row, const std::string& text) {
  auto view = [&](const SingleRow::Slice& slice) { return std::string_view(text).substr(slice.at, slice.length); };
  auto optional = [&](const SingleRow::Slice& slice) {
    return slice.present ? std::optional<std::string_view>(view(slice)) : std::nullopt;
  };
  return RowView{view(row.itemId), view(row.externalId), optional(row.title), optional(row.timeZone), row.allDay,
                 row.status};
}

namespace {

// Assigns reusing the string's storage: filling one event after another allocates nothing.
void assign(std::optional<std::string>& to, std::optional<std::string_view> from) {
  if (!from) to.reset();
  else if (to) to->assign(*from);
  else to.emplace(*from);
}

}  // namespace

void SqliteStore::fill(Event& event, const RowView& row, const CalendarRow& calendar, double start, double end) {
  if (event.calendar != calendar.calendar) event.calendar = calendar.calendar;
  assign(event.title, row.title);
  event.startDate = start;
  event.endDate = end;
  event.isAllDay = row.allDay;
  event.status = row.status;
  assign(event.timeZone, row.timeZone);
  assign(event.calendarItemIdentifier, row.itemId);
  assign(event.calendarItemExternalIdentifier, row.externalId);
  assign(event.eventIdentifier, row.eventId.empty() ? row.itemId : row.eventId);
  event.occurrenceDate = row.occurrenceDate.value_or(start);
}

void SqliteStore::enumerateEventsMatching(double from, double to,
                                          const std::vector<std::shared_ptr<const Calendar>>& calendars,
                                          const EventVisitor& visit) {
  if (!usable_ || !(from < to)) return;
  std::vector<const CalendarRow*> selected;
  for (const auto& calendar : calendars) {
    if (!calendar) continue;
    const CalendarRow* row = findCalendar(calendar->calendarIdentifier);
    if (row != nullptr && std::find(selected.begin(), selected.end(), row) == selected.end()) {
      noteRead(*row);
      selected.push_back(row);
    }
  }
  if (selected.empty()) return;
  // One snapshot for the whole answer, and one lock instead of one per statement.
  const bool reading = !inTransaction_ && run(statement("BEGIN"));

  // Singles (ordered once, as small keys) and one cursor per series are merged
  // by start, then end, then the order of their sources: calendars as asked,
  // in each its singles in table order, then its series. Only what is sent is
  // ever made, and each series holds about one pending occurrence, so a listing
  // costs what it sends, however many occurrences its series have.
  struct SingleHit {
    double start, end;
    std::uint64_t order;
    const SingleRow* row;  // or, for a changed occurrence, null and the next two
    const std::string* text;
    const CalendarRow* calendar;
    const CachedSeries* series = nullptr;
    const Override* override = nullptr;
  };
  struct SeriesHead {
    double start, end;
    std::uint64_t order;
    std::uint32_t cursor;
  };
  struct SeriesSource {
    SeriesCursor cursor;
    const CachedSeries* cached;
    const CalendarRow* calendar;
    std::uint64_t order;
  };
  std::vector<SingleHit> singleHits;
  std::vector<SeriesSource> seriesSources;
  std::uint64_t order = 0;
  StepBudget budget;
  auto overlaps = [&](double start, double end) { return start < to && (end > from || start >= from); };
  // Floating times are wall seconds in the table; a day's margin covers any offset.
  const double earliestSingle = from - longestEvent() - kDaySeconds;
  const double latestStart = to + kDaySeconds;
  const Zone& local = zones_.local();
  for (const CalendarRow* calendar : selected) {
    Singles singles = singlesIn(calendar->id, earliestSingle, latestStart);
    for (const SingleRow& row : singles.rows) {
      double start = row.start;
      double end = row.end;
      if (!row.timeZone.present && convertible(start) && convertible(end)) {
        start = epochOf(local, start);
        end = epochOf(local, end);
      }
      if (overlaps(start, end)) singleHits.push_back(SingleHit{start, end, order, &row, singles.text, calendar});
      ++order;
    }
    std::vector<CachedSeries>& allSeries = seriesIn(calendar->id);
    // Changed occurrences are listed where they now are, which may lie far
    // from the occurrence they stand in for; one of an excluded occurrence
    // changes nothing, as the occurrence is no longer there (RFC 5545 3.8.5.1).
    for (const CachedSeries& cached : allSeries) {
      for (const Override& o : cached.overrides) {
        if (overlaps(o.start, o.end) && !std::binary_search(cached.series.excluded.begin(),
                                                            cached.series.excluded.end(), *o.row.recurrenceId)) {
          singleHits.push_back(SingleHit{o.start, o.end, order, nullptr, nullptr, calendar, &cached, &o});
        }
        ++order;
      }
    }
    for (const CachedSeries& cached : allSeries) {
      if (cached.row.start >= latestStart) break;  // ordered by start
      if (cached.row.lastEnd && *cached.row.lastEnd <= from - kDaySeconds) continue;
      // A rule that cannot be expanded is left out rather than failing the listing.
      seriesSources.push_back(SeriesSource{SeriesCursor(cached.series, from, to, &budget), &cached, calendar, order++});
    }
  }
  auto before = [](const auto& a, const auto& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return a.order < b.order;
  };
  // Timed singles are in start order already; floating ones shift by their offset.
  if (!std::is_sorted(singleHits.begin(), singleHits.end(), before)) {
    std::sort(singleHits.begin(), singleHits.end(), before);
  }
  std::vector<SeriesHead> heads;  // a heap, earliest on top
  heads.reserve(seriesSources.size());
  auto later = [&](const SeriesHead& a, const SeriesHead& b) { return before(b, a); };
  auto advance = [&](std::uint32_t index) {
    SeriesSource& source = seriesSources[index];
    if (auto o = source.cursor.next()) {
      heads.push_back(SeriesHead{o->start, occurrenceEnd(source.cached->series, *o), source.order, index});
      std::push_heap(heads.begin(), heads.end(), later);
    }
  };
  for (std::uint32_t i = 0; i < seriesSources.size(); ++i) advance(i);
  Event event;
  std::size_t nextSingle = 0;
  for (;;) {
    const bool single = nextSingle < singleHits.size() && (heads.empty() || before(singleHits[nextSingle], heads.front()));
    if (single) {
      const SingleHit& hit = singleHits[nextSingle++];
      if (hit.override != nullptr) {
        RowView view = viewOf(hit.override->row);
        view.itemId = listedItemOf(*hit.series);
        view.eventId = hit.override->row.itemId;
        view.occurrenceDate = hit.override->replacedStart;
        fill(event, view, *hit.calendar, hit.start, hit.end);
      } else {
        fill(event, viewOf(*hit.row, *hit.text), *hit.calendar, hit.start, hit.end);
      }
      if (!visit(event)) break;
    } else if (!heads.empty()) {
      std::pop_heap(heads.begin(), heads.end(), later);
      const SeriesHead head = heads.back();
      heads.pop_back();
      const SeriesSource& source = seriesSources[head.cursor];
      RowView view = viewOf(source.cached->row);
      view.itemId = listedItemOf(*source.cached);
      view.eventId = source.cached->row.itemId;
      fill(event, view, *source.calendar, head.start, head.end);
      if (!visit(event)) break;
      advance(head.cursor);
    } else {
      break;
    }
  }
  if (reading) run(statement("COMMIT"));
}

std::vector<CalendarItem> SqliteStore::calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) {
  std::vector<CalendarItem> items;
  if (!usable_) return items;
  StatementUse s = statement(
      CALBRIDGE_SELECT_EVENTS
        "WHERE external_key = ?1 AND series_id IS NULL ORDER BY id");
  if (s != nullptr) bindText(s, 1, nfc(externalIdentifier));
  std::vector<EventRow> rows;
  bool row = false;
  while (step(s, &row) && row) rows.push_back(EventRow::read(s));
  const Zone& local = zones_.local();
  for (const EventRow& event : rows) {
    const CalendarRow* calendar = findCalendar(event.calendarId);
    if (calendar == nullptr) continue;
    double start = event.start;
    double end = event.end;
    if (!event.timeZone && convertible(start) && convertible(end)) {
      start = epochOf(local, start);
      end = epochOf(local, end);
    }
    CalendarItem item;
    fill(item.event, viewOf(event), *calendar, start, end);
    items.push_back(std::move(item));
  }
  return items;
}

Series SqliteStore::seriesFromStored(const StoredEvent& event) {
  EventRow row;
  row.start = event.start;
  row.end = event.end;
  row.allDay = event.allDay;
  row.timeZone = event.timeZone;
  row.rule = event.rule;
  row.until = event.until;
  row.count = event.count;
  row.nominalDays = event.nominalDays;
  return seriesFrom(row);
}

std::optional<double> SqliteStore::lastEndFor(const StoredEvent& event) {
  if (!event.rule) return std::nullopt;
  Series series = seriesFromStored(event);
  series.extraDates = event.extraDates;
  return lastEndOf(series);
}

bool SqliteStore::insertEvent(std::int64_t calendarId, StoredEvent& event, std::optional<double> lastEnd,
                              std::optional<std::int64_t> objectId, std::optional<std::int64_t> seriesId) {
  if (event.rule || seriesId) seriesCache_.erase(calendarId);
  else singlesCache_.erase(calendarId);
  event.calendarItemIdentifier = newUuid();
  StatementUse s = statement(
      "INSERT INTO events(item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, "
      "time_zone, rule, until, count, last_end, object_id, nominal_days, series_id, recurrence_id) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)");
  if (s == nullptr) return false;
  bindText(s, 1, event.calendarItemIdentifier);
  bindText(s, 2, event.externalIdentifier);
  bindText(s, 3, nfc(event.externalIdentifier));
  sqlite3_bind_int64(s, 4, calendarId);
  bindOptionalText(s, 5, event.title);
  sqlite3_bind_double(s, 6, event.start);
  sqlite3_bind_double(s, 7, event.end);
  sqlite3_bind_int(s, 8, event.allDay ? 1 : 0);
  sqlite3_bind_int(s, 9, static_cast<int>(event.status));
  bindOptionalText(s, 10, event.timeZone);
  bindOptionalText(s, 11, event.rule);
  bindOptionalReal(s, 12, event.until);
  if (event.count) sqlite3_bind_int64(s, 13, *event.count);
  bindOptionalReal(s, 14, lastEnd);
  if (objectId) sqlite3_bind_int64(s, 15, *objectId);
  if (event.rule && event.nominalDays != 0) sqlite3_bind_int64(s, 16, event.nominalDays);
  if (seriesId && event.recurrenceId) {
    sqlite3_bind_int64(s, 17, *seriesId);
    sqlite3_bind_int64(s, 18, event.recurrenceId->wall);
  }
  if (!run(s)) return false;
  std::int64_t id = sqlite3_last_insert_rowid(db_);
  for (const ExtraDate& extra : event.rule ? event.extraDates : std::vector<ExtraDate>{}) {
    StatementUse e = statement("INSERT OR IGNORE INTO extra_dates(event_id, wall, duration) VALUES(?1, ?2, ?3)");
    if (e == nullptr) return false;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, extra.wall);
    bindOptionalReal(e, 3, extra.duration);
    if (!run(e)) return false;
  }
  for (std::int64_t wall : event.excluded) {
    StatementUse e = statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
    if (e == nullptr) return false;
    sqlite3_bind_int64(e, 1, id);
    sqlite3_bind_int64(e, 2, wall);
    if (!run(e)) return false;
  }
  lastInserted_ = id;
  if (!event.rule && !seriesId) {
    sqlite3_stmt* longest =
        statement("UPDATE settings SET value = ?1 WHERE name = 'longest_event' AND value < ?1");
    if (longest == nullptr) return false;
    sqlite3_bind_double(longest, 1, event.end - event.start);
    if (!run(longest)) return false;
  }
  return true;
}

std::vector<std::optional<std::size_t>> SqliteStore::linkOverrides(std::vector<StoredEvent>& events) {
  std::vector<std::optional<std::size_t>> parents(events.size());
  std::map<std::string, std::size_t> seriesByUid;  // the first event of a UID that changes no occurrence
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) seriesByUid.emplace(nfc(events[i].externalIdentifier), i);
  }
  std::map<std::size_t, std::vector<std::size_t>> changesOf;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) continue;
    auto series = seriesByUid.find(nfc(events[i].externalIdentifier));
    if (series == seriesByUid.end()) {
      events[i].recurrenceId.reset();  // a changed occurrence of a series not given: all there is of it
      continue;
    }
    changesOf[series->second].push_back(i);
  }
  auto seriesOf = [&](const StoredEvent& event) { return seriesFromStored(event); };
  auto wallOfStart = [&](const StoredEvent& event) {
    const auto start = static_cast<std::int64_t>(std::floor(event.start));
    const Zone* zone = event.timeZone ? zones_.find(*event.timeZone) : nullptr;
    return zone != nullptr ? epochToWall(*zone, start) : start;
  };
  for (auto& [master, changes] : changesOf) {
    // A single event with changes is a series of its start alone.
    if (!events[master].rule) events[master].rule = "";
    std::stable_sort(changes.begin(), changes.end(), [&](std::size_t a, std::size_t b) {
      return events[a].recurrenceId->wall < events[b].recurrenceId->wall;
    });
    // A THISANDFUTURE change splits the series: the part before it ends
    // there, and the change starts a series of its own with the rest of the
    // occurrences, moved by as much as the change moved its own. Later
    // changes name occurrences by their original starts, so each part keeps
    // how far it moved them.
    struct Part {
      std::size_t index;
      std::int64_t from;  // original wall of its first occurrence
      std::int64_t shift;
    };
    std::vector<Part> parts{{master, std::numeric_limits<std::int64_t>::min(), 0}};
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (!change.recurrenceId->thisAndFuture || !convertible(change.start)) continue;
      StoredEvent& part = events[parts.back().index];
      const std::int64_t at = change.recurrenceId->wall + parts.back().shift;
      Series series = seriesOf(part);
      series.excluded = part.excluded;
      std::optional<std::int64_t> left = part.count;
      if (part.count) {
        auto made = madeBefore(series, at, 100000);
        if (made) left = *part.count - *made;
      }
      if (part.rule->empty() || (left && *left <= 0)) {
        change.recurrenceId->thisAndFuture = false;  // nothing after it: a change of one occurrence
        continue;
      }
      const std::int64_t delta = wallOfStart(change) - at;
      change.rule = part.rule;
      change.count = left;
      change.until.reset();
      if (part.until) change.until = *part.until + static_cast<double>(delta);
      change.nominalDays = 0;
      change.excluded.clear();
      for (std::int64_t wall : part.excluded) {
        if (wall >= at) change.excluded.push_back(wall + delta);
      }
      change.extraDates.clear();
      for (const ExtraDate& extra : part.extraDates) {
        if (extra.wall >= at) change.extraDates.push_back(ExtraDate{extra.wall + delta, extra.duration});
      }
      std::erase_if(part.excluded, [&](std::int64_t wall) { return wall >= at; });
      std::erase_if(part.extraDates, [&](const ExtraDate& extra) { return extra.wall >= at; });
      const double end = series.floating ? static_cast<double>(at) - 1
                                         : static_cast<double>(wallToEpoch(*series.zone, at)) - 1;
      part.until = part.until ? std::min(*part.until, end) : end;
      part.count.reset();
      // The first occurrence is always there, whatever the end: changed from its start on, it goes.
      const std::int64_t first = wallOfStart(part);
      if (at <= first) part.excluded.insert(std::lower_bound(part.excluded.begin(), part.excluded.end(), first), first);
      parents[i] = master;
      parts.push_back(Part{i, change.recurrenceId->wall, wallOfStart(change) - change.recurrenceId->wall});
    }
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (change.recurrenceId->thisAndFuture && parents[i]) continue;
      change.recurrenceId->thisAndFuture = false;
      const Part* holder = &parts.front();
      for (const Part& part : parts) {
        if (part.from <= change.recurrenceId->wall) holder = &part;
      }
      change.recurrenceId->wall += holder->shift;
      parents[i] = holder->index;
    }
  }
  return parents;
}

bool SqliteStore::insertLinked(std::int64_t calendarId, std::vector<StoredEvent>& events,
                               const std::vector<std::optional<std::size_t>>& parents,
                               const std::vector<std::optional<double>>& lastEnds,
                               const std::vector<std::optional<std::int64_t>>& objectIds) {
  // A series before the parts split off it, and those before their changed occurrences.
  std::vector<std::int64_t> ids(events.size(), 0);
  auto depth = [&](std::size_t i) {
    int d = 0;
    for (auto p = parents[i]; p && d < 3; p = parents[*p]) ++d;
    return d;
  };
  for (int level = 0; level < 3; ++level) {
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (depth(i) != level) continue;
      if (!keepDefinedZone(events[i])) return false;
      std::optional<std::int64_t> seriesId;
      if (parents[i]) seriesId = ids[*parents[i]];
      if (!insertEvent(calendarId, events[i], lastEnds[i], objectIds[i], seriesId)) return false;
      ids[i] = lastInserted_;
    }
  }
  return true;
}

bool SqliteStore::saveEvent(Event& event, Span, bool commit) {
  if (!usable_ || event.calendarItemIdentifier || !event.calendar) return false;
  std::optional<StoredEvent> form = storedFormOf(event, zones_);
  if (!form) return false;
  StoredEvent& stored = *form;
  const std::string calendarIdentifier = event.calendar->calendarIdentifier;
  // Worked out before the lock is taken: a long series is walked while others may still write.
  const std::optional<double> lastEnd = lastEndFor(stored);
  bool saved = change(commit, [&] {
    // Looked up under the lock, by identifier: the event goes into the calendar
    // the request named, or nowhere, whatever happened to it meanwhile.
    const CalendarRow* calendar = findCalendar(calendarIdentifier);
    if (calendar == nullptr || !calendar->calendar->allowsContentModifications) return false;
    if (!calendar->replica) return insertEvent(calendar->id, stored, lastEnd);
    // A replica's new event is a new object on its server, made at the commit.
    if (publisher_ == nullptr) return false;
    auto text = objectTextOf(stored, zones(), static_cast<std::int64_t>(std::time(nullptr)));
    StatementUse u = statement("SELECT remote_url FROM calendars WHERE id = ?1 AND remote_url IS NOT NULL");
    if (!text || u == nullptr) return false;
    sqlite3_bind_int64(u, 1, calendar->id);
    bool row = false;
    if (!step(u, &row) || !row) return false;
    std::string url = columnText(u, 0);
    if (url.empty() || url.back() != '/') url += '/';
    StatementUse o = statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, '', ?3)");
    if (o == nullptr) return false;
    sqlite3_bind_int64(o, 1, calendar->id);
    bindText(o, 2, url + newUuid() + ".ics");
    bindText(o, 3, *text);
    if (!run(o)) return false;
    const std::int64_t objectId = sqlite3_last_insert_rowid(db_);
    return insertEvent(calendar->id, stored, lastEnd, objectId) &&
           stageReplicaChange(objectId, ObjectChange::Kind::create, *text, std::nullopt);
  });
  if (!saved) return false;
  event.calendarItemIdentifier = stored.calendarItemIdentifier;
  event.calendarItemExternalIdentifier = stored.externalIdentifier;
  event.eventIdentifier = stored.calendarItemIdentifier;
  event.timeZone = stored.timeZone;
  event.occurrenceDate = event.startDate;
  return true;
}

std::int64_t SqliteStore::partShift(const CachedSeries& cached) {
  if (!cached.row.seriesId || !cached.row.recurrenceId || !convertible(cached.series.start)) return 0;
  const auto start = static_cast<std::int64_t>(std::floor(cached.series.start));
  return (cached.series.floating ? start : epochToWall(*cached.series.zone, start)) - *cached.row.recurrenceId;
}

bool SqliteStore::removeFromSeries(CachedSeries& cached, double occurrenceStart, Span span) {
  const std::int64_t id = cached.row.id;
  const std::int64_t calendarId = cached.row.calendarId;
  // A part split off a series names where it came from; the parts after it
  // go when it ends, and they are found by their original starts.
  const std::int64_t origin = cached.row.seriesId.value_or(id);
  const std::int64_t shift = partShift(cached);
  const bool related = !cached.overrides.empty() || cached.row.seriesId || !cached.series.extraDates.empty();
  auto laterParts = [&](std::int64_t wall) {
    StatementUse t = statement(
        "DELETE FROM events WHERE series_id = ?1 AND rule IS NOT NULL AND recurrence_id >= ?2 AND id != ?3");
    if (t == nullptr) return false;
    sqlite3_bind_int64(t, 1, origin);
    sqlite3_bind_int64(t, 2, wall - shift);
    sqlite3_bind_int64(t, 3, id);
    return run(t);
  };
  auto removeAll = [&] {
    if (cached.row.seriesId && cached.row.recurrenceId) {
      // A part split off a series: the object keeps the series, ended where the part began.
      if (!editObject(id, {ObjectEdit::Kind::endBefore, *cached.row.recurrenceId})) return false;
    } else {
      // The whole object goes (with every row read from it): nothing of the series is left to keep a text for.
      if (!removeObjectOf(id)) return false;
    }
    StatementUse s = statement("DELETE FROM events WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    if (!run(s)) return false;
    if (cached.row.seriesId && cached.row.recurrenceId && !laterParts(*cached.row.recurrenceId + shift)) return false;
    if (related) {
      seriesCache_.erase(calendarId);
      return true;
    }
    std::erase_if(seriesIn(calendarId), [&](const CachedSeries& c) { return c.row.id == id; });
    return true;
  };
  RemovalPlan plan = planRemoval(cached.series, occurrenceStart, span);
  // Changed occurrences that stay keep the series, though the rule has nothing left.
  if (plan.kind == RemovalPlan::Kind::removeAll && span == Span::thisEvent &&
      (!cached.overrides.empty() || hasParts(calendarId, id))) {
    plan.kind = RemovalPlan::Kind::exclude;
  }
  switch (plan.kind) {
    case RemovalPlan::Kind::none: return false;
    case RemovalPlan::Kind::removeAll: return removeAll();
    case RemovalPlan::Kind::exclude: {
      StatementUse s = statement("INSERT INTO excluded(event_id, wall) VALUES(?1, ?2)");
      if (s == nullptr) return false;
      sqlite3_bind_int64(s, 1, id);
      sqlite3_bind_int64(s, 2, plan.wall);
      if (!run(s) || !editObject(id, {ObjectEdit::Kind::exclude, plan.wall - shift})) return false;
      auto& excluded = cached.series.excluded;  // the cache takes the exclusion only once the database has
      excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), plan.wall), plan.wall);
      return true;
    }
    case RemovalPlan::Kind::endBefore: break;
  }
  Series& ended = plan.ended;
  std::optional<double> lastEnd = lastEndOf(ended);
  StatementUse s = statement("UPDATE events SET until = ?2, count = NULL, last_end = ?3 WHERE id = ?1");
  StatementUse e = statement("DELETE FROM excluded WHERE event_id = ?1 AND wall >= ?2");
  if (s == nullptr || e == nullptr) return false;
  sqlite3_bind_int64(s, 1, id);
  sqlite3_bind_double(s, 2, *ended.until);
  bindOptionalReal(s, 3, lastEnd);
  sqlite3_bind_int64(e, 1, id);
  sqlite3_bind_int64(e, 2, plan.wall);
  if (!run(s) || !run(e) || !editObject(id, {ObjectEdit::Kind::endBefore, plan.wall - shift})) return false;
  if (related) {
    // Later extra dates, changed occurrences and parts go with the occurrences they belong to.
    StatementUse r = statement("DELETE FROM extra_dates WHERE event_id = ?1 AND wall >= ?2");
    StatementUse o = statement("DELETE FROM events WHERE series_id = ?1 AND rule IS NULL AND recurrence_id >= ?2");
    if (r == nullptr || o == nullptr) return false;
    sqlite3_bind_int64(r, 1, id);
    sqlite3_bind_int64(r, 2, plan.wall);
    sqlite3_bind_int64(o, 1, id);
    sqlite3_bind_int64(o, 2, plan.wall);
    if (!run(r) || !run(o) || !laterParts(plan.wall)) return false;
    seriesCache_.erase(calendarId);
    return true;
  }
  cached.series = std::move(ended);
  cached.row.until = cached.series.until;
  cached.row.count.reset();
  cached.row.lastEnd = lastEnd;
  return true;
}

bool SqliteStore::hasParts(std::int64_t calendarId, std::int64_t id) {
  for (const CachedSeries& cached : seriesIn(calendarId)) {
    if (cached.row.seriesId == id) return true;
  }
  return false;
}

bool SqliteStore::removeOverride(const EventRow& row, Span span) {
  EventRow key;
  key.id = *row.seriesId;
  key.calendarId = row.calendarId;
  CachedSeries* cached = cachedSeries(key);
  if (cached == nullptr || !row.recurrenceId) return false;
  const std::int64_t wall = *row.recurrenceId;
  {
    // Reset before the removal below takes the same statement again.
    StatementUse d = statement("DELETE FROM events WHERE id = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, row.id);
    if (!run(d)) return false;
  }
  std::erase_if(cached->overrides, [&](const Override& o) { return o.row.id == row.id; });
  auto& replaced = cached->series.replaced;
  if (auto at = std::lower_bound(replaced.begin(), replaced.end(), wall); at != replaced.end() && *at == wall) {
    replaced.erase(at);
  }
  if (span == Span::futureEvents) {
    // From the occurrence it stood in for on, which the series still has by its rule.
    const double fraction = cached->series.start - std::floor(cached->series.start);
    const double start =
        static_cast<double>(cached->series.floating ? wall : wallToEpoch(*cached->series.zone, wall)) + fraction;
    if (removeFromSeries(*cached, start, span)) return true;
  }
  // It stays hidden; a series left with nothing at all goes.
  StatementUse x = statement("INSERT OR IGNORE INTO excluded(event_id, wall) VALUES(?1, ?2)");
  if (x == nullptr) return false;
  sqlite3_bind_int64(x, 1, key.id);
  sqlite3_bind_int64(x, 2, wall);
  // The object's text names occurrences by their original starts.
  if (!run(x) || !editObject(key.id, {ObjectEdit::Kind::exclude, wall - partShift(*cached)})) return false;
  auto& excluded = cached->series.excluded;
  if (!std::binary_search(excluded.begin(), excluded.end(), wall)) {
    excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), wall), wall);
  }
  const bool empty = cached->overrides.empty() && !cached->row.seriesId && !hasParts(row.calendarId, key.id) &&
                     nothingLeft(cached->series);
  seriesCache_.erase(row.calendarId);
  if (!empty) return true;
  StatementUse s = statement("DELETE FROM events WHERE id = ?1");
  if (s == nullptr || !removeObjectOf(key.id)) return false;
  sqlite3_bind_int64(s, 1, key.id);
  return run(s);
}

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
    const std::vector<std::optional<std::size_t>> parents = linkOverrides(events);
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

bool SqliteStore::removeEvent(const Event& event, Span span, bool commit) {
  if (!usable_ || !event.calendarItemIdentifier) return false;
  return change(commit, [&] {
    if (event.eventIdentifier && *event.eventIdentifier != *event.calendarItemIdentifier) {
      // A changed occurrence, or an occurrence of a part split off its series.
      EventRow row;
      {
        StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE item_id = ?1");
        if (s == nullptr) return false;
        bindText(s, 1, *event.eventIdentifier);
        bool found = false;
        if (!step(s, &found) || !found) return false;
        row = EventRow::read(s);
      }
      const CalendarRow* calendar = findCalendar(row.calendarId);
      if (calendar == nullptr || !calendar->calendar->allowsContentModifications || !row.seriesId) return false;
      if (!row.rule) return removeOverride(row, span);
      CachedSeries* part = cachedSeries(row);
      auto occurrence = event.occurrenceDate ? event.occurrenceDate : event.startDate;
      return part != nullptr && occurrence && removeFromSeries(*part, *occurrence, span);
    }
    const std::string& itemId = *event.calendarItemIdentifier;
    // An occurrence of a series is found in the cache; anything else by its row.
    CachedSeries* series = nullptr;
    const CalendarRow* calendar = event.calendar ? findCalendar(event.calendar->calendarIdentifier) : nullptr;
    if (calendar != nullptr) {
      for (auto& cached : seriesIn(calendar->id)) {
        if (cached.row.itemId == itemId) {
          series = &cached;
          break;
        }
      }
    }
    std::optional<EventRow> single;
    if (series == nullptr) {
      StatementUse s = statement(CALBRIDGE_SELECT_EVENTS "WHERE item_id = ?1");
      if (s == nullptr) return false;
      bindText(s, 1, itemId);
      bool found = false;
      if (!step(s, &found) || !found) return false;
      EventRow row = EventRow::read(s);
      if (row.rule) {
        series = cachedSeries(row);
        if (series == nullptr) return false;
      } else {
        single = std::move(row);
      }
    }
    const std::int64_t calendarId = series != nullptr ? series->row.calendarId : single->calendarId;
    calendar = findCalendar(calendarId);
    if (calendar == nullptr || !calendar->calendar->allowsContentModifications) return false;
    if (single) {
      if (calendar->replica) {
        // The server's object goes whole, which is right only for an object of this event alone.
        auto objectId = objectOf(single->id);
        StatementUse n = statement("SELECT COUNT(*) FROM events WHERE object_id = ?1");
        if (!objectId || n == nullptr) return false;
        sqlite3_bind_int64(n, 1, *objectId);
        bool row = false;
        if (!step(n, &row) || !row || sqlite3_column_int64(n, 0) != 1) return false;
        if (!stageReplicaChange(*objectId, ObjectChange::Kind::remove, std::nullopt, std::nullopt)) return false;
      }
      // An object that held only this event goes with it.
      StatementUse o = statement(
          "DELETE FROM objects WHERE id = (SELECT object_id FROM events WHERE id = ?1) "
          "AND (SELECT COUNT(*) FROM events WHERE object_id = objects.id) = 1");
      StatementUse d = statement("DELETE FROM events WHERE id = ?1");
      if (o == nullptr || d == nullptr) return false;
      sqlite3_bind_int64(o, 1, single->id);
      if (!run(o)) return false;
      sqlite3_bind_int64(d, 1, single->id);
      singlesCache_.erase(calendarId);
      return run(d);
    }
    auto occurrence = event.occurrenceDate ? event.occurrenceDate : event.startDate;
    if (!occurrence) return false;
    return removeFromSeries(*series, *occurrence, span);
  });
}

bool SqliteStore::saveCalendar(Calendar& calendar, bool commit) {
  if (!usable_ || !calendar.calendarIdentifier.empty() || !calendar.source) return false;
  auto sourceId = findSource(calendar.source->sourceIdentifier);
  if (!sourceId) return false;
  // A calendar of an account kept in step with a server is made there first:
  // one made only here would be taken away again by the next sync.
  auto identifier = isRemoteAccount(*sourceId) ? makeReplicaCalendar(calendar, *sourceId, commit)
                                               : insertCalendar(calendar, sourceId, commit);
  if (!identifier) return false;
  calendar.calendarIdentifier = *identifier;
  return true;
}

std::optional<std::string> SqliteStore::insertCalendar(const Calendar& calendar, std::optional<std::int64_t> sourceId,
                                                       bool commit) {
  std::string identifier = newUuid();
  bool inserted = change(commit, [&] {
    StatementUse s = statement(
        "INSERT INTO calendars(identifier, title, color_space, color_components, writable, immutable, source_id) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindCalendarFields(s, calendar);
    if (sourceId) sqlite3_bind_int64(s, 7, *sourceId);
    return run(s);
  });
  calendarRows_.reset();
  if (!inserted) return std::nullopt;
  return identifier;
}

bool SqliteStore::removeCalendar(const Calendar& calendar, bool commit) {
  return removeCalendarRow(calendar.calendarIdentifier, false, commit);
}

bool SqliteStore::deleteCalendar(std::string_view identifier) { return removeCalendarRow(identifier, true, true); }

bool SqliteStore::removeCalendarRow(std::string_view identifier, bool evenImmutable, bool commit) {
  // A replica's collection goes on the server first, and before the write
  // lock is taken, so that other writers do not wait on the server. The
  // owner's tool (no publisher) may still drop a replica calendar here only,
  // and the next sync brings it back.
  bool goneFromServer = false;
  if (const CalendarRow* row = publisher_ != nullptr ? findCalendar(identifier) : nullptr; row && row->replica) {
    if (row->calendar->isImmutable && !evenImmutable) return false;
    auto account = row->calendar->source ? findSource(row->calendar->source->sourceIdentifier) : std::nullopt;
    auto remote = account ? remoteAccount(*account) : std::nullopt;
    if (!remote || row->remoteUrl.empty() || !publisher_->removeCalendar(*remote, row->remoteUrl)) return false;
    goneFromServer = true;
  }
  bool removed = change(commit, [&] {
    // Looked up under the lock: a request removes the calendar it named, or none.
    const CalendarRow* row = findCalendar(identifier);
    // A sync that ran meanwhile may have taken it out already.
    if (row == nullptr) return goneFromServer;
    if (!goneFromServer && row->calendar->isImmutable && !evenImmutable) return false;
    if (row->replica && !goneFromServer && !evenImmutable) return false;
    const std::int64_t id = row->id;
    StatementUse d = statement("DELETE FROM settings WHERE name = 'default_calendar' AND value = ?1");
    if (d == nullptr) return false;
    sqlite3_bind_int64(d, 1, id);
    if (!run(d)) return false;
    StatementUse s = statement("DELETE FROM calendars WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    return run(s) && sqlite3_changes(db_) == 1;
  });
  calendarRows_.reset();
  return removed;
}

bool SqliteStore::setAuthorizationStatus(AuthorizationStatus status) {
  return change(true, [&] {
    StatementUse s = statement("UPDATE settings SET value = ?1 WHERE name = 'authorization'");
    if (s == nullptr) return false;
    sqlite3_bind_int(s, 1, static_cast<int>(status));
    return run(s);
  });
}

std::optional<std::string> SqliteStore::addSource(const std::string& title, SourceType type) {
  std::string identifier = newUuid();
  bool added = change(true, [&] {
    StatementUse s = statement("INSERT INTO sources(identifier, title, type) VALUES(?1, ?2, ?3)");
    if (s == nullptr) return false;
    bindText(s, 1, identifier);
    bindText(s, 2, title);
    sqlite3_bind_int(s, 3, static_cast<int>(type));
    return run(s);
  });
  if (!added) return std::nullopt;
  return identifier;
}

bool SqliteStore::removeSource(std::string_view identifier) {
  bool removed = change(true, [&] {
    auto id = findSource(identifier);
    if (!id) return false;
    if (isRemoteAccount(*id)) {
      // A replica goes with its account; the server keeps the calendars.
      StatementUse d = statement(
          "DELETE FROM settings WHERE name = 'default_calendar' AND value IN "
          "(SELECT id FROM calendars WHERE source_id = ?1)");
      StatementUse c = statement("DELETE FROM calendars WHERE source_id = ?1");
      if (d == nullptr || c == nullptr) return false;
      sqlite3_bind_int64(d, 1, *id);
      sqlite3_bind_int64(c, 1, *id);
      if (!run(d) || !run(c)) return false;
    }
    StatementUse used = statement("SELECT 1 FROM calendars WHERE source_id = ?1");
    if (used == nullptr) return false;
    sqlite3_bind_int64(used, 1, *id);
    if (sqlite3_step(used) != SQLITE_DONE) return false;
    StatementUse s = statement("DELETE FROM sources WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, *id);
    return run(s);
  });
  calendarRows_.reset();
  return removed;
}

std::optional<std::string> SqliteStore::addCalendar(const Calendar& calendar) {
  std::optional<std::int64_t> sourceId;
  if (calendar.source) {
    sourceId = findSource(calendar.source->sourceIdentifier);
    if (!sourceId) return std::nullopt;
  }
  return insertCalendar(calendar, sourceId, true);
}

bool SqliteStore::updateCalendar(const Calendar& calendar) {
  bool updated = change(true, [&] {
    const CalendarRow* row = findCalendar(calendar.calendarIdentifier);
    if (row == nullptr) return false;
    const std::int64_t id = row->id;
    StatementUse s = statement(
        "UPDATE calendars SET title = ?2, color_space = ?3, color_components = ?4, writable = ?5, immutable = ?6 "
        "WHERE id = ?1");
    if (s == nullptr) return false;
    sqlite3_bind_int64(s, 1, id);
    bindCalendarFields(s, calendar);
    return run(s);
  });
  calendarRows_.reset();
  return updated;
}

bool SqliteStore::setDefaultCalendar(std::optional<std::string_view> identifier) {
  return change(true, [&] {
    std::optional<std::int64_t> id;
    if (identifier) {
      const CalendarRow* row = findCalendar(*identifier);
      if (row == nullptr) return false;
      id = row->id;
    }
    StatementUse s = id ? statement("INSERT OR REPLACE INTO settings(name, value) VALUES('default_calendar', ?1)")
                         : statement("DELETE FROM settings WHERE name = 'default_calendar'");
    if (s == nullptr) return false;
    if (id) sqlite3_bind_int64(s, 1, *id);
    return run(s);
  });
}

bool SqliteStore::keepDefinedZone(const StoredEvent& event) {
  // A zone a file defined for itself is kept with the first event that uses it.
  if (!event.timeZone || !isDefinedZoneName(*event.timeZone)) return true;
  const Zone* zone = zones_.find(*event.timeZone);
  StatementUse z = statement("INSERT OR IGNORE INTO defined_zones(name, definition) VALUES(?1, ?2)");
  if (zone == nullptr || z == nullptr) return false;
  bindText(z, 1, zone->name);
  bindText(z, 2, zoneText(*zone));
  return run(z);
}

bool SqliteStore::importEvents(std::string_view calendarIdentifier, std::vector<StoredEvent>& events,
                               std::span<const KeptObject> objects) {
  if (!usable_) return false;
  // Every series is worked out first: the lock is then held only for the
  // inserts, and other hosts wait for those, not for the walking.
  const std::vector<std::optional<std::size_t>> parents = linkOverrides(events);
  std::vector<std::optional<double>> lastEnds;
  lastEnds.reserve(events.size());
  for (const StoredEvent& event : events) lastEnds.push_back(lastEndFor(event));
  return change(true, [&] {
    const CalendarRow* row = findCalendar(calendarIdentifier);
    // A replica's events come from its server, and the next sync would not know these.
    if (row == nullptr || row->replica) return false;
    const std::int64_t id = row->id;
    // An event whose UID the calendar already holds is an update of it, as
    // calendar programs read a file: the file's version replaces the stored one,
    // and importing a file twice leaves one copy.
    std::set<std::string> uids;
    for (const StoredEvent& event : events) uids.insert(nfc(event.externalIdentifier));
    for (const std::string& uid : uids) {
      StatementUse d = statement("DELETE FROM events WHERE calendar_id = ?1 AND external_key = ?2");
      if (d == nullptr) return false;
      sqlite3_bind_int64(d, 1, id);
      bindText(d, 2, uid);
      if (!run(d)) return false;
      replaced_ += static_cast<std::size_t>(sqlite3_changes(db_));
    }
    // The replaced events' kept texts go with them.
    if (!uids.empty()) {
      StatementUse o = statement(
          "DELETE FROM objects WHERE calendar_id = ?1 AND NOT EXISTS (SELECT 1 FROM events e WHERE e.object_id = objects.id)");
      if (o == nullptr) return false;
      sqlite3_bind_int64(o, 1, id);
      if (!run(o)) return false;
    }
    std::map<std::string, std::int64_t> objectIds;  // by UID
    for (const KeptObject& object : objects) {
      // A local object has no server; its name is one a server would give it.
      StatementUse s = statement("INSERT INTO objects(calendar_id, url, etag, data) VALUES(?1, ?2, '', ?3)");
      if (s == nullptr) return false;
      sqlite3_bind_int64(s, 1, id);
      bindText(s, 2, newUuid() + ".ics");
      bindText(s, 3, object.text);
      if (!run(s)) return false;
      objectIds.emplace(nfc(object.uid), sqlite3_last_insert_rowid(db_));
    }
    seriesCache_.erase(id);
    singlesCache_.erase(id);
    std::vector<std::optional<std::int64_t>> objectOfEach(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (auto found = objectIds.find(nfc(events[i].externalIdentifier)); found != objectIds.end()) {
        objectOfEach[i] = found->second;
      }
    }
    return insertLinked(id, events, parents, lastEnds, objectOfEach);
  });
}

std::optional<SqliteStore::ExportedCalendar> SqliteStore::exportedCalendar(std::string_view calendarIdentifier) {
  const CalendarRow* calendar = usable_ ? findCalendar(calendarIdentifier) : nullptr;
  if (calendar == nullptr) return std::nullopt;
  const std::int64_t calendarId = calendar->id;
  auto events = storedEvents(calendarIdentifier);
  if (!events) return std::nullopt;
  ExportedCalendar exported;
  std::set<std::string> kept;  // item ids of events whose object's text is written
  {
    StatementUse s = statement("SELECT item_id FROM events WHERE calendar_id = ?1 AND object_id IS NOT NULL");
    if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
    bool row = false;
    while (step(s, &row) && row) kept.insert(columnText(s, 0));
  }
  {
    StatementUse s = statement("SELECT data FROM objects WHERE calendar_id = ?1 ORDER BY id");
    if (s != nullptr) sqlite3_bind_int64(s, 1, calendarId);
    bool row = false;
    while (step(s, &row) && row) exported.objects.push_back(columnText(s, 0));
  }
  if (readFailed_) return std::nullopt;
  for (StoredEvent& event : *events)
    if (!kept.count(event.calendarItemIdentifier)) exported.events.push_back(std::move(event));
  return exported;
}

std::optional<std::vector<StoredEvent>> SqliteStore::storedEvents(std::string_view calendarIdentifier) {
  const CalendarRow* calendar = usable_ ? findCalendar(calendarIdentifier) : nullptr;
  if (calendar == nullptr) return std::nullopt;
  StatementUse s = statement(
      CALBRIDGE_SELECT_EVENTS
        "WHERE calendar_id = ?1 ORDER BY id");
  if (s != nullptr) sqlite3_bind_int64(s, 1, calendar->id);
  std::vector<EventRow> rows;
  bool row = false;
  while (step(s, &row) && row) rows.push_back(EventRow::read(s));
  if (readFailed_) return std::nullopt;
  std::vector<StoredEvent> events;
  for (const EventRow& r : rows) {
    StoredEvent event;
    event.calendarItemIdentifier = r.itemId;
    event.externalIdentifier = r.externalId;
    event.title = r.title;
    event.start = r.start;
    event.end = r.end;
    event.allDay = r.allDay;
    event.status = r.status;
    event.timeZone = r.timeZone;
    event.rule = r.rule;
    event.until = r.until;
    event.count = r.count;
    event.nominalDays = r.rule ? r.nominalDays : 0;
    if (r.rule) {
      CachedSeries* cached = cachedSeries(r);
      if (cached != nullptr) {
        event.excluded = cached->series.excluded;
        event.extraDates = cached->series.extraDates;
      }
    }
    if (r.seriesId && r.recurrenceId) event.recurrenceId = ReplacedOccurrence{*r.recurrenceId, r.rule.has_value()};
    events.push_back(std::move(event));
  }
  if (readFailed_) return std::nullopt;
  rejoinSplits(rows, events);
  return events;
}

void SqliteStore::rejoinSplits(const std::vector<EventRow>& rows, std::vector<StoredEvent>& events) {
  // A series split at THISANDFUTURE changes is written as it came: whole, with
  // the changes beside it, which name where each part begins. So the series
  // takes back the end and the exclusions and extra dates of its last parts,
  // in its own terms (each part moved its occurrences by the same amount).
  std::map<std::int64_t, std::size_t> byId;
  for (std::size_t i = 0; i < rows.size(); ++i) byId.emplace(rows[i].id, i);
  std::map<std::size_t, std::vector<std::size_t>> partsOf;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].rule || !rows[i].seriesId || !rows[i].recurrenceId) continue;
    if (auto master = byId.find(*rows[i].seriesId); master != byId.end()) partsOf[master->second].push_back(i);
  }
  for (auto& [master, parts] : partsOf) {
    std::sort(parts.begin(), parts.end(), [&](std::size_t a, std::size_t b) {
      return *rows[a].recurrenceId < *rows[b].recurrenceId;
    });
    StoredEvent& whole = events[master];
    const Series original = seriesFrom(rows[master]);
    auto wallOfStart = [&](std::size_t i) {
      const Series series = seriesFrom(rows[i]);
      const auto start = static_cast<std::int64_t>(std::floor(rows[i].start));
      return series.floating || !convertible(rows[i].start) ? start : epochToWall(*series.zone, start);
    };
    // The first occurrence hidden at the split, when a part began there, is the part's again.
    const std::int64_t first = wallOfStart(master);
    if (*rows[parts.front()].recurrenceId <= first) std::erase(whole.excluded, first);
    for (std::size_t part : parts) {
      const std::int64_t shift = wallOfStart(part) - *rows[part].recurrenceId;
      for (std::int64_t wall : events[part].excluded) whole.excluded.push_back(wall - shift);
      for (const ExtraDate& extra : events[part].extraDates) {
        whole.extraDates.push_back(ExtraDate{extra.wall - shift, extra.duration});
      }
    }
    const std::size_t last = parts.back();
    const std::int64_t shift = wallOfStart(last) - *rows[last].recurrenceId;
    whole.until.reset();
    whole.count.reset();
    if (events[last].until) whole.until = *events[last].until - static_cast<double>(shift);
    if (events[last].count) {
      Series open = original;
      open.until.reset();
      open.count.reset();
      if (auto made = madeBefore(open, *rows[last].recurrenceId, 100000)) whole.count = *made + *events[last].count;
    }
    std::sort(whole.excluded.begin(), whole.excluded.end());
    whole.excluded.erase(std::unique(whole.excluded.begin(), whole.excluded.end()), whole.excluded.end());
    std::sort(whole.extraDates.begin(), whole.extraDates.end(),
              [](const ExtraDate& a, const ExtraDate& b) { return a.wall < b.wall; });
    // A change of one occurrence of a part names it by its original start again.
    for (std::size_t part : parts) {
      const std::int64_t moved = wallOfStart(part) - *rows[part].recurrenceId;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].rule && rows[i].seriesId == rows[part].id && events[i].recurrenceId) {
          events[i].recurrenceId->wall -= moved;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Replicas of CalDAV accounts.

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
    const std::vector<std::optional<std::size_t>> parents = linkOverrides(events);
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
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at, "
      "token_command "
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
      "SELECT identifier, title, url, single_calendar, user_name, password_command, ca_file, synced_at, sync_tried_at, "
      "token_command "
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
