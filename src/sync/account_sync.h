// CalDAV accounts kept in the store: adding one, and bringing its replica in
// step with the server. The CalDAV side knows nothing of the store and the
// store nothing of CalDAV; this is where they meet.
#pragma once

#include "sqlite/sqlite_store.h"

#include <chrono>
#include <cstddef>
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

// How long one sync (or an account's addition) may take in all: the
// password command, every request, reading the objects, storing them.
inline constexpr std::chrono::seconds kSyncTime{300};
// The object text a new account's first sync may hold, which goes into
// memory whole before the account is stored with it.
inline constexpr std::size_t kFirstSyncBytes = 256u << 20;

// Finds the account's calendars from account.url, fetches their events, and
// stores the account with them, all or nothing, within `timeout`. Fills in the
// account's identifier. Nothing is stored when the server cannot be reached,
// refuses the credentials or is not CalDAV, when the time runs out, or when
// the calendars hold more than kFirstSyncBytes of objects.
SyncOutcome addCalDavAccount(SqliteStore& store, RemoteAccount& account, std::chrono::seconds timeout = kSyncTime);

// One sync of one account: calendars added, changed or removed there, and
// their events, in store transactions of at most caldav::SyncOptions'
// round_bytes of objects each, the calendar's new state with the last. It
// stops when `timeout` runs out and when the store's folder is gone (removed
// or replaced); what it applied by then stays, and the next sync completes it.
SyncOutcome syncCalDavAccount(SqliteStore& store, const RemoteAccount& account,
                              std::chrono::seconds timeout = kSyncTime);

}  // namespace calbridge
