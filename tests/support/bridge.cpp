#include "support/bridge.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace calbridge::testing {

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
  return {{"XDG_DATA_HOME", folder_.path()}, {"HOME", folder_.path()}, {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt}};
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

Envelope BridgeFixture::request(const std::string& command, const std::string& input,
                                std::map<std::string, std::optional<std::string>> environment) const {
  Envelope envelope;
  envelope.raw = runBridge({command}, input, std::move(environment));
  envelope.json.Parse(envelope.raw.out.c_str(), envelope.raw.out.size());
  EXPECT_FALSE(envelope.json.HasParseError()) << "reply is not JSON: " << envelope.raw.out;
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
