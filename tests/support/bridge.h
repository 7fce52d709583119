// A private store in a temporary folder, and the two programs run against it
// exactly as a host and the store's owner would run them.
#pragma once

#include "support/process.h"

#include <rapidjson/document.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace calbridge::testing {

std::string bridgeBinary();
std::string storeToolBinary();

// A JSON number that reads back as exactly `value`.
std::string number(double value);

// A decoded reply envelope.
struct Envelope {
  RunResult raw;
  rapidjson::Document json;
  bool ok() const { return json.IsObject() && json.HasMember("ok") && json["ok"].IsTrue(); }
  std::string error() const;
  const rapidjson::Value& data() const { return json["data"]; }
};

class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class BridgeFixture {
 public:
  BridgeFixture();

  // Runs `calbridge COMMAND` with `input` on standard input.
  Envelope request(const std::string& command, const std::string& input,
                   std::map<std::string, std::optional<std::string>> environment = {}) const;
  RunResult runBridge(const std::vector<std::string>& arguments, const std::string& input,
                      std::map<std::string, std::optional<std::string>> environment = {}) const;
  // Runs `calbridge COMMAND` as a host that gives up on it: SIGKILL after `delay`, unless it finished.
  RunResult runBridgeKilledAfter(const std::string& command, const std::string& input, std::chrono::microseconds delay,
                                 std::map<std::string, std::optional<std::string>> environment = {}) const;
  // Runs `calbridge-store ARGS`; returns its standard output without the final newline.
  RunResult runStore(const std::vector<std::string>& arguments, const std::string& input = {}) const;
  // As runStore, and fails the test unless it succeeds.
  std::string store(const std::vector<std::string>& arguments, const std::string& input = {}) const;

  // createEvent with these members (a JSON object's inside); the new uid, or "" when refused.
  std::string createEvent(const std::string& members, std::map<std::string, std::optional<std::string>> environment = {}) const;
  // The "events" data for one calendar (an array), or null when refused.
  rapidjson::Document eventsIn(const std::string& calendar, double from, double to,
                               std::map<std::string, std::optional<std::string>> environment = {}) const;
  // The starts listed for one calendar.
  std::vector<double> startsIn(const std::string& calendar, double from, double to) const;
  // Runs SQL on the database directly, as another program holding the file might.
  void sql(const std::string& statement) const;

  std::string databasePath() const { return folder_.path() + "/calbridge/calendar.db"; }
  const std::string& dataHome() const { return folder_.path(); }
  // The calendar every new store has.
  std::string defaultCalendar() const;
  void grantAccess() const { store({"access", "grant"}); }
  std::map<std::string, std::optional<std::string>> environment() const;

 private:
  TemporaryFolder folder_;
};

}  // namespace calbridge::testing
