#import "eventkit/sim/stand_in.h"

#include "eventkit/sim/core_graphics.h"
#include "eventkit/strings.h"

#include <Block.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

using calbridge::Calendar;
using calbridge::Event;
using calbridge::SqliteStore;

namespace {

constexpr double kFourYears = 1461.0 * 86400.0;

NSString* nsString(const std::string& text) { return [calbridge::newNSString(text) autorelease]; }

NSDate* dateOf(const std::optional<double>& seconds) {
  return seconds ? [NSDate dateWithTimeIntervalSince1970:*seconds] : nil;
}

std::optional<double> secondsOf(NSDate* date) {
  if (date == nil) return std::nullopt;
  return [date timeIntervalSince1970];
}

BOOL refuse(NSError** error, const char* why) {
  if (error != nullptr) {
    NSDictionary* about = [NSDictionary dictionaryWithObject:[NSString stringWithUTF8String:why]
                                                      forKey:NSLocalizedDescriptionKey];
    *error = [NSError errorWithDomain:@"EKErrorDomain" code:0 userInfo:about];
  }
  return NO;
}

SqliteStore& writerOf(EKEventStore* store) { return *static_cast<SimEventStore*>(store)->writer; }

SqliteStore& readerOf(EKEventStore* store) {
  SimEventStore* sim = static_cast<SimEventStore*>(store);
  if (sim->reader == nullptr) {
    sim->reader = new SqliteStore(calbridge::defaultStorePath());
    (void)sim->reader->open();  // one that cannot be opened reads nothing
  }
  return *sim->reader;
}

// After a commit, reads start again from what is committed now.
void committed(EKEventStore* store) {
  SimEventStore* sim = static_cast<SimEventStore*>(store);
  delete sim->reader;
  sim->reader = nullptr;
}

// After a commit that failed: its transaction is gone, and the store object
// takes the next change as EventKit's does. The own store's connection takes
// none after a failing disk, so a new one takes its place.
void commitFailed(EKEventStore* store) {
  committed(store);
  SimEventStore* sim = static_cast<SimEventStore*>(store);
  if (!sim->writer->readFailed()) return;
  delete sim->writer;
  sim->writer = new SqliteStore(calbridge::defaultStorePath());
  (void)sim->writer->open();  // one that cannot be opened changes nothing
}

// The outcome of a change: a change that was to commit and failed ends the transaction.
BOOL outcome(EKEventStore* store, bool done, BOOL commit, NSError** error, const char* why) {
  if (done) {
    if (commit) committed(store);
    return YES;
  }
  if (commit) commitFailed(store);
  return refuse(error, why);
}

// Where the class asks for the status: no store object is at hand there.
SqliteStore& statusStore() {
  static SqliteStore* store = [] {
    auto* opened = new SqliteStore(calbridge::defaultStorePath());
    (void)opened->open();
    return opened;
  }();
  return *store;
}

SimSource* sourceObject(const calbridge::Source& value) {
  SimSource* source = [[[SimSource alloc] init] autorelease];
  source->value = new calbridge::Source(value);
  return source;
}

SimCalendar* calendarObject(const std::shared_ptr<const Calendar>& stored) {
  SimCalendar* calendar = [[[SimCalendar alloc] init] autorelease];
  calendar->value = new Calendar(*stored);
  calendar->stored = new std::shared_ptr<const Calendar>(stored);
  if (stored->source) calendar->source = [sourceObject(*stored->source) retain];
  return calendar;
}

SimEvent* eventObject(Event value, EKCalendar* calendar) {
  SimEvent* event = [[[SimEvent alloc] init] autorelease];
  event->value = new Event(std::move(value));
  event->calendar = [calendar retain];
  event->rules = [[NSMutableArray alloc] init];
  return event;
}

// One calendar object per calendar of a query's answer.
EKCalendar* calendarFor(const std::shared_ptr<const Calendar>& value, NSMutableDictionary* made) {
  if (!value) return nil;
  NSString* key = nsString(value->calendarIdentifier);
  if (key == nil) return calendarObject(value);  // not UTF-8: put there by hand
  EKCalendar* calendar = [made objectForKey:key];
  if (calendar == nil) {
    calendar = calendarObject(value);
    [made setObject:calendar forKey:key];
  }
  return calendar;
}

}  // namespace

@implementation EKObject
@end

@implementation EKSource

- (NSString*)sourceIdentifier {
  return nsString(static_cast<SimSource*>(self)->value->sourceIdentifier);
}

- (EKSourceType)sourceType {
  return static_cast<EKSourceType>(static_cast<SimSource*>(self)->value->sourceType);
}

