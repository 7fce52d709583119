// A replica's changes go to its publisher at commit, and the store keeps
// exactly what the publisher answered, or nothing.
#include "ical/icalendar.h"
#include "ical/object_edit.h"
#include "sqlite/sqlite_store.h"
#include "support/bridge.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <functional>

namespace calbridge {
namespace {

const std::string kObject =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//x//y//EN\r\nBEGIN:VEVENT\r\nUID:s\r\nSUMMARY:Daily\r\n"
    "DESCRIPTION:kept\r\nDTSTART:20250303T090000Z\r\nDTEND:20250303T100000Z\r\nRRULE:FREQ=DAILY;COUNT=5\r\n"
    "END:VEVENT\r\nEND:VCALENDAR\r\n";
constexpr double kFirst = 1740992400;  // 2025-03-03 09:00 UTC

class FakePublisher final : public ObjectPublisher {
 public:
  enum class Answer { accept, refuse, conflict } answer = Answer::accept;
  std::vector<ObjectChange> seen;
  ZoneCache zones;
  std::function<void(const ObjectChange&)> meanwhile;  // what others do while the server works

  Status publish(const RemoteAccount&, const ObjectChange& change, PublishedObject* published) override {
    seen.push_back(change);
    if (meanwhile) meanwhile(change);
    if (answer == Answer::refuse) return Status::refused("refused by the test");
    published->etag = "\"2\"";
    if (change.kind == ObjectChange::Kind::remove) return Status::ok();
    published->text = change.text;
    // A conflict: somebody renamed the series meanwhile; the edits applied to their text.
    if (answer == Answer::conflict) {
      std::string theirs = kObject;
      theirs.replace(theirs.find("SUMMARY:Daily"), 13, "SUMMARY:Renamed");
      published->text = applyEdits(theirs, change.edits, zones).value_or("");
      published->rebased = PublishedObject::Rebased{"\"1b\"", parseICalendar(published->text, zones).events};
    }
    return Status::ok();
  }
  Status makeCalendar(const RemoteAccount&, const std::string&, const std::string&, std::string*) override {
    return Status::refused("refused by the test");
  }
  Status removeCalendar(const RemoteAccount&, const std::string&) override { return Status::refused("refused by the test"); }
};

// A store at `path` with one replica calendar "Work" holding kObject,
// writable as a server granting write access makes it.
void makeReplica(const std::string& path, const std::string& text = kObject) {
  {
    SqliteStore store(path);
    ASSERT_TRUE(store.open());
    RemoteAccount account;
    account.title = "Server";
    account.url = "http://127.0.0.1:1/home/";
    ReadRound round;
    round.round.action = ReplicaRound::Action::add;
    round.round.calendar.url = "http://127.0.0.1:1/home/cal/";
    round.round.calendar.title = "Work";
    round.round.calendar.writable = true;
    round.round.upserts.push_back({"http://127.0.0.1:1/home/cal/s.ics", "\"1\"", text});
    round.events.push_back(parseICalendar(text, store.zones()).events);
    ASSERT_TRUE(store.addRemoteAccount(account, {round}));
  }
  {
    // Writable, as the account's server allows.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE calendars SET writable = 1, immutable = 0 WHERE remote_url IS NOT NULL",
                           nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
}

Calendar localCalendar() {
  Calendar calendar;
  calendar.title = "Local";
  return calendar;
}

std::shared_ptr<const Calendar> work(SqliteStore& store) {
  for (const auto& cal : store.calendars())
    if (cal->title == "Work") return cal;
  return nullptr;
}

TEST(ReplicaPublisher, KeepsWhatTheServerAnsweredOrNothing) {
  struct Case {
    const char* name;
    FakePublisher::Answer answer;
    bool wholeSeries;
    bool removed;  // removeEvent's answer
    std::vector<std::string> titles;  // listed over the five days, by start
    std::string etag;
  } cases[] = {
      {"accepted", FakePublisher::Answer::accept, false, true, {"Daily", "Daily", "Daily", "Daily"}, "\"2\""},
      {"refused", FakePublisher::Answer::refuse, false, false, {"Daily", "Daily", "Daily", "Daily", "Daily"}, "\"1\""},
      {"conflict", FakePublisher::Answer::conflict, false, true, {"Renamed", "Renamed", "Renamed", "Renamed"}, "\"2\""},
      {"whole series", FakePublisher::Answer::accept, true, true, {}, ""},
      {"whole series refused", FakePublisher::Answer::refuse, true, false, {"Daily", "Daily", "Daily", "Daily", "Daily"},
       "\"1\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::TemporaryFolder folder;
    const std::string path = (std::filesystem::path(folder.path()) / "calendar.db").string();
    makeReplica(path);
    SqliteStore store(path);
    ASSERT_TRUE(store.open());
    FakePublisher publisher;
    publisher.answer = c.answer;
    store.setPublisher(&publisher);
    std::shared_ptr<const Calendar> calendar = work(store);
    ASSERT_TRUE(calendar);
    auto listing = [&] { return store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar}); };
    std::vector<Event> before = listing();
    ASSERT_EQ(before.size(), 5u);
    const Event& target = c.wholeSeries ? before[0] : before[2];
    EXPECT_EQ(store.removeEvent(target, c.wholeSeries ? Span::futureEvents : Span::thisEvent, true), c.removed);
    ASSERT_EQ(publisher.seen.size(), 1u);
    const ObjectChange& sent = publisher.seen[0];
    EXPECT_EQ(sent.url, "http://127.0.0.1:1/home/cal/s.ics");
    EXPECT_EQ(sent.etag, "\"1\"");
    if (c.wholeSeries) {
      EXPECT_EQ(sent.kind, ObjectChange::Kind::remove);
    } else {
      EXPECT_EQ(sent.kind, ObjectChange::Kind::modify);
      EXPECT_NE(sent.text.find("EXDATE:20250305T090000Z\r\n"), std::string::npos) << sent.text;
      EXPECT_NE(sent.text.find("DESCRIPTION:kept\r\n"), std::string::npos);
      ASSERT_EQ(sent.edits.size(), 1u);
      EXPECT_EQ(sent.edits[0].kind, ObjectEdit::Kind::exclude);
    }
    std::vector<std::string> titles;
    for (const Event& e : listing()) titles.push_back(e.title.value_or(""));
    EXPECT_EQ(titles, c.titles);
    auto etags = store.replicaEtags(calendar->source->sourceIdentifier, "http://127.0.0.1:1/home/cal/");
    ASSERT_TRUE(etags);
    EXPECT_EQ(etags->count("http://127.0.0.1:1/home/cal/s.ics") ? etags->at("http://127.0.0.1:1/home/cal/s.ics") : "",
              c.etag);
  }
}

// A value the server's text writes with a blank at its end is read as the
// file reader reads it: the removal goes to the server, written into the text.
TEST(ReplicaPublisher, EditsTheTextAsItWasRead) {
  std::string object = kObject;
  object.replace(object.find("DTSTART:20250303T090000Z"), 24, "DTSTART:20250303T090000Z ");
  const testing::TemporaryFolder folder;
  const std::string path = (std::filesystem::path(folder.path()) / "calendar.db").string();
  makeReplica(path, object);
  SqliteStore store(path);
  ASSERT_TRUE(store.open());
  FakePublisher publisher;
  store.setPublisher(&publisher);
  std::shared_ptr<const Calendar> calendar = work(store);
  ASSERT_TRUE(calendar);
  std::vector<Event> listed = store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar});
  ASSERT_EQ(listed.size(), 5u);
  EXPECT_TRUE(store.removeEvent(listed[2], Span::thisEvent, true));
  ASSERT_EQ(publisher.seen.size(), 1u);
  EXPECT_NE(publisher.seen[0].text.find("EXDATE:20250305T090000Z\r\n"), std::string::npos) << publisher.seen[0].text;
  EXPECT_NE(publisher.seen[0].text.find("DESCRIPTION:kept\r\n"), std::string::npos);
  EXPECT_EQ(store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar}).size(), 4u);
}

