// A stand-in for the part of EventKit and CoreGraphics the EventKit store uses
// (include/EventKit/EventKit.h, include/CoreGraphics/CoreGraphics.h), so that
// the store can be built and its bridge tested where there is no EventKit. Its
// calendar database is the own SQLite store (SqliteStore): calbridge-store
// arranges the data, the bridge reaches it only through EventKit's calls.
// Built only for tests, never into a product.
//
// It does what Apple's documentation says EventKit does:
// - A query's predicate spans at most four years; a longer one is cut to its
//   first four.
// - `eventsMatchingPredicate:` gives one event object per occurrence, with its
//   own start and end and its `occurrenceDate`; an occurrence that was moved
//   (a detached one) is listed where it is now, and its `occurrenceDate` is
//   still its start by the rule. Every occurrence of a series shares the
//   series' `calendarItemIdentifier` and `calendarItemExternalIdentifier`.
// - Queries see only committed changes: a change saved or removed with commit
//   NO stays out of their answers until `commit:`.
// - `calendarItemsWithExternalIdentifier:` gives a repeating event once, as
//   its first occurrence.
// - Span "this event" removes one occurrence; "future events" removes it and
//   every later one of its series (from the first occurrence: the series).
// - Saving refuses an event without a calendar, without a start or an end, an
//   end before the start, and a calendar that does not allow content
//   modifications; removing refuses an immutable calendar.
//
// Where the documentation leaves a question the store relies on, the stand-in
// assumes:
// - Order: EventKit promises none for `eventsMatchingPredicate:` ("does not
//   necessarily return events in chronological order"). The stand-in gives the
//   occurrences calendar by calendar, in the order of the predicate's
//   calendars, each calendar's by start: a caller that needs start order sorts.
// - Four years are 1461 days of 86,400 seconds.
// - A predicate over an empty list of calendars matches nothing (nil matches
//   every calendar, as documented).
// - The window: an occurrence matches when it starts before the window's end
//   and ends after its start; one that takes no time, when it starts in it.
// - `init` gives nil when the database cannot be opened; EventKit documents no
//   failure of init.
// - A failed read gives what was read (often nothing); EventKit reports no
//   failed reads.
// - `requestFullAccessToEventsWithCompletion:` asks only while the status is
//   not determined (otherwise the completion gets NO at once), as the own
//   store's question does; the older `requestAccessToEntityType:completion:`
//   does the same for events. Status 3 is full access (and "authorized").
// - An account's `title` is never nil: an untitled one has the empty string.
// - Errors are in the domain "EKErrorDomain" with code 0 and a description;
//   the store reads only the success flag.
// - A commit that failed takes its whole transaction with it, and the store
//   object takes further changes after it.
// - Only new events and new calendars can be saved (the own store keeps them
//   so); saving changes to a stored one is refused.
// - A new event's zone is the process's local zone (TZ), as the system's is.
//
// This runtime (GCC's, with its fragile ABI) needs a class's instance
// variables declared with its interface, and EventKit's interfaces declare
// none. So each EventKit class here is abstract, with its behaviour, and a
// storage subclass below holds its state; factories and +allocWithZone: make
// the storage subclass. There is no ARC either: the stand-in retains and
// releases by hand, blocks are kept with Block_copy (a block is no object
// this runtime can send messages to).
#pragma once

#import <CoreGraphics/CoreGraphics.h>
#import <EventKit/EventKit.h>

#include "calendar/store.h"
#include "sqlite/sqlite_store.h"

@interface SimSource : EKSource {
 @public
  calbridge::Source* value;
}
@end

@interface SimCalendar : EKCalendar {
 @public
  calbridge::Calendar* value;
  // The stored calendar events name; null until the calendar is saved.
  std::shared_ptr<const calbridge::Calendar>* stored;
  CGColorRef color;  // owned; made from `value` when first asked for
  EKSource* source;  // retained
}
@end

@interface SimEvent : EKEvent {
 @public
  calbridge::Event* value;
  EKCalendar* calendar;  // retained
  NSMutableArray<EKRecurrenceRule*>* rules;
}
@end

@interface SimRecurrenceDayOfWeek : EKRecurrenceDayOfWeek {
 @public
  EKWeekday dayOfTheWeek;
}
@end

@interface SimRecurrenceEnd : EKRecurrenceEnd {
 @public
  double endDate;
}
@end

@interface SimRecurrenceRule : EKRecurrenceRule {
 @public
  calbridge::RecurrenceRule* value;
}
@end

@interface SimEventPredicate : NSPredicate {
 @public
  double start;
  double end;
  NSArray<EKCalendar*>* calendars;  // retained; nil: every calendar
}
@end

@interface SimEventStore : EKEventStore {
 @public
  calbridge::SqliteStore* writer;  // saves, removals and commits
  // Reads: a second connection, which sees only committed changes. Opened
  // when first needed, and again after each commit.
  calbridge::SqliteStore* reader;
}
@end
