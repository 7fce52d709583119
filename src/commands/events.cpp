#include "commands/events.h"

#include "calendar/authorization.h"
#include "protocol/readers.h"
#include "protocol/unicode.h"

#include <unordered_set>

namespace calbridge {

namespace {

// Writes the record of one occurrence, or nothing for one that cannot have a
// record: cancelled, or without a start, an end or a calendar.
void writeRecord(JsonOut& out, const Event& occurrence) {
  if (occurrence.status == kEventStatusCancelled) return;
  if (!occurrence.startDate || !occurrence.endDate || !occurrence.calendar) return;
  out.startObject();
  out.key("uid");
  if (occurrence.calendarItemExternalIdentifier) {
    out.string(*occurrence.calendarItemExternalIdentifier);
  } else if (occurrence.eventIdentifier) {
    out.string(*occurrence.eventIdentifier);
  } else {
    out.string(newUuid());
  }
  out.key("title");
  out.string(occurrence.title ? std::string_view(*occurrence.title) : std::string_view());
  out.key("start");
  out.number(*occurrence.startDate);
  out.key("end");
  out.number(*occurrence.endDate);
  out.key("allDay");
  out.boolean(occurrence.isAllDay);
  out.key("calendar");
  out.string(occurrence.calendar->calendarIdentifier);
  out.endObject();
}

}  // namespace

Reply eventsCommand(Store& store, const Request& input) {
  if (!hasAccess(store)) return fail(ErrorCode::denied);
  auto from = number(input, "from");
  if (!from) return fail(ErrorCode::invalid);
  auto to = number(input, "to");
  if (!to) return fail(ErrorCode::invalid);
  if (!(*from < *to)) return fail(ErrorCode::invalid);
  if (*to - *from > kMaxWindowSeconds) return fail(ErrorCode::invalid);
  auto ids = stringList(input, "calendars");
  if (!ids || ids->size() > kMaxQueriedCalendars) return fail(ErrorCode::invalid);

  std::unordered_set<std::string> wanted;
  for (const auto& id : *ids) wanted.insert(nfc(id));
  std::vector<std::shared_ptr<const Calendar>> selected;
  if (!wanted.empty()) {
    for (auto& calendar : store.calendars()) {
      if (wanted.contains(nfc(calendar->calendarIdentifier))) selected.push_back(std::move(calendar));
    }
  }
  if (selected.empty()) {
    return ok([](JsonOut& out) {
      out.startArray();
      out.endArray();
    });
  }

  return ok([&](JsonOut& out) {
    // About 190 bytes a record with short titles; an answer larger still just grows.
    out.reserve(kMaxEventRecords * 200);
    out.startArray();
    // The cap counts occurrences, not records: one left out is not replaced.
    std::size_t taken = 0;
    store.enumerateEventsMatching(*from, *to, selected, [&](const Event& occurrence) {
      writeRecord(out, occurrence);
      return ++taken < kMaxEventRecords;
    });
    out.endArray();
  });
}

}  // namespace calbridge
