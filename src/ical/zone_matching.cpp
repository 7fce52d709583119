#include "ical/zone_matching.h"

#include "calendar/civil_time.h"
#include "ical/content_line.h"
#include "ical/libical_support.h"
#include "ical/zone_names.h"
#include "ical/zone_offsets.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string_view>
#include <vector>

namespace calbridge {

int currentYear() { return yearOf(static_cast<std::int64_t>(std::time(nullptr))); }

namespace {

// The offsets of a zone a file defines only by its VTIMEZONE, which libical
// reads: once per year, as every year is asked for again and again.
OffsetAt offsetsOf(icaltimezone* defined) { return yearlyOffsets(defined); }

// Whether libical had to mend anything in a component: a definition so is
// never left out of what libical reads, as reading it again is what tells of
// the mending.
bool repaired(icalcomponent* component) {
  if (icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY) != nullptr) return true;
  for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
    if (repaired(c)) return true;
  }
  return false;
}

// The yearly change an open-ended STANDARD or DAYLIGHT rule makes, as a POSIX
// rule writes it: FREQ=YEARLY in one month, on its nth or last weekday (also
// written as a weekday in a span of seven month days, as older files do).
std::optional<PosixZoneRule::Change> yearlyChange(std::string_view rule, const icaltimetype& start) {
  static constexpr std::string_view kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  PosixZoneRule::Change change;
  change.kind = PosixZoneRule::Change::Kind::monthWeekDay;
  bool yearly = false;
  int firstMonthDay = 0;
  auto number = [](std::string_view text) -> std::optional<int> {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    return n;
  };
  while (!rule.empty()) {
    auto semicolon = rule.find(';');
    std::string_view part = rule.substr(0, semicolon);
    rule.remove_prefix(semicolon == std::string_view::npos ? rule.size() : semicolon + 1);
    auto equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = part.substr(0, equals);
    std::string_view value = part.substr(equals + 1);
    if (name == "FREQ") {
      yearly = value == "YEARLY";
    } else if (name == "INTERVAL") {
      if (value != "1") return std::nullopt;
    } else if (name == "BYMONTH") {
      auto month = number(value);
      if (!month || *month < 1 || *month > 12) return std::nullopt;
      change.month = *month;
    } else if (name == "BYDAY") {
      if (value.size() < 2) return std::nullopt;
      std::string_view day = value.substr(value.size() - 2);
      std::string_view ordinal = value.substr(0, value.size() - 2);
      auto found = std::find(std::begin(kDays), std::end(kDays), day);
      if (found == std::end(kDays)) return std::nullopt;
      change.weekday = static_cast<int>(found - std::begin(kDays));
      if (ordinal == "-1") {
        change.week = 5;
      } else if (!ordinal.empty()) {
        auto n = number(ordinal.front() == '+' ? ordinal.substr(1) : ordinal);
        if (!n || *n < 1 || *n > 4) return std::nullopt;
        change.week = *n;
      }
    } else if (name == "BYMONTHDAY") {
      // Seven days in a row: d,d+1,...,d+6 with d one of 1, 8, 15, 22.
      auto first = number(value.substr(0, value.find(',')));
      if (!first || (*first - 1) % 7 != 0 || *first > 22) return std::nullopt;
      std::string expected;
      for (int d = *first; d < *first + 7; ++d) expected += (expected.empty() ? "" : ",") + std::to_string(d);
      if (value != expected) return std::nullopt;
      firstMonthDay = *first;
    } else if (name != "WKST") {
      return std::nullopt;
    }
  }
  if (firstMonthDay != 0) {
    if (change.week != 0) return std::nullopt;
    change.week = (firstMonthDay - 1) / 7 + 1;
  }
  if (!yearly || change.month == 0 || change.week == 0) return std::nullopt;
  // In the time in force before the change, as a VTIMEZONE's DTSTART is.
  change.time = start.hour * 3600 + start.minute * 60 + start.second;
  return change;
}

// The years a VTIMEZONE speaks for: from its first onset to its last, or on
// for ever with the onsets its open-ended RRULEs repeat.
struct Coverage {
  struct Onset {
    bool daylight;
    int to;
    icaltimetype start;
    std::string rule;
  };
  std::vector<Onset> openEnded;
  int earliest = 10000;
  int fixedUntil = 0;  // the last year of changes the rules do not repeat forever
  // The instants (UTC) of the first onset and of the last one not repeated for ever.
  std::int64_t firstOnset = kEndOfTime;
  std::int64_t lastOnset = kFirstMoment;
};

