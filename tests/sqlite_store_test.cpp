#include "sqlite/sqlite_store.h"
#include "calendar/time_zone.h"
#include "ical/icalendar.h"
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace calbridge {
namespace {

using testing::TemporaryFolder;

double utc(int y, int mo, int d, int h = 0, int mi = 0) {
  return static_cast<double>(daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class StoreTest : public ::testing::Test {
 protected:
  std::string path() const { return folder.path() + "/data/calbridge/calendar.db"; }

  std::unique_ptr<SqliteStore> openStore() {
    auto store = std::make_unique<SqliteStore>(path());
    EXPECT_TRUE(store->open());
    return store;
  }

  // A daily series of `count` occurrences at 09:00 UTC from 1 December 2026.
  Event dailySeries(Store& store, int count, const char* title = "daily") {
    Event event;
    event.calendar = store.defaultCalendarForNewEvents();
    event.title = title;
    event.timeZone = "UTC";
    event.startDate = utc(2026, 12, 1, 9);
    event.endDate = utc(2026, 12, 1, 10);
    event.recurrenceRule = RecurrenceRule{Frequency::daily, 1, {}, utc(2026, 12, count, 9)};
    EXPECT_TRUE(store.saveEvent(event, Span::thisEvent, true));
    return event;
  }

  std::vector<double> starts(Store& store, double from = utc(2026, 11, 1), double to = utc(2027, 2, 1)) {
    std::vector<double> result;
    for (const auto& e : store.eventsMatching(from, to, store.calendars())) result.push_back(*e.startDate);
    return result;
  }

  TemporaryFolder folder;
};

TEST_F(StoreTest, NewStoreIsPrivateAndHoldsOneLocalDefaultCalendar) {
  auto store = openStore();
  struct stat info {};
  ASSERT_EQ(stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((folder.path() + "/data/calbridge").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  auto sources = store->sources();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].sourceType, SourceType::local);
  auto calendars = store->calendars();
  ASSERT_EQ(calendars.size(), 1u);
  EXPECT_TRUE(calendars[0]->allowsContentModifications);
  EXPECT_FALSE(calendars[0]->isImmutable);
  ASSERT_NE(store->defaultCalendarForNewEvents(), nullptr);
  EXPECT_EQ(store->defaultCalendarForNewEvents()->calendarIdentifier, calendars[0]->calendarIdentifier);
  EXPECT_EQ(store->authorizationStatus(), AuthorizationStatus::notDetermined);

  // Emptied by its owner, a store stays empty: nothing is seeded twice.
  ASSERT_TRUE(store->deleteCalendar(calendars[0]->calendarIdentifier));
  ASSERT_TRUE(store->removeSource(sources[0].sourceIdentifier));
  store.reset();
  store = openStore();
  EXPECT_TRUE(store->calendars().empty());
  EXPECT_TRUE(store->sources().empty());
  EXPECT_EQ(store->defaultCalendarForNewEvents(), nullptr);
}

TEST_F(StoreTest, DamagedOrForeignFilesAreRefusedAndLeftUntouched) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"garbage", [](const std::string& p) { std::ofstream(p, std::ios::binary) << std::string(5000, '\x5a'); }},
      {"truncated header", [](const std::string& p) { std::ofstream(p, std::ios::binary) << "SQLite format 3"; }},
      {"somebody else's database",
       [](const std::string& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE notes(text)", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
      {"a newer schema",
       [](const std::string& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       }},
  };
  for (const auto& c : cases) {
    TemporaryFolder place;
    std::string file = place.path() + "/calendar.db";
    c.make(file);
    std::string before = readFile(file);
    SqliteStore store(file);
    EXPECT_FALSE(store.open()) << c.name;
    EXPECT_TRUE(store.calendars().empty()) << c.name;
    EXPECT_TRUE(readFile(file) == before) << c.name << ": the file was changed";
    EXPECT_NE(access((file + "-wal").c_str(), F_OK), 0) << c.name;
  }
}

TEST_F(StoreTest, SpansOnFirstMiddleAndLastOccurrences) {
  const double day = 86400;
  const double first = utc(2026, 12, 1, 9);
  struct Case {
    const char* name;
    int occurrence;  // 0-based, of five
    Span span;
    std::vector<int> remaining;
  } cases[] = {
      {"this, first", 0, Span::thisEvent, {1, 2, 3, 4}},
      {"this, middle", 2, Span::thisEvent, {0, 1, 3, 4}},
      {"this, last", 4, Span::thisEvent, {0, 1, 2, 3}},
      {"future, first", 0, Span::futureEvents, {}},
      {"future, middle", 2, Span::futureEvents, {0, 1}},
      {"future, last", 4, Span::futureEvents, {0, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    TemporaryFolder place;
    SqliteStore store(place.path() + "/c.db");
    ASSERT_TRUE(store.open());
    dailySeries(store, 5);
    auto occurrences = store.eventsMatching(utc(2026, 11, 1), utc(2027, 1, 1), store.calendars());
    ASSERT_EQ(occurrences.size(), 5u);
    EXPECT_TRUE(store.removeEvent(occurrences[static_cast<std::size_t>(c.occurrence)], c.span, true)) << c.name;
    std::vector<double> expected;
    for (int i : c.remaining) expected.push_back(first + i * day);
    EXPECT_EQ(starts(store), expected) << c.name;
    // The same occurrence cannot be removed twice.
    EXPECT_FALSE(store.removeEvent(occurrences[static_cast<std::size_t>(c.occurrence)], Span::thisEvent, true))
        << c.name;
  }
}

TEST_F(StoreTest, SeriesWithNothingLeftIsRemovedAndEndlessSeriesEndOnRequest) {
  auto store = openStore();
  Event series = dailySeries(*store, 3);
  for (const auto& occurrence : store->eventsMatching(utc(2026, 11, 1), utc(2027, 1, 1), store->calendars())) {
    ASSERT_TRUE(store->removeEvent(occurrence, Span::thisEvent, true));
  }
  EXPECT_TRUE(store->calendarItemsWithExternalIdentifier(*series.calendarItemExternalIdentifier).empty());

  Event endless;
  endless.calendar = store->defaultCalendarForNewEvents();
  endless.timeZone = "UTC";
  endless.startDate = utc(2026, 12, 1, 9);
  endless.endDate = utc(2026, 12, 1, 10);
  endless.recurrenceRule = RecurrenceRule{Frequency::weekly, 1, {}, std::nullopt};
  ASSERT_TRUE(store->saveEvent(endless, Span::thisEvent, true));
  EXPECT_EQ(starts(*store, utc(2036, 12, 1), utc(2036, 12, 8)).size(), 1u);
  auto items = store->calendarItemsWithExternalIdentifier(*endless.calendarItemExternalIdentifier);
  ASSERT_EQ(items.size(), 1u);
  // The event as found by its identifier is the first occurrence: removing it
  // and all later ones removes the series even after that first was excluded.
  auto firstWeek = store->eventsMatching(utc(2026, 12, 1), utc(2026, 12, 2), store->calendars());
  ASSERT_EQ(firstWeek.size(), 1u);
  ASSERT_TRUE(store->removeEvent(firstWeek[0], Span::thisEvent, true));
  ASSERT_TRUE(store->removeEvent(items[0].event, Span::futureEvents, true));
  EXPECT_TRUE(starts(*store, utc(2026, 11, 1), utc(2036, 12, 31)).empty());
}

TEST_F(StoreTest, StagedChangesNeedTheirCommit) {
  {
    auto store = openStore();
    dailySeries(*store, 5);
    auto occurrences = store->eventsMatching(utc(2026, 11, 1), utc(2027, 1, 1), store->calendars());
    ASSERT_TRUE(store->removeEvent(occurrences[1], Span::thisEvent, false));
    ASSERT_TRUE(store->removeEvent(occurrences[3], Span::thisEvent, false));
    // The staging process sees its own changes ...
    EXPECT_EQ(starts(*store).size(), 3u);
    // ... a second one does not, until they are committed.
    SqliteStore other(path());
    ASSERT_TRUE(other.open());
    EXPECT_EQ(starts(other).size(), 5u);
  }  // closed without committing
  auto store = openStore();
  EXPECT_EQ(starts(*store).size(), 5u);

  auto occurrences = store->eventsMatching(utc(2026, 11, 1), utc(2027, 1, 1), store->calendars());
  ASSERT_TRUE(store->removeEvent(occurrences[1], Span::thisEvent, false));
  // A refused change in between leaves what was staged before it.
  EXPECT_FALSE(store->removeEvent(occurrences[1], Span::thisEvent, false));
  ASSERT_TRUE(store->removeEvent(occurrences[3], Span::thisEvent, false));
  ASSERT_TRUE(store->commit());
  SqliteStore other(path());
  ASSERT_TRUE(other.open());
  EXPECT_EQ(starts(other).size(), 3u);
}

TEST_F(StoreTest, AChangeRefusedPartWayTakesBackItsOwnWritesOnly) {
  auto store = openStore();
  auto calendar = store->defaultCalendarForNewEvents();
  ASSERT_NE(calendar, nullptr);
  // The calendar's row refuses to go: removing the calendar fails after its
  // first write, which unsets it as the default.
  testing::Database(path()).execute(
      "CREATE TRIGGER keep BEFORE DELETE ON calendars BEGIN SELECT RAISE(ABORT, 'kept'); END");
  Event staged;
  staged.calendar = calendar;
  staged.title = "staged";
  staged.timeZone = "UTC";
  staged.startDate = utc(2026, 12, 1, 9);
  staged.endDate = utc(2026, 12, 1, 10);
  ASSERT_TRUE(store->saveEvent(staged, Span::thisEvent, false));
  EXPECT_FALSE(store->removeCalendar(*calendar, false));
  ASSERT_TRUE(store->commit());
  testing::Database db(path());
  EXPECT_EQ(db.integer("SELECT count(*) FROM events WHERE title = 'staged'"), 1);
  EXPECT_EQ(db.integer("SELECT count(*) FROM settings WHERE name = 'default_calendar'"), 1);
}

TEST_F(StoreTest, AProcessKilledBeforeItsCommitLeavesTheStoreAsItWas) {
  openStore();
  {
    auto store = openStore();
    dailySeries(*store, 5);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SqliteStore store(path());
    if (!store.open()) _exit(2);
    for (const auto& o : store.eventsMatching(utc(2026, 11, 1), utc(2027, 1, 1), store.calendars())) {
      if (!store.removeEvent(o, Span::thisEvent, false)) _exit(3);
    }
    raise(SIGKILL);
    _exit(4);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  auto store = openStore();
  EXPECT_EQ(starts(*store).size(), 5u);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
}

TEST_F(StoreTest, ProcessesSavingAtOnceLoseNothing) {
  openStore();
  constexpr int kProcesses = 6;
  constexpr int kEvents = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < kEvents; ++i) {
        SqliteStore store(path());  // one store per request, as the bridge does
        Event event;
        if (!store.open()) _exit(2);
        event.calendar = store.defaultCalendarForNewEvents();
        event.startDate = utc(2026, 12, 1) + (p * kEvents + i) * 3600;
        event.endDate = *event.startDate + 1800;
        if (!store.saveEvent(event, Span::thisEvent, true)) _exit(3);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed: " << WEXITSTATUS(status);
  }
  auto store = openStore();
  EXPECT_EQ(starts(*store).size(), static_cast<std::size_t>(kProcesses * kEvents));
}

// Behind a writer that never lets go, a request gives up once its whole
// budget is spent, however many changes it still tries: each does not wait anew.
TEST_F(StoreTest, WaitingForAnotherWritersLockIsBoundedForTheWholeRequest) {
  auto store = openStore();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  store->setWaitBudget(std::chrono::milliseconds(200));
  auto calendar = store->defaultCalendarForNewEvents();
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    Event event;
    event.calendar = calendar;
    event.startDate = utc(2026, 12, 1) + i * 3600;
    event.endDate = *event.startDate + 60;
    EXPECT_FALSE(store->saveEvent(event, Span::thisEvent, false));
  }
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_LT(waited, std::chrono::milliseconds(1000)) << "ten waits of 200 ms each would take 2 s";
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

TEST_F(StoreTest, RefusesWhatThePlatformRefuses) {
  auto store = openStore();
  auto calendar = store->defaultCalendarForNewEvents();
  auto readOnly = store->addCalendar(Calendar{"", "Holidays", std::nullopt, false, false, calendar->source});
  auto immutable = store->addCalendar(Calendar{"", "Birthdays", std::nullopt, true, true, calendar->source});
  ASSERT_TRUE(readOnly && immutable);

  Event event;
  event.calendar = store->calendarWithIdentifier(*readOnly);
  event.startDate = utc(2026, 12, 1, 9);
  event.endDate = utc(2026, 12, 1, 10);
  EXPECT_FALSE(store->saveEvent(event, Span::thisEvent, true)) << "read-only calendar";
  event.calendar = calendar;
  event.endDate = utc(2026, 12, 1, 8);
  EXPECT_FALSE(store->saveEvent(event, Span::thisEvent, true)) << "end before start";
  event.endDate = utc(2026, 12, 1, 10);
  event.timeZone = "Nowhere/Special";
  EXPECT_FALSE(store->saveEvent(event, Span::thisEvent, true)) << "unknown zone";
  event.timeZone.reset();
  ASSERT_TRUE(store->saveEvent(event, Span::thisEvent, true));
  EXPECT_FALSE(store->saveEvent(event, Span::thisEvent, true)) << "already stored";

  Calendar orphan;
  orphan.title = "no account";
  EXPECT_FALSE(store->saveCalendar(orphan, true));
  orphan.source = Source{"no-such-account", std::nullopt, SourceType::local};
  EXPECT_FALSE(store->saveCalendar(orphan, true));
  EXPECT_FALSE(store->removeCalendar(*store->calendarWithIdentifier(*immutable), true));
  EXPECT_NE(store->calendarWithIdentifier(*immutable), nullptr);

  // Removing the default calendar (as its owner may) leaves no default behind.
  ASSERT_TRUE(store->removeCalendar(*calendar, true));
  EXPECT_EQ(store->defaultCalendarForNewEvents(), nullptr);
  EXPECT_TRUE(store->calendarItemsWithExternalIdentifier(*event.calendarItemExternalIdentifier).empty());
}

TEST_F(StoreTest, IdentifiersCompareCanonically) {
  auto store = openStore();
  Event event;
  event.calendar = store->defaultCalendarForNewEvents();
  event.startDate = utc(2026, 12, 1, 9);
  event.endDate = utc(2026, 12, 1, 10);
  event.calendarItemExternalIdentifier = "caf\u00e9@example.org";
  ASSERT_TRUE(store->saveEvent(event, Span::thisEvent, true));
  EXPECT_EQ(store->calendarItemsWithExternalIdentifier("cafe\u0301@example.org").size(), 1u);
  EXPECT_TRUE(store->calendarItemsWithExternalIdentifier("cafe@example.org").empty());
  std::string id = event.calendar->calendarIdentifier;
  EXPECT_NE(store->calendarWithIdentifier(id), nullptr);
  std::string lower = id;
  for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_EQ(store->calendarWithIdentifier(lower), nullptr);
}

TEST_F(StoreTest, WindowsTakeEverythingThatOverlapsThemInOrderOfStart) {
  auto store = openStore();
  auto calendar = store->defaultCalendarForNewEvents();
  auto add = [&](double start, double end, const char* title) {
    Event event;
    event.calendar = calendar;
    event.title = title;
    event.startDate = start;
    event.endDate = end;
    ASSERT_TRUE(store->saveEvent(event, Span::thisEvent, true));
  };
  const double t = utc(2026, 12, 10, 12);
  add(t + 600, t + 1200, "inside, later");
  add(t - 86400 * 3, t + 60, "long, began days before");
  add(t - 600, t, "ends as the window begins");
  add(t, t, "instant at the start");
  add(t + 3600, t + 4000, "begins as the window ends");
  add(t + 100, t + 200, "inside");
  std::vector<std::string> titles;
  for (const auto& e : store->eventsMatching(t, t + 3600, {calendar})) titles.push_back(*e.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"long, began days before", "instant at the start", "inside",
                                              "inside, later"}));
}

// A weekly series with each kind of change, a series changed at its first
// occurrence, and one with extra dates in their three forms.
const char* const kChangedSeries = R"(BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//Another Program//EN
BEGIN:VEVENT
UID:weekly
SUMMARY:weekly
DTSTART:20270104T100000Z
DTEND:20270104T110000Z
RRULE:FREQ=WEEKLY;COUNT=6
EXDATE:20270125T100000Z
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID:20270111T100000Z
SUMMARY:moved
DTSTART:20270111T120000Z
DTEND:20270111T130000Z
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID:20270118T100000Z
SUMMARY:weekly
STATUS:CANCELLED
DTSTART:20270118T100000Z
DTEND:20270118T110000Z
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID:20270125T100000Z
SUMMARY:excluded before
DTSTART:20270125T150000Z
DTEND:20270125T160000Z
END:VEVENT
BEGIN:VEVENT
UID:weekly
RECURRENCE-ID;RANGE=THISANDFUTURE:20270201T100000Z
SUMMARY:later
DTSTART:20270201T110000Z
DTEND:20270201T113000Z
END:VEVENT
BEGIN:VEVENT
UID:first
SUMMARY:first
DTSTART:20270104T080000Z
DTEND:20270104T090000Z
RRULE:FREQ=DAILY;COUNT=3
END:VEVENT
BEGIN:VEVENT
UID:first
RECURRENCE-ID:20270104T080000Z
SUMMARY:first
DTSTART:20270104T070000Z
DTEND:20270104T080000Z
END:VEVENT
BEGIN:VEVENT
UID:extra
SUMMARY:extra
DTSTART:20270105T090000Z
DTEND:20270105T100000Z
RRULE:FREQ=DAILY;COUNT=2
RDATE:20270110T090000Z
RDATE;VALUE=PERIOD:20270112T080000Z/PT3H
EXDATE:20270106T090000Z
END:VEVENT
BEGIN:VEVENT
UID:dates
SUMMARY:dates
DTSTART;VALUE=DATE:20270104
RDATE;VALUE=DATE:20270107
END:VEVENT
END:VCALENDAR
)";

class ChangedSeriesTest : public StoreTest {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    store = openStore();
    calendar = store->defaultCalendarForNewEvents();
    ParsedCalendar parsed = parseICalendar(kChangedSeries, store->zones());
    ASSERT_EQ(parsed.error, "");
    ASSERT_TRUE(store->importEvents(calendar->calendarIdentifier, parsed.events));
  }
  // "title start-end" of each occurrence of `uid` that is not cancelled, hours
  // since 2027-01-04 00:00 UTC.
  std::vector<std::string> listed(const std::string& uid) {
    std::vector<std::string> result;
    for (const Event& e : store->eventsMatching(utc(2027, 1, 1), utc(2027, 3, 1), {calendar})) {
      if (e.calendarItemExternalIdentifier != uid || e.status == EventStatus::cancelled) continue;
      auto hours = [](double t) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", (t - utc(2027, 1, 4)) / 3600);
        return std::string(text);
      };
      result.push_back(e.title.value_or("") + " " + hours(*e.startDate) + "-" + hours(*e.endDate));
    }
    return result;
  }
  Event occurrence(const std::string& uid, double start) {
    for (const Event& e : store->eventsMatching(start - 60, start + 60, {calendar})) {
      if (e.calendarItemExternalIdentifier == uid && e.startDate == start) return e;
    }
    ADD_FAILURE() << "no occurrence of " << uid << " at " << start;
    return Event{};
  }
  std::unique_ptr<SqliteStore> store;
  std::shared_ptr<const Calendar> calendar;
};

