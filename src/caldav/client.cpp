#include "caldav/client.h"

#include <algorithm>
#include <cctype>
#include <unordered_map>

#include "caldav/hrefs.h"
#include "caldav/origins.h"
#include "caldav/server_text.h"
#include "caldav/xml.h"

namespace calbridge::caldav {
namespace {

constexpr QName kResourceType{kDav, "resourcetype"};
constexpr QName kDisplayName{kDav, "displayname"};
constexpr QName kPrincipal{kDav, "current-user-principal"};
constexpr QName kPrivileges{kDav, "current-user-privilege-set"};
constexpr QName kSyncToken{kDav, "sync-token"};
constexpr QName kEtag{kDav, "getetag"};
constexpr QName kHome{kCaldav, "calendar-home-set"};
constexpr QName kComponents{kCaldav, "supported-calendar-component-set"};
constexpr QName kCalendarData{kCaldav, "calendar-data"};
constexpr QName kColor{kApple, "calendar-color"};
constexpr QName kCtag{kCalendarServer, "getctag"};

const std::vector<QName>& calendar_properties() {
  static const std::vector<QName> properties{kResourceType, kDisplayName, kColor,     kComponents,
                                             kPrivileges,   kSyncToken,   kCtag};
  return properties;
}

std::string trim(std::string_view text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(b, e - b + 1));
}

// XML turns every CRLF in character data into LF (CDATA sections excepted),
// so calendar data comes back with the line ends iCalendar requires.
std::string crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// A body cut short in a well-framed answer (an HTTP/1.0 server that closes
// early, a proxy) would otherwise be stored with the ETag of the whole
// object, and no later sync would fetch it again.
bool whole_calendar(std::string_view data) {
  std::string text = trim(data);
  size_t first_end = text.find_first_of("\r\n");
  size_t last_start = text.find_last_of("\r\n");
  std::string_view first = std::string_view(text).substr(0, first_end);
  std::string_view last =
      last_start == std::string::npos ? std::string_view(text) : std::string_view(text).substr(last_start + 1);
  return iequals(first, "BEGIN:VCALENDAR") && iequals(last, "END:VCALENDAR");
}

const Headers& xml_headers() {
  static const Headers headers{{"Content-Type", "application/xml; charset=utf-8"}};
  return headers;
}

struct Multistatus {
  std::string url;  // where it came from, after redirects
  std::string sync_token;
  std::vector<DavResponse> responses;
};

Multistatus read_multistatus(const HttpResponse& response, const std::string& what) {
  if (!response.ok_transport() || response.status != 207) fail(response, what);
  Multistatus out;
  out.url = response.url;
  auto parsed = parse_multistatus(response.body, [&](DavResponse&& r) { out.responses.push_back(std::move(r)); });
  if (!parsed.ok) throw Error(ErrorKind::bad_reply, what + ": " + parsed.error, response.status);
  out.sync_token = parsed.sync_token;
  return out;
}

HttpRequest propfind_request(const std::string& url, const char* depth, const std::vector<QName>& properties) {
  HttpRequest request{"PROPFIND", url, xml_headers(), propfind_body(properties)};
  request.headers.emplace_back("Depth", depth);
  return request;
}

Multistatus propfind(HttpTransport& http, const std::string& url, const char* depth,
                     const std::vector<QName>& properties) {
  return read_multistatus(http.send(propfind_request(url, depth, properties)), "PROPFIND " + shown_url(url));
}

bool is_calendar(const DavResponse& r) {
  const Property* type = r.find(kResourceType);
  return type != nullptr && type->has_descendant({kCaldav, "calendar"});
}

bool is_collection(const DavResponse& r) {
  const Property* type = r.find(kResourceType);
  return type != nullptr && type->has_descendant({kDav, "collection"});
}

// The calendar at url (its href, resolved and checked by the caller), with
// what it says of itself cleaned as the store keeps its own.
RemoteCalendar calendar_from(const DavResponse& r, const std::string& url) {
  RemoteCalendar c;
  c.url = url;
  if (const Property* p = r.find(kDisplayName)) c.title = display_text(p->text);
  if (const Property* p = r.find(kColor)) c.color = valid_color(p->text);
  if (const Property* p = r.find(kSyncToken)) c.sync_token = valid_token(p->text);
  if (const Property* p = r.find(kCtag)) c.ctag = valid_token(p->text);
  // Without the ACL property a server states no limits; clients take that as writable.
  if (const Property* p = r.find(kPrivileges))
    c.writable = p->has_descendant({kDav, "write"}) || p->has_descendant({kDav, "all"}) ||
                 p->has_descendant({kDav, "write-content"});
  if (const Property* p = r.find(kComponents)) {
    c.events = std::any_of(p->descendants.begin(), p->descendants.end(), [](const XmlElement& e) {
      return e.ns == kCaldav && e.name == "comp" && iequals(e.name_attr, "VEVENT");
    });
  }
  return c;
}

bool same_resource(const std::string& a, const std::string& b) {
  std::string pa = href_path(a), pb = href_path(b);
  auto strip = [](std::string& s) {
    if (s.size() > 1 && s.back() == '/') s.pop_back();
  };
  strip(pa);
  strip(pb);
  return pa == pb;
}

bool is_redirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool stops_discovery(const Error& e) {
  return e.kind() == ErrorKind::unauthorized || e.kind() == ErrorKind::unreachable ||
         e.kind() == ErrorKind::timeout || e.kind() == ErrorKind::other_origin;
}

// One discovery: the origins it may send to, and what the URLs that led
// nowhere answered, for the message when nothing is found.
struct Walk {
  HttpTransport& http;
  std::vector<std::string> origins;
  std::vector<std::string> answers;
};

// Discovery goes on from `from` to `to`: on the same origin, or where
// may_move allows, which the transport is then told.
void step(Walk& walk, const std::string& from, const std::string& to) {
  std::string origin = url_origin(to);
  if (origin.empty())
    throw Error(ErrorKind::bad_reply, shown_url(from) + " leads to " + shown_url(to) + ", not an http or https URL");
  if (std::find(walk.origins.begin(), walk.origins.end(), origin) != walk.origins.end()) return;
  if (!may_move(from, to))
    throw Error(ErrorKind::other_origin,
                shown_url(from) + " leads to another server, " + origin +
                    ", and the account's credentials go only to the server it is added with (https may move to "
                    "https within the same domain); if that server is your account's, add the account from that "
                    "URL: " + shown_url(to));
  walk.http.allow_origin(origin);
  walk.origins.push_back(origin);
}

// PROPFIND Depth 0 for these properties, following redirects as step allows.
Multistatus ask(Walk& walk, std::string url, const std::vector<QName>& properties) {
  constexpr int kMaxRedirects = 5;
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    HttpResponse response = walk.http.send(propfind_request(url, "0", properties));
    if (!response.ok_transport() || !is_redirect(response.status))
      return read_multistatus(response, "PROPFIND " + shown_url(url));
    std::string location = response.header("location");
    std::string next = location.empty() ? std::string() : resolve_url(url, location);
    if (next.empty())
      throw Error(ErrorKind::bad_reply,
                  "PROPFIND " + shown_url(url) + ": HTTP " + std::to_string(response.status) + " with no usable Location",
                  response.status);
    step(walk, url, next);
    url = next;
  }
  throw Error(ErrorKind::bad_reply, "PROPFIND " + shown_url(url) + ": too many redirects");
}

