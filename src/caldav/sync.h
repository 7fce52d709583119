#pragma once
// Brings a replica of one account's calendars in step with the server. The
// replica is abstract so the store can keep it in its database; each round
// (one calendar's changes and its new token, replica/replica.h) goes to it as
// one unit.

#include <map>
#include <string>
#include <vector>

#include "caldav/client.h"
#include "caldav/http.h"
#include "replica/replica.h"

namespace calbridge::caldav {

class Replica {
 public:
  virtual ~Replica() = default;
  virtual std::vector<ReplicaCalendar> calendars() = 0;
  // url -> etag of every object stored for that calendar.
  virtual std::map<std::string, std::string> object_etags(const std::string& calendar_url) = 0;
  // All of the round or none of it, the new token included; throws when it
  // cannot be stored, and then nothing of it may be. An object the replica no
  // longer has as round.before says waits for the next round, and then so does
  // the token.
  virtual void apply(const ReplicaRound& round) = 0;
};

// For tests and benchmarks: the replica as plain maps.
class MemoryReplica final : public Replica {
 public:
  struct Object {
    std::string etag, data;
  };
  struct Calendar {
    ReplicaCalendar info;
    std::map<std::string, Object> objects;
  };

  std::vector<ReplicaCalendar> calendars() override;
  std::map<std::string, std::string> object_etags(const std::string& calendar_url) override;
  void apply(const ReplicaRound& round) override;

  std::map<std::string, Calendar> state;  // by calendar url
  size_t rounds_applied = 0;
};

struct SyncSource {
  std::string url;               // the calendar home, or the one calendar
  bool single_calendar = false;  // the account is that one calendar
};

struct SyncOptions {
  // Objects per calendar-multiget; 0 fetches each with a GET. A multiget the
  // server refuses or answers incompletely is done again as one GET each.
  size_t multiget_batch = 100;
};

struct SyncReport {
  size_t calendars_added = 0, calendars_removed = 0, calendars_changed = 0, calendars_unchanged = 0;
  size_t incremental = 0;        // calendars brought up to date by sync-collection (a new one from no token)
  size_t full_comparisons = 0;   // calendars compared ETag by ETag
  size_t tokens_rejected = 0;    // of those, because the server refused the stored token
  size_t objects_fetched = 0, objects_removed = 0;
  std::vector<std::string> failures;  // calendars left as they were, with why
  // What the server listed outside the home or a calendar, left out (never
  // stored, never written to), one line per home or calendar.
  std::vector<std::string> left_out;

  bool ok() const { return failures.empty(); }
};

// One pass over the account. Failures that stop every calendar alike (wrong
// password, server gone, time out) are thrown as Error after the rounds
// already applied; a calendar whose own requests fail is left as it was and
// named in failures, and the others go on.
SyncReport sync_account(HttpTransport& http, Replica& replica, const SyncSource& source,
                        const SyncOptions& options = {});

}  // namespace calbridge::caldav
