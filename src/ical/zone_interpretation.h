// What a calendar file's own VTIMEZONE means, worked out once per run.
//
// Every object a CalDAV server hands out carries the VTIMEZONE of each zone
// it names, and libical expands a VTIMEZONE's rules anew for every object
// that carries one: ten thousand events in one zone cost ten thousand
// expansions, where one would do. These remember, for the process's
// lifetime, what each distinct definition was found to mean, and read a
// definition's offsets once per year.
#pragma once

#include "calendar/time_zone.h"
#include "ical/zone_offsets.h"

#include <libical/ical.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// A defined zone's offsets, as libical reads them, found once per calendar
// year and then looked up: a change is found to the second, two changes
// within one day count as one (as everywhere a definition is compared).
// `defined` must outlive what is returned.
OffsetAt yearlyOffsets(icaltimezone* defined);

// The key of one interpretation: the TZID, the years its events use (what a
// definition is compared over), and the definition's own text, as written
// or else as libical writes it.
std::string interpretationKey(std::string_view tzid, int firstYear, int lastYear, std::string_view written);
std::string interpretationKey(std::string_view tzid, int firstYear, int lastYear, icalcomponent* definition);

// The VTIMEZONEs of a text as written, by VCALENDAR (0 the first) and TZID.
// Those written exactly as one this run has read and understood already are
// set aside: libical need not read them again (a VTIMEZONE is several times
// an event's length, and every object a server sends repeats its own), and
// the text libical is given leaves them out.
class WrittenDefinitions {
 public:
  explicit WrittenDefinitions(std::string_view text);

  // The text without the definitions set aside; `text` itself when none is.
  std::string_view forLibical() const { return setAside_.empty() ? text_ : std::string_view(withoutSetAside_); }
  // The definition of `tzid` in the calendar as written; nothing when the
  // text does not have exactly one (then libical's reading is all there is).
  std::optional<std::string_view> text(int calendar, const std::string& tzid) const;
  bool setAside(int calendar, const std::string& tzid) const;

 private:
  struct Block {
    int calendar;
    std::string tzid;
    std::size_t begin, end;
  };
  std::string_view text_;
  std::vector<Block> blocks_;  // each TZID once per calendar
  std::vector<std::size_t> setAside_;  // indices into blocks_
  std::string withoutSetAside_;
};

// Notes that a definition written so was read and understood (libical
// repaired nothing in it), so that the next one written the same is set aside.
void rememberDefinitionRead(const std::string& tzid, std::string_view written);

// What an earlier object's identical definition was found to mean, made
// known to `zones` (a zone of the file's own is added to it): the zone, or
// null when the definition could not be read. Nothing when never seen.
std::optional<const Zone*> knownInterpretation(const std::string& key, ZoneCache& zones);
// Remembers what the definition under `key` means (null: it cannot be read).
// The memory is bounded: past it, nothing more is remembered.
void rememberInterpretation(std::string key, const Zone* zone);

}  // namespace calbridge
