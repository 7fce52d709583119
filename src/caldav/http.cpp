#include "caldav/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

namespace calbridge::caldav {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// `prefix` in lower case. Without a copy: every href of a calendar comes here.
bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Owns a CURLU handle for the length of one URL operation.
struct UrlHandle {
  CURLU* h;
  UrlHandle() : h(curl_url()) {}
  explicit UrlHandle(CURLU* handle) : h(handle) {}  // taken over
  UrlHandle(const UrlHandle&) = delete;
  UrlHandle& operator=(const UrlHandle&) = delete;
  ~UrlHandle() { curl_url_cleanup(h); }
  std::string get(CURLUPart part, unsigned flags = 0) const {
    char* value = nullptr;
    if (curl_url_get(h, part, &value, flags) != CURLUE_OK || value == nullptr) return {};
    std::string out(value);
    curl_free(value);
    return out;
  }
};

struct Receiver {
  HttpResponse* response;
  size_t limit;
  const std::function<bool(std::string_view)>* sink = nullptr;  // for a 2xx body
  CURL* curl = nullptr;
  bool overflow = false;
};

bool success(CURL* curl) {
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return status >= 200 && status <= 299;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* receiver = static_cast<Receiver*>(user);
  size_t n = size * count;
  if (receiver->sink != nullptr && *receiver->sink && success(receiver->curl))
    return (*receiver->sink)(std::string_view(data, n)) ? n : 0;
  if (receiver->response->body.size() + n > receiver->limit) {
    receiver->overflow = true;
    return 0;  // makes curl stop with CURLE_WRITE_ERROR
  }
  receiver->response->body.append(data, n);
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* receiver = static_cast<Receiver*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  // A new status line (after a 100 Continue or an auth challenge) starts a
  // new set of headers.
  if (line.substr(0, 5) == "HTTP/") {
    receiver->response->headers.clear();
    return n;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  receiver->response->headers.emplace_back(lower(line.substr(0, colon)), std::string(value));
  return n;
}

TransportFailure classify(CURLcode code, bool overflow) {
  if (overflow) return TransportFailure::too_large;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return TransportFailure::timeout;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return TransportFailure::unreachable;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
      return TransportFailure::tls;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return TransportFailure::refused_url;
    default:
      return TransportFailure::other;
  }
}

// Basic goes with the first request, so a Basic server costs no extra round
// trip; a server that refuses it and offers Digest only gets Digest from
// then on.
bool asks_only_digest(const HttpResponse& response) {
  bool digest = false;
  for (const auto& [name, value] : response.headers) {
    if (name != "www-authenticate") continue;
    if (starts_with_nocase(value, "basic")) return false;
    if (starts_with_nocase(value, "digest")) digest = true;
  }
  return digest;
}

}  // namespace

std::string HttpResponse::header(std::string_view lower_name) const {
  for (const auto& [name, value] : headers)
    if (name == lower_name) return value;
  return {};
}

