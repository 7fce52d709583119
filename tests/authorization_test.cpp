#include "calendar/authorization.h"
#include "calendar/sqlite_store.h"

#include <gtest/gtest.h>

#include <thread>

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
  int requests = 0;

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
  }
}

TEST(Authorization, SilenceEndsTheWaitWithARefusal) {
  SqliteStore backing{std::string(kInMemoryStore)};
  ASSERT_TRUE(backing.open());
  PermissionStore never(backing, AuthorizationStatus::notDetermined, PermissionStore::Answer::never);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(requestAccess(never, 100ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 100ms);
  // An answer that comes after the wait is over is not taken, and harms nothing.
  PermissionStore late(backing, AuthorizationStatus::notDetermined, PermissionStore::Answer::yesLater);
  EXPECT_FALSE(requestAccess(late, 1ms));
  EXPECT_EQ(kAccessRequestWait, 120s);
}

}  // namespace
}  // namespace calbridge