Coverage coverageOf(icalcomponent* definition) {
  Coverage coverage;
  auto& openEnded = coverage.openEnded;
  int& earliest = coverage.earliest;
  int& fixedUntil = coverage.fixedUntil;
  for (icalcomponent* c = icalcomponent_get_first_component(definition, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(definition, ICAL_ANY_COMPONENT)) {
    const icalcomponent_kind kind = icalcomponent_isa(c);
    if (kind != ICAL_XSTANDARD_COMPONENT && kind != ICAL_XDAYLIGHT_COMPONENT) continue;
    icalproperty* start = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
    icalproperty* to = icalcomponent_get_first_property(c, ICAL_TZOFFSETTO_PROPERTY);
    if (start == nullptr || to == nullptr) continue;
    const icaltimetype startTime = icalproperty_get_dtstart(start);
    icalproperty* fromOffset = icalcomponent_get_first_property(c, ICAL_TZOFFSETFROM_PROPERTY);
    const int before = fromOffset != nullptr ? icalproperty_get_tzoffsetfrom(fromOffset) : 0;
    // An onset's local time is in the offset before it; a UTC UNTIL is an instant.
    auto onset = [&](const icaltimetype& t) -> std::optional<std::int64_t> {
      auto written = writtenTime(t, nullptr);
      if (!written) return std::nullopt;
      return written->utc ? written->wall : written->wall - before;
    };
    auto last = [&](const icaltimetype& t) {
      fixedUntil = std::max(fixedUntil, t.year);
      if (auto at = onset(t)) coverage.lastOnset = std::max(coverage.lastOnset, *at);
    };
    earliest = std::min(earliest, startTime.year);
    if (auto at = onset(startTime)) coverage.firstOnset = std::min(coverage.firstOnset, *at);
    last(startTime);
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
      last(icalproperty_get_rdate(p).time);
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      icalrecurrencetype rule = icalproperty_get_rrule(p);
      if (!icaltime_is_null_time(rule.until)) {
        last(rule.until);
      } else if (rule.count > 0) {
        const int year = std::min(startTime.year + std::min(rule.count, 10000), 9998);
        fixedUntil = std::max(fixedUntil, year);
        coverage.lastOnset = std::max(coverage.lastOnset, daysFromCivil(year + 1, 1, 1) * kDay);
      } else {
        openEnded.push_back(Coverage::Onset{kind == ICAL_XDAYLIGHT_COMPONENT, icalproperty_get_tzoffsetto(to),
                                            startTime, takeBuffer(icalrecurrencetype_as_string_r(&rule))});
      }
    }
  }
  icalerror_clear_errno();
  return coverage;
}

// A VTIMEZONE as a zone: its changes, found through libical, over the years
// its rules list one by one and those its events use; past them the rule its
// open-ended RRULEs make, when they make one that agrees with libical for
// decades after (else the changes run on for a century past the events).
std::optional<Zone> zoneOfDefinition(const Coverage& coverage, const OffsetAt& defined, int firstYear,
                                     int lastYear) {
  using Onset = Coverage::Onset;
  const auto& openEnded = coverage.openEnded;
  const int earliest = coverage.earliest;
  const int fixedUntil = coverage.fixedUntil;
  if (earliest > 9999) return std::nullopt;

  std::optional<PosixZoneRule> rule;
  if (openEnded.size() == 2 && openEnded[0].to != openEnded[1].to) {
    // The onset with the larger offset is daylight time, whatever the file calls it.
    const bool firstIsDaylight = openEnded[0].to > openEnded[1].to;
    const Onset& daylight = openEnded[firstIsDaylight ? 0 : 1];
    const Onset& standard = openEnded[firstIsDaylight ? 1 : 0];
    auto toDaylight = yearlyChange(daylight.rule, daylight.start);
    auto toStandard = yearlyChange(standard.rule, standard.start);
    if (toDaylight && toStandard) {
      rule = PosixZoneRule{standard.to, daylight.to, *toDaylight, *toStandard};
    }
  }
  const int from = std::max(std::min(firstYear, 1970), earliest);
  const int listedUntil = std::min(std::max(fixedUntil, from) + 2, from + 400);
  auto build = [&](int until, std::optional<PosixZoneRule> after) {
    Zone zone;
    const std::int64_t begin = daysFromCivil(from, 1, 1) * kDay;
    const std::int64_t end = daysFromCivil(until, 1, 1) * kDay;
    zone.initialOffset = defined(begin);
    zone.transitions = offsetChanges(defined, begin, end);
    for (std::int64_t t : zone.transitions) zone.offsets.push_back(defined(t));
    zone.rule = std::move(after);
    return zone;
  };
  if (rule) {
    Zone zone = build(listedUntil, rule);
    const std::int64_t begin = daysFromCivil(from, 1, 1) * kDay;
    const std::int64_t end = daysFromCivil(std::max(listedUntil, lastYear + 1) + 30, 1, 1) * kDay;
    if (sameOffsets(defined, offsetsOf(zone), offsetChanges(defined, begin, end), begin, end)) return zone;
  }
  if (openEnded.empty()) return build(listedUntil, std::nullopt);
  return build(std::min(std::max(listedUntil, lastYear + 1) + 100, 9999), std::nullopt);
}

