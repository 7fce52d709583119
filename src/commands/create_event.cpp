#include "commands/create_event.h"

#include "calendar/access/authorization.h"
#include "protocol/readers.h"
#include "base/unicode.h"

#include <cmath>

namespace calbridge {

namespace {

// Occurrences are sought this far either side of a skip entry, and match when
// they start less than kStartTolerance from it.
constexpr double kSearchSeconds = 60;
constexpr double kStartTolerance = 1;

std::optional<RecurrenceRule> ruleFor(std::string_view word) {
  struct Entry {
    std::string_view word;
    Frequency frequency;
    int interval;
    bool weekdays;
  };
  static constexpr Entry kRules[] = {
      {"daily", Frequency::daily, 1, false},
      {"weekdays", Frequency::weekly, 1, true},
      {"weekly", Frequency::weekly, 1, false},
      {"biweekly", Frequency::weekly, 2, false},
      {"monthly", Frequency::monthly, 1, false},
  };
  for (const auto& entry : kRules) {
    if (!canonicallyEqual(word, entry.word)) continue;
    RecurrenceRule rule;
    rule.frequency = entry.frequency;
    rule.interval = entry.interval;
    if (entry.weekdays) rule.daysOfTheWeek = {2, 3, 4, 5, 6};  // Monday to Friday
    return rule;
  }
  return std::nullopt;
}

// Stages the removal of the occurrences of the new series that start near
// each entry. An entry that names no occurrence has no effect.
void skipOccurrences(Store& store, const Event& event, const std::shared_ptr<const Calendar>& calendar,
                     const Request& input) {
  auto skip = numberList(input, "skip");
  if (!skip || skip->size() > kMaxSkipEntries) return;
  const auto& series = event.calendarItemIdentifier;
  const std::vector<std::shared_ptr<const Calendar>> only{calendar};
  for (double entry : *skip) {
    if (!std::isfinite(entry)) continue;
    for (const Event& occurrence : store.eventsMatching(entry - kSearchSeconds, entry + kSearchSeconds, only)) {
      if (!series || !occurrence.calendarItemIdentifier ||
          !canonicallyEqual(*occurrence.calendarItemIdentifier, *series)) {
        continue;
      }
      if (!occurrence.startDate || std::fabs(*occurrence.startDate - entry) >= kStartTolerance) continue;
      (void)store.removeEvent(occurrence, Span::thisEvent, false);
    }
  }
}

}  // namespace

Reply createEventCommand(Store& store, const Request& input) {
  if (!hasAccess(store)) return fail(ErrorCode::denied);
  auto calendarId = plainString(input, "calendar");
  if (!calendarId) return fail(ErrorCode::invalid);
  auto calendar = store.calendarWithIdentifier(*calendarId);
  if (!calendar || !calendar->allowsContentModifications) return fail(ErrorCode::invalid);
  auto start = number(input, "start");
  if (!start) return fail(ErrorCode::invalid);
  auto end = number(input, "end");
  if (!end) return fail(ErrorCode::invalid);
  if (!(*start < *end) || *end - *start > kMaxEventSeconds) return fail(ErrorCode::invalid);

  Event event;
  event.calendar = calendar;
  event.title = text(input, "title", kMaxTitleCharacters).value_or(calendar->title);
  event.startDate = *start;
  event.endDate = *end;

  std::string repeat = plainString(input, "repeat").value_or("");
  if (!repeat.empty()) {
    auto rule = ruleFor(repeat);
    if (!rule) return fail(ErrorCode::invalid);
    auto until = number(input, "until");
    if (until && *start <= *until) rule->endDate = *until;
    event.recurrenceRule = std::move(rule);
  }

  // A series and its skips are one change: stored together, or not at all.
  // Committing the series first would leave it whole, every skipped
  // occurrence listed, whenever the second commit failed.
  const bool series = !repeat.empty();
  if (!store.saveEvent(event, Span::thisEvent, !series)) return fail(ErrorCode::failed);
  if (series) {
    skipOccurrences(store, event, calendar, input);
    if (!store.commit()) return fail(ErrorCode::failed);
  }

  std::string uid = event.calendarItemExternalIdentifier ? *event.calendarItemExternalIdentifier
                    : event.eventIdentifier                ? *event.eventIdentifier
                                                           : std::string();
  return ok([&](JsonOut& out) {
    out.startObject();
    out.key("uid");
    out.string(uid);
    out.endObject();
  });
}

}  // namespace calbridge
