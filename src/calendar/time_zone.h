// Time zones and wall-clock time for the store's recurrence.
//
// "Wall seconds" count a zone's local calendar time as if it were UTC: the
// seconds from 1970-01-01 00:00 to the local date and time. Repeating events
// step in wall seconds, so a 09:00 series stays at 09:00 across DST changes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

struct _icaltimezone;

namespace calbridge {

// A zone's offset rules. Owned by the ZoneCache that made it.
struct Zone {
  std::string name;  // IANA name, or "UTC"
  _icaltimezone* rules = nullptr;  // libical's zone; owned by libical for the whole process
};

// Seconds to add to UTC for local time in `zone` at `epoch`.
int utcOffset(const Zone& zone, std::int64_t epoch);
std::int64_t epochToWall(const Zone& zone, std::int64_t epoch);
// A wall time that occurs twice (clocks going back) is the earlier instant; one
// that does not occur (clocks going forward) is shifted forward by the gap.
std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(int year, int month, int day);
struct CivilDate {
  int year;
  int month;  // 1 to 12
  int day;  // 1 to 31
};
CivilDate civilFromDays(std::int64_t days);

// The IANA name of the process's local zone: TZ when it names one, else the
// zone /etc/localtime links to (or /etc/timezone names); "UTC" when neither tells.
std::string localZoneName();

// Loads zones by name, each at most once, and keeps them for its own lifetime.
class ZoneCache {
 public:
  ZoneCache();
  ~ZoneCache();
  ZoneCache(const ZoneCache&) = delete;
  ZoneCache& operator=(const ZoneCache&) = delete;

  // The zone named `name`, or null when there is no such zone.
  const Zone* find(std::string_view name);
  const Zone& utc() { return *find("UTC"); }
  // The process's local zone (see localZoneName); UTC when it cannot be loaded.
  const Zone& local();

 private:
  std::map<std::string, std::unique_ptr<Zone>, std::less<>> zones_;
  const Zone* local_ = nullptr;
};

}  // namespace calbridge
