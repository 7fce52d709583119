// CalDAV accounts kept in the store: adding one, and bringing its replica in
// step with the server. The CalDAV side knows nothing of the store and the
// store nothing of CalDAV; this is where they meet.
#pragma once

#include "sqlite/sqlite_store.h"

#include <string>

namespace calbridge {

// What happened, for a person to read: one line each.
struct SyncOutcome {
  bool ok = false;
  std::string error;  // why not, when !ok
  std::vector<std::string> warnings;  // calendars left as they were, objects that could not be read, hrefs left out
  std::vector<std::string> origins;  // adding: every server the account's requests went to (scheme://host:port)
  std::size_t calendars = 0;
  std::size_t objectsFetched = 0;
  std::size_t objectsRemoved = 0;
};

// Finds the account's calendars from account.url, fetches their events, and
// stores the account with them, all or nothing. Fills in the account's
// identifier. Nothing is stored when the server cannot be reached, refuses the
// credentials or is not CalDAV.
SyncOutcome addCalDavAccount(SqliteStore& store, RemoteAccount& account);

// One sync of one account: calendars added, changed or removed there, and
// their events, one store transaction per calendar. A sync killed at any
// moment leaves each calendar as it was or as the server had it.
SyncOutcome syncCalDavAccount(SqliteStore& store, const RemoteAccount& account);

}  // namespace calbridge
