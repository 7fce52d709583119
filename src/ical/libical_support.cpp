#include "ical/libical_support.h"

#include <algorithm>

namespace calbridge {

std::optional<WrittenTime> writtenTime(const icaltimetype& t, icalproperty* property) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > daysInMonth(t.year, t.month)) {
    return std::nullopt;
  }
  WrittenTime written;
  written.date = t.is_date != 0;
  written.wall = daysFromCivil(t.year, t.month, t.day) * kDay;
  if (written.date) return written;
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60) return std::nullopt;
  written.wall += t.hour * 3600 + t.minute * 60 + std::min(t.second, 59);
  written.utc = icaltime_is_utc(t) != 0;
  if (!written.utc && property != nullptr) {
    if (icalparameter* p = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER)) {
      if (const char* tzid = icalparameter_get_tzid(p); tzid != nullptr && *tzid != '\0') written.tzid = tzid;
    }
  }
  return written;
}

icaltimetype icalTime(std::int64_t wall, bool date, bool utc) {
  std::int64_t day = floorDiv(wall, kDay);
  std::int64_t rest = wall - day * kDay;
  CivilDate civil = civilFromDays(day);
  icaltimetype t = icaltime_null_time();
  t.year = civil.year;
  t.month = civil.month;
  t.day = civil.day;
  t.is_date = date ? 1 : 0;
  if (!date) {
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.zone = utc ? icaltimezone_get_utc_timezone() : nullptr;
  }
  return t;
}

}  // namespace calbridge
