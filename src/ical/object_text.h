// The text of a new calendar object, for an event made here that goes to a
// CalDAV server: written without libical, so that the store can make it.
#pragma once

#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstdint>
#include <optional>
#include <string>

namespace calbridge {

// The text of a new object for `event` (a series or a single event, not a
// changed occurrence): what a calendar program writes for one made by its
// user, `now` its DTSTAMP. Its zone's VTIMEZONE holds the zone's current
// yearly rule, which is the one in force from now on; a zone without one is
// named by its TZID alone. Nothing when a time cannot be written.
std::optional<std::string> objectTextOf(const StoredEvent& event, ZoneCache& zones, std::int64_t now);

}  // namespace calbridge
