#include "main/dispatch.h"

#include "commands/access_calendars.h"
#include "commands/calendar_management.h"
#include "commands/create_event.h"
#include "commands/delete_event.h"
#include "commands/events.h"
#include "base/unicode.h"

namespace calbridge {

namespace {

struct Command {
  std::string_view word;
  Handler handler;
};

constexpr Command kCommands[] = {
    {"access", accessCommand},
    {"calendars", calendarsCommand},
    {"events", eventsCommand},
    {"createEvent", createEventCommand},
    {"deleteEvent", deleteEventCommand},
    {"deleteCalendar", deleteCalendarCommand},
    {"createCalendar", createCalendarCommand},
};

}  // namespace

Handler findCommand(std::string_view word) {
  for (const auto& command : kCommands) {
    if (canonicallyEqual(word, command.word)) return command.handler;
  }
  return nullptr;
}

}  // namespace calbridge
