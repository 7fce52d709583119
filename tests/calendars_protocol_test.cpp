// "access", "calendars", "createCalendar" and "deleteCalendar" against real stores.
#include "support/bridge.h"

#include <gtest/gtest.h>

namespace calbridge::testing {
namespace {

constexpr char kInvalid[] = R"({"ok":false,"error":"invalid"})";
constexpr char kFailed[] = R"({"ok":false,"error":"failed"})";

class Calendars : public ::testing::Test, public BridgeFixture {
 protected:
  rapidjson::Document calendars() const {
    Envelope reply = request("calendars", "");
    EXPECT_TRUE(reply.ok()) << reply.raw.out;
    rapidjson::Document data;
    data.CopyFrom(reply.data(), data.GetAllocator());
    return data;
  }
  const rapidjson::Value* find(const rapidjson::Document& list, const std::string& id) const {
    for (const auto& c : list.GetArray()) {
      if (id == c["id"].GetString()) return &c;
    }
    return nullptr;
  }
  std::string localAccount() const {
    rapidjson::Document sources;
    sources.Parse(store({"sources"}).c_str());
    return sources[0]["id"].GetString();
  }
};

TEST_F(Calendars, AccessIsASuccessEitherWay) {
  EXPECT_EQ(request("access", "").raw.out, R"({"ok":true,"data":{"granted":false}})");
  grantAccess();
  EXPECT_EQ(request("access", "").raw.out, R"({"ok":true,"data":{"granted":true}})");
}

TEST_F(Calendars, ListsEveryCalendarInTheStoresOrder) {
  grantAccess();
  std::string account = localAccount();
  std::string readOnly = store({"calendar", "add", "--title", "Holidays", "--source", account, "--color", "#FF8000",
                                "--read-only"});
  std::string loose = store({"calendar", "add", "--title", "Loose", "--color", "#123456"});
  std::string untitledAccount = store({"source", "add", "--title", "", "--type", "2"});
  std::string remote = store({"calendar", "add", "--title", "Remote", "--source", untitledAccount});
  rapidjson::Document list = calendars();
  ASSERT_EQ(list.Size(), 4u);
  EXPECT_EQ(list[0]["id"].GetString(), defaultCalendar());
  EXPECT_STREQ(list[0]["title"].GetString(), "Calendar");
  EXPECT_STREQ(list[0]["color"].GetString(), "#0082c9") << "no color";
  EXPECT_STREQ(list[0]["source"].GetString(), "On This Computer");
  EXPECT_EQ(list[1]["id"].GetString(), readOnly);
  EXPECT_FALSE(list[1]["writable"].GetBool());
  EXPECT_STREQ(list[1]["color"].GetString(), "#ff8000");
  EXPECT_EQ(list[2]["id"].GetString(), loose);
  EXPECT_STREQ(list[2]["source"].GetString(), "") << "a calendar without an account";
  EXPECT_STREQ(list[2]["color"].GetString(), "#123456");
  EXPECT_EQ(list[3]["id"].GetString(), remote);
  EXPECT_STREQ(list[3]["source"].GetString(), "") << "an untitled account";
  for (const auto& c : list.GetArray()) EXPECT_EQ(c.MemberCount(), 5u);
}

TEST_F(Calendars, ColorsOfEverySpaceReadAsTheirSRGBDigitsOrTheDefault) {
  grantAccess();
  struct Case {
    const char* space;
    const char* components;
    const char* color;
  } cases[] = {
      {"srgb", "1 0.5 0 1", "#ff8000"},       // 127.5 rounds away from zero
      {"srgb", "1.2 -0.1 0.5 1", "#ff0080"},  // clamped after rounding
      {"srgb", "0.2 0.4", "#0082c9"},         // fewer than three components
      {"gray", "0.5 1", "#808080"},
      {"gray", "", "#0082c9"},                // no component to convert
      {"cmyk", "0 0 0 1 1", "#0082c9"},       // a space with no sRGB form
  };
  std::vector<std::string> ids;
  for (const auto& c : cases) {
    ids.push_back(store({"calendar", "add", "--title", c.space}));
    sql(std::string("UPDATE calendars SET color_space = '") + c.space + "', color_components = '" + c.components +
        "' WHERE identifier = '" + ids.back() + "'");
  }
  rapidjson::Document list = calendars();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const rapidjson::Value* found = find(list, ids[i]);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ((*found)["color"].GetString(), cases[i].color) << cases[i].space << " " << cases[i].components;
  }
}

TEST_F(Calendars, CreateCutsTheTitleAndSkipsABadColor) {
  grantAccess();
  std::string title;
  for (int i = 0; i < 300; ++i) title += "e\u0301";  // 300 characters, 900 bytes
  struct Case {
    const char* name;
    std::string request;
    std::string title;
    const char* color;
  } cases[] = {
      {"300 characters", R"({"title":")" + title + R"(","color":"#00ff7F"})", title.substr(0, 255 * 3), "#00ff7f"},
      {"a number for a color", R"({"title":"Numbers","color":123456})", "Numbers", "#0082c9"},
      {"a malformed color", R"({"title":"Bad","color":"#12345"})", "Bad", "#0082c9"},
      {"null color", R"({"title":"Null","color":null})", "Null", "#0082c9"},
      {"a sign form", R"({"title":"Sign","color":"#+abcde"})", "Sign", "#0abcde"},
  };
  for (const auto& c : cases) {
    Envelope created = request("createCalendar", c.request);
    ASSERT_TRUE(created.ok()) << c.name << ": " << created.raw.out;
    EXPECT_EQ(created.data().MemberCount(), 1u);
    std::string id = created.data()["id"].GetString();
    rapidjson::Document list = calendars();
    const rapidjson::Value* made = find(list, id);
    ASSERT_NE(made, nullptr) << c.name;
    EXPECT_EQ((*made)["title"].GetString(), c.title) << c.name;
    EXPECT_STREQ((*made)["color"].GetString(), c.color) << c.name;
    EXPECT_STREQ((*made)["source"].GetString(), "On This Computer") << c.name;
    EXPECT_TRUE((*made)["writable"].GetBool());
  }
  for (const char* missing : {"{}", R"({"title":""})", R"({"title":5})", R"({"title":null})"}) {
    EXPECT_EQ(request("createCalendar", missing).raw.out, kInvalid) << missing;
  }
}

TEST_F(Calendars, CreateChoosesTheAccountByRank) {
  grantAccess();
  std::string local = localAccount();
  std::string exchange = store({"source", "add", "--title", "Exchange", "--type", "1"});
  std::string inExchange = store({"calendar", "add", "--title", "Work", "--source", exchange});
  store({"default", "set", inExchange});
  auto accountOfNew = [&](const char* title) -> std::string {
    Envelope created = request("createCalendar", std::string(R"({"title":")") + title + "\"}");
    if (!created.ok()) return created.error();
    rapidjson::Document all;
    all.Parse(store({"calendars"}).c_str());
    for (const auto& c : all.GetArray()) {
      if (created.data()["id"] == c["id"]) return c["source"].GetString();
    }
    return "missing";
  };
  EXPECT_EQ(accountOfNew("first"), exchange) << "the default calendar's account wins";

  store({"default", "clear"});
  std::string caldav = store({"source", "add", "--title", "Server", "--type", "2"});
  EXPECT_EQ(accountOfNew("second"), caldav) << "CalDAV wins over the local account listed before it";

  // Only other kinds of account left: nothing is created.
  for (const std::string& source : {local, caldav}) {
    rapidjson::Document all;
    all.Parse(store({"calendars"}).c_str());
    for (const auto& c : all.GetArray()) {
      if (c["source"].IsString() && source == c["source"].GetString()) store({"calendar", "remove", c["id"].GetString()});
    }
    store({"source", "remove", source});
  }
  std::string before = store({"calendars"});
  EXPECT_EQ(request("createCalendar", R"({"title":"nowhere"})").raw.out, kFailed);
  EXPECT_EQ(store({"calendars"}), before);
}

TEST_F(Calendars, DeleteRefusesInOrderAndCutsTheIdentifier) {
  grantAccess();
  std::string account = localAccount();
  std::string standard = defaultCalendar();
  std::string readOnly = store({"calendar", "add", "--title", "RO", "--source", account, "--read-only"});
  std::string immutable = store({"calendar", "add", "--title", "Fixed", "--source", account, "--immutable"});
  std::string both = store({"calendar", "add", "--title", "Both", "--source", account, "--read-only", "--immutable"});
  std::string plain = store({"calendar", "add", "--title", "Plain", "--source", account});
  // A calendar of another program with a long identifier: 200 characters name it.
  std::string longId(200, 'L');
  sql("UPDATE calendars SET identifier = '" + longId + "' WHERE identifier = '" + plain + "'");
  struct Case {
    const char* name;
    std::string request;
    std::string reply;
  } cases[] = {
      {"the default calendar", R"({"calendar":")" + standard + R"("})", kInvalid},
      {"read-only", R"({"calendar":")" + readOnly + R"("})", kInvalid},
      {"immutable", R"({"calendar":")" + immutable + R"("})", kInvalid},
      {"read-only and immutable", R"({"calendar":")" + both + R"("})", kInvalid},
      {"unknown", R"({"calendar":"no-such-calendar"})", kInvalid},
      {"empty", R"({"calendar":""})", kInvalid},
      {"not a string", R"({"calendar":42})", kInvalid},
      {"250 characters, the first 200 naming one", R"({"calendar":")" + longId + std::string(50, 'x') + R"("})",
       R"({"ok":true,"data":{"deleted":true}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(request("deleteCalendar", c.request).raw.out, c.reply) << c.name;
  rapidjson::Document left = calendars();
  EXPECT_EQ(left.Size(), 4u);
  EXPECT_EQ(find(left, longId), nullptr);
}

TEST_F(Calendars, DeleteTakesTheEventsAlongAndNeedsNoDefault) {
  grantAccess();
  Envelope created = request("createCalendar", R"({"title":"Trip"})");
  std::string trip = created.data()["id"].GetString();
  ASSERT_FALSE(createEvent(R"("calendar":")" + trip + R"(","start":1000,"end":2000)").empty());
  store({"default", "clear"});
  EXPECT_EQ(request("deleteCalendar", R"({"calendar":")" + trip + R"("})").raw.out,
            R"({"ok":true,"data":{"deleted":true}})");
  EXPECT_TRUE(eventsIn(trip, 0, 10000).IsArray());
  EXPECT_EQ(eventsIn(trip, 0, 10000).Size(), 0u);
  EXPECT_EQ(request("deleteCalendar", R"({"calendar":")" + trip + R"("})").raw.out, kInvalid) << "gone";
}

}  // namespace
}  // namespace calbridge::testing
