// What editing a repeating event means, decided over values; a store only
// applies the plan to its rows.
#pragma once

#include "calendar/recurrence.h"
#include "calendar/store.h"

#include <cstdint>

namespace calbridge {

// Starts closer than this are the same occurrence.
inline constexpr double kSameMoment = 0.001;

// True when a series that ends has no occurrence left; an endless series, or
// one counted past what is worth walking, is never empty.
bool nothingLeft(const Series& series);

// How many occurrences the rule makes before the one at `wall` (wall seconds),
// exclusions and extra dates aside: what a COUNT has used up there. Nothing
// when that takes more than `maxSteps` occurrences to find out.
std::optional<std::int64_t> madeBefore(const Series& series, std::int64_t wall, std::int64_t maxSteps);

struct RemovalPlan {
  enum class Kind {
    none,  // no occurrence starts there (or the rule cannot be expanded): change nothing
    removeAll,  // the series goes, rather than stay with nothing to show
    exclude,  // leave out the one occurrence at `wall`
    endBefore,  // end the series before the occurrence at `wall`: `ended` is what stays
  };
  Kind kind = Kind::none;
  std::int64_t wall = 0;  // the found occurrence's start by the rule, in wall seconds
  Series ended;  // for endBefore: until set, count dropped, later exclusions, extra dates and replacements gone
};

// Removing the occurrence that starts at `occurrenceStart` (epoch seconds), and
// with `Span::futureEvents` every later one too. `series` is left as it was
// (it is only borrowed to try an exclusion in place). `changesStay`: changed
// occurrences or parts split off the series stay with it, so removing its last
// occurrence by the rule excludes that one rather than removing the series.
RemovalPlan planRemoval(Series& series, double occurrenceStart, Span span, bool changesStay = false);

}  // namespace calbridge
