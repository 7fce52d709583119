#pragma once
// WebDAV XML: a streaming reader for multistatus replies and builders for the
// request bodies. Elements are told apart by namespace URI and local name
// only; prefixes are whatever each server likes.

#include <functional>
#include <memory>
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
  // Its text or its elements passed the reader's limits: calendar data is
  // then dropped whole (empty), other text cut at the limit, the elements
  // past the limit left out.
  bool too_long = false;

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

// What one multistatus reader keeps at most, so that its memory is bounded by
// what is asked for, not by what a server sends.
struct MultistatusLimits {
  size_t data = 4u << 20;           // a CALDAV:calendar-data property's text (an object's size)
  size_t text = 64u << 10;          // any other property's own text
  size_t element_text = 4u << 10;   // an href, a status, an element inside a property
  size_t descendants = 256;         // elements inside one property; also DAV:error conditions
};

// Reads a multistatus body piece by piece as it arrives, calling on_response
// once per DAV:response as it is completed, so neither the body nor a tree of
// it is ever held. Only the properties in `wanted` are kept (the others are
// skipped unread), each within the limits. Network access and entity
// substitution are off; a document type declaration is refused.
class MultistatusReader {
 public:
  MultistatusReader(const std::vector<QName>& wanted, std::function<void(DavResponse&&)> on_response,
                    MultistatusLimits limits = {});
  ~MultistatusReader();
  MultistatusReader(const MultistatusReader&) = delete;
  MultistatusReader& operator=(const MultistatusReader&) = delete;

  // The next piece of the body; false once it cannot be read (finish says why).
  bool feed(std::string_view piece);
  // After the last piece.
  MultistatusResult finish();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A whole body at once.
MultistatusResult parse_multistatus(std::string_view body, const std::vector<QName>& wanted,
                                    const std::function<void(DavResponse&&)>& on_response,
                                    MultistatusLimits limits = {});

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
