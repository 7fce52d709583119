// The command handlers in-process, over a store that hands back crafted
// results and refuses what a test tells it to.
#include "sqlite/sqlite_store.h"
#include "commands/access_calendars.h"
#include "commands/calendar_management.h"
#include "commands/create_event.h"
#include "commands/delete_event.h"
#include "commands/events.h"
#include "main/bridge.h"

#include <gtest/gtest.h>

#include <regex>

namespace calbridge {
namespace {

class CraftedStore : public StoreWrapper {
 public:
  explicit CraftedStore(Store& target) : StoreWrapper(target) {}

  AuthorizationStatus authorizationStatus() override { return status; }
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override {
    queries.push_back({start, end, calendars.size()});
    if (!occurrences) return StoreWrapper::enumerateEventsMatching(start, end, calendars, visit);
    for (const Event& e : *occurrences) {
      ++handedOver;
      if (!visit(e)) return;
    }
  }
  std::vector<std::shared_ptr<const Calendar>> calendars() override {
    ++calendarLists;
    return craftedCalendars ? *craftedCalendars : StoreWrapper::calendars();
  }
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override {
    lookedUp.emplace_back(identifier);
    return StoreWrapper::calendarWithIdentifier(identifier);
  }
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override {
    return craftedDefault ? *craftedDefault : StoreWrapper::defaultCalendarForNewEvents();
  }
  std::vector<Source> sources() override { return craftedSources ? *craftedSources : StoreWrapper::sources(); }
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view id) override {
    return craftedItems ? *craftedItems : StoreWrapper::calendarItemsWithExternalIdentifier(id);
  }
  bool saveEvent(Event& event, Span span, bool commit) override {
    if (refuseSave) return false;
    if (saveWithoutIdentifiers) return true;
    return StoreWrapper::saveEvent(event, span, commit);
  }
  bool removeEvent(const Event& event, Span span, bool commit) override {
    removals.push_back({span, commit});
    if (refuseRemovals) return false;
    return StoreWrapper::removeEvent(event, span, commit);
  }
  bool saveCalendar(Calendar& calendar, bool commit) override {
    savedCalendars.push_back(calendar);
    return refuseSave ? false : StoreWrapper::saveCalendar(calendar, commit);
  }
  bool removeCalendar(const Calendar& calendar, bool commit) override {
    return refuseSave ? false : StoreWrapper::removeCalendar(calendar, commit);
  }
  bool commit() override {
    ++commits;
    if (refuseCommit) return false;
    return StoreWrapper::commit();
  }

  struct Query {
    double start, end;
    std::size_t calendars;
  };
  struct Removal {
    Span span;
    bool commit;
  };
  AuthorizationStatus status = AuthorizationStatus::fullAccess;
  std::optional<std::vector<Event>> occurrences;
  std::optional<std::vector<std::shared_ptr<const Calendar>>> craftedCalendars;
  std::optional<std::shared_ptr<const Calendar>> craftedDefault;
  std::optional<std::vector<Source>> craftedSources;
  std::optional<std::vector<CalendarItem>> craftedItems;
  bool refuseSave = false, saveWithoutIdentifiers = false, refuseRemovals = false, refuseCommit = false;
  std::vector<Query> queries;
  std::vector<Removal> removals;
  std::vector<std::string> lookedUp;
  std::vector<Calendar> savedCalendars;
  int commits = 0, calendarLists = 0, handedOver = 0;
};

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(backing.open());
    calendar = backing.defaultCalendarForNewEvents();
  }
  Request requestOf(const std::string& json) { return decodeRequest(json); }
  std::string events(const std::string& extra = "") {
    return eventsCommand(store, requestOf(R"({"from":0,"to":100000,"calendars":[")" + calendar->calendarIdentifier +
                                          "\"]" + extra + "}"))
        .text;
  }
  Event occurrence(double start, const char* uid) {
    Event e;
    e.calendar = calendar;
    e.startDate = start;
    e.endDate = start + 60;
    e.calendarItemExternalIdentifier = uid;
    e.calendarItemIdentifier = std::string("item-") + uid;
    return e;
  }

  SqliteStore backing{std::string(kInMemoryStore)};
  CraftedStore store{backing};
  std::shared_ptr<const Calendar> calendar;
};

