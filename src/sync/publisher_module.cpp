// The entry of the calbridge-caldav module, which the bridge opens the first
// time a change goes to a CalDAV account's server (main/lazy_publisher.h).
#include "ical/object_edit.h"
#include "sync/caldav_publisher.h"

extern "C" [[gnu::visibility("default")]] calbridge::ObjectPublisher* calbridge_caldav_publisher(
    calbridge::ZoneCache* zones) {
  return new calbridge::CalDavPublisher(*zones, &calbridge::applyEdits);
}