// A defined zone's TZID as exported ("Name#digest") read back without its
// digest, so that names do not grow with each trip through a file.
std::string_view withoutDigest(std::string_view tzid) {
  auto hash = tzid.rfind('#');
  if (hash == std::string_view::npos || tzid.size() - hash != 17) return tzid;
  std::string_view digest = tzid.substr(hash + 1);
  bool hex = std::all_of(digest.begin(), digest.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  return hex ? tzid.substr(0, hash) : tzid;
}

// Zones to try, the widely used ones first so that a match reads familiar:
// those the Windows table names, every zone of zone.tab, then fixed offsets.
const std::vector<std::string>& candidateNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    std::set<std::string, std::less<>> seen;
    auto add = [&](std::string_view name) {
      if (seen.emplace(name).second) list.emplace_back(name);
    };
    for (const auto& entry : windowsZones()) add(entry.iana);
    if (icalarray* builtin = icaltimezone_get_builtin_timezones()) {
      for (std::size_t i = 0; i < builtin->num_elements; ++i) {
        auto* zone = static_cast<icaltimezone*>(icalarray_element_at(builtin, i));
        if (const char* location = zone != nullptr ? icaltimezone_get_location(zone) : nullptr) add(location);
      }
    }
    icalerror_clear_errno();
    for (int hours = -14; hours <= 12; ++hours) {
      if (hours == 0) continue;
      add("Etc/GMT" + std::string(hours < 0 ? "-" : "+") + std::to_string(std::abs(hours)));
    }
    return list;
  }();
  return names;
}

// The file's VTIMEZONE as a zone of its own, kept in the cache.
const Zone* definedZone(ZoneCache& zones, const std::string& tzid, const Coverage& coverage, const OffsetAt& defined,
                        int firstYear, int lastYear) {
  std::optional<Zone> zone = zoneOfDefinition(coverage, defined, firstYear, lastYear);
  if (!zone) return nullptr;
  // Named by its content too: another file's zone of the same TZID may differ.
  std::string text = zoneText(*zone);
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  zone->name = std::string(kDefinedZonePrefix) + std::string(withoutDigest(tzid)) + "#" + hex;
  return zones.add(std::move(*zone));
}

}  // namespace

ZoneResolver::ZoneResolver(icalcomponent* calendar, ZoneCache& zones, const WrittenDefinitions& written, int ordinal)
    : calendar_(calendar), zones_(zones), written_(written), ordinal_(ordinal) {
  for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
    icalproperty* p = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
    const char* id = p != nullptr ? icalproperty_get_tzid(p) : nullptr;
    if (id != nullptr) definitions_.emplace(id, c);
  }
}

bool ZoneResolver::knows(const std::string& tzid) {
  return definitions_.count(tzid) > 0 || written_.setAside(ordinal_, tzid) || zoneNamed(zones_, tzid) != nullptr;
}

const Zone* ZoneResolver::resolve(const std::string& tzid, std::string* error) {
  if (auto found = resolved_.find(tzid); found != resolved_.end()) return found->second;
  const Zone* zone = zoneNamed(zones_, tzid);
  auto definition = definitions_.find(tzid);
  const std::optional<std::string_view> written = written_.text(ordinal_, tzid);
  if (unreadable_.count(tzid) > 0) {
    zone = nullptr;
  } else if (definition == definitions_.end() && !written_.setAside(ordinal_, tzid)) {
    if (zone == nullptr) *error = "unknown time zone \"" + tzid + "\" (no VTIMEZONE for it in the file)";
    resolved_.emplace(tzid, zone);
    return zone;
  } else {
    const Span events = spanOf(tzid);
    std::string key = written ? interpretationKey(tzid, events.firstYear, events.lastYear, *written)
                              : interpretationKey(tzid, events.firstYear, events.lastYear, definition->second);
    if (auto known = knownInterpretation(key, zones_)) {
      zone = *known;
    } else {
      icalcomponent* calendar = calendar_;
      if (definition == definitions_.end()) {
        // Left out of what libical read, for years not worked out before.
        calendar = readSetAside(*written);
        icalcomponent* c = calendar != nullptr ? icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT) : nullptr;
        if (c != nullptr) definition = definitions_.emplace(tzid, c).first;
      }
      if (definition != definitions_.end()) {
        zone = interpret(tzid, calendar, definition->second, events, zone);
        rememberInterpretation(std::move(key), zone);
        if (zone != nullptr && written && !repaired(definition->second)) rememberDefinitionRead(tzid, *written);
      } else {
        zone = nullptr;
      }
    }
  }
  if (zone == nullptr) *error = "time zone \"" + tzid + "\" has a VTIMEZONE that cannot be read";
  resolved_.emplace(tzid, zone);
  return zone;
}

