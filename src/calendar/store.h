// The calendar store: the one abstraction between the commands and the
// calendar database, with the plain value types that cross it.
//
// Values are copies: a caller owns what it gets back and may keep it after the
// call; nothing the caller passes in is retained by the store. Calendars are
// shared, immutable snapshots, so many events can name one cheaply.
//
// No operation throws. Each returns a success flag, an optional value or a
// (possibly empty) list, as the platform calendar APIs do. A read that meets a
// database it cannot read yields nothing and marks the store (`readFailed`), so
// a command never mistakes a damaged store for an empty one.
#pragma once

#include "calendar/color.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

enum class AuthorizationStatus { notDetermined = 0, restricted = 1, denied = 2, fullAccess = 3, writeOnly = 4 };

// The numbers are what the store keeps and what calbridge-store prints; an
// account may carry any other number (up to 999) its owner gave it.
enum class SourceType { local = 0, exchange = 1, calDAV = 2, mobileMe = 3, subscribed = 4, birthdays = 5 };
enum class EventStatus { none = 0, confirmed = 1, tentative = 2, cancelled = 3 };

// An account that holds calendars.
struct Source {
  std::string sourceIdentifier;
  std::optional<std::string> title;  // absent: an untitled account
  SourceType sourceType = SourceType::local;
};

struct Calendar {
  std::string calendarIdentifier;  // empty until the calendar is first saved
  std::string title;
  std::optional<Color> color;  // absent: the calendar has no color
  bool allowsContentModifications = true;  // events may be added, changed and removed
  bool isImmutable = false;  // the calendar itself may not be changed or removed
  std::optional<Source> source;  // absent: the calendar belongs to no account
};

enum class Frequency { daily = 0, weekly = 1, monthly = 2, yearly = 3 };

// A recurrence rule of the shapes the commands create.
struct RecurrenceRule {
  Frequency frequency = Frequency::daily;
  int interval = 1;
  std::vector<int> daysOfTheWeek;  // weekday numbers, 1 Sunday to 7 Saturday; empty: none
  std::optional<double> endDate;  // last moment an occurrence may start, epoch seconds; absent: no end
};

// An event, or one occurrence of a repeating event: the store returns one value
// per occurrence, each with its own start and end.
struct Event {
  std::shared_ptr<const Calendar> calendar;
  std::optional<std::string> title;  // absent: untitled
  std::optional<double> startDate;  // epoch seconds
  std::optional<double> endDate;  // epoch seconds
  bool isAllDay = false;
  EventStatus status = EventStatus::none;
  // IANA zone name the wall-clock times and the recurrence follow. A new event
  // without one takes the process's local zone; all-day events float (absent).
  std::optional<std::string> timeZone;
  // Only for saving a new event: the store does not fill it in on the events it returns.
  std::optional<RecurrenceRule> recurrenceRule;
  // Set by the store: shared by every occurrence of one series.
  std::optional<std::string> calendarItemIdentifier;
  std::optional<std::string> calendarItemExternalIdentifier;  // the iCalendar UID
  std::optional<std::string> eventIdentifier;
  // The start this occurrence has by its rule: what span-based removal refers to.
  std::optional<double> occurrenceDate;
};

enum class EntityType { event = 0, reminder = 1 };

// What an external identifier can name: events and, in principle, items of other kinds.
struct CalendarItem {
  EntityType entityType = EntityType::event;
  Event event;  // the item; its recurrence fields are unused for other kinds
};

// Which occurrences a removal or save reaches.
enum class Span { thisEvent = 0, futureEvents = 1 };

// Receives one occurrence; returns false to stop the enumeration.
using EventVisitor = std::function<bool(const Event&)>;

class Store {
 public:
  virtual ~Store() = default;

  // Makes the store usable, creating it on first use. False when it cannot be
  // opened or is damaged; then no other operation may be called.
  virtual bool open() = 0;
  // True once a read or a write met a database error (a failing disk, a
  // damaged file) since `open`: results seen since may be incomplete, and no
  // change made since may be kept.
  virtual bool readFailed() const = 0;

