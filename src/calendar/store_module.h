// A store that lives in a module of its own (a shared object the bridge opens
// only when that store serves the person), and the seam between the two.
//
// The bridge and each module carry their own copy of the C++ runtime: both
// link it statically, so that neither depends on the machine's. Objects of one
// copy (strings, shared pointers, functions, exceptions) must not reach code
// of the other, whose allocator, type information and exception tables they
// do not share. So only plain C crosses: structs of numbers, text as pointer
// and length, and function pointers with a context. Whatever a call receives
// is valid for that call only; each side copies what it keeps and frees what
// it made. No C++ exception leaves a function of the table.
#pragma once

#include "calendar/store.h"

#include <stddef.h>
#include <stdint.h>

#include <memory>

extern "C" {

// Text as pointer and length (UTF-8, not terminated); `data` null: absent.
typedef struct {
  const char* data;
  size_t size;
} calbridge_text;

typedef struct {
  calbridge_text identifier;
  calbridge_text title;  // absent: an untitled account
  int type;              // SourceType's number
} calbridge_source;

typedef struct {
  calbridge_text identifier;
  calbridge_text title;
  int has_color;
  int color_space;         // ColorSpace's order: 0 sRGB, 1 gray, 2 other
  size_t component_count;  // at most 4
  double components[4];
  int writable;
  int immutable;
  int has_source;
  calbridge_source source;
} calbridge_calendar;

typedef struct {
  calbridge_text calendar;  // the identifier of the event's calendar
  calbridge_text title;
  int has_start, has_end;
  double start, end;
  int all_day;
  int status;  // EventStatus's number
  calbridge_text time_zone;
  calbridge_text item_identifier;
  calbridge_text external_identifier;
  calbridge_text event_identifier;
  int has_occurrence_date;
  double occurrence_date;
  // A rule, only for saving a new event.
  int has_rule;
  int frequency;  // Frequency's number
  int interval;
  const int* days_of_the_week;
  size_t day_count;
  int has_rule_end;
  double rule_end;
} calbridge_event;

// Each receives one value and returns nonzero to be given the next.
typedef int (*calbridge_source_visitor)(void* context, const calbridge_source* source);
typedef int (*calbridge_calendar_visitor)(void* context, const calbridge_calendar* calendar);
typedef int (*calbridge_event_visitor)(void* context, const calbridge_event* event);
typedef int (*calbridge_item_visitor)(void* context, int entity_type, const calbridge_event* event);
typedef void (*calbridge_line_visitor)(void* context, calbridge_text line);

typedef struct calbridge_store calbridge_store;  // the module's own

// The operations of Store (store.h) but the permission, which the bridge keeps
// itself, with the same contracts. A module's entry returns the table.
typedef struct {
  uint32_t version;  // kStoreModuleVersion
  calbridge_store* (*create)(void);
  void (*destroy)(calbridge_store* store);
  int (*open)(calbridge_store* store);
  int (*read_failed)(calbridge_store* store);
  void (*calendars)(calbridge_store* store, calbridge_calendar_visitor visit, void* context);
  // Visits the calendar with that identifier, if there is one.
  void (*calendar_with_identifier)(calbridge_store* store, calbridge_text identifier, calbridge_calendar_visitor visit,
                                   void* context);
  // Visits the default calendar for new events, if there is one.
  void (*default_calendar)(calbridge_store* store, calbridge_calendar_visitor visit, void* context);
  void (*sources)(calbridge_store* store, calbridge_source_visitor visit, void* context);
  void (*items_with_external_identifier)(calbridge_store* store, calbridge_text external_identifier,
                                         calbridge_item_visitor visit, void* context);
  void (*events_matching)(calbridge_store* store, double start, double end, const calbridge_text* calendars,
                          size_t calendar_count, calbridge_event_visitor visit, void* context);
  // On success `saved` is given the event with its identifiers filled in.
  int (*save_event)(calbridge_store* store, const calbridge_event* event, int span, int commit,
                    calbridge_event_visitor saved, void* context);
  int (*remove_event)(calbridge_store* store, const calbridge_event* event, int span, int commit);
  // On success `saved` is given the calendar with its identifier filled in.
  int (*save_calendar)(calbridge_store* store, const calbridge_calendar* calendar, int commit,
                       calbridge_calendar_visitor saved, void* context);
  int (*remove_calendar)(calbridge_store* store, const calbridge_calendar* calendar, int commit);
  int (*commit)(calbridge_store* store);
  // What the store found when it was last used, a line each, for its owner to read.
  void (*describe)(calbridge_store* store, calbridge_line_visitor visit, void* context);
} calbridge_store_functions;

typedef const calbridge_store_functions* (*calbridge_store_entry)(void);

}  // extern "C"

namespace calbridge {

inline constexpr std::uint32_t kStoreModuleVersion = 1;

// What a store found when it was last used, a line each, for its owner to
// read (calbridge-store store); a store of a module may offer it beside Store.
class Described {
 public:
  virtual ~Described() = default;
  virtual std::vector<std::string> describe() = 0;
};

// The module's side: the table for stores made by `make`, each a new one; a
// store that is also Described answers describe. `make` must stay valid while
// the module is loaded.
const calbridge_store_functions* exportedStore(std::unique_ptr<Store> (*make)());

// The bridge's side: the store behind a module's table. Permission is not the
// module's: authorizationStatus answers notDetermined and no question is asked,
// so a bridge puts its own gate in front (see StoreWrapper).
class ModuleStore final : public Store, public Described {
 public:
  // `functions` must stay valid (the module loaded) while this lives.
  explicit ModuleStore(const calbridge_store_functions* functions);
  ~ModuleStore() override;
  ModuleStore(const ModuleStore&) = delete;
  ModuleStore& operator=(const ModuleStore&) = delete;

  bool open() override;
  bool readFailed() const override;
  AuthorizationStatus authorizationStatus() override { return AuthorizationStatus::notDetermined; }
  void requestFullAccessToEvents(std::function<void(bool)> completion) override { completion(false); }
  std::optional<bool> endAccessRequest() override { return std::nullopt; }
  std::vector<std::shared_ptr<const Calendar>> calendars() override;
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override;
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override;
  std::vector<Source> sources() override;
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override;
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override;
  bool saveEvent(Event& event, Span span, bool commit) override;
  bool removeEvent(const Event& event, Span span, bool commit) override;
  bool saveCalendar(Calendar& calendar, bool commit) override;
  bool removeCalendar(const Calendar& calendar, bool commit) override;
  bool commit() override;
  std::vector<std::string> describe() override;

 private:
  // The calendar the module names `identifier`, as one shared value per calendar.
  std::shared_ptr<const Calendar> calendarNamed(const calbridge_calendar& calendar);
  std::shared_ptr<const Calendar> knownCalendar(calbridge_text identifier);

  const calbridge_store_functions* functions_;
  calbridge_store* store_ = nullptr;
  std::vector<std::shared_ptr<const Calendar>> known_;
};

}  // namespace calbridge
