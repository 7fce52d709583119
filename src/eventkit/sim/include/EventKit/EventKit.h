// The part of EventKit the EventKit store uses, declared as Apple documents it
// (signatures, nullability, enumeration values, availability), for building
// that store where there is no EventKit. Nothing else of the framework is
// declared. On macOS the framework's own header is used instead.
#pragma once

#import <CoreGraphics/CoreGraphics.h>
#import <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSUInteger, EKEntityType) {
  EKEntityTypeEvent = 0,
  EKEntityTypeReminder = 1,
};

// 3 is "authorized" before macOS 14 and "full access" from macOS 14 on.
typedef NS_ENUM(NSInteger, EKAuthorizationStatus) {
  EKAuthorizationStatusNotDetermined = 0,
  EKAuthorizationStatusRestricted = 1,
  EKAuthorizationStatusDenied = 2,
  EKAuthorizationStatusFullAccess __attribute__((availability(macos, introduced = 14.0))) = 3,
  EKAuthorizationStatusWriteOnly __attribute__((availability(macos, introduced = 14.0))) = 4,
  EKAuthorizationStatusAuthorized __attribute__((availability(macos, introduced = 10.9, deprecated = 14.0))) = 3,
};

typedef NS_ENUM(NSInteger, EKSpan) {
  EKSpanThisEvent = 0,
  EKSpanFutureEvents = 1,
};

typedef NS_ENUM(NSInteger, EKSourceType) {
  EKSourceTypeLocal = 0,
  EKSourceTypeExchange = 1,
  EKSourceTypeCalDAV = 2,
  EKSourceTypeMobileMe = 3,
  EKSourceTypeSubscribed = 4,
  EKSourceTypeBirthdays = 5,
};

typedef NS_ENUM(NSInteger, EKEventStatus) {
  EKEventStatusNone = 0,
  EKEventStatusConfirmed = 1,
  EKEventStatusTentative = 2,
  EKEventStatusCanceled = 3,
};

typedef NS_ENUM(NSInteger, EKRecurrenceFrequency) {
  EKRecurrenceFrequencyDaily = 0,
  EKRecurrenceFrequencyWeekly = 1,
  EKRecurrenceFrequencyMonthly = 2,
  EKRecurrenceFrequencyYearly = 3,
};

typedef NS_ENUM(NSInteger, EKWeekday) {
  EKWeekdaySunday = 1,
  EKWeekdayMonday = 2,
  EKWeekdayTuesday = 3,
  EKWeekdayWednesday = 4,
  EKWeekdayThursday = 5,
  EKWeekdayFriday = 6,
  EKWeekdaySaturday = 7,
};

@class EKCalendar, EKEventStore;

@interface EKObject : NSObject
@end

@interface EKSource : EKObject
@property(nonatomic, readonly) NSString* sourceIdentifier;
@property(nonatomic, readonly) EKSourceType sourceType;
@property(nonatomic, readonly) NSString* title;
@end

@interface EKCalendar : EKObject
// A new calendar for `entityType`, not yet saved, bound to `eventStore`.
+ (EKCalendar*)calendarForEntityType:(EKEntityType)entityType eventStore:(EKEventStore*)eventStore;
@property(null_unspecified, nonatomic, strong) EKSource* source;
@property(nonatomic, readonly) NSString* calendarIdentifier;
@property(null_unspecified, nonatomic, copy) NSString* title;
@property(nonatomic, readonly) BOOL allowsContentModifications;
@property(nonatomic, readonly, getter=isImmutable) BOOL immutable;
@property(null_unspecified, nonatomic) CGColorRef CGColor;
@end

@interface EKRecurrenceDayOfWeek : NSObject <NSCopying>
// Every `dayOfTheWeek` of the period (week number 0).
+ (instancetype)dayOfWeek:(EKWeekday)dayOfTheWeek;
@end

@interface EKRecurrenceEnd : NSObject <NSCopying>
+ (instancetype)recurrenceEndWithEndDate:(NSDate*)endDate;
@end

