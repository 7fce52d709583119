// The series a stored event makes, and where its last occurrence ends:
// decided over values, so that every backend expands a stored event alike.
#pragma once

#include "calendar/recurrence.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstdint>
#include <optional>

namespace calbridge {

// The series of `event`, with its exclusions (sorted) and extra dates. A
// floating event follows the local zone of `zones`; a zone `zones` cannot find
// is UTC. A day count outside the years 1 to 9999 is no event a store wrote,
// and is read as none.
Series seriesOf(const StoredEvent& event, ZoneCache& zones);

// A bound on the end of the series' last occurrence, in the terms of its
// start: from UNTIL, from COUNT (walked at most 100,000 steps) or, for a
// series of extra dates alone, from those. Nothing when the series does not
// end or its end is too far to walk: such a series is never left out of a window.
std::optional<double> lastEndOf(const Series& series);

// The wall seconds of the series' first start: its zone's wall time, or the
// time itself for a floating series.
std::int64_t wallOfStart(const Series& series);

// The start (epoch seconds) of the occurrence that `wall` names by the rule,
// with the fraction of a second the series starts at.
double occurrenceStartAt(const Series& series, std::int64_t wall);

// How far a part split off a series (see series_split.h) moved its
// occurrences, in wall seconds: its first start less `originalWall`, the
// original start of that first occurrence. 0 for a start beyond the years 1 to 9999.
std::int64_t partShift(const Series& part, std::int64_t originalWall);

}  // namespace calbridge
