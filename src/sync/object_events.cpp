#include "sync/object_events.h"

#include "ical/icalendar.h"
#include "base/limits.h"
#include "base/unicode.h"

namespace calbridge {

ObjectEvents readObjectEvents(std::string_view text, ZoneCache& zones) {
  ObjectEvents out;
  // The replica keeps the server's text as it came.
  ParsedCalendar parsed = parseICalendar(text, zones, ObjectTexts::skipped);
  if (!parsed.error.empty()) {
    out.error = std::move(parsed.error);
    return out;
  }
  for (StoredEvent& event : parsed.events) {
    if (event.title && cutToCharacters(*event.title, kMaxTitleCharacters, kMaxInputBytes)) ++out.cuts;
    if (cutToCharacters(event.externalIdentifier, kMaxUidCharacters, kMaxInputBytes)) ++out.cuts;
  }
  out.events = std::move(parsed.events);
  return out;
}

}  // namespace calbridge
