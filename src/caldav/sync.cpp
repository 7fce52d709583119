#include "caldav/sync.h"

#include <unordered_map>
#include <unordered_set>

namespace calbridge::caldav {
namespace {

bool stops_everything(const Error& e) {
  return e.kind() == ErrorKind::unauthorized || e.kind() == ErrorKind::unreachable || e.kind() == ErrorKind::timeout;
}

ReplicaCalendar as_replica(const RemoteCalendar& c) {
  return {c.url, c.title, c.color, c.writable, c.sync_token, c.ctag};
}

bool same_meta(const ReplicaCalendar& a, const RemoteCalendar& b) {
  return a.title == b.title && a.color == b.color && a.writable == b.writable;
}

struct Changes {
  std::unordered_map<std::string, Member> changed;  // by path
  std::unordered_set<std::string> removed;          // urls
  std::string token;
  size_t outside = 0;  // hrefs not directly inside the calendar, left out
};

std::string left_out(size_t n, const char* what, const std::string& where) {
  return shown_url(where) + ": left out " + std::to_string(n) + " " + what + (n == 1 ? "" : "s") +
         " the server listed outside it";
}

// All changes since the stored token, following truncated answers.
Changes incremental(HttpTransport& http, const std::string& url, const std::string& token) {
  Changes out;
  std::string at = token;
  for (int round = 0; round < 1000; ++round) {
    // From no token the answer is the whole calendar, so its data comes with
    // it (one request instead of a multiget per hundred objects); later
    // rounds fetch their few changes in bounded multiget batches.
    SyncChanges part = sync_collection(http, url, at, token.empty());
    out.outside += part.outside;
    for (auto& m : part.changed) {
      out.removed.erase(m.url);
      out.changed[href_path(m.url)] = std::move(m);
    }
    for (auto& r : part.removed) {
      out.changed.erase(href_path(r));
      out.removed.insert(std::move(r));
    }
    if (!part.truncated || part.token == at) {
      out.token = part.token;
      return out;
    }
    at = part.token;
  }
  throw Error(ErrorKind::bad_reply, "sync-collection " + url + ": the answer never ends");
}

Changes full_comparison(HttpTransport& http, Replica& replica, const RemoteCalendar& remote, bool known) {
  Changes out;
  std::map<std::string, std::string> stored;
  if (known) stored = replica.object_etags(remote.url);
  std::unordered_map<std::string, std::string> stored_by_path;  // path -> stored url
  for (const auto& [url, etag] : stored) stored_by_path.emplace(href_path(url), url);
  std::unordered_set<std::string> seen;
  for (auto& m : list_members(http, remote.url, &out.outside)) {
    std::string path = href_path(m.url);
    seen.insert(path);
    auto it = stored_by_path.find(path);
    if (it != stored_by_path.end() && stored.at(it->second) == m.etag && !m.etag.empty()) continue;
    out.changed[path] = std::move(m);
  }
  for (const auto& [path, url] : stored_by_path)
    if (!seen.count(path)) out.removed.insert(url);
  // The token was read with the calendar list, before the members: changes
  // in between come again next time, never get lost.
  out.token = remote.sync_token;
  return out;
}

// Batches of calendar-multiget; one GET per object when the server will not
// answer a multiget we can use (refused, not understood, objects missing).
// Measured on Xandikos 0.2.8, whose multiget the issue found slow: at 1,001
// objects every way costs it 40-50 ms per object (GET each 49 s, batches of
// 10 55 s, of 100 44 s, of 1,000 41 s), so batching costs nothing there and
// saves a request per object everywhere else.
Fetched fetch(HttpTransport& http, const std::string& calendar_url, const std::vector<std::string>& urls,
              const SyncOptions& options) {
  if (options.multiget_batch == 0 || urls.size() == 1) return fetch_objects(http, calendar_url, urls, 0);
  try {
    return fetch_objects(http, calendar_url, urls, options.multiget_batch);
  } catch (const Error& e) {
    if (stops_everything(e)) throw;
    return fetch_objects(http, calendar_url, urls, 0);
  }
}

// One calendar's round, or nothing when it is already in step.
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
  Changes changes;
  bool done = false;
  // A new calendar of a server that keeps tokens starts from the empty
  // token: every member, its data and a token in one answer.
  std::string from = stored != nullptr ? stored->sync_token : std::string();
  if (!remote.sync_token.empty() && (stored == nullptr || !from.empty())) {
    try {
      changes = incremental(http, remote.url, from);
      done = true;
      ++report.incremental;
    } catch (const Error& e) {
      // Whatever the server says about an old token (403, 500, a
      // valid-sync-token precondition), the cure is the same.
      if (stops_everything(e)) throw;
      if (!from.empty()) ++report.tokens_rejected;
    }
  }
  if (!done) {
    changes = full_comparison(http, replica, remote, stored != nullptr);
    ++report.full_comparisons;
  }

