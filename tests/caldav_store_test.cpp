// CalDAV accounts as a person uses them: added with calbridge-store, changed
// on the server by another client, synced, and read through the bridge.
#include "caldav/servers.h"
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

namespace calbridge::testing {
namespace {

constexpr double kJanuary10 = 1768003200;  // 2026-01-10 00:00 UTC: where the other client puts events

class CaldavStore : public ::testing::TestWithParam<ServerKind>, public BridgeFixture {
 protected:
  void SetUp() override {
    std::string skip;
    server = DavServer::start(GetParam(), &skip);
    if (!server) GTEST_SKIP() << skip;
    calendar = server->make_calendar("work", "Work");
    ASSERT_FALSE(calendar.empty());
    grantAccess();
    // The password comes from a command, as from a password manager.
    password = dataHome() + "/password";
    store({"calendar", "add", "--title", "scratch"});  // the store exists before the file beside it
    writeFile(password, std::string("#!/bin/sh\necho ") + DavServer::kPassword + "\n");
  }

  static void writeFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }

  RunResult addAccount(const std::string& url, const std::string& command) const {
    return runStore({"source", "add", "--title", "Work account", "--caldav", url, "--user", DavServer::kUser,
                     "--password-command", command});
  }

  // The replica calendar's id, by its title in the bridge's listing; empty when not listed.
  std::string replicaCalendar(const std::string& title = "Work") const {
    Envelope reply = request("calendars", "");
    if (!reply.ok()) return {};
    for (const auto& c : reply.data().GetArray()) {
      if (c["source"] == "Work account" && c["title"] == title.c_str()) return c["id"].GetString();
    }
    return {};
  }

  std::multiset<std::string> titlesIn(const std::string& id) const {
    std::multiset<std::string> titles;
    auto events = eventsIn(id, kJanuary10 - 86400, kJanuary10 + 2 * 86400);
    if (!events.IsArray()) return {"(refused)"};
    for (const auto& e : events.GetArray()) titles.insert(e["title"].GetString());
    return titles;
  }

  std::unique_ptr<DavServer> server;
  std::string calendar, password;
};

TEST_P(CaldavStore, AnAccountIsReadAndKeptInStepWithItsServer) {
  server->peer({"put", calendar, "a", "Dentist"});
  server->peer({"put", calendar, "b", "Standup"});
  RunResult added = addAccount(server->url(), "sh " + password);
  ASSERT_EQ(added.status, 0) << added.err;
  // The one server its credentials go to, named.
  EXPECT_EQ(added.err, "calbridge-store: credentials go to " + server->url().substr(0, server->url().size() - 1) + "\n");
  const std::string id = replicaCalendar();
  ASSERT_FALSE(id.empty()) << request("calendars", "").raw.out;
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist", "Standup"}));

  // Changed elsewhere: one retitled, one removed, one added; and a calendar added.
  server->peer({"put", calendar, "a", "Dentist moved"});
  server->peer({"remove", calendar, "b"});
  server->peer({"put", calendar, "c", "Review"});
  const std::string other = server->make_calendar("home", "Home");
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist moved", "Review"}));
  EXPECT_FALSE(replicaCalendar("Home").empty());

  // A calendar removed on the server goes from the replica with its events.
  server->peer({"rmcal", other});
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_TRUE(replicaCalendar("Home").empty());
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist moved", "Review"}));

  // A change the reply calls done is on the server; one it refuses is not.
  Envelope created = request("createEvent", R"({"calendar":")" + id + R"(","start":0,"end":60})");
  EXPECT_EQ(server->peer({"list", calendar}), created.ok() ? "3" : "2") << created.raw.out;
}

TEST_P(CaldavStore, NothingIsStoredForAWrongPasswordOrAServerThatIsNotThere) {
  const std::string before = store({"sources"});
  writeFile(password + "-wrong", "#!/bin/sh\necho wrong\n");
  struct Case {
    std::string url, command;
  } cases[] = {
      {server->url(), "sh " + password + "-wrong"},
      {server->url(), "false"},
      {"http://127.0.0.1:9/", "sh " + password},
  };
  for (const Case& c : cases) {
    RunResult added = addAccount(c.url, c.command);
    EXPECT_EQ(added.status, 1) << c.url << " " << c.command;
    EXPECT_EQ(std::count(added.err.begin(), added.err.end(), '\n'), 1) << added.err;
    EXPECT_EQ(store({"sources"}), before);
  }
}

TEST_P(CaldavStore, AStaleReplicaIsRefreshedBehindTheReply) {
  server->peer({"put", calendar, "a", "Dentist"});
  ASSERT_EQ(addAccount(server->url(), "sh " + password).status, 0);
  const std::string id = replicaCalendar();
  server->peer({"put", calendar, "a", "Dentist moved"});
  // Read at once: the replica answers, as it was.
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist"}));
  // Read when its last sync is over a minute old: the reply still comes from
  // the replica, and a sync behind it brings the change.
  sql("UPDATE sources SET synced_at = 0 WHERE url IS NOT NULL");
  EXPECT_TRUE(request("calendars", "").ok());
  std::multiset<std::string> titles;
  for (int i = 0; i < 100 && titles != std::multiset<std::string>{"Dentist moved"}; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    titles = titlesIn(id);
  }
  EXPECT_EQ(titles, (std::multiset<std::string>{"Dentist moved"}));
}

// A server that fails is not asked again by every read: a sync begun less than
// a minute ago, completed or not, counts as fresh.
TEST_P(CaldavStore, AFailingServerIsNotAskedAgainAtOnce) {
  ASSERT_EQ(addAccount(server->url(), "sh " + password).status, 0);
  sql("UPDATE sources SET synced_at = 0 WHERE url IS NOT NULL");
  server->set_faults(R"([{"action":"status","status":500}])");
  EXPECT_NE(runStore({"sync", "--if-older-than", "60"}).status, 0);
  const std::size_t asked = server->requests().size();
  EXPECT_EQ(runStore({"sync", "--if-older-than", "60"}).status, 0);
  EXPECT_EQ(server->requests().size(), asked) << "a second sync within the minute asks nothing";
  server->set_faults("[]");
  EXPECT_EQ(runStore({"sync"}).status, 0) << "a sync asked for by name goes ahead";
}

TEST_P(CaldavStore, ASyncCutShortLeavesTheReplicaAsItWasAndTheNextCompletesIt) {
  server->peer({"put", calendar, "a", "Dentist"});
  ASSERT_EQ(addAccount(server->url(), "sh " + password).status, 0);
  const std::string id = replicaCalendar();
  server->peer({"put", calendar, "a", "Dentist moved"});
  server->peer({"put", calendar, "b", "Standup"});
  // The connection dropped while the changed objects arrive.
  server->set_faults(R"([{"method":"REPORT","after":1,"action":"drop"},{"method":"GET","action":"drop"}])");
  EXPECT_NE(runStore({"sync"}).status, 0);
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist"}));
  server->set_faults("[]");
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist moved", "Standup"}));
}

INSTANTIATE_TEST_SUITE_P(Servers, CaldavStore, ::testing::Values(ServerKind::radicale, ServerKind::xandikos),
                         [](const auto& info) { return std::string(server_name(info.param)); });

}  // namespace
}  // namespace calbridge::testing
