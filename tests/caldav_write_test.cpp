// Changes to CalDAV accounts go to the server first: what the server has,
// seen by another client, decides whether a reply of "ok" was true.
#include "caldav/servers.h"
#include "ical/object_edit.h"
#include "calendar/time_zone.h"
#include "support/bridge.h"
#include "support/database.h"
#include "sync/caldav_publisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

namespace calbridge::testing {
namespace {

// The EXDATE values of an object's text, each line's after its colon, joined.
std::string exdates(const std::string& text) {
  std::string out;
  for (std::size_t at = text.find("\nEXDATE"); at != std::string::npos; at = text.find("\nEXDATE", at + 1)) {
    std::size_t colon = text.find(':', at), end = text.find_first_of("\r\n", at + 1);
    out += text.substr(colon + 1, end - colon - 1) + ",";
  }
  return out;
}

class CaldavWrite : public ::testing::TestWithParam<ServerKind>, public BridgeFixture {
 protected:
  void SetUp() override {
    std::string skip;
    server = DavServer::start(GetParam(), &skip);
    if (!server) GTEST_SKIP() << skip;
    calendar = server->make_calendar("work", "Work");
    ASSERT_FALSE(calendar.empty());
    grantAccess();
    const std::string password = dataHome() + "/password";
    store({"calendar", "add", "--title", "scratch"});
    FILE* f = std::fopen(password.c_str(), "w");
    std::fprintf(f, "#!/bin/sh\necho %s\n", DavServer::kPassword);
    std::fclose(f);
    RunResult added = runStore({"source", "add", "--title", "Work account", "--caldav", server->url(), "--user",
                                DavServer::kUser, "--password-command", "sh " + password});
    ASSERT_EQ(added.status, 0) << added.err;
    // No default calendar: a new calendar goes to the CalDAV account.
    store({"default", "clear"});
    work = listed("Work");
    ASSERT_FALSE(work.empty());
  }

  // The id of the calendar listed with that title in the account; empty when there is none.
  std::string listed(const std::string& title, std::string* writable = nullptr, std::string* color = nullptr) const {
    Envelope reply = request("calendars", "");
    EXPECT_TRUE(reply.ok()) << reply.raw.out;
    if (!reply.ok()) return {};
    for (const auto& c : reply.data().GetArray()) {
      if (c["source"] != "Work account" || c["title"] != title.c_str()) continue;
      if (writable) *writable = c["writable"].IsTrue() ? "true" : "false";
      if (color) *color = c["color"].GetString();
      return c["id"].GetString();
    }
    return {};
  }

  std::string onServer() const { return server->peer({"calendars"}); }

