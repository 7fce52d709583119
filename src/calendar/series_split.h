// Changed occurrences tied to their series, and series split where a change
// holds for every later occurrence (RANGE=THISANDFUTURE, RFC 5545 3.8.4.7):
// decided over values, so that every backend stores and writes them alike.
//
// A split series is kept as parts: the series ends before the change, and the
// change starts a series of its own with the rest of the occurrences, moved by
// as much as the change moved its own. Written out, the series is whole again,
// with the changes beside it that say where each part begins.
#pragma once

#include "calendar/recurrence.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace calbridge {

// The rules of a series of several RRULEs (`series.rules`) for the part of it
// that a change of the occurrence at `wall` (wall seconds) splits off: each
// rule's COUNT less what it made before, plus one where it does not make
// that occurrence itself (the part's start is every rule's first), and its
// UNTIL moved by `shift` seconds as the part's occurrences move; a rule
// used up by then is gone. Nothing when that takes more than `maxSteps`
// occurrences to find out.
std::optional<std::vector<Series::Rule>> rulesAfterSplit(const Series& series, std::int64_t wall, double shift,
                                                         std::int64_t maxSteps);

// Ties each changed occurrence among `events` to the series of its UID
// (compared by canonical equivalence), splitting a series at each
// THISANDFUTURE change. Returns, for each event, the index of the series or
// part it belongs to: a part names the series it was split from, a change of
// one occurrence the part that holds it (its `wall` then in that part's terms).
// A change without its series becomes an event of its own; a single event with
// changes becomes a series of its start alone (rule ""); a THISANDFUTURE change
// after which nothing is left changes one occurrence.
std::vector<std::optional<std::size_t>> linkChanges(std::vector<StoredEvent>& events, ZoneCache& zones);

// The other way: each series split into parts (`parents` as linkChanges gives
// them, a part's `recurrenceId` its original start) takes back the end,
// exclusions and extra dates of its parts in its own terms, and the changes of
// a part name their occurrences by their original starts again. The parts stay
// as they are, beside the series.
void rejoinSplits(std::vector<StoredEvent>& events, const std::vector<std::optional<std::size_t>>& parents,
                  ZoneCache& zones);

}  // namespace calbridge
