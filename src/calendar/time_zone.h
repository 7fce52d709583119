// Time zones and wall-clock time for the store's recurrence.
//
// "Wall seconds" count a zone's local calendar time as if it were UTC: the
// seconds from 1970-01-01 00:00 to the local date and time. Repeating events
// step in wall seconds, so a 09:00 series stays at 09:00 across DST changes.
//
// Zones are read from the system's compiled time zone files (TZif, RFC 8536),
// the same data the C library uses, including the rule that continues a zone
// past its last listed transition.
#pragma once

#include "calendar/civil_time.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// A POSIX TZ rule ("CET-1CEST,M3.5.0,M10.5.0/3"): standard time, and
// optionally daylight time with the two yearly changes between them.
struct PosixZoneRule {
  struct Change {
    enum class Kind { monthWeekDay, julianNoLeap, dayOfYear } kind = Kind::monthWeekDay;
    int month = 0, week = 0, weekday = 0;  // Mm.w.d: weekday 0 Sunday; week 5 is the last
    int day = 0;  // Jn (1 to 365, 29 February never counted) or n (0 to 365)
    std::int32_t time = 7200;  // seconds after local midnight, in the time in force before the change
  };
  std::int32_t standardOffset = 0;  // seconds east of UTC
  std::optional<std::int32_t> daylightOffset;
  Change toDaylight, toStandard;

  std::int32_t offsetAt(std::int64_t epoch) const;
};

// Parses the rule part of a TZ value; nothing when it does not parse.
std::optional<PosixZoneRule> parsePosixZoneRule(std::string_view text);
// The rule as a TZ value that parsePosixZoneRule reads back to the same rule.
std::string posixZoneRuleText(const PosixZoneRule& rule);

// A zone's offsets from UTC over time.
struct Zone {
  std::string name;  // IANA name, "UTC", or a POSIX TZ rule read as the C library reads it
  std::vector<std::int64_t> transitions;  // UTC seconds, increasing
  std::vector<std::int32_t> offsets;  // the offset in force from each transition on
  std::int32_t initialOffset = 0;  // before the first transition
  std::optional<PosixZoneRule> rule;  // after the last transition
};

// Parses a TZif file's contents (versions 1 to 4).
std::optional<Zone> parseTzif(std::string_view name, std::string_view data);

// A zone a calendar file defines for itself (a VTIMEZONE that no IANA zone
// matches) is kept under a name with this prefix. No zone file can have such a
// name (ZoneCache never reads a file for it), so it never shadows an IANA zone.
inline constexpr std::string_view kDefinedZonePrefix = "ics:";
bool isDefinedZoneName(std::string_view name);
// A defined zone as one line of text for the store, and back.
std::string zoneText(const Zone& zone);
std::optional<Zone> zoneFromText(std::string_view name, std::string_view text);

// Seconds to add to UTC for local time in `zone` at `epoch`.
int utcOffset(const Zone& zone, std::int64_t epoch);
std::int64_t epochToWall(const Zone& zone, std::int64_t epoch);
// A wall time that occurs twice (clocks going back) is the earlier instant; one
// that does not occur (clocks going forward) is shifted forward by the gap.
std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall);
// The same, and in `earliestLater` the earliest instant any later wall time
// can have: the result itself, except in a gap, whose wall times start later
// than those just after it.
std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall, std::int64_t* earliestLater);
// For times with a fraction of a second (stored times are doubles): the whole
// seconds convert, the fraction is kept as it was.
double wallOf(const Zone& zone, double epoch);
double epochOf(const Zone& zone, double wall);
// True for times within the years 1 to 9999, where wall time is defined.
constexpr bool convertible(double t) {
  return t > static_cast<double>(kFirstMoment) && t < static_cast<double>(kEndOfTime);
}

// The name of the process's local zone: TZ when set (without a leading ':'; an
// IANA name or a POSIX rule), else the zone /etc/localtime links to (or
// /etc/timezone names); "UTC" when neither tells.
std::string localZoneName();

// Loads zones by name, each at most once, and keeps them for its own lifetime.
class ZoneCache {
 public:
  ZoneCache();
  ~ZoneCache();
  ZoneCache(const ZoneCache&) = delete;
  ZoneCache& operator=(const ZoneCache&) = delete;

  // The zone named `name` (a zone file's name, or a POSIX TZ rule), or null when there is no such zone.
  const Zone* find(std::string_view name);
  const Zone& utc() { return *find("UTC"); }
  // The process's local zone (see localZoneName); UTC when it cannot be loaded.
  const Zone& local();
  // Keeps a defined zone (isDefinedZoneName) so that find answers with it; any
  // other name is refused (null). A zone already kept under the name stays.
  const Zone* add(Zone zone);
  // Keeps every defined zone `other` keeps: what another thread's reading found.
  void addDefinedFrom(const ZoneCache& other);

 private:
  std::map<std::string, std::unique_ptr<Zone>, std::less<>> zones_;
  const Zone* local_ = nullptr;
};

}  // namespace calbridge
