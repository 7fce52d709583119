// A CalDAV account whose server answers as a hostile or broken one would: the
// password goes to no other server, nothing outside the account's calendars
// is stored or written to, and nothing from an answer reaches a header.
// Every row is added with calbridge-store, synced, and then every calendar
// and event it lists is written to through the bridge, as a person would.
#include "caldav/servers.h"
#include "support/bridge.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace calbridge::testing {
namespace {

constexpr double kJanuary10 = 1768003200;  // the day the hostile server's events are on

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The one calendar a good account has, with its one event.
const char* kWork = R"({"href":"/alice/cals/work/","displayname":"Work","members":[
  {"href":"/alice/cals/work/e1.ics","etag":"\"1\"","uid":"e1","summary":"Dentist"}]})";

std::string calendarsWith(const std::string& more) { return std::string(R"("calendars":[)") + kWork + more + "]"; }

std::string workWithMember(const std::string& href) {
  return R"("calendars":[{"href":"/alice/cals/work/","displayname":"Work","members":[
    {"href":"/alice/cals/work/e1.ics","etag":"\"1\"","uid":"e1","summary":"Dentist"},
    {"href":")" + href + R"(","etag":"\"2\"","uid":"x1","summary":"Someone else's"}]}])";
}

class CaldavHostile : public ::testing::Test, public BridgeFixture {
 protected:
  void SetUp() override {
    std::string skip;
    server = HostileServer::start(&skip);
    if (!server) GTEST_SKIP() << skip;
    grantAccess();
    store({"calendar", "add", "--title", "scratch"});
    password = dataHome() + "/password";
    std::ofstream(password) << "#!/bin/sh\necho secret\n";
  }

  // The account's calendars as the bridge lists them: title -> id.
  std::map<std::string, std::string> calendars() const {
    std::map<std::string, std::string> out;
    Envelope reply = request("calendars", "");
    if (!reply.ok()) return out;
    for (const auto& c : reply.data().GetArray())
      if (c["source"] == "Hostile") out[c["title"].GetString()] = c["id"].GetString();
    return out;
  }

  std::unique_ptr<HostileServer> server;
  std::string password;
};

