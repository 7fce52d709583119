// The store that serves the person, as the setting (or the first request)
// chose it: calbridge's own, or the desktop's calendars through the module
// that reaches them. Permission is always the own store's: one answer, kept
// in one place, gates every store.
#pragma once

#include "calendar/store_module.h"
#include "main/store_choice.h"
#include "sqlite/sqlite_store.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {

// The module that reaches Evolution Data Server, and its entries.
inline constexpr std::string_view kEvolutionModule = "calbridge-evolution.so";

// The store behind the module, or null with why in `why`.
std::unique_ptr<ModuleStore> openEvolutionModule(std::string* why);

// Whether EDS's registry answers within `wait` (see decideStore); why not in `why`.
std::optional<bool> evolutionAnswers(std::chrono::milliseconds wait, std::string* why);

// True when the own store (opened) holds an account or an event of the
// person's: more than the one local account a new store has, or any event.
bool ownStoreInUse(SqliteStore& own);

// The store serving now: the setting's, else what decideStore makes of this
// session, recorded when it says so and `record` lets it. Nothing, with why in
// `problem`, when the setting cannot be used. `why` tells how it was chosen.
std::optional<StoreKind> servingStoreKind(SqliteStore& own, std::string* problem, std::string* why = nullptr,
                                          bool record = true);

class ServingStore final : public Store {
 public:
  // `own` must outlive this.
  explicit ServingStore(SqliteStore& own);
  ~ServingStore() override;

  // Opens the own store, decides which store serves, and opens that one.
  bool open() override;
  bool readFailed() const override;
  AuthorizationStatus authorizationStatus() override { return own_.authorizationStatus(); }
  void requestFullAccessToEvents(std::function<void(bool)> completion) override {
    own_.requestFullAccessToEvents(std::move(completion));
  }
  std::optional<bool> endAccessRequest() override { return own_.endAccessRequest(); }
  std::vector<std::shared_ptr<const Calendar>> calendars() override { return active().calendars(); }
  std::shared_ptr<const Calendar> calendarWithIdentifier(std::string_view identifier) override {
    return active().calendarWithIdentifier(identifier);
  }
  std::shared_ptr<const Calendar> defaultCalendarForNewEvents() override {
    return active().defaultCalendarForNewEvents();
  }
  std::vector<Source> sources() override { return active().sources(); }
  std::vector<CalendarItem> calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) override {
    return active().calendarItemsWithExternalIdentifier(externalIdentifier);
  }
  void enumerateEventsMatching(double start, double end, const std::vector<std::shared_ptr<const Calendar>>& calendars,
                               const EventVisitor& visit) override {
    active().enumerateEventsMatching(start, end, calendars, visit);
  }
  bool saveEvent(Event& event, Span span, bool commit) override { return active().saveEvent(event, span, commit); }
  bool removeEvent(const Event& event, Span span, bool commit) override {
    return active().removeEvent(event, span, commit);
  }
  bool saveCalendar(Calendar& calendar, bool commit) override { return active().saveCalendar(calendar, commit); }
  bool removeCalendar(const Calendar& calendar, bool commit) override {
    return active().removeCalendar(calendar, commit);
  }
  bool commit() override { return active().commit(); }

 private:
  Store& active() { return desktop_ ? static_cast<Store&>(*desktop_) : own_; }

  SqliteStore& own_;
  std::unique_ptr<ModuleStore> desktop_;
};

}  // namespace calbridge
