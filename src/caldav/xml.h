#pragma once
// WebDAV XML: a streaming reader for multistatus replies and builders for the
// request bodies. Elements are told apart by namespace URI and local name
// only; prefixes are whatever each server likes.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge::caldav {

inline constexpr std::string_view kDav = "DAV:";
inline constexpr std::string_view kCaldav = "urn:ietf:params:xml:ns:caldav";
inline constexpr std::string_view kApple = "http://apple.com/ns/ical/";
inline constexpr std::string_view kCalendarServer = "http://calendarserver.org/ns/";

struct QName {
  std::string_view ns;
  std::string_view name;
};

// An element somewhere below a property, flattened: resourcetype's
// <calendar/>, a privilege's <write/>, an href's text, a comp's name.
struct XmlElement {
  std::string ns, name;
  std::string text;       // its own character data, trimmed
  std::string name_attr;  // the "name" attribute (supported-calendar-component-set)
};

struct Property {
  std::string ns, name;
  std::string text;  // character data directly inside the property (CDATA included), untrimmed
  std::vector<XmlElement> descendants;

  bool is(QName q) const { return ns == q.ns && name == q.name; }
  bool has_descendant(QName q) const;
  // The first DAV:href below it, or empty.
  std::string href() const;
};

struct Propstat {
  int status = 0;  // from "HTTP/1.1 200 OK"; 0 if unreadable
  std::vector<Property> properties;
};

struct DavResponse {
  std::string href;
  int status = 0;  // the response's own status (sync-collection removals), 0 if none
  std::vector<Propstat> propstats;
  // The conditions its DAV:error names, as "ns name" (a 412 inside a 207
  // may say why: "urn:ietf:params:xml:ns:caldav no-uid-conflict").
  std::vector<std::string> errors;

  // The property with status 2xx, if the server gave it.
  const Property* find(QName q) const;
};

struct MultistatusResult {
  bool ok = false;
  std::string error;       // why it is not a multistatus we can read
  std::string sync_token;  // the multistatus-level DAV:sync-token (RFC 6578)
  size_t responses = 0;
};

// Reads a multistatus body, calling on_response once per DAV:response as it
// is completed, so no tree of the whole reply is ever built. Network access
// and entity substitution are off; a document type declaration is refused.
MultistatusResult parse_multistatus(std::string_view body, const std::function<void(DavResponse&&)>& on_response);

// The precondition and postcondition names inside a DAV:error body, as
// "ns name" ("DAV: valid-sync-token"); empty when it is not one.
std::vector<std::string> parse_error_conditions(std::string_view body);

// The properties ("ns name") a PROPPATCH or MKCALENDAR answer lists under a
// status other than 2xx, whatever its root element is called.
std::vector<std::string> failed_properties(std::string_view body);

// "HTTP/1.1 404 Not Found" -> 404; 0 when it does not read.
int parse_status_line(std::string_view line);

std::string xml_escape(std::string_view text);

// Request bodies.
std::string propfind_body(const std::vector<QName>& properties);
std::string sync_collection_body(std::string_view token, const std::vector<QName>& properties);
std::string calendar_multiget_body(const std::vector<std::string>& hrefs, bool with_data);
std::string mkcalendar_body(std::string_view display_name, std::string_view color);
std::string proppatch_body(QName property, std::string_view value);

}  // namespace calbridge::caldav
