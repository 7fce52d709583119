#include "calendar/store_module.h"

#include <algorithm>
#include <exception>

namespace calbridge {

namespace {

calbridge_text textOf(std::string_view text) {
  return calbridge_text{text.data() != nullptr ? text.data() : "", text.size()};
}

calbridge_text textOf(const std::optional<std::string>& text) {
  return text ? textOf(std::string_view(*text)) : calbridge_text{nullptr, 0};
}

std::optional<std::string> optionalText(calbridge_text text) {
  if (text.data == nullptr) return std::nullopt;
  return std::string(text.data, text.size);
}

std::string plainText(calbridge_text text) { return optionalText(text).value_or(std::string()); }

calbridge_source cSource(const Source& source) {
  return calbridge_source{textOf(std::string_view(source.sourceIdentifier)), textOf(source.title),
                          static_cast<int>(source.sourceType)};
}

Source sourceOf(const calbridge_source& source) {
  return Source{plainText(source.identifier), optionalText(source.title), static_cast<SourceType>(source.type)};
}

calbridge_calendar cCalendar(const Calendar& calendar) {
  calbridge_calendar c{};
  c.identifier = textOf(std::string_view(calendar.calendarIdentifier));
  c.title = textOf(std::string_view(calendar.title));
  if (calendar.color) {
    c.has_color = 1;
    c.color_space = static_cast<int>(calendar.color->space);
    c.component_count = std::min<std::size_t>(calendar.color->components.size(), 4);
    std::copy_n(calendar.color->components.begin(), c.component_count, c.components);
  }
  c.writable = calendar.allowsContentModifications ? 1 : 0;
  c.immutable = calendar.isImmutable ? 1 : 0;
  if (calendar.source) {
    c.has_source = 1;
    c.source = cSource(*calendar.source);
  }
  return c;
}

Calendar calendarOf(const calbridge_calendar& c) {
  Calendar calendar;
  calendar.calendarIdentifier = plainText(c.identifier);
  calendar.title = plainText(c.title);
  if (c.has_color) {
    const auto space =
        c.color_space >= 0 && c.color_space <= 2 ? static_cast<ColorSpace>(c.color_space) : ColorSpace::other;
    calendar.color =
        Color{space, std::vector<double>(c.components, c.components + std::min<std::size_t>(c.component_count, 4))};
  }
  calendar.allowsContentModifications = c.writable != 0;
  calendar.isImmutable = c.immutable != 0;
  if (c.has_source) calendar.source = sourceOf(c.source);
  return calendar;
}

// `days` keeps the weekdays the result points to.
calbridge_event cEvent(const Event& event, std::vector<int>& days) {
  calbridge_event c{};
  if (event.calendar) c.calendar = textOf(std::string_view(event.calendar->calendarIdentifier));
  c.title = textOf(event.title);
  c.has_start = event.startDate.has_value();
  c.start = event.startDate.value_or(0);
  c.has_end = event.endDate.has_value();
  c.end = event.endDate.value_or(0);
  c.all_day = event.isAllDay ? 1 : 0;
  c.status = static_cast<int>(event.status);
  c.time_zone = textOf(event.timeZone);
  c.item_identifier = textOf(event.calendarItemIdentifier);
  c.external_identifier = textOf(event.calendarItemExternalIdentifier);
  c.event_identifier = textOf(event.eventIdentifier);
  c.has_occurrence_date = event.occurrenceDate.has_value();
  c.occurrence_date = event.occurrenceDate.value_or(0);
  if (event.recurrenceRule) {
    const RecurrenceRule& rule = *event.recurrenceRule;
    c.has_rule = 1;
    c.frequency = static_cast<int>(rule.frequency);
    c.interval = rule.interval;
    days = rule.daysOfTheWeek;
    c.days_of_the_week = days.data();
    c.day_count = days.size();
    c.has_rule_end = rule.endDate.has_value();
    c.rule_end = rule.endDate.value_or(0);
  }
  return c;
}

Event eventOf(const calbridge_event& c, std::shared_ptr<const Calendar> calendar) {
  Event event;
  event.calendar = std::move(calendar);
  event.title = optionalText(c.title);
  if (c.has_start) event.startDate = c.start;
  if (c.has_end) event.endDate = c.end;
  event.isAllDay = c.all_day != 0;
  event.status = c.status >= 0 && c.status <= 3 ? static_cast<EventStatus>(c.status) : EventStatus::none;
  event.timeZone = optionalText(c.time_zone);
  event.calendarItemIdentifier = optionalText(c.item_identifier);
  event.calendarItemExternalIdentifier = optionalText(c.external_identifier);
  event.eventIdentifier = optionalText(c.event_identifier);
  if (c.has_occurrence_date) event.occurrenceDate = c.occurrence_date;
  if (c.has_rule) {
    RecurrenceRule rule;
    rule.frequency = c.frequency >= 0 && c.frequency <= 3 ? static_cast<Frequency>(c.frequency) : Frequency::daily;
    rule.interval = c.interval;
    if (c.days_of_the_week != nullptr) rule.daysOfTheWeek.assign(c.days_of_the_week, c.days_of_the_week + c.day_count);
    if (c.has_rule_end) rule.endDate = c.rule_end;
    event.recurrenceRule = std::move(rule);
  }
  return event;
}

// ---- The module's side.

std::unique_ptr<Store> (*makeStore)() = nullptr;

Store& storeOf(calbridge_store* store) { return *reinterpret_cast<Store*>(store); }

// Runs `work`, turning anything it throws into `failed`: nothing may unwind into the other runtime.
template <typename Work, typename Result>
Result guarded(Work&& work, Result failed) noexcept {
  try {
    return work();
  } catch (...) {
    return failed;
  }
}

std::shared_ptr<const Calendar> calendarIn(Store& store, calbridge_text identifier) {
  if (identifier.data == nullptr) return nullptr;
  return store.calendarWithIdentifier(std::string_view(identifier.data, identifier.size));
}

int visitCalendar(const Calendar& calendar, calbridge_calendar_visitor visit, void* context) {
  calbridge_calendar c = cCalendar(calendar);
  return visit(context, &c);
}

int visitEvent(const Event& event, calbridge_event_visitor visit, void* context) {
  std::vector<int> days;
  calbridge_event c = cEvent(event, days);
  return visit(context, &c);
}

const calbridge_store_functions kExported = {
    kStoreModuleVersion,
    []() -> calbridge_store* {
      return guarded([] { return reinterpret_cast<calbridge_store*>(makeStore().release()); },
                     static_cast<calbridge_store*>(nullptr));
    },
    [](calbridge_store* store) {
      guarded(
          [&] {
            delete &storeOf(store);
            return 0;
          },
          0);
    },
    [](calbridge_store* store) { return guarded([&] { return storeOf(store).open() ? 1 : 0; }, 0); },
    [](calbridge_store* store) { return guarded([&] { return storeOf(store).readFailed() ? 1 : 0; }, 1); },
    [](calbridge_store* store, calbridge_calendar_visitor visit, void* context) {
      guarded(
          [&] {
            for (const auto& calendar : storeOf(store).calendars()) {
              if (visitCalendar(*calendar, visit, context) == 0) break;
            }
            return 0;
          },
          0);
    },
    [](calbridge_store* store, calbridge_text identifier, calbridge_calendar_visitor visit, void* context) {
      guarded(
          [&] {
            if (auto calendar = calendarIn(storeOf(store), identifier)) visitCalendar(*calendar, visit, context);
            return 0;
          },
          0);
    },
    [](calbridge_store* store, calbridge_calendar_visitor visit, void* context) {
      guarded(
          [&] {
            if (auto calendar = storeOf(store).defaultCalendarForNewEvents()) visitCalendar(*calendar, visit, context);
            return 0;
          },
          0);
    },
    [](calbridge_store* store, calbridge_source_visitor visit, void* context) {
      guarded(
          [&] {
            for (const Source& source : storeOf(store).sources()) {
              calbridge_source c = cSource(source);
              if (visit(context, &c) == 0) break;
            }
            return 0;
          },
          0);
    },
    [](calbridge_store* store, calbridge_text externalIdentifier, calbridge_item_visitor visit, void* context) {
      guarded(
          [&] {
            const std::string uid = plainText(externalIdentifier);
            for (const CalendarItem& item : storeOf(store).calendarItemsWithExternalIdentifier(uid)) {
              std::vector<int> days;
              calbridge_event c = cEvent(item.event, days);
              if (visit(context, static_cast<int>(item.entityType), &c) == 0) break;
            }
            return 0;
          },
          0);
    },
    [](calbridge_store* store, double start, double end, const calbridge_text* calendars, size_t count,
       calbridge_event_visitor visit, void* context) {
      guarded(
          [&] {
            Store& s = storeOf(store);
            std::vector<std::shared_ptr<const Calendar>> selected;
            for (size_t i = 0; i < count; ++i) {
              if (auto calendar = calendarIn(s, calendars[i])) selected.push_back(std::move(calendar));
            }
            s.enumerateEventsMatching(start, end, selected,
                                      [&](const Event& event) { return visitEvent(event, visit, context) != 0; });
            return 0;
          },
          0);
    },
    [](calbridge_store* store, const calbridge_event* event, int span, int commit, calbridge_event_visitor saved,
       void* context) {
      return guarded(
          [&] {
            Store& s = storeOf(store);
            Event e = eventOf(*event, calendarIn(s, event->calendar));
            if (!s.saveEvent(e, static_cast<Span>(span), commit != 0)) return 0;
            visitEvent(e, saved, context);
            return 1;
          },
          0);
    },
    [](calbridge_store* store, const calbridge_event* event, int span, int commit) {
      return guarded(
          [&] {
            Store& s = storeOf(store);
            return s.removeEvent(eventOf(*event, calendarIn(s, event->calendar)), static_cast<Span>(span), commit != 0)
                       ? 1
                       : 0;
          },
          0);
    },
    [](calbridge_store* store, const calbridge_calendar* calendar, int commit, calbridge_calendar_visitor saved,
       void* context) {
      return guarded(
          [&] {
            Calendar c = calendarOf(*calendar);
            if (!storeOf(store).saveCalendar(c, commit != 0)) return 0;
            visitCalendar(c, saved, context);
            return 1;
          },
          0);
    },
    [](calbridge_store* store, const calbridge_calendar* calendar, int commit) {
      return guarded([&] { return storeOf(store).removeCalendar(calendarOf(*calendar), commit != 0) ? 1 : 0; }, 0);
    },
    [](calbridge_store* store) { return guarded([&] { return storeOf(store).commit() ? 1 : 0; }, 0); },
    [](calbridge_store* store, calbridge_line_visitor visit, void* context) {
      guarded(
          [&] {
            auto* described = dynamic_cast<Described*>(&storeOf(store));
            if (described == nullptr) return 0;
            for (const std::string& line : described->describe()) visit(context, textOf(std::string_view(line)));
            return 0;
          },
          0);
    },
};

}  // namespace

const calbridge_store_functions* exportedStore(std::unique_ptr<Store> (*make)()) {
  makeStore = make;
  return &kExported;
}

// ---- The bridge's side.

ModuleStore::ModuleStore(const calbridge_store_functions* functions) : functions_(functions) {}

ModuleStore::~ModuleStore() {
  if (store_ != nullptr) functions_->destroy(store_);
}

bool ModuleStore::open() {
  if (store_ == nullptr && functions_ != nullptr && functions_->version == kStoreModuleVersion) {
    store_ = functions_->create();
  }
  return store_ != nullptr && functions_->open(store_) != 0;
}

bool ModuleStore::readFailed() const { return store_ == nullptr || functions_->read_failed(store_) != 0; }

std::shared_ptr<const Calendar> ModuleStore::calendarNamed(const calbridge_calendar& c) {
  auto calendar = std::make_shared<const Calendar>(calendarOf(c));
  for (auto& known : known_) {
    if (known->calendarIdentifier == calendar->calendarIdentifier) {
      known = calendar;  // the latest description; events listed before keep theirs
      return calendar;
    }
  }
  known_.push_back(calendar);
  return calendar;
}

std::shared_ptr<const Calendar> ModuleStore::knownCalendar(calbridge_text identifier) {
  if (identifier.data == nullptr) return nullptr;
  const std::string_view id(identifier.data, identifier.size);
  for (const auto& known : known_) {
    if (known->calendarIdentifier == id) return known;
  }
  return calendarWithIdentifier(id);
}

namespace {

// A C callback that calls a C++ callable, which it gets as its context. Nothing
// it throws may unwind through the module's frames: that stops the visit.
template <typename Visit, typename... Args>
int trampoline(void* context, Args... args) noexcept {
  try {
    return (*static_cast<Visit*>(context))(*args...) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace

std::vector<std::shared_ptr<const Calendar>> ModuleStore::calendars() {
  std::vector<std::shared_ptr<const Calendar>> out;
  if (store_ == nullptr) return out;
  auto visit = [&](const calbridge_calendar& c) {
    out.push_back(calendarNamed(c));
    return true;
  };
  functions_->calendars(store_, &trampoline<decltype(visit), const calbridge_calendar*>, &visit);
  return out;
}

std::shared_ptr<const Calendar> ModuleStore::calendarWithIdentifier(std::string_view identifier) {
  std::shared_ptr<const Calendar> found;
  if (store_ == nullptr) return found;
  auto visit = [&](const calbridge_calendar& c) {
    found = calendarNamed(c);
    return false;
  };
  functions_->calendar_with_identifier(store_, textOf(identifier),
                                       &trampoline<decltype(visit), const calbridge_calendar*>, &visit);
  return found;
}

std::shared_ptr<const Calendar> ModuleStore::defaultCalendarForNewEvents() {
  std::shared_ptr<const Calendar> found;
  if (store_ == nullptr) return found;
  auto visit = [&](const calbridge_calendar& c) {
    found = calendarNamed(c);
    return false;
  };
  functions_->default_calendar(store_, &trampoline<decltype(visit), const calbridge_calendar*>, &visit);
  return found;
}

std::vector<Source> ModuleStore::sources() {
  std::vector<Source> out;
  if (store_ == nullptr) return out;
  auto visit = [&](const calbridge_source& c) {
    out.push_back(sourceOf(c));
    return true;
  };
  functions_->sources(store_, &trampoline<decltype(visit), const calbridge_source*>, &visit);
  return out;
}

std::vector<CalendarItem> ModuleStore::calendarItemsWithExternalIdentifier(std::string_view externalIdentifier) {
  std::vector<CalendarItem> out;
  if (store_ == nullptr) return out;
  auto visit = [&](int entityType, const calbridge_event& c) {
    out.push_back(CalendarItem{entityType == 0 ? EntityType::event : EntityType::reminder,
                               eventOf(c, knownCalendar(c.calendar))});
    return true;
  };
  functions_->items_with_external_identifier(
      store_, textOf(externalIdentifier),
      [](void* context, int entityType, const calbridge_event* c) noexcept -> int {
        try {
          return (*static_cast<decltype(visit)*>(context))(entityType, *c) ? 1 : 0;
        } catch (...) {
          return 0;
        }
      },
      &visit);
  return out;
}

void ModuleStore::enumerateEventsMatching(double start, double end,
                                          const std::vector<std::shared_ptr<const Calendar>>& calendars,
                                          const EventVisitor& visit) {
  if (store_ == nullptr) return;
  std::vector<calbridge_text> ids;
  for (const auto& calendar : calendars) {
    if (calendar) ids.push_back(textOf(std::string_view(calendar->calendarIdentifier)));
  }
  // One event value reused for every occurrence, as a backend fills its own.
  Event event;
  auto each = [&](const calbridge_event& c) {
    event = eventOf(c, knownCalendar(c.calendar));
    return visit(event);
  };
  functions_->events_matching(store_, start, end, ids.data(), ids.size(),
                              &trampoline<decltype(each), const calbridge_event*>, &each);
}

bool ModuleStore::saveEvent(Event& event, Span span, bool commit) {
  if (store_ == nullptr) return false;
  std::vector<int> days;
  const calbridge_event c = cEvent(event, days);
  Event saved;
  auto keep = [&](const calbridge_event& filled) {
    saved = eventOf(filled, event.calendar);
    return true;
  };
  if (functions_->save_event(store_, &c, static_cast<int>(span), commit ? 1 : 0,
                             &trampoline<decltype(keep), const calbridge_event*>, &keep) == 0) {
    return false;
  }
  event.calendarItemIdentifier = std::move(saved.calendarItemIdentifier);
  event.calendarItemExternalIdentifier = std::move(saved.calendarItemExternalIdentifier);
  event.eventIdentifier = std::move(saved.eventIdentifier);
  event.occurrenceDate = saved.occurrenceDate;
  return true;
}

bool ModuleStore::removeEvent(const Event& event, Span span, bool commit) {
  if (store_ == nullptr) return false;
  std::vector<int> days;
  const calbridge_event c = cEvent(event, days);
  return functions_->remove_event(store_, &c, static_cast<int>(span), commit ? 1 : 0) != 0;
}

bool ModuleStore::saveCalendar(Calendar& calendar, bool commit) {
  if (store_ == nullptr) return false;
  const calbridge_calendar c = cCalendar(calendar);
  std::string identifier;
  auto keep = [&](const calbridge_calendar& saved) {
    identifier = plainText(saved.identifier);
    return true;
  };
  if (functions_->save_calendar(store_, &c, commit ? 1 : 0, &trampoline<decltype(keep), const calbridge_calendar*>,
                                &keep) == 0) {
    return false;
  }
  calendar.calendarIdentifier = std::move(identifier);
  return true;
}

bool ModuleStore::removeCalendar(const Calendar& calendar, bool commit) {
  if (store_ == nullptr) return false;
  const calbridge_calendar c = cCalendar(calendar);
  return functions_->remove_calendar(store_, &c, commit ? 1 : 0) != 0;
}

bool ModuleStore::commit() { return store_ != nullptr && functions_->commit(store_) != 0; }

std::vector<std::string> ModuleStore::describe() {
  std::vector<std::string> lines;
  if (store_ == nullptr) return lines;
  auto visit = [&](calbridge_text line) { lines.push_back(plainText(line)); };
  functions_->describe(
      store_,
      [](void* context, calbridge_text line) noexcept {
        try {
          (*static_cast<decltype(visit)*>(context))(line);
        } catch (...) {
        }
      },
      &visit);
  return lines;
}

}  // namespace calbridge
