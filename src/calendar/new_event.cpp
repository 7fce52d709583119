#include "calendar/new_event.h"

#include "calendar/civil_time.h"
#include "calendar/recurrence.h"

#include <cmath>

namespace calbridge {

std::optional<StoredEvent> storedFormOf(const Event& event, ZoneCache& zones) {
  if (!event.startDate || !event.endDate) return std::nullopt;
  const double start = *event.startDate;
  const double end = *event.endDate;
  if (!std::isfinite(start) || !std::isfinite(end) || end < start) return std::nullopt;

  StoredEvent stored;
  stored.externalIdentifier = event.calendarItemExternalIdentifier.value_or(newUuid());
  stored.title = event.title;
  stored.allDay = event.isAllDay;
  stored.status = event.status;
  const Zone* zone = nullptr;
  if (event.isAllDay) {
    // All-day events float: they keep their dates wherever the machine's clock is set.
    zone = &zones.local();
    if (!convertible(start) || !convertible(end)) return std::nullopt;
    stored.start = wallOf(*zone, start);
    stored.end = wallOf(*zone, end);
  } else {
    zone = zones.find(event.timeZone.value_or(zones.local().name));
    if (zone == nullptr) return std::nullopt;
    stored.timeZone = zone->name;
    stored.start = start;
    stored.end = end;
  }
  if (event.recurrenceRule) {
    const RecurrenceRule& rule = *event.recurrenceRule;
    if (rule.interval < 1) return std::nullopt;
    stored.rule = ruleText(rule);
    if (rule.endDate) {
      if (!std::isfinite(*rule.endDate) || (event.isAllDay && !convertible(*rule.endDate))) return std::nullopt;
      stored.until = event.isAllDay ? wallOf(*zone, *rule.endDate) : *rule.endDate;
    }
  }
  return stored;
}

}  // namespace calbridge