std::optional<UrlParts> parse_url(const std::string& url) {
  UrlHandle u;
  if (curl_url_set(u.h, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return std::nullopt;
  UrlParts parts;
  parts.scheme = lower(u.get(CURLUPART_SCHEME));
  parts.host = lower(u.get(CURLUPART_HOST));
  parts.port = u.get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if ((parts.scheme != "http" && parts.scheme != "https") || parts.host.empty()) return std::nullopt;
  parts.path = u.get(CURLUPART_PATH);
  parts.query = u.get(CURLUPART_QUERY);
  parts.fragment = u.get(CURLUPART_FRAGMENT);
  parts.userinfo = !u.get(CURLUPART_USER).empty() || !u.get(CURLUPART_PASSWORD).empty() ||
                   !u.get(CURLUPART_OPTIONS).empty();
  return parts;
}

std::string shown_url(const std::string& url) {
  UrlHandle u;
  if (curl_url_set(u.h, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    // Not a URL curl reads; whatever stands between "//" and "@" may still be a password.
    size_t slashes = url.find("//"), at = url.rfind('@');
    if (slashes != std::string::npos && at != std::string::npos && at > slashes)
      return url.substr(0, slashes + 2) + url.substr(at + 1);
    return url;
  }
  curl_url_set(u.h, CURLUPART_USER, nullptr, 0);
  curl_url_set(u.h, CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(u.h, CURLUPART_OPTIONS, nullptr, 0);
  return u.get(CURLUPART_URL);
}

std::string url_origin(const std::string& url) {
  UrlHandle u;
  if (curl_url_set(u.h, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  std::string scheme = lower(u.get(CURLUPART_SCHEME));
  std::string host = lower(u.get(CURLUPART_HOST));
  std::string port = u.get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (scheme.empty() || host.empty()) return {};
  return scheme + "://" + host + ":" + port;
}

namespace {

// A path made only of characters a URL holds as they are (percent-escapes
// whole), with no dot segment and no empty one: curl reads it as written.
bool plain(std::string_view path) {
  if (path.empty() || path[0] != '/') return false;
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size() || !std::isxdigit(static_cast<unsigned char>(path[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(path[i + 2])))
        return false;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) &&
               std::string_view("-._~!$&'()*+,;=:@/").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return path.find("/.") == std::string_view::npos && path.find("//") == std::string_view::npos;
}

// The path of "http(s)://host[:port]/path" with a plain path and a plain
// host: what curl would give, without the cost of curl's parse for each of
// a calendar's thousands of hrefs.
std::optional<std::string_view> plain_path(std::string_view url) {
  const size_t authority = starts_with_nocase(url, "http://") ? 7 : starts_with_nocase(url, "https://") ? 8 : 0;
  if (authority == 0) return std::nullopt;
  const size_t slash = url.find('/', authority);
  if (slash == std::string_view::npos || slash == authority) return std::nullopt;
  const std::string_view hostPort = url.substr(authority, slash - authority);
  const size_t colon = hostPort.find(':');
  const std::string_view host = hostPort.substr(0, colon);
  const std::string_view port = colon == std::string_view::npos ? std::string_view() : hostPort.substr(colon + 1);
  if (host.empty() || (colon != std::string_view::npos && (port.empty() || port.size() > 5))) return std::nullopt;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return std::nullopt;
  }
  long number = 0;
  for (char c : port) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number > 65535) return std::nullopt;
  const std::string_view path = url.substr(slash);
  if (!plain(path)) return std::nullopt;
  return path;
}

}  // namespace

std::string href_path(const std::string& url_or_path) {
  std::string path = url_or_path;
  if (auto plain = plain_path(path)) {
    path = std::string(*plain);
  } else if (starts_with_nocase(path, "http://") || starts_with_nocase(path, "https://")) {
    UrlHandle u;
    if (curl_url_set(u.h, CURLUPART_URL, path.c_str(), 0) != CURLUE_OK) return path;
    path = u.get(CURLUPART_PATH);
    std::string query = u.get(CURLUPART_QUERY);
    if (!query.empty()) path += "?" + query;
  }
  std::string out;
  out.reserve(path.size());
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 && hex(path[i + 2]) >= 0) {
      char c = static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~') {
        out += c;
      } else {
        out += '%';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(path[i + 1])));
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(path[i + 2])));
      }
      i += 2;
    } else {
      out += path[i];
    }
  }
  return out;
}

