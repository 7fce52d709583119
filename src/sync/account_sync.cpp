#include "sync/account_sync.h"

#include "caldav/client.h"
#include "caldav/http.h"
#include "caldav/sync.h"
#include "sync/account_transport.h"
#include "sync/read_ahead.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>

namespace calbridge {

namespace {

// What a person reads when the store refused a change: with its cause when the store knows it.
std::string refusal(const SqliteStore& store) {
  const Status& why = store.failure();
  return why ? std::string("the store refused the change") : "the store refused the change: " + why.message();
}

// A round with its objects' events, read before the store's lock is taken.
template <typename ReadEvents>
ReadRound readRound(ReplicaRound round, const ReadEvents& eventsOf) {
  ReadRound read{std::move(round), {}};
  read.events.reserve(read.round.upserts.size());
  for (const ReplicaObject& object : read.round.upserts) read.events.push_back(eventsOf(object));
  return read;
}

// A new account's first sync, held in memory, each batch of objects read
// on the side as it comes in.
class ReadingAheadReplica final : public caldav::Replica {
 public:
  ReadingAheadReplica(caldav::MemoryReplica& memory, ReadAhead& ahead) : memory_(memory), ahead_(ahead) {}
  std::vector<ReplicaCalendar> calendars() override { return memory_.calendars(); }
  std::map<std::string, std::string> object_etags(const std::string& calendarUrl) override {
    return memory_.object_etags(calendarUrl);
  }
  void apply(const ReplicaRound& round) override {
    memory_.apply(round);
    ahead_.add(round.upserts);
  }

 private:
  caldav::MemoryReplica& memory_;
  ReadAhead& ahead_;
};

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
    auto read = [this](const ReplicaObject& object) { return eventsOf(object, store_.zones(), warnings_); };
    if (!store_.applyReplicaRound(account_, readRound(round, read))) {
      throw std::runtime_error(refusal(store_));
    }
  }

 private:
  SqliteStore& store_;
  std::string account_;
  std::vector<std::string>* warnings_;
};

double now() { return static_cast<double>(std::time(nullptr)); }

using Clock = std::chrono::steady_clock;

// Small enough that reading starts soon after the first objects come, large
// enough that handing over costs nothing.
constexpr std::size_t kReadAheadBytes = 256u << 10;

// A sync over a store that is gone has nobody to finish for: its folder
// removed or another in its place, or its database file gone.
std::function<bool()> whileStoreIsThere(const SqliteStore& store) {
  const std::string file = store.path();
  const auto slash = file.find_last_of('/');
  if (slash == std::string::npos) return {};  // a store in memory
  const std::string folder = file.substr(0, slash);
  struct stat at {};
  if (::stat(folder.c_str(), &at) != 0) return {};
  return [file, folder, device = at.st_dev, inode = at.st_ino] {
    struct stat now {};
    return ::stat(folder.c_str(), &now) == 0 && now.st_dev == device && now.st_ino == inode &&
           ::stat(file.c_str(), &now) == 0;
  };
}

void take(const caldav::SyncReport& report, SyncOutcome& outcome) {
  outcome.calendars = report.calendars_added + report.calendars_changed + report.calendars_unchanged;
  outcome.objectsFetched = report.objects_fetched;
  outcome.objectsRemoved = report.objects_removed;
  for (const auto& failure : report.failures) outcome.warnings.push_back(failure);
  for (const auto& line : report.left_out) outcome.warnings.push_back(line);
}

}  // namespace

SyncOutcome addCalDavAccount(SqliteStore& store, RemoteAccount& account, std::chrono::seconds timeout) {
  SyncOutcome outcome;
  // The command has 30 seconds, as mail and sync programs give theirs, and
  // all of it ends with the sync's time.
  TransportBounds bounds;
  bounds.deadline = Clock::now() + timeout;
  auto http = accountTransport(account, bounds, &outcome.error);
  if (!http) return outcome;
  caldav::SyncOptions options;
  options.deadline = bounds.deadline;
  options.max_bytes = kFirstSyncBytes;
  // Held in memory whole anyway; a round is what is handed over for reading.
  options.round_bytes = kReadAheadBytes;
  options.keep_going = whileStoreIsThere(store);
  try {
    caldav::Discovery found = caldav::discover(*http, account.url);
    outcome.origins = found.origins;
    account.singleCalendar = found.home_url.empty();
    account.url = account.singleCalendar ? found.calendars.at(0).url : found.home_url;
    // The first sync goes into memory, and the account is stored with all of
    // it in one transaction: a failure halfway stores nothing.
    caldav::MemoryReplica first;
    ReadAhead ahead(store.zones());
    ReadingAheadReplica reading(first, ahead);
    caldav::SyncReport report;
    try {
      report = caldav::sync_account(*http, reading, {account.url, account.singleCalendar}, options);
    } catch (const caldav::Error& e) {
      if (e.kind() == caldav::ErrorKind::timeout && Clock::now() >= *options.deadline)
        throw caldav::Error(e.kind(), std::string(e.what()) + " (" + std::to_string(timeout.count()) +
                                          " s; --timeout gives more)");
      if (e.kind() == caldav::ErrorKind::too_much)
        throw caldav::Error(e.kind(), std::string(e.what()) + ", all held before the account is stored; add the "
                                                              "account's calendars one by one, each by its URL");
      if (e.kind() == caldav::ErrorKind::stopped) throw caldav::Error(e.kind(), "the store's folder is gone");
      throw;
    }
    take(report, outcome);
    ahead.finish();
    auto read = [&](const ReplicaObject& object) { return ahead.take(object, &outcome.warnings); };
    std::vector<ReadRound> rounds;
    // Each object's text moves from the first sync to the store's round: held once.
    for (auto& [url, calendar] : first.state) {
      ReplicaRound round;
      round.action = ReplicaRound::Action::add;
      round.calendar = calendar.info;
      for (auto& [objectUrl, object] : calendar.objects)
        round.upserts.push_back({objectUrl, std::move(object.etag), std::move(object.data), object.too_large});
      calendar.objects.clear();
      rounds.push_back(readRound(std::move(round), read));
      if (Clock::now() >= *options.deadline) throw caldav::Error(caldav::ErrorKind::timeout, "the sync ran out of its time");
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

SyncOutcome syncCalDavAccount(SqliteStore& store, const RemoteAccount& account, std::chrono::seconds timeout) {
  SyncOutcome outcome;
  // The command has 30 seconds, as mail and sync programs give theirs, and
  // all of it ends with the sync's time.
  TransportBounds bounds;
  bounds.deadline = Clock::now() + timeout;
  auto http = accountTransport(account, bounds, &outcome.error);
  if (!http) return outcome;
  caldav::SyncOptions options;
  options.deadline = bounds.deadline;
  options.keep_going = whileStoreIsThere(store);
  StoreReplica replica(store, account.sourceIdentifier, &outcome.warnings);
  try {
    caldav::SyncReport report = caldav::sync_account(*http, replica, {account.url, account.singleCalendar}, options);
    take(report, outcome);
  } catch (const caldav::Error& e) {
    outcome.error = e.what();
    if (e.kind() == caldav::ErrorKind::timeout && Clock::now() >= *options.deadline)
      outcome.error += " (" + std::to_string(timeout.count()) + " s; --timeout gives more)";
    if (e.kind() == caldav::ErrorKind::stopped) outcome.error = "the store's folder is gone; the sync stopped";
    return outcome;
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
