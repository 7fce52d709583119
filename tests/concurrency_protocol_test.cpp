// Several hosts at once against one store, one process per request, as a
// desktop host that starts requests in parallel runs them: no reply fails for a
// lock, everything replied "ok" is there afterwards, and the file stays sound.
#include "support/bridge.h"
#include "support/database.h"
#include "support/fault_shim.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <future>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace calbridge::testing {
namespace {

constexpr int kHosts = 8;
constexpr int kEventsPerHost = 50;
constexpr double kBase = 1767258000;  // 2026-01-01 09:00 UTC
constexpr double kDay = 86400;
constexpr int kSeriesDays = 10;

// What one host was told, to hold against the store afterwards.
struct Created {
  std::string uid;
  std::string title;
  double start = 0;
  bool repeating = false;
  std::set<double> gone;  // occurrence starts skipped or deleted
  bool deleted = false;
};

struct HostLog {
  std::vector<Created> created;
  std::vector<std::string> faults;
};

class Concurrency : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    // Many threads write to child pipes; none may be ended by SIGPIPE between
    // another thread's save and restore of the handler.
    previous_ = std::signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override { std::signal(SIGPIPE, previous_); }

  // One request as its own process; a reply other than ok is a fault.
  bool ask(HostLog& log, const std::string& command, const std::string& input, Envelope* out) const {
    RunResult raw = runBridge({command}, input, {{"TZ", "UTC"}});
    out->raw = raw;
    out->json.Parse(raw.out.c_str(), raw.out.size());
    if (!raw.err.empty() || out->json.HasParseError() || !out->ok()) {
      log.faults.push_back(command + " " + input.substr(0, 160) + " -> " + raw.out + " " + raw.err);
      return false;
    }
    return true;
  }

  void host(int h, const std::string& calendar, HostLog& log) const {
    for (int i = 0; i < kEventsPerHost; ++i) {
      Created event;
      event.start = kBase + (h * kEventsPerHost + i) * 3600.0;
      event.title = "host " + std::to_string(h) + " event " + std::to_string(i);
      event.repeating = i % 5 == 0;
      std::string input = R"({"calendar":")" + calendar + R"(","title":")" + event.title + R"(","start":)" +
                          number(event.start) + R"(,"end":)" + number(event.start + 1800);
      if (event.repeating) {
        event.gone = {event.start + 2 * kDay, event.start + 5 * kDay};
        input += R"(,"repeat":"daily","until":)" + number(event.start + (kSeriesDays - 1) * kDay) + R"(,"skip":[)" +
                 number(event.start + 2 * kDay) + "," + number(event.start + 5 * kDay) + "]";
      }
      Envelope reply;
      if (!ask(log, "createEvent", input + "}", &reply)) continue;
      event.uid = reply.data()["uid"].GetString();
      log.created.push_back(event);

      // Now and then one of this host's own events goes again, whole or one occurrence of it.
      if (i % 10 == 9) {
        Created& victim = log.created[log.created.size() / 2];
        if (victim.deleted) continue;
        std::string request = R"({"uid":")" + victim.uid + R"(","calendar":")" + calendar + R"("})";
        if (ask(log, "deleteEvent", request, &reply)) {
          victim.deleted = true;
          if (reply.data()["deleted"].GetInt() != 1) {
            log.faults.push_back("whole delete removed nothing: " + reply.raw.out);
          }
        }
      } else if (i % 10 == 7) {
        Created* series = nullptr;
        for (auto& c : log.created) {
          if (c.repeating && !c.deleted && !c.gone.count(c.start + 3 * kDay)) series = &c;
        }
        if (series == nullptr) continue;
        double occurrence = series->start + 3 * kDay;
        std::string request = R"({"uid":")" + series->uid + R"(","calendar":")" + calendar + R"(","start":)" +
                              number(occurrence) + "}";
        if (ask(log, "deleteEvent", request, &reply)) {
          series->gone.insert(occurrence);
          if (reply.data()["deleted"].GetInt() != 1) {
            log.faults.push_back("occurrence delete removed nothing: " + reply.raw.out);
          }
        }
      }
    }
  }

 private:
  void (*previous_)(int) = SIG_DFL;
};

