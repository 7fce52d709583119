#include "commands/events.h"

#include "calendar/access/authorization.h"
#include "protocol/readers.h"
#include "base/unicode.h"

#include <cmath>

#include <unordered_set>

namespace calbridge {

namespace {

// Writes the record of one occurrence, or nothing for one that cannot have a
// record: cancelled, or without a start, an end or a calendar. `text` is room
// to compose records in, reused from one to the next.
void writeRecord(JsonOut& out, JsonText& text, const Event& occurrence) {
  if (occurrence.status == EventStatus::cancelled) return;
  if (!occurrence.startDate || !occurrence.endDate || !occurrence.calendar) return;
  std::string generated;
  std::string_view uid;
  if (occurrence.calendarItemExternalIdentifier) {
    uid = *occurrence.calendarItemExternalIdentifier;
  } else if (occurrence.eventIdentifier) {
    uid = *occurrence.eventIdentifier;
  } else {
    generated = newUuid();
    uid = generated;
  }
  std::string_view title = occurrence.title ? std::string_view(*occurrence.title) : std::string_view();
  std::string_view calendar = occurrence.calendar->calendarIdentifier;
  const double start = *occurrence.startDate;
  const double end = *occurrence.endDate;

  // The common record, all plain text and finite times, is composed as text in one go.
  if (JsonText::plain(uid) && JsonText::plain(title) && JsonText::plain(calendar) && std::isfinite(start) &&
      std::isfinite(end)) {
    text.clear();
    text.open();
    text.string("\"uid\":", uid);
    text.string(",\"title\":", title);
    text.number(",\"start\":", start);
    text.number(",\"end\":", end);
    text.boolean(",\"allDay\":", occurrence.isAllDay);
    text.string(",\"calendar\":", calendar);
    text.close();
    out.raw(rapidjson::kObjectType, text.text());
    return;
  }
  out.startObject();
  out.key("uid");
  out.string(uid);
  out.key("title");
  out.string(title);
  out.key("start");
  out.number(start);
  out.key("end");
  out.number(end);
  out.key("allDay");
  out.boolean(occurrence.isAllDay);
  out.key("calendar");
  out.string(calendar);
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
    JsonText text;
    store.enumerateEventsMatching(*from, *to, selected, [&](const Event& occurrence) {
      writeRecord(out, text, occurrence);
      return ++taken < kMaxEventRecords;
    });
    out.endArray();
  });
}

}  // namespace calbridge
