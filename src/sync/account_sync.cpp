#include "sync/account_sync.h"

#include "caldav/client.h"
#include "caldav/http.h"
#include "caldav/sync.h"
#include "ical/icalendar.h"
#include "base/limits.h"
#include "base/unicode.h"
#include "sync/account_transport.h"
#include "sync/object_events.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <stdexcept>

namespace calbridge {

namespace {

// An object's events; none when its text cannot be read, which the warnings tell.
std::vector<StoredEvent> eventsOf(const std::string& url, const std::string& data, ZoneCache& zones,
                                  std::vector<std::string>* warnings) {
  ObjectEvents read = readObjectEvents(data, zones);
  if (!read.error.empty()) {
    warnings->push_back(url + ": " + read.error);
    return {};
  }
  if (read.cuts > 0) warnings->push_back(url + ": titles cut to " + std::to_string(kMaxTitleCharacters) + " characters, uids to " +
                                         std::to_string(kMaxUidCharacters));
  return std::move(read.events);
}

// What a person reads when the store refused a change: with its cause when the store knows it.
std::string refusal(const SqliteStore& store) {
  const Status& why = store.failure();
  return why ? std::string("the store refused the change") : "the store refused the change: " + why.message();
}

// A round with its objects' events, read before the store's lock is taken.
ReadRound readRound(const ReplicaRound& round, ZoneCache& zones, std::vector<std::string>* warnings) {
  ReadRound read{round, {}};
  read.events.reserve(round.upserts.size());
  for (const ReplicaObject& object : round.upserts) {
    read.events.push_back(eventsOf(object.url, object.data, zones, warnings));
  }
  return read;
}

// The replica of one account as the store keeps it.
class StoreReplica final : public caldav::Replica {
 public:
  StoreReplica(SqliteStore& store, std::string account, std::vector<std::string>* warnings)
      : store_(store), account_(std::move(account)), warnings_(warnings) {}

  std::vector<ReplicaCalendar> calendars() override {
    auto stored = store_.replicaCalendars(account_);
    if (!stored) throw std::runtime_error("cannot read the store");
    return std::move(*stored);
  }
  std::map<std::string, std::string> object_etags(const std::string& calendarUrl) override {
    auto etags = store_.replicaEtags(account_, calendarUrl);
    if (!etags) throw std::runtime_error("cannot read the store");
    return *etags;
  }
  void apply(const ReplicaRound& round) override {
    // Read before the store's lock is taken: under it, only writing.
    if (!store_.applyReplicaRound(account_, readRound(round, store_.zones(), warnings_))) {
      throw std::runtime_error(refusal(store_));
    }
  }

 private:
  SqliteStore& store_;
  std::string account_;
  std::vector<std::string>* warnings_;
};

double now() { return static_cast<double>(std::time(nullptr)); }

void take(const caldav::SyncReport& report, SyncOutcome& outcome) {
  outcome.calendars = report.calendars_added + report.calendars_changed + report.calendars_unchanged;
  outcome.objectsFetched = report.objects_fetched;
  outcome.objectsRemoved = report.objects_removed;
  for (const auto& failure : report.failures) outcome.warnings.push_back(failure);
  for (const auto& line : report.left_out) outcome.warnings.push_back(line);
}

}  // namespace

SyncOutcome addCalDavAccount(SqliteStore& store, RemoteAccount& account) {
  SyncOutcome outcome;
  // The command has 30 seconds, as mail and sync programs give theirs.
  auto http = accountTransport(account, TransportBounds{}, &outcome.error);
  if (!http) return outcome;
  try {
    caldav::Discovery found = caldav::discover(*http, account.url);
    outcome.origins = found.origins;
    account.singleCalendar = found.home_url.empty();
    account.url = account.singleCalendar ? found.calendars.at(0).url : found.home_url;
    // The first sync goes into memory, and the account is stored with all of
    // it in one transaction: a failure halfway stores nothing.
    caldav::MemoryReplica first;
    caldav::SyncReport report = caldav::sync_account(*http, first, {account.url, account.singleCalendar});
    take(report, outcome);
    std::vector<ReadRound> rounds;
    for (const auto& [url, calendar] : first.state) {
      ReplicaRound round;
      round.action = ReplicaRound::Action::add;
      round.calendar = calendar.info;
      for (const auto& [objectUrl, object] : calendar.objects) round.upserts.push_back({objectUrl, object.etag, object.data});
      rounds.push_back(readRound(round, store.zones(), &outcome.warnings));
    }
    account.syncedAt = now();
    if (!store.addRemoteAccount(account, rounds)) {
      outcome.error = refusal(store);
      return outcome;
    }
  } catch (const std::out_of_range&) {
    outcome.error = caldav::shown_url(account.url) + ": no calendar found there";
    return outcome;
  } catch (const std::exception& e) {
    outcome.error = e.what();
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

SyncOutcome syncCalDavAccount(SqliteStore& store, const RemoteAccount& account) {
  SyncOutcome outcome;
  // The command has 30 seconds, as mail and sync programs give theirs.
  auto http = accountTransport(account, TransportBounds{}, &outcome.error);
  if (!http) return outcome;
  StoreReplica replica(store, account.sourceIdentifier, &outcome.warnings);
  try {
    caldav::SyncReport report = caldav::sync_account(*http, replica, {account.url, account.singleCalendar});
    take(report, outcome);
  } catch (const std::exception& e) {
    outcome.error = e.what();
    return outcome;
  }
  // Calendars the server could not give stay as they were, and the account
  // counts as synced: the next read does not start another sync at once.
  if (!store.markSynced(account.sourceIdentifier, now())) {
    outcome.error = refusal(store);
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace calbridge