  std::unique_ptr<DavServer> server;
  std::string calendar, work;
};

TEST_P(CaldavWrite, ACalendarIsMadeAndRemovedOnTheServerFirst) {
  Envelope made = request("createCalendar", R"({"title":"Trips","color":"#ff0000"})");
  ASSERT_TRUE(made.ok()) << made.raw.out;
  const std::string id = made.data()["id"].GetString();
  EXPECT_EQ(onServer(), "Trips\nWork");
  std::string writable, color;
  EXPECT_EQ(listed("Trips", &writable, &color), id);
  EXPECT_EQ(writable, "true");
  EXPECT_EQ(color, "#ff0000");
  // The next sync finds the same collection: one calendar, under the same id.
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(listed("Trips"), id);
  EXPECT_EQ(request("calendars", "").raw.out.find("Trips"), request("calendars", "").raw.out.rfind("Trips"));

  Envelope removed = request("deleteCalendar", R"({"calendar":")" + id + R"("})");
  EXPECT_EQ(removed.raw.out, R"({"ok":true,"data":{"deleted":true}})");
  EXPECT_EQ(onServer(), "Work");
  EXPECT_EQ(listed("Trips"), "");
}

// Hosts at once: every calendar a reply calls made is on the server and in
// the replica, under the id it was given.
TEST_P(CaldavWrite, EightHostsAtOnceLoseNothing) {
  constexpr int kHosts = 8;
  std::vector<std::string> replies(kHosts);
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([&, h] {
      replies[h] = request("createCalendar", R"({"title":"Host )" + std::to_string(h) + R"("})").raw.out;
    });
  }
  for (auto& host : hosts) host.join();
  std::string expected;
  for (int h = 0; h < kHosts; ++h) {
    SCOPED_TRACE(replies[h]);
    rapidjson::Document reply;
    reply.Parse(replies[h].c_str());
    ASSERT_TRUE(reply.IsObject() && reply["ok"].IsTrue());
    EXPECT_EQ(listed("Host " + std::to_string(h)), reply["data"]["id"].GetString());
    expected += "Host " + std::to_string(h) + "\n";
  }
  EXPECT_EQ(onServer(), expected + "Work");

  // And each removing another occurrence of one series: every one said
  // removed is excluded on the server, and no other.
  server->peer({"series", calendar, "s", "Standup"});
  ASSERT_EQ(runStore({"sync"}).status, 0);
  hosts.clear();
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([&, h] {
      replies[h] = request("deleteEvent", R"({"uid":"s","calendar":")" + work + R"(","start":)" +
                                              number(1768035600 + (h + 1) * 86400.0) + "}")
                       .raw.out;
    });
  }
  for (auto& host : hosts) host.join();
  const std::string text = server->peer({"get", calendar, "s"});
  // They wait their turn for the store, so none need fail.
  EXPECT_EQ(std::count(replies.begin(), replies.end(), R"({"ok":true,"data":{"deleted":1}})"), kHosts);
  for (int h = 0; h < kHosts; ++h) {
    const std::string day = "202601" + std::to_string(11 + h) + "T090000Z";
    EXPECT_EQ(exdates(text).find(day) != std::string::npos, replies[h] == R"({"ok":true,"data":{"deleted":1}})")
        << day << " " << replies[h] << "\n" << text;
  }
}

// A series another client made, changed there and removed from here: the
// server has each change, and keeps what the other client wrote, with a
// change elsewhere since the last sync or without.
TEST_P(CaldavWrite, RemovalsReachTheServerAndKeepWhatOthersWrote) {
  constexpr double kStart = 1768035600;  // 2026-01-10 09:00 UTC, daily
  server->peer({"series", calendar, "s", "Standup"});
  ASSERT_EQ(runStore({"sync"}).status, 0);
  struct Step {
    const char* name;
    const char* other;  // what the other client does first
    bool syncFirst;
    int removeDay;  // occurrence mode; -1: event mode
    const char* exdates;  // on the server after it; null: the object is gone
  } steps[] = {
      {"changed elsewhere: done again on the server's text", "describe", false, 2, "20260112T090000Z,"},
      {"a moved occurrence added elsewhere, another removed", "override", false, 4,
       "20260112T090000Z,20260114T090000Z,"},
      {"synced first, no conflict", "", true, 6, "20260112T090000Z,20260114T090000Z,20260116T090000Z,"},
      {"the whole series, changed elsewhere", "describe", false, -1, nullptr},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    const std::string other = s.other;
    if (other == "describe") server->peer({"describe", calendar, "s", std::string("Notes ") + s.name});
    if (other == "override") server->peer({"override", calendar, "s", "20260115T090000Z", "20260115T140000Z"});
    if (s.syncFirst) {
      EXPECT_EQ(runStore({"sync"}).status, 0);
    }
    std::string input = R"({"uid":"s","calendar":")" + work + "\"" +
                        (s.removeDay >= 0 ? ",\"start\":" + number(kStart + s.removeDay * 86400.0) : "") + "}";
    EXPECT_EQ(request("deleteEvent", input).raw.out, R"({"ok":true,"data":{"deleted":1}})");
    if (!s.exdates) {
      EXPECT_EQ(server->peer({"list", calendar}), "0");
      continue;
    }
    const std::string text = server->peer({"get", calendar, "s"});
    EXPECT_EQ(exdates(text), s.exdates) << text;
    EXPECT_NE(text.find("DESCRIPTION:Notes "), std::string::npos) << text;
    if (other == "override" || s.syncFirst) {
      EXPECT_NE(text.find("RECURRENCE-ID:20260115T090000Z"), std::string::npos) << text;
    }
  }
  // What the replica lists is what the server has.
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(eventsIn(work, kStart, kStart + 10 * 86400).Size(), 0u);
}

