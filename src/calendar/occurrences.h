// The occurrences of a window over several calendars, merged in the one order
// every backend lists them in. A backend feeds plain values (per calendar, its
// single events and its series with their changed occurrences) and fills
// each listed occurrence from its own records; it never orders anything.
//
// The order: by start, then end, then source: calendars in the order fed; in
// each, its single events in the order fed, then the changed occurrences of
// its series, then the occurrences of its series, each series in the order fed.
// Only what is pulled is ever made, and a series holds about one pending
// occurrence, so a listing costs what it sends, however many occurrences its
// series have: a caller that stops after its record cap pays for no more.
#pragma once

#include "calendar/recurrence.h"
#include "calendar/time_zone.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace calbridge {

// Epoch seconds, as a listing shows times.
struct TimeRange {
  double start = 0;
  double end = 0;
  friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

// Where a stored event's times lie: a floating event's wall seconds read in
// `local` (within the years 1 to 9999, where wall time is defined); any other
// event's times as they are.
inline TimeRange listedTimes(double start, double end, bool floating, const Zone& local) {
  if (floating && convertible(start) && convertible(end)) return {epochOf(local, start), epochOf(local, end)};
  return {start, end};
}

// A changed occurrence of a series (RECURRENCE-ID), listed where it now is in
// place of the occurrence it stands in for.
struct SeriesChange {
  TimeRange at;  // where it is now
  std::int64_t replacedWall = 0;  // the occurrence it stands in for, by the rule, in wall seconds (as Series::excluded)
  double replacedStart = 0;  // that occurrence's start, epoch seconds
};

// A series as a listing takes it. The series' `replaced` names the
// occurrences its changes stand in for, which it leaves out.
struct ListedSeries {
  const Series* series = nullptr;
  // A bound on the end of its last occurrence, in the terms of its start
  // (lastEndOf); absent: it does not end, or nobody knows where.
  std::optional<double> lastEnd;
  std::span<const SeriesChange> changes;
};

// What one calendar gives a listing. Single events come with their listed
// times, in start order as stored (floating ones may then be out of order by
// their offsets, which the merge mends); series in order of first start.
struct CalendarFeed {
  std::span<const TimeRange> singles;
  std::span<const ListedSeries> series;
};

// One listed occurrence; the indexes name what was fed.
struct ListedOccurrence {
  enum class Kind { single, change, occurrence };
  Kind kind = Kind::single;
  std::size_t calendar = 0;  // among the calendars
  std::size_t item = 0;  // among that calendar's singles (single) or series (change, occurrence)
  std::size_t change = 0;  // change: among the series' changes
  double start = 0, end = 0;
  // The start by the rule, which span-based removal names: for a change, that
  // of the occurrence it stands in for; otherwise `start`.
  double occurrenceDate = 0;
};

// The occurrences of the fed calendars overlapping [from, to): an occurrence
// overlaps when it starts before `to` and ends after `from`, or starts within
// the window (an instant at `from` counts). A change of an occurrence the
// series excludes is not listed (the occurrence is gone, RFC 5545 3.8.5.1); a
// series whose rule cannot be stepped through lists nothing. What is fed must
// outlive the merge.
class OccurrenceMerge {
 public:
  OccurrenceMerge(std::span<const CalendarFeed> calendars, double from, double to);
  OccurrenceMerge(const OccurrenceMerge&) = delete;
  OccurrenceMerge& operator=(const OccurrenceMerge&) = delete;

  // The next occurrence in listing order; nothing once all are listed.
  std::optional<ListedOccurrence> next();

 private:
  struct Placed {  // a single event or a change, placed as it is
    double start, end;
    std::uint64_t order;
    std::uint32_t calendar, item, change;  // change: kNoChange for a single event
  };
  struct Head {  // the next occurrence of one series
    double start, end;
    std::uint64_t order;
    std::uint32_t source;
  };
  struct Source {
    SeriesCursor cursor;
    const Series* series;
    std::uint32_t calendar, item;
    std::uint64_t order;
  };
  static constexpr std::uint32_t kNoChange = UINT32_MAX;
  // Puts the next occurrence of a series on the heap.
  void advance(std::uint32_t source);

  std::span<const CalendarFeed> calendars_;
  std::vector<Placed> placed_;
  std::size_t nextPlaced_ = 0;
  std::vector<Source> sources_;
  std::vector<Head> heads_;  // a heap, earliest on top
  // The head on top was listed last and its series not yet stepped on.
  bool stepped_ = false;
};

}  // namespace calbridge
