// The entry of the calbridge-caldav module, which the bridge opens the first
// time a change goes to a CalDAV account's server (main/lazy_publisher.h).
#include "ical/object_edit.h"
#include "sync/caldav_publisher.h"

// `started` is the command's start, on the steady clock (its count since the
// clock's epoch), which the bound of a change covers from.
extern "C" [[gnu::visibility("default")]] calbridge::ObjectPublisher* calbridge_caldav_publisher(
    calbridge::ZoneCache* zones, long long started) {
  using Clock = std::chrono::steady_clock;
  return new calbridge::CalDavPublisher(*zones, &calbridge::applyEdits, calbridge::CalDavPublisher::kBound,
                                        Clock::time_point(Clock::duration(started)));
}
