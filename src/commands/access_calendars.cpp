#include "commands/access_calendars.h"

#include "calendar/access/authorization.h"
#include "calendar/color.h"

namespace calbridge {

Reply accessCommand(Store& store, const Request&) {
  bool granted = requestAccess(store);
  return ok([&](JsonOut& out) {
    out.startObject();
    out.key("granted");
    out.boolean(granted);
    out.endObject();
  });
}

Reply calendarsCommand(Store& store, const Request&) {
  if (!hasAccess(store) && !requestAccess(store)) return fail(ErrorCode::denied);
  auto calendars = store.calendars();
  return ok([&](JsonOut& out) {
    out.startArray();
    for (const auto& calendar : calendars) {
      out.startObject();
      out.key("id");
      out.string(calendar->calendarIdentifier);
      out.key("title");
      out.string(calendar->title);
      out.key("color");
      out.string(hex(calendar->color));
      out.key("writable");
      out.boolean(calendar->allowsContentModifications);
      out.key("source");
      out.string(calendar->source && calendar->source->title ? *calendar->source->title : std::string());
      out.endObject();
    }
    out.endArray();
  });
}

}  // namespace calbridge
