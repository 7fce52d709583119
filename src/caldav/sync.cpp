#include "caldav/sync.h"

#include <unordered_map>
#include <unordered_set>

namespace calbridge::caldav {
namespace {

bool stops_everything(const Error& e) {
  return e.kind() == ErrorKind::unauthorized || e.kind() == ErrorKind::unreachable ||
         e.kind() == ErrorKind::timeout || e.kind() == ErrorKind::stopped || e.kind() == ErrorKind::too_much;
}

ReplicaCalendar as_replica(const RemoteCalendar& c) {
  return {c.url, c.title, c.color, c.writable, c.sync_token, c.ctag};
}

bool same_meta(const ReplicaCalendar& a, const RemoteCalendar& b) {
  return a.title == b.title && a.color == b.color && a.writable == b.writable;
}

std::string left_out(size_t n, const char* what, const std::string& where) {
  return shown_url(where) + ": left out " + std::to_string(n) + " " + what + (n == 1 ? "" : "s") +
         " the server listed outside it";
}

// Before every request and round: the sync's time, and whether its caller
// still wants it.
void checkpoint(const SyncOptions& options) {
  if (options.deadline && std::chrono::steady_clock::now() >= *options.deadline)
    throw Error(ErrorKind::timeout, "the sync ran out of its time");
  if (options.keep_going && !options.keep_going()) throw Error(ErrorKind::stopped, "the sync was stopped");
}

// One calendar's changes, applied as they come in rounds of bounded size that
// keep the calendar at the state it is synced from, then a last round with
// what was removed and the state reached.
class Rounds {
 public:
  Rounds(Replica& replica, const RemoteCalendar& remote, const ReplicaCalendar* stored, const SyncOptions& options,
         SyncReport& report)
      : replica_(replica), remote_(remote), stored_(stored), options_(options), report_(report) {
    // What the replica has before anything is fetched: an object changed in
    // it meanwhile (written through to the server) is newer than a round's copy.
    if (stored != nullptr) before_ = replica.object_etags(remote.url);
  }

  void add(ReplicaObject&& o) {
    report_.bytes_fetched += o.data.size();
    if (report_.bytes_fetched > options_.max_bytes)
      throw Error(ErrorKind::too_much, "more than " + std::to_string(options_.max_bytes >> 20) +
                                           " MiB of calendar objects in one sync");
    if (o.too_large) report_.too_large.push_back(o.url);
    const std::string path = href_path(o.url);
    bytes_ += o.data.size();
    if (auto at = pending_by_path_.find(path); at != pending_by_path_.end()) {
      pending_[at->second] = std::move(o);
    } else {
      pending_by_path_.emplace(path, pending_.size());
      pending_.push_back(std::move(o));
    }
    if (bytes_ >= options_.round_bytes) {
      checkpoint(options_);
      apply(false, {}, {});
    }
  }

  void finish(const std::string& token, std::vector<std::string> removals) {
    checkpoint(options_);
    apply(true, token, std::move(removals));
  }

 private:
  void apply(bool last, const std::string& token, std::vector<std::string> removals) {
    ReplicaRound round;
    round.action = stored_ == nullptr && !created_ ? ReplicaRound::Action::add : ReplicaRound::Action::update;
    if (last) {
      round.calendar = as_replica(remote_);
      round.calendar.sync_token = token;
    } else if (stored_ != nullptr) {
      round.calendar = *stored_;
    } else {
      // A new calendar at no state yet: a sync cut short compares it whole next time.
      round.calendar = as_replica(remote_);
      round.calendar.sync_token.clear();
      round.calendar.ctag.clear();
    }
    round.upserts = std::move(pending_);
    round.removals = std::move(removals);
    auto note = [&](const std::string& url) {
      if (auto it = before_.find(url); it != before_.end()) round.before.insert(*it);
    };
    for (const auto& o : round.upserts) note(o.url);
    for (const auto& url : round.removals) note(url);
    replica_.apply(round);
    // Each object is in the replica as this round left it: a later round of
    // this sync that brings it again (it changed once more meanwhile) leaves
    // it, and the token, to the next sync. Nothing is kept of what was written.
    for (const auto& o : round.upserts) before_.erase(o.url);
    for (const auto& url : round.removals) before_.erase(url);
    created_ = true;
    report_.objects_fetched += round.upserts.size();
    report_.objects_removed += round.removals.size();
    pending_.clear();
    pending_by_path_.clear();
    bytes_ = 0;
  }

