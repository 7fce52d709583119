// A desktop session of its own for the tests: a session bus, an unlocked
// keyring and Evolution Data Server (started by the bus on demand), with
// HOME and the XDG folders in a temporary folder, and the programs under test
// run in it as a desktop host runs them.
#pragma once

#include "support/bridge.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace calbridge::testing {

struct SessionOptions {
  // GSettings kept in a file every process shares, so that a default
  // calendar one sets is seen by all; otherwise each process has its own.
  bool settingsInFile = false;
  // The bus knows no services: EDS cannot be started.
  bool withoutServices = false;
};

class EdsSession {
 public:
  // Null, with why in `skip`, when a program it needs is not installed.
  static std::unique_ptr<EdsSession> start(std::string* skip, SessionOptions options = {});
  ~EdsSession();
  EdsSession(const EdsSession&) = delete;
  EdsSession& operator=(const EdsSession&) = delete;

  // The environment of every program run in the session.
  std::map<std::string, std::optional<std::string>> environment() const;
  Envelope request(const std::string& command, const std::string& input) const;
  RunResult runStore(const std::vector<std::string>& arguments) const;
  // eds_peer ARGS (see eds_peer.cpp); its standard output. Fails the test when it fails.
  std::string peer(const std::vector<std::string>& arguments) const;

  // A source EDS reads at its start, as a key file in
  // $XDG_CONFIG_HOME/evolution/sources, with its password in the keyring.
  void addSource(const std::string& uid, const std::string& keyFile,
                 const std::optional<std::string>& password = std::nullopt) const;
  // The process owning a name on the bus (an EDS service), or -1.
  pid_t owner(const std::string& name) const;
  std::string settingPath() const { return folder_ + "/config/calbridge/store"; }

  // Keeps a calendar open in another process, as the desktop does, until destroyed.
  class Holder {
   public:
    ~Holder();
    pid_t pid = -1;
    int input = -1;
  };
  std::unique_ptr<Holder> hold(const std::string& source) const;

 private:
  EdsSession() = default;
  std::string folder_;
  std::string bus_;
  pid_t busPid_ = -1;
  pid_t keyringPid_ = -1;
  SessionOptions options_;
};

// A bridge request's data as JSON text, for messages.
std::string text(const rapidjson::Value& value);

}  // namespace calbridge::testing
