// How a new event is kept: decided over values, so that every backend and the
// calendar file format store one new event alike.
#pragma once

#include "calendar/store.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <optional>

namespace calbridge {

// The stored form of `event`, a new event the commands built, or nothing when
// no store may keep it (no start or end, an end before its start, a time that
// is not finite or outside the years 1 to 9999 where it must become wall
// time, an unknown zone, a rule that steps by less than 1).
//
// A timed event keeps its instants in its zone (the process's local zone when it
// names none); an all-day event floats: its times become wall seconds of the
// local zone, and so does its rule's end. The result has no
// calendarItemIdentifier (the store gives one); its externalIdentifier is the
// event's, or a new UUID when the event has none.
std::optional<StoredEvent> storedFormOf(const Event& event, ZoneCache& zones);

}  // namespace calbridge
