// Reading calendar files: the frame first (frame.h), then libical's parse of
// what it left, then each VEVENT in the stored form of an event. An event that
// cannot be read is left out and counted, and the rest imported, as other
// programs read such files; only a file with no readable event is refused.
#include "ical/icalendar.h"

#include "calendar/civil_time.h"
#include "calendar/recurrence.h"
#include "ical/content_line.h"
#include "ical/frame.h"
#include "ical/libical_support.h"
#include "ical/long_lines.h"
#include "ical/repairs.h"
#include "ical/written_summaries.h"
#include "ical/zone_interpretation.h"
#include "ical/zone_matching.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <memory>
#include <map>
#include <set>

namespace calbridge {

namespace {

// A VEVENT as read from the file, before its times are placed in zones.
struct ReadEvent {
  std::string uid;
  bool ownUid = false;  // false: one made up for an event without UID
  int sequence = 0;
  std::optional<std::int64_t> stamp;  // DTSTAMP, UTC seconds
  std::string label;  // how messages name the event
  std::optional<std::string> title;
  EventStatus status = EventStatus::none;
  WrittenTime start;
  std::optional<WrittenTime> end;
  std::optional<icaldurationtype> duration;
  std::optional<std::string> rule;  // RRULE parts other than UNTIL and COUNT
  std::optional<WrittenTime> until;
  std::optional<std::int64_t> count;
  // Every RRULE after the first, each with its own end.
  struct Rule {
    std::string rule;
    std::optional<WrittenTime> until;
    std::optional<std::int64_t> count;
  };
  std::vector<Rule> moreRules;
  std::vector<WrittenTime> excluded;
  // RDATE values: a date or date-time, or a period (with its end or its duration).
  struct Extra {
    WrittenTime start;
    std::optional<WrittenTime> end;
    std::optional<icaldurationtype> duration;
  };
  std::vector<Extra> extraDates;
  // RECURRENCE-ID: the occurrence of the series of this UID that this one changes.
  std::optional<WrittenTime> recurrenceId;
  bool thisAndFuture = false;
  icalcomponent* component = nullptr;  // owned by the parsed file
};

EventStatus statusOf(icalproperty_status status) {
  switch (status) {
    case ICAL_STATUS_CONFIRMED: return EventStatus::confirmed;
    case ICAL_STATUS_TENTATIVE: return EventStatus::tentative;
    case ICAL_STATUS_CANCELLED: return EventStatus::cancelled;
    default: return EventStatus::none;
  }
}

class Reader {
 public:
  Reader(ZoneCache& zones, std::vector<std::optional<std::string>> summaries, const WrittenDefinitions& written)
      : zones_(zones), summaries_(std::move(summaries)), written_(written) {}

  // Reads every VEVENT of the calendars into `parsed`.
  void read(const std::vector<icalcomponent*>& calendars, ParsedCalendar& parsed);

  // The UIDs given to events without one, in the order of their VEVENTs.
  const std::vector<std::string>& madeUpUids() const { return madeUpUids_; }
  // By VEVENT in the order of the file: whether it became an event.
  const std::vector<bool>& taken() const { return taken_; }
  // Why the first event that could not be read was left out.
  const std::string& firstUnreadable() const { return firstUnreadable_; }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  std::nullopt_t refuse(std::string message) {
    error_ = std::move(message);
    return std::nullopt;
  }
  void leaveOut(LeftOut& leftOut) {
    if (leftOut.unreadableEvents++ == 0) firstUnreadable_ = error_;
  }

  struct Entry {
    ReadEvent event;
    std::size_t calendar;  // index into resolvers_
    std::size_t vevent;  // its place among the file's VEVENTs
    bool dropped = false;
  };
  void dropCopies(std::vector<Entry>& entries, LeftOut& leftOut);
  void floatUnknownZones(ReadEvent& event, ZoneResolver& resolver);