// A new series with skips: one object on the server, its skips as EXDATEs;
// and the same on a server that refuses it leaves nothing anywhere.
TEST_P(CaldavWrite, ANewSeriesReachesTheServerWithItsSkipsInOneObject) {
  constexpr double kStart = 1768035600;  // 2026-01-10 09:00 UTC
  const std::string input = R"({"calendar":")" + work + R"(","start":)" + number(kStart) + R"(,"end":)" +
                            number(kStart + 1800) + R"(,"title":"Standup","repeat":"daily","skip":[)" +
                            number(kStart + 86400) + "," + number(kStart + 3 * 86400) + "]}";
  server->set_faults(R"([{"method":"PUT","action":"status","status":507}])");
  const std::string before = Database(databasePath()).dump();
  EXPECT_EQ(request("createEvent", input).raw.out, R"({"ok":false,"error":"failed"})");
  EXPECT_EQ(Database(databasePath()).dump(), before);
  server->set_faults("[]");
  EXPECT_EQ(server->peer({"list", calendar}), "0");
  Envelope made = request("createEvent", input);
  ASSERT_TRUE(made.ok()) << made.raw.out;
  const std::string uid = made.data()["uid"].GetString();
  EXPECT_EQ(server->peer({"list", calendar}), "1");
  const std::string text = server->peer({"get", calendar, uid});
  EXPECT_NE(text.find("RRULE:FREQ=DAILY"), std::string::npos) << text;
  EXPECT_EQ(exdates(text), "20260111T090000Z,20260113T090000Z,") << text;
  // The next sync finds nothing new: the replica already is what the server has.
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(startsIn(work, kStart, kStart + 4 * 86400), (std::vector<double>{kStart, kStart + 2 * 86400}));
}

