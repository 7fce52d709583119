// The CalDAV client and sync engine against real Radicale and Xandikos on
// loopback, changed meanwhile by another client (python3-caldav), with faults
// injected by the proxy in front of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "caldav/client.h"
#include "caldav/servers.h"
#include "caldav/sync.h"

namespace calbridge::caldav {
namespace {

using testing::DavServer;
using testing::ServerKind;

HttpSettings settings(const char* password = DavServer::kPassword) {
  HttpSettings s;
  s.user = DavServer::kUser;
  s.password = password;
  s.request_timeout = std::chrono::seconds(20);
  return s;
}

// The summaries in a calendar of the replica, sorted; the replica's content
// as a person would see it.
std::vector<std::string> summaries(const MemoryReplica& replica, const std::string& calendar) {
  std::vector<std::string> out;
  auto it = replica.state.find(calendar);
  if (it == replica.state.end()) return out;
  for (const auto& [url, o] : it->second.objects) {
    size_t at = o.data.find("SUMMARY:");
    out.push_back(at == std::string::npos ? "?" : o.data.substr(at + 8, o.data.find('\r', at) - at - 8));
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool same_path(const std::string& a, const std::string& b) { return href_path(a) == href_path(b); }

class CaldavServer : public ::testing::TestWithParam<ServerKind> {
 protected:
  void SetUp() override {
    std::string skip;
    server = DavServer::start(GetParam(), &skip);
    if (!server) GTEST_SKIP() << skip;
    calendar = server->make_calendar("work", "Work");
    ASSERT_FALSE(calendar.empty());
    http = std::make_unique<CurlTransport>(settings());
    Discovery d = discover(*http, server->url());
    ASSERT_FALSE(d.home_url.empty());
    home = d.home_url;
  }

  SyncReport sync(MemoryReplica& replica) { return sync_account(*http, replica, {home, false}); }
  // The replica's key for the test calendar (the spelling the server listed).
  std::string key(const MemoryReplica& replica) {
    for (const auto& [url, c] : replica.state)
      if (same_path(url, calendar)) return url;
    return calendar;
  }

  std::unique_ptr<DavServer> server;
  std::unique_ptr<CurlTransport> http;
  std::string calendar, home;
};

TEST_P(CaldavServer, DiscoversFromTheRootAndFromACalendar) {
  server->peer({"put", calendar, "d1", "Dentist"});
  for (const std::string& start : {server->url(), calendar}) {
    Discovery d = discover(*http, start);
    auto it = std::find_if(d.calendars.begin(), d.calendars.end(),
                           [&](const RemoteCalendar& c) { return same_path(c.url, calendar); });
    ASSERT_NE(it, d.calendars.end()) << start;
    EXPECT_EQ(it->title, "Work") << start;
    EXPECT_TRUE(it->writable) << start;
    EXPECT_FALSE(it->sync_token.empty()) << start;
    if (start == calendar) {
      EXPECT_TRUE(d.home_url.empty());
      EXPECT_EQ(d.calendars.size(), 1u);
    } else {
      EXPECT_TRUE(same_path(d.home_url, home));
    }
  }
}

TEST_P(CaldavServer, ChangesMadeElsewhereArriveIncrementally) {
  for (const char* uid : {"a", "b", "c"}) server->peer({"put", calendar, uid, std::string("Event ") + uid});
  MemoryReplica replica;
  SyncReport first = sync(replica);
  ASSERT_TRUE(first.ok()) << first.failures.at(0);
  EXPECT_EQ(first.calendars_added, 1u);
  EXPECT_EQ(summaries(replica, key(replica)), (std::vector<std::string>{"Event a", "Event b", "Event c"}));

  size_t before = server->requests().size();
  SyncReport idle = sync(replica);
  EXPECT_EQ(idle.calendars_unchanged, 1u);
  EXPECT_EQ(server->requests().size() - before, 1u) << "a sync with nothing new is one request";

  server->peer({"put", calendar, "d", "Event d"});
  server->peer({"put", calendar, "a", "Event a moved"});
  server->peer({"remove", calendar, "b"});
  server->peer({"rename", calendar, "Work & Play"});
  SyncReport next = sync(replica);
  ASSERT_TRUE(next.ok()) << next.failures.at(0);
  EXPECT_EQ(next.incremental, 1u);
  EXPECT_EQ(next.tokens_rejected, 0u);
  EXPECT_EQ(next.objects_fetched, 2u);
  EXPECT_EQ(next.objects_removed, 1u);
  EXPECT_EQ(summaries(replica, key(replica)), (std::vector<std::string>{"Event a moved", "Event c", "Event d"}));
  EXPECT_EQ(replica.state.at(key(replica)).info.title, "Work & Play");
}

TEST_P(CaldavServer, ATokenTheServerRejectsMeansAFullComparison) {
  server->peer({"put", calendar, "a", "Event a"});
  server->peer({"put", calendar, "b", "Event b"});
  MemoryReplica replica;
  sync(replica);
  // A token the server never issued (as after a server was restored from a backup).
  std::string& token = replica.state.at(key(replica)).info.sync_token;
  token.back() = token.back() == '0' ? '1' : '0';
  server->peer({"remove", calendar, "a"});
  server->peer({"put", calendar, "c", "Event c"});
  SyncReport report = sync(replica);
  ASSERT_TRUE(report.ok()) << report.failures.at(0);
  EXPECT_EQ(report.tokens_rejected, 1u);
  EXPECT_EQ(report.full_comparisons, 1u);
  EXPECT_EQ(report.objects_fetched, 1u) << "only what differs is fetched";
  EXPECT_EQ(summaries(replica, key(replica)), (std::vector<std::string>{"Event b", "Event c"}));
  server->peer({"put", calendar, "e", "Event e"});
  SyncReport after = sync(replica);
  EXPECT_EQ(after.incremental, 1u) << "the new token is one the server accepts";
}

TEST_P(CaldavServer, AWrongPasswordIsAClearError) {
  CurlTransport wrong(settings("not the password"));
  try {
    discover(wrong, server->url());
    FAIL() << "discovery succeeded with a wrong password";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::unauthorized) << e.what();
    EXPECT_NE(std::string(e.what()).find("user name or password"), std::string::npos) << e.what();
  }
}

// Faults on the second round of a sync (after changes elsewhere): what the
// sync reports, and that the replica is untouched unless the round could
// complete; then the next sync, without faults, finishes the job.
TEST_P(CaldavServer, FaultsLeaveTheReplicaAsItWas) {
  server->peer({"put", calendar, "a", "Event a"});
  server->peer({"put", calendar, "b", "Event b"});
  MemoryReplica replica;
  sync(replica);
  server->peer({"put", calendar, "a", "Event a changed"});
  server->peer({"put", calendar, "c", "Event c"});
  server->peer({"put", calendar, "d", "Event d"});
  const std::vector<std::string> done{"Event a changed", "Event b", "Event c", "Event d"};

  enum Outcome { completes, calendar_fails, sync_throws };
  // The first REPORT of the round is the sync-collection; after a refused
  // token come a PROPFIND listing and the multiget, the next REPORT.
  struct Case {
    const char* rule;
    Outcome outcome;
  } cases[] = {
      // Any error on the token: a full comparison instead.
      {R"([{"method":"REPORT","action":"status","status":403,"times":1}])", completes},
      {R"([{"method":"REPORT","action":"status","status":500,"times":1}])", completes},
      {R"([{"method":"REPORT","action":"status","status":412,"times":1}])", completes},
      {R"([{"method":"REPORT","action":"status","status":507,"times":1}])", completes},
      {R"([{"method":"REPORT","action":"truncate","times":1}])", completes},
      // A multiget that fails is done again as one GET per object...
      {R"([{"method":"REPORT","action":"status","status":500}])", completes},
      {R"([{"method":"REPORT","action":"truncate"}])", completes},
      // ...and when those fail too, the calendar is left as it was.
      {R"([{"method":"REPORT","action":"status","status":507},{"method":"GET","action":"status","status":500}])", calendar_fails},
      {R"([{"method":"REPORT","action":"truncate"},{"method":"GET","action":"truncate"}])", calendar_fails},
      {R"([{"method":"REPORT","action":"status","status":403},{"method":"GET","action":"status","status":412}])", calendar_fails},
      // The connection dropped mid-answer, or no calendar list: nothing goes on.
      {R"([{"method":"REPORT","action":"drop"}])", sync_throws},
      {R"([{"method":"PROPFIND","action":"drop"}])", sync_throws},
      {R"([{"method":"PROPFIND","action":"status","status":500}])", sync_throws},
  };
  for (const auto& c : cases) {
    MemoryReplica copy = replica;
    server->set_faults(c.rule);
    bool threw = false;
    SyncReport report;
    try {
      report = sync(copy);
    } catch (const Error&) {
      threw = true;
    }
    server->set_faults("[]");
    EXPECT_EQ(threw, c.outcome == sync_throws) << c.rule;
    if (c.outcome == completes) {
      EXPECT_TRUE(report.ok()) << c.rule;
      EXPECT_EQ(report.tokens_rejected, 1u) << c.rule;
      EXPECT_EQ(summaries(copy, key(copy)), done) << c.rule;
    } else {
      if (!threw) {
        EXPECT_EQ(report.failures.size(), 1u) << c.rule;
      }
      EXPECT_EQ(copy.rounds_applied, replica.rounds_applied) << c.rule;
      EXPECT_EQ(summaries(copy, key(copy)), summaries(replica, key(replica))) << c.rule;
      EXPECT_EQ(copy.state.at(key(copy)).info.sync_token, replica.state.at(key(replica)).info.sync_token) << c.rule;
      SyncReport again = sync(copy);
      EXPECT_TRUE(again.ok()) << c.rule;
      EXPECT_EQ(summaries(copy, key(copy)), done) << c.rule;
    }
  }
}

TEST_P(CaldavServer, AServerKilledMidSyncLeavesAReplicaTheNextSyncCompletes) {
  server->peer({"put", calendar, "a", "Event a"});
  MemoryReplica replica;
  sync(replica);
  for (const char* uid : {"b", "c", "d"}) server->peer({"put", calendar, uid, std::string("Event ") + uid});
  // The sync-collection waits in the proxy while the server is killed under it.
  server->set_faults(R"([{"method":"REPORT","action":"delay","seconds":1.5}])");
  MemoryReplica before = replica;
  auto reports = [&] {
    auto r = server->requests();
    return std::count_if(r.begin(), r.end(), [](const std::string& l) { return l.rfind("REPORT", 0) == 0; });
  };
  const auto reports_before = reports();
  std::optional<ErrorKind> failure;
  std::thread syncing([&] {
    try {
      sync(replica);
    } catch (const Error& e) {
      failure = e.kind();
    }
  });
  for (int i = 0; i < 200 && reports() < reports_before + 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  server->kill_server();
  syncing.join();
  ASSERT_TRUE(failure.has_value()) << "the sync did not notice the server was gone";
  EXPECT_EQ(*failure, ErrorKind::unreachable);
  EXPECT_EQ(summaries(replica, key(replica)), summaries(before, key(before)));
  EXPECT_EQ(replica.rounds_applied, before.rounds_applied);

  server->set_faults("[]");
  server->restart_server();
  SyncReport report = sync(replica);
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(summaries(replica, key(replica)), (std::vector<std::string>{"Event a", "Event b", "Event c", "Event d"}));
}

TEST_P(CaldavServer, ASlowServerIsBoundedByTheTimeout) {
  server->set_faults(R"([{"action":"delay","seconds":4}])");
  struct Case {
    const char* name;
    std::chrono::milliseconds request_timeout;
    std::optional<std::chrono::milliseconds> deadline;  // from the start of the sync
  } cases[] = {
      {"the request's own timeout", std::chrono::milliseconds(500), std::nullopt},
      {"the overall deadline", std::chrono::milliseconds(20'000), std::chrono::milliseconds(700)},
  };
  for (const auto& c : cases) {
    HttpSettings s = settings();
    s.origins = {url_origin(home)};
    s.request_timeout = c.request_timeout;
    if (c.deadline) s.deadline = std::chrono::steady_clock::now() + *c.deadline;
    CurlTransport impatient(s);
    MemoryReplica replica;
    try {
      sync_account(impatient, replica, {home, false});
      ADD_FAILURE() << c.name << ": a sync through a server that does not answer succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::timeout) << c.name << ": " << e.what();
    }
    EXPECT_TRUE(replica.state.empty()) << c.name;
  }
  server->set_faults("[]");
}

TEST_P(CaldavServer, WritesAreReadStrictly) {
  const std::string event =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge//test//EN\r\nBEGIN:VEVENT\r\nUID:w1\r\n"
      "DTSTAMP:20260101T000000Z\r\nDTSTART:20260105T100000Z\r\nDTEND:20260105T110000Z\r\nSUMMARY:Written\r\n"
      "END:VEVENT\r\nEND:VCALENDAR\r\n";
  std::string url = resolve_url(calendar, "w1.ics");
  WriteResult created = put_object(*http, url, event, "");
  EXPECT_EQ(created.status, 201);
  EXPECT_FALSE(created.etag.empty());

  auto kind_of = [&](auto&& write) -> std::optional<ErrorKind> {
    try {
      write();
    } catch (const Error& e) {
      return e.kind();
    }
    return std::nullopt;
  };
  EXPECT_EQ(kind_of([&] { put_object(*http, url, event, ""); }), ErrorKind::precondition_failed)
      << "If-None-Match: * on an object that exists";
  EXPECT_EQ(kind_of([&] { put_object(*http, url, event, "\"stale\""); }), ErrorKind::precondition_failed);
  EXPECT_EQ(kind_of([&] { delete_object(*http, url, "\"stale\""); }), ErrorKind::precondition_failed);
  server->set_faults(R"([{"method":"PUT","action":"wrap207"}])");
  EXPECT_EQ(kind_of([&] { put_object(*http, url, event, created.etag); }), ErrorKind::precondition_failed);
  server->set_faults("[]");

  std::string changed = event;
  changed.replace(changed.find("Written"), 7, "Rewritten");
  WriteResult replaced = put_object(*http, url, changed, created.etag);
  EXPECT_NE(replaced.etag, created.etag);
  MemoryReplica replica;
  sync(replica);
  EXPECT_EQ(summaries(replica, key(replica)), std::vector<std::string>{"Rewritten"});
  delete_object(*http, url, replaced.etag);

  // A calendar of our own: its title and color as the server keeps them,
  // then gone again, from the server and from the replica.
  std::string mine = resolve_url(home, "mine/");
  make_calendar(*http, mine, "Mine & Yours", "#FF8800");
  Discovery d = discover(*http, server->url());
  auto it = std::find_if(d.calendars.begin(), d.calendars.end(),
                         [&](const RemoteCalendar& c) { return same_path(c.url, mine); });
  ASSERT_NE(it, d.calendars.end());
  EXPECT_EQ(it->title, "Mine & Yours");
  EXPECT_EQ(it->color.substr(0, 7), "#FF8800");
  sync(replica);
  EXPECT_EQ(replica.state.size(), 2u);
  delete_calendar(*http, mine);
  SyncReport report = sync(replica);
  EXPECT_EQ(report.calendars_removed, 1u);
  EXPECT_EQ(replica.state.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Servers, CaldavServer, ::testing::Values(ServerKind::radicale, ServerKind::xandikos),
                         [](const auto& info) { return std::string(testing::server_name(info.param)); });

}  // namespace
}  // namespace calbridge::caldav