// What one PROPFIND of a candidate URL told us.
struct Probe {
  std::string url;  // after redirects
  std::string principal;
  std::string home;
  bool calendar = false;
};

std::optional<Probe> probe(Walk& walk, const std::string& url) {
  Multistatus ms;
  try {
    ms = ask(walk, url, {kResourceType, kPrincipal, kHome});
  } catch (const Error& e) {
    // A server may well refuse PROPFIND on a page that is not a collection;
    // only the failures that say something about the account end discovery.
    if (stops_discovery(e)) throw;
    walk.answers.push_back(e.what());
    return std::nullopt;
  }
  if (ms.responses.empty()) {
    walk.answers.push_back("PROPFIND " + shown_url(ms.url) + ": no properties in the answer");
    return std::nullopt;
  }
  const DavResponse& r = ms.responses.front();
  Probe p;
  p.url = ms.url;
  if (const Property* q = r.find(kPrincipal); q && !q->href().empty()) p.principal = resolve_url(ms.url, q->href());
  if (const Property* q = r.find(kHome); q && !q->href().empty()) p.home = resolve_url(ms.url, q->href());
  p.calendar = is_calendar(r);
  return p;
}

bool is_root(const std::string& url) {
  std::string path = href_path(url);
  return path.empty() || path == "/";
}

}  // namespace

