// calbridge-store, the owner's tool: its outputs, and bad input refused in one
// line without changing anything.
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace calbridge::testing {
namespace {

class StoreTool : public ::testing::Test, public BridgeFixture {};

TEST_F(StoreTool, ListsAndChanges) {
  EXPECT_EQ(store({"path"}), databasePath());
  EXPECT_EQ(store({"access"}), "not-determined");
  for (auto [word, shown] : {std::pair{"grant", "full"}, std::pair{"deny", "denied"},
                             std::pair{"restrict", "restricted"}, std::pair{"write-only", "write-only"},
                             std::pair{"reset", "not-determined"}}) {
    store({"access", word});
    EXPECT_EQ(store({"access"}), shown);
  }
  std::string caldav = store({"source", "add", "--title", "Server", "--type", "2"});
  rapidjson::Document sources;
  sources.Parse(store({"sources"}).c_str());
  ASSERT_EQ(sources.Size(), 2u);
  EXPECT_EQ(sources[1]["id"].GetString(), caldav);
  EXPECT_STREQ(sources[1]["title"].GetString(), "Server");
  EXPECT_EQ(sources[1]["type"].GetInt(), 2);

  std::string work = store({"calendar", "add", "--title", "Work", "--source", caldav, "--color", "#AbCdEf",
                            "--immutable"});
  store({"calendar", "set", work, "--title", "Office", "--no-color", "--read-only"});
  store({"default", "set", work});
  rapidjson::Document calendars;
  calendars.Parse(store({"calendars"}).c_str());
  ASSERT_EQ(calendars.Size(), 2u);
  const auto& office = calendars[1];
  EXPECT_EQ(office["id"].GetString(), work);
  EXPECT_STREQ(office["title"].GetString(), "Office");
  EXPECT_TRUE(office["color"].IsNull());
  EXPECT_EQ(office["source"].GetString(), caldav);
  EXPECT_FALSE(office["writable"].GetBool());
  EXPECT_TRUE(office["immutable"].GetBool());
  EXPECT_TRUE(office["default"].GetBool());
  EXPECT_FALSE(calendars[0]["default"].GetBool());
  // The owner may remove what the bridge may not: an immutable default calendar.
  store({"calendar", "remove", work});
  store({"source", "remove", caldav});
  calendars.Parse(store({"calendars"}).c_str());
  EXPECT_EQ(calendars.Size(), 1u);
}

TEST_F(StoreTool, BadInputIsOneLineAndChangesNothing) {
  std::string calendar = defaultCalendar();
  rapidjson::Document sources;
  sources.Parse(store({"sources"}).c_str());
  std::string local = sources[0]["id"].GetString();
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"nope"},
      {"access", "maybe"},
      {"access", "grant", "twice"},
      {"source", "add", "--title", "X"},
      {"source", "add", "--title", "X", "--type", "two"},
      {"source", "add", "--title", "X", "--type", "-1"},
      {"source", "add", "--title"},
      {"source", "remove", "no-such-account"},
      {"source", "remove", local},  // it holds the default calendar
      {"source", "frobnicate"},
      {"calendar", "add"},
      {"calendar", "add", "--title", "X", "--source", "no-such-account"},
      {"calendar", "add", "--title", "X", "--color", "#12345"},
      {"calendar", "add", "--title", "X", "--colour", "#123456"},
      {"calendar", "add", "--title", "X", "--title", "Y"},
      {"calendar", "set", "no-such-calendar", "--title", "X"},
      {"calendar", "set", calendar, "--read-only", "--writable"},
      {"calendar", "set", calendar, "--color", "red"},
      {"calendar", "remove", "no-such-calendar"},
      {"default", "set", "no-such-calendar"},
      {"default", "set"},
      {"calendars", "extra"},
      {"path", "extra"},
  };
  std::string before = store({"calendars"}) + store({"sources"}) + store({"access"});
  for (const auto& arguments : bad) {
    RunResult result = runStore(arguments);
    std::string shown;
    for (const auto& a : arguments) shown += a + " ";
    EXPECT_EQ(result.status, 1) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_EQ(result.err.rfind(arguments.empty() ? "usage:" : "calbridge-store: ", 0), 0u) << shown << result.err;
    if (!arguments.empty()) {
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown;
    }
  }
  EXPECT_EQ(store({"calendars"}) + store({"sources"}) + store({"access"}), before);
}

// Without a session bus nothing is asked and nothing written: the own store
// serves as ever. A setting picks the store; one that names none is refused.
TEST_F(StoreTool, WhichStoreServes) {
#ifdef CALBRIDGE_EVENTKIT_SIMULATOR
  GTEST_SKIP() << "the bridge over EventKit serves the system's calendars: the setting chooses between Linux's stores";
#endif
  grantAccess();
  const std::string setting = dataHome() + "/config/calbridge/store";
  EXPECT_TRUE(request("calendars", "{}").ok());
  EXPECT_FALSE(std::filesystem::exists(setting));
  RunResult shown = runStore({"store"});
  EXPECT_EQ(shown.out, "own\n");
  EXPECT_NE(shown.err.find("no session bus"), std::string::npos) << shown.err;
  EXPECT_FALSE(std::filesystem::exists(setting));
  store({"store", "own"});
  EXPECT_TRUE(std::filesystem::exists(setting));
  EXPECT_NE(runStore({"store"}).err.find("set in"), std::string::npos);
  EXPECT_EQ(runStore({"store", "nowhere"}).status, 1);
  std::ofstream(setting) << "nowhere\n";
  EXPECT_EQ(request("calendars", "{}").error(), "failed");
  EXPECT_EQ(runStore({"store"}).status, 1);
}

TEST_F(StoreTool, EveryCommandExplainsItself) {
  for (const char* command : {"path", "access", "sources", "source", "calendars", "calendar", "default", "import",
                              "export"}) {
    RunResult help = runStore({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: calbridge-store " + std::string(command), 0), 0u) << help.out;
  }
  RunResult general = runStore({"--help"});
  EXPECT_EQ(general.status, 0);
  EXPECT_NE(general.out.find("calendar add"), std::string::npos);
  EXPECT_NE(access(databasePath().c_str(), F_OK), 0) << "help touches no store";
}

}  // namespace
}  // namespace calbridge::testing
