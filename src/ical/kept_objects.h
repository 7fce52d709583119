// The text of each calendar object a file brought, kept beside its events so
// that an export gives back what the file held (descriptions, alarms,
// attendees, X- properties) with calbridge's own changes written in. Text
// only: no libical, so that the store can use it.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// One calendar object: a VCALENDAR with the file's VERSION and PRODID, the
// VTIMEZONEs its events name, and every VEVENT of one UID, each line as it came.
struct KeptObject {
  std::string uid;
  std::string text;
};

// The objects of `text` (one or more VCALENDARs), by UID in the order they
// first appear; components other than events make none. `read` tells, by
// VEVENT in the order of the text, which the reader took (an older copy of an
// event, a duplicate or an event it could not read makes no part of an
// object); all, when empty. The VEVENTs without a UID take those of
// `madeUpUids` in turn, written into their text (so the event and its text
// stay one object); one beyond them makes none.
std::vector<KeptObject> keptObjects(std::string_view text, std::span<const std::string> madeUpUids = {},
                                    const std::vector<bool>& read = {});

// `calendar` (one VCALENDAR) with the VEVENTs of each of `objects` added at its
// end, and their VTIMEZONEs, each TZID once (the first definition of it wins).
std::string joinedCalendar(std::string_view calendar, std::span<const std::string> objects);

}  // namespace calbridge
