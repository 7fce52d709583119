// The stored form of an event, shared by every store backend and the calendar
// file format, so neither depends on the other.
#pragma once

#include "calendar/store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// One extra start of a series (an RDATE): a date, a date-time or a period.
struct ExtraDate {
  // Wall seconds in the series' terms, as `excluded` (local midnight of a date
  // for an all-day series).
  std::int64_t wall = 0;
  // A period's own length in seconds; absent: the series' duration.
  std::optional<double> duration;
  friend bool operator==(const ExtraDate&, const ExtraDate&) = default;
};

// The occurrence a changed occurrence stands in for.
struct ReplacedOccurrence {
  // Its start by the rule, in wall seconds of the series' terms (as `excluded`).
  std::int64_t wall = 0;
  // RANGE=THISANDFUTURE: every later occurrence takes the change too.
  bool thisAndFuture = false;
};

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
  // RRULE parts other than UNTIL and COUNT; "" for an event that repeats only
  // by its extra dates (RDATE without RRULE).
  std::optional<std::string> rule;
  std::optional<double> until;  // in the same terms as start
  std::optional<std::int64_t> count;
  std::vector<std::int64_t> excluded;  // wall seconds of excluded occurrences
  // For a zoned series: whole days of its DURATION, which each occurrence spends
  // on the clock (its end has the start's wall time that many days later); the
  // rest of `end - start` is exact seconds. 0 for any other event.
  std::int64_t nominalDays = 0;
  // For a series: its RDATEs, sorted by start.
  std::vector<ExtraDate> extraDates;
  // For a changed occurrence (a VEVENT with RECURRENCE-ID): the occurrence of
  // the series of the same UID that it replaces. Its own start, end, title,
  // all-day flag and status are the fields above.
  std::optional<ReplacedOccurrence> recurrenceId;
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
  // That zone as the store reads the series (its `timeZone`): the name the
  // file's reader gave its DTSTART's TZID, which may be a Windows name, a
  // prefixed one, or a zone only its VTIMEZONE defines. Empty: the editor
  // reads the TZID by its name alone.
  std::string timeZone = {};
};

}  // namespace calbridge
