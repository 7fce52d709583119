// Bad input of every kind through the real binary, with access granted: each
// gets the reply it must, nothing on standard error, and the store changes
// only as that reply says.
#include "support/bridge.h"
#include "support/database.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace calbridge::testing {
namespace {

constexpr char kInvalid[] = R"({"ok":false,"error":"invalid"})";
constexpr char kGranted[] = R"({"ok":true,"data":{"granted":true}})";
constexpr char kNothingDeleted[] = R"({"ok":true,"data":{"deleted":0}})";
constexpr char kOneDeleted[] = R"({"ok":true,"data":{"deleted":1}})";
constexpr double kStart = 1767258000;  // 2026-01-01 09:00 UTC, the seeded events' day
constexpr double kNew = 1767862800;  // 2026-01-08 09:00 UTC, the new event's start
constexpr double kDay = 86400;

std::string jsonString(const std::string& text) { return "\"" + text + "\""; }

// An object's members as JSON texts, in order; a member may appear twice.
using Members = std::vector<std::pair<std::string, std::string>>;

std::string object(const Members& members) {
  std::string text = "{";
  for (const auto& [name, value] : members) text += (text.size() > 1 ? "," : "") + jsonString(name) + ":" + value;
  return text + "}";
}

Members with(Members members, const std::string& name, const std::string& value) {
  for (auto& member : members) {
    if (member.first == name) {
      member.second = value;
      return members;
    }
  }
  members.emplace_back(name, value);
  return members;
}

// A store with access granted, a second calendar, a daily series and a single event.
class SeededStore : public BridgeFixture {
 public:
  SeededStore() {
    grantAccess();
    calendar = defaultCalendar();
    spare = store({"calendar", "add", "--title", "Spare"});
    Envelope series = request("createEvent", object({{"calendar", jsonString(calendar)}, {"title", "\"Standup\""},
                                                     {"start", number(kStart)}, {"end", number(kStart + 900)},
                                                     {"repeat", "\"daily\""}, {"until", number(kStart + 9 * kDay)}}),
                              utc());
    seriesUid = series.ok() ? series.data()["uid"].GetString() : "";
    Envelope single = request("createEvent", object({{"calendar", jsonString(calendar)}, {"title", "\"Dentist\""},
                                                     {"start", number(kStart + 7200)}, {"end", number(kStart + 9000)}}),
                              utc());
    singleUid = single.ok() ? single.data()["uid"].GetString() : "";
  }

  static std::map<std::string, std::optional<std::string>> utc() { return {{"TZ", "UTC"}}; }
  std::string dump() const { return Database(databasePath()).dump(); }

  // A request each command would carry out, changing the store where it can.
  Members valid(const std::string& command) const {
    if (command == "events") {
      return {{"from", number(kStart)}, {"to", number(kStart + 7 * kDay)}, {"calendars", "[" + jsonString(calendar) + "]"}};
    }
    if (command == "createEvent") {
      return {{"calendar", jsonString(calendar)}, {"title", "\"New\""},           {"start", number(kNew)},
              {"end", number(kNew + 1800)},   {"repeat", "\"daily\""},        {"until", number(kNew + 5 * kDay)},
              {"skip", "[" + number(kNew + kDay) + "]"}};
    }
    if (command == "deleteEvent") return {{"uid", jsonString(singleUid)}, {"calendar", jsonString(calendar)}};
    if (command == "createCalendar") return {{"title", "\"Work\""}, {"color", "\"#2e8b57\""}};
    if (command == "deleteCalendar") return {{"calendar", jsonString(spare)}};
    return {{"unused", "1"}};  // access and calendars read no field
  }