@interface EKRecurrenceRule : EKObject <NSCopying>
- (instancetype)initRecurrenceWithFrequency:(EKRecurrenceFrequency)type
                                   interval:(NSInteger)interval
                              daysOfTheWeek:(nullable NSArray<EKRecurrenceDayOfWeek*>*)days
                             daysOfTheMonth:(nullable NSArray<NSNumber*>*)monthDays
                            monthsOfTheYear:(nullable NSArray<NSNumber*>*)months
                             weeksOfTheYear:(nullable NSArray<NSNumber*>*)weeksOfTheYear
                              daysOfTheYear:(nullable NSArray<NSNumber*>*)daysOfTheYear
                               setPositions:(nullable NSArray<NSNumber*>*)setPositions
                                        end:(nullable EKRecurrenceEnd*)end;
@end

@interface EKCalendarItem : EKObject
@property(null_unspecified, nonatomic, strong) EKCalendar* calendar;
@property(null_unspecified, nonatomic, copy) NSString* title;
// Shared by every occurrence of a repeating event.
@property(nonatomic, readonly) NSString* calendarItemIdentifier;
// The identifier the calendar's server (or file) knows the item by; shared by a series.
@property(null_unspecified, nonatomic, readonly) NSString* calendarItemExternalIdentifier;
- (void)addRecurrenceRule:(EKRecurrenceRule*)rule;
@end

@interface EKEvent : EKCalendarItem
+ (EKEvent*)eventWithEventStore:(EKEventStore*)eventStore;
@property(null_unspecified, nonatomic, readonly) NSString* eventIdentifier;
@property(nonatomic, getter=isAllDay) BOOL allDay;
@property(null_unspecified, nonatomic, copy) NSDate* startDate;
@property(null_unspecified, nonatomic, copy) NSDate* endDate;
@property(nonatomic, readonly) EKEventStatus status;
// The start the occurrence has by its series' rule, also after it was moved.
@property(null_unspecified, nonatomic, readonly) NSDate* occurrenceDate;
@end

typedef void (^EKEventStoreRequestAccessCompletionHandler)(BOOL granted, NSError* _Nullable error);

@interface EKEventStore : NSObject
+ (EKAuthorizationStatus)authorizationStatusForEntityType:(EKEntityType)entityType;
- (id)init;
- (void)requestFullAccessToEventsWithCompletion:(EKEventStoreRequestAccessCompletionHandler)completion
    __attribute__((availability(macos, introduced = 14.0)));
- (void)requestAccessToEntityType:(EKEntityType)entityTypeToRequest
                       completion:(EKEventStoreRequestAccessCompletionHandler)completion
    __attribute__((availability(macos, introduced = 10.9, deprecated = 14.0)));

@property(nonatomic, readonly) NSArray<EKSource*>* sources;
@property(nullable, nonatomic, readonly) EKCalendar* defaultCalendarForNewEvents;
- (NSArray<EKCalendar*>*)calendarsForEntityType:(EKEntityType)entityType;
- (nullable EKCalendar*)calendarWithIdentifier:(NSString*)identifier;
- (BOOL)saveCalendar:(EKCalendar*)calendar commit:(BOOL)commit error:(NSError**)error;
- (BOOL)removeCalendar:(EKCalendar*)calendar commit:(BOOL)commit error:(NSError**)error;

// The first occurrence of each repeating event, and every other item, with that identifier.
- (NSArray<EKCalendarItem*>*)calendarItemsWithExternalIdentifier:(NSString*)externalIdentifier;
- (BOOL)saveEvent:(EKEvent*)event span:(EKSpan)span commit:(BOOL)commit error:(NSError**)error;
- (BOOL)removeEvent:(EKEvent*)event span:(EKSpan)span commit:(BOOL)commit error:(NSError**)error;
- (BOOL)commit:(NSError**)error;

// Events of `calendars` (nil: of every calendar) that occur between the two
// dates, a span of at most four years (a longer one is cut to its first four).
- (NSPredicate*)predicateForEventsWithStartDate:(NSDate*)startDate
                                        endDate:(NSDate*)endDate
                                      calendars:(nullable NSArray<EKCalendar*>*)calendars;
// One event object per occurrence; only committed changes; in no promised order.
- (NSArray<EKEvent*>*)eventsMatchingPredicate:(NSPredicate*)predicate;
@end

NS_ASSUME_NONNULL_END