  virtual AuthorizationStatus authorizationStatus() = 0;
  // Asks the user for full access to events, only when the status is not
  // determined (otherwise answers false at once), and records a yes or a no.
  // `completion` gets the answer, on any thread, possibly before this returns, or never.
  virtual void requestFullAccessToEvents(std::function<void(bool granted)> completion) = 0;
  // Called once when the wait for that answer ended without it. Returns the
  // answer when the store recorded one just as the wait ended; otherwise
  // withdraws the question, so that an answer given later is neither recorded
  // nor passed on, and tells the person that silence was taken as no.
  virtual std::optional<bool> endAccessRequest() = 0;

  // Every event calendar, in the store's order.
  virtual std::vector<std::shared_ptr<const Calendar>> calendars() = 0;
  virtual std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) = 0;
  virtual std::shared_ptr<const Calendar> defaultCalendarForNewEvents() = 0;
  // Every account, in the store's order.
  virtual std::vector<Source> sources() = 0;
  // Items whose external identifier is `externalIdentifier`, in any calendar;
  // a repeating event appears once, as its first occurrence.
  virtual std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) = 0;
  // Hands every occurrence overlapping [start, end) in `calendars` to `visit`,
  // in the store's order, until it returns false. The event lives only for the
  // call, so a long answer never has to be held whole; `visit` must not change
  // the store.
  virtual void enumerateEventsMatching(double start, double end,
                                       const std::vector<std::shared_ptr<const Calendar>>& calendars,
                                       const EventVisitor& visit) = 0;
  // The same occurrences, collected.
  std::vector<Event> eventsMatching(double start, double end,
                                    const std::vector<std::shared_ptr<const Calendar>>& calendars);

  // With `commit` false a change is staged: it joins one open transaction that
  // `commit` (or the next change with `commit` true) makes durable, and that is
  // lost if the process ends first. Each change is all or nothing.
  //
  // Saves a new event (filling in its identifiers) or the changes to a stored one.
  virtual bool saveEvent(Event& event, Span span, bool commit) = 0;
  // `thisEvent` removes the occurrence (a single event entirely); `futureEvents`
  // ends its series before it, removing the whole series from its first occurrence.
  virtual bool removeEvent(const Event& event, Span span, bool commit) = 0;
  // Saves a new calendar (filling in its identifier) or the changes to a stored one.
  virtual bool saveCalendar(Calendar& calendar, bool commit) = 0;
  // Removes the calendar with the events in it.
  virtual bool removeCalendar(const Calendar& calendar, bool commit) = 0;
  virtual bool commit() = 0;
};

// Forwards every operation to another store. Tests derive from it and override
// what they want to refuse or to answer differently.
class StoreWrapper : public Store {
 public:
  explicit StoreWrapper(Store& target) : target_(target) {}

  bool open() override { return target_.open(); }
  bool readFailed() const override { return target_.readFailed(); }
  AuthorizationStatus authorizationStatus() override { return target_.authorizationStatus(); }
  void requestFullAccessToEvents(std::function<void(bool)> completion) override {
    target_.requestFullAccessToEvents(std::move(completion));
  }
  std::optional<bool> endAccessRequest() override { return target_.endAccessRequest(); }
  std::vector<std::shared_ptr<const Calendar>> calendars() override { return target_.calendars(); }
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override {
    return target_.calendarWithIdentifier(identifier);
  }
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override {
    return target_.defaultCalendarForNewEvents();
  }
  std::vector<Source> sources() override { return target_.sources(); }
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override {
    return target_.calendarItemsWithExternalIdentifier(externalIdentifier);
  }
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override {
    target_.enumerateEventsMatching(start, end, calendars, visit);
  }
  bool saveEvent(Event& event, Span span, bool commit) override { return target_.saveEvent(event, span, commit); }
  bool removeEvent(const Event& event, Span span, bool commit) override {
    return target_.removeEvent(event, span, commit);
  }
  bool saveCalendar(Calendar& calendar, bool commit) override { return target_.saveCalendar(calendar, commit); }
  bool removeCalendar(const Calendar& calendar, bool commit) override {
    return target_.removeCalendar(calendar, commit);
  }
  bool commit() override { return target_.commit(); }

 protected:
  Store& target() { return target_; }

 private:
  Store& target_;
};

// A new random (version 4) UUID in upper-case text form.
std::string newUuid();

}  // namespace calbridge
