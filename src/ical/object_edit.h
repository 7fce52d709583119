// Edits of one calendar object's iCalendar text (a VCALENDAR holding the
// VEVENTs of one UID: the series and its changed occurrences) that touch only
// the properties an edit concerns, so that everything else the text holds
// (descriptions, alarms, attendees, X- properties, other overrides) stays as
// it came. Text only: no libical, so the store can use it. Values and TZIDs
// are read as the file reader reads them (content_line, zone_names).
#pragma once

#include "calendar/stored_event.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace calbridge {

class ZoneCache;

// `text` with each edit applied in order; nothing when the text is not one
// object that holds a series these edits can apply to, or an edit cannot be
// written into it: then nothing of it is applied. `zones` converts a
// RECURRENCE-ID written in another zone than the series' DTSTART.
//
// An edited series is marked revised as calendar programs mark their user's
// changes: SEQUENCE one higher (RFC 5545 counts changes of RRULE and EXDATE as
// revisions, and a reader choosing between two copies of one UID, this
// program's import among them, keeps the higher), DTSTAMP and LAST-MODIFIED
// the time of the edit. Nothing else of the text changes.
std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones);
// The same at `now` (epoch seconds) rather than the clock's time.
std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones,
                                      std::int64_t now);

}  // namespace calbridge
