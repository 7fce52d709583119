#include "calendar/time_zone.h"

#include <libical/ical.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace calbridge {

std::int64_t daysFromCivil(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  std::int64_t yoe = y - era * 400;
  std::int64_t mp = (month + 9) % 12;
  std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate civilFromDays(std::int64_t z) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  return CivilDate{static_cast<int>(y + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}

namespace {

icaltimetype utcTimeOf(std::int64_t epoch) {
  std::int64_t days = epoch >= 0 ? epoch / 86400 : -((-epoch + 86399) / 86400);
  std::int64_t rest = epoch - days * 86400;
  CivilDate date = civilFromDays(days);
  icaltimetype t = icaltime_null_time();
  t.year = date.year;
  t.month = date.month;
  t.day = date.day;
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  t.is_date = 0;
  t.zone = icaltimezone_get_utc_timezone();
  return t;
}

}  // namespace

int utcOffset(const Zone& zone, std::int64_t epoch) {
  if (zone.rules == nullptr || zone.rules == icaltimezone_get_utc_timezone()) return 0;
  // Offsets before 1800 are local mean time throughout. Past 2200 the rules in
  // force repeat with the 400-year Gregorian cycle, which keeps every date on
  // its weekday; shifting there keeps libical from tabulating transitions for
  // millennia.
  constexpr std::int64_t kFrom1800 = -5364662400;
  constexpr std::int64_t kFrom2200 = 7258118400;
  constexpr std::int64_t kCycle = 146097LL * 86400;
  if (epoch < kFrom1800) epoch = kFrom1800;
  if (epoch >= kFrom2200) epoch -= ((epoch - kFrom2200) / kCycle + 1) * kCycle;
  icaltimetype t = utcTimeOf(epoch);
  int daylight = 0;
  return icaltimezone_get_utc_offset_of_utc_time(zone.rules, &t, &daylight);
}

std::int64_t epochToWall(const Zone& zone, std::int64_t epoch) {
  return epoch + utcOffset(zone, epoch);
}

std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall) {
  // The offsets a day either side bracket any single transition near `wall`.
  int before = utcOffset(zone, wall - 86400);
  int after = utcOffset(zone, wall + 86400);
  std::int64_t earlier = wall - std::max(before, after);
  std::int64_t later = wall - std::min(before, after);
  if (utcOffset(zone, earlier) == wall - earlier) return earlier;
  if (utcOffset(zone, later) == wall - later) return later;
  // In a gap: read the time with the offset in force before it, which lands the
  // same distance past the gap's end.
  return wall - before;
}

namespace {

bool isZoneName(std::string_view name) {
  return !name.empty() && name.front() != '/' && name.find("..") == std::string_view::npos;
}

// "/usr/share/zoneinfo/Europe/Berlin" names Europe/Berlin.
std::string nameFromZoneinfoPath(std::string_view path) {
  constexpr std::string_view marker = "zoneinfo/";
  auto at = path.rfind(marker);
  if (at == std::string_view::npos) return {};
  std::string_view name = path.substr(at + marker.size());
  for (std::string_view prefix : {"posix/", "right/"}) {
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  }
  return std::string(name);
}

}  // namespace

std::string localZoneName() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
    std::string_view value(tz);
    if (value.front() == ':') value.remove_prefix(1);
    if (!value.empty() && value.front() == '/') return nameFromZoneinfoPath(value);
    return std::string(value);
  }
  char target[PATH_MAX];
  ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
  if (n > 0) {
    std::string name = nameFromZoneinfoPath(std::string_view(target, static_cast<std::size_t>(n)));
    if (!name.empty()) return name;
  }
  std::ifstream file("/etc/timezone");
  std::string name;
  if (file && std::getline(file, name) && isZoneName(name)) return name;
  return "UTC";
}

ZoneCache::ZoneCache() = default;
ZoneCache::~ZoneCache() = default;

const Zone* ZoneCache::find(std::string_view name) {
  if (auto it = zones_.find(name); it != zones_.end()) return it->second.get();
  icaltimezone* rules = nullptr;
  if (name == "UTC" || name == "Etc/UTC" || name == "Z") {
    rules = icaltimezone_get_utc_timezone();
  } else if (isZoneName(name)) {
    std::string key(name);
    rules = icaltimezone_get_builtin_timezone(key.c_str());
  }
  // libical reports a failed lookup through its global error state as well; clear it.
  icalerror_clear_errno();
  std::unique_ptr<Zone> zone;
  if (rules != nullptr) zone = std::make_unique<Zone>(Zone{std::string(name), rules});
  const Zone* found = zone.get();
  zones_.emplace(std::string(name), std::move(zone));
  return found;
}

const Zone& ZoneCache::local() {
  if (local_ == nullptr) {
    local_ = find(localZoneName());
    if (local_ == nullptr) local_ = &utc();
  }
  return *local_;
}

}  // namespace calbridge