// A new event of a replica is a new object there, listed as the server read it.
TEST(ReplicaPublisher, NewEventIsANewObject) {
  for (auto answer : {FakePublisher::Answer::accept, FakePublisher::Answer::refuse}) {
    const testing::TemporaryFolder folder;
    const std::string path = (std::filesystem::path(folder.path()) / "calendar.db").string();
    makeReplica(path);
    SqliteStore store(path);
    ASSERT_TRUE(store.open());
    FakePublisher publisher;
    publisher.answer = answer;
    store.setPublisher(&publisher);
    Event event;
    event.calendar = work(store);
    ASSERT_TRUE(event.calendar);
    event.title = "New";
    event.timeZone = "UTC";
    event.startDate = kFirst + 1800;
    event.endDate = kFirst + 3600;
    EXPECT_EQ(store.saveEvent(event, Span::thisEvent, true), answer == FakePublisher::Answer::accept);
    ASSERT_EQ(publisher.seen.size(), 1u);
    EXPECT_EQ(publisher.seen[0].kind, ObjectChange::Kind::create);
    EXPECT_EQ(publisher.seen[0].url.rfind("http://127.0.0.1:1/home/cal/", 0), 0u) << publisher.seen[0].url;
    EXPECT_NE(publisher.seen[0].text.find("SUMMARY:New\r\n"), std::string::npos) << publisher.seen[0].text;
    std::vector<std::string> titles;
    for (const Event& e : store.eventsMatching(kFirst, kFirst + 3600, {event.calendar})) titles.push_back(*e.title);
    EXPECT_EQ(titles, (answer == FakePublisher::Answer::accept ? std::vector<std::string>{"Daily", "New"}
                                                                 : std::vector<std::string>{"Daily"}));
  }
}