  std::string calendar, spare, seriesUid, singleUid;
};

const char* const kCommands[] = {"access",      "calendars",      "events",        "createEvent",
                                 "deleteEvent", "createCalendar", "deleteCalendar"};

// What a command replies to the empty request when access is granted.
std::string emptyRequestReply(const std::string& command, const std::string& calendarsReply) {
  if (command == "access") return kGranted;
  if (command == "calendars") return calendarsReply;
  return kInvalid;
}

// Input that is not one strict JSON object of at most 1,000,000 bytes is the
// empty request, however valid the rest of it: even a request that would
// change the store changes nothing.
TEST(BadInput, UndecodableInputIsTheEmptyRequestAndChangesNothing) {
  SeededStore seeded;
  const std::string before = seeded.dump();
  const std::string calendarsReply = seeded.request("calendars", "").raw.out;
  auto inside = [](std::string member) {
    return [member](const std::string& valid) { return "{" + member + "," + valid.substr(1); };
  };
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> spoil;
  } classes[] = {
      {"empty input", [](const std::string&) { return std::string(); }},
      {"1,000,001 bytes", [](const std::string& v) { return v + std::string(1000001 - v.size(), ' '); }},
      {"invalid UTF-8 inside a string", inside("\"note\":\"ab\xC3\x28\"")},
      {"invalid UTF-8 in a key", inside("\"\xFF\":1")},
      {"truncated UTF-8 at the end of a string", inside("\"note\":\"ab\xF0\x9F\x91\"")},
      {"UTF-8 encoded surrogate", inside("\"note\":\"\xED\xB0\x80\"")},
      {"lone low surrogate escape", inside(R"("note":"\udc00")")},
      {"lone high surrogate escape", inside(R"("note":"x\ud800y")")},
      {"raw NUL inside a string", inside(std::string("\"note\":\"a\0b\"", 12))},
      {"raw NUL after the object", [](const std::string& v) { return v + std::string(1, '\0'); }},
      {"100,000 levels never closed", inside("\"deep\":" + std::string(100000, '[') + "1")},
      {"1e400", inside(R"("n":1e400)")},
      {"-1e400", inside(R"("n":-1e400)")},
      {"NaN", inside(R"("n":NaN)")},
      {"Infinity", inside(R"("n":Infinity)")},
      {"-Infinity", inside(R"("n":-Infinity)")},
      {"a second value after the object", [](const std::string& v) { return v + "{}"; }},
  };
  for (const auto& c : classes) {
    for (std::string command : kCommands) {
      SCOPED_TRACE(std::string(c.name) + ", " + command);
      std::string input = c.spoil(object(seeded.valid(command)));
      Envelope reply = seeded.request(command, input, SeededStore::utc());
      // Oversize input is refused before its command word is even looked at.
      std::string expected =
          input.size() > 1000000 ? std::string(kInvalid) : emptyRequestReply(command, calendarsReply);
      EXPECT_EQ(reply.raw.out, expected);
      EXPECT_EQ(reply.raw.err, "");
      ASSERT_EQ(seeded.dump(), before);
    }
  }
}

