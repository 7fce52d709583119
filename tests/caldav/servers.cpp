#include "caldav/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"

#include <rapidjson/document.h>

extern char** environ;

namespace calbridge::testing {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kCyrusMaster = "/usr/lib/cyrus/bin/master";
constexpr const char* kSaslPasswd = "/usr/sbin/saslpasswd2";
constexpr const char* kCyrusAdmin = "admin";

std::string source_file(const char* name) { return std::string(CALBRIDGE_CALDAV_TEST_DIR) + "/" + name; }

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

bool answers(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

// With own_group, the program leads a process group of its own, so that it
// can be stopped with every process it started (Cyrus's master and its httpd).
pid_t spawn(const std::vector<std::string>& argv, const std::string& log, bool own_group = false,
            const std::vector<std::string>& extra_environment = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  for (const auto& e : extra_environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_group) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0], &actions, &attributes, args.data(), env.data()) != 0) pid = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t& pid, bool group = false) {
  if (pid <= 0) return;
  kill(group ? -pid : pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  std::ofstream(tmp) << text;
  std::filesystem::rename(tmp, path);
}

bool wait_for(const std::function<bool()>& ready) {
  for (int i = 0; i < 300; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string replace_origin(const std::string& url, int from, int to) {
  std::string a = "http://127.0.0.1:" + std::to_string(from);
  if (url.rfind(a, 0) != 0) return url;
  return "http://127.0.0.1:" + std::to_string(to) + url.substr(a.size());
}

// Where python3-caldav starts: Cyrus answers PROPFIND only below /dav/.
const char* peer_root(ServerKind kind) { return kind == ServerKind::cyrus ? "/dav/" : "/"; }

}  // namespace

const char* server_name(ServerKind kind) {
  switch (kind) {
    case ServerKind::radicale: return "radicale";
    case ServerKind::xandikos: return "xandikos";
    case ServerKind::cyrus: return "cyrus";
  }
  return "?";
}

std::unique_ptr<DavServer> DavServer::prepare(ServerKind kind, std::string* skip) {
  std::vector<const char*> programs{kPython};
  if (kind == ServerKind::radicale) programs.push_back("/usr/bin/radicale");
  if (kind == ServerKind::xandikos) programs.push_back("/usr/bin/xandikos");
  if (kind == ServerKind::cyrus) programs.insert(programs.end(), {kCyrusMaster, "/usr/lib/cyrus/bin/httpd", "/usr/lib/cyrus/bin/imapd", kSaslPasswd});
  for (const char* program : programs) {
    if (access(program, X_OK) != 0) {
      *skip = std::string(program) + " is not installed (scripts/setup --dev installs it)";
      return nullptr;
    }
  }
  std::unique_ptr<DavServer> s(new DavServer());
  s->kind_ = kind;
  char folder[] = "/tmp/calbridge-caldav-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    *skip = "no temporary folder";
    return nullptr;
  }
  s->folder_ = folder;
  s->server_port_ = free_port();
  return s;
}

// Radicale checks the password itself, from a plain htpasswd file.
void DavServer::configure_radicale(const std::string& server_lines) const {
  write_file(folder_ + "/users", std::string(kUser) + ":" + kPassword + "\n");
  write_file(folder_ + "/config", "[server]\nhosts = 127.0.0.1:" + std::to_string(server_port_) + "\n" +
                                      server_lines + "[auth]\ntype = htpasswd\nhtpasswd_filename = " + folder_ +
                                      "/users\nhtpasswd_encryption = plain\n[storage]\nfilesystem_folder = " +
                                      folder_ + "/collections\n[logging]\nlevel = warning\n");
}

std::unique_ptr<DavServer> DavServer::start(ServerKind kind, std::string* skip, Gate gate) {
  auto s = prepare(kind, skip);
  if (!s) return nullptr;
  if (kind == ServerKind::radicale) s->configure_radicale("");
  if (kind == ServerKind::cyrus) {
    if (!s->start_cyrus(skip)) return nullptr;
  } else {
    s->spawn_server();
  }
  write_file(s->folder_ + "/rules.json", "[]");
  std::vector<std::string> proxy{kPython,      source_file("fault_proxy.py"),
                                 "--upstream", "127.0.0.1:" + std::to_string(s->server_port_),
                                 "--port-file", s->folder_ + "/proxy.port",
                                 "--rules",    s->folder_ + "/rules.json",
                                 "--log",      s->folder_ + "/requests.log",
                                 "--auth-log", s->folder_ + "/authorizations.log"};
  if (kind == ServerKind::xandikos && gate == Gate::bearer) {
    write_file(s->folder_ + "/token", "");
    proxy.insert(proxy.end(), {"--bearer-file", s->folder_ + "/token"});
  } else if (kind == ServerKind::xandikos) {
    // Xandikos has no authentication of its own: the proxy is its gate.
    proxy.insert(proxy.end(), {"--user", kUser, "--password", kPassword});
  }
  s->proxy_pid_ = spawn(proxy, s->folder_ + "/proxy.log");
  std::string port_file = s->folder_ + "/proxy.port";
  if (!wait_for([&] { return std::filesystem::exists(port_file); })) {
    ADD_FAILURE() << "the fault proxy did not start: " << read_file(s->folder_ + "/proxy.log");
    return nullptr;
  }
  s->proxy_port_ = std::stoi(read_file(port_file));
  return s;
}

std::unique_ptr<DavServer> DavServer::start_tls(const std::string& certificate, const std::string& key,
                                                const std::string& authority, std::string* skip) {
  auto s = prepare(ServerKind::radicale, skip);
  if (!s) return nullptr;
  s->authority_ = authority;
  s->configure_radicale("ssl = True\ncertificate = " + certificate + "\nkey = " + key + "\n");
  s->spawn_server();
  // No proxy: the client under test meets the server's certificate itself.
  s->proxy_port_ = s->server_port_;
  return s;
}

// Cyrus as a mail provider runs it, cut down to its CalDAV side: the master
// process with one httpd service (no calendar made for the user: the tests
// make theirs; the scheduling Inbox stays, as without it Cyrus answers the
// DELETE of a calendar with 404 after deleting it), users checked against a SASL database of
// the folder's own (Basic, Digest and SCRAM offered), and an IMAP service only
// for the administrator to make the user's mailbox, which the calendars
// belong to. It will not run as root: started by root it becomes the cyrus
// user, who then owns the folder; started by anyone else it stays that user.
bool DavServer::start_cyrus(std::string* skip) {
  const std::string& f = folder_;
  admin_port_ = free_port();
  for (const char* d : {"/conf", "/conf/db", "/conf/socket", "/conf/proc", "/conf/lock", "/conf/log", "/spool"})
    mkdir((f + d).c_str(), 0700);
  write_file(f + "/imapd.conf", "configdirectory: " + f + "/conf\npartition-default: " + f +
                                    "/spool\nservername: localhost\nadmins: " + kCyrusAdmin +
                                    "\nallowplaintext: yes\nunixhierarchysep: no\n"
                                    "sasl_pwcheck_method: auxprop\nsasl_auxprop_plugin: sasldb\nsasl_sasldb_path: " +
                                    f + "/sasldb2\nsasl_mech_list: PLAIN LOGIN DIGEST-MD5 SCRAM-SHA-1 SCRAM-SHA-256\n"
                                    "httpmodules: caldav\ncaldav_create_default: 0\ncaldav_create_attach: 0\n");
  const std::string conf = " -C " + f + "/imapd.conf";
  write_file(f + "/cyrus.conf", "START {\n  recover cmd=\"ctl_cyrusdb" + conf + " -r\"\n}\nSERVICES {\n"
                                "  http cmd=\"httpd" + conf + "\" listen=\"127.0.0.1:" + std::to_string(server_port_) +
                                "\" prefork=0\n  imap cmd=\"imapd" + conf + "\" listen=\"127.0.0.1:" +
                                std::to_string(admin_port_) + "\" prefork=0\n}\nEVENTS {\n}\n");
  for (const auto& [user, password] : {std::pair{kUser, kPassword}, std::pair{kCyrusAdmin, kPassword}}) {
    RunOptions input;
    input.input = std::string(password) + "\n";
    RunResult r = runProgram({kSaslPasswd, "-f", f + "/sasldb2", "-p", "-c", "-u", "localhost", user}, input);
    if (r.status != 0) {
      ADD_FAILURE() << "saslpasswd2: " << r.err;
      return false;
    }
  }
  if (geteuid() == 0) {
    const passwd* cyrus = getpwnam("cyrus");
    if (cyrus == nullptr) {
      *skip = "no cyrus user (the cyrus-common package makes it)";
      return false;
    }
    std::vector<std::string> paths{f};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(f)) paths.push_back(entry.path());
    for (const auto& path : paths) {
      if (chown(path.c_str(), cyrus->pw_uid, static_cast<gid_t>(-1)) != 0) {
        ADD_FAILURE() << "cannot give " << path << " to the cyrus user";
        return false;
      }
    }
  }
  spawn_server();
  // The user's mailbox, made by the administrator; the first request of the
  // user then makes the calendar home.
  RunResult made = runProgram({kPython, "-c",
                               "import imaplib, sys\n"
                               "m = imaplib.IMAP4('127.0.0.1', int(sys.argv[1]))\n"
                               "m.login(sys.argv[2], sys.argv[3])\n"
                               "status, answer = m.create('user.' + sys.argv[4])\n"
                               "sys.exit(0 if status == 'OK' else str(answer))\n",
                               std::to_string(admin_port_), kCyrusAdmin, kPassword, kUser});
  if (made.status != 0) {
    ADD_FAILURE() << "cyrus: the user could not be made: " << made.err;
    return false;
  }
  return true;
}