std::string resolve_url(const std::string& base, const std::string& reference) {
  // A multistatus resolves every href against one base: it is read once,
  // and a plain path (what servers list) goes after the base's origin as
  // curl writes it, without curl reading it again.
  thread_local std::string lastBase;
  thread_local UrlHandle parsedBase;
  thread_local bool baseParses = false;
  thread_local std::string origin;  // "scheme://authority" as curl writes the base
  if (base != lastBase || lastBase.empty()) {
    curl_url_cleanup(parsedBase.h);
    parsedBase.h = curl_url();
    baseParses = curl_url_set(parsedBase.h, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK;
    lastBase = base;
    origin.clear();
    if (baseParses) {
      const std::string written = parsedBase.get(CURLUPART_URL);
      const size_t scheme = written.find("://");
      const size_t path = scheme == std::string::npos ? std::string::npos : written.find('/', scheme + 3);
      if (path != std::string::npos) origin = written.substr(0, path);
    }
  }
  if (!baseParses) return {};
  if (!origin.empty() && plain(reference)) return origin + reference;
  UrlHandle u(curl_url_dup(parsedBase.h));
  if (u.h == nullptr || curl_url_set(u.h, CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return {};
  return u.get(CURLUPART_URL);
}

CurlTransport::CurlTransport(HttpSettings settings) : settings_(std::move(settings)), curl_(curl_easy_init()) {}

CurlTransport::~CurlTransport() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

void CurlTransport::allow_origin(const std::string& origin) {
  if (std::find(settings_.origins.begin(), settings_.origins.end(), origin) == settings_.origins.end())
    settings_.origins.push_back(origin);
}

HttpResponse CurlTransport::send(const HttpRequest& request) {
  // Checked here, for every request whatever its caller: the account's
  // credentials go with it, and a header line must stay one line.
  auto refuse = [](TransportFailure failure, std::string why) {
    HttpResponse refused;
    refused.failure = failure;
    refused.failure_text = std::move(why);
    return refused;
  };
  auto parts = parse_url(request.url);
  if (!parts) return refuse(TransportFailure::refused_url, "not an http or https URL: " + shown_url(request.url));
  if (parts->userinfo) return refuse(TransportFailure::refused_url, "a URL holding a user name or password, not sent");
  std::string origin = parts->scheme + "://" + parts->host + ":" + parts->port;
  if (std::find(settings_.origins.begin(), settings_.origins.end(), origin) == settings_.origins.end())
    return refuse(TransportFailure::refused_url, "not sent to " + origin + ", which is not the account's server");
  for (const auto& [name, value] : request.headers)
    if (name.find_first_of("\r\n:", 0, 3) != std::string::npos || value.find_first_of("\r\n\0", 0, 3) != std::string::npos)
      return refuse(TransportFailure::other, "a header that would not stay one line, not sent");

  HttpResponse response = send_once(request);
  if (!response.ok_transport() || response.status != 401) return response;
  if (!digest_ && settings_.password && asks_only_digest(response)) {
    digest_ = true;
    return send_once(request);
  }
  // A bearer token may have expired since it was asked for: one fresh one, one retry.
  if (settings_.bearer_token && settings_.renew_token && !renewed_) {
    renewed_ = true;
    std::optional<std::string> fresh = settings_.renew_token();
    if (!fresh) return response;
    settings_.bearer_token = std::move(fresh);
    return send_once(request);
  }
  return response;
}

HttpResponse CurlTransport::send_once(const HttpRequest& request) {
  const std::string& url = request.url;
  HttpResponse response;
  response.url = url;
  CURL* h = static_cast<CURL*>(curl_);
  if (h == nullptr) {
    response.failure = TransportFailure::other;
    response.failure_text = "curl could not start";
    return response;
  }
  auto timeout = settings_.request_timeout;
  if (settings_.deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*settings_.deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      response.failure = TransportFailure::timeout;
      response.failure_text = "the time for this operation ran out";
      return response;
    }
    timeout = std::min(timeout, left);
  }
  ++exchanges_;
  // A reset keeps the connection cache, so keep-alive survives between requests.
  curl_easy_reset(h);
  char error[CURL_ERROR_SIZE] = {};
  Receiver receiver{&response, settings_.max_body_bytes, &request.on_body, h};
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings_.connect_timeout.count()));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<long long>(1, timeout.count())));
  if (!settings_.use_environment_proxy) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings_.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, settings_.ca_file.c_str());
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_USERAGENT, "calbridge");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &receiver);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &receiver);
  // send() let only the account's origins through.
  if (!settings_.user.empty() && settings_.password) {
    curl_easy_setopt(h, CURLOPT_USERNAME, settings_.user.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, settings_.password->c_str());
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, digest_ ? CURLAUTH_DIGEST : CURLAUTH_BASIC);
  } else if (settings_.bearer_token) {
    curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, settings_.bearer_token->c_str());
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BEARER);
  }
  if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (!request.body.empty() || request.method == "PUT") {
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
  }
  curl_slist* list = nullptr;
  for (const auto& [name, value] : request.headers) list = curl_slist_append(list, (name + ": " + value).c_str());
  list = curl_slist_append(list, "Expect:");  // no 100-continue round trip
  if (!request.body.empty() && std::none_of(request.headers.begin(), request.headers.end(), [](const auto& p) {
        return lower(p.first) == "content-type";
      }))
    list = curl_slist_append(list, "Content-Type: application/octet-stream");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);

  CURLcode code = curl_easy_perform(h);
  curl_slist_free_all(list);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (code != CURLE_OK) {
    response.failure = classify(code, receiver.overflow);
    response.failure_text = error[0] != '\0' ? std::string(error) : std::string(curl_easy_strerror(code));
    return response;
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  return response;
}

}  // namespace calbridge::caldav
