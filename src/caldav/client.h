#pragma once
// CalDAV requests over an HttpTransport: discovery, listing, RFC 6578
// sync-collection, calendar-multiget, and the writes, each read strictly.
// Every function throws Error when the server's answer is not the one that
// means success; the transport is borrowed, never owned.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "caldav/http.h"

namespace calbridge::caldav {

enum class ErrorKind {
  unreachable,          // connection refused or dropped, TLS refused
  timeout,              // the request's time or the deadline ran out
  unauthorized,         // 401: wrong user name or password
  forbidden,            // 403
  not_found,            // 404 or 410
  not_caldav,           // answers, but not as a CalDAV server
  precondition_failed,  // 412 (If-Match / If-None-Match), also inside a 207
  uid_conflict,         // 409 CALDAV:no-uid-conflict
  rejected,             // any other status that is not success
  bad_reply,            // a reply we cannot read (not XML, truncated, missing items)
  other_origin,         // leads to a server the account's credentials do not go to
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, std::string message, long status = 0)
      : std::runtime_error(std::move(message)), kind_(kind), status_(status) {}
  ErrorKind kind() const { return kind_; }
  long status() const { return status_; }

 private:
  ErrorKind kind_;
  long status_;
};

struct RemoteCalendar {
  std::string url;  // absolute
  std::string title;
  std::string color;  // as the server keeps it (#RRGGBB or #RRGGBBAA); empty for none
  bool writable = true;
  bool events = true;  // holds VEVENTs (no component set given means any)
  std::string sync_token;
  std::string ctag;
};

struct Discovery {
  std::string principal_url;  // empty when not found (a bare calendar URL)
  std::string home_url;       // empty when the URL given is one calendar
  std::vector<RemoteCalendar> calendars;  // event calendars inside the home only
  // Every origin discovery sent requests (and credentials) to, the URL's own first.
  std::vector<std::string> origins;
};

struct Member {
  std::string url;  // absolute
  std::string etag;  // in its valid form (server_text.h), or empty
  std::string data;  // iCalendar text when the server sent it along; else empty
};

struct SyncChanges {
  std::vector<Member> changed;
  std::vector<std::string> removed;  // absolute URLs
  std::string token;
  bool truncated = false;  // 507 on the collection: ask again with the new token
  size_t outside = 0;      // hrefs left out: not directly inside the calendar
};

struct FetchedObject {
  std::string url;
  std::string etag;  // in its valid form, or empty
  std::string data;  // iCalendar text
};

struct Fetched {
  std::vector<FetchedObject> objects;
  std::vector<std::string> gone;  // 404 when fetched: removed since it was listed
};

struct WriteResult {
  long status = 0;
  std::string etag;
  std::string url;  // where the object or collection is
  bool color_kept = true;  // MKCALENDAR: false when the server would not keep the color
};

// The thrown Error for a transport failure or an HTTP status that is not
// success; exposed so callers of their own requests answer alike.
[[noreturn]] void fail(const HttpResponse& response, const std::string& what);

// From any URL the way clients do: the URL itself, then /.well-known/caldav
// (RFC 6764) on its server, current-user-principal, calendar-home-set, the
// home's calendars. A URL that is itself a calendar gives that calendar only.
// Each step asks only what it needs. A redirect or an href that leads to
// another origin is taken only as may_move (origins.h) allows, and then that
// origin is allowed on the transport; any other is thrown as other_origin,
// naming it.
Discovery discover(HttpTransport& http, const std::string& url);

// The calendars in a home (Depth 1), event calendars inside it only (the
// others counted in *outside); or, with single = true, the one calendar at
// url (Depth 0). A server that will not answer the calendars' properties
// for the whole home (DAViCal on its principal collection) is asked for the
// collections first and then at each calendar.
std::vector<RemoteCalendar> list_calendars(HttpTransport& http, const std::string& url, bool single = false,
                                           size_t* outside = nullptr);

// Every object directly inside a calendar with its ETag (PROPFIND Depth 1);
// hrefs that lead elsewhere are counted in *outside.
std::vector<Member> list_members(HttpTransport& http, const std::string& calendar_url, size_t* outside = nullptr);

// RFC 6578 with a stored token (empty: from the start). With with_data the
// calendar data is asked for along with the ETags, so a server that answers
// it (Radicale, Xandikos) needs no second request; a member without whole
// data must still be fetched. Throws Error with kind rejected/forbidden/
// not_found/bad_reply for anything that is not a readable 207; the caller
// takes any of those as "token no longer valid".
SyncChanges sync_collection(HttpTransport& http, const std::string& calendar_url, const std::string& token,
                            bool with_data = false);

// The objects' texts: calendar-multiget in batches of batch_size, or one GET
// each when batch_size is 0. Throws when an object asked for is neither in
// the answer nor gone.
Fetched fetch_objects(HttpTransport& http, const std::string& calendar_url, const std::vector<std::string>& urls,
                      size_t batch_size);

// PUT of one object: create only (If-None-Match: *) when if_match is empty,
// else replace exactly that version. Succeeds only on 200, 201 or 204 with an
// ETag (taken from the answer, or asked for with a PROPFIND after it).
WriteResult put_object(HttpTransport& http, const std::string& url, const std::string& icalendar,
                       const std::string& if_match);
// DELETE of one object, with If-Match when given; 200 or 204.
WriteResult delete_object(HttpTransport& http, const std::string& url, const std::string& if_match);
// MKCALENDAR at url (under the home) with a title and a color (may be empty).
// A server that will not take the color with MKCALENDAR (Xandikos says 404
// for it) gets it with a PROPPATCH after; if that fails too the calendar
// stays, without color, and color_kept says so.
WriteResult make_calendar(HttpTransport& http, const std::string& url, const std::string& title,
                          const std::string& color);
// DELETE of a whole calendar collection.
WriteResult delete_calendar(HttpTransport& http, const std::string& url);

}  // namespace calbridge::caldav
