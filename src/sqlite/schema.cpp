#include "sqlite/schema.h"

#include "calendar/store.h"
#include "sqlite/columns.h"

#include <chrono>
#include <string>
#include <thread>

namespace calbridge::sqlite {

namespace {

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

}  // namespace

Status migrate(Database& db, bool inMemory) {
  sqlite3* handle = db.handle();
  auto readVersion = [handle]() -> std::optional<int> {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(handle, "PRAGMA user_version", -1, &s, nullptr) != SQLITE_OK) return std::nullopt;
    std::optional<int> version;
    if (sqlite3_step(s) == SQLITE_ROW) version = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return version;
  };
  // Reading the header is also the check that this is a database at all; a
  // damaged or foreign file stops here, untouched.
  auto version = readVersion();
  if (!version) return Status::ioError("not a database, or it cannot be read");
  if (*version > kSchemaVersion || *version < 0) return Status::invalid("a schema this version does not know");
  if (*version == kSchemaVersion) return Status::ok();
  // A file with tables but no version is somebody else's database: leave it be.
  auto holdsNoTables = [handle] {
    sqlite3_stmt* s = nullptr;
    bool empty = sqlite3_prepare_v2(handle, "SELECT count(*) FROM sqlite_master", -1, &s, nullptr) == SQLITE_OK &&
                 sqlite3_step(s) == SQLITE_ROW && sqlite3_column_int(s, 0) == 0;
    sqlite3_finalize(s);
    return empty;
  };
  if (*version == 0 && !holdsNoTables()) return Status::invalid("somebody else's database");

  // The journal mode is chosen outside any transaction; it persists in the file.
  for (int attempt = 0; !inMemory; ++attempt) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(handle, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(s);
    bool wal = rc == SQLITE_ROW && columnText(s, 0) == "wal";
    sqlite3_finalize(s);
    if (wal) break;
    if ((rc & 0xFF) != SQLITE_BUSY || attempt >= kBusyTimeoutMs / 10) {
      return Status::ioError("the journal cannot be set up");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  if (!db.execute("BEGIN IMMEDIATE")) return Status::ioError("cannot begin the migration");
  bool done = false;
  version = readVersion();  // another process may have finished first
  if (version && *version == kSchemaVersion) {
    done = true;
  } else if (version && *version >= 0 && *version < kSchemaVersion) {
    bool fresh = *version == 0;
    done = !fresh || holdsNoTables();
    for (int v = *version; done && v < kSchemaVersion; ++v) {
      done = sqlite3_exec(handle, kMigrations[v], nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (done && fresh) {
      // A new store has one local account and one calendar in it, the default for new events.
      Database::Statement source =
          db.statement("INSERT INTO sources(identifier, title, type) VALUES(?1, 'On This Computer', 0)");
      if (source != nullptr) bindText(source, 1, newUuid());
      Database::Statement calendar = db.run(source) ? db.statement(
          "INSERT INTO calendars(identifier, title, writable, immutable, source_id) "
          "VALUES(?1, 'Calendar', 1, 0, last_insert_rowid())") : Database::Statement(nullptr);
      if (calendar != nullptr) bindText(calendar, 1, newUuid());
      done = db.run(calendar) &&
             db.run(db.statement("INSERT INTO settings(name, value) VALUES('authorization', 0), "
                                 "('default_calendar', last_insert_rowid()), ('longest_event', 0)"));
    }
    std::string setVersion = "PRAGMA user_version=" + std::to_string(kSchemaVersion);
    done = done && db.execute(setVersion.c_str());
  }
  if (done && db.execute("COMMIT")) return Status::ok();
  db.execute("ROLLBACK");
  return Status::ioError("the migration failed");
}

}  // namespace calbridge::sqlite