TEST_F(CaldavHostile, CredentialsAndWritesStayWithTheAccountsCalendars) {
  const std::string a = server->origin('A'), b = server->origin('B');
  const std::string longTitle = "Work\\n\\u202e" + std::string(100'000, 'x') + "\\t\\u2066end";
  struct Row {
    const char* name;
    std::string scenario;  // inside the braces
    std::string url;       // the URL given to source add
    std::string error;     // a part of the one line add fails with; empty: added
    std::string warning;   // a part of what add tells on standard error
    std::set<std::string> titles;  // the calendars listed
    std::set<std::string> events;  // the events listed in them
  } rows[] = {
      // Discovery leads to another server: refused, naming it.
      {"well-known redirected to another server", R"("redirects":{"/.well-known/caldav":"{B}/dav/"},)" + calendarsWith(""),
       a + "/", "leads to another server, " + b + ", and", "", {}, {}},
      {"principal on another server", R"("principal":"{B}/alice/",)" + calendarsWith(""), a + "/",
       "leads to another server, " + b + ",", "", {}, {}},
      {"calendar home on another server", R"("home":"{B}/alice/cals/",)" + calendarsWith(""), a + "/",
       "add the account from that URL: " + b + "/alice/cals/", "", {}, {}},
      {"every answer a 500", R"("status_everywhere":500,)" + calendarsWith(""), a + "/", "HTTP 500", "", {}, {}},
      // DAViCal 1.1: a PROPFIND for DAV:sync-token on its principal collection is a 500.
      {"500 for sync-token on the principal collection",
       R"("principal":"/alice/cals/","home":"/alice/cals/","sync_token_500":true,)" + calendarsWith(""), a + "/", "",
       "", {"Work"}, {"Dentist"}},
      // Hrefs outside their calendar or home: left out and told.
      {"member elsewhere on the server", workWithMember("/bob/private/e1.ics"), a + "/", "", "left out 1 object",
       {"Work"}, {"Dentist"}},
      {"member out by dot segments", workWithMember("/alice/cals/work/../../../bob/e1.ics"), a + "/", "",
       "left out 1 object", {"Work"}, {"Dentist"}},
      {"member out by percent-encoded dot segments", workWithMember("/alice/cals/work/%2e%2e/%2E%2E/%2e%2e/bob/e1.ics"),
       a + "/", "", "left out 1 object", {"Work"}, {"Dentist"}},
      {"member on another server", workWithMember("{B}/alice/cals/work/e2.ics"), a + "/", "", "left out 1 object",
       {"Work"}, {"Dentist"}},
      {"calendar at the server's root", calendarsWith(R"(,{"href":"/","displayname":"Root"})"), a + "/", "",
       "left out 1 calendar", {"Work"}, {"Dentist"}},
      {"calendar at the principal", calendarsWith(R"(,{"href":"/alice/","displayname":"Principal"})"), a + "/", "",
       "left out 1 calendar", {"Work"}, {"Dentist"}},
      {"calendar on another server",
       calendarsWith(R"(,{"href":"{B}/alice/cals/evil/","displayname":"Evil","members":[
         {"href":"{B}/alice/cals/evil/e9.ics","etag":"\"9\"","uid":"e9","summary":"Evil"}]})"),
       a + "/", "", "left out 1 calendar", {"Work"}, {"Dentist"}},
      // Values that must not reach a header or a listing as they are.
      // (Two objects, so that they come in a calendar-multiget with their ETags.)
      {"ETag holding a line break",
       R"("calendars":[{"href":"/alice/cals/work/","displayname":"Work","members":[
         {"href":"/alice/cals/work/e1.ics","etag":"\"1\"&#13;&#10;X-Injected: yes","uid":"e1","summary":"Dentist"},
         {"href":"/alice/cals/work/e2.ics","etag":"\"2\"","uid":"e2","summary":"Standup"}]}])",
       a + "/", "", "", {"Work"}, {"Dentist", "Standup"}},
      {"PUT answered 200 with an ETag", R"("put_status":200,)" + calendarsWith(""), a + "/", "", "", {"Work"},
       {"Dentist"}},
      {"a 100,017-character title with line breaks and bidi controls",
       R"("calendars":[{"href":"/alice/cals/work/","displayname":")" + longTitle + R"(","members":[
         {"href":"/alice/cals/work/e1.ics","etag":"\"1\"","uid":"e1","summary":"Dentist"}]}])",
       a + "/", "", "", {"Work " + std::string(250, 'x')}, {"Dentist"}},
      // Last: a store that once took it would hold it in free pages after.
      {"a password in the URL", calendarsWith(""), replaced(a, "//", "//alice:secret@") + "/", "--password-command", "",
       {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    server->set_scenario("{" + row.scenario + "}");
    server->clear_requests();
    RunResult added = runStore({"source", "add", "--title", "Hostile", "--caldav", row.url, "--user", "alice",
                                "--password-command", "sh " + password});
    if (!row.error.empty()) {
      EXPECT_EQ(added.status, 1) << added.out;
      EXPECT_EQ(std::count(added.err.begin(), added.err.end(), '\n'), 1) << added.err;
      EXPECT_NE(added.err.find(row.error), std::string::npos) << added.err;
      EXPECT_EQ(added.err.find("secret"), std::string::npos) << added.err;
      EXPECT_TRUE(calendars().empty());
    } else {
      if (added.status != 0) {
        ADD_FAILURE() << "not added: " << added.err;
        continue;
      }
      EXPECT_NE(added.err.find(row.warning), std::string::npos) << added.err;
      RunResult synced = runStore({"sync"});
      EXPECT_EQ(synced.status, 0) << synced.err;
      EXPECT_NE(synced.err.find(row.warning), std::string::npos) << synced.err;
    }
    auto listed = calendars();
    std::set<std::string> titles, events;
    for (const auto& [title, id] : listed) {
      titles.insert(title);
      auto found = eventsIn(id, kJanuary10 - 86400, kJanuary10 + 86400);
      EXPECT_TRUE(found.IsArray());
      if (!found.IsArray()) continue;
      for (const auto& e : found.GetArray()) events.insert(e["title"].GetString());
    }
    EXPECT_EQ(titles, row.titles);
    EXPECT_EQ(events, row.events);

    // Every listed calendar and event written to, as a person would.
    for (const auto& [title, id] : listed) {
      Envelope made = request("createEvent", R"({"calendar":")" + id + R"(","start":1768035600,"end":1768039200})");
      EXPECT_TRUE(made.ok()) << made.raw.out;
      rapidjson::Document found = eventsIn(id, kJanuary10 - 86400, kJanuary10 + 86400);
      if (!found.IsArray()) continue;
      for (const auto& e : found.GetArray()) {
        const std::string input = R"({"uid":")" + std::string(e["uid"].GetString()) + R"(","calendar":")" + id + "\"}";
        EXPECT_EQ(request("deleteEvent", input).raw.out, R"({"ok":true,"data":{"deleted":1}})");
      }
      if (title != "Work") request("deleteCalendar", R"({"calendar":")" + id + "\"}");
    }
    for (const auto& r : server->requests()) {
      const std::string what = r.port + " " + r.method + " " + r.path;
      EXPECT_FALSE(r.port == "B" && r.authorization) << what << ": credentials sent to another server";
      bool write = r.method == "PUT" || r.method == "DELETE" || r.method == "MKCALENDAR" || r.method == "PROPPATCH";
      if (write) {
        EXPECT_EQ(r.port, "A") << what;
        EXPECT_EQ(r.path.rfind("/alice/cals/work/", 0), 0u) << what << ": written outside the account's calendar";
        EXPECT_EQ(r.path.find("%2"), std::string::npos) << what;
      }
      EXPECT_EQ(std::count(r.headers.begin(), r.headers.end(), "x-injected"), 0) << what << ": a header injected";
    }
    const std::string stored = fileText(databasePath()) + fileText(databasePath() + "-wal");
    EXPECT_EQ(stored.find("alice:secret"), std::string::npos) << "a password stored";
    if (added.status == 0) store({"source", "remove", added.out.substr(0, added.out.find('\n'))});
  }

  // A store kept by a version that took such URLs: the account is not synced
  // with it, and no message shows the password.
  server->set_scenario("{" + calendarsWith("") + "}");
  RunResult added = runStore({"source", "add", "--title", "Hostile", "--caldav", a + "/", "--user", "alice",
                              "--password-command", "sh " + password});
  ASSERT_EQ(added.status, 0) << added.err;
  sql("UPDATE sources SET url = replace(url, '//', '//alice:secret@') WHERE title = 'Hostile'");
  server->clear_requests();
  RunResult synced = runStore({"sync"});
  EXPECT_EQ(synced.status, 1);
  EXPECT_NE(synced.err.find("--password-command"), std::string::npos) << synced.err;
  EXPECT_EQ(synced.err.find("secret"), std::string::npos) << synced.err;
  EXPECT_TRUE(server->requests().empty());
}

}  // namespace
}  // namespace calbridge::testing
