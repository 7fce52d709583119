// The bridge on the calendars a GNOME desktop already has: Evolution Data
// Server in a session of the test's own, with a local calendar, CalDAV
// calendars on Radicale (whose state python3-caldav checks), a web calendar
// and a WebDAV collection account.
#include "caldav/servers.h"
#include "evolution/session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace calbridge::testing {
namespace {

// peer.py's events: a daily series from 2026-01-10 09:00 UTC and a single event then, 30 minutes each.
constexpr double kSeriesStart = 1768035600;
constexpr double kDay = 86400;

// Skips the test, saying which program is missing, only when the desktop's
// packages are not installed; a session that does not start fails it.
#define START_SESSION(name, ...)                                             \
  std::string name##Missing;                                                 \
  auto name = EdsSession::start(&name##Missing __VA_OPT__(, ) __VA_ARGS__);  \
  if (!name && name##Missing.empty()) FAIL() << "the session did not start"; \
  if (!name) GTEST_SKIP() << name##Missing;                                  \
  ASSERT_EQ(name->runStore({"access", "grant"}).status, 0)

// The calendar record titled `title`, or null; it lives as long as `calendars`.
const rapidjson::Value* calendarTitled(const Envelope& calendars, const std::string& title) {
  if (!calendars.ok()) return nullptr;
  for (const auto& c : calendars.data().GetArray()) {
    if (c["title"].GetString() == title) return &c;
  }
  return nullptr;
}

std::vector<double> startsOf(const Envelope& events, const std::string& title = {}) {
  std::vector<double> starts;
  if (!events.ok()) return starts;
  for (const auto& e : events.data().GetArray()) {
    if (title.empty() || e["title"].GetString() == title) starts.push_back(e["start"].GetDouble());
  }
  return starts;
}

std::string eventsRequest(const std::string& calendar, double from, double to) {
  return "{\"from\":" + number(from) + ",\"to\":" + number(to) + ",\"calendars\":[\"" + calendar + "\"]}";
}

std::string portOf(const DavServer& server) {
  const std::string url = server.url();  // http://127.0.0.1:PORT/
  return url.substr(17, url.size() - 18);
}

std::unique_ptr<DavServer> startRadicale() {
  std::string skip;
  return DavServer::start(ServerKind::radicale, &skip);
}

// A calendar source of EDS at `path` on the server, in `parent`'s group.
std::string serverSource(const DavServer& server, const std::string& title, const std::string& parent,
                         const std::string& backend, const std::string& path) {
  return "[Data Source]\nDisplayName=" + title + "\nEnabled=true\nParent=" + parent +
         "\n\n[Calendar]\nBackendName=" + backend +
         "\nColor=#62a0ea\n\n[Authentication]\nHost=127.0.0.1\nMethod=plain/password\nPort=" + portOf(server) +
         "\nUser=" + DavServer::kUser +
         "\nRememberPassword=true\n\n[Security]\nMethod=none\n\n[WebDAV Backend]\nResourcePath=" + path + "\n";
}

std::string calendarPath(const DavServer& server, const std::string& url) {
  return server.direct(url).substr(server.direct(server.url()).size() - 1);
}

TEST(EvolutionStore, ServesTheSevenCommandsOnALocalCalendar) {
  START_SESSION(s);
  Envelope access = s->request("access", "{}");
  ASSERT_TRUE(access.ok()) << access.raw.out;
  EXPECT_TRUE(access.data()["granted"].GetBool());
  // An empty own store and a desktop that answers: the first request chose the desktop, for good.
  std::ifstream setting(s->settingPath());
  std::string chosen;
  setting >> chosen;
  EXPECT_EQ(chosen, "evolution");

  Envelope calendars = s->request("calendars", "{}");
  const rapidjson::Value* personal = calendarTitled(calendars, "Personal");
  const rapidjson::Value* birthdays = calendarTitled(calendars, "Birthdays & Anniversaries");
  ASSERT_TRUE(personal && birthdays) << calendars.raw.out;
  EXPECT_EQ(std::string((*personal)["id"].GetString()), "system-calendar");
  EXPECT_EQ(std::string((*personal)["source"].GetString()), "On This Computer");
  EXPECT_EQ(std::string((*personal)["color"].GetString()), "#becedd");
  EXPECT_TRUE((*personal)["writable"].GetBool());
  EXPECT_FALSE((*birthdays)["writable"].GetBool());

  const double monday = 1767607200;  // 2026-01-05 10:00 UTC
  Envelope single =
      s->request("createEvent", "{\"calendar\":\"system-calendar\",\"title\":\"Dentist\",\"start\":" + number(monday) +
                                    ",\"end\":" + number(monday + 3600) + "}");
  ASSERT_TRUE(single.ok()) << single.raw.out;
  // A series on weekdays with Tuesday skipped: one object, created in one call.
  Envelope series =
      s->request("createEvent", "{\"calendar\":\"system-calendar\",\"title\":\"Standup\",\"start\":" + number(monday) +
                                    ",\"end\":" + number(monday + 900) + ",\"repeat\":\"weekdays\",\"skip\":[" +
                                    number(monday + kDay) + "]}");
  ASSERT_TRUE(series.ok()) << series.raw.out;
  const std::string uid = series.data()["uid"].GetString();
  const std::string week = eventsRequest("system-calendar", monday - 3600, monday + 7 * kDay);
  EXPECT_EQ(startsOf(s->request("events", week), "Standup"),
            (std::vector<double>{monday, monday + 2 * kDay, monday + 3 * kDay, monday + 4 * kDay}));
  EXPECT_EQ(startsOf(s->request("events", week), "Dentist"), (std::vector<double>{monday}));

  // One occurrence (THIS), then the whole series from its first occurrence (ALL).
  Envelope one = s->request("deleteEvent", "{\"uid\":\"" + uid + "\",\"calendar\":\"system-calendar\",\"start\":" +
                                               number(monday + 3 * kDay) + "}");
  ASSERT_TRUE(one.ok()) << one.raw.out;
  EXPECT_EQ(one.data()["deleted"].GetInt(), 1);
  EXPECT_EQ(startsOf(s->request("events", week), "Standup"),
            (std::vector<double>{monday, monday + 2 * kDay, monday + 4 * kDay}));
  Envelope all = s->request("deleteEvent", "{\"uid\":\"" + uid + "\",\"calendar\":\"system-calendar\"}");
  ASSERT_TRUE(all.ok()) << all.raw.out;
  EXPECT_TRUE(startsOf(s->request("events", week), "Standup").empty());
  EXPECT_EQ(startsOf(s->request("events", week)).size(), 1u);

  // A new calendar is a new local source, in the default calendar's account.
  Envelope made = s->request("createCalendar", "{\"title\":\"Work\",\"color\":\"#ff0000\"}");
  ASSERT_TRUE(made.ok()) << made.raw.out;
  const rapidjson::Value* work = calendarTitled(calendars = s->request("calendars", "{}"), "Work");
  ASSERT_TRUE(work) << calendars.raw.out;
  EXPECT_EQ(std::string((*work)["id"].GetString()), made.data()["id"].GetString());
  EXPECT_EQ(std::string((*work)["color"].GetString()), "#ff0000");
  EXPECT_EQ(std::string((*work)["source"].GetString()), "On This Computer");
  for (const char* refused : {"system-calendar", "birthdays"}) {  // the default; a read-only one
    EXPECT_EQ(s->request("deleteCalendar", std::string("{\"calendar\":\"") + refused + "\"}").error(), "invalid");
  }
  Envelope removed =
      s->request("deleteCalendar", "{\"calendar\":\"" + std::string(made.data()["id"].GetString()) + "\"}");
  ASSERT_TRUE(removed.ok()) << removed.raw.out;
  EXPECT_FALSE(calendarTitled(s->request("calendars", "{}"), "Work"));
  const Envelope last = s->request("events", week);
  EXPECT_TRUE(last.raw.err.empty()) << last.raw.err;
}

TEST(EvolutionStore, AnOwnStoreInUseKeepsServing) {
  START_SESSION(s);
  // An event of the person's in the own store before any request.
  rapidjson::Document own;
  own.Parse(s->runStore({"calendars"}).out.c_str());
  ASSERT_TRUE(own.IsArray() && own.Size() == 1);
  const std::string calendar = own[0]["id"].GetString();
  RunOptions options;
  options.environment = s->environment();
  options.input =
      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:mine\r\nDTSTAMP:20260101T000000Z\r\n"
      "DTSTART:20260110T090000Z\r\nDTEND:20260110T093000Z\r\nSUMMARY:Mine\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
  ASSERT_EQ(runProgram({storeToolBinary(), "import", "--calendar", calendar, "-"}, options).status, 0);
  Envelope events = s->request("events", eventsRequest(calendar, kSeriesStart - kDay, kSeriesStart + kDay));
  EXPECT_EQ(startsOf(events, "Mine"), (std::vector<double>{kSeriesStart})) << events.raw.out;
  RunResult store = s->runStore({"store"});
  EXPECT_EQ(store.out, "own\n");
  EXPECT_NE(store.err.find("set in"), std::string::npos) << store.err;
}

TEST(EvolutionStore, FailsAtOnceWhenEdsCannotBeStarted) {
  SessionOptions options;
  options.withoutServices = true;
  START_SESSION(s, options);
  // Nothing answers: the first request stays with the own store and records it.
  EXPECT_TRUE(s->request("access", "{}").ok());
  RunResult store = s->runStore({"store"});
  EXPECT_EQ(store.out, "own\n");
  // Set by hand, the desktop's store then fails every command that needs it, at once.
  RunResult set = s->runStore({"store", "evolution"});
  EXPECT_EQ(set.status, 1);
  EXPECT_NE(set.err.find("source registry"), std::string::npos) << set.err;
  for (const char* command : {"calendars", "events", "createCalendar"}) {
    const auto started = std::chrono::steady_clock::now();
    Envelope reply = s->request(command, "{\"from\":0,\"to\":86400,\"calendars\":[\"x\"],\"title\":\"T\"}");
    EXPECT_EQ(reply.error(), "failed") << command << ": " << reply.raw.out;
    EXPECT_TRUE(reply.raw.err.empty()) << reply.raw.err;
    // Waiting out the bound would take 15 s at the least, however fast the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15)) << command;
  }
  EXPECT_TRUE(s->request("access", "{}").ok());  // permission is the own store's
}

TEST(EvolutionStore, AFrozenCalendarFactoryFailsWithinTheBound) {
  START_SESSION(s);
  ASSERT_TRUE(s->request("calendars", "{}").ok());
  const pid_t factory = s->owner("org.gnome.evolution.dataserver.Calendar8");
  ASSERT_GT(factory, 0);
  ASSERT_EQ(kill(factory, SIGSTOP), 0);
  const auto started = std::chrono::steady_clock::now();
  Envelope reply = s->request("createEvent", "{\"calendar\":\"system-calendar\",\"start\":0,\"end\":60}");
  const auto took = std::chrono::steady_clock::now() - started;
  kill(factory, SIGCONT);
  EXPECT_EQ(reply.error(), "failed") << reply.raw.out;
  // The bound is 15 s; a hang would be stopped by the test's timeout (120 s) instead.
  EXPECT_LT(took, std::chrono::seconds(90));
}

TEST(EvolutionStore, ServesACalDavCalendarThroughEds) {
  auto server = startRadicale();
  if (!server) GTEST_SKIP() << "Radicale is not installed";
  START_SESSION(s);
  const std::string url = server->make_calendar("work", "Work");
  server->peer({"series", url, "s1", "Standup"});
  server->peer({"put", url, "e1", "Single"});
  s->addSource("work", serverSource(*server, "Work", "caldav-stub", "caldav", calendarPath(*server, url)),
               std::string(DavServer::kPassword));
  s->peer({"sync", "work", "2", "30"});
  // The desktop keeps the calendar open and online, as GNOME Calendar does:
  // EDS then sends each change to the server before it answers.
  auto desktop = s->hold("work");

  const Envelope calendars = s->request("calendars", "{}");
  const rapidjson::Value* work = calendarTitled(calendars, "Work");
  ASSERT_TRUE(work);
  EXPECT_EQ(std::string((*work)["source"].GetString()), "CalDAV");
  EXPECT_TRUE((*work)["writable"].GetBool());
  const std::string days = eventsRequest("work", kSeriesStart - 3600, kSeriesStart + 3 * kDay);
  EXPECT_EQ(startsOf(s->request("events", days), "Standup"),
            (std::vector<double>{kSeriesStart, kSeriesStart + kDay, kSeriesStart + 2 * kDay}));
  EXPECT_EQ(startsOf(s->request("events", days), "Single"), (std::vector<double>{kSeriesStart}));

  // A new series reaches the server as one object with its skip.
  Envelope made =
      s->request("createEvent", "{\"calendar\":\"work\",\"title\":\"Review\",\"start\":" + number(kSeriesStart + 3600) +
                                    ",\"end\":" + number(kSeriesStart + 7200) + ",\"repeat\":\"daily\",\"skip\":[" +
                                    number(kSeriesStart + 3600 + kDay) + "]}");
  ASSERT_TRUE(made.ok()) << made.raw.out;
  const std::string review = server->peer({"get", url, made.data()["uid"].GetString()});
  EXPECT_NE(review.find("RRULE:FREQ=DAILY"), std::string::npos) << review;
  EXPECT_NE(review.find("EXDATE"), std::string::npos) << review;
  EXPECT_EQ(server->peer({"list", url}), "3");

  // An occurrence, then the series from its first occurrence on: EXDATE, then gone.
  Envelope one =
      s->request("deleteEvent", "{\"uid\":\"s1\",\"calendar\":\"work\",\"start\":" + number(kSeriesStart + kDay) + "}");
  ASSERT_TRUE(one.ok()) << one.raw.out;
  EXPECT_NE(server->peer({"get", url, "s1"}).find("EXDATE:20260111T090000Z"), std::string::npos);
  ASSERT_TRUE(s->request("deleteEvent", "{\"uid\":\"s1\",\"calendar\":\"work\"}").ok());
  EXPECT_EQ(server->peer({"list", url}), "2");
  EXPECT_TRUE(startsOf(s->request("events", days), "Standup").empty());

  // Removing a calendar set up on its own would leave it on the server: refused.
  EXPECT_EQ(s->request("deleteCalendar", "{\"calendar\":\"work\"}").error(), "invalid");
  EXPECT_EQ(server->peer({"calendars"}), "Work");
}

TEST(EvolutionStore, AChangeMadeOnTheServerIsNeverOverwritten) {
  auto server = startRadicale();
  if (!server) GTEST_SKIP() << "Radicale is not installed";
  START_SESSION(s);
  const std::string url = server->make_calendar("work", "Work");
  server->peer({"series", url, "s1", "Standup"});
  s->addSource("work", serverSource(*server, "Work", "caldav-stub", "caldav", calendarPath(*server, url)),
               std::string(DavServer::kPassword));
  s->peer({"sync", "work", "1", "30"});
  // The desktop keeps the calendar open; another device then changes the series.
  auto desktop = s->hold("work");
  server->peer({"describe", url, "s1", "changed-elsewhere"});
  const std::string remove = "{\"uid\":\"s1\",\"calendar\":\"work\",\"start\":" + number(kSeriesStart + kDay) + "}";
  EXPECT_EQ(s->request("deleteEvent", remove).error(), "failed");
  std::string text = server->peer({"get", url, "s1"});
  EXPECT_NE(text.find("changed-elsewhere"), std::string::npos) << text;
  EXPECT_EQ(text.find("EXDATE"), std::string::npos) << text;
  // EDS reads the object again; a second try meets the change and keeps it.
  Envelope again;
  for (int i = 0; i < 50 && !(again = s->request("deleteEvent", remove)).ok(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(again.ok()) << again.raw.out;
  text = server->peer({"get", url, "s1"});
  EXPECT_NE(text.find("changed-elsewhere"), std::string::npos) << text;
  EXPECT_NE(text.find("EXDATE:20260111T090000Z"), std::string::npos) << text;
}

TEST(EvolutionStore, AWebCalendarIsReadOnly) {
  auto server = startRadicale();
  if (!server) GTEST_SKIP() << "Radicale is not installed";
  START_SESSION(s);
  const std::string url = server->make_calendar("holidays", "Holidays");
  server->peer({"put", url, "h1", "Holiday"});
  s->addSource("holidays", serverSource(*server, "Holidays", "webcal-stub", "webcal", calendarPath(*server, url)),
               std::string(DavServer::kPassword));
  s->peer({"sync", "holidays", "1", "30"});
  const Envelope calendars = s->request("calendars", "{}");
  const rapidjson::Value* holidays = calendarTitled(calendars, "Holidays");
  ASSERT_TRUE(holidays);
  EXPECT_FALSE((*holidays)["writable"].GetBool());
  EXPECT_EQ(std::string((*holidays)["source"].GetString()), "On The Web");
  EXPECT_EQ(startsOf(s->request("events", eventsRequest("holidays", kSeriesStart - 3600, kSeriesStart + 3600))),
            (std::vector<double>{kSeriesStart}));
  EXPECT_EQ(s->request("createEvent", "{\"calendar\":\"holidays\",\"start\":0,\"end\":60}").error(), "invalid");
  EXPECT_EQ(s->request("deleteEvent", "{\"uid\":\"h1\",\"calendar\":\"holidays\"}").data()["deleted"].GetInt(), 0);
  EXPECT_EQ(server->peer({"list", url}), "1");
}

TEST(EvolutionStore, ACollectionAccountMakesAndRemovesCalendarsOnItsServer) {
  auto server = startRadicale();
  if (!server) GTEST_SKIP() << "Radicale is not installed";
  SessionOptions options;
  options.settingsInFile = true;
  START_SESSION(s, options);
  server->make_calendar("work", "Work");
  s->addSource(
      "account",
      "[Data Source]\nDisplayName=Radicale account\nEnabled=true\nParent=\n\n[Collection]\nBackendName=webdav\n"
      "CalendarEnabled=true\nContactsEnabled=false\nMailEnabled=false\nCalendarUrl=" +
          server->url() + DavServer::kUser + "/\nIdentity=" + DavServer::kUser +
          "\n\n[Authentication]\nHost=127.0.0.1\nMethod=plain/password\nPort=" + portOf(*server) +
          "\nUser=" + DavServer::kUser + "\nRememberPassword=true\n\n[Security]\nMethod=none\n",
      std::string(DavServer::kPassword));
  std::string child = s->peer({"children", "account", "30"});
  ASSERT_FALSE(child.empty());
  child = child.substr(0, child.find('\n'));
  // The account's calendar is the default: a new calendar goes into that account, on its server.
  s->peer({"set-default", child});
  Envelope made = s->request("createCalendar", "{\"title\":\"Made here\",\"color\":\"#00ff00\"}");
  ASSERT_TRUE(made.ok()) << made.raw.out;
  EXPECT_EQ(server->peer({"calendars"}), "Made here\nWork");
  const Envelope calendars = s->request("calendars", "{}");
  const rapidjson::Value* listed = calendarTitled(calendars, "Made here");
  ASSERT_TRUE(listed);
  EXPECT_EQ(std::string((*listed)["source"].GetString()), "Radicale account");
  EXPECT_EQ(std::string((*listed)["color"].GetString()), "#00ff00");
  EXPECT_EQ(s->request("deleteCalendar", "{\"calendar\":\"" + child + "\"}").error(), "invalid");  // the default
  Envelope removed =
      s->request("deleteCalendar", "{\"calendar\":\"" + std::string(made.data()["id"].GetString()) + "\"}");
  ASSERT_TRUE(removed.ok()) << removed.raw.out;
  EXPECT_EQ(server->peer({"calendars"}), "Work");
  EXPECT_FALSE(calendarTitled(s->request("calendars", "{}"), "Made here"));
}

}  // namespace
}  // namespace calbridge::testing
