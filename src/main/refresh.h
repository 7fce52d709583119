// Replicas of CalDAV accounts are brought up to date behind the reply: a
// read never waits on the network.
#pragma once

#include "sqlite/sqlite_store.h"

namespace calbridge {

// A replica this old (seconds) is refreshed when a request reads it.
inline constexpr double kReplicaMaxAge = 60;

// Starts one detached `calbridge-store sync` for each account whose replica
// calendars this request read and that is older than kReplicaMaxAge, in a
// session of its own (a host that kills the bridge does not end it), and
// waits for none. The sync takes the account's lock, so at most one runs.
void refreshStaleReplicas(const SqliteStore& store);

}  // namespace calbridge