  // The event, or nothing when it cannot be read (`error_` says why).
  std::optional<ReadEvent> readEvent(icalcomponent* c, LeftOut& leftOut,
                                     const std::optional<std::string>* writtenSummary) {
    ReadEvent event;
    event.component = c;
    const char* uid = icalcomponent_get_uid(c);
    bool hasUid = uid != nullptr && *uid != '\0';
    event.uid = hasUid ? uid : newUuid();
    event.ownUid = hasUid;
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_SEQUENCE_PROPERTY)) {
      event.sequence = icalproperty_get_sequence(p);
    }
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_DTSTAMP_PROPERTY)) {
      if (auto stamp = writtenTime(icalproperty_get_dtstamp(p), nullptr)) event.stamp = stamp->wall;
    }
    event.label = hasUid ? "event \"" + event.uid + "\"" : "an event without UID";
    // Messages are one line; a UID is text and may hold a line break.
    std::replace_if(event.label.begin(), event.label.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    if (const char* repair = repairOf(c, leftOut.unreadableValues)) return refuse(std::string("malformed: ") + repair);
    for (auto [kind, name] : {std::pair{ICAL_DTSTART_PROPERTY, "DTSTART"}, std::pair{ICAL_DTEND_PROPERTY, "DTEND"},
                              std::pair{ICAL_DURATION_PROPERTY, "DURATION"}}) {
      if (icalcomponent_count_properties(c, kind) > 1) return refuse(event.label + " has more than one " + name);
    }
    icalproperty* start = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
    icalproperty* end = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY);
    icalproperty* duration = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY);
    if (start == nullptr) return refuse(event.label + " has no DTSTART");
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) {
      event.recurrenceId = writtenTime(icalproperty_get_recurrenceid(p), p);
      if (!event.recurrenceId) {
        return refuse(event.label + ": RECURRENCE-ID is not a real date in the years 1 to 9999");
      }
      if (icalparameter* range = icalproperty_get_first_parameter(p, ICAL_RANGE_PARAMETER)) {
        event.thisAndFuture = icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE;
      }
    }
    auto startTime = writtenTime(icalproperty_get_dtstart(start), start);
    if (!startTime) return refuse(event.label + ": DTSTART is not a real date in the years 1 to 9999");
    event.start = *startTime;
    if (end != nullptr && duration != nullptr) {
      duration = nullptr;  // RFC 5545 allows one of them; the end as written is kept
      ++leftOut.unreadableValues;
    }
    if (end != nullptr) {
      event.end = writtenTime(icalproperty_get_dtend(end), end);
      if (!event.end) return refuse(event.label + ": DTEND is not a real date in the years 1 to 9999");
      if (event.end->date != event.start.date) {
        // RFC 5545 3.6.1 wants DTSTART's value type; a writer that mixed them
        // meant the end's date, or its midnight in the start's terms.
        WrittenTime& t = *event.end;
        t.wall = floorDiv(t.wall, kDay) * kDay;
        t.date = event.start.date;
        t.utc = event.start.utc;
        t.tzid = event.start.tzid;
      }
    }
    if (duration != nullptr) event.duration = icalproperty_get_duration(duration);

    if (icalproperty* summary = icalcomponent_get_first_property(c, ICAL_SUMMARY_PROPERTY)) {
      const char* text = icalproperty_get_summary(summary);
      event.title = text != nullptr ? text : "";
      if (writtenSummary != nullptr && *writtenSummary && writtenAsRead(**writtenSummary, *event.title)) {
        event.title = **writtenSummary;
      }
    } else if (droppedEmptyProperty(c, "SUMMARY")) {
      event.title = "";  // an empty title, not none
    }
    if (icalproperty* status = icalcomponent_get_first_property(c, ICAL_STATUS_PROPERTY)) {
      event.status = statusOf(icalproperty_get_status(status));
    }

    int rules = 0;
    // A changed occurrence is one occurrence: whatever repeats is its series'.
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
         p != nullptr && !event.recurrenceId; p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      if (rules++ > 0) {
        // The occurrences are the union of every rule's (RFC 5545 3.8.5.3).
        ReadEvent more;
        more.label = event.label;
        if (!readRule(icalproperty_get_rrule(p), more)) return std::nullopt;
        event.moreRules.push_back(ReadEvent::Rule{*more.rule, more.until, more.count});
        continue;
      }
      if (!readRule(icalproperty_get_rrule(p), event)) return std::nullopt;
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
      auto excluded = writtenTime(icalproperty_get_exdate(p), p);
      if (!excluded) return refuse(event.label + ": an EXDATE is not a real date in the years 1 to 9999");
      event.excluded.push_back(*excluded);
    }

    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY);
         p != nullptr && !event.recurrenceId; p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
      const icaldatetimeperiodtype value = icalproperty_get_rdate(p);
      ReadEvent::Extra extra;
      std::optional<WrittenTime> at;
      if (!icaltime_is_null_time(value.time)) {
        at = writtenTime(value.time, p);
      } else {
        at = writtenTime(value.period.start, p);
        if (!icaltime_is_null_time(value.period.end)) {
          extra.end = writtenTime(value.period.end, p);
          if (!extra.end) at.reset();
        } else {
          extra.duration = value.period.duration;
        }
      }
      // A date that cannot be read adds no occurrence; the rest of the event stands.
      if (!at) {
        ++leftOut.unreadableValues;
        continue;
      }
      extra.start = *at;
      event.extraDates.push_back(std::move(extra));
    }
    // Without a rule or extra dates there is nothing to exclude from.
    if (event.recurrenceId || (!event.rule && event.extraDates.empty())) event.excluded.clear();

    leftOut.alarms += icalcomponent_count_components(c, ICAL_VALARM_COMPONENT);
    leftOut.attendees += icalcomponent_count_properties(c, ICAL_ATTENDEE_PROPERTY);
    leftOut.extraRules += icalcomponent_count_properties(c, ICAL_EXRULE_PROPERTY);
    // Empty ones (some programs write DESCRIPTION: on every event) lose nothing.
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_DESCRIPTION_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_DESCRIPTION_PROPERTY)) {
      const char* text = icalproperty_get_description(p);
      if (text != nullptr && *text != '\0') ++leftOut.descriptions;
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_LOCATION_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_LOCATION_PROPERTY)) {
      const char* text = icalproperty_get_location(p);
      if (text != nullptr && *text != '\0') ++leftOut.locations;
    }
    return event;
  }

  bool readRule(icalrecurrencetype rule, ReadEvent& event) {
    if (rule.freq == ICAL_NO_RECURRENCE) return fail(event.label + ": RRULE has no frequency");
    if (!icaltime_is_null_time(rule.until)) {
      event.until = writtenTime(rule.until, nullptr);
      if (!event.until) return fail(event.label + ": RRULE UNTIL is not a real date in the years 1 to 9999");
    }
    if (rule.count > 0) event.count = rule.count;
    rule.count = 0;
    rule.until = icaltime_null_time();
    std::string text = takeBuffer(icalrecurrencetype_as_string_r(&rule));
    icalerror_clear_errno();
    if (!ruleIsValid(text)) return fail(event.label + ": RRULE cannot be read");
    event.rule = std::move(text);
    return true;
  }

  // Tells the resolver which years each zone must be right in.
  void noteYears(const ReadEvent& event, ZoneResolver& resolver) {
    if (event.start.date) return;  // all-day events read only the dates of what they are given
    std::int64_t last = event.end ? std::max(event.end->wall, event.start.wall) : event.start.wall;
    auto lastOf = [&](const ReadEvent& ruled) {
      if (ruled.until) {
        last = std::max(last, ruled.until->wall);
      } else if (auto counted = lastCountedStart(ruled)) {
        last = std::max(last, *counted + (ruled.end ? ruled.end->wall - ruled.start.wall : 0));
      } else {
        // Open or counted: up to next year at least, where a series people still use runs.
        last = std::max(last, daysFromCivil(currentYear() + 1, 12, 31) * kDay);
      }
    };
    if (event.rule) lastOf(event);
    for (const ReadEvent::Rule& rule : event.moreRules) {
      ReadEvent ruled;
      ruled.start = event.start;
      ruled.end = event.end;
      ruled.rule = rule.rule;
      ruled.until = rule.until;
      ruled.count = rule.count;
      lastOf(ruled);
    }
    if (event.start.tzid) resolver.noteYears(*event.start.tzid, spanOf(event.start.wall, last));
    if (event.end && event.end->tzid) resolver.noteYears(*event.end->tzid, spanOf(event.end->wall, event.end->wall));
    for (const WrittenTime& t : event.excluded) {
      if (t.tzid) resolver.noteYears(*t.tzid, spanOf(t.wall, t.wall));
    }
    for (const ReadEvent::Extra& extra : event.extraDates) {
      if (extra.start.tzid) resolver.noteYears(*extra.start.tzid, spanOf(extra.start.wall, extra.start.wall));
      if (extra.end && extra.end->tzid) resolver.noteYears(*extra.end->tzid, spanOf(extra.end->wall, extra.end->wall));
    }
    if (event.recurrenceId && event.recurrenceId->tzid) {
      resolver.noteYears(*event.recurrenceId->tzid, spanOf(event.recurrenceId->wall, event.recurrenceId->wall));
    }
  }

  // The wall time of a counted series' last start, stepped in the written times.
  std::optional<std::int64_t> lastCountedStart(const ReadEvent& event) {
    if (!event.count || *event.count > 100000 || !event.rule) return std::nullopt;
    Series series;
    series.rule = *event.rule;
    series.start = static_cast<double>(event.start.wall);
    series.zone = &zones_.utc();
    series.count = event.count;
    std::optional<std::int64_t> last;
    bool expanded = expandSeries(series, static_cast<double>(kFirstMoment), static_cast<double>(kEndOfTime),
                                 [&](const Occurrence& o) {
                                   last = o.wall;
                                   return true;
                                 });
    if (!expanded) return std::nullopt;
    return last;
  }

  static YearSpan spanOf(std::int64_t fromWall, std::int64_t toWall) {
    YearSpan span;
    span.add(yearOf(fromWall));
    span.add(yearOf(toWall));
    return span;
  }

  // The day an all-day series ends by a UNTIL written in UTC (Outlook writes
  // these, though RFC 5545 wants a date): the local midnight that starts its
  // last day, where the writer was. For a writer up to 12 hours either side of
  // UTC that is the midnight nearest the instant, whatever zone reads the
  // file; 23:59 and later is taken as the end of its own day.
  static std::int64_t lastDayOfUtcUntil(std::int64_t utc) {
    const std::int64_t day = floorDiv(utc, kDay);
    const std::int64_t time = utc - day * kDay;
    if (time >= 23 * 3600 + 59 * 60) return day * kDay;
    return floorDiv(utc + kDay / 2, kDay) * kDay;
  }

  // The instant a date-time names: UTC as written, a TZID's time in that zone,
  // a floating time in the local zone.
  struct Placed {
    const Zone* zone;
    std::int64_t epoch;
  };
  std::optional<Placed> placeTime(const WrittenTime& t, ZoneResolver& resolver, const ReadEvent& event) {
    const Zone* zone = nullptr;
    if (t.utc) {
      zone = &zones_.utc();
    } else if (t.tzid) {
      std::string error;
      zone = resolver.resolve(*t.tzid, &error);
      if (zone == nullptr) return refuse(event.label + ": " + error);
    } else {
      zone = &zones_.local();
    }
    return Placed{zone, t.utc ? t.wall : wallToEpoch(*zone, t.wall)};
  }

  // A date or date-time that names an occurrence of `series` (EXDATE, RDATE,
  // RECURRENCE-ID) as the store keeps it: the wall time of the occurrence's
  // start in the series' zone, whatever zone or value type the file wrote it
  // in (local midnight for an all-day series; a date takes the series' time of day).
  std::optional<std::int64_t> wallInSeries(const ReadEvent& series, const StoredEvent& placed, const WrittenTime& t,
                                           ZoneResolver& resolver) {
    if (series.start.date) {
      if (t.date) return t.wall;
      if (t.utc) return floorDiv(epochToWall(zones_.local(), t.wall), kDay) * kDay;
      return floorDiv(t.wall, kDay) * kDay;
    }
    if (!placed.timeZone) {
      const std::int64_t start = series.start.wall;
      if (t.date) return t.wall + (start - floorDiv(start, kDay) * kDay);
      if (!t.utc && !t.tzid) return t.wall;
      auto at = placeTime(t, resolver, series);
      if (!at) return std::nullopt;
      return epochToWall(zones_.local(), at->epoch);
    }
    auto start = placeTime(series.start, resolver, series);
    if (!start) return std::nullopt;
    const std::int64_t startWall = epochToWall(*start->zone, start->epoch);
    if (t.date) return t.wall + (startWall - floorDiv(startWall, kDay) * kDay);
    auto at = placeTime(t, resolver, series);
    if (!at) return std::nullopt;
    return epochToWall(*start->zone, at->epoch);
  }

  std::optional<StoredEvent> place(const ReadEvent& event, ZoneResolver& resolver) {
    StoredEvent stored;
    stored.externalIdentifier = event.uid;
    stored.title = event.title;
    stored.status = event.status;
    stored.rule = event.rule;
    stored.count = event.count;
    std::int64_t nominal = 0;  // days and weeks of DURATION: wall-clock time
    std::int64_t exact = 0;  // its hours, minutes and seconds
    if (event.duration) {
      const icaldurationtype& d = *event.duration;
      nominal = (static_cast<std::int64_t>(d.weeks) * 7 + d.days) * kDay;
      exact = static_cast<std::int64_t>(d.hours) * 3600 + static_cast<std::int64_t>(d.minutes) * 60 + d.seconds;
      if (d.is_neg) {
        nominal = -nominal;
        exact = -exact;
      }
    }

    std::function<double(const WrittenTime&)> untilOf;
    if (event.start.date) {
      // All-day events float: wall seconds throughout.
      stored.allDay = true;
      std::int64_t start = event.start.wall;
      std::int64_t end = event.end ? event.end->wall : event.duration ? start + nominal + exact : start + kDay;
      stored.start = static_cast<double>(start);
      stored.end = static_cast<double>(end);
      // A date includes its day's occurrence, which starts at its midnight.
      untilOf = [](const WrittenTime& u) { return static_cast<double>(u.utc ? lastDayOfUtcUntil(u.wall) : u.wall); };
    } else if (!event.start.utc && !event.start.tzid) {
      // Floating: the same clock time wherever it is looked at (RFC 5545
      // 3.3.5), so wall seconds, read in the local zone only when listed.
      const Zone& local = zones_.local();
      auto wallOf = [&](const WrittenTime& t) -> std::optional<std::int64_t> {
        if (!t.utc && !t.tzid) return t.wall;
        auto placed = placeTime(t, resolver, event);
        if (!placed) return std::nullopt;
        return epochToWall(local, placed->epoch);
      };
      const std::int64_t start = event.start.wall;
      stored.start = static_cast<double>(start);
      if (event.end) {
        auto end = wallOf(*event.end);
        if (!end) return std::nullopt;
        stored.end = static_cast<double>(*end);
      } else {
        stored.end = static_cast<double>(start + nominal + exact);
      }
      untilOf = [in = &local](const WrittenTime& u) {
        if (u.date) return static_cast<double>(u.wall + kDay - 1);
        return static_cast<double>(u.utc ? epochToWall(*in, u.wall) : u.wall);
      };
    } else {
      auto start = placeTime(event.start, resolver, event);
      if (!start) return std::nullopt;
      const Zone& zone = *start->zone;
      stored.timeZone = zone.name;
      stored.start = static_cast<double>(start->epoch);
      const std::int64_t startWall = epochToWall(zone, start->epoch);
      if (event.end) {
        auto end = placeTime(*event.end, resolver, event);
        if (!end) return std::nullopt;
        stored.end = static_cast<double>(end->epoch);
      } else if (event.duration) {
        stored.end = static_cast<double>(wallToEpoch(zone, startWall + nominal) + exact);
        // Each occurrence keeps the days on its own clock (RFC 5545 3.8.5.3).
        if (event.rule && nominal > 0) stored.nominalDays = nominal / kDay;
      } else {
        stored.end = stored.start;
      }
      untilOf = [in = &zone](const WrittenTime& u) {
        if (u.date) return static_cast<double>(wallToEpoch(*in, u.wall + kDay - 1));
        if (u.utc) return static_cast<double>(u.wall);
        // Floating, as RFC 5545 has it for a floating start: read in the event's zone.
        return static_cast<double>(wallToEpoch(*in, u.wall));
      };
    }
    for (const WrittenTime& t : event.excluded) {
      auto excluded = wallInSeries(event, stored, t, resolver);
      if (!excluded) return std::nullopt;
      stored.excluded.push_back(*excluded);
    }
    for (const ReadEvent::Extra& extra : event.extraDates) {
      auto wall = wallInSeries(event, stored, extra.start, resolver);
      if (!wall) return std::nullopt;
      ExtraDate date{*wall, std::nullopt};
      if (extra.end) {
        const bool floating = !extra.start.utc && !extra.start.tzid && !extra.end->utc && !extra.end->tzid;
        if (floating) {
          date.duration = static_cast<double>(extra.end->wall - extra.start.wall);
        } else {
          auto from = placeTime(extra.start, resolver, event);
          auto to = from ? placeTime(*extra.end, resolver, event) : std::nullopt;
          if (!to) return std::nullopt;
          date.duration = static_cast<double>(to->epoch - from->epoch);
        }
      } else if (extra.duration) {
        date.duration = static_cast<double>(icaldurationtype_as_int(*extra.duration));
      }
      if (date.duration && *date.duration < 0) date.duration = 0.0;
      stored.extraDates.push_back(date);
    }
    std::sort(stored.extraDates.begin(), stored.extraDates.end(),
              [](const ExtraDate& a, const ExtraDate& b) { return a.wall < b.wall; });
    stored.extraDates.erase(std::unique(stored.extraDates.begin(), stored.extraDates.end(),
                                        [](const ExtraDate& a, const ExtraDate& b) { return a.wall == b.wall; }),
                            stored.extraDates.end());
    if (!stored.rule && !stored.extraDates.empty()) stored.rule = "";  // repeats by its extra dates alone
    if (event.until) stored.until = untilOf(*event.until);
    // A rule that makes nothing after the start (30 February) is found here,
    // once, and kept as what it amounts to: the start alone, COUNT=1. Listings
    // then never step through it looking for what does not come.
    auto barren = [&](const std::string& rule) {
      if (!writable(stored.start)) return false;
      Series series;
      series.rule = rule;
      series.start = stored.start;
      series.allDay = stored.allDay;
      series.floating = !stored.timeZone;
      series.zone = stored.timeZone ? zones_.find(*stored.timeZone) : &zones_.local();
      return yieldsNothingAfterStart(series);
    };
    if (event.rule && event.moreRules.empty() && barren(*event.rule)) {
      stored.count = 1;
      stored.until.reset();
    }
    if (!event.moreRules.empty() && event.rule) {
      // Each rule keeps its own end; the row's end is left for cutting the whole short.
      std::vector<Series::Rule> rules{{*event.rule, stored.until, event.count}};
      for (const ReadEvent::Rule& more : event.moreRules) {
        std::optional<double> until;
        if (more.until) until = untilOf(*more.until);
        if (until && !writable(*until)) return refuse(event.label + " lies outside the years 1 to 9999");
        rules.push_back(Series::Rule{more.rule, until, more.count});
      }
      for (Series::Rule& rule : rules) {
        if (barren(rule.rule)) rule = Series::Rule{rule.rule, std::nullopt, 1};
      }
      stored.rule = ruleSetText(rules);
      stored.until.reset();
      stored.count.reset();
    }
    if (stored.end < stored.start) {
      // An end before the start says nothing usable about the length.
      stored.end = stored.start;
      stored.nominalDays = 0;
      ++droppedEnds_;
    }
    if (!writable(stored.start) || !writable(stored.end) || (stored.until && !writable(*stored.until))) {
      return refuse(event.label + " lies outside the years 1 to 9999");
    }
    std::sort(stored.excluded.begin(), stored.excluded.end());
    stored.excluded.erase(std::unique(stored.excluded.begin(), stored.excluded.end()), stored.excluded.end());
    return stored;
  }

  ZoneCache& zones_;
  std::vector<std::optional<std::string>> summaries_;  // as written, by VEVENT in the file's order
  const WrittenDefinitions& written_;
  std::vector<std::unique_ptr<ZoneResolver>> resolvers_;  // one per VCALENDAR
  std::vector<std::string> madeUpUids_;
  std::vector<bool> taken_;
  std::set<std::string> unknownZones_;
  std::string error_;
  std::string firstUnreadable_;
  int droppedEnds_ = 0;  // ends before their start, not kept
};

