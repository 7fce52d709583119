#include "caldav/origins.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include "caldav/http.h"

namespace calbridge::caldav {
namespace {

bool is_ip_address(const std::string& host) {
  if (!host.empty() && host.front() == '[') return true;
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1;
}

// The newest list the system has (Debian's publicsuffix package), else the
// one built into libpsl; loaded once and kept for the process.
const psl_ctx_t* suffix_list() {
  static const psl_ctx_t* const list = [] {
    const psl_ctx_t* latest = psl_latest(nullptr);
    return latest != nullptr ? latest : psl_builtin();
  }();
  return list;
}

}  // namespace

bool has_userinfo(const std::string& url) {
  auto parts = parse_url(url);
  if (parts) return parts->userinfo;
  // Not a URL curl reads: an "@" after the scheme's "//" and before the path
  // may still be one.
  size_t start = url.find("//");
  if (start == std::string::npos) return false;
  size_t end = url.find_first_of("/?#", start + 2);
  return url.find('@', start + 2) < end;
}

std::string registrable_domain(const std::string& host) {
  if (host.empty() || is_ip_address(host)) return {};
  const psl_ctx_t* list = suffix_list();
  if (list == nullptr) return {};
  std::string name = host;
  if (name.back() == '.') name.pop_back();  // "example.com." is example.com
  const char* domain = psl_registrable_domain(list, name.c_str());
  return domain != nullptr ? std::string(domain) : std::string();
}

bool may_move(const std::string& from_url, const std::string& to_url) {
  auto from = parse_url(from_url), to = parse_url(to_url);
  if (!from || !to || to->userinfo) return false;
  if (from->scheme == to->scheme && from->host == to->host && from->port == to->port) return true;
  if (from->scheme != "https" || to->scheme != "https") return false;
  std::string domain = registrable_domain(from->host);
  return !domain.empty() && domain == registrable_domain(to->host);
}

}  // namespace calbridge::caldav