TEST_F(Commands, EventsLooksAtNothingWithoutAccess) {
  store.status = AuthorizationStatus::denied;
  EXPECT_EQ(eventsCommand(store, requestOf("{}")).text, R"({"ok":false,"error":"denied"})");
  EXPECT_EQ(store.calendarLists, 0);
  EXPECT_TRUE(store.queries.empty());
}

TEST_F(Commands, EventsWithoutAMatchingCalendarNeverQueries) {
  for (const char* request : {R"({"from":0,"to":1,"calendars":[]})", R"({"from":0,"to":1,"calendars":["nope"]})"}) {
    EXPECT_EQ(eventsCommand(store, requestOf(request)).text, R"({"ok":true,"data":[]})");
  }
  EXPECT_TRUE(store.queries.empty());
  std::string ids;
  for (int i = 0; i < 500; ++i) ids += std::string(i ? "," : "") + "\"" + calendar->calendarIdentifier + "\"";
  EXPECT_TRUE(eventsCommand(store, requestOf(R"({"from":0,"to":1,"calendars":[)" + ids + "]}")).ok);
  ASSERT_EQ(store.queries.size(), 1u);
  EXPECT_EQ(store.queries[0].calendars, 1u) << "500 copies of one id select it once";
}

TEST_F(Commands, TheCapCountsOccurrencesBeforeAnyIsLeftOut) {
  std::vector<Event> many;
  for (int i = 0; i < 20001; ++i) many.push_back(occurrence(i, "u"));
  many[0].status = EventStatus::cancelled;
  store.occurrences = many;
  rapidjson::Document reply;
  reply.Parse(events().c_str());
  ASSERT_TRUE(reply["ok"].IsTrue());
  EXPECT_EQ(reply["data"].Size(), 19999u);
  EXPECT_EQ(reply["data"][0]["start"].GetDouble(), 1.0);
  EXPECT_EQ(reply["data"][19998]["start"].GetDouble(), 19999.0);
  EXPECT_EQ(store.handedOver, 20000) << "the store is asked for no more than the cap";
}