void Reader::read(const std::vector<icalcomponent*>& calendars, ParsedCalendar& parsed) {
  LeftOut& leftOut = parsed.leftOut;
  std::vector<Entry> entries;
  std::size_t vevents = 0;
  for (icalcomponent* calendar : calendars) {
    const int ordinal = static_cast<int>(resolvers_.size());
    resolvers_.push_back(std::make_unique<ZoneResolver>(calendar, zones_, written_, ordinal));
    ZoneResolver& resolver = *resolvers_.back();
    // What libical repaired in the calendar's own properties decides nothing of an event.
    (void)repairOf(calendar, leftOut.unreadableValues, false);
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
      switch (icalcomponent_isa(c)) {
        case ICAL_VEVENT_COMPONENT: {
          const std::size_t index = vevents++;
          taken_.push_back(false);
          const std::optional<std::string>* written = index < summaries_.size() ? &summaries_[index] : nullptr;
          auto event = readEvent(c, leftOut, written);
          if (!event) {
            leaveOut(leftOut);
            break;
          }
          floatUnknownZones(*event, resolver);
          noteYears(*event, resolver);
          entries.push_back(Entry{std::move(*event), resolvers_.size() - 1, index});
          break;
        }
        case ICAL_VTIMEZONE_COMPONENT: {
          // A zone libical had to repair says something else than the file: events in it cannot be placed.
          icalproperty* id = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
          const char* tzid = id != nullptr ? icalproperty_get_tzid(id) : nullptr;
          if (repairOf(c, leftOut.unreadableValues) != nullptr && tzid != nullptr) resolver.setUnreadable(tzid);
          break;
        }
        // What is not kept cannot be wrong; its broken values still count.
        case ICAL_VTODO_COMPONENT: ++leftOut.toDos; (void)repairOf(c, leftOut.unreadableValues); break;
        case ICAL_VJOURNAL_COMPONENT: ++leftOut.journalEntries; (void)repairOf(c, leftOut.unreadableValues); break;
        default: ++leftOut.otherEntries; (void)repairOf(c, leftOut.unreadableValues); break;
      }
    }
  }
  parsed.unknownZones = static_cast<int>(unknownZones_.size());
  dropCopies(entries, leftOut);

  // Each event placed in its zones; the occurrence a change stands in for,
  // in its series' terms (with no series in its calendar, in its own).
  std::vector<std::optional<StoredEvent>> placed(entries.size());
  droppedEnds_ = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].dropped) continue;
    placed[i] = place(entries[i].event, *resolvers_[entries[i].calendar]);
    if (!placed[i]) leaveOut(leftOut);
  }
  leftOut.unreadableValues += droppedEnds_;
  std::map<std::pair<std::size_t, std::string>, std::size_t> seriesByUid;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (placed[i] && !entries[i].event.recurrenceId) seriesByUid.emplace(std::pair{entries[i].calendar, entries[i].event.uid}, i);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const ReadEvent& change = entries[i].event;
    if (!placed[i] || !change.recurrenceId) continue;
    auto series = seriesByUid.find({entries[i].calendar, change.uid});
    const std::size_t in = series != seriesByUid.end() ? series->second : i;
    auto wall = wallInSeries(entries[in].event, *placed[in], *change.recurrenceId, *resolvers_[entries[i].calendar]);
    if (!wall) {
      placed[i].reset();
      leaveOut(leftOut);
      continue;
    }
    placed[i]->recurrenceId = ReplacedOccurrence{*wall, change.thisAndFuture};
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!placed[i]) continue;
    taken_[entries[i].vevent] = true;
    if (!entries[i].event.ownUid) madeUpUids_.push_back(entries[i].event.uid);
    parsed.events.push_back(std::move(*placed[i]));
  }
}