  // What the replica has before anything is fetched: an object changed in it
  // meanwhile (written through to the server) is newer than this round's copy.
  std::map<std::string, std::string> before;
  if (stored != nullptr) before = replica.object_etags(remote.url);

  std::vector<std::string> wanted;
  Fetched fetched;
  for (auto& [path, member] : changes.changed) {
    if (member.data.empty())
      wanted.push_back(member.url);
    else
      fetched.objects.push_back({member.url, member.etag, std::move(member.data)});
  }
  Fetched more = fetch(http, remote.url, wanted, options);
  for (auto& o : more.objects) fetched.objects.push_back(std::move(o));
  for (auto& g : more.gone) fetched.gone.push_back(std::move(g));

  ReplicaRound round;
  round.action = stored == nullptr ? ReplicaRound::Action::add : ReplicaRound::Action::update;
  round.calendar = as_replica(remote);
  round.calendar.sync_token = changes.token;
  round.upserts.reserve(fetched.objects.size());
  for (auto& o : fetched.objects) {
    if (o.etag.empty()) o.etag = changes.changed.at(href_path(o.url)).etag;
    round.upserts.push_back({std::move(o.url), std::move(o.etag), std::move(o.data)});
  }
  if (stored != nullptr) {
    for (const auto& url : changes.removed) round.removals.push_back(url);
    for (const auto& url : fetched.gone) round.removals.push_back(url);
  }
  auto note = [&](const std::string& url) {
    if (auto it = before.find(url); it != before.end()) round.before.insert(*it);
  };
  for (const auto& o : round.upserts) note(o.url);
  for (const auto& url : round.removals) note(url);
  replica.apply(round);
  if (changes.outside > 0) report.left_out.push_back(left_out(changes.outside, "object", remote.url));
  report.objects_fetched += round.upserts.size();
  report.objects_removed += round.removals.size();
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
  // Built aside and swapped in, so a throw leaves the state untouched.
  auto next = state;
  const std::string& url = round.calendar.url;
  if (round.action == ReplicaRound::Action::remove) {
    next.erase(url);
  } else {
    if (round.action == ReplicaRound::Action::add && next.count(url)) throw std::runtime_error("calendar exists");
    if (round.action == ReplicaRound::Action::update && !next.count(url))
      throw std::runtime_error("no such calendar");
    Calendar& c = next[url];
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
      if (step(o.url, o.etag)) c.objects[o.url] = {o.etag, o.data};
    const ReplicaCalendar kept = c.info;
    c.info = round.calendar;
    if (waits) {
      c.info.sync_token = kept.sync_token;
      c.info.ctag = kept.ctag;
    }
  }
  state = std::move(next);
  ++rounds_applied;
}

SyncReport sync_account(HttpTransport& http, Replica& replica, const SyncSource& source, const SyncOptions& options) {
  SyncReport report;
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
    ReplicaRound round;
    round.action = ReplicaRound::Action::remove;
    round.calendar = c;
    replica.apply(round);
    ++report.calendars_removed;
  }
  return report;
}

}  // namespace calbridge::caldav