TEST_F(Commands, RecordsLeaveOutWhatTheyCannotDoWithoutAndFallBackForTheRest) {
  Event noStart = occurrence(1, "no-start");
  noStart.startDate.reset();
  Event noEnd = occurrence(2, "no-end");
  noEnd.endDate.reset();
  Event noCalendar = occurrence(3, "no-calendar");
  noCalendar.calendar.reset();
  Event emptyUid = occurrence(4, "");
  Event eventIdOnly = occurrence(5, "x");
  eventIdOnly.calendarItemExternalIdentifier.reset();
  eventIdOnly.eventIdentifier = "event-5";
  Event noIds = occurrence(6, "x");
  noIds.calendarItemExternalIdentifier.reset();
  noIds.title = "Lunch";
  noIds.isAllDay = true;
  store.occurrences = std::vector<Event>{noStart, noEnd, noCalendar, emptyUid, eventIdOnly, noIds};
  rapidjson::Document reply;
  reply.Parse(events().c_str());
  const auto& data = reply["data"];
  ASSERT_EQ(data.Size(), 3u);
  EXPECT_STREQ(data[0]["uid"].GetString(), "");  // an empty external identifier is still used
  EXPECT_STREQ(data[0]["title"].GetString(), "");
  EXPECT_STREQ(data[1]["uid"].GetString(), "event-5");
  EXPECT_TRUE(std::regex_match(data[2]["uid"].GetString(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << data[2]["uid"].GetString();
  EXPECT_STREQ(data[2]["title"].GetString(), "Lunch");
  EXPECT_TRUE(data[2]["allDay"].GetBool());
  EXPECT_EQ(data[2]["start"].GetDouble(), 6.0);
  EXPECT_EQ(data[2]["end"].GetDouble(), 66.0);
  EXPECT_EQ(data[2]["calendar"].GetString(), calendar->calendarIdentifier);
  EXPECT_EQ(data[2].MemberCount(), 6u);
}

TEST_F(Commands, CreateEventLooksTheCalendarUpWholeAndReportsARefusedSave) {
  std::string padded = " " + calendar->calendarIdentifier + " ";
  EXPECT_EQ(createEventCommand(store, requestOf(R"({"calendar":")" + padded + R"(","start":0,"end":1})")).text,
            R"({"ok":false,"error":"invalid"})");
  ASSERT_EQ(store.lookedUp.size(), 1u);
  EXPECT_EQ(store.lookedUp[0], padded);
  store.refuseSave = true;
  EXPECT_EQ(createEventCommand(store, requestOf(R"({"calendar":")" + calendar->calendarIdentifier +
                                                R"(","start":0,"end":1,"repeat":"daily","skip":[0]})"))
                .text,
            R"({"ok":false,"error":"failed"})");
  EXPECT_TRUE(store.queries.empty()) << "nothing is skipped for an event that was not saved";
  EXPECT_EQ(store.commits, 0);
}

// A series is staged with its skips and committed once with them, whatever the skips are.
TEST_F(Commands, SkipsOneQueryPerEntryAndOneCommitForTheSeries) {
  const std::string base = R"({"calendar":")" + calendar->calendarIdentifier + R"(","start":0,"end":60)";
  struct Case {
    const char* name;
    std::string fields;
    std::size_t queries;
    int commits;
  } cases[] = {
      {"no repeat: skip ignored", R"(,"skip":[0])", 0, 0},
      {"repeat as a number is no repeat", R"(,"repeat":1,"skip":[0])", 0, 0},
      {"no skip", R"(,"repeat":"daily")", 0, 1},
      {"skip not a list", R"(,"repeat":"daily","skip":5)", 0, 1},
      {"a string among the entries", R"(,"repeat":"daily","skip":[86400,"172800"])", 0, 1},
      {"empty list", R"(,"repeat":"daily","skip":[])", 0, 1},
      {"true counts as 1", R"(,"repeat":"daily","skip":[true,86400])", 2, 1},
      {"an entry too big to be finite is passed over", R"(,"repeat":"weekly","skip":[9e308,604800])", 1, 1},
  };
  for (const auto& c : cases) {
    store.queries.clear();
    store.commits = 0;
    Reply reply = createEventCommand(store, requestOf(base + c.fields + "}"));
    EXPECT_TRUE(reply.ok) << c.name << ": " << reply.text;
    EXPECT_EQ(store.queries.size(), c.queries) << c.name;
    EXPECT_EQ(store.commits, c.commits) << c.name;
    for (const auto& q : store.queries) {
      EXPECT_EQ(q.end - q.start, 120) << c.name;
      EXPECT_EQ(q.calendars, 1u) << c.name;
    }
  }
  std::string thousand, thousandAndOne;
  for (int i = 0; i < 1000; ++i) thousand += std::string(i ? "," : "") + std::to_string(i * 86400);
  thousandAndOne = thousand + ",86400000";
  store.queries.clear();
  store.commits = 0;
  EXPECT_TRUE(createEventCommand(store, requestOf(base + R"(,"repeat":"daily","skip":[)" + thousandAndOne + "]}")).ok);
  EXPECT_EQ(store.queries.size(), 0u);
  EXPECT_EQ(store.commits, 1);
  store.commits = 0;
  EXPECT_TRUE(createEventCommand(store, requestOf(base + R"(,"repeat":"daily","skip":[)" + thousand + "]}")).ok);
  EXPECT_EQ(store.queries.size(), 1000u);
  EXPECT_EQ(store.commits, 1);
}

// A skip the store refuses has no effect; a series whose commit is refused was
// never stored, and says so.
TEST_F(Commands, RefusedSkipsLeaveTheSeriesButARefusedCommitFailsIt) {
  const std::string request = R"({"calendar":")" + calendar->calendarIdentifier +
                              R"(","start":0,"end":60,"repeat":"daily","skip":[0,86400]})";
  {
    SqliteStore other{std::string(kInMemoryStore)};
    ASSERT_TRUE(other.open());
    CraftedStore refusing{other};
    refusing.refuseCommit = true;
    const std::string there = R"({"calendar":")" + other.defaultCalendarForNewEvents()->calendarIdentifier +
                              R"(","start":0,"end":60,"repeat":"daily","skip":[0,86400]})";
    EXPECT_EQ(createEventCommand(refusing, requestOf(there)).text, R"({"ok":false,"error":"failed"})");
  }
  store.refuseRemovals = true;
  store.removals.clear();
  Reply reply = createEventCommand(store, requestOf(request));
  ASSERT_TRUE(reply.ok) << reply.text;
  EXPECT_EQ(store.removals.size(), 2u);
  for (const auto& r : store.removals) {
    EXPECT_EQ(r.span, Span::thisEvent);
    EXPECT_FALSE(r.commit);
  }
  EXPECT_NE(reply.text.find("\"uid\":\""), std::string::npos);
  EXPECT_EQ(reply.text.find("\"uid\":\"\""), std::string::npos);

  store.saveWithoutIdentifiers = true;
  EXPECT_EQ(createEventCommand(store, requestOf(request)).text, R"({"ok":true,"data":{"uid":""}})");
}

