#include "eventkit/eventkit_store.h"

#include "eventkit/colors.h"
#include "eventkit/strings.h"

#import <EventKit/EventKit.h>
#import <Foundation/Foundation.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Ownership: objects this file keeps beyond one call are made with alloc/init
// or kept in collections made so, and nothing is retained or released by hand.
// Under ARC that is plain ownership; built without ARC (GCC's Objective-C
// runtime has none) such objects live until the process ends, which one
// request per process bounds. Every operation drains its own autorelease pool.

namespace calbridge {
namespace {

std::optional<std::string> optionalString(NSString* text) {
  if (text == nil) return std::nullopt;
  return utf8Of(text);
}

NSDate* dateOf(double seconds) { return [NSDate dateWithTimeIntervalSince1970:seconds]; }

std::optional<double> secondsOf(NSDate* date) {
  if (date == nil) return std::nullopt;
  return date.timeIntervalSince1970;
}

EKSpan spanOf(Span span) { return span == Span::futureEvents ? EKSpanFutureEvents : EKSpanThisEvent; }

AuthorizationStatus statusOf(EKAuthorizationStatus status) {
  // By number: 3 is full access from macOS 14 on and plain authorization
  // before it, where the names differ. A value unknown today is no access.
  switch (static_cast<NSInteger>(status)) {
    case 0: return AuthorizationStatus::notDetermined;
    case 1: return AuthorizationStatus::restricted;
    case 2: return AuthorizationStatus::denied;
    case 3: return AuthorizationStatus::fullAccess;
    case 4: return AuthorizationStatus::writeOnly;
    default: return AuthorizationStatus::denied;
  }
}

Source sourceValueOf(EKSource* source) {
  Source value;
  value.sourceIdentifier = utf8Of(source.sourceIdentifier);
  value.title = optionalString(source.title);
  value.sourceType = static_cast<SourceType>(source.sourceType);
  return value;
}

Calendar calendarValueOf(EKCalendar* calendar) {
  Calendar value;
  value.calendarIdentifier = utf8Of(calendar.calendarIdentifier);
  value.title = utf8Of(calendar.title);
  value.color = colorOf(calendar.CGColor);
  value.allowsContentModifications = calendar.allowsContentModifications;
  value.isImmutable = [calendar isImmutable];
  if (EKSource* source = calendar.source) value.source = sourceValueOf(source);
  return value;
}

// The rule the store's value describes, or nil for one EventKit cannot hold.
EKRecurrenceRule* ruleOf(const RecurrenceRule& rule) {
  if (rule.frequency < Frequency::daily || rule.frequency > Frequency::yearly || rule.interval < 1) return nil;
  NSMutableArray<EKRecurrenceDayOfWeek*>* days = nil;
  if (!rule.daysOfTheWeek.empty()) {
    days = [NSMutableArray arrayWithCapacity:rule.daysOfTheWeek.size()];
    for (int day : rule.daysOfTheWeek) {
      if (day < EKWeekdaySunday || day > EKWeekdaySaturday) return nil;
      [days addObject:[EKRecurrenceDayOfWeek dayOfWeek:static_cast<EKWeekday>(day)]];
    }
  }
  EKRecurrenceEnd* end = rule.endDate ? [EKRecurrenceEnd recurrenceEndWithEndDate:dateOf(*rule.endDate)] : nil;
  return [[EKRecurrenceRule alloc] initRecurrenceWithFrequency:static_cast<EKRecurrenceFrequency>(rule.frequency)
                                                       interval:rule.interval
                                                  daysOfTheWeek:days
                                                 daysOfTheMonth:nil
                                                monthsOfTheYear:nil
                                                 weeksOfTheYear:nil
                                                  daysOfTheYear:nil
                                                   setPositions:nil
                                                            end:end];
}

class EventKitStore final : public Store {
 public:
  EventKitStore()
      : calendars_([[NSMutableDictionary alloc] init]),
        calendarsSeen_([[NSMutableArray alloc] init]),
        sources_([[NSMutableDictionary alloc] init]),
        results_([[NSMutableArray alloc] init]),
        stagedNewEvents_([[NSMutableArray alloc] init]),
        committedEarly_([[NSMutableArray alloc] init]) {}

  bool open() override {
    if (store_ != nil) return true;
    @autoreleasepool {
      store_ = [[EKEventStore alloc] init];
    }
    // EventKit documents no failure of init; a store it did not make cannot be used.
    return store_ != nil;
  }

  bool readFailed() const override { return false; }

  AuthorizationStatus authorizationStatus() override {
    @autoreleasepool {
      return statusOf([EKEventStore authorizationStatusForEntityType:EKEntityTypeEvent]);
    }
  }

