#include "commands/delete_event.h"

#include "calendar/access/authorization.h"
#include "protocol/readers.h"
#include "base/unicode.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace calbridge {

namespace {

constexpr double kSearchSeconds = 60;
constexpr double kStartTolerance = 1;

Reply deleted(std::int64_t count) {
  return ok([&](JsonOut& out) {
    out.startObject();
    out.key("deleted");
    out.integer(count);
    out.endObject();
  });
}

// True while the store still holds the item `candidate` is an occurrence of.
bool stillStored(Store& store, std::string_view uid, const Event& candidate) {
  for (const auto& item : store.calendarItemsWithExternalIdentifier(uid)) {
    if (item.event.calendarItemIdentifier && candidate.calendarItemIdentifier &&
        *item.event.calendarItemIdentifier == *candidate.calendarItemIdentifier) {
      return true;
    }
  }
  return false;
}

}  // namespace

Reply deleteEventCommand(Store& store, const Request& input) {
  if (!hasAccess(store)) return fail(ErrorCode::denied);
  auto uid = text(input, "uid", kMaxUidCharacters);
  if (!uid) return fail(ErrorCode::invalid);
  auto calendarId = plainString(input, "calendar");
  if (!calendarId) return fail(ErrorCode::invalid);

  auto items = store.calendarItemsWithExternalIdentifier(*uid);
  const Event* candidate = nullptr;
  for (const auto& item : items) {
    if (item.entityType != EntityType::event || !item.event.calendar) continue;
    if (canonicallyEqual(item.event.calendar->calendarIdentifier, *calendarId)) {
      candidate = &item.event;
      break;
    }
  }
  if (candidate == nullptr || !candidate->calendar->allowsContentModifications) return deleted(0);

  auto start = number(input, "start");
  if (!start) {
    if (store.removeEvent(*candidate, Span::futureEvents, true)) return deleted(1);
    // Another host may have removed it since it was found: what was asked for
    // is done, by somebody else.
    if (!stillStored(store, *uid, *candidate)) return deleted(0);
    return fail(ErrorCode::failed);
  }

  auto matching = [&] {
    std::vector<Event> found;
    for (Event& occurrence :
         store.eventsMatching(*start - kSearchSeconds, *start + kSearchSeconds, {candidate->calendar})) {
      if (!occurrence.calendarItemExternalIdentifier ||
          !canonicallyEqual(*occurrence.calendarItemExternalIdentifier, *uid)) {
        continue;
      }
      if (!occurrence.startDate || std::fabs(*occurrence.startDate - *start) >= kStartTolerance) continue;
      found.push_back(std::move(occurrence));
    }
    return found;
  };
  std::int64_t count = 0;
  bool refused = false;
  for (const Event& occurrence : matching()) {
    if (store.removeEvent(occurrence, Span::thisEvent, false)) ++count;
    else refused = true;
  }
  // One the store refused to remove (its text cannot take the change) and
  // still lists is a failure, not "0 deleted"; without the commit nothing
  // of the request happened. One another host removed meanwhile is gone.
  if (refused && !matching().empty()) return fail(ErrorCode::failed);
  // The removals become real only with this commit. When it fails none of them
  // happened, and saying otherwise would leave the host believing they had.
  if (!store.commit() && count > 0) return fail(ErrorCode::failed);
  return deleted(count);
}

}  // namespace calbridge