- (NSString*)title {
  const auto& title = static_cast<SimSource*>(self)->value->title;
  return title ? nsString(*title) : @"";
}

@end

@implementation SimSource

- (void)dealloc {
  delete value;
  [super dealloc];
}

@end

@implementation EKCalendar

+ (EKCalendar*)calendarForEntityType:(EKEntityType)entityType eventStore:(EKEventStore*)eventStore {
  (void)entityType;  // the stand-in keeps events only
  (void)eventStore;
  SimCalendar* calendar = [[[SimCalendar alloc] init] autorelease];
  calendar->value = new Calendar;
  return calendar;
}

- (EKSource*)source {
  return static_cast<SimCalendar*>(self)->source;
}

- (void)setSource:(EKSource*)source {
  SimCalendar* calendar = static_cast<SimCalendar*>(self);
  [source retain];
  [calendar->source release];
  calendar->source = source;
  if ([source isKindOfClass:[SimSource class]]) {
    calendar->value->source = *static_cast<SimSource*>(source)->value;
  } else {
    calendar->value->source.reset();
  }
}

- (NSString*)calendarIdentifier {
  return nsString(static_cast<SimCalendar*>(self)->value->calendarIdentifier);
}

- (NSString*)title {
  return nsString(static_cast<SimCalendar*>(self)->value->title);
}

- (void)setTitle:(NSString*)title {
  static_cast<SimCalendar*>(self)->value->title = calbridge::utf8Of(title);
}

- (BOOL)allowsContentModifications {
  return static_cast<SimCalendar*>(self)->value->allowsContentModifications;
}

- (BOOL)isImmutable {
  return static_cast<SimCalendar*>(self)->value->isImmutable;
}

- (CGColorRef)CGColor {
  SimCalendar* calendar = static_cast<SimCalendar*>(self);
  if (calendar->color == nullptr && calendar->value->color) {
    calendar->color = calbridge::standin::newColor(*calendar->value->color);
  }
  return calendar->color;
}

- (void)setCGColor:(CGColorRef)color {
  SimCalendar* calendar = static_cast<SimCalendar*>(self);
  calbridge::standin::retainColor(color);
  CGColorRelease(calendar->color);
  calendar->color = color;
  calendar->value->color = color != nullptr ? std::optional(calbridge::standin::colorValue(color)) : std::nullopt;
}

@end

@implementation SimCalendar

- (void)dealloc {
  delete value;
  delete stored;
  CGColorRelease(color);
  [source release];
  [super dealloc];
}

@end

@implementation EKRecurrenceDayOfWeek

+ (instancetype)dayOfWeek:(EKWeekday)dayOfTheWeek {
  SimRecurrenceDayOfWeek* day = [[[SimRecurrenceDayOfWeek alloc] init] autorelease];
  day->dayOfTheWeek = dayOfTheWeek;
  return day;
}

- (id)copyWithZone:(NSZone*)zone {
  (void)zone;
  return [self retain];  // immutable
}

@end

@implementation SimRecurrenceDayOfWeek
@end

@implementation EKRecurrenceEnd

+ (instancetype)recurrenceEndWithEndDate:(NSDate*)endDate {
  SimRecurrenceEnd* end = [[[SimRecurrenceEnd alloc] init] autorelease];
  end->endDate = [endDate timeIntervalSince1970];
  return end;
}

- (id)copyWithZone:(NSZone*)zone {
  (void)zone;
  return [self retain];  // immutable
}

@end

@implementation SimRecurrenceEnd
@end

@implementation EKRecurrenceRule

+ (id)allocWithZone:(NSZone*)zone {
  if (self == [EKRecurrenceRule class]) return [SimRecurrenceRule allocWithZone:zone];
  return [super allocWithZone:zone];
}