TEST_F(Commands, DeleteEventCountsOnlyRemovalsThatHappened) {
  std::vector<Event> near = {occurrence(1000, "u"), occurrence(1000.5, "u"), occurrence(1001, "u"),
                             occurrence(1000, "other")};
  store.craftedItems = std::vector<CalendarItem>{{EntityType::event, near[0]}};
  store.occurrences = near;
  const auto request = requestOf(R"({"uid":"u","calendar":")" + calendar->calendarIdentifier + R"(","start":1000})");

  // Refused while the occurrences are still there: a failure, and nothing committed.
  store.refuseRemovals = true;
  EXPECT_EQ(deleteEventCommand(store, request).text, R"({"ok":false,"error":"failed"})");
  EXPECT_EQ(store.removals.size(), 2u) << "1000 and 1000.5 match; 1001 and another uid do not";
  EXPECT_EQ(store.commits, 0);

  // Refused because another host removed them meanwhile: what was asked for is done.
  struct Gone : CraftedStore {
    using CraftedStore::CraftedStore;
    bool removeEvent(const Event&, Span, bool) override {
      occurrences = std::vector<Event>{};
      return false;
    }
  } gone(backing);
  gone.craftedItems = store.craftedItems;
  gone.occurrences = near;
  EXPECT_EQ(deleteEventCommand(gone, request).text, R"({"ok":true,"data":{"deleted":0}})");
  EXPECT_EQ(gone.commits, 1);

  // Removals staged but the commit refused: nothing was removed, and the host is told.
  struct AcceptAll : CraftedStore {
    using CraftedStore::CraftedStore;
    bool removeEvent(const Event&, Span, bool) override { return true; }
  } acceptAll(backing);
  acceptAll.craftedItems = store.craftedItems;
  acceptAll.occurrences = near;
  acceptAll.refuseCommit = true;
  EXPECT_EQ(deleteEventCommand(acceptAll, request).text, R"({"ok":false,"error":"failed"})");
  acceptAll.refuseCommit = false;
  EXPECT_EQ(deleteEventCommand(acceptAll, request).text, R"({"ok":true,"data":{"deleted":2}})");
}

