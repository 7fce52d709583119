// The stored form of an event, shared by every store backend and the calendar
// file format, so neither depends on the other.
#pragma once

#include "calendar/store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// An event as stored, with everything calendar file exchange needs.
struct StoredEvent {
  std::string calendarItemIdentifier;  // filled in when the event is stored
  std::string externalIdentifier;
  std::optional<std::string> title;
  // Epoch seconds; for a floating event (no time zone) wall seconds instead.
  double start = 0;
  double end = 0;
  bool allDay = false;
  EventStatus status = EventStatus::none;
  std::optional<std::string> timeZone;  // absent: floating
  std::optional<std::string> rule;  // RRULE parts other than UNTIL and COUNT
  std::optional<double> until;  // in the same terms as start
  std::optional<std::int64_t> count;
  std::vector<std::int64_t> excluded;  // wall seconds of excluded occurrences
  // For a zoned series: whole days of its DURATION, which each occurrence spends
  // on the clock (its end has the start's wall time that many days later); the
  // rest of `end - start` is exact seconds. 0 for any other event.
  std::int64_t nominalDays = 0;
};

// One edit of a series, in the terms an object's text can take it again after
// somebody else changed the object: each always applies.
struct ObjectEdit {
  enum class Kind {
    exclude,  // leave out the occurrence that starts at `wall` by the rule (its override goes too)
    endBefore,  // end the series before that occurrence (later overrides and exclusions go)
  };
  Kind kind = Kind::exclude;
  // The occurrence's start by the rule (its RECURRENCE-ID), in wall seconds of
  // the series' zone (local midnight for an all-day series).
  std::int64_t wall = 0;
};

}  // namespace calbridge
