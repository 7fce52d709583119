// Calendars on the server of a WebDAV collection account, made and removed
// through EDS's own WebDAV client with the account's stored credentials, as
// Evolution's own calendar browser does: EDS's generic collection has no
// remote create or delete of its own. EDS lists a new calendar, and drops a
// removed one, when the collection next looks at the server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

typedef struct _ESourceRegistry ESourceRegistry;
typedef struct _ESource ESource;
typedef struct _GCancellable GCancellable;

namespace calbridge {

// Makes a calendar for events in the account's calendar home (found from the
// collection's calendar URL); its path on the server. `color` "#rrggbb" or
// empty. Nothing, with why in `problem`, when the server refused or could not
// be reached.
std::optional<std::string> makeCollectionCalendar(ESourceRegistry* registry, ESource* collection,
                                                  const std::string& title, const std::string& color,
                                                  GCancellable* cancellable, std::string& problem);

// Removes the calendar at `path` on the account's server, with its events.
bool removeCollectionCalendar(ESourceRegistry* registry, ESource* collection, const std::string& path,
                              GCancellable* cancellable, std::string& problem);

// True when two server paths name one collection (a final slash aside, escapes decoded).
bool samePath(std::string_view a, std::string_view b);

}  // namespace calbridge
