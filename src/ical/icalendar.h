// Calendar files (iCalendar, RFC 5545) to and from the store's events.
//
// Reading is lenient where other programs are and the store keeps nothing
// wrong: an event that cannot be read (no start, a value that does not parse,
// a time outside the years 1 to 9999) is left out and counted, and the rest
// read; only a file with a broken frame, text that is not UTF-8, or no event
// that can be read is refused. What the store cannot hold (alarms, attendees,
// ...) is counted, never dropped silently.
#pragma once

#include "calendar/stored_event.h"
#include "calendar/time_zone.h"
#include "ical/kept_objects.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// What a file held that the store does not keep, by kind.
struct LeftOut {
  int alarms = 0;
  int attendees = 0;
  int extraRules = 0;  // EXRULEs
  int descriptions = 0;
  int locations = 0;
  int toDos = 0;
  int journalEntries = 0;
  int otherEntries = 0;  // components other than events, to-dos, journals and time zones
  // Earlier edits of an event: copies of one UID beside one with a higher
  // SEQUENCE or, at equal SEQUENCE, a later DTSTAMP; and copies of one UID
  // nothing tells apart in an earlier VCALENDAR of the file.
  int olderCopies = 0;
  int duplicates = 0;  // copies of an event word for word
  int unreadableEvents = 0;  // events left out: no start, or a value that decides when they happen does not read
  // Properties whose value is empty or cannot be read, and that do not decide
  // when an event happens (an empty CLASS, a TRIGGER that does not parse).
  int unreadableValues = 0;
};

// "2 alarms, 1 attendee"; empty when nothing was left out.
std::string describe(const LeftOut& leftOut);

struct ParsedCalendar {
  std::vector<StoredEvent> events;  // identifiers not yet filled in; empty when refused
  LeftOut leftOut;
  std::string firstUnreadable;  // why the first unreadable event was left out
  // Read as other programs read them, though RFC 5545 would not: TZIDs with
  // neither a name calbridge knows nor a VTIMEZONE (their times read as
  // floating), and components with no VCALENDAR around them (read as one calendar).
  int unknownZones = 0;
  int bareComponents = 0;
  std::string error;  // one line; empty when the file was read
  std::vector<KeptObject> objects;  // the text of each event's object, by UID
};

// Reads every VEVENT of `text` (one or more VCALENDARs). Floating date-times
// and all-day events are returned floating (no zone, wall seconds). A VTIMEZONE
// that no IANA zone matches in the years its events use is added to `zones` as
// a defined zone (isDefinedZoneName), which the events then name. With
// ObjectTexts::skipped, `objects` stays empty: a caller that keeps the text
// as it came (a replica) does not pay for cutting it up.
enum class ObjectTexts { kept, skipped };
ParsedCalendar parseICalendar(std::string_view text, ZoneCache& zones, ObjectTexts objectTexts = ObjectTexts::kept);

struct WrittenCalendar {
  std::string text;  // one VCALENDAR, CRLF line ends, folded at 75 octets
  int unwritable = 0;  // events left out: their times lie outside the years 1 to 9999
};

// Writes `events` as one VCALENDAR with a VTIMEZONE for each zone they use.
// `stamp` (epoch seconds) becomes every event's DTSTAMP; `title`, when given,
// names the calendar for programs that read it.
WrittenCalendar writeICalendar(const std::vector<StoredEvent>& events, ZoneCache& zones, std::int64_t stamp,
                               const std::optional<std::string>& title = std::nullopt);

}  // namespace calbridge