// Input that decodes, however odd, is read by the usual rules.
TEST(BadInput, OddButDecodableInputIsReadByTheUsualRules) {
  SeededStore seeded;
  const std::string before = seeded.dump();
  Members events = seeded.valid("events");
  const std::string eventsReply = seeded.request("events", object(events), SeededStore::utc()).raw.out;
  ASSERT_NE(eventsReply.find(seeded.seriesUid), std::string::npos);
  std::string exactlyAtLimit = object(events);
  exactlyAtLimit += std::string(1000000 - exactlyAtLimit.size(), ' ');
  const struct {
    const char* name;
    std::string command;
    std::string input;
    std::string reply;
  } cases[] = {
      {"exactly 1,000,000 bytes", "events", exactlyAtLimit, eventsReply},
      {"100,000 levels, closed", "events",
       object(with(events, "deep", std::string(100000, '[') + std::string(100000, ']'))), eventsReply},
      {"100,000 objects deep", "events",
       object(with(events, "deep", [] {
         std::string deep;
         for (int i = 0; i < 100000; ++i) deep += "{\"a\":";
         return deep + "1" + std::string(100000, '}');
       }())),
       eventsReply},
      {"true and false as 1 and 0", "events",
       object({{"from", "false"}, {"to", "true"}, {"calendars", "[" + jsonString(seeded.calendar) + "]"}}),
       R"({"ok":true,"data":[]})"},
      // Read as absent, 1e-400 would delete the whole event; as 0 it names an occurrence in 1970.
      {"1e-400 reads as 0", "deleteEvent",
       object({{"uid", jsonString(seeded.singleUid)}, {"calendar", jsonString(seeded.calendar)}, {"start", "1e-400"}}),
       kNothingDeleted},
      {"-1e-400 reads as 0", "deleteEvent",
       object({{"uid", jsonString(seeded.singleUid)}, {"calendar", jsonString(seeded.calendar)}, {"start", "-1e-400"}}),
       kNothingDeleted},
      {"a number that overflows to infinity", "events", object(with(events, "to", "9e308")), kInvalid},
      {"an unknown member", "events", object(with(events, "fromm", "\"x\"")), eventsReply},
      {"duplicate key, the last is good", "events", object([&] {
         Members m = events;
         m.insert(m.begin(), {"from", "\"x\""});
         return m;
       }()),
       eventsReply},
      {"duplicate key, the last is bad", "events", object([&] {
         Members m = events;
         m.emplace_back("from", "\"x\"");
         return m;
       }()),
       kInvalid},
      {"duplicate title, the last is a number", "createCalendar",
       object({{"title", "\"Work\""}, {"title", "5"}}), kInvalid},
      {"duplicate calendar, the last unknown", "deleteCalendar",
       object({{"calendar", jsonString(seeded.spare)}, {"calendar", "\"nope\""}}), kInvalid},
      {"duplicate uid, the last unknown", "deleteEvent",
       object({{"uid", jsonString(seeded.singleUid)}, {"calendar", jsonString(seeded.calendar)}, {"uid", "\"nope\""}}),
       kNothingDeleted},
      {"escaped key of a known member", "deleteEvent",
       object({{"\\u0075id", "\"nope\""}, {"calendar", jsonString(seeded.calendar)}}), kNothingDeleted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Envelope reply = seeded.request(c.command, c.input, SeededStore::utc());
    EXPECT_EQ(reply.raw.out, c.reply);
    EXPECT_EQ(reply.raw.err, "");
    ASSERT_EQ(seeded.dump(), before);
  }
}

// Each field of each command given every JSON type it does not take. A field
// read as a number takes true and false as 1 and 0; a string field refuses
// numbers; a list refuses an element of another kind. A required field of the
// wrong type is "invalid"; an optional one is as if absent.
TEST(BadInput, EveryFieldWithEveryWrongTypeIsReadAsAbsent) {
  using Check = std::function<void(const SeededStore&, Database&)>;
  const std::vector<std::string> notNumbers = {"null", "\"1767862800\"", "[]", "[1767862800]", "{}"};
  const std::vector<std::string> notStrings = {"null", "true", "false", "0", "1767862800", "[]", "[\"x\"]", "{}"};
  const std::vector<std::string> notLists = {"null", "true", "false", "0", "\"x\"", "{}"};
  struct Row {
    std::string command;
    std::string field;
    std::vector<std::string> values;
    std::string reply;  // the exact reply, or "ok" for a success the check looks at
    Check check;  // what the store must hold afterwards; none: unchanged
  };

  // The event createEvent made: title, rule, until and how many occurrences it skips.
  auto newEvent = [](std::string title, std::string rule, std::optional<double> until, int skips) -> Check {
    return [=](const SeededStore&, Database& database) {
      auto rows = database.rows(
          "SELECT title, ifnull(rule, 'NULL'), ifnull(until, 'NULL'), "
          "(SELECT count(*) FROM excluded x WHERE x.event_id = e.id) FROM events e WHERE start = ?1",
          {number(kNew)});
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0][0], title);
      EXPECT_EQ(rows[0][1], rule);
      if (until) EXPECT_EQ(std::stod(rows[0][2]), *until);
      else EXPECT_EQ(rows[0][2], "NULL");
      EXPECT_EQ(rows[0][3], std::to_string(skips));
    };
  };
  auto singleGone = [](const SeededStore& seeded, Database& database) {
    EXPECT_EQ(database.integer("SELECT count(*) FROM events WHERE external_id = ?1", {seeded.singleUid}), 0);
  };
  auto calendarWithoutColor = [](const SeededStore&, Database& database) {
    EXPECT_EQ(database.rows("SELECT ifnull(color_space, 'none') FROM calendars WHERE title = 'Work'"),
              (std::vector<std::vector<std::string>>{{"none"}}));
  };
  const std::string skip = number(kNew + kDay);

  const Row rows[] = {
      {"events", "from", notNumbers, kInvalid, nullptr},
      {"events", "from", {"true", "false"}, kInvalid, nullptr},  // 1 and 0: a window of over 56 years
      {"events", "to", notNumbers, kInvalid, nullptr},
      {"events", "to", {"true", "false"}, kInvalid, nullptr},  // 1 and 0 come before "from"
      {"events", "calendars", notLists, kInvalid, nullptr},
      {"events", "calendars", {"[1]", "[null]", "[true]", "[[]]", "[{}]", "[\"x\", 1]"}, kInvalid, nullptr},
      {"events", "calendars", {"[]", "[\"x\"]"}, R"({"ok":true,"data":[]})", nullptr},

      {"createEvent", "calendar", notStrings, kInvalid, nullptr},
      {"createEvent", "start", notNumbers, kInvalid, nullptr},
      {"createEvent", "start", {"true", "false"}, kInvalid, nullptr},  // more than a day before its end
      {"createEvent", "end", notNumbers, kInvalid, nullptr},
      {"createEvent", "end", {"true", "false"}, kInvalid, nullptr},  // before its start
      {"createEvent", "title", {"null", "true", "false", "0", "[]", "[\"x\"]", "{}", "\"\""}, "ok",
       newEvent("Calendar", "FREQ=DAILY", kNew + 5 * kDay, 1)},
      {"createEvent", "repeat", {"null", "true", "false", "0", "[]", "[\"daily\"]", "{}", "\"\""}, "ok",
       newEvent("New", "NULL", std::nullopt, 0)},
      {"createEvent", "repeat", {"\"yearly\"", "\"Daily\"", "\"daily \""}, kInvalid, nullptr},
      {"createEvent", "until", notNumbers, "ok", newEvent("New", "FREQ=DAILY", std::nullopt, 1)},
      {"createEvent", "until", {"true", "false"}, "ok", newEvent("New", "FREQ=DAILY", std::nullopt, 1)},
      {"createEvent", "skip", notLists, "ok", newEvent("New", "FREQ=DAILY", kNew + 5 * kDay, 0)},
      {"createEvent", "skip",
       {"[" + skip + ",null]", "[" + skip + ",\"x\"]", "[" + skip + ",[]]", "[" + skip + ",{}]", "[\"" + skip + "\"]"},
       "ok", newEvent("New", "FREQ=DAILY", kNew + 5 * kDay, 0)},
      {"createEvent", "skip", {"[" + skip + ",true]", "[false," + skip + "]"}, "ok",
       newEvent("New", "FREQ=DAILY", kNew + 5 * kDay, 1)},

      {"deleteEvent", "uid", notStrings, kInvalid, nullptr},
      {"deleteEvent", "uid", {"\"\""}, kInvalid, nullptr},
      {"deleteEvent", "calendar", notStrings, kInvalid, nullptr},
      {"deleteEvent", "calendar", {"\"\"", "\"x\""}, kNothingDeleted, nullptr},
      {"deleteEvent", "start", notNumbers, kOneDeleted, singleGone},  // as if absent: the whole event
      {"deleteEvent", "start", {"true", "false"}, kNothingDeleted, nullptr},  // no occurrence near 1970

      {"createCalendar", "title", notStrings, kInvalid, nullptr},
      {"createCalendar", "title", {"\"\""}, kInvalid, nullptr},
      {"createCalendar", "color", {"null", "true", "false", "0", "[]", "[\"#2e8b57\"]", "{}", "\"2e8b57\""}, "ok",
       calendarWithoutColor},

      {"deleteCalendar", "calendar", notStrings, kInvalid, nullptr},
      {"deleteCalendar", "calendar", {"\"\"", "\"x\""}, kInvalid, nullptr},
  };

  // One store for the rows that change nothing, a fresh one for each that does.
  SeededStore shared;
  const std::string sharedBefore = shared.dump();
  for (const auto& row : rows) {
    for (const auto& value : row.values) {
      SCOPED_TRACE(row.command + " with " + row.field + " " + value);
      std::optional<SeededStore> fresh;
      if (row.check) fresh.emplace();
      const SeededStore& seeded = row.check ? *fresh : shared;
      const std::string before = seeded.dump();
      Envelope reply =
          seeded.request(row.command, object(with(seeded.valid(row.command), row.field, value)), SeededStore::utc());
      EXPECT_EQ(reply.raw.err, "");
      if (row.reply == "ok") {
        EXPECT_TRUE(reply.ok()) << reply.raw.out;
      } else {
        EXPECT_EQ(reply.raw.out, row.reply);
      }
      if (row.check) {
        Database database(seeded.databasePath());
        row.check(seeded, database);
        EXPECT_EQ(database.check(), "ok");
      } else {
        ASSERT_EQ(seeded.dump(), before);
      }
    }
  }
  EXPECT_EQ(shared.dump(), sharedBefore);
}

