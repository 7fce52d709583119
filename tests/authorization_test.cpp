#include "calendar/access/authorization.h"
#include "sqlite/sqlite_store.h"
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace calbridge {
namespace {

using namespace std::chrono_literals;

// A store whose permission and answer the test decides.
class PermissionStore : public StoreWrapper {
 public:
  enum class Answer { yesAtOnce, noAtOnce, yesLater, never };
  PermissionStore(Store& target, AuthorizationStatus status, Answer answer)
      : StoreWrapper(target), status_(status), answer_(answer) {}
  ~PermissionStore() override {
    if (late_.joinable()) late_.join();
  }

  AuthorizationStatus authorizationStatus() override { return status_; }
  void requestFullAccessToEvents(std::function<void(bool)> completion) override {
    ++requests;
    switch (answer_) {
      case Answer::yesAtOnce: completion(true); break;
      case Answer::noAtOnce: completion(false); break;
      case Answer::yesLater:
        late_ = std::thread([completion] {
          std::this_thread::sleep_for(50ms);
          completion(true);
        });
        break;
      case Answer::never: break;
    }
  }
  std::optional<bool> endAccessRequest() override {
    ++ends;
    return takenAsTheWaitEnded;
  }
  int requests = 0;
  int ends = 0;
  std::optional<bool> takenAsTheWaitEnded;

 private:
  AuthorizationStatus status_;
  Answer answer_;
  std::thread late_;
};

TEST(Authorization, OnlyFullAccessCountsAndOnlyOthersAsk) {
  SqliteStore backing{std::string(kInMemoryStore)};
  ASSERT_TRUE(backing.open());
  using S = AuthorizationStatus;
  using A = PermissionStore::Answer;
  struct Case {
    S status;
    A answer;
    bool has, granted;
    int requests;
  } cases[] = {
      {S::fullAccess, A::noAtOnce, true, true, 0},  // already granted: nothing is asked
      {S::notDetermined, A::yesAtOnce, false, true, 1},
      {S::notDetermined, A::noAtOnce, false, false, 1},
      {S::denied, A::noAtOnce, false, false, 1},
      {S::restricted, A::noAtOnce, false, false, 1},
      {S::writeOnly, A::yesAtOnce, false, true, 1},
      {S::notDetermined, A::yesLater, false, true, 1},  // answered on another thread, within the wait
  };
  for (const auto& c : cases) {
    PermissionStore store(backing, c.status, c.answer);
    EXPECT_EQ(hasAccess(store), c.has);
    EXPECT_EQ(store.requests, 0) << "hasAccess never asks";
    EXPECT_EQ(requestAccess(store, 5s), c.granted);
    EXPECT_EQ(store.requests, c.requests);
    EXPECT_EQ(store.ends, 0) << "an answer in time ends nothing";
  }
}

TEST(Authorization, SilenceEndsTheWaitWithARefusal) {
  SqliteStore backing{std::string(kInMemoryStore)};
  ASSERT_TRUE(backing.open());
  PermissionStore never(backing, AuthorizationStatus::notDetermined, PermissionStore::Answer::never);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(requestAccess(never, 100ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 100ms);
  EXPECT_EQ(never.ends, 1);
  // An answer that comes after the wait is over is not taken, and harms nothing.
  PermissionStore late(backing, AuthorizationStatus::notDetermined, PermissionStore::Answer::yesLater);
  EXPECT_FALSE(requestAccess(late, 1ms));
  EXPECT_EQ(late.ends, 1);
  // A store that recorded the answer just as the wait ended has the last word.
  PermissionStore justInTime(backing, AuthorizationStatus::notDetermined, PermissionStore::Answer::never);
  justInTime.takenAsTheWaitEnded = true;
  EXPECT_TRUE(requestAccess(justInTime, 1ms));
  EXPECT_EQ(kAccessRequestWait, 120s);
}

TEST(Authorization, SilenceOnATerminalEndsTheQuestionsLineAndRecordsNothing) {
  testing::TemporaryFolder folder;
  const std::string path = folder.path() + "/calendar.db";
  int master = -1;
  pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    SqliteStore store(path);
    bool granted = store.open() && requestAccess(store, 300ms);
    std::printf("%s\n", granted ? "granted" : "refused");  // the reply, as the bridge would write it next
    std::fflush(stdout);
    _exit(0);
  }
  std::string seen;
  char buffer[512];
  for (pollfd p{master, POLLIN, 0}; poll(&p, 1, 10000) > 0;) {
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  close(master);
  waitpid(child, nullptr, 0);
  auto asked = seen.find("[y/n] ");
  ASSERT_NE(asked, std::string::npos) << seen;
  EXPECT_EQ(seen.substr(asked + 6, 2), "\r\n") << seen;
  EXPECT_NE(seen.find("taken as no", asked), std::string::npos) << seen;
  EXPECT_NE(seen.find("refused", asked), std::string::npos) << seen;
  SqliteStore after(path);
  ASSERT_TRUE(after.open());
  EXPECT_EQ(after.authorizationStatus(), AuthorizationStatus::notDetermined);
}

}  // namespace
}  // namespace calbridge
