#include "caldav/hrefs.h"

#include "caldav/http.h"

namespace calbridge::caldav {
namespace {

bool same_origin(const UrlParts& a, const UrlParts& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

// What stays below `parent` (with its trailing slash) in `path`; nullopt when
// path is not below it. A segment that some server would read as a path
// separator (an encoded slash, a backslash) does not count as one segment.
std::optional<std::string> below(std::string parent, const std::string& path) {
  if (parent.empty() || path.empty()) return std::nullopt;
  if (parent.back() != '/') parent += '/';
  if (path.size() <= parent.size() || path.compare(0, parent.size(), parent) != 0) return std::nullopt;
  std::string rest = path.substr(parent.size());
  if (rest.find('\\') != std::string::npos || rest.find("%2F") != std::string::npos ||
      rest.find("%5C") != std::string::npos || rest.find("%00") != std::string::npos)
    return std::nullopt;
  return rest;
}

}  // namespace

std::string remove_dot_segments(std::string_view path) {
  std::string in(path), out;
  auto drop_last = [&out] {
    size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  size_t i = 0;
  while (i < in.size()) {
    std::string_view rest = std::string_view(in).substr(i);
    if (rest.substr(0, 3) == "../") {
      i += 3;
    } else if (rest.substr(0, 2) == "./") {
      i += 2;
    } else if (rest.substr(0, 3) == "/./") {
      i += 2;
    } else if (rest == "/.") {
      in.replace(i, 2, "/");
    } else if (rest.substr(0, 4) == "/../") {
      i += 3;
      drop_last();
    } else if (rest == "/..") {
      in.replace(i, 3, "/");
      drop_last();
    } else if (rest == "." || rest == "..") {
      i = in.size();
    } else {
      size_t end = in.find('/', i + 1);
      if (end == std::string::npos) end = in.size();
      out.append(in, i, end - i);
      i = end;
    }
  }
  return out;
}

namespace {

// A URL's parts with its normalized path (empty as normalized_path says).
struct Located {
  UrlParts parts;
  std::string path;
};

std::optional<Located> locate(const std::string& url) {
  auto parts = parse_url(url);
  if (!parts) return std::nullopt;
  Located located{std::move(*parts), {}};
  const UrlParts& p = located.parts;
  if (!p.userinfo && p.query.empty() && p.fragment.empty()) located.path = remove_dot_segments(href_path(p.path));
  return located;
}

}  // namespace

std::string normalized_path(const std::string& url) {
  auto located = locate(url);
  return located ? located->path : std::string();
}

bool is_member_of(const std::string& calendar_url, const std::string& member_url) {
  // Every member of a calendar is checked against it in turn: it is read once.
  thread_local std::string lastCalendar;
  thread_local std::optional<Located> calendar;
  if (calendar_url != lastCalendar || lastCalendar.empty()) {
    calendar = locate(calendar_url);
    lastCalendar = calendar_url;
  }
  auto member = locate(member_url);
  if (!calendar || !member || !same_origin(calendar->parts, member->parts)) return false;
  auto name = below(calendar->path, member->path);
  return name && name->find('/') == std::string::npos;
}

bool is_inside_home(const std::string& home_url, const std::string& calendar_url) {
  auto home = parse_url(home_url), calendar = parse_url(calendar_url);
  if (!home || !calendar || !same_origin(*home, *calendar)) return false;
  auto rest = below(normalized_path(home_url), normalized_path(calendar_url));
  return rest && *rest != "/";
}

}  // namespace calbridge::caldav