// Control characters, bidirectional marks and NUL in titles are the user's
// text: stored and listed back byte for byte, never cleaned or cut.
TEST(BadInput, ControlCharactersAndDirectionMarksInTitlesComeBackExactly) {
  SeededStore seeded;
  const struct {
    const char* name;
    std::string escaped;  // as JSON text
    std::string text;  // as stored
  } titles[] = {
      {"right-to-left override", R"(\u202Eevil.exe\u202C)", "\u202E" "evil.exe\u202C"},
      {"right-to-left and left-to-right marks", R"(\u200Fmark\u200E)", "\u200F" "mark\u200E"},
      {"isolates", R"(\u2066a\u2069\u2067b\u2069)", "\u2066" "a\u2069\u2067" "b\u2069"},
      {"Arabic letter mark", "\u061C\u0627", "\u061C\u0627"},
      {"tab, newline, return", R"(a\tb\nc\rd)", "a\tb\nc\rd"},
      {"bell, escape, delete", R"(\u0007\u001B[31m\u007F)", "\a\x1B[31m\x7F"},
      {"NUL inside", R"(before\u0000after)", std::string("before\0after", 12)},
      {"only a NUL", R"(\u0000)", std::string(1, '\0')},
      {"C1 control", R"(\u0085\u009B)", "\xC2\x85\xC2\x9B"},
      {"zero-width joiner alone", R"(\u200D)", "\u200D"},
      {"byte order mark", R"(\uFEFFtitle)", "\uFEFF" "title"},
  };
  const std::string calendarsWindow = object(seeded.valid("events"));
  for (std::size_t i = 0; i < std::size(titles); ++i) {
    const auto& t = titles[i];
    SCOPED_TRACE(t.name);
    const double start = kStart + 3600 * (static_cast<double>(i) + 3);
    Envelope created = seeded.request("createEvent",
                                      object({{"calendar", jsonString(seeded.calendar)},
                                              {"title", "\"" + t.escaped + "\""},
                                              {"start", number(start)},
                                              {"end", number(start + 600)}}),
                                      SeededStore::utc());
    ASSERT_TRUE(created.ok()) << created.raw.out;
    const std::string uid = created.data()["uid"].GetString();
    Envelope listed = seeded.request("events", calendarsWindow, SeededStore::utc());
    ASSERT_TRUE(listed.ok());
    int found = 0;
    for (const auto& record : listed.data().GetArray()) {
      if (uid != record["uid"].GetString()) continue;
      ++found;
      EXPECT_EQ(std::string(record["title"].GetString(), record["title"].GetStringLength()), t.text);
    }
    EXPECT_EQ(found, 1);
    EXPECT_EQ(Database(seeded.databasePath()).rows("SELECT title FROM events WHERE external_id = ?1", {uid}),
              (std::vector<std::vector<std::string>>{{t.text}}));

    Envelope calendar = seeded.request("createCalendar", "{\"title\":\"" + t.escaped + "\"}");
    ASSERT_TRUE(calendar.ok()) << calendar.raw.out;
    const std::string id = calendar.data()["id"].GetString();
    Envelope calendars = seeded.request("calendars", "");
    found = 0;
    for (const auto& record : calendars.data().GetArray()) {
      if (id != record["id"].GetString()) continue;
      ++found;
      EXPECT_EQ(std::string(record["title"].GetString(), record["title"].GetStringLength()), t.text);
    }
    EXPECT_EQ(found, 1);
  }
}