  void requestFullAccessToEvents(std::function<void(bool granted)> completion) override {
    @autoreleasepool {
      EKEventStoreRequestAccessCompletionHandler handler = ^(BOOL granted, NSError* _Nullable) {
        completion(granted);
      };
      // Decided by the system the bridge runs, not the one it was built for:
      // from macOS 14 on, full access has a request of its own.
      if (@available(macOS 14.0, *)) {
        [store_ requestFullAccessToEventsWithCompletion:handler];
      } else {
        [store_ requestAccessToEntityType:EKEntityTypeEvent completion:handler];
      }
    }
  }

  std::optional<bool> endAccessRequest() override {
    // The system's question cannot be withdrawn; an answer it kept just as
    // the wait ended still counts.
    switch (authorizationStatus()) {
      case AuthorizationStatus::fullAccess: return true;
      case AuthorizationStatus::notDetermined: return std::nullopt;
      default: return false;
    }
  }

  std::vector<std::shared_ptr<const Calendar>> calendars() override {
    std::vector<std::shared_ptr<const Calendar>> values;
    @autoreleasepool {
      NSArray<EKCalendar*>* all = [store_ calendarsForEntityType:EKEntityTypeEvent];
      values.reserve(all.count);
      for (NSUInteger i = 0; i < all.count; ++i) values.push_back(calendarValue([all objectAtIndex:i]));
    }
    return values;
  }

  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override {
    @autoreleasepool {
      NSString* key = newNSString(identifier);
      if (key == nil) return nullptr;
      return calendarValue([store_ calendarWithIdentifier:key]);
    }
  }

  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override {
    @autoreleasepool {
      return calendarValue(store_.defaultCalendarForNewEvents);
    }
  }