// Two hosts deleting one event: the second finds it gone by the time it
// removes it, which is what it asked for; a removal refused for another
// reason is still a failure.
TEST_F(Commands, DeleteEventOfAnEventAnotherHostRemovedIsNoFailure) {
  struct Raced : CraftedStore {
    using CraftedStore::CraftedStore;
    bool removeEvent(const Event& event, Span span, bool commit) override {
      if (otherHostFirst) (void)target().removeEvent(event, Span::futureEvents, true);
      return CraftedStore::removeEvent(event, span, commit);
    }
    bool otherHostFirst = true;
  } raced(backing);
  Event event;
  event.calendar = calendar;
  event.startDate = 0;
  event.endDate = 60;
  ASSERT_TRUE(backing.saveEvent(event, Span::thisEvent, true));
  const auto request = requestOf(R"({"uid":")" + *event.calendarItemExternalIdentifier + R"(","calendar":")" +
                                 calendar->calendarIdentifier + R"("})");
  EXPECT_EQ(deleteEventCommand(raced, request).text, R"({"ok":true,"data":{"deleted":0}})");

  event.calendarItemIdentifier.reset();
  event.calendarItemExternalIdentifier.reset();
  ASSERT_TRUE(backing.saveEvent(event, Span::thisEvent, true));
  raced.otherHostFirst = false;
  raced.refuseRemovals = true;
  EXPECT_EQ(deleteEventCommand(raced, requestOf(R"({"uid":")" + *event.calendarItemExternalIdentifier +
                                                R"(","calendar":")" + calendar->calendarIdentifier + R"("})"))
                .text,
            R"({"ok":false,"error":"failed"})");
}

TEST_F(Commands, DeleteEventTakesOnlyEventsOfTheNamedWritableCalendar) {
  auto readOnly = std::make_shared<Calendar>(*calendar);
  readOnly->allowsContentModifications = false;
  Event inReadOnly = occurrence(1000, "u");
  inReadOnly.calendar = readOnly;
  const std::string id = calendar->calendarIdentifier;
  struct Case {
    const char* name;
    std::vector<CalendarItem> items;
    std::string request;
    std::string reply;
  } cases[] = {
      {"a reminder is not an event", {{EntityType::reminder, occurrence(1000, "u")}},
       R"({"uid":"u","calendar":")" + id + R"("})", R"({"ok":true,"data":{"deleted":0}})"},
      {"another calendar", {{EntityType::event, occurrence(1000, "u")}}, R"({"uid":"u","calendar":"elsewhere"})",
       R"({"ok":true,"data":{"deleted":0}})"},
      {"read-only, event mode", {{EntityType::event, inReadOnly}}, R"({"uid":"u","calendar":")" + id + R"("})",
       R"({"ok":true,"data":{"deleted":0}})"},
      {"read-only, occurrence mode", {{EntityType::event, inReadOnly}},
       R"({"uid":"u","calendar":")" + id + R"(","start":1000})", R"({"ok":true,"data":{"deleted":0}})"},
      {"refused in event mode", {{EntityType::event, occurrence(1000, "u")}},
       R"({"uid":"u","calendar":")" + id + R"("})", R"({"ok":false,"error":"failed"})"},
  };
  for (const auto& c : cases) {
    store.craftedItems = c.items;
    store.removals.clear();
    store.commits = 0;
    store.refuseRemovals = true;
    EXPECT_EQ(deleteEventCommand(store, requestOf(c.request)).text, c.reply) << c.name;
    if (c.reply.find("deleted\":0") != std::string::npos) {
      EXPECT_TRUE(store.removals.empty()) << c.name << ": no removal is attempted";
      EXPECT_EQ(store.commits, 0) << c.name;
    }
  }
}

