// The store's life: where it lives, opening it, its transactions and what it
// caches between them.
#include "sqlite/store_internal.h"

#include "sqlite/schema.h"
#include "sqlite/store_files.h"

#include <cstdlib>
#include <utility>

namespace calbridge {

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

SqliteStore::SqliteStore(std::string path)
    : path_(std::move(path)), db_(std::make_unique<Database>()), caches_(std::make_unique<Caches>()) {}

SqliteStore::~SqliteStore() = default;

bool SqliteStore::open() {
  if (opened_) return usable_;
  opened_ = true;
  const Status status = openDatabase();
  // What the owner can mend is said; any other failure is the caller's to word.
  if (status.kind() == Status::Kind::refused) problem_ = status.message();
  usable_ = status.isOk();
  return usable_;
}

Status SqliteStore::openDatabase() {
  if (path_.empty()) return Status::notFound("no home folder to keep the store in");
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
    std::string problem = folder->open();
    if (problem.empty()) problem = folder->createPrivateFile(name);
    if (problem.empty()) problem = checkDatabaseFiles(*folder, name, &identity);
    if (!problem.empty()) return Status::refused(std::move(problem));
  }
  if (Status opened = db_->open(path_, inMemory); !opened) return opened;
  if (!inMemory) {
    // The first read opens the journal files. Nobody else can add or swap a file
    // in a folder that passed the check, so this second look only confirms that
    // what SQLite opened is what was checked, before anything read is used or
    // anything is written.
    std::pair<dev_t, ino_t> opened{};
    if (!db_->execute("PRAGMA user_version")) return Status::ioError(path_ + ": cannot be read");
    std::string problem = checkDatabaseFiles(*folder, name, &opened);
    if (problem.empty() && opened != identity) problem = path_ + " was replaced while it was opened; try again";
    if (!problem.empty()) return Status::refused(std::move(problem));
  }
  // Foreign keys come on only after migrating: a migration that rebuilds a
  // table must not cascade into the rows that refer to it.
  if (!db_->execute("PRAGMA foreign_keys=OFF")) return Status::ioError(path_ + ": cannot be read");
  if (Status migrated = sqlite::migrate(*db_, inMemory); !migrated) return migrated.within(path_);
  if (!db_->execute("PRAGMA foreign_keys=ON")) return Status::ioError(path_ + ": cannot be read");
  return Status::ok();
}

bool SqliteStore::readFailed() const { return db_->failed(); }

void SqliteStore::setWaitBudget(std::chrono::milliseconds budget) { db_->setWaitBudget(budget); }

bool SqliteStore::shrinkJournal() { return usable_ && db_->checkpoint(); }

bool SqliteStore::commit() {
  if (!usable_) return false;
  return finishTransaction().isOk();
}

Status SqliteStore::finishTransaction() {
  if (!db_->inTransaction()) return Status::ok();
  // The server first: what it refused is not kept here either. A transaction
  // already lost or failed sends nothing, and the commit says why.
  Status status;
  if (!staged_.empty() && !db_->lost() && !db_->failed()) status = publishStaged();
  staged_.clear();
  if (status) {
    status = db_->commit([] { return Status::ok(); });
  } else if (db_->inTransaction()) {
    db_->rollback();
  }
  if (!status) {
    forgetCaches();
    failure_ = status;
  }
  return status;
}

void SqliteStore::forgetCaches() { *caches_ = Caches{}; }

ZoneCache& SqliteStore::zones() {
  if (usable_ && !definedZonesLoaded_) {
    // Few and small: read whole, once; a name always means the same definition.
    Statement s = db_->statement("SELECT name, definition FROM defined_zones");
    bool row = false;
    while (db_->step(s, &row) && row) {
      std::string name = columnText(s, 0);
      if (auto zone = zoneFromText(name, columnText(s, 1))) zones_.add(std::move(*zone));
    }
    definedZonesLoaded_ = !db_->failed();
  }
  return zones_;
}

ZoneCache& SqliteStore::zonesFor(const StoredEvent& event) {
  return event.timeZone && isDefinedZoneName(*event.timeZone) ? zones() : zones_;
}

ZoneCache& SqliteStore::zonesFor(std::span<const StoredEvent> events) {
  for (const StoredEvent& event : events) {
    if (event.timeZone && isDefinedZoneName(*event.timeZone)) return zones();
  }
  return zones_;
}

bool SqliteStore::keepDefinedZone(const StoredEvent& event) {
  if (!event.timeZone || !isDefinedZoneName(*event.timeZone)) return true;
  const Zone* zone = zones_.find(*event.timeZone);
  Statement z = db_->statement("INSERT OR IGNORE INTO defined_zones(name, definition) VALUES(?1, ?2)");
  if (zone == nullptr || z == nullptr) return false;
  bindText(z, 1, zone->name);
  bindText(z, 2, zoneText(*zone));
  return db_->run(z);
}

}  // namespace calbridge