// What `definition` says `tzid` means: the zone `named` or the one its
// X-LIC-LOCATION names where they agree with it, else a zone that does, else
// the definition as a zone of its own; null when none can be had.
const Zone* ZoneResolver::interpret(const std::string& tzid, icalcomponent* calendar, icalcomponent* definition,
                                    const Span& events, const Zone* named) {
  const Zone* zone = named != nullptr ? named : byLocation(definition);
  // The file's own definition is what its TZID means: a zone of that name
  // stands for it only where the two agree.
  icaltimezone* rules = icalcomponent_get_timezone(calendar, tzid.c_str());
  icalerror_clear_errno();
  const Coverage coverage = coverageOf(definition);
  // A definition that speaks for no time leaves the TZID to the zone it names.
  if (rules == nullptr || coverage.firstOnset >= kEndOfTime) return zone;
  const OffsetAt defined = offsetsOf(rules);
  // Only where the definition speaks: a file may define a zone for the
  // years it needs, and leave the rest to the zone's name (RFC 5545 3.6.5).
  // A minute past the first onset: Outlook's may lie a second before the zone's.
  const std::int64_t spoken = coverage.firstOnset + 61;
  const std::int64_t spokenUntil = coverage.openEnded.empty() ? coverage.lastOnset + kDay : kEndOfTime;
  Span span = events;
  span.from = std::max(events.from, spoken);
  span.to = std::min(events.to, spokenUntil);
  if (span.from >= span.to && zone == nullptr) {
    // No name to leave the events' years to: the definition's last offset
    // holds on past its last onset (RFC 5545 3.6.5), and a zone stands for it
    // only where it agrees with that. A zone matched in the definition's own
    // years alone would move the events (a fixed +06:00 read as Tashkent,
    // +05:00 since 1992). Before the first onset: what it says at all.
    span.from = std::max(events.from, spoken);
    span.to = events.to;
    if (span.from >= span.to) {
      span.from = spoken;
      span.to = std::min(spokenUntil, spoken + 366 * kDay);
    }
  }
  const std::vector<std::int64_t> changes = offsetChanges(defined, span.from, span.to);
  auto agrees = [&](const Zone* candidate) {
    return candidate != nullptr && sameOffsets(defined, offsetsOf(*candidate), changes, span.from, span.to);
  };
  if (span.from < span.to && !agrees(zone)) zone = nullptr;
  for (const std::string& name : candidateNames()) {
    if (zone != nullptr) break;
    if (const Zone* candidate = zones_.find(name); agrees(candidate)) zone = candidate;
  }
  if (zone == nullptr) zone = definedZone(zones_, tzid, coverage, defined, events.firstYear, events.lastYear);
  return zone;
}

// A definition left out of what libical read (zone_interpretation.h), read
// on its own.
icalcomponent* ZoneResolver::readSetAside(std::string_view written) {
  std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
  text.append(written);
  text += "END:VCALENDAR\r\n";
  OwnedComponent read(icalparser_parse_string(text.c_str()));
  icalerror_clear_errno();
  if (!read) return nullptr;
  setAside_.push_back(std::move(read));
  return setAside_.back().get();
}

// The instants a zone must be right in: the years its events use.
ZoneResolver::Span ZoneResolver::spanOf(const std::string& tzid) {
  YearSpan years = years_[tzid];
  if (years.first > years.last) years.add(currentYear());
  years.last = std::min(years.last, years.first + 200);
  return Span{years.first, years.last, daysFromCivil(years.first, 1, 1) * kDay, daysFromCivil(years.last + 1, 1, 1) * kDay};
}

const Zone* ZoneResolver::byLocation(icalcomponent* definition) {
  for (icalproperty* p = icalcomponent_get_first_property(definition, ICAL_X_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(definition, ICAL_X_PROPERTY)) {
    const char* name = icalproperty_get_x_name(p);
    const char* value = icalproperty_get_x(p);
    if (name != nullptr && value != nullptr && equalsIgnoringCase(name, "X-LIC-LOCATION")) {
      if (const Zone* zone = zoneNamed(zones_, value)) return zone;
    }
  }
  return nullptr;
}

}  // namespace calbridge