TEST_F(Commands, CalendarRecordsFillWhatTheStoreLeavesOut) {
  auto bare = std::make_shared<Calendar>(Calendar{"a", "Bare", std::nullopt, false, false, std::nullopt});
  auto untitledAccount = std::make_shared<Calendar>(
      Calendar{"b", "Grey", Color{ColorSpace::gray, {0.5, 1}}, true, false, Source{"s", std::nullopt, SourceType::local}});
  auto print = std::make_shared<Calendar>(
      Calendar{"c", "Print", Color{ColorSpace::other, {0, 1, 1, 0, 1}}, true, true, Source{"s", "Work", SourceType::calDAV}});
  store.craftedCalendars = std::vector<std::shared_ptr<const Calendar>>{bare, untitledAccount, print};
  EXPECT_EQ(calendarsCommand(store, requestOf("{}")).text,
            R"({"ok":true,"data":[)"
            R"({"id":"a","title":"Bare","color":"#0082c9","writable":false,"source":""},)"
            R"({"id":"b","title":"Grey","color":"#808080","writable":true,"source":""},)"
            R"({"id":"c","title":"Print","color":"#0082c9","writable":true,"source":"Work"}]})");
  store.craftedCalendars = std::vector<std::shared_ptr<const Calendar>>{};
  EXPECT_EQ(calendarsCommand(store, requestOf("{}")).text, R"({"ok":true,"data":[]})");
}

TEST_F(Commands, NewCalendarsGoToTheAccountOfTheFirstApplicableRule) {
  Source local{"local", "Local", SourceType::local};
  Source caldav{"caldav", "Server", SourceType::calDAV};
  Source exchange{"exchange", "Exchange", SourceType::exchange};
  auto inExchange = std::make_shared<Calendar>(Calendar{"d", "Default", std::nullopt, true, false, exchange});
  auto withoutAccount = std::make_shared<Calendar>(Calendar{"d", "Default", std::nullopt, true, false, std::nullopt});
  struct Case {
    const char* name;
    std::shared_ptr<const Calendar> standard;
    std::vector<Source> sources;
    std::optional<std::string> chosen;
  } cases[] = {
      {"the default calendar's account, whatever its type", inExchange, {local, caldav}, "exchange"},
      {"CalDAV before a local account listed first", nullptr, {local, exchange, caldav}, "caldav"},
      {"a default without an account falls through", withoutAccount, {exchange, local}, "local"},
      {"only other types", nullptr, {exchange, Source{"sub", "Subscribed", SourceType::subscribed}}, std::nullopt},
      {"no accounts at all", nullptr, {}, std::nullopt},
  };
  for (const auto& c : cases) {
    store.craftedDefault = c.standard;
    store.craftedSources = c.sources;
    store.savedCalendars.clear();
    store.refuseSave = true;  // the account chosen is what matters here
    Reply reply = createCalendarCommand(store, requestOf(R"({"title":"New","color":"#ABCDEF"})"));
    if (!c.chosen) {
      EXPECT_EQ(reply.text, R"({"ok":false,"error":"failed"})") << c.name;
      EXPECT_TRUE(store.savedCalendars.empty()) << c.name << ": nothing is written";
      continue;
    }
    ASSERT_EQ(store.savedCalendars.size(), 1u) << c.name;
    EXPECT_EQ(store.savedCalendars[0].source->sourceIdentifier, *c.chosen) << c.name;
    EXPECT_EQ(hex(store.savedCalendars[0].color), "#abcdef");
    EXPECT_EQ(reply.text, R"({"ok":false,"error":"failed"})") << "a refused save fails";
  }
}

// A store whose first read meets a database error: whatever a command made of
// what it saw, the reply is "failed".
class FailingStore : public StoreWrapper {
 public:
  using StoreWrapper::StoreWrapper;
  bool readFailed() const override { return failed; }
  AuthorizationStatus authorizationStatus() override {
    failed = true;
    return AuthorizationStatus::fullAccess;
  }
  bool failed = false;
};

TEST(Bridge, AStoreThatCouldNotBeReadRepliesFailed) {
  for (const char* word : {"access", "calendars", "events", "createEvent", "deleteEvent", "createCalendar",
                           "deleteCalendar"}) {
    SqliteStore backing{std::string(kInMemoryStore)};
    FailingStore store(backing);
    EXPECT_EQ(serve(word, "{}", store).text, R"({"ok":false,"error":"failed"})") << word;
  }
}

}  // namespace
}  // namespace calbridge
