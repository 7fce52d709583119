// Edits of one calendar object's iCalendar text (a VCALENDAR holding the
// VEVENTs of one UID: the series and its changed occurrences) that touch only
// the properties an edit concerns, so that everything else the text holds
// (descriptions, alarms, attendees, X- properties, other overrides) stays as
// it came. Text only: no libical, so the store can use it.
#pragma once

#include "calendar/stored_event.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

class ZoneCache;

// `text` with each edit applied in order; nothing when the text is not one
// object that holds a series these edits can apply to. `zones` converts a
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

// The text of one calendar object as a file brought it: a VCALENDAR with the
// file's VERSION and PRODID, the VTIMEZONEs its events name, and every VEVENT
// of that UID, each line as it came.
struct KeptObject {
  std::string uid;
  std::string text;
};

// The objects of `text` (one or more VCALENDARs), by UID in the order they
// first appear; components other than events make none. The VEVENTs without a
// UID take those of `madeUpUids` in turn, written into their text (so the event
// and its text stay one object); one beyond them makes none.
std::vector<KeptObject> keptObjects(std::string_view text, std::span<const std::string> madeUpUids = {});

// `calendar` (one VCALENDAR) with the VEVENTs of each of `objects` added at its
// end, and their VTIMEZONEs, each TZID once (the first definition of it wins).
std::string joinedCalendar(std::string_view calendar, std::span<const std::string> objects);

// The text of a new object for `event` (a series or a single event, not a
// changed occurrence): what a calendar program writes for one made by its
// user, `now` its DTSTAMP. Its zone's VTIMEZONE holds the zone's current
// yearly rule, which is the one in force from now on; a zone without one is
// named by its TZID alone. Nothing when a time cannot be written.
std::optional<std::string> objectTextOf(const StoredEvent& event, ZoneCache& zones, std::int64_t now);

}  // namespace calbridge