void DavServer::spawn_server() {
  std::string port = std::to_string(server_port_);
  if (kind_ == ServerKind::cyrus) {
    std::vector<std::string> environment;
    if (geteuid() != 0) {
      const passwd* me = getpwuid(geteuid());
      if (me != nullptr) environment.push_back(std::string("CYRUS_USER=") + me->pw_name);
    }
    server_pid_ = spawn({kCyrusMaster, "-C", folder_ + "/imapd.conf", "-M", folder_ + "/cyrus.conf", "-p",
                         folder_ + "/master.pid", "-D"},
                        folder_ + "/server.log", true, environment);
  } else if (kind_ == ServerKind::radicale)
    server_pid_ = spawn({kPython, "-m", "radicale", "--config", folder_ + "/config"}, folder_ + "/server.log");
  else
    server_pid_ = spawn({kPython, "/usr/bin/xandikos", "-d", folder_ + "/data", "-l", "127.0.0.1", "-p", port,
                         "--autocreate", "--current-user-principal", std::string("/") + kUser + "/"},
                        folder_ + "/server.log");
  if (!wait_for([&] { return answers(server_port_); }))
    ADD_FAILURE() << server_name(kind_) << " did not start: " << read_file(folder_ + "/server.log");
}

DavServer::~DavServer() {
  stop(proxy_pid_);
  stop(server_pid_, kind_ == ServerKind::cyrus);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string DavServer::url() const {
  return std::string(authority_.empty() ? "http" : "https") + "://127.0.0.1:" + std::to_string(proxy_port_) + "/";
}

std::string DavServer::via_proxy(const std::string& direct) const {
  return replace_origin(direct, server_port_, proxy_port_);
}

std::string DavServer::direct(const std::string& proxied) const {
  return replace_origin(proxied, proxy_port_, server_port_);
}

std::string DavServer::peer(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{kPython, source_file("peer.py"),
                                std::string(authority_.empty() ? "http" : "https") + "://127.0.0.1:" +
                                    std::to_string(server_port_) + peer_root(kind_),
                                kUser, kPassword};
  for (const auto& a : args) argv.push_back(direct(a));
  RunOptions options;
  if (!authority_.empty()) options.environment["REQUESTS_CA_BUNDLE"] = authority_;
  options.killAfter = std::chrono::seconds(100);  // a server that stopped answering: fail, naming the step
  RunResult r = runProgram(argv, options);
  EXPECT_EQ(r.status, 0) << "peer.py " << args.at(0) << (r.killed ? " hung" : "") << ": " << r.err;
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string DavServer::make_calendar(const std::string& id, const std::string& title) const {
  return via_proxy(peer({"mkcal", id, title}));
}

void DavServer::set_faults(const std::string& rules_json) const { write_file(folder_ + "/rules.json", rules_json); }

std::vector<std::string> DavServer::requests() const {
  std::vector<std::string> out;
  std::ifstream in(folder_ + "/requests.log");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void DavServer::set_bearer_token(const std::string& token) const { write_file(folder_ + "/token", token); }

std::vector<std::string> DavServer::authorizations() const {
  std::vector<std::string> out;
  std::ifstream in(folder_ + "/authorizations.log");
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

void DavServer::kill_server() { stop(server_pid_, kind_ == ServerKind::cyrus); }

void DavServer::restart_server() {
  stop(server_pid_, kind_ == ServerKind::cyrus);
  spawn_server();
}

std::unique_ptr<HostileServer> HostileServer::start(std::string* skip) {
  if (access(kPython, X_OK) != 0) {
    *skip = "python3 is not installed";
    return nullptr;
  }
  std::unique_ptr<HostileServer> s(new HostileServer());
  char folder[] = "/tmp/calbridge-hostile-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    *skip = "no temporary folder";
    return nullptr;
  }
  s->folder_ = folder;
  s->set_scenario("{}");
  std::string port_file = s->folder_ + "/ports";
  s->pid_ = spawn({kPython, source_file("hostile_server.py"), "--port-file", port_file, "--scenario",
                   s->folder_ + "/scenario.json", "--log", s->folder_ + "/requests.log"},
                  s->folder_ + "/server.log");
  if (!wait_for([&] { return std::filesystem::exists(port_file); })) {
    ADD_FAILURE() << "the hostile server did not start: " << read_file(s->folder_ + "/server.log");
    return nullptr;
  }
  std::istringstream ports(read_file(port_file));
  ports >> s->port_a_ >> s->port_b_;
  return s;
}

HostileServer::~HostileServer() {
  stop(pid_);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string HostileServer::origin(char which) const {
  return "http://127.0.0.1:" + std::to_string(which == 'A' ? port_a_ : port_b_);
}

void HostileServer::set_scenario(const std::string& json) const { write_file(folder_ + "/scenario.json", json); }

std::vector<HostileServer::Request> HostileServer::requests() const {
  std::vector<Request> out;
  std::ifstream in(folder_ + "/requests.log");
  for (std::string line; std::getline(in, line);) {
    rapidjson::Document d;
    d.Parse(line.c_str());
    if (!d.IsObject()) continue;
    Request r{d["port"].GetString(), d["method"].GetString(), d["path"].GetString(), d["auth"].IsTrue(), {}};
    for (const auto& h : d["headers"].GetArray()) r.headers.push_back(h.GetString());
    out.push_back(std::move(r));
  }
  return out;
}

void HostileServer::clear_requests() const {
  std::error_code ignored;
  std::filesystem::remove(folder_ + "/requests.log", ignored);
}

}  // namespace calbridge::testing
