// Edits of one calendar object's iCalendar text (a VCALENDAR holding the
// VEVENTs of one UID: the series and its changed occurrences) that touch only
// the properties an edit concerns, so that everything else the text holds
// (descriptions, alarms, attendees, X- properties, other overrides) stays as
// it came. Text only: no libical, so the store can use it.
#pragma once

#include "calendar/stored_event.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace calbridge {

class ZoneCache;

// `text` with each edit applied in order; nothing when the text is not one
// object that holds a series these edits can apply to. `zones` converts a
// RECURRENCE-ID written in another zone than the series' DTSTART.
std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones);

}  // namespace calbridge
