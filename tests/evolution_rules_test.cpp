// What EDS's sources mean as calendars and accounts, and how its objects are
// made ready for the listing: plain values, no EDS.
#include "calendar/civil_time.h"
#include "evolution/accounts.h"
#include "evolution/calendar_feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calbridge {
namespace {

SourceFacts calendar(const char* backend, bool removable = false, bool remoteDeletable = false, bool onServer = false) {
  SourceFacts f;
  f.uid = "c";
  f.displayName = "C";
  f.backendName = backend;
  f.removable = removable;
  f.remoteDeletable = remoteDeletable;
  f.serverResource = onServer;
  return f;
}

SourceFacts account(const char* uid, const char* backend = "", bool collection = false, bool remoteCreatable = false) {
  SourceFacts f;
  f.uid = uid;
  f.displayName = uid;
  f.backendName = backend;
  f.collection = collection;
  f.remoteCreatable = remoteCreatable;
  return f;
}

TEST(EvolutionAccounts, WhatCanBeRemovedAndMadeWhere) {
  const SourceFacts local = account("local-stub"), caldav = account("caldav-stub"),
                    webdav = account("dav", "webdav", true), ews = account("ews", "ews", true, true);
  struct Case {
    const char* what;
    SourceFacts calendar;
    const SourceFacts* account;
    Removal removal;
  };
  const Case cases[] = {
      {"a local calendar", calendar("local", true), &local, Removal::localSource},
      {"the built-in Personal calendar", calendar("local", false), &local, Removal::none},
      // Removing its source would leave it on the server: immutable.
      {"a CalDAV calendar set up on its own", calendar("caldav", true, false, true), &caldav, Removal::none},
      {"a calendar of a WebDAV collection", calendar("caldav", false, false, true), &webdav, Removal::collectionServer},
      {"one the collection's backend removes itself", calendar("ews", false, true, true), &ews, Removal::remoteDelete},
      {"a web calendar", calendar("webcal", true), &caldav, Removal::none},
      {"a calendar without an account", calendar("caldav", false, false, true), nullptr, Removal::none},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(removalOf(c.calendar, c.account), c.removal) << c.what;
    EXPECT_EQ(calendarOf(c.calendar, c.account, false).isImmutable, c.removal == Removal::none) << c.what;
  }
  EXPECT_EQ(creationIn(local), Creation::localSource);
  EXPECT_EQ(creationIn(caldav), Creation::none);
  EXPECT_EQ(creationIn(webdav), Creation::collectionServer);
  EXPECT_EQ(creationIn(ews), Creation::remoteCreate);
  EXPECT_EQ(creationIn(account("google", "google", true)), Creation::none);
}

TEST(EvolutionAccounts, CalendarsAndTheirAccounts) {
  const SourceFacts web = account("webcal-stub"), dav = account("dav", "webdav", true);
  SourceFacts work = calendar("caldav", false, false, true);
  work.color = "#62A0EA";
  Calendar c = calendarOf(work, &dav, false);
  EXPECT_EQ(c.calendarIdentifier, "c");
  EXPECT_EQ(hex(c.color), "#62a0ea");
  EXPECT_TRUE(c.allowsContentModifications);
  ASSERT_TRUE(c.source);
  EXPECT_EQ(c.source->title, "dav");
  EXPECT_EQ(c.source->sourceType, SourceType::calDAV);
  // Read-only by its kind, or because its backend said so (or would not open).
  EXPECT_FALSE(calendarOf(calendar("webcal"), &web, false).allowsContentModifications);
  EXPECT_FALSE(calendarOf(calendar("contacts"), &web, false).allowsContentModifications);
  EXPECT_FALSE(calendarOf(work, &dav, true).allowsContentModifications);
  EXPECT_FALSE(calendarOf(calendar("local"), nullptr, false).source);
  EXPECT_FALSE(calendarOf(SourceFacts{}, nullptr, false).color);

  // Collections before the built-in groups, On This Computer first of those; each account once.
  std::vector<Source> accounts = accountList({{account("webcal-stub"), "webcal"},
                                              {account("local-stub"), "local"},
                                              {account("Zed", "ews", true), "ews"},
                                              {account("caldav-stub"), "caldav"},
                                              {account("Alpha", "webdav", true), "caldav"},
                                              {account("local-stub"), "local"}});
  std::vector<std::string> order;
  std::vector<SourceType> types;
  for (const Source& s : accounts) {
    order.push_back(s.sourceIdentifier);
    types.push_back(s.sourceType);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Alpha", "Zed", "local-stub", "caldav-stub", "webcal-stub"}));
  EXPECT_EQ(types, (std::vector<SourceType>{SourceType::calDAV, SourceType::exchange, SourceType::local,
                                            SourceType::calDAV, SourceType::subscribed}));
}

// A daily series at 09:00 UTC from 2027-01-04, with what each case adds.
StoredEvent daily(const char* uid) {
  StoredEvent e;
  e.externalIdentifier = uid;
  e.title = std::string(uid);
  e.timeZone = "UTC";
  e.start = static_cast<double>(daysFromCivil(2027, 1, 4) * kDay + 9 * 3600);
  e.end = e.start + 1800;
  e.rule = "FREQ=DAILY";
  return e;
}

StoredEvent change(const StoredEvent& series, int day, double movedHours, bool thisAndFuture = false) {
  StoredEvent c = series;
  c.rule.reset();
  c.title = *series.title + " moved";
  c.recurrenceId = ReplacedOccurrence{static_cast<std::int64_t>(series.start) + day * kDay, thisAndFuture};
  c.start = series.start + day * kDay + movedHours * 3600;
  c.end = c.start + 1800;
  return c;
}

// "title@hours since the series' start" for the week after it starts.
std::vector<std::string> week(const PreparedEvents& prepared) {
  ZoneCache zones;
  std::vector<TimeRange> times;
  for (const StoredEvent* single : prepared.singles()) times.push_back({single->start, single->end});
  const CalendarFeed feed{times, prepared.listed()};
  const double from = static_cast<double>(daysFromCivil(2027, 1, 4) * kDay);
  OccurrenceMerge merge({&feed, 1}, from, from + 7 * kDay);
  std::vector<std::string> out;
  while (auto o = merge.next()) {
    const StoredEvent& e = o->kind == ListedOccurrence::Kind::single   ? *prepared.singles()[o->item]
                           : o->kind == ListedOccurrence::Kind::change ? prepared.changeEvent(o->item, o->change)
                                                                       : prepared.seriesEvent(o->item);
    out.push_back(*e.title + "@" + std::to_string(static_cast<int>((o->start - from) / 3600)));
  }
  return out;
}

TEST(EvolutionFeed, ChangesStandInForTheirOccurrences) {
  ZoneCache zones;
  StoredEvent series = daily("s");
  series.count = 4;
  StoredEvent excluded = daily("x");
  excluded.until = excluded.start + 1 * kDay;
  excluded.excluded = {static_cast<std::int64_t>(excluded.start) + kDay};
  std::vector<StoredEvent> events{
      change(series, 1, 2),  // moved two hours later
      series,
      change(series, 40, 0),  // beyond the window: its occurrence is not there, it is elsewhere
      excluded,
      change(excluded, 1, 3),         // changes an occurrence the series excludes: nothing
      change(daily("orphan"), 2, 1),  // its series is not among them: an event of its own
  };
  PreparedEvents prepared(std::move(events), zones);
  EXPECT_EQ(week(prepared), (std::vector<std::string>{"s@9", "x@9", "s moved@35", "s@57", "orphan moved@58", "s@81"}));
}

TEST(EvolutionFeed, ARangeChangeSplitsTheSeries) {
  ZoneCache zones;
  StoredEvent series = daily("s");
  series.count = 5;
  PreparedEvents prepared({series, change(series, 2, -1, true)}, zones);
  ASSERT_EQ(prepared.listed().size(), 2u);
  EXPECT_EQ(week(prepared), (std::vector<std::string>{"s@9", "s@33", "s moved@56", "s moved@80", "s moved@104"}));
}

}  // namespace
}  // namespace calbridge