TEST_F(Concurrency, EightHostsCreateListAndDeleteAndNothingIsLost) {
  grantAccess();
  const std::string calendar = defaultCalendar();
  const double windowEnd = kBase + kHosts * kEventsPerHost * 3600.0 + kSeriesDays * kDay;
  const std::string listing = R"({"from":)" + number(kBase - 3600) + R"(,"to":)" + number(windowEnd) +
                              R"(,"calendars":[")" + calendar + R"("]})";

  std::vector<HostLog> logs(kHosts);
  HostLog listerLog;
  std::atomic<int> hostsLeft{kHosts};
  std::vector<std::thread> threads;
  for (int h = 0; h < kHosts; ++h) {
    threads.emplace_back([&, h] {
      host(h, calendar, logs[h]);
      --hostsLeft;
    });
  }
  // Meanwhile a host lists, as a calendar view refreshing does.
  std::size_t listings = 0;
  std::thread lister([&] {
    while (hostsLeft > 0) {
      Envelope reply;
      ask(listerLog, listings % 4 == 0 ? "calendars" : "events", listing, &reply);
      ++listings;
    }
  });
  for (auto& t : threads) t.join();
  lister.join();

  for (const auto& log : logs) {
    for (const auto& fault : log.faults) ADD_FAILURE() << fault;
  }
  for (const auto& fault : listerLog.faults) ADD_FAILURE() << fault;

  // Every event replied "ok" is listed with exactly its occurrences, unless deleted.
  Envelope final = request("events", listing, {{"TZ", "UTC"}});
  ASSERT_TRUE(final.ok()) << final.raw.out;
  std::map<std::string, std::multiset<double>> listed;
  for (const auto& record : final.data().GetArray()) {
    listed[record["uid"].GetString()].insert(record["start"].GetDouble());
  }
  std::size_t checked = 0;
  for (const auto& log : logs) {
    for (const auto& event : log.created) {
      ++checked;
      std::multiset<double> expected;
      if (!event.deleted) {
        for (int d = 0; d < (event.repeating ? kSeriesDays : 1); ++d) {
          double start = event.start + d * kDay;
          if (!event.gone.count(start)) expected.insert(start);
        }
      }
      auto found = listed.find(event.uid);
      std::multiset<double> actual = found == listed.end() ? std::multiset<double>{} : found->second;
      EXPECT_EQ(actual, expected) << event.title << (event.deleted ? " (deleted)" : "");
    }
  }
  EXPECT_EQ(checked, static_cast<std::size_t>(kHosts * kEventsPerHost));
  EXPECT_GT(listings, 0u);

  Database database(databasePath());
  EXPECT_EQ(database.check(), "ok");
}

// A request that waits behind another writer acts on the calendar it named or
// on none: not on a calendar made meanwhile, whatever row that one got.
TEST_F(Concurrency, ARequestWaitingForTheLockNeverActsOnAnotherCalendar) {
  grantAccess();
  struct Case {
    const char* command;
    std::string (*input)(const std::string& calendar);
  } cases[] = {
      {"createEvent",
       [](const std::string& c) { return R"({"calendar":")" + c + R"(","start":1767258000,"end":1767261600})"; }},
      {"deleteCalendar", [](const std::string& c) { return R"({"calendar":")" + c + R"("})"; }},
  };
  for (const Case& c : cases) {
    Envelope made = request("createCalendar", R"({"title":"X"})");
    ASSERT_TRUE(made.ok()) << made.raw.out;
    const std::string named = made.data()["id"].GetString();
    Database other(databasePath());
    other.execute("BEGIN IMMEDIATE");
    // The request reads its calendar, then waits for the lock: it sleeps for
    // the first time there, which the preloaded shim marks.
    const std::string waiting = dataHome() + "/waiting";
    std::remove(waiting.c_str());
    auto delayed = std::async(std::launch::async, [&] {
      return request(c.command, c.input(named), withFaultShim({{"CALBRIDGE_SLEEP_MARK", waiting}}));
    });
    while (access(waiting.c_str(), F_OK) != 0) {
      ASSERT_NE(delayed.wait_for(std::chrono::milliseconds(5)), std::future_status::ready)
          << c.command << " ended without waiting for the lock: " << delayed.get().raw.out;
    }
    other.execute("DELETE FROM calendars WHERE identifier = '" + named + "'");
    other.execute("INSERT INTO calendars(identifier, title, writable, immutable, source_id) "
                  "VALUES('made-meanwhile', 'Y', 1, 0, (SELECT id FROM sources LIMIT 1))");
    other.execute("COMMIT");
    Envelope reply = delayed.get();
    EXPECT_EQ(reply.raw.out, R"({"ok":false,"error":"failed"})") << c.command;
    EXPECT_EQ(other.integer("SELECT count(*) FROM calendars WHERE identifier = 'made-meanwhile'"), 1) << c.command;
    EXPECT_EQ(other.integer("SELECT count(*) FROM events"), 0) << c.command;
    other.execute("DELETE FROM calendars WHERE identifier = 'made-meanwhile'");
  }
}

}  // namespace
}  // namespace calbridge::testing
