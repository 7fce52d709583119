// The one writer of VTIMEZONEs (RFC 5545 3.6.5), without libical: what a
// zone's definition holds is chosen first (its onsets), then written as text.
// An export writes a zone over the years its events use; a new object for a
// server writes the rule its zone follows from now on.
#pragma once

#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// One STANDARD or DAYLIGHT part: the change at `at` (UTC seconds) from the
// offset `before` to `after`, repeated every year by `yearly` when given.
struct ZoneOnset {
  std::int64_t at = 0;
  std::int32_t before = 0;
  std::int32_t after = 0;
  bool daylight = false;
  std::optional<PosixZoneRule::Change> yearly;
};

// The VTIMEZONE text: TZID (escaped and folded), then each part with its
// DTSTART in the local time in force before the change, CRLF line ends.
std::string vtimezoneText(std::string_view tzid, std::span<const ZoneOnset> onsets);

// The stretch of time the events naming one zone take, in UTC seconds.
struct ZoneUse {
  std::int64_t from = std::numeric_limits<std::int64_t>::max();
  std::int64_t to = std::numeric_limits<std::int64_t>::min();
  bool endless = false;  // a series without UNTIL: the zone's continuing rule is needed

  void cover(const StoredEvent& event);
};

// The onsets of an IANA zone that `use` needs: the onset in force at its
// start, every change up to its end, and for an endless use the yearly rule
// the zone continues with, from where its listed changes and that rule agree.
// A zone's whole history (back to 1893 for some) would otherwise go into
// every file.
std::vector<ZoneOnset> onsetsOver(const Zone& zone, const ZoneUse& use);

// The onsets of a zone a file defined: its listed changes, then its yearly
// rule from the first two changes it makes (or, for a rule a VTIMEZONE cannot
// write, its changes for a century on).
std::vector<ZoneOnset> onsetsOfDefined(const Zone& zone);

// The yearly rule a zone follows from now on, from its first onsets in 1970
// (a fixed offset: one part that changes nothing); nothing for a zone
// without a rule, or one whose changes RRULE cannot say.
std::optional<std::vector<ZoneOnset>> onsetsOfRule(const Zone& zone);

}  // namespace calbridge
