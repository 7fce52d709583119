// An account whose server takes only an OAuth 2.0 bearer token: the token
// comes from a command each time, is never stored, and one refusal leads to
// one fresh token and one retry.
#include "caldav/servers.h"
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace calbridge::testing {
namespace {

class CaldavBearer : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    std::string skip;
    server = DavServer::start(ServerKind::xandikos, &skip, Gate::bearer);
    if (!server) GTEST_SKIP() << skip;
    calendar = server->make_calendar("work", "Work");
    ASSERT_FALSE(calendar.empty());
    grantAccess();
    store({"calendar", "add", "--title", "scratch"});
    // Its nth run prints the nth line of the tokens file (the last when fewer).
    command = dataHome() + "/token";
    std::ofstream(command) << "#!/bin/sh\necho x >>" << dataHome() << "/runs\n"
                           << "head -n \"$(wc -l <" << dataHome() << "/runs)\" " << dataHome()
                           << "/tokens | tail -n 1\n";
  }

  void tokens(const std::string& lines) const { std::ofstream(dataHome() + "/tokens") << lines; }
  size_t runs() const {
    std::ifstream in(dataHome() + "/runs");
    return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
  }
  // Authorization headers the gate saw since `from`.
  std::vector<std::string> since(size_t from) const {
    auto all = server->authorizations();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
  }

  std::unique_ptr<DavServer> server;
  std::string calendar, command;
};

TEST_F(CaldavBearer, ATokenFromACommandEachTimeAndOneRetryWithAFreshOne) {
  server->peer({"put", calendar, "a", "Dentist"});
  EXPECT_EQ(runStore({"source", "add", "--title", "Work account", "--caldav", server->url(), "--user", "alice",
                      "--token-command", "sh " + command})
                .status,
            1) << "a user and a token together";

  server->set_bearer_token("tok1");
  tokens("tok1\n");
  RunResult added =
      runStore({"source", "add", "--title", "Work account", "--caldav", server->url(), "--token-command", "sh " + command});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_NE(added.err.find("credentials go to http://127.0.0.1:"), std::string::npos) << added.err;
  EXPECT_EQ(runs(), 1u);
  auto seen = since(0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "Bearer tok1"), static_cast<std::ptrdiff_t>(seen.size()));

  struct Step {
    const char* name;
    const char* serverToken;
    const char* lines;  // the tokens file: runs so far come first
    int status;
    size_t moreRuns;
    std::vector<std::string> firstAuthorizations;  // of the requests this step sent
  } steps[] = {
      {"the token changed: asked again for the next command", "tok2", "tok1\ntok2\n", 0, 1, {"Bearer tok2"}},
      {"expired meanwhile: one fresh token, one retry", "tok3", "tok1\ntok2\nstale\ntok3\n", 0, 2,
       {"Bearer stale", "Bearer tok3"}},
      {"refused twice: the sync fails, no third try", "tok4", "tok1\ntok2\nstale\ntok3\nbad1\nbad2\n", 1, 2,
       {"Bearer bad1", "Bearer bad2"}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    server->set_bearer_token(step.serverToken);
    tokens(step.lines);
    const size_t runsBefore = runs(), seenBefore = server->authorizations().size();
    RunResult synced = runStore({"sync"});
    EXPECT_EQ(synced.status, step.status) << synced.err;
    EXPECT_EQ(runs() - runsBefore, step.moreRuns);
    auto sent = since(seenBefore);
    ASSERT_GE(sent.size(), step.firstAuthorizations.size());
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(step.firstAuthorizations.size())),
              step.firstAuthorizations);
    if (step.status != 0) {
      EXPECT_EQ(sent.size(), 2u) << "one retry only";
      EXPECT_NE(synced.err.find("refused"), std::string::npos) << synced.err;
    }
  }

  // A change through the bridge takes a token of its own too.
  server->set_bearer_token("tok5");
  tokens("tok5\n");
  std::string id;
  Envelope listed = request("calendars", "");
  for (const auto& c : listed.data().GetArray())
    if (c["source"] == "Work account" && c["title"] == "Work") id = c["id"].GetString();
  ASSERT_FALSE(id.empty()) << listed.raw.out;
  Envelope made = request("createEvent", R"({"calendar":")" + id + R"(","start":1768035600,"end":1768039200})");
  EXPECT_TRUE(made.ok()) << made.raw.out;
  EXPECT_EQ(server->peer({"list", calendar}), "2");

  std::ifstream db(databasePath(), std::ios::binary);
  std::stringstream text;
  text << db.rdbuf();
  std::ifstream wal(databasePath() + "-wal", std::ios::binary);
  text << wal.rdbuf();
  for (const char* token : {"tok1", "tok2", "tok3", "tok5"})
    EXPECT_EQ(text.str().find(token), std::string::npos) << token << " is stored";
}

}  // namespace
}  // namespace calbridge::testing
