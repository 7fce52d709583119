// What a calendar file's own VTIMEZONE means, worked out once per run.
//
// Every object a CalDAV server hands out carries the VTIMEZONE of each zone
// it names, and libical expands a VTIMEZONE's rules anew for every object
// that carries one: ten thousand events in one zone cost ten thousand
// expansions, where one would do. These remember, for the process's
// lifetime, what each distinct definition was found to mean, and read a
// definition's offsets once per year.
#pragma once

#include "calendar/time_zone.h"

#include <libical/ical.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace calbridge {

// A zone's UTC offset (seconds east) at an instant (UTC seconds).
using OffsetAt = std::function<int(std::int64_t)>;

// A defined zone's offsets, as libical reads them, found once per calendar
// year and then looked up: a change is found to the second, two changes
// within one day count as one (as everywhere a definition is compared).
// `defined` must outlive what is returned.
OffsetAt yearlyOffsets(icaltimezone* defined);

// The key of one interpretation: the TZID, the years its events use (what a
// definition is compared over), and the definition's own text.
std::string interpretationKey(std::string_view tzid, int firstYear, int lastYear, icalcomponent* definition);

// What an earlier object's identical definition was found to mean, made
// known to `zones` (a zone of the file's own is added to it): the zone, or
// null when the definition could not be read. Nothing when never seen.
std::optional<const Zone*> knownInterpretation(const std::string& key, ZoneCache& zones);
// Remembers what the definition under `key` means (null: it cannot be read).
// The memory is bounded: past it, nothing more is remembered.
void rememberInterpretation(std::string key, const Zone* zone);

}  // namespace calbridge