- (instancetype)initRecurrenceWithFrequency:(EKRecurrenceFrequency)type
                                   interval:(NSInteger)interval
                              daysOfTheWeek:(NSArray<EKRecurrenceDayOfWeek*>*)days
                             daysOfTheMonth:(NSArray<NSNumber*>*)monthDays
                            monthsOfTheYear:(NSArray<NSNumber*>*)months
                             weeksOfTheYear:(NSArray<NSNumber*>*)weeksOfTheYear
                              daysOfTheYear:(NSArray<NSNumber*>*)daysOfTheYear
                               setPositions:(NSArray<NSNumber*>*)setPositions
                                        end:(EKRecurrenceEnd*)end {
  if (!(self = [super init])) return nil;
  // The own store keeps the rules the commands make; a rule naming days of
  // the month, months, weeks, days of the year or positions it cannot keep
  // (saving it is refused).
  if (monthDays != nil || months != nil || weeksOfTheYear != nil || daysOfTheYear != nil || setPositions != nil) {
    return self;
  }
  auto* rule = new calbridge::RecurrenceRule;
  rule->frequency = static_cast<calbridge::Frequency>(type);
  rule->interval = static_cast<int>(interval);
  for (NSUInteger i = 0; i < [days count]; ++i) {
    rule->daysOfTheWeek.push_back(
        static_cast<int>(static_cast<SimRecurrenceDayOfWeek*>([days objectAtIndex:i])->dayOfTheWeek));
  }
  if (end != nil) rule->endDate = static_cast<SimRecurrenceEnd*>(end)->endDate;
  static_cast<SimRecurrenceRule*>(self)->value = rule;
  return self;
}

- (id)copyWithZone:(NSZone*)zone {
  (void)zone;
  return [self retain];  // immutable
}

@end

@implementation SimRecurrenceRule

- (void)dealloc {
  delete value;
  [super dealloc];
}

@end

@implementation EKCalendarItem

- (EKCalendar*)calendar {
  return static_cast<SimEvent*>(self)->calendar;
}

- (void)setCalendar:(EKCalendar*)calendar {
  SimEvent* event = static_cast<SimEvent*>(self);
  [calendar retain];
  [event->calendar release];
  event->calendar = calendar;
}

- (NSString*)title {
  const auto& title = static_cast<SimEvent*>(self)->value->title;
  return title ? nsString(*title) : nil;
}

- (void)setTitle:(NSString*)title {
  static_cast<SimEvent*>(self)->value->title = title != nil ? std::optional(calbridge::utf8Of(title)) : std::nullopt;
}

- (NSString*)calendarItemIdentifier {
  const auto& identifier = static_cast<SimEvent*>(self)->value->calendarItemIdentifier;
  return identifier ? nsString(*identifier) : @"";
}

- (NSString*)calendarItemExternalIdentifier {
  const auto& identifier = static_cast<SimEvent*>(self)->value->calendarItemExternalIdentifier;
  return identifier ? nsString(*identifier) : nil;
}

- (void)addRecurrenceRule:(EKRecurrenceRule*)rule {
  [static_cast<SimEvent*>(self)->rules addObject:rule];
}

@end

@implementation EKEvent

+ (EKEvent*)eventWithEventStore:(EKEventStore*)eventStore {
  (void)eventStore;
  return eventObject(Event{}, nil);
}

- (NSString*)eventIdentifier {
  const auto& identifier = static_cast<SimEvent*>(self)->value->eventIdentifier;
  return identifier ? nsString(*identifier) : nil;
}

- (BOOL)isAllDay {
  return static_cast<SimEvent*>(self)->value->isAllDay;
}

- (void)setAllDay:(BOOL)allDay {
  static_cast<SimEvent*>(self)->value->isAllDay = allDay;
}

- (NSDate*)startDate {
  return dateOf(static_cast<SimEvent*>(self)->value->startDate);
}

- (void)setStartDate:(NSDate*)startDate {
  static_cast<SimEvent*>(self)->value->startDate = secondsOf(startDate);
}

- (NSDate*)endDate {
  return dateOf(static_cast<SimEvent*>(self)->value->endDate);
}

- (void)setEndDate:(NSDate*)endDate {
  static_cast<SimEvent*>(self)->value->endDate = secondsOf(endDate);
}

- (EKEventStatus)status {
  return static_cast<EKEventStatus>(static_cast<SimEvent*>(self)->value->status);
}

- (NSDate*)occurrenceDate {
  return dateOf(static_cast<SimEvent*>(self)->value->occurrenceDate);
}

@end

@implementation SimEvent

- (void)dealloc {
  delete value;
  [calendar release];
  [rules release];
  [super dealloc];
}

@end

@implementation SimEventPredicate

- (void)dealloc {
  [calendars release];
  [super dealloc];
}

@end

@implementation EKEventStore

+ (id)allocWithZone:(NSZone*)zone {
  if (self == [EKEventStore class]) return [SimEventStore allocWithZone:zone];
  return [super allocWithZone:zone];
}

+ (EKAuthorizationStatus)authorizationStatusForEntityType:(EKEntityType)entityType {
  if (entityType != EKEntityTypeEvent) return EKAuthorizationStatusRestricted;
  return static_cast<EKAuthorizationStatus>(statusStore().authorizationStatus());
}

