#pragma once
// A small HTTP client for the CalDAV code: one abstract transport, so tests
// and a fault-injecting wrapper can stand in for the real one over libcurl.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace calbridge::caldav {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // "GET", "PROPFIND", "REPORT", "PUT", ...
  std::string url;     // absolute http or https URL
  Headers headers;
  std::string body;
};

enum class TransportFailure {
  none,
  timeout,       // the request's own time or the overall deadline ran out
  unreachable,   // refused, reset, name not resolved, connection dropped
  tls,           // certificate or handshake refused
  too_large,     // the answer exceeded the body limit
  refused_url,   // not sent: another origin than the account's, user information, not http(s)
  other,
};

struct HttpResponse {
  TransportFailure failure = TransportFailure::none;
  std::string failure_text;  // curl's message when failure != none
  long status = 0;
  Headers headers;           // names lower-cased, in arrival order
  std::string body;
  std::string url;           // where the answer came from, after redirects

  bool ok_transport() const { return failure == TransportFailure::none; }
  // First header of that (lower-case) name, or empty.
  std::string header(std::string_view lower_name) const;
};

// Sends each request exactly where it names: no redirect is ever followed
// (a 3xx is the answer), and a request to an origin the transport was not
// given is refused unsent, so credentials reach no other server.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual HttpResponse send(const HttpRequest& request) = 0;
  // One more origin requests may go to; discovery's, after may_move allowed it.
  virtual void allow_origin(const std::string& origin) = 0;
};

struct HttpSettings {
  // The only origins (url_origin's scheme://host:port) requests go to.
  std::vector<std::string> origins;
  // Basic, or Digest when the server asks only for that; sent when both are
  // given. Held only as long as the settings.
  std::string user;
  std::optional<std::string> password;
  // Sent as "Authorization: Bearer"; after a 401, renew_token is asked once
  // for a fresh one and the request sent once more.
  std::optional<std::string> bearer_token;
  std::function<std::optional<std::string>()> renew_token;
  std::string ca_file;                    // extra trust anchors; empty: system store only
  std::chrono::milliseconds connect_timeout{10'000};
  std::chrono::milliseconds request_timeout{30'000};
  // Every request ends by this moment, whatever its own timeout.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  // By default no proxy is taken from the environment: the account's server
  // is the only host we talk to.
  bool use_environment_proxy = false;
  size_t max_body_bytes = 256u << 20;
};

// Over libcurl, one easy handle reused for every request so connections are
// kept alive. Not for use from two threads at once.
class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(HttpSettings settings);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override;
  void allow_origin(const std::string& origin) override;
  // How many HTTP exchanges went out (auth retries included).
  size_t exchanges() const { return exchanges_; }

 private:
  HttpResponse send_once(const HttpRequest& request);
  HttpSettings settings_;
  void* curl_ = nullptr;  // CURL*, owned
  bool digest_ = false;   // the server asked for Digest once; keep to it
  bool renewed_ = false;  // the bearer token was renewed once already
  size_t exchanges_ = 0;
};

// An absolute http or https URL taken apart. The path keeps its
// percent-escapes as written; dot segments are already removed.
struct UrlParts {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 address in brackets
  std::string port;    // the default one made explicit
  std::string path, query, fragment;
  bool userinfo = false;  // a user name or password before the host
};
std::optional<UrlParts> parse_url(const std::string& url);

// Resolves a reference (an href, a Location) against a base URL; empty when
// either does not parse.
std::string resolve_url(const std::string& base, const std::string& reference);
// scheme://host:port of an absolute URL (default ports made explicit), or empty.
std::string url_origin(const std::string& url);
// The URL as messages show it: without user information.
std::string shown_url(const std::string& url);
// The path (with query) of an absolute URL, or the reference itself when it
// is already a path. Percent-escapes of unreserved characters are decoded and
// hex digits upper-cased, so two spellings of one resource compare equal.
std::string href_path(const std::string& url_or_path);

}  // namespace calbridge::caldav