  std::vector<Source> sources() override {
    std::vector<Source> values;
    @autoreleasepool {
      NSArray<EKSource*>* all = store_.sources;
      values.reserve(all.count);
      for (NSUInteger i = 0; i < all.count; ++i) {
        EKSource* source = [all objectAtIndex:i];
        values.push_back(sourceValueOf(source));
        if (NSString* key = source.sourceIdentifier) [sources_ setObject:source forKey:key];
      }
    }
    return values;
  }

  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override {
    std::vector<CalendarItem> values;
    @autoreleasepool {
      NSString* key = newNSString(externalIdentifier);
      if (key == nil) return values;
      commitNewEvents();
      NSArray<EKCalendarItem*>* items = [store_ calendarItemsWithExternalIdentifier:key];
      NSMutableArray<EKEvent*>* events = [NSMutableArray arrayWithCapacity:items.count];
      for (NSUInteger i = 0; i < items.count; ++i) {
        EKCalendarItem* item = [items objectAtIndex:i];
        CalendarItem value;
        if ([item isKindOfClass:[EKEvent class]]) {
          fill(value.event, (EKEvent*)item);
          [events addObject:(EKEvent*)item];
        } else {
          value.entityType = EntityType::reminder;
          value.event.calendar = calendarValue(item.calendar);
          value.event.title = optionalString(item.title);
          value.event.calendarItemIdentifier = optionalString(item.calendarItemIdentifier);
          value.event.calendarItemExternalIdentifier = optionalString(item.calendarItemExternalIdentifier);
        }
        values.push_back(std::move(value));
      }
      [results_ addObject:events];
    }
    return values;
  }

  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override {
    @autoreleasepool {
      commitNewEvents();
      NSMutableArray<EKCalendar*>* selected = [NSMutableArray arrayWithCapacity:calendars.size()];
      for (const auto& calendar : calendars) {
        if (!calendar) continue;
        if (EKCalendar* found = platformCalendar(*calendar)) [selected addObject:found];
      }
      // No calendars asks for none (nil would ask for every one).
      if (selected.count == 0) return;
      NSPredicate* predicate = [store_ predicateForEventsWithStartDate:dateOf(start)
                                                               endDate:dateOf(end)
                                                             calendars:selected];
      NSArray<EKEvent*>* found = [store_ eventsMatchingPredicate:predicate];
      [results_ addObject:found];
      // EventKit promises no order; callers get start order, ties as EventKit
      // gave them, and occurrences without a start last.
      std::vector<std::pair<double, NSUInteger>> order;
      order.reserve(found.count);
      for (NSUInteger i = 0; i < found.count; ++i) {
        double start = secondsOf([found objectAtIndex:i].startDate).value_or(std::numeric_limits<double>::infinity());
        order.emplace_back(std::isnan(start) ? std::numeric_limits<double>::infinity() : start, i);
      }
      std::stable_sort(order.begin(), order.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      Event occurrence;
      for (const auto& [ignored, index] : order) {
        @autoreleasepool {
          fill(occurrence, [found objectAtIndex:index]);
        }
        if (!visit(occurrence)) break;
      }
    }
  }

  bool saveEvent(Event& event, Span span, bool commit) override {
    @autoreleasepool {
      // As the own store: only new events.
      if (event.calendarItemIdentifier || event.eventIdentifier || !event.calendar) return false;
      EKCalendar* calendar = platformCalendar(*event.calendar);
      if (calendar == nil) return false;
      EKEvent* created = [EKEvent eventWithEventStore:store_];
      created.calendar = calendar;
      if (event.title) {
        if (NSString* title = newNSString(*event.title)) created.title = title;
      }
      if (event.startDate) created.startDate = dateOf(*event.startDate);
      if (event.endDate) created.endDate = dateOf(*event.endDate);
      if (event.isAllDay) created.allDay = YES;
      if (event.recurrenceRule) {
        EKRecurrenceRule* rule = ruleOf(*event.recurrenceRule);
        if (rule == nil) return false;
        [created addRecurrenceRule:rule];
      }
      BOOL saved = [store_ saveEvent:created span:spanOf(span) commit:commit error:nullptr];
      if (saved) {
        event.calendarItemIdentifier = optionalString(created.calendarItemIdentifier);
        event.calendarItemExternalIdentifier = optionalString(created.calendarItemExternalIdentifier);
        event.eventIdentifier = optionalString(created.eventIdentifier);
        event.occurrenceDate = secondsOf(created.occurrenceDate);
        [results_ addObject:[NSArray arrayWithObject:created]];
        if (!commit) [stagedNewEvents_ addObject:created];
      }
      return commit ? finish(saved) : saved;
    }
  }

  bool removeEvent(const Event& event, Span span, bool commit) override {
    @autoreleasepool {
      EKEvent* found = platformEvent(event);
      if (found == nil) return false;
      BOOL removed = [store_ removeEvent:found span:spanOf(span) commit:commit error:nullptr];
      return commit ? finish(removed) : removed;
    }
  }

  bool saveCalendar(Calendar& calendar, bool commit) override {
    @autoreleasepool {
      // As the own store: only new calendars.
      if (!calendar.calendarIdentifier.empty()) return false;
      EKCalendar* created = [EKCalendar calendarForEntityType:EKEntityTypeEvent eventStore:store_];
      if (NSString* title = newNSString(calendar.title)) created.title = title;
      if (calendar.color) {
        if (CGColorRef color = newCGColor(*calendar.color)) {
          created.CGColor = color;
          CGColorRelease(color);
        }
      }
      if (calendar.source) {
        EKSource* source = platformSource(*calendar.source);
        if (source == nil) return false;
        created.source = source;
      }
      BOOL saved = [store_ saveCalendar:created commit:commit error:nullptr];
      if (saved) {
        calendar.calendarIdentifier = utf8Of(created.calendarIdentifier);
        if (NSString* key = created.calendarIdentifier) [calendars_ setObject:created forKey:key];
      }
      return commit ? finish(saved) : saved;
    }
  }

  bool removeCalendar(const Calendar& calendar, bool commit) override {
    @autoreleasepool {
      EKCalendar* found = platformCalendar(calendar);
      if (found == nil) return false;
      BOOL removed = [store_ removeCalendar:found commit:commit error:nullptr];
      return commit ? finish(removed) : removed;
    }
  }

  bool commit() override {
    @autoreleasepool {
      return finish([store_ commit:nullptr]);
    }
  }

 private:
  void fill(Event& event, EKEvent* occurrence) {
    event.calendar = calendarValue(occurrence.calendar);
    event.title = optionalString(occurrence.title);
    event.startDate = secondsOf(occurrence.startDate);
    event.endDate = secondsOf(occurrence.endDate);
    event.isAllDay = occurrence.allDay;
    NSInteger status = occurrence.status;
    event.status = status >= EKEventStatusNone && status <= EKEventStatusCanceled ? static_cast<EventStatus>(status)
                                                                                  : EventStatus::none;
    event.calendarItemIdentifier = optionalString(occurrence.calendarItemIdentifier);
    event.calendarItemExternalIdentifier = optionalString(occurrence.calendarItemExternalIdentifier);
    event.eventIdentifier = optionalString(occurrence.eventIdentifier);
    event.occurrenceDate = secondsOf(occurrence.occurrenceDate);
  }

  // One value per calendar, found by the object first: a listing's events
  // mostly share a few calendar objects.
  std::shared_ptr<const Calendar> calendarValue(EKCalendar* calendar) {
    if (calendar == nil) return nullptr;
    const void* object = (__bridge const void*)calendar;
    if (auto known = calendarByObject_.find(object); known != calendarByObject_.end()) return known->second;
    std::string identifier = utf8Of(calendar.calendarIdentifier);
    auto& value = calendarValues_[identifier];
    if (!value) value = std::make_shared<const Calendar>(calendarValueOf(calendar));
    [calendarsSeen_ addObject:calendar];  // keeps `object` the address of this calendar
    calendarByObject_.emplace(object, value);
    NSString* key = calendar.calendarIdentifier;
    if (key != nil && [calendars_ objectForKey:key] == nil) [calendars_ setObject:calendar forKey:key];
    EKSource* source = calendar.source;
    if (NSString* sourceKey = source.sourceIdentifier) [sources_ setObject:source forKey:sourceKey];
    return value;
  }

  EKCalendar* platformCalendar(const Calendar& calendar) {
    NSString* key = newNSString(calendar.calendarIdentifier);
    if (key == nil) return nil;
    EKCalendar* found = [calendars_ objectForKey:key];
    if (found == nil) {
      found = [store_ calendarWithIdentifier:key];
      if (found != nil) [calendars_ setObject:found forKey:key];
    }
    return found;
  }

  EKSource* platformSource(const Source& source) {
    NSString* key = newNSString(source.sourceIdentifier);
    if (key == nil) return nil;
    if (EKSource* found = [sources_ objectForKey:key]) return found;
    sources();
    return [sources_ objectForKey:key];
  }

  // The object an event value was made from, newest first.
  EKEvent* platformEvent(const Event& event) {
    for (NSUInteger list = results_.count; list-- > 0;) {
      NSArray<EKEvent*>* events = [results_ objectAtIndex:list];
      for (NSUInteger i = 0; i < events.count; ++i) {
        EKEvent* candidate = [events objectAtIndex:i];
        if (secondsOf(candidate.startDate) != event.startDate ||
            secondsOf(candidate.occurrenceDate) != event.occurrenceDate ||
            optionalString(candidate.calendarItemIdentifier) != event.calendarItemIdentifier ||
            optionalString(candidate.eventIdentifier) != event.eventIdentifier) {
          continue;
        }
        return candidate;
      }
    }
    return nil;
  }

  // Before a query: EventKit's queries see only committed events, and a
  // caller that saved one expects to find it.
  void commitNewEvents() {
    if (stagedNewEvents_.count == 0) return;
    if ([store_ commit:nullptr]) {
      [committedEarly_ addObjectsFromArray:stagedNewEvents_];
    } else {
      earlyCommitFailed_ = true;
    }
    [stagedNewEvents_ removeAllObjects];
  }

  // The end of the caller's transaction, `committed` or not. A failed one
  // takes back the events committed early for its queries, so that none of
  // it stays.
  bool finish(bool committed) {
    committed = committed && !earlyCommitFailed_;
    if (!committed) {
      for (NSUInteger i = 0; i < committedEarly_.count; ++i) {
        [store_ removeEvent:[committedEarly_ objectAtIndex:i] span:EKSpanFutureEvents commit:YES error:nullptr];
      }
    }
    [stagedNewEvents_ removeAllObjects];
    [committedEarly_ removeAllObjects];
    earlyCommitFailed_ = false;
    return committed;
  }

  EKEventStore* store_ = nil;
  // Every platform object handed out as a value, so that a value given back
  // finds its object again (and objects stay at the addresses keyed below).
  NSMutableDictionary<NSString*, EKCalendar*>* calendars_;
  NSMutableArray<EKCalendar*>* calendarsSeen_;
  NSMutableDictionary<NSString*, EKSource*>* sources_;
  NSMutableArray<NSArray<EKEvent*>*>* results_;  // oldest first
  std::unordered_map<std::string, std::shared_ptr<const Calendar>> calendarValues_;
  std::unordered_map<const void*, std::shared_ptr<const Calendar>> calendarByObject_;
  // The caller's open transaction: new events saved without a commit, those
  // committed before a query, and whether such a commit failed.
  NSMutableArray<EKEvent*>* stagedNewEvents_;
  NSMutableArray<EKEvent*>* committedEarly_;
  bool earlyCommitFailed_ = false;
};

}  // namespace

std::unique_ptr<Store> makeEventKitStore() { return std::make_unique<EventKitStore>(); }

}  // namespace calbridge
