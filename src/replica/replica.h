// What a replica of a CalDAV account is, as plain values: the account, its
// calendars and objects as the server last described them, and one sync round
// of one calendar. The sync engine (caldav/) produces rounds and a store keeps
// them; neither knows the other, and both know these.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// A CalDAV account whose calendars a store keeps a replica of.
struct RemoteAccount {
  std::string sourceIdentifier;  // filled in when the account is stored
  std::string title;
  std::string url;  // the calendar home, or the one calendar, discovery found
  bool singleCalendar = false;
  std::optional<std::string> user;
  std::optional<std::string> passwordCommand;  // run for the password each time one is needed
  std::optional<std::string> tokenCommand;  // or for an OAuth 2.0 bearer token
  std::optional<std::string> caFile;
  std::optional<double> syncedAt;  // epoch seconds of the last sync that completed
  std::optional<double> syncTriedAt;  // of the last sync begun, completed or not
};

// One calendar of a replica, as the server last described it. Its names are
// the server's (RFC 6578's sync-token), as the sync engine reads them.
struct ReplicaCalendar {
  std::string url;  // absolute; the calendar's identity
  std::string title;
  std::string color;  // as the server keeps it ("#RRGGBB", "#RRGGBBAA" or empty)
  bool writable = true;  // the server grants this user write access
  std::string sync_token;  // the token the replica is at; empty if none
  std::string ctag;
};

// One calendar object as the server sent it.
struct ReplicaObject {
  std::string url;  // absolute
  std::string etag;
  std::string data;  // its iCalendar text
};

// One calendar's changes from one sync, kept all together or not at all.
struct ReplicaRound {
  enum class Action { add, update, remove };
  Action action = Action::update;
  ReplicaCalendar calendar;  // its state after the round (for remove, only url counts)
  std::vector<ReplicaObject> upserts;
  std::vector<std::string> removals;  // object urls
  // The ETag each object of `upserts` and `removals` had in the replica
  // before the round fetched anything; an object not named here was not in
  // the replica. A store applies an object's change only while the replica
  // still has it so: a change written through to the server meanwhile is
  // newer than what the round fetched, and the next round fetches again.
  std::map<std::string, std::string> before;
};

// What a round does with one object, from the ETag the replica had for it
// when the round began (`before`), has now (`now`), and the round fetched
// (`fetched`; none for a removal). An absent ETag: the object is not there.
enum class RoundStep {
  apply,  // the replica is as the round found it
  inStep,  // the replica already has what the round brings
  wait,  // something newer came in meanwhile: left for the next round, which fetches again
};
inline RoundStep roundStep(const std::optional<std::string>& before, const std::optional<std::string>& now,
                           const std::optional<std::string>& fetched) {
  if (now == fetched) return RoundStep::inStep;
  return now == before ? RoundStep::apply : RoundStep::wait;
}

}  // namespace calbridge
