// Requests killed with SIGKILL at random moments, as a host that gives up may
// do: the store file stays sound and each request happened whole or not at all.
//
// The moments are drawn from a seed, printed with any failure; set
// CALBRIDGE_TEST_SEED to replay one.
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace calbridge::testing {
namespace {

constexpr double kBase = 1767258000;  // 2026-01-01 09:00 UTC
constexpr double kDay = 86400;
constexpr int kSkips = 1000;
constexpr int kAttempts = 24;

std::uint64_t testSeed() {
  if (const char* fixed = std::getenv("CALBRIDGE_TEST_SEED"); fixed != nullptr && *fixed != '\0') {
    return std::strtoull(fixed, nullptr, 10);
  }
  return std::random_device{}();
}

class Crashes : public ::testing::Test, public BridgeFixture {
 protected:
  // In the sanitizer build, a process killed during its exit-time leak check
  // has the sanitizer report on standard error that it lost its threads; leaks
  // mean nothing for a process killed midway, so the check is off.
  const std::map<std::string, std::optional<std::string>> utc_{{"TZ", "UTC"}, {"ASAN_OPTIONS", "detect_leaks=0"}};

  // Runs a request to its end and returns how long it took: the span the kills are spread over.
  std::chrono::microseconds timedRun(const std::string& command, const std::string& input, Envelope* reply) const {
    auto started = std::chrono::steady_clock::now();
    *reply = request(command, input, utc_);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  }
};

// A daily series of 1100 days from `first` that skips days 1 to 1000. Each
// request gets days of its own, so that earlier series do not slow it down.
std::string seriesWithSkips(const std::string& calendar, const std::string& title, double first) {
  std::string input = R"({"calendar":")" + calendar + R"(","title":")" + title + R"(","start":)" + number(first) +
                      R"(,"end":)" + number(first + 1800) + R"(,"repeat":"daily","until":)" +
                      number(first + 1100 * kDay) + R"(,"skip":[)";
  for (int k = 1; k <= kSkips; ++k) input += (k > 1 ? "," : "") + number(first + k * kDay);
  return input + "]}";
}

TEST_F(Crashes, KilledCreateEventLeavesNoSeriesOrOneWithNoneOrAllOfItsSkips) {
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (CALBRIDGE_TEST_SEED replays it)");
  std::mt19937_64 random(seed);
  grantAccess();
  const std::string calendar = defaultCalendar();

  Envelope whole;
  auto span = timedRun("createEvent", seriesWithSkips(calendar, "uninterrupted", kBase), &whole);
  ASSERT_TRUE(whole.ok()) << whole.raw.out;

  // Kills spread from the start to a little past the usual end, so some land
  // before the series is saved, some between its two commits, some after.
  std::uniform_int_distribution<std::int64_t> moment(0, span.count() * 5 / 4);
  std::vector<RunResult> runs;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::chrono::microseconds delay(moment(random));
    double first = kBase + (attempt + 1) * 1200 * kDay;
    std::string input = seriesWithSkips(calendar, "attempt " + std::to_string(attempt), first);
    runs.push_back(runBridgeKilledAfter("createEvent", input, delay, utc_));
    EXPECT_EQ(runs.back().err, "") << "attempt " << attempt;
  }

  Database database(databasePath());
  ASSERT_EQ(database.check(), "ok");
  const std::string skipsOf =
      "SELECT (SELECT count(*) FROM excluded x WHERE x.event_id = e.id) FROM events e WHERE e.title = ?1";
  EXPECT_EQ(database.rows(skipsOf, {"uninterrupted"}), (std::vector<std::vector<std::string>>{{"1000"}}));
  int none = 0, saved = 0, complete = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    auto found = database.rows(skipsOf, {"attempt " + std::to_string(attempt)});
    ASSERT_LE(found.size(), 1u);
    if (found.empty()) {
      EXPECT_TRUE(runs[attempt].killed) << "a finished createEvent left no series: " << runs[attempt].out;
      ++none;
      continue;
    }
    const std::string& skips = found[0][0];
    EXPECT_TRUE(skips == "0" || skips == "1000") << skips << " of the 1000 skips";
    if (!runs[attempt].killed) {
      EXPECT_EQ(runs[attempt].out.rfind(R"({"ok":true,"data":{"uid":")", 0), 0u) << runs[attempt].out;
      EXPECT_EQ(skips, "1000") << "a finished createEvent";
    }
    (skips == "0" ? saved : complete) += 1;
  }
  std::printf("killed createEvent: %d left nothing, %d the series alone, %d the series with its skips\n", none,
              saved, complete);

  // The store goes on serving after every kill.
  EXPECT_TRUE(request("events", R"({"from":)" + number(kBase) + R"(,"to":)" + number(kBase + 10 * kDay) +
                                    R"(,"calendars":[")" + calendar + R"("]})", utc_)
                  .ok());
}

// deleteEvent with a start removes every occurrence near it in one commit. A
// calendar file can give several events one UID (a series and its changed
// occurrences), so the store is given 40 series sharing one.
TEST_F(Crashes, KilledOccurrenceDeleteRemovesAllOfThemOrNone) {
  constexpr int kCopies = 40;
  const std::uint64_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (CALBRIDGE_TEST_SEED replays it)");
  std::mt19937_64 random(seed);
  grantAccess();
  const std::string calendar = defaultCalendar();

  Envelope created = request("createEvent",
                             R"({"calendar":")" + calendar + R"(","title":"shared","start":)" + number(kBase) +
                                 R"(,"end":)" + number(kBase + 1800) + R"(,"repeat":"daily","until":)" +
                                 number(kBase + 99 * kDay) + "}",
                             utc_);
  ASSERT_TRUE(created.ok()) << created.raw.out;
  const std::string uid = created.data()["uid"].GetString();
  {
    Database database(databasePath());
    for (int copy = 1; copy < kCopies; ++copy) {
      database.execute(
          "INSERT INTO events(item_id, external_id, external_key, calendar_id, title, start, end, all_day, status, "
          "time_zone, rule, until, count, last_end) SELECT item_id || '-" + std::to_string(copy) +
          "', external_id, external_key, calendar_id, title, start, end, all_day, status, time_zone, rule, until, "
          "count, last_end FROM events WHERE external_id = '" + uid + "' ORDER BY id LIMIT 1");
    }
    ASSERT_EQ(database.integer("SELECT count(*) FROM events WHERE external_id = ?1", {uid}), kCopies);
  }
  auto deleteDay = [&](int day) {
    return R"({"uid":")" + uid + R"(","calendar":")" + calendar + R"(","start":)" + number(kBase + day * kDay) + "}";
  };

  Envelope whole;
  auto span = timedRun("deleteEvent", deleteDay(1), &whole);
  ASSERT_TRUE(whole.ok()) << whole.raw.out;
  EXPECT_EQ(whole.data()["deleted"].GetInt(), kCopies);

  std::uniform_int_distribution<std::int64_t> moment(0, span.count() * 5 / 4);
  std::vector<RunResult> runs;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::chrono::microseconds delay(moment(random));
    runs.push_back(runBridgeKilledAfter("deleteEvent", deleteDay(attempt + 2), delay, utc_));
    EXPECT_EQ(runs.back().err, "") << "attempt " << attempt;
  }

  Database database(databasePath());
  ASSERT_EQ(database.check(), "ok");
  const std::string removedOn = "SELECT count(*) FROM excluded x JOIN events e ON e.id = x.event_id "
                                "WHERE e.external_id = ?1 AND x.wall = ?2";
  EXPECT_EQ(database.integer(removedOn, {uid, number(kBase + kDay)}), kCopies);
  int untouched = 0, removed = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    SCOPED_TRACE("attempt " + std::to_string(attempt));
    std::int64_t count = database.integer(removedOn, {uid, number(kBase + (attempt + 2) * kDay)});
    EXPECT_TRUE(count == 0 || count == kCopies) << count << " of " << kCopies << " occurrences removed";
    if (!runs[attempt].killed) {
      EXPECT_EQ(runs[attempt].out, R"({"ok":true,"data":{"deleted":)" + std::to_string(kCopies) + "}}");
      EXPECT_EQ(count, kCopies) << "a finished deleteEvent";
    }
    (count == 0 ? untouched : removed) += 1;
  }
  // Nothing else was touched: only the days asked for lost occurrences.
  EXPECT_EQ(database.integer("SELECT count(*) FROM excluded"), static_cast<std::int64_t>(kCopies) * (removed + 1));
  EXPECT_EQ(database.integer("SELECT count(*) FROM events WHERE external_id = ?1", {uid}), kCopies);
  std::printf("killed deleteEvent: %d removed nothing, %d removed all %d\n", untouched, removed, kCopies);
}

}  // namespace
}  // namespace calbridge::testing
