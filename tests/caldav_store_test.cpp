// CalDAV accounts as a person uses them: added with calbridge-store, changed
// on the server by another client, synced, and read through the bridge.
#include "caldav/servers.h"
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
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

// A host may hand the bridge more than its three standard descriptors (a pipe
// it reads to its end, say). Once the bridge has replied and exited the host
// must see that pipe end, though a sync the bridge started goes on behind the
// reply: neither the sync nor its password command may keep any of them.
TEST_P(CaldavStore, TheSyncBehindTheReplyKeepsNoneOfTheHostsDescriptors) {
  if (GetParam() != ServerKind::radicale) GTEST_SKIP() << "the server plays no part; one is enough";
  ASSERT_EQ(addAccount(server->url(), "sh " + password).status, 0);
  // From now on the password command notes its descriptors, then waits to be
  // let go: the sync stays alive while the test looks.
  const std::string noted = dataHome() + "/descriptors", release = dataHome() + "/release";
  writeFile(password + "-slow", "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done >" + noted +
                                    ".tmp\nmv " + noted + ".tmp " + noted + "\nwhile [ ! -e " + release +
                                    " ]; do sleep 0.05; done\necho " + DavServer::kPassword + "\n");
  sql("UPDATE sources SET synced_at = 0, password_command = 'sh " + password + "-slow' WHERE url IS NOT NULL");

  int host[2];
  ASSERT_EQ(pipe(host), 0);
  fcntl(host[0], F_SETFD, FD_CLOEXEC);  // the write end alone goes to the bridge, as fd 3 or later
  struct stat pipe{};
  fstat(host[1], &pipe);
  Envelope reply = request("calendars", "");
  close(host[1]);
  EXPECT_TRUE(reply.ok());
  for (int i = 0; i < 400 && !std::filesystem::exists(noted); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(std::filesystem::exists(noted)) << "the sync behind the reply did not ask for the password";

  pollfd end{host[0], POLLIN, 0};
  EXPECT_EQ(poll(&end, 1, 0), 1) << "a process the bridge started still holds the host's pipe";
  EXPECT_TRUE(end.revents & POLLHUP);
  std::ifstream in(noted);
  for (std::string line; std::getline(in, line);)
    EXPECT_NE(line, "pipe:[" + std::to_string(pipe.st_ino) + "]") << "the password command got the host's pipe";
  close(host[0]);
  writeFile(release, "");
  bool synced = false;
  for (int i = 0; i < 400 && !synced; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    synced = Database(databasePath()).integer("SELECT count(*) FROM sources WHERE synced_at > 0") == 1;
  }
  EXPECT_TRUE(synced) << "the sync did not finish once let go";
}

// A sync ends: at its time (a server that does not answer), when its store is
// gone, and whatever the size of an object, which is then named and kept
// without its text.
TEST_P(CaldavStore, ASyncIsBoundedInTimeAndSizeAndEndsWithItsStore) {
  // One server is enough; Cyrus takes a 5 MB object quickest.
  if (GetParam() != ServerKind::cyrus) GTEST_SKIP() << "the server plays no part; one is enough";
  server->peer({"put", calendar, "a", "Dentist"});
  ASSERT_EQ(addAccount(server->url(), "sh " + password).status, 0);
  const std::string id = replicaCalendar();
  for (const char* timeout : {"0", "-5", "1.5", "soon", ""}) {
    RunResult refused = runStore({"sync", "--timeout", timeout});
    EXPECT_EQ(refused.status, 1) << timeout;
    EXPECT_NE(refused.err.find("--timeout takes whole seconds"), std::string::npos) << refused.err;
  }

  // Larger than an object may be: kept, named, not read; the others are.
  server->peer({"big", calendar, "big", std::to_string(5 << 20)});
  server->peer({"put", calendar, "b", "Standup"});
  RunResult synced = runStore({"sync"});
  EXPECT_EQ(synced.status, 0) << synced.err;
  EXPECT_NE(synced.err.find("big.ics: larger than 4 MiB, kept without its text"), std::string::npos) << synced.err;
  EXPECT_EQ(titlesIn(id), (std::multiset<std::string>{"Dentist", "Standup"}));
  EXPECT_EQ(Database(databasePath()).integer("SELECT count(*) FROM objects WHERE url LIKE '%big.ics' AND data = ''"), 1);

  // A server that does not answer: the sync ends at its time.
  server->peer({"put", calendar, "c", "Review"});
  server->set_faults(R"([{"method":"REPORT","action":"delay","seconds":30}])");
  RunResult slow = runStore({"sync", "--timeout", "2"});
  EXPECT_EQ(slow.status, 1);
  EXPECT_NE(slow.err.find("2 s; --timeout gives more"), std::string::npos) << slow.err;

  // The store removed while the sync waits on the server: it stops there.
  server->set_faults(R"([{"method":"REPORT","action":"delay","seconds":2}])");
  const std::size_t before = server->requests().size();
  RunResult gone;
  std::thread syncing([&] { gone = runStore({"sync"}); });
  auto reports = [&] {
    auto r = server->requests();
    return std::count_if(r.begin() + static_cast<std::ptrdiff_t>(before), r.end(),
                         [](const std::string& l) { return l.rfind("REPORT", 0) == 0; });
  };
  for (int i = 0; i < 400 && reports() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::filesystem::remove_all(dataHome() + "/calbridge");
  syncing.join();
  server->set_faults("[]");
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("the store's folder is gone"), std::string::npos) << gone.err;
}

INSTANTIATE_TEST_SUITE_P(Servers, CaldavStore, ::testing::Values(ServerKind::radicale, ServerKind::xandikos, ServerKind::cyrus),
                         [](const auto& info) { return std::string(server_name(info.param)); });

}  // namespace
}  // namespace calbridge::testing