void fail(const HttpResponse& response, const std::string& what) {
  switch (response.failure) {
    case TransportFailure::none:
      break;
    case TransportFailure::timeout:
      throw Error(ErrorKind::timeout, what + ": no answer in time");
    case TransportFailure::refused_url:
      throw Error(ErrorKind::other_origin, what + ": " + response.failure_text);
    default:
      throw Error(ErrorKind::unreachable, what + ": " + response.failure_text);
  }
  long s = response.status;
  std::string status = what + ": HTTP " + std::to_string(s);
  if (s == 401)
    throw Error(ErrorKind::unauthorized, status + ": the server refused the user name or password (or token)", s);
  if (s == 403) throw Error(ErrorKind::forbidden, status + " forbidden", s);
  if (s == 404 || s == 410) throw Error(ErrorKind::not_found, status + " not found", s);
  if (s == 412) throw Error(ErrorKind::precondition_failed, status + ": changed on the server", s);
  if (s == 409) {
    for (const auto& c : parse_error_conditions(response.body))
      if (c == std::string(kCaldav) + " no-uid-conflict")
        throw Error(ErrorKind::uid_conflict, status + ": the UID is already used by another object", s);
  }
  if (s == 405 || s == 501) throw Error(ErrorKind::not_caldav, status + ": the server does not do this", s);
  throw Error(ErrorKind::rejected, status, s);
}

Discovery discover(HttpTransport& http, const std::string& url) {
  Walk walk{http, {}, {}};
  std::string origin = url_origin(url);
  if (origin.empty() || has_userinfo(url))
    throw Error(ErrorKind::not_caldav, shown_url(url) + " is not an http or https URL without user information");
  http.allow_origin(origin);
  walk.origins.push_back(origin);
  std::string well_known = resolve_url(url, "/.well-known/caldav");
  std::vector<std::string> candidates;
  if (is_root(url)) {
    candidates = {well_known, url};
  } else {
    candidates = {url, well_known};
  }
  Discovery d;
  for (const auto& candidate : candidates) {
    if (candidate.empty()) continue;
    auto p = probe(walk, candidate);
    if (!p) continue;
    if (p->calendar) {
      // Its own properties, asked where it is.
      d.principal_url = p->principal;
      d.calendars = list_calendars(http, p->url, true);
      d.origins = walk.origins;
      return d;
    }
    std::string home = p->home, from = p->url;
    if (home.empty() && !p->principal.empty()) {
      step(walk, p->url, p->principal);
      auto q = probe(walk, p->principal);
      if (q) {
        home = q->home;
        from = q->url;
      }
    }
    if (home.empty()) {
      walk.answers.push_back(shown_url(p->url) + ": no calendar home");
      continue;
    }
    step(walk, from, home);
    d.principal_url = p->principal;
    d.home_url = home;
    d.calendars = list_calendars(http, home);
    d.origins = walk.origins;
    return d;
  }
  std::string message = "no CalDAV calendars found at " + shown_url(url);
  for (size_t i = 0; i < walk.answers.size(); ++i) message += (i == 0 ? " (" : "; ") + walk.answers[i];
  if (!walk.answers.empty()) message += ")";
  throw Error(ErrorKind::not_caldav, message);
}

std::vector<RemoteCalendar> list_calendars(HttpTransport& http, const std::string& url, bool single,
                                           size_t* outside) {
  std::vector<RemoteCalendar> out;
  if (single) {
    Multistatus ms = propfind(http, url, "0", calendar_properties());
    for (const auto& r : ms.responses) {
      if (!is_calendar(r)) continue;
      RemoteCalendar c = calendar_from(r, url);
      if (c.events) out.push_back(std::move(c));
      break;
    }
    return out;
  }
  size_t skipped = 0;
  auto inside = [&](const DavResponse& r, std::string* calendar) {
    if (!is_calendar(r)) return false;
    *calendar = resolve_url(url, r.href);
    if (same_resource(*calendar, url)) return false;
    if (is_inside_home(url, *calendar)) return true;
    ++skipped;
    return false;
  };
  Multistatus ms;
  try {
    ms = propfind(http, url, "1", calendar_properties());
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::rejected && e.kind() != ErrorKind::forbidden && e.kind() != ErrorKind::bad_reply)
      throw;
    // Which collections are calendars, then each one's properties where it is.
    Multistatus collections = propfind(http, url, "1", {kResourceType});
    for (const auto& r : collections.responses) {
      std::string calendar;
      if (!inside(r, &calendar)) continue;
      for (auto& c : list_calendars(http, calendar, true)) out.push_back(std::move(c));
    }
    if (outside != nullptr) *outside = skipped;
    return out;
  }
  for (const auto& r : ms.responses) {
    std::string calendar;
    if (!inside(r, &calendar)) continue;
    RemoteCalendar c = calendar_from(r, calendar);
    if (c.events) out.push_back(std::move(c));
  }
  if (outside != nullptr) *outside = skipped;
  return out;
}