- (id)init {
  if (!(self = [super init])) return nil;
  SimEventStore* store = static_cast<SimEventStore*>(self);
  store->writer = new SqliteStore(calbridge::defaultStorePath());
  if (!store->writer->open()) {
    [self release];
    return nil;
  }
  return self;
}

- (void)requestFullAccessToEventsWithCompletion:(EKEventStoreRequestAccessCompletionHandler)completion {
  // Answered on the question's own thread, possibly after this returns.
  EKEventStoreRequestAccessCompletionHandler kept = Block_copy(completion);
  writerOf(self).requestFullAccessToEvents([kept](bool granted) {
    kept(granted, nil);
    Block_release(kept);
  });
}

- (void)requestAccessToEntityType:(EKEntityType)entityTypeToRequest
                       completion:(EKEventStoreRequestAccessCompletionHandler)completion {
  if (entityTypeToRequest != EKEntityTypeEvent) {
    completion(NO, nil);
    return;
  }
  [self requestFullAccessToEventsWithCompletion:completion];
}

- (NSArray<EKSource*>*)sources {
  NSMutableArray<EKSource*>* sources = [NSMutableArray array];
  for (const auto& source : readerOf(self).sources()) [sources addObject:sourceObject(source)];
  return sources;
}

- (EKCalendar*)defaultCalendarForNewEvents {
  auto calendar = readerOf(self).defaultCalendarForNewEvents();
  return calendar ? calendarObject(calendar) : nil;
}

- (NSArray<EKCalendar*>*)calendarsForEntityType:(EKEntityType)entityType {
  NSMutableArray<EKCalendar*>* calendars = [NSMutableArray array];
  if (entityType != EKEntityTypeEvent) return calendars;
  for (const auto& calendar : readerOf(self).calendars()) [calendars addObject:calendarObject(calendar)];
  return calendars;
}

- (EKCalendar*)calendarWithIdentifier:(NSString*)identifier {
  auto calendar = readerOf(self).calendarWithIdentifier(calbridge::utf8Of(identifier));
  return calendar ? calendarObject(calendar) : nil;
}

- (BOOL)saveCalendar:(EKCalendar*)calendar commit:(BOOL)commit error:(NSError**)error {
  if (![calendar isKindOfClass:[SimCalendar class]]) return refuse(error, "not a calendar of this store");
  SimCalendar* sim = static_cast<SimCalendar*>(calendar);
  if (sim->stored != nullptr) return refuse(error, "only new calendars are saved");
  Calendar value = *sim->value;
  if (!writerOf(self).saveCalendar(value, commit)) return outcome(self, false, commit, error, "the calendar was not saved");
  *sim->value = value;
  sim->stored = new std::shared_ptr<const Calendar>(std::make_shared<const Calendar>(value));
  return outcome(self, true, commit, error, nullptr);
}

- (BOOL)removeCalendar:(EKCalendar*)calendar commit:(BOOL)commit error:(NSError**)error {
  if (![calendar isKindOfClass:[SimCalendar class]] || static_cast<SimCalendar*>(calendar)->stored == nullptr) {
    return refuse(error, "not a stored calendar");
  }
  SimCalendar* sim = static_cast<SimCalendar*>(calendar);
  if (sim->value->isImmutable) return refuse(error, "the calendar is immutable");
  return outcome(self, writerOf(self).removeCalendar(**sim->stored, commit), commit, error,
                 "the calendar was not removed");
}

- (NSArray<EKCalendarItem*>*)calendarItemsWithExternalIdentifier:(NSString*)externalIdentifier {
  NSMutableArray<EKCalendarItem*>* items = [NSMutableArray array];
  NSMutableDictionary* calendars = [NSMutableDictionary dictionary];
  for (auto& item : readerOf(self).calendarItemsWithExternalIdentifier(calbridge::utf8Of(externalIdentifier))) {
    if (item.entityType != calbridge::EntityType::event) continue;
    EKCalendar* calendar = calendarFor(item.event.calendar, calendars);
    [items addObject:eventObject(std::move(item.event), calendar)];
  }
  return items;
}

