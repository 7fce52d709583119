// Who may touch the store, and how private its files are.
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <fstream>
#include <functional>
#include <vector>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace calbridge::testing {
namespace {

constexpr char kDenied[] = R"({"ok":false,"error":"denied"})";

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
  ::unlink(path.c_str());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::_Exit(1);
  ::close(fd);
}

// Runs `work` in a child process that has become the user nobody, with umask 0:
// another person on the machine. False when it could not.
bool asAnotherUser(const std::function<void()>& work) {
  const passwd* other = ::getpwnam("nobody");
  if (::geteuid() != 0 || other == nullptr) return false;
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(other->pw_gid) != 0 || ::setuid(other->pw_uid) != 0) std::_Exit(1);
    ::umask(0);
    work();
    std::_Exit(0);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

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

// A store folder or file that someone else could have written or swapped in is
// refused and left as it is: the bridge replies "failed", the owner's tool says
// in one line what is wrong and how to mend it.
TEST_F(Security, StoreFolderOrFilesOthersCouldWriteAreRefusedUntouched) {
  BridgeFixture granted;
  granted.grantAccess();
  granted.sql("PRAGMA wal_checkpoint(TRUNCATE)");  // the last connection out takes the journal files along
  const std::string grantedStore = contents(granted.databasePath());
  using Files = std::vector<std::pair<std::string, std::string>>;  // suffix of calendar.db, bytes
  const struct {
    const char* name;
    mode_t folderMode, fileMode;
    bool linkFolder, linkFile;
    Files planted;  // written by another user while the folder was 0777, which is then made private
    const char* mend;  // in the tool's one line; none: the store is accepted
  } cases[] = {
      {"folder writable by all", 0777, 0600, false, false, {}, "chmod go-w"},
      {"folder writable by the group", 0770, 0600, false, false, {}, "chmod go-w"},
      {"folder readable by all", 0755, 0600, false, false, {}, nullptr},
      {"database readable by others", 0700, 0644, false, false, {}, "chmod 600"},
      {"database a symbolic link", 0700, 0600, false, true, {}, "mv "},
      {"folder a symbolic link", 0700, 0600, true, false, {}, "XDG_DATA_HOME"},
      {"journal files of another user", 0700, 0600, false, false,
       {{"-wal", "planted log"}, {"-shm", std::string(32768, 'x')}}, "rm "},
      {"database of another user, access granted", 0700, 0600, false, false, {{"", grantedStore}}, "rm "},
  };
  int skipped = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeFixture f;
    f.store({"access", "deny"});
    std::string folder = f.dataHome() + "/calbridge", watched = f.databasePath();
    ::chmod(watched.c_str(), c.fileMode);
    auto moveAndLink = [&](const std::string& from, const std::string& to, const std::string& file) {
      ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0);
      ASSERT_EQ(::symlink(to.c_str(), from.c_str()), 0);
      watched = file;
    };
    if (c.linkFile) moveAndLink(watched, f.dataHome() + "/elsewhere.db", f.dataHome() + "/elsewhere.db");
    if (c.linkFolder) moveAndLink(folder, f.dataHome() + "/elsewhere", f.dataHome() + "/elsewhere/calendar.db");
    if (!c.planted.empty()) {
      f.sql("PRAGMA wal_checkpoint(TRUNCATE)");
      ::chmod(f.dataHome().c_str(), 0711);
      ::chmod(folder.c_str(), 0777);
      bool planted = asAnotherUser([&] {
        for (const auto& [suffix, bytes] : c.planted) writeFile(f.databasePath() + suffix, bytes, 0666);
      });
      if (!planted) {
        ++skipped;
        continue;
      }
      watched = f.databasePath() + c.planted.back().first;
    }
    ::chmod(folder.c_str(), c.folderMode);
    const std::string before = contents(watched);
    struct stat was {}, is {};
    ASSERT_EQ(::stat(watched.c_str(), &was), 0);
    Envelope reply = f.request("calendars", "");
    RunResult tool = f.runStore({"access"});
    if (c.mend == nullptr) {
      EXPECT_EQ(reply.raw.out, kDenied);
      EXPECT_EQ(tool.out, "denied\n");
      continue;
    }
    EXPECT_EQ(reply.raw.out, R"({"ok":false,"error":"failed"})");
    EXPECT_EQ(tool.status, 1);
    EXPECT_TRUE(tool.err.rfind("calbridge-store: ", 0) == 0 && std::count(tool.err.begin(), tool.err.end(), '\n') == 1 &&
                tool.err.find(c.mend) != std::string::npos) << tool.err;
    ASSERT_EQ(::stat(watched.c_str(), &is), 0);
    EXPECT_EQ(contents(watched), before);
    EXPECT_TRUE(is.st_mode == was.st_mode && is.st_uid == was.st_uid);
  }
  if (skipped > 0) GTEST_SKIP() << "not root: " << skipped << " cases need to plant another user's files";
}

// After the first request a power cut cannot take the new store away: every
// folder it made, and the database file, are synced into their parents.
TEST_F(Security, FirstUseSyncsEveryNewFolderIntoItsParent) {
  const std::string top = std::filesystem::canonical(dataHome()).string();
  const std::string data = top + "/new/data";  // missing: three folders to make, and calbridge in them
  const std::string log = top + "/synced";
  const char* asan = std::getenv("ASAN_OPTIONS");
  Envelope reply = request("calendars", "",
                           {{"XDG_DATA_HOME", data}, {"LD_PRELOAD", CALBRIDGE_SYNC_LOG_LIBRARY},
                            {"CALBRIDGE_SYNC_LOG", log},
                            {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0"}});
  EXPECT_EQ(reply.raw.out, kDenied);
  std::set<std::string> synced;
  std::istringstream lines(contents(log));
  for (std::string line; std::getline(lines, line);) synced.insert(line);
  for (const std::string& folder : {top, top + "/new", data, data + "/calbridge"}) {
    EXPECT_EQ(synced.count(folder), 1u) << folder << " not synced";
  }
}

}  // namespace
}  // namespace calbridge::testing
