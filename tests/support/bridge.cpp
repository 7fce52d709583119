#include "support/bridge.h"

#include <gtest/gtest.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace calbridge::testing {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

namespace {

// The schema every reply to `command` must match: the command's own, or for a
// word that names no command, the envelope alone.
std::string replySchemaPath(const std::string& command) {
  static constexpr std::string_view kCommands[] = {"access",      "calendars",      "events",        "createEvent",
                                                   "deleteEvent", "createCalendar", "deleteCalendar"};
  bool known = std::find(std::begin(kCommands), std::end(kCommands), command) != std::end(kCommands);
  return std::string(CALBRIDGE_SCHEMA_DIR) + "/" + (known ? command + ".reply" : std::string("envelope")) +
         ".schema.json";
}

void expectMatchesSchema(const std::string& command, const rapidjson::Document& reply, const std::string& text) {
  std::string path = replySchemaPath(command);
  std::ifstream file(path);
  std::string schemaText{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  rapidjson::Document schemaJson;
  schemaJson.Parse(schemaText.c_str(), schemaText.size());
  ASSERT_FALSE(schemaJson.HasParseError()) << "cannot read the schema " << path;
  rapidjson::SchemaDocument schema(schemaJson);
  rapidjson::SchemaValidator validator(schema);
  if (reply.Accept(validator)) return;
  rapidjson::StringBuffer rule;
  rapidjson::StringBuffer member;
  validator.GetInvalidSchemaPointer().StringifyUriFragment(rule);
  validator.GetInvalidDocumentPointer().StringifyUriFragment(member);
  ADD_FAILURE() << "the reply to " << command << " breaks " << path << ": \"" << validator.GetInvalidSchemaKeyword()
                << "\" at " << rule.GetString() << ", reply member " << member.GetString() << ": "
                << text.substr(0, 300);
}

}  // namespace

std::string bridgeBinary() { return CALBRIDGE_BINARY; }
std::string storeToolBinary() { return CALBRIDGE_STORE_BINARY; }

std::string Envelope::error() const {
  if (!json.IsObject() || !json.HasMember("error") || !json["error"].IsString()) return {};
  return json["error"].GetString();
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "calbridge-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

BridgeFixture::BridgeFixture() = default;

std::map<std::string, std::optional<std::string>> BridgeFixture::environment() const {
  // The test process's TZ when a test sets one, else UTC: never the machine's own zone.
  const char* zone = std::getenv("TZ");
  // No session bus and a config folder of its own: the own store serves, as
  // on a server, whatever desktop the tests run in.
  return {{"XDG_DATA_HOME", folder_.path()}, {"HOME", folder_.path()}, {"XDG_CONFIG_HOME", folder_.path() + "/config"},
          {"XDG_RUNTIME_DIR", folder_.path()}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
          {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"TZ", zone != nullptr ? zone : "UTC"}};
}

RunResult BridgeFixture::runBridge(const std::vector<std::string>& arguments, const std::string& input,
                                   std::map<std::string, std::optional<std::string>> environment) const {
  std::vector<std::string> argv{bridgeBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunOptions options;
  options.input = input;
  options.environment = this->environment();
  for (auto& [name, value] : environment) options.environment[name] = value;
  return runProgram(argv, options);
}

RunResult BridgeFixture::runBridgeKilledAfter(const std::string& command, const std::string& input,
                                              std::chrono::microseconds delay,
                                              std::map<std::string, std::optional<std::string>> environment) const {
  RunOptions options;
  options.input = input;
  options.environment = this->environment();
  for (auto& [name, value] : environment) options.environment[name] = value;
  options.killAfter = delay;
  return runProgram({bridgeBinary(), command}, options);
}

Envelope BridgeFixture::request(const std::string& command, const std::string& input,
                                std::map<std::string, std::optional<std::string>> environment) const {
  Envelope envelope;
  envelope.raw = runBridge({command}, input, std::move(environment));
  envelope.json.Parse(envelope.raw.out.c_str(), envelope.raw.out.size());
  EXPECT_FALSE(envelope.json.HasParseError()) << "reply is not JSON: " << envelope.raw.out;
  if (!envelope.json.HasParseError()) expectMatchesSchema(command, envelope.json, envelope.raw.out);
  EXPECT_EQ(envelope.raw.err, "") << "standard error must stay empty";
  EXPECT_EQ(envelope.raw.status, envelope.ok() ? 0 : 1) << envelope.raw.out;
  return envelope;
}

RunResult BridgeFixture::runStore(const std::vector<std::string>& arguments, const std::string& input) const {
  std::vector<std::string> argv{storeToolBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunOptions options;
  options.input = input;
  options.environment = environment();
  return runProgram(argv, options);
}

std::string BridgeFixture::store(const std::vector<std::string>& arguments, const std::string& input) const {
  RunResult result = runStore(arguments, input);
  std::string command;
  for (const auto& a : arguments) command += a + " ";
  EXPECT_EQ(result.status, 0) << "calbridge-store " << command << ": " << result.err;
  if (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
  return result.out;
}

std::string BridgeFixture::createEvent(const std::string& members,
                                       std::map<std::string, std::optional<std::string>> environment) const {
  Envelope reply = request("createEvent", "{" + members + "}", std::move(environment));
  if (!reply.ok()) return {};
  return reply.data()["uid"].GetString();
}

rapidjson::Document BridgeFixture::eventsIn(const std::string& calendar, double from, double to,
                                            std::map<std::string, std::optional<std::string>> environment) const {
  char window[128];
  std::snprintf(window, sizeof window, R"({"from":%.17g,"to":%.17g,"calendars":[")", from, to);
  Envelope reply = request("events", window + calendar + "\"]}", std::move(environment));
  rapidjson::Document data;
  if (reply.ok()) data.CopyFrom(reply.data(), data.GetAllocator());
  return data;
}

std::vector<double> BridgeFixture::startsIn(const std::string& calendar, double from, double to) const {
  std::vector<double> starts;
  rapidjson::Document data = eventsIn(calendar, from, to);
  if (!data.IsArray()) {
    ADD_FAILURE() << "events refused";
    return starts;
  }
  for (const auto& record : data.GetArray()) starts.push_back(record["start"].GetDouble());
  return starts;
}

void BridgeFixture::sql(const std::string& statement) const {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath().c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::string BridgeFixture::defaultCalendar() const {
  rapidjson::Document calendars;
  calendars.Parse(store({"calendars"}).c_str());
  for (const auto& calendar : calendars.GetArray()) {
    if (calendar["default"].IsTrue()) return calendar["id"].GetString();
  }
  ADD_FAILURE() << "the store has no default calendar";
  return {};
}

}  // namespace calbridge::testing