  Replica& replica_;
  const RemoteCalendar& remote_;
  const ReplicaCalendar* stored_;
  const SyncOptions& options_;
  SyncReport& report_;
  std::map<std::string, std::string> before_;  // url -> ETag
  std::vector<ReplicaObject> pending_;
  std::unordered_map<std::string, size_t> pending_by_path_;
  size_t bytes_ = 0;
  bool created_ = false;
};

// What is still to fetch and to remove, by path.
struct Listed {
  std::unordered_map<std::string, Member> wanted;  // changed, without whole data
  std::unordered_map<std::string, std::string> removed;  // path -> url
  std::string token;
  size_t outside = 0;  // hrefs not directly inside the calendar, left out
};

// Batches of calendar-multiget; one GET per object when the server will not
// answer a multiget we can use (refused, not understood, objects missing).
// Measured on Xandikos 0.2.8, whose multiget the issue found slow: at 1,001
// objects every way costs it 40-50 ms per object (GET each 49 s, batches of
// 10 55 s, of 100 44 s, of 1,000 41 s), so batching costs nothing there and
// saves a request per object everywhere else. Each batch goes to the rounds
// as it arrives; what the server no longer has goes to *gone.
void fetch(HttpTransport& http, const std::string& calendar_url, const Listed& listed, Rounds& rounds,
           const SyncOptions& options, std::vector<std::string>* gone) {
  std::vector<std::string> urls;
  for (const auto& [path, member] : listed.wanted) urls.push_back(member.url);
  auto take = [&](FetchedObject&& o) {
    checkpoint(options);
    // A server that leaves out the ETag in a multiget gave it in the listing.
    if (o.etag.empty()) {
      if (auto it = listed.wanted.find(href_path(o.url)); it != listed.wanted.end()) o.etag = it->second.etag;
    }
    rounds.add({std::move(o.url), std::move(o.etag), std::move(o.data), o.too_large});
  };
  const size_t batch = options.multiget_batch == 0 || urls.size() == 1 ? 0 : options.multiget_batch;
  for (size_t first = 0; first < urls.size(); first += std::max<size_t>(batch, 1)) {
    checkpoint(options);
    std::vector<std::string> part(urls.begin() + static_cast<std::ptrdiff_t>(first),
                                  urls.begin() + static_cast<std::ptrdiff_t>(std::min(urls.size(), first + std::max<size_t>(batch, 1))));
    Fetched fetched;
    try {
      fetched = fetch_objects(http, calendar_url, part, batch, take);
    } catch (const Error& e) {
      if (batch == 0 || stops_everything(e)) throw;
      fetched = fetch_objects(http, calendar_url, part, 0, take);
    }
    for (auto& g : fetched.gone) gone->push_back(std::move(g));
  }
}

// All changes since the stored token, following truncated answers, each
// answer's objects to the rounds before the next is asked for: those that
// came with their data as they arrive, the others fetched after it.
Listed incremental(HttpTransport& http, const std::string& url, const std::string& token, Rounds& rounds,
                   const SyncOptions& options) {
  Listed out;
  std::string at = token;
  for (int round = 0; round < 1000; ++round) {
    checkpoint(options);
    // From no token the answer is the whole calendar, so its data comes with
    // it (one request instead of a multiget per hundred objects); later
    // rounds fetch their few changes in bounded multiget batches.
    SyncChanges part = sync_collection(http, url, at, token.empty(), [&](Member&& m) {
      const std::string path = href_path(m.url);
      out.removed.erase(path);
      if (m.data.empty() && !m.too_large) {
        out.wanted[path] = std::move(m);
        return;
      }
      out.wanted.erase(path);
      rounds.add({std::move(m.url), std::move(m.etag), std::move(m.data), m.too_large});
    });
    out.outside += part.outside;
    for (auto& r : part.removed) {
      std::string path = href_path(r);
      out.wanted.erase(path);
      out.removed[path] = std::move(r);
    }
    std::vector<std::string> gone;
    fetch(http, url, out, rounds, options, &gone);
    out.wanted.clear();
    for (auto& g : gone) {
      std::string path = href_path(g);
      out.removed[path] = std::move(g);
    }
    if (!part.truncated || part.token == at) {
      out.token = part.token;
      return out;
    }
    at = part.token;
  }
  throw Error(ErrorKind::bad_reply, "sync-collection " + shown_url(url) + ": the answer never ends");
}

Listed full_comparison(HttpTransport& http, Replica& replica, const RemoteCalendar& remote, bool known,
                       const SyncOptions& options) {
  Listed out;
  std::map<std::string, std::string> stored;
  if (known) stored = replica.object_etags(remote.url);
  std::unordered_map<std::string, std::string> stored_by_path;  // path -> stored url
  for (const auto& [url, etag] : stored) stored_by_path.emplace(href_path(url), url);
  std::unordered_set<std::string> seen;
  checkpoint(options);
  for (auto& m : list_members(http, remote.url, &out.outside)) {
    std::string path = href_path(m.url);
    seen.insert(path);
    auto it = stored_by_path.find(path);
    if (it != stored_by_path.end() && stored.at(it->second) == m.etag && !m.etag.empty()) continue;
    out.wanted[path] = std::move(m);
  }
  for (const auto& [path, url] : stored_by_path)
    if (!seen.count(path)) out.removed.emplace(path, url);
  // The token was read with the calendar list, before the members: changes
  // in between come again next time, never get lost.
  out.token = remote.sync_token;
  return out;
}

// One calendar brought in step, or nothing when it already is.
void sync_calendar(HttpTransport& http, Replica& replica, const RemoteCalendar& remote, const ReplicaCalendar* stored,
                   const SyncOptions& options, SyncReport& report) {
  if (stored != nullptr) {
    bool same_state = (!remote.sync_token.empty() && remote.sync_token == stored->sync_token) ||
                      (remote.sync_token.empty() && !remote.ctag.empty() && remote.ctag == stored->ctag);
    if (same_state) {
      if (same_meta(*stored, remote)) {
        ++report.calendars_unchanged;
        return;
      }
      checkpoint(options);
      ReplicaRound round;
      round.action = ReplicaRound::Action::update;
      round.calendar = as_replica(remote);
      round.calendar.sync_token = stored->sync_token;
      round.calendar.ctag = stored->ctag;
      replica.apply(round);
      ++report.calendars_changed;
      return;
    }
  }
  Rounds rounds(replica, remote, stored, options, report);
  Listed listed;
  bool done = false;
  // A new calendar of a server that keeps tokens starts from the empty
  // token: every member, its data and a token in one answer.
  std::string from = stored != nullptr ? stored->sync_token : std::string();
  if (!remote.sync_token.empty() && (stored == nullptr || !from.empty())) {
    try {
      listed = incremental(http, remote.url, from, rounds, options);
      done = true;
      ++report.incremental;
    } catch (const Error& e) {
      // Whatever the server says about an old token (403, 500, a
      // valid-sync-token precondition), the cure is the same; objects that
      // came before the answer broke off stay with the rounds.
      if (stops_everything(e)) throw;
      if (!from.empty()) ++report.tokens_rejected;
    }
  }
  if (!done) {
    listed = full_comparison(http, replica, remote, stored != nullptr, options);
    ++report.full_comparisons;
  }
  std::vector<std::string> removals;
  fetch(http, remote.url, listed, rounds, options, &removals);
  if (stored == nullptr) {
    removals.clear();
  } else {
    for (auto& [path, url] : listed.removed) removals.push_back(std::move(url));
  }
  rounds.finish(listed.token, std::move(removals));
  if (listed.outside > 0) report.left_out.push_back(left_out(listed.outside, "object", remote.url));
  if (stored == nullptr)
    ++report.calendars_added;
  else
    ++report.calendars_changed;
}

}  // namespace

std::vector<ReplicaCalendar> MemoryReplica::calendars() {
  std::vector<ReplicaCalendar> out;
  for (const auto& [url, c] : state) out.push_back(c.info);
  return out;
}

std::map<std::string, std::string> MemoryReplica::object_etags(const std::string& calendar_url) {
  std::map<std::string, std::string> out;
  auto it = state.find(calendar_url);
  if (it == state.end()) return out;
  for (const auto& [url, o] : it->second.objects) out.emplace(url, o.etag);
  return out;
}

void MemoryReplica::apply(const ReplicaRound& round) {
  // Checked first, so a throw leaves the state untouched; then changed in
  // place (a copy of every round's state would double a first sync's memory).
  const std::string& url = round.calendar.url;
  if (round.action == ReplicaRound::Action::remove) {
    state.erase(url);
  } else {
    if (round.action == ReplicaRound::Action::add && state.count(url)) throw std::runtime_error("calendar exists");
    if (round.action == ReplicaRound::Action::update && !state.count(url))
      throw std::runtime_error("no such calendar");
    Calendar& c = state[url];
    bool waits = false;
    auto step = [&](const std::string& object, const std::optional<std::string>& fetched) {
      auto was = round.before.find(object);
      auto now = c.objects.find(object);
      RoundStep s = roundStep(was == round.before.end() ? std::nullopt : std::optional(was->second),
                              now == c.objects.end() ? std::nullopt : std::optional(now->second.etag), fetched);
      waits = waits || s == RoundStep::wait;
      return s == RoundStep::apply;
    };
    for (const auto& r : round.removals)
      if (step(r, std::nullopt)) c.objects.erase(r);
    for (const auto& o : round.upserts)
      if (step(o.url, o.etag)) c.objects[o.url] = {o.etag, o.data, o.too_large};
    const ReplicaCalendar kept = c.info;
    c.info = round.calendar;
    if (waits) {
      c.info.sync_token = kept.sync_token;
      c.info.ctag = kept.ctag;
    }
  }
  ++rounds_applied;
}

SyncReport sync_account(HttpTransport& http, Replica& replica, const SyncSource& source, const SyncOptions& options) {
  SyncReport report;
  checkpoint(options);
  std::vector<RemoteCalendar> remote;
  size_t outside = 0;
  try {
    remote = list_calendars(http, source.url, source.single_calendar, &outside);
  } catch (const Error& e) {
    // A one-calendar account whose calendar is gone has no calendars left.
    if (!(source.single_calendar && e.kind() == ErrorKind::not_found)) throw;
  }
  if (outside > 0) report.left_out.push_back(left_out(outside, "calendar", source.url));
  std::vector<ReplicaCalendar> stored = replica.calendars();
  std::unordered_map<std::string, const ReplicaCalendar*> by_path;
  for (const auto& c : stored) by_path.emplace(href_path(c.url), &c);
  std::unordered_set<std::string> present;
  for (const auto& c : remote) {
    std::string path = href_path(c.url);
    present.insert(path);
    auto it = by_path.find(path);
    RemoteCalendar r = c;
    if (it != by_path.end()) r.url = it->second->url;  // keep the stored spelling
    try {
      sync_calendar(http, replica, r, it == by_path.end() ? nullptr : it->second, options, report);
    } catch (const Error& e) {
      if (stops_everything(e)) throw;
      report.failures.push_back(shown_url(c.url) + ": " + e.what());
    }
  }
  for (const auto& c : stored) {
    if (present.count(href_path(c.url))) continue;
    checkpoint(options);
    ReplicaRound round;
    round.action = ReplicaRound::Action::remove;
    round.calendar = c;
    replica.apply(round);
    ++report.calendars_removed;
  }
  return report;
}

}  // namespace calbridge::caldav