// Copies of one event edited over time, as some programs export them: the
// newest stands (RFC 5546 2.1.4); of copies nothing tells apart, one that
// repeats another word for word goes, and so do those of an earlier
// VCALENDAR of the file (another message about the same event); copies in
// one VCALENDAR that differ all stay. Two changes of one occurrence cannot
// both stand: of equal versions, the last in the file does.
void Reader::dropCopies(std::vector<Entry>& entries, LeftOut& leftOut) {
  auto copyKey = [](const ReadEvent& event) {
    if (!event.recurrenceId) return event.uid;
    const WrittenTime& r = *event.recurrenceId;
    return event.uid + '\n' + std::to_string(r.wall) + (r.utc ? "Z" : "") + r.tzid.value_or("");
  };
  using Version = std::pair<int, std::optional<std::int64_t>>;
  std::map<std::string, std::vector<std::size_t>> copies;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].event.ownUid) copies[copyKey(entries[i].event)].push_back(i);
  }
  for (auto& [key, group] : copies) {
    if (group.size() < 2) continue;
    Version newest{std::numeric_limits<int>::min(), std::nullopt};
    for (std::size_t i : group) newest = std::max(newest, Version{entries[i].event.sequence, entries[i].event.stamp});
    std::vector<std::size_t> standing;
    for (std::size_t i : group) {
      if (Version{entries[i].event.sequence, entries[i].event.stamp} < newest) {
        entries[i].dropped = true;
        ++leftOut.olderCopies;
      } else {
        standing.push_back(i);
      }
    }
    if (standing.size() < 2) continue;
    // Of copies word for word the same, the last stands.
    std::vector<std::string> texts;
    for (std::size_t i : standing) texts.push_back(takeBuffer(icalcomponent_as_ical_string_r(entries[i].event.component)));
    std::vector<std::size_t> distinct;
    for (std::size_t k = 0; k < standing.size(); ++k) {
      if (std::find(texts.begin() + static_cast<std::ptrdiff_t>(k) + 1, texts.end(), texts[k]) != texts.end()) {
        entries[standing[k]].dropped = true;
        ++leftOut.duplicates;
      } else {
        distinct.push_back(standing[k]);
      }
    }
    const std::size_t lastCalendar = entries[distinct.back()].calendar;
    for (std::size_t k = 0; k + 1 < distinct.size(); ++k) {
      Entry& entry = entries[distinct[k]];
      if (entry.event.recurrenceId || entry.calendar != lastCalendar) {
        entry.dropped = true;
        ++leftOut.olderCopies;
      }
    }
    icalerror_clear_errno();
  }
}