// A host that kills the bridge while the server is still answering: either
// the server has the change and the next sync brings it in, or neither has it.
TEST_P(CaldavWrite, AHostKilledMidWriteLeavesNothingTheNextSyncCannotMend) {
  server->set_faults(R"([{"method":"MKCALENDAR","action":"delay","seconds":1}])");
  runBridgeKilledAfter("createCalendar", R"({"title":"Trips"})", std::chrono::milliseconds(500));
  // The proxy still passes the request on after its delay.
  for (int i = 0; i < 50 && onServer() == "Work"; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(runStore({"sync"}).status, 0);
  const bool made = onServer() == "Trips\nWork";
  EXPECT_EQ(!listed("Trips").empty(), made) << onServer();
}

// The proxy has seen a request that starts with `prefix` ("PUT ", "GET ")
// after the first `before` it had seen.
bool seen(const DavServer& server, const std::string& prefix, std::size_t before) {
  for (int i = 0; i < 3000; ++i) {
    const std::vector<std::string> lines = server.requests();
    for (std::size_t at = before; at < lines.size(); ++at)
      if (lines[at].rfind(prefix, 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A change to a replica waits for its server outside the store's write lock:
// a local change made while the server sits on the PUT goes through, and the
// replica's change still reaches the server and the replica.
TEST_P(CaldavWrite, LocalWorkDoesNotWaitOnAServer) {
  constexpr double kStart = 1768035600;  // 2026-01-10 09:00 UTC, daily
  server->peer({"series", calendar, "s", "Standup"});
  ASSERT_EQ(runStore({"sync"}).status, 0);
  const std::string local = store({"calendar", "add", "--title", "Local"});
  // The PUT hangs until the local change has its reply (14 s at most).
  const std::string go = dataHome() + "/go";
  server->set_faults(R"([{"method":"PUT","action":"delay","seconds":14,"until":")" + go + R"("}])");
  std::string replicaReply;
  const std::size_t before = server->requests().size();
  std::thread replica([&] {
    replicaReply = request("deleteEvent", R"({"uid":"s","calendar":")" + work + R"(","start":)" +
                                              number(kStart + 2 * 86400) + "}")
                       .raw.out;
  });
  ASSERT_TRUE(seen(*server, "PUT ", before));
  Envelope made = request("createEvent", R"({"calendar":")" + local + R"(","start":0,"end":60,"title":"Meanwhile"})");
  std::fclose(std::fopen(go.c_str(), "w"));
  replica.join();
  EXPECT_TRUE(made.ok()) << made.raw.out;
  EXPECT_EQ(replicaReply, R"({"ok":true,"data":{"deleted":1}})");
  EXPECT_EQ(exdates(server->peer({"get", calendar, "s"})), "20260112T090000Z,");
  EXPECT_EQ(startsIn(work, kStart, kStart + 3 * 86400), (std::vector<double>{kStart, kStart + 86400}));
}

// A sync that fetched an object just before a change written through to the
// server does not bring the old text back: the object waits for the next round.
TEST_P(CaldavWrite, ASyncDoesNotUndoAChangeMadeWhileItFetched) {
  constexpr double kStart = 1768035600;  // 2026-01-10 09:00 UTC, daily
  server->peer({"series", calendar, "s", "Standup"});
  ASSERT_EQ(runStore({"sync"}).status, 0);
  server->peer({"describe", calendar, "s", "Bring notes"});
  // The sync's fetch of the changed object gets its answer only once the bridge has replied.
  const std::string go = dataHome() + "/go";
  server->set_faults(R"([{"method":"GET","action":"hold","seconds":25,"times":1,"until":")" + go + R"("}])");
  RunResult synced;
  const std::size_t before = server->requests().size();
  std::thread sync([&] { synced = runStore({"sync"}); });
  ASSERT_TRUE(seen(*server, "GET ", before));
  Envelope removed = request("deleteEvent", R"({"uid":"s","calendar":")" + work + R"(","start":)" +
                                                number(kStart + 2 * 86400) + "}");
  std::fclose(std::fopen(go.c_str(), "w"));
  sync.join();
  EXPECT_EQ(removed.raw.out, R"({"ok":true,"data":{"deleted":1}})");
  EXPECT_EQ(synced.status, 0) << synced.err;
  const std::vector<double> expected{kStart, kStart + 86400, kStart + 3 * 86400};
  EXPECT_EQ(startsIn(work, kStart, kStart + 4 * 86400), expected);
  // The next round fetches it again, and finds what the replica has.
  server->set_faults("[]");
  EXPECT_EQ(runStore({"sync"}).status, 0);
  EXPECT_EQ(startsIn(work, kStart, kStart + 4 * 86400), expected);
  EXPECT_NE(server->peer({"get", calendar, "s"}).find("DESCRIPTION:Bring notes"), std::string::npos);
}

// What the server does not let anyone change is refused before any request.
TEST_P(CaldavWrite, ACalendarTheServerKeepsReadOnlyIsRefusedWithoutAsking) {
  sql("UPDATE calendars SET remote_writable = 0 WHERE title = 'Work'");
  std::string writable;
  EXPECT_EQ(listed("Work", &writable), work);
  EXPECT_EQ(writable, "false");
  const std::size_t asked = server->requests().size();
  EXPECT_EQ(request("deleteCalendar", R"({"calendar":")" + work + R"("})").raw.out, R"({"ok":false,"error":"invalid"})");
  EXPECT_EQ(request("createEvent", R"({"calendar":")" + work + R"(","start":0,"end":60})").raw.out,
            R"({"ok":false,"error":"invalid"})");
  EXPECT_EQ(server->requests().size(), asked);
  EXPECT_EQ(onServer(), "Work");
}

// A server that is down, hangs or refuses: "failed", the replica exactly as
// before, and reads still answered from it.
TEST_P(CaldavWrite, AServerThatCannotTakeTheChangeLeavesEverythingAsItWas) {
  struct Case {
    const char* name;
    const char* faults;  // for the proxy; null: the server is stopped
    std::string command, input;
  } cases[] = {
      {"refused", R"([{"method":"MKCALENDAR","action":"status","status":507}])", "createCalendar", R"({"title":"Trips"})"},
      {"refused", R"([{"method":"DELETE","action":"status","status":403}])", "deleteCalendar",
       R"({"calendar":")" + work + R"("})"},
      {"hanging", R"([{"action":"delay","seconds":60}])", "deleteCalendar", R"({"calendar":")" + work + R"("})"},
      {"answered with a multistatus, twice", R"([{"method":"PUT","action":"wrap207"}])", "deleteEvent",
       R"({"uid":"s","calendar":")" + work + R"(","start":1768208400})"},
      {"refused", R"([{"method":"DELETE","action":"status","status":403}])", "deleteEvent",
       R"({"uid":"s","calendar":")" + work + R"("})"},
      {"stopped", nullptr, "deleteEvent", R"({"uid":"s","calendar":")" + work + R"(","start":1768208400})"},
      {"stopped", nullptr, "createCalendar", R"({"title":"Trips"})"},
      {"stopped", nullptr, "deleteCalendar", R"({"calendar":")" + work + R"("})"},
  };
  server->peer({"series", calendar, "s", "Standup"});
  ASSERT_EQ(runStore({"sync"}).status, 0);
  const std::string before = Database(databasePath()).dump();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.command);
    if (c.faults) server->set_faults(c.faults);
    else server->kill_server();
    EXPECT_EQ(request(c.command, c.input).raw.out, R"({"ok":false,"error":"failed"})");
    EXPECT_EQ(Database(databasePath()).dump(), before);
    EXPECT_EQ(listed("Work"), work);
    server->set_faults("[]");
    if (!c.faults) server->restart_server();
  }
  EXPECT_EQ(onServer(), "Work");
  EXPECT_EQ(exdates(server->peer({"get", calendar, "s"})), "");
}

// The publisher on its own, against the server: each answer read strictly.
TEST_P(CaldavWrite, ThePublisherCountsOnlyWhatTheServerStored) {
  auto object = [](const std::string& uid, const std::string& summary) {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:" + uid +
           "\r\nDTSTAMP:20260101T000000Z\r\nDTSTART:20260110T090000Z\r\nDTEND:20260110T100000Z\r\nSUMMARY:" + summary +
           "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  };
  RemoteAccount account;
  account.sourceIdentifier = "a";
  account.url = server->url();
  account.user = DavServer::kUser;
  account.passwordCommand = "echo " + std::string(DavServer::kPassword);
  ZoneCache zones;
  const std::string cal = server->via_proxy(calendar);
  using Kind = ObjectChange::Kind;
  std::string etag;  // of the object after the last stored change
  struct Case {
    const char* name;
    Kind kind;
    const char* resource;
    const char* uid;
    bool staleEtag;
    const char* faults;
    bool stored;
    const char* serverSummary;  // what the other client then finds under UID "one"; "" for none
  } cases[] = {
      {"new object", Kind::create, "one.ics", "one", false, "[]", true, "First"},
      {"its name is taken", Kind::create, "one.ics", "one", false, "[]", false, "First"},
      {"its UID is taken", Kind::create, "other.ics", "one", false, "[]", false, "First"},
      {"a multistatus answer", Kind::modify, "one.ics", "one", false, R"([{"method":"PUT","action":"wrap207"}])", false,
       "First"},
      {"replaced", Kind::modify, "one.ics", "one", false, "[]", true, "Second"},
      {"changed meanwhile, no edits", Kind::modify, "one.ics", "one", true, "[]", false, "Second"},
      {"removed though changed meanwhile", Kind::remove, "one.ics", "one", true, "[]", true, ""},
  };
  int step = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server->set_faults(c.faults);
    CalDavPublisher publisher(zones, nullptr);
    ObjectChange change;
    change.kind = c.kind;
    change.calendarUrl = cal;
    change.url = cal + c.resource;
    change.etag = c.kind == Kind::create ? "" : c.staleEtag ? "\"stale\"" : etag;
    change.text = object(c.uid, ++step < 5 ? "First" : "Second");
    PublishedObject published;
    const Status stored = publisher.publish(account, change, &published);
    EXPECT_EQ(stored.isOk(), c.stored) << stored.message();
    if (stored && c.kind != Kind::remove) {
      EXPECT_FALSE(published.etag.empty());
      EXPECT_EQ(published.text, change.text);
      EXPECT_FALSE(published.rebased);
      etag = published.etag;
    }
    server->set_faults("[]");
    const std::string listedCount = server->peer({"list", calendar});
    EXPECT_EQ(listedCount, *c.serverSummary ? "1" : "0");
    if (*c.serverSummary) {
      EXPECT_NE(server->peer({"get", calendar, "one"}).find(std::string("SUMMARY:") + c.serverSummary), std::string::npos);
    }
  }
}

// A change to an object changed elsewhere meanwhile: made again on the
// server's text, once, so what the other client wrote stays.
TEST_P(CaldavWrite, AConflictIsMadeGoodOnTheServersText) {
  RemoteAccount account;
  account.sourceIdentifier = "a";
  account.url = server->url();
  account.user = DavServer::kUser;
  account.passwordCommand = "echo " + std::string(DavServer::kPassword);
  ZoneCache zones;
  const std::string cal = server->via_proxy(calendar);
  const std::string series =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:s\r\nDTSTAMP:20260101T000000Z\r\n"
      "DTSTART:20260110T090000Z\r\nDTEND:20260110T100000Z\r\nRRULE:FREQ=DAILY\r\nSUMMARY:Standup\r\nEND:VEVENT\r\n"
      "END:VCALENDAR\r\n";
  CalDavPublisher publisher(zones, &applyEdits);
  PublishedObject made;
  const Status madeStatus = publisher.publish(account, {ObjectChange::Kind::create, cal, cal + "s.ics", "", series, {}}, &made);
  ASSERT_TRUE(madeStatus) << madeStatus.message();
  struct Case {
    const char* name;
    const char* faults;
    bool stored;
    const char* exdate;  // then on the server; "" for none
  } cases[] = {
      {"a second conflict", R"([{"method":"PUT","action":"status","status":412}])", false, ""},
      {"changed elsewhere", "[]", true, "20260111T090000Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server->peer({"describe", calendar, "s", "Bring notes"});  // the publisher's ETag is old now
    server->set_faults(c.faults);
    ObjectChange change{ObjectChange::Kind::modify, cal, cal + "s.ics", made.etag, series,
                        {{ObjectEdit::Kind::exclude, 1768035600 + 86400}}};
    PublishedObject published;
    const Status stored = publisher.publish(account, change, &published);
    EXPECT_EQ(stored.isOk(), c.stored) << stored.message();
    if (stored) {
      // Made again on the server's text: what the replica lists is read from it.
      ASSERT_TRUE(published.rebased);
      EXPECT_NE(published.rebased->etag, made.etag);
      EXPECT_NE(published.text.find("DESCRIPTION:Bring notes"), std::string::npos);
      EXPECT_EQ(published.rebased->events.size(), 1u);
    }
    server->set_faults("[]");
    const std::string text = server->peer({"get", calendar, "s"});
    EXPECT_NE(text.find("DESCRIPTION:Bring notes"), std::string::npos) << text;
    EXPECT_EQ(text.find("EXDATE") != std::string::npos, *c.exdate != 0) << text;
    if (*c.exdate) {
      EXPECT_NE(text.find(c.exdate), std::string::npos) << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, CaldavWrite, ::testing::Values(ServerKind::radicale, ServerKind::xandikos),
                         [](const auto& info) { return std::string(server_name(info.param)); });

}  // namespace
}  // namespace calbridge::testing