- (BOOL)saveEvent:(EKEvent*)event span:(EKSpan)span commit:(BOOL)commit error:(NSError**)error {
  if (![event isKindOfClass:[SimEvent class]]) return refuse(error, "not an event of this store");
  SimEvent* sim = static_cast<SimEvent*>(event);
  if (sim->value->calendarItemIdentifier) return refuse(error, "only new events are saved");
  if (![sim->calendar isKindOfClass:[SimCalendar class]] || static_cast<SimCalendar*>(sim->calendar)->stored == nullptr) {
    return refuse(error, "the event has no calendar");
  }
  SimCalendar* calendar = static_cast<SimCalendar*>(sim->calendar);
  if (!calendar->value->allowsContentModifications) return refuse(error, "the calendar is read-only");
  if (!sim->value->startDate || !sim->value->endDate) return refuse(error, "the event has no start or no end");
  if (*sim->value->endDate < *sim->value->startDate) return refuse(error, "the event ends before it starts");
  Event value = *sim->value;
  value.calendar = *calendar->stored;
  if ([sim->rules count] > 1) return refuse(error, "more than one rule");
  if ([sim->rules count] == 1) {
    SimRecurrenceRule* rule = static_cast<SimRecurrenceRule*>([sim->rules objectAtIndex:0]);
    if (rule->value == nullptr) return refuse(error, "a rule the store cannot keep");
    value.recurrenceRule = *rule->value;
  }
  if (!writerOf(self).saveEvent(value, static_cast<calbridge::Span>(span), commit)) {
    return outcome(self, false, commit, error, "the event was not saved");
  }
  *sim->value = std::move(value);
  return outcome(self, true, commit, error, nullptr);
}

- (BOOL)removeEvent:(EKEvent*)event span:(EKSpan)span commit:(BOOL)commit error:(NSError**)error {
  if (![event isKindOfClass:[SimEvent class]] || !static_cast<SimEvent*>(event)->value->calendarItemIdentifier) {
    return refuse(error, "not a stored event");
  }
  return outcome(self, writerOf(self).removeEvent(*static_cast<SimEvent*>(event)->value, static_cast<calbridge::Span>(span), commit),
                 commit, error, "the event was not removed");
}

- (BOOL)commit:(NSError**)error {
  return outcome(self, writerOf(self).commit(), YES, error, "the changes were not committed");
}

- (NSPredicate*)predicateForEventsWithStartDate:(NSDate*)startDate
                                        endDate:(NSDate*)endDate
                                      calendars:(NSArray<EKCalendar*>*)calendars {
  SimEventPredicate* predicate = [[[SimEventPredicate alloc] init] autorelease];
  predicate->start = [startDate timeIntervalSince1970];
  predicate->end = [endDate timeIntervalSince1970];
  if (predicate->end - predicate->start > kFourYears) predicate->end = predicate->start + kFourYears;
  predicate->calendars = [calendars copy];
  return predicate;
}

- (NSArray<EKEvent*>*)eventsMatchingPredicate:(NSPredicate*)predicate {
  NSMutableArray<EKEvent*>* events = [NSMutableArray array];
  if (![predicate isKindOfClass:[SimEventPredicate class]]) return events;
  SimEventPredicate* query = static_cast<SimEventPredicate*>(predicate);
  SqliteStore& reader = readerOf(self);
  // The calendars asked about, with the object each one's events name.
  std::vector<std::shared_ptr<const Calendar>> values;
  NSMutableArray<EKCalendar*>* objects = [NSMutableArray array];
  if (query->calendars == nil) {
    for (const auto& calendar : reader.calendars()) {
      values.push_back(calendar);
      [objects addObject:calendarObject(calendar)];
    }
  } else {
    for (NSUInteger i = 0; i < [query->calendars count]; ++i) {
      EKCalendar* calendar = [query->calendars objectAtIndex:i];
      if (![calendar isKindOfClass:[SimCalendar class]] || static_cast<SimCalendar*>(calendar)->stored == nullptr) {
        continue;
      }
      values.push_back(*static_cast<SimCalendar*>(calendar)->stored);
      [objects addObject:calendar];
    }
  }
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t i = 0; i < values.size(); ++i) position.emplace(values[i]->calendarIdentifier, i);
  // Calendar by calendar, in the predicate's order.
  std::vector<std::vector<Event>> byCalendar(values.size());
  reader.enumerateEventsMatching(query->start, query->end, values, [&](const Event& occurrence) {
    if (!occurrence.calendar) return true;
    if (auto found = position.find(occurrence.calendar->calendarIdentifier); found != position.end()) {
      byCalendar[found->second].push_back(occurrence);
    }
    return true;
  });
  for (std::size_t i = 0; i < byCalendar.size(); ++i) {
    EKCalendar* calendar = [objects objectAtIndex:i];
    for (auto& occurrence : byCalendar[i]) [events addObject:eventObject(std::move(occurrence), calendar)];
  }
  return events;
}

@end

@implementation SimEventStore

- (void)dealloc {
  delete writer;
  delete reader;
  [super dealloc];
}

@end