// While the server takes a change the store holds no lock: other hosts write
// (a local event, a sync of the same object), and the change is then kept
// only where the replica has not moved on past it.
TEST(ReplicaPublisher, OthersWriteWhileTheServerWorks) {
  const std::string later = [] {
    std::string text = kObject;
    return text.replace(text.find("SUMMARY:Daily"), 13, "SUMMARY:Later");
  }();
  struct Case {
    const char* name;
    const char* syncEtag;  // of the version a sync brings in meanwhile; null: no sync
    bool syncBringsTheChange;  // that version is the change itself, else `later`
    std::vector<std::string> titles;
    std::string etag;
  } cases[] = {
      {"nobody syncs", nullptr, false, {"Daily", "Daily", "Daily", "Daily"}, "\"2\""},
      {"a sync brings the change in first", "\"2\"", true, {"Daily", "Daily", "Daily", "Daily"}, "\"2\""},
      {"a sync brings a later version", "\"3\"", false, {"Later", "Later", "Later", "Later", "Later"}, "\"3\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const testing::TemporaryFolder folder;
    const std::string path = (std::filesystem::path(folder.path()) / "calendar.db").string();
    makeReplica(path);
    {
      SqliteStore owner(path);
      ASSERT_TRUE(owner.open());
      ASSERT_TRUE(owner.addCalendar(localCalendar()));
    }
    SqliteStore store(path);
    ASSERT_TRUE(store.open());
    FakePublisher publisher;
    store.setPublisher(&publisher);
    std::shared_ptr<const Calendar> calendar = work(store);
    ASSERT_TRUE(calendar);
    bool localSaved = false;
    publisher.meanwhile = [&](const ObjectChange& change) {
      SqliteStore other(path);
      ASSERT_TRUE(other.open());
      // Not a moment's wait: the store is not locked.
      other.setWaitBudget(std::chrono::milliseconds(0));
      Event local;
      for (const auto& cal : other.calendars())
        if (cal->title == "Local") local.calendar = cal;
      local.startDate = kFirst;
      local.endDate = kFirst + 60;
      localSaved = other.saveEvent(local, Span::thisEvent, true);
      if (c.syncEtag == nullptr) return;
      ReadRound round;
      round.round.calendar.url = "http://127.0.0.1:1/home/cal/";
      round.round.calendar.title = "Work";
      round.round.calendar.writable = true;
      const std::string text = c.syncBringsTheChange ? change.text : later;
      round.round.upserts.push_back({change.url, c.syncEtag, text});
      round.round.before.emplace(change.url, "\"1\"");
      round.events.push_back(parseICalendar(text, other.zones()).events);
      ASSERT_TRUE(other.applyReplicaRound(calendar->source->sourceIdentifier, round));
    };
    std::vector<Event> before = store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar});
    ASSERT_EQ(before.size(), 5u);
    EXPECT_TRUE(store.removeEvent(before[2], Span::thisEvent, true));
    EXPECT_TRUE(localSaved);
    std::vector<std::string> titles;
    for (const Event& e : store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar}))
      titles.push_back(e.title.value_or(""));
    EXPECT_EQ(titles, c.titles);
    auto etags = store.replicaEtags(calendar->source->sourceIdentifier, "http://127.0.0.1:1/home/cal/");
    ASSERT_TRUE(etags);
    EXPECT_EQ(etags->at("http://127.0.0.1:1/home/cal/s.ics"), c.etag);
    // The events that stayed are the ones hosts found before: same identifiers.
    if (c.syncEtag == nullptr) {
      EXPECT_EQ(store.eventsMatching(kFirst - 3600, kFirst + 86400, {calendar}).at(0).calendarItemIdentifier,
                before[0].calendarItemIdentifier);
    }
  }
}

