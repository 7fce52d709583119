// What the parts of the file reader and writer that go through libical share:
// ownership of libical's components and strings, and times as libical holds them.
#pragma once

#include "calendar/civil_time.h"

#include <libical/ical.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace calbridge {

struct ComponentFree {
  void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
// A component nobody else owns yet; freed unless handed to a parent.
using OwnedComponent = std::unique_ptr<icalcomponent, ComponentFree>;

// Copies a string libical allocated for the caller, and frees it.
inline std::string takeBuffer(char* buffer) {
  if (buffer == nullptr) return {};
  std::string text(buffer);
  icalmemory_free_buffer(buffer);
  return text;
}

// True for a stored time iCalendar can write: within the years 1 to 9999.
inline bool writable(double t) { return std::isfinite(t) && t >= kFirstMoment && t < kEndOfTime; }

inline int yearOf(std::int64_t wall) { return civilFromDays(floorDiv(wall, kDay)).year; }

// A DATE or DATE-TIME value as the file writes it.
struct WrittenTime {
  std::int64_t wall = 0;  // the written date and time counted as if UTC
  bool date = false;
  bool utc = false;
  std::optional<std::string> tzid;  // a local time in that zone; neither this nor utc: floating
};

// `t` as written, with the TZID of `property` (when given); nothing for a date
// that does not exist or lies outside the years 1 to 9999. A leap second (60)
// is read as the last second of its minute.
std::optional<WrittenTime> writtenTime(const icaltimetype& t, icalproperty* property);

// Wall seconds as libical's time: a date, a floating date-time, or UTC.
icaltimetype icalTime(std::int64_t wall, bool date, bool utc);

}  // namespace calbridge
