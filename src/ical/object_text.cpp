#include "ical/object_text.h"

#include "calendar/civil_time.h"
#include "ical/values.h"
#include "ical/vtimezone.h"

#include <cmath>

namespace calbridge {

std::optional<std::string> objectTextOf(const StoredEvent& event, ZoneCache& zones, std::int64_t now) {
  if (event.recurrenceId) return std::nullopt;
  const Zone* zone = event.timeZone ? zones.find(*event.timeZone) : nullptr;
  if (event.timeZone && zone == nullptr) return std::nullopt;
  const bool utc = zone != nullptr && zone->name == "UTC";
  auto writable = [](double t) { return std::isfinite(t) && t >= kFirstMoment && t < kEndOfTime; };
  if (!writable(event.start) || !writable(event.end) || (event.until && !writable(*event.until))) return std::nullopt;
  // Wall seconds of the event's zone; whole seconds, as iCalendar writes them.
  auto wall = [&](double t) {
    auto s = static_cast<std::int64_t>(std::floor(t));
    return zone != nullptr && !utc ? epochToWall(*zone, s) : s;
  };
  auto timeLine = [&](const char* name, std::int64_t w) {
    if (event.allDay) return std::string(name) + ";VALUE=DATE:" + dateText(w);
    if (utc) return std::string(name) + ":" + dateTimeText(w, true);
    if (zone != nullptr) return std::string(name) + ";TZID=" + zone->name + ":" + dateTimeText(w, false);
    return std::string(name) + ":" + dateTimeText(w, false);
  };
  std::string lines;
  auto add = [&](const std::string& line) { lines += folded(line); };
  add("UID:" + event.externalIdentifier);
  add("DTSTAMP:" + dateTimeText(now, true));
  add(timeLine("DTSTART", wall(event.start)));
  add(timeLine("DTEND", wall(event.end)));
  if (event.title) add("SUMMARY:" + escapedText(*event.title));
  switch (event.status) {
    case EventStatus::confirmed: add("STATUS:CONFIRMED"); break;
    case EventStatus::tentative: add("STATUS:TENTATIVE"); break;
    case EventStatus::cancelled: add("STATUS:CANCELLED"); break;
    case EventStatus::none: break;
  }
  if (event.rule && !event.rule->empty()) {
    std::string rule = "RRULE:" + *event.rule;
    if (event.count) {
      rule += ";COUNT=" + std::to_string(*event.count);
    } else if (event.until) {
      // UNTIL as RFC 5545 wants it: a date for dates, UTC for a zoned start.
      auto u = static_cast<std::int64_t>(std::floor(*event.until));
      rule += ";UNTIL=" + (event.allDay ? dateText(u) : dateTimeText(u, zone != nullptr));
    }
    add(rule);
    for (std::int64_t w : event.excluded) add(timeLine("EXDATE", w));
  }
  std::string definition;
  if (zone != nullptr && !utc) {
    if (auto onsets = onsetsOfRule(*zone)) definition = vtimezoneText(zone->name, *onsets);
  }
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge//calbridge//EN\r\n" + definition +
         "BEGIN:VEVENT\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

}  // namespace calbridge
