// Real CalDAV servers for the tests: Radicale, Xandikos or Cyrus IMAP's httpd
// on 127.0.0.1 and a free port, in a temporary folder, with password
// authentication, always reached through the fault proxy, which can inject
// faults and counts requests.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace calbridge::testing {

enum class ServerKind { radicale, xandikos, cyrus };
const char* server_name(ServerKind kind);

// How the proxy in front of Xandikos lets a client in: Basic with kUser and
// kPassword, or only a bearer token (the one set_bearer_token last wrote).
enum class Gate { basic, bearer };

class DavServer {
 public:
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "secret";

  // Empty, with why in *skip, when the server's program is not installed.
  // A bearer gate stands only in front of Xandikos.
  static std::unique_ptr<DavServer> start(ServerKind kind, std::string* skip, Gate gate = Gate::basic);
  // Radicale over TLS with this certificate chain and key (PEM files), reached
  // directly: url() is https and no proxy stands between. `authority` is what
  // the other client trusts.
  static std::unique_ptr<DavServer> start_tls(const std::string& certificate, const std::string& key,
                                              const std::string& authority, std::string* skip);
  ~DavServer();
  DavServer(const DavServer&) = delete;
  DavServer& operator=(const DavServer&) = delete;

  ServerKind kind() const { return kind_; }
  // The server's root as the client under test reaches it (through the proxy).
  std::string url() const;
  // A direct URL (no faults) translated to the proxy's, and back.
  std::string via_proxy(const std::string& direct) const;
  std::string direct(const std::string& proxied) const;

  // python3-caldav against the server itself; its standard output, trimmed.
  // Fails the test when the command fails.
  std::string peer(const std::vector<std::string>& args) const;
  // A new calendar made by the other client; its URL through the proxy.
  std::string make_calendar(const std::string& id, const std::string& title) const;

  // Fault rules for the proxy (a JSON array, see fault_proxy.py); "[]" clears.
  void set_faults(const std::string& rules_json) const;
  // Requests the proxy has seen so far, as "METHOD path".
  std::vector<std::string> requests() const;
  // The token the bearer gate takes from now on; and what each request
  // carried in Authorization so far, in order.
  void set_bearer_token(const std::string& token) const;
  std::vector<std::string> authorizations() const;

  // Stops the server for good (SIGKILL), and starts it again on the same
  // port and folder.
  void kill_server();
  void restart_server();

 private:
  DavServer() = default;
  // A server of `kind` not started yet: its programs there, its folder and port chosen.
  static std::unique_ptr<DavServer> prepare(ServerKind kind, std::string* skip);
  void configure_radicale(const std::string& server_lines) const;
  void spawn_server();
  bool start_cyrus(std::string* skip);
  ServerKind kind_{};
  std::string authority_;  // set: TLS, with the authority the other client trusts
  std::string folder_;
  int server_port_ = 0;
  int proxy_port_ = 0;
  int admin_port_ = 0;  // Cyrus: its IMAP service, where the test makes the user
  pid_t server_pid_ = -1;
  pid_t proxy_pid_ = -1;
};

// A scripted CalDAV server that answers as a hostile one would
// (hostile_server.py): port A is the account's server, port B another.
class HostileServer {
 public:
  struct Request {
    std::string port;  // "A" or "B"
    std::string method, path;
    bool authorization = false;
    std::vector<std::string> headers;  // names, lower case
  };

  // Empty, with why in *skip, when python3 is not there.
  static std::unique_ptr<HostileServer> start(std::string* skip);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  // http://127.0.0.1:port of A or B, without a slash.
  std::string origin(char which) const;
  // The scenario (JSON, see hostile_server.py), read again for every request.
  void set_scenario(const std::string& json) const;
  std::vector<Request> requests() const;
  void clear_requests() const;

 private:
  HostileServer() = default;
  std::string folder_;
  int port_a_ = 0, port_b_ = 0;
  pid_t pid_ = -1;
};

}  // namespace calbridge::testing