// A refusal's cause is the store's to tell; and a replica's change never
// shares its transaction with a change of the store alone, which taking the
// transaction back for the server would lose.
TEST(ReplicaPublisher, ARefusalSaysWhy) {
  const testing::TemporaryFolder folder;
  const std::string path = (std::filesystem::path(folder.path()) / "calendar.db").string();
  makeReplica(path);
  SqliteStore store(path);
  ASSERT_TRUE(store.open());
  auto local = store.addCalendar(localCalendar());
  ASSERT_TRUE(local);
  FakePublisher publisher;
  publisher.answer = FakePublisher::Answer::refuse;
  store.setPublisher(&publisher);
  std::shared_ptr<const Calendar> calendar = work(store);
  ASSERT_TRUE(calendar);
  std::vector<Event> before = store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar});
  ASSERT_EQ(before.size(), 5u);
  EXPECT_FALSE(store.removeEvent(before[1], Span::thisEvent, true));
  EXPECT_EQ(store.failure().kind(), Status::Kind::refused);
  EXPECT_EQ(store.failure().message(), "refused by the test");

  publisher.answer = FakePublisher::Answer::accept;
  Event mine;
  mine.calendar = store.calendarWithIdentifier(*local);
  mine.startDate = kFirst;
  mine.endDate = kFirst + 60;
  ASSERT_TRUE(store.saveEvent(mine, Span::thisEvent, false));
  EXPECT_TRUE(store.removeEvent(before[1], Span::thisEvent, false));
  EXPECT_FALSE(store.commit());
  EXPECT_EQ(store.failure().kind(), Status::Kind::invalid);
  EXPECT_EQ(publisher.seen.size(), 1u) << "nothing more was sent";
  EXPECT_EQ(store.eventsMatching(kFirst - 3600, kFirst + 5 * 86400, {calendar}).size(), 5u);
  EXPECT_EQ(store.eventsMatching(kFirst - 3600, kFirst + 3600, {mine.calendar}).size(), 0u);
}

}  // namespace
}  // namespace calbridge
