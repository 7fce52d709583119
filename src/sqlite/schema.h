// The store's tables, and the migrations that bring an older store to them.
#pragma once

#include "base/status.h"
#include "sqlite/database.h"

namespace calbridge::sqlite {

// The schema the migrations build; PRAGMA user_version holds it.
inline constexpr int kSchemaVersion = 7;

// Brings the database to kSchemaVersion in one transaction, a new one with
// its first account and calendar. Refuses, untouched, a file that is not a
// database, one of a newer schema, and one with tables but no version
// (somebody else's database). Runs with foreign keys off: a migration that
// rebuilds a table must not cascade into the rows that refer to it.
Status migrate(Database& db, bool inMemory);

}  // namespace calbridge::sqlite
