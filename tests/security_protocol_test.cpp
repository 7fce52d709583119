// Who may touch the store, and how private its files are.
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace calbridge::testing {
namespace {

constexpr char kDenied[] = R"({"ok":false,"error":"denied"})";

class Security : public ::testing::Test, public BridgeFixture {};

// Without full access no command reads a field or touches a calendar: a valid
// request and an empty one get the same "denied", and the store stays as it was.
// Nobody can be asked here (no terminal, no display), so an undecided store stays undecided.
TEST_F(Security, WithoutFullAccessEveryGatedCommandIsDeniedBeforeReadingAnyField) {
  grantAccess();
  const std::string calendar = defaultCalendar();
  const std::string spare = store({"calendar", "add", "--title", "Spare"});
  Envelope created = request("createEvent", R"({"calendar":")" + calendar +
                                                R"(","title":"Kept","start":1767258000,"end":1767259800})");
  ASSERT_TRUE(created.ok());
  const std::string uid = created.data()["uid"].GetString();
  const struct {
    const char* command;
    std::string valid;
  } gated[] = {
      {"events", R"({"from":1767225600,"to":1767312000,"calendars":[")" + calendar + R"("]})"},
      {"createEvent", R"({"calendar":")" + calendar + R"(","start":1767258000,"end":1767259800})"},
      {"deleteEvent", R"({"uid":")" + uid + R"(","calendar":")" + calendar + R"("})"},
      {"createCalendar", R"({"title":"New"})"},
      {"deleteCalendar", R"({"calendar":")" + spare + R"("})"},
  };
  for (std::string status : {"deny", "restrict", "write-only", "reset"}) {
    store({"access", status});
    const std::string before = Database(databasePath()).dump();
    for (const auto& g : gated) {
      for (const std::string& input : {g.valid, std::string(), std::string(R"({"calendar":5})")}) {
        SCOPED_TRACE(status + ", " + g.command + " " + input);
        Envelope reply = request(g.command, input);
        EXPECT_EQ(reply.raw.out, kDenied);
      }
    }
    EXPECT_EQ(request("calendars", "").raw.out, kDenied) << status;
    EXPECT_EQ(request("access", "").raw.out, R"({"ok":true,"data":{"granted":false}})") << status;
    EXPECT_EQ(Database(databasePath()).dump(), before) << status;
  }
}

// The store lives where the environment says or nowhere: without an absolute
// home there, the account's home from the user database is not used instead.
TEST_F(Security, WithoutAnAbsoluteHomeInTheEnvironmentThereIsNoStore) {
  for (const std::optional<std::string>& home : {std::optional<std::string>(), std::optional<std::string>("relative"),
                                                 std::optional<std::string>("")}) {
    Envelope access = request("access", "{}", {{"XDG_DATA_HOME", std::nullopt}, {"HOME", home}});
    EXPECT_EQ(access.raw.out, R"({"ok":false,"error":"failed"})") << home.value_or("(unset)");
  }
}

// The store is private to its owner from its first byte, journal files included.
TEST_F(Security, StoreFolderAndFilesAreTheOwnersAlone) {
  for (mode_t mask : {mode_t{022}, mode_t{0}}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    BridgeFixture fresh;
    mode_t previous = ::umask(mask);
    Envelope reply = fresh.request("calendars", "");
    ::umask(previous);
    EXPECT_EQ(reply.raw.out, kDenied);
    struct stat info {};
    ASSERT_EQ(::stat((fresh.dataHome() + "/calbridge").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    // A write leaves the journal files in place while a connection is open; the
    // owner's tool makes one, and SQLite gives them the database file's mode.
    ASSERT_EQ(::stat(fresh.databasePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    Database open(fresh.databasePath());
    open.execute("UPDATE settings SET value = value WHERE name = 'authorization'");
    for (const char* suffix : {"-wal", "-shm"}) {
      ASSERT_EQ(::stat((fresh.databasePath() + suffix).c_str(), &info), 0) << suffix;
      EXPECT_EQ(info.st_mode & 07777, 0600u) << suffix;
    }
  }
}

}  // namespace
}  // namespace calbridge::testing
