// Which zone each TZID of a calendar file names (RFC 5545 3.2.19): a name
// calbridge knows, the zone its VTIMEZONE's X-LIC-LOCATION names, or else
// the IANA zone whose offsets match the file's VTIMEZONE in the years its
// events use; where none does, the VTIMEZONE itself becomes a zone of its own
// (a defined zone, kept under a name beginning "ics:").
#pragma once

#include "calendar/time_zone.h"

#include <libical/ical.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>

namespace calbridge {

struct YearSpan {
  int first = 10000;
  int last = 0;
  void add(int year) {
    first = std::min(first, year);
    last = std::max(last, year);
  }
  void add(const YearSpan& other) {
    if (other.first <= other.last) {
      add(other.first);
      add(other.last);
    }
  }
};

int currentYear();

// Tells which zone each TZID of one VCALENDAR names, each once.
class ZoneResolver {
 public:
  ZoneResolver(icalcomponent* calendar, ZoneCache& zones);

  // The years the events using `tzid` cover: the span a zone must match in.
  void noteYears(const std::string& tzid, const YearSpan& years) { years_[tzid].add(years); }

  // False for a TZID with neither a name calbridge knows nor a VTIMEZONE in
  // the calendar: nothing says what it means.
  bool knows(const std::string& tzid);
  // A TZID whose VTIMEZONE libical had to repair: what it means is not known.
  void setUnreadable(const std::string& tzid) { unreadable_.insert(tzid); }

  // The zone, or null with `*error` saying why.
  const Zone* resolve(const std::string& tzid, std::string* error);

 private:
  struct Span {
    int firstYear, lastYear;
    std::int64_t from, to;
  };
  Span spanOf(const std::string& tzid);
  const Zone* byLocation(icalcomponent* definition);

  icalcomponent* calendar_;
  ZoneCache& zones_;
  std::map<std::string, icalcomponent*> definitions_;  // VTIMEZONEs by TZID, owned by the calendar
  std::map<std::string, YearSpan> years_;
  std::map<std::string, const Zone*> resolved_;
  std::set<std::string> unreadable_;
};

}  // namespace calbridge
