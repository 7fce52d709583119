// The calendar store of macOS: the person's calendar database, through EventKit.
#pragma once

#include "calendar/store.h"

#include <memory>

namespace calbridge {

// A store over a new EKEventStore, made when the store is opened.
//
// EventKit differs from the store interface in ways its callers notice:
// - Queries see only committed changes. A new event saved without a commit is
//   committed before the next query, so that the query finds it; if a later
//   commit then fails, the event is removed again, so that a failed change
//   leaves nothing behind (a process killed in between leaves the event).
// - EventKit reports no failed reads: `readFailed` is always false.
// - Only new events and new calendars are saved (as the own store does); an
//   event's own time zone is not carried, a new event takes the system's.
// - A question for access that went unanswered cannot be withdrawn: the
//   system keeps asking, and keeps an answer given after the wait.
std::unique_ptr<Store> makeEventKitStore();

}  // namespace calbridge
