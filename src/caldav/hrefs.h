#pragma once
// Where the hrefs in a server's answers may point before anything is stored
// or sent there: an object directly inside its calendar collection, a
// calendar inside the calendar home, both on the same origin. Paths are
// compared as RFC 3986 (6.2.2) normalises them, so neither "..", nor "%2e%2e",
// nor an encoded slash leads out.

#include <string>
#include <string_view>

namespace calbridge::caldav {

// RFC 3986 5.2.4: "." and ".." segments resolved, as a server resolving the
// path would.
std::string remove_dot_segments(std::string_view path);

// The path of an absolute URL with percent-escapes of unreserved characters
// decoded, the others' hex digits upper-cased, and dot segments removed;
// empty when it does not parse, holds user information, a query or a fragment.
std::string normalized_path(const std::string& url);

// A calendar object directly inside the collection: one segment below it, on
// the same origin.
bool is_member_of(const std::string& calendar_url, const std::string& member_url);

// A collection below the calendar home (not the home itself), same origin.
bool is_inside_home(const std::string& home_url, const std::string& calendar_url);

}  // namespace calbridge::caldav