std::vector<Member> list_members(HttpTransport& http, const std::string& calendar_url, size_t* outside) {
  Multistatus ms = propfind(http, calendar_url, "1", {kEtag, kResourceType});
  std::vector<Member> out;
  out.reserve(ms.responses.size());
  size_t skipped = 0;
  for (const auto& r : ms.responses) {
    std::string member = resolve_url(calendar_url, r.href);
    if (same_resource(member, calendar_url) || is_collection(r)) continue;
    const Property* etag = r.find(kEtag);
    if (etag == nullptr) continue;
    if (!is_member_of(calendar_url, member)) {
      ++skipped;
      continue;
    }
    out.push_back({member, valid_etag(etag->text), {}});
  }
  if (outside != nullptr) *outside = skipped;
  return out;
}

SyncChanges sync_collection(HttpTransport& http, const std::string& calendar_url, const std::string& token,
                            bool with_data) {
  std::vector<QName> properties{kEtag};
  if (with_data) properties.push_back(kCalendarData);
  HttpRequest request{"REPORT", calendar_url, xml_headers(), sync_collection_body(token, properties)};
  const std::string what = "sync-collection " + shown_url(calendar_url);
  Multistatus ms = read_multistatus(http.send(request), what);
  SyncChanges out;
  for (const auto& r : ms.responses) {
    std::string member = resolve_url(calendar_url, r.href);
    if (same_resource(member, calendar_url)) {
      if (r.status == 507) out.truncated = true;
      continue;
    }
    if (!is_member_of(calendar_url, member)) {
      ++out.outside;
      continue;
    }
    const Property* etag = r.find(kEtag);
    bool gone = r.status == 404 || r.status == 410;
    if (!gone && etag == nullptr)
      gone = std::any_of(r.propstats.begin(), r.propstats.end(), [](const Propstat& ps) { return ps.status == 404; });
    if (gone) {
      out.removed.push_back(member);
    } else if (etag != nullptr) {
      const Property* data = r.find(kCalendarData);
      std::string text = data != nullptr ? crlf(data->text) : std::string();
      if (!whole_calendar(text)) text.clear();
      out.changed.push_back({member, valid_etag(etag->text), std::move(text)});
    }
  }
  out.token = valid_token(ms.sync_token);
  if (out.token.empty()) throw Error(ErrorKind::bad_reply, what + ": no new token (or one too long to keep)");
  return out;
}

Fetched fetch_objects(HttpTransport& http, const std::string& calendar_url, const std::vector<std::string>& urls,
                      size_t batch_size) {
  Fetched out;
  if (batch_size == 0) {
    for (const auto& url : urls) {
      HttpResponse r = http.send({"GET", url, {}, {}});
      if (r.ok_transport() && (r.status == 404 || r.status == 410)) {
        out.gone.push_back(url);
        continue;
      }
      if (!r.ok_transport() || r.status != 200) fail(r, "GET " + shown_url(url));
      if (!whole_calendar(r.body))
        throw Error(ErrorKind::bad_reply, "GET " + shown_url(url) + ": not a whole iCalendar object");
      out.objects.push_back({url, valid_etag(r.header("etag")), std::move(r.body)});
    }
    return out;
  }
  for (size_t first = 0; first < urls.size(); first += batch_size) {
    size_t last = std::min(urls.size(), first + batch_size);
    std::vector<std::string> hrefs;
    std::unordered_map<std::string, std::string> wanted;  // path -> url asked for
    for (size_t i = first; i < last; ++i) {
      hrefs.push_back(href_path(urls[i]));
      wanted.emplace(hrefs.back(), urls[i]);
    }
    HttpRequest request{"REPORT", calendar_url, xml_headers(), calendar_multiget_body(hrefs, true)};
    request.headers.emplace_back("Depth", "1");
    HttpResponse response = http.send(request);
    std::string what = "calendar-multiget " + shown_url(calendar_url);
    if (!response.ok_transport() || response.status != 207) fail(response, what);
    bool incomplete = false;
    auto parsed = parse_multistatus(response.body, [&](DavResponse&& r) {
      auto it = wanted.find(href_path(resolve_url(calendar_url, r.href)));
      if (it == wanted.end()) return;
      const Property* data = r.find(kCalendarData);
      if (data != nullptr) {
        if (!whole_calendar(data->text)) {
          incomplete = true;
          return;
        }
        const Property* etag = r.find(kEtag);
        out.objects.push_back({it->second, etag ? valid_etag(etag->text) : std::string(), crlf(data->text)});
        wanted.erase(it);
      } else if (r.status == 404 || r.status == 410 ||
                 std::any_of(r.propstats.begin(), r.propstats.end(),
                             [](const Propstat& ps) { return ps.status == 404; })) {
        out.gone.push_back(it->second);
        wanted.erase(it);
      }
    });
    if (!parsed.ok) throw Error(ErrorKind::bad_reply, what + ": " + parsed.error, response.status);
    if (incomplete) throw Error(ErrorKind::bad_reply, what + ": calendar data that is not a whole iCalendar object");
    if (!wanted.empty())
      throw Error(ErrorKind::bad_reply, what + ": " + std::to_string(wanted.size()) + " objects missing from the answer");
  }
  return out;
}