// Text the store holds that is not UTF-8 (the owner's tool takes titles from
// its arguments as they come) cannot be sent: the reply is "failed", with exit
// status 1 like every other failure, and nothing is read past the text.
TEST(BadInput, StoredTextThatIsNotUtf8FailsTheReplyCleanly) {
#ifdef CALBRIDGE_EVENTKIT_SIMULATOR
  GTEST_SKIP() << "EventKit's texts are Unicode strings: bytes that are not UTF-8 never reach the bridge";
#endif
  SeededStore seeded;
  // Long enough to live on the heap, ending inside a four-byte sequence.
  for (std::string tail : {"\xF0", "\xF0\x9F", "\xF0\x9F\x91", "\xE2\x80", "\xC3", "\xFF"}) {
    SCOPED_TRACE("title ending in " + std::to_string(tail.size()) + " bytes");
    std::string id = seeded.store({"calendar", "add", "--title", std::string(40, 'x') + tail});
    Envelope reply = seeded.request("calendars", "");
    EXPECT_EQ(reply.raw.out, R"({"ok":false,"error":"failed"})");
    EXPECT_EQ(reply.raw.status, 1);
    EXPECT_EQ(reply.raw.err, "");
    seeded.store({"calendar", "remove", id});
  }
  EXPECT_TRUE(seeded.request("calendars", "").ok());
}

}  // namespace
}  // namespace calbridge::testing