TEST_F(ChangedSeriesTest, ChangesStandInForTheOccurrencesTheyChange) {
  struct Case {
    const char* uid;
    std::vector<std::string> listed;
  } cases[] = {
      // Moved and retitled; cancelled; a change of an excluded occurrence stays
      // excluded; from 1 February on, later and half an hour long, as often as COUNT has left.
      {"weekly", {"weekly 10-11", "moved 180-181", "later 683-683.5", "later 851-851.5"}},
      {"first", {"first 7-8", "first 32-33", "first 56-57"}},
      // Extra dates: a date-time, and a period with its own length; an exclusion takes the rule's second.
      {"extra", {"extra 33-34", "extra 153-154", "extra 200-203"}},
      {"dates", {"dates 0-24", "dates 72-96"}},
  };
  for (const auto& c : cases) EXPECT_EQ(listed(c.uid), c.listed) << c.uid;
  // Every occurrence of a series is listed under its identifiers; a change
  // names the occurrence it stands in for.
  Event moved = occurrence("weekly", utc(2027, 1, 11, 12));
  Event first = occurrence("weekly", utc(2027, 1, 4, 10));
  EXPECT_EQ(moved.calendarItemIdentifier, first.calendarItemIdentifier);
  EXPECT_EQ(moved.occurrenceDate, utc(2027, 1, 11, 10));
  EXPECT_EQ(store->calendarItemsWithExternalIdentifier("weekly").size(), 1u);
}