// A TZID with neither a name calbridge knows nor a VTIMEZONE says nothing of
// where its times are: they are read as floating, as other programs read them.
void Reader::floatUnknownZones(ReadEvent& event, ZoneResolver& resolver) {
  auto floatIt = [&](std::optional<WrittenTime>& t) {
    if (t && t->tzid && !resolver.knows(*t->tzid)) {
      unknownZones_.insert(*t->tzid);
      t->tzid.reset();
    }
  };
  std::optional<WrittenTime> start = event.start;
  floatIt(start);
  event.start = *start;
  floatIt(event.end);
  floatIt(event.recurrenceId);
  for (WrittenTime& t : event.excluded) {
    std::optional<WrittenTime> one = t;
    floatIt(one);
    t = *one;
  }
  for (ReadEvent::Extra& extra : event.extraDates) {
    std::optional<WrittenTime> one = extra.start;
    floatIt(one);
    extra.start = *one;
    floatIt(extra.end);
  }
}

}  // namespace

std::string describe(const LeftOut& leftOut) {
  struct Kind {
    int LeftOut::*count;
    std::string_view one;
    std::string_view many;
  };
  static constexpr Kind kKinds[] = {
      {&LeftOut::alarms, "alarm", "alarms"},
      {&LeftOut::attendees, "attendee", "attendees"},
      {&LeftOut::extraRules, "extra rule", "extra rules"},
      {&LeftOut::descriptions, "description", "descriptions"},
      {&LeftOut::locations, "location", "locations"},
      {&LeftOut::toDos, "to-do", "to-dos"},
      {&LeftOut::journalEntries, "journal entry", "journal entries"},
      {&LeftOut::otherEntries, "other entry", "other entries"},
      {&LeftOut::olderCopies, "older copy", "older copies"},
      {&LeftOut::duplicates, "duplicate", "duplicates"},
      {&LeftOut::unreadableEvents, "unreadable event", "unreadable events"},
      {&LeftOut::unreadableValues, "unreadable value", "unreadable values"},
  };
  std::string text;
  for (const Kind& kind : kKinds) {
    int n = leftOut.*kind.count;
    if (n <= 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(n) + " ";
    text += n == 1 ? kind.one : kind.many;
  }
  return text;
}

ParsedCalendar parseICalendar(std::string_view text, ZoneCache& zones, ObjectTexts objectTexts) {
  ParsedCalendar parsed;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  Frame frame = checkFrame(text);
  parsed.leftOut.unreadableValues = frame.droppedLines;
  parsed.bareComponents = frame.bareComponents;
  if (!frame.error.empty()) {
    parsed.error = std::move(frame.error);
    return parsed;
  }

  // Malformed data must come back as an error, never end the process.
  icalerror_set_errors_are_fatal(0);
  // Without the VTIMEZONEs understood before in this run, and long lines made
  // short: zone_interpretation.h, long_lines.h.
  const WrittenDefinitions written(frame.cleaned);
  std::optional<std::string> forLibical = linesForLibical(written.forLibical(), &parsed.error);
  if (!forLibical) return parsed;
  OwnedComponent root(icalparser_parse_string(forLibical->c_str()));
  icalerror_clear_errno();
  if (!root) {
    parsed.error = "not an iCalendar file";
    return parsed;
  }
  std::vector<icalcomponent*> calendars;
  if (icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT) {
    calendars.push_back(root.get());
  } else {
    for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(root.get(), ICAL_ANY_COMPONENT)) {
      if (icalcomponent_isa(c) != ICAL_VCALENDAR_COMPONENT) {
        parsed.error = "not an iCalendar file";
        return parsed;
      }
      calendars.push_back(c);
    }
  }
  Reader reader(zones, writtenSummaries(frame.cleaned), written);
  reader.read(calendars, parsed);
  parsed.firstUnreadable = reader.firstUnreadable();
  // A file that holds events, none of which can be read, is refused for the first of them.
  if (parsed.events.empty() && parsed.leftOut.unreadableEvents > 0) {
    parsed.error = reader.firstUnreadable();
    return parsed;
  }
  if (objectTexts == ObjectTexts::kept) parsed.objects = keptObjects(frame.cleaned, reader.madeUpUids(), reader.taken());
  return parsed;
}

}  // namespace calbridge