WriteResult put_object(HttpTransport& http, const std::string& url, const std::string& icalendar,
                       const std::string& if_match) {
  HttpRequest request{"PUT", url, {{"Content-Type", "text/calendar; charset=utf-8"}}, icalendar};
  if (if_match.empty())
    request.headers.emplace_back("If-None-Match", "*");
  else
    request.headers.emplace_back("If-Match", if_match);
  HttpResponse response = http.send(request);
  std::string what = "PUT " + shown_url(url);
  if (response.ok_transport() && response.status == 207) {
    // Some servers wrap a failed precondition in a multistatus; it is never a success.
    bool precondition = false;
    parse_multistatus(response.body, [&](DavResponse&& r) {
      if (r.status == 412) precondition = true;
      for (const auto& ps : r.propstats)
        if (ps.status == 412) precondition = true;
    });
    if (precondition) throw Error(ErrorKind::precondition_failed, what + ": changed on the server", 412);
    throw Error(ErrorKind::rejected, what + ": a multistatus instead of a stored object", 207);
  }
  // 200 too: RFC 9110 lets a server answer it for a resource it replaced.
  if (!response.ok_transport() || (response.status != 200 && response.status != 201 && response.status != 204))
    fail(response, what);
  WriteResult out{response.status, valid_etag(response.header("etag")), url};
  if (out.etag.empty()) {
    Multistatus ms = propfind(http, url, "0", {kEtag});
    for (const auto& r : ms.responses)
      if (const Property* e = r.find(kEtag)) out.etag = valid_etag(e->text);
    if (out.etag.empty()) throw Error(ErrorKind::bad_reply, what + ": stored, but the server gives no ETag for it");
  }
  return out;
}

WriteResult delete_object(HttpTransport& http, const std::string& url, const std::string& if_match) {
  HttpRequest request{"DELETE", url, {}, {}};
  if (!if_match.empty()) request.headers.emplace_back("If-Match", if_match);
  HttpResponse response = http.send(request);
  if (!response.ok_transport() || (response.status != 200 && response.status != 204))
    fail(response, "DELETE " + shown_url(url));
  return {response.status, {}, url};
}

WriteResult make_calendar(HttpTransport& http, const std::string& url, const std::string& title,
                          const std::string& color) {
  HttpRequest request{"MKCALENDAR", url, xml_headers(), mkcalendar_body(title, color)};
  HttpResponse response = http.send(request);
  if (!response.ok_transport() || response.status != 201) fail(response, "MKCALENDAR " + shown_url(url));
  WriteResult out{response.status, {}, url};
  if (color.empty()) return out;
  auto failed = failed_properties(response.body);
  if (std::find(failed.begin(), failed.end(), std::string(kApple) + " calendar-color") == failed.end()) return out;
  HttpRequest patch{"PROPPATCH", url, xml_headers(), proppatch_body(kColor, color)};
  HttpResponse patched = http.send(patch);
  out.color_kept = patched.ok_transport() && patched.status == 207 && failed_properties(patched.body).empty();
  return out;
}

WriteResult delete_calendar(HttpTransport& http, const std::string& url) {
  HttpResponse response = http.send({"DELETE", url, {}, {}});
  if (!response.ok_transport() || (response.status != 200 && response.status != 204))
    fail(response, "DELETE " + shown_url(url));
  return {response.status, {}, url};
}

}  // namespace calbridge::caldav