TEST_F(ChangedSeriesTest, RemovingAroundChangesKeepsTheOthers) {
  struct Case {
    const char* name;
    const char* uid;
    double start;  // the occurrence as listed
    Span span;
    std::vector<std::string> left;
  } cases[] = {
      {"the moved occurrence alone", "weekly", utc(2027, 1, 11, 12), Span::thisEvent,
       {"weekly 10-11", "later 683-683.5", "later 851-851.5"}},
      {"from the moved occurrence on", "weekly", utc(2027, 1, 11, 12), Span::futureEvents, {"weekly 10-11"}},
      {"an unchanged occurrence", "weekly", utc(2027, 1, 4, 10), Span::thisEvent,
       {"moved 180-181", "later 683-683.5", "later 851-851.5"}},
      {"from a later part on", "weekly", utc(2027, 2, 8, 11), Span::futureEvents,
       {"weekly 10-11", "moved 180-181", "later 683-683.5"}},
      {"from a moved first occurrence on", "first", utc(2027, 1, 4, 7), Span::futureEvents, {}},
      {"an extra date", "extra", utc(2027, 1, 12, 8), Span::thisEvent, {"extra 33-34", "extra 153-154"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    store.reset();
    std::filesystem::remove_all(folder.path() + "/data");
    SetUp();
    EXPECT_TRUE(store->removeEvent(occurrence(c.uid, c.start), c.span, true));
    EXPECT_EQ(listed(c.uid), c.left);
    // Reopened, the store reads the same from its rows.
    store = openStore();
    EXPECT_EQ(listed(c.uid), c.left);
  }
}

// Written out and read back, a calendar with changes and extra dates lists the
// same: a split series is written whole, beside the changes that split it.
TEST_F(ChangedSeriesTest, AnExportReadsBackToTheSameOccurrences) {
  auto events = store->storedEvents(calendar->calendarIdentifier);
  ASSERT_TRUE(events);
  WrittenCalendar written = writeICalendar(*events, store->zones(), 1700000000);
  Calendar second;
  second.title = "again";
  auto id = store->addCalendar(second);
  ASSERT_TRUE(id);
  ParsedCalendar parsed = parseICalendar(written.text, store->zones());
  ASSERT_EQ(parsed.error, "") << written.text;
  ASSERT_TRUE(store->importEvents(*id, parsed.events));
  for (const char* uid : {"weekly", "first", "extra", "dates"}) {
    calendar = store->defaultCalendarForNewEvents();
    const auto original = listed(uid);
    calendar = store->calendarWithIdentifier(*id);
    EXPECT_EQ(listed(uid), original) << uid << "\n" << written.text;
  }
}

}  // namespace
}  // namespace calbridge
