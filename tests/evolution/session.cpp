#include "evolution/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace calbridge::testing {

namespace {

constexpr const char* kBusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kKeyring = "/usr/bin/gnome-keyring-daemon";
constexpr const char* kSecretTool = "/usr/bin/secret-tool";
constexpr const char* kRegistry = "/usr/libexec/evolution-source-registry";
constexpr const char* kCalendarFactory = "/usr/libexec/evolution-calendar-factory";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> environmentOf(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (changes.count(entry.substr(0, entry.find('='))) == 0) out.push_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

// Starts a daemon of the session: standard input from `input` (or nothing),
// its output to `log`.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::optional<std::string>>& env,
            const std::string& log, int input = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> entries = environmentOf(env);
  std::vector<char*> envp;
  for (auto& e : entries) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGCONT);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Longer than any bound of the bridge or of eds_peer: a program still running
// then hangs, and the test fails naming it rather than at ctest's timeout.
constexpr std::chrono::seconds kHung{45};

bool waitFor(const std::function<bool()>& ready, int tries = 250) {
  for (int i = 0; i < tries; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace

std::string text(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

std::unique_ptr<EdsSession> EdsSession::start(std::string* skip, SessionOptions options) {
  for (const char* program : {kBusDaemon, kKeyring, kSecretTool, kRegistry, kCalendarFactory}) {
    if (access(program, X_OK) != 0) {
      *skip = std::string(program) + " is not installed (scripts/setup --dev installs it)";
      return nullptr;
    }
  }
  std::unique_ptr<EdsSession> s(new EdsSession());
  s->options_ = options;
  std::string pattern = (std::filesystem::temp_directory_path() / "calbridge-eds-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "no temporary folder: " << std::strerror(errno);
    return nullptr;
  }
  s->folder_ = pattern;
  for (const char* sub : {"/home", "/config", "/data", "/cache", "/run", "/services"}) {
    std::filesystem::create_directories(s->folder_ + sub);
  }
  chmod((s->folder_ + "/run").c_str(), 0700);
  s->bus_ = "unix:path=" + s->folder_ + "/run/bus";
  // A bus of the session's own, which starts EDS on demand with the
  // session's environment; without services it can start nothing.
  std::string services = options.withoutServices ? "<servicedir>" + s->folder_ + "/services</servicedir>"
                                                 : "<standard_session_servicedirs/>";
  std::ofstream(s->folder_ + "/bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
         "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>session</type>"
      << "<listen>" << s->bus_ << "</listen>" << services
      << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
  auto env = s->environment();
  env["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
  s->busPid_ = spawn({kBusDaemon, "--nofork", "--nopidfile", "--config-file=" + s->folder_ + "/bus.conf"}, env,
                     s->folder_ + "/bus.log");
  if (!waitFor([&] { return std::filesystem::exists(s->folder_ + "/run/bus"); })) {
    ADD_FAILURE() << "the session bus did not start: " << readFile(s->folder_ + "/bus.log");
    return nullptr;
  }
  // The keyring, unlocked with a password of the session's own.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
  s->keyringPid_ = spawn({kKeyring, "--foreground", "--unlock", "--components=secrets"}, s->environment(),
                         s->folder_ + "/keyring.log", pipeFds[0]);
  close(pipeFds[0]);
  (void)!write(pipeFds[1], "session-password", 16);
  close(pipeFds[1]);
  RunOptions wait;
  wait.environment = s->environment();
  if (runProgram({CALBRIDGE_EDS_PEER, "wait-name", "org.freedesktop.secrets", "20"}, wait).status != 0) {
    ADD_FAILURE() << "the keyring did not start: " << readFile(s->folder_ + "/keyring.log");
    return nullptr;
  }
  return s;
}

EdsSession::~EdsSession() {
  // EDS's services first (a test may have stopped one), then the keyring and the bus.
  for (const char* name : {"org.gnome.evolution.dataserver.Calendar8", "org.gnome.evolution.dataserver.Sources5",
                           "org.gnome.evolution.dataserver.UserPrompter0"}) {
    pid_t pid = owner(name);
    if (pid > 0) {
      kill(pid, SIGCONT);
      kill(pid, SIGTERM);
    }
  }
  stop(keyringPid_);
  stop(busPid_);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::map<std::string, std::optional<std::string>> EdsSession::environment() const {
  return {{"HOME", folder_ + "/home"},
          {"XDG_CONFIG_HOME", folder_ + "/config"},
          {"XDG_DATA_HOME", folder_ + "/data"},
          {"XDG_CACHE_HOME", folder_ + "/cache"},
          {"XDG_RUNTIME_DIR", folder_ + "/run"},
          {"DBUS_SESSION_BUS_ADDRESS", bus_},
          {"GSETTINGS_BACKEND", options_.settingsInFile ? "keyfile" : "memory"},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt},
          {"TZ", "UTC"},
          // In the sanitizer build: GIO's own allocations that live to the exit,
          // told by where they were made (GLib has no frame pointers to walk).
          {"ASAN_OPTIONS", "fast_unwind_on_malloc=0"},
          {"LSAN_OPTIONS", "print_suppressions=0:suppressions=" CALBRIDGE_EVOLUTION_TEST_DIR "/lsan.supp"}};
}

Envelope EdsSession::request(const std::string& command, const std::string& input) const {
  RunOptions options;
  options.input = input;
  options.environment = environment();
  options.killAfter = kHung;
  Envelope envelope;
  envelope.raw = runProgram({bridgeBinary(), command}, options);
  EXPECT_FALSE(envelope.raw.killed) << "calbridge " << command << " hung: " << envelope.raw.err;
  envelope.json.Parse(envelope.raw.out.c_str());
  return envelope;
}

RunResult EdsSession::runStore(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv{storeToolBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunOptions options;
  options.environment = environment();
  options.killAfter = kHung;
  RunResult r = runProgram(argv, options);
  EXPECT_FALSE(r.killed) << "calbridge-store " << arguments.at(0) << " hung: " << r.err;
  return r;
}

std::string EdsSession::peer(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv{CALBRIDGE_EDS_PEER};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunOptions options;
  options.environment = environment();
  options.killAfter = kHung + std::chrono::seconds(60);  // past its own alarm, which names the step
  RunResult r = runProgram(argv, options);
  EXPECT_EQ(r.status, 0) << "eds_peer " << arguments.at(0) << ": " << r.err;
  return r.out;
}

void EdsSession::addSource(const std::string& uid, const std::string& keyFile,
                           const std::optional<std::string>& password) const {
  const std::string folder = folder_ + "/config/evolution/sources";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/" + uid + ".source") << keyFile;
  if (!password) return;
  RunOptions options;
  options.input = *password;
  options.environment = environment();
  RunResult r = runProgram(
      {kSecretTool, "store", "--label=" + uid, "xdg:schema", "org.gnome.Evolution.Data.Source", "e-source-uid", uid},
      options);
  EXPECT_EQ(r.status, 0) << "secret-tool: " << r.err;
}

pid_t EdsSession::owner(const std::string& name) const {
  std::vector<std::string> argv{CALBRIDGE_EDS_PEER, "pid", name};
  RunOptions options;
  options.environment = environment();
  RunResult r = runProgram(argv, options);
  return r.status == 0 ? static_cast<pid_t>(std::stol(r.out)) : -1;
}

std::unique_ptr<EdsSession::Holder> EdsSession::hold(const std::string& source) const {
  auto holder = std::make_unique<Holder>();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return nullptr;
  const std::string log = folder_ + "/hold-" + source + ".log";
  holder->pid = spawn({CALBRIDGE_EDS_PEER, "hold", source}, environment(), log, pipeFds[0]);
  close(pipeFds[0]);
  holder->input = pipeFds[1];
  EXPECT_TRUE(waitFor([&] { return readFile(log).find("ready") != std::string::npos; }, 1500))
      << "eds_peer hold: " << readFile(log);
  return holder;
}

EdsSession::Holder::~Holder() {
  if (input >= 0) close(input);
  if (pid > 0) waitpid(pid, nullptr, 0);
}

}  // namespace calbridge::testing
