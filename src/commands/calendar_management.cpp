#include "commands/calendar_management.h"

#include "calendar/access/authorization.h"
#include "calendar/color.h"
#include "protocol/readers.h"
#include "base/unicode.h"

namespace calbridge {

namespace {

// The account a new calendar goes into: the default calendar's, else the first
// CalDAV account, else the first local one.
std::optional<Source> accountForNewCalendar(Store& store) {
  if (auto standard = store.defaultCalendarForNewEvents(); standard && standard->source) return standard->source;
  for (SourceType type : {SourceType::calDAV, SourceType::local}) {
    for (auto& source : store.sources()) {
      if (source.sourceType == type) return source;
    }
  }
  return std::nullopt;
}

}  // namespace

Reply createCalendarCommand(Store& store, const Request& input) {
  if (!hasAccess(store)) return fail(ErrorCode::denied);
  auto title = text(input, "title", kMaxCalendarTitleCharacters);
  if (!title) return fail(ErrorCode::invalid);
  Calendar calendar;
  calendar.title = *title;
  // A color that is missing or malformed is simply not set.
  calendar.color = colorFromHex(plainString(input, "color").value_or(""));
  calendar.source = accountForNewCalendar(store);
  if (!calendar.source) return fail(ErrorCode::failed);
  if (!store.saveCalendar(calendar, true)) return fail(ErrorCode::failed);
  return ok([&](JsonOut& out) {
    out.startObject();
    out.key("id");
    out.string(calendar.calendarIdentifier);
    out.endObject();
  });
}

Reply deleteCalendarCommand(Store& store, const Request& input) {
  if (!hasAccess(store)) return fail(ErrorCode::denied);
  auto identifier = text(input, "calendar", kMaxCalendarIdCharacters);
  if (!identifier) return fail(ErrorCode::invalid);
  auto calendar = store.calendarWithIdentifier(*identifier);
  if (!calendar) return fail(ErrorCode::invalid);
  if (!calendar->allowsContentModifications) return fail(ErrorCode::invalid);
  if (calendar->isImmutable) return fail(ErrorCode::invalid);
  auto standard = store.defaultCalendarForNewEvents();
  if (standard && canonicallyEqual(standard->calendarIdentifier, calendar->calendarIdentifier)) {
    return fail(ErrorCode::invalid);
  }
  if (!store.removeCalendar(*calendar, true)) return fail(ErrorCode::failed);
  return ok([](JsonOut& out) {
    out.startObject();
    out.key("deleted");
    out.boolean(true);
    out.endObject();
  });
}

}  // namespace calbridge
