// "events": the occurrences in a window of the calendars the host names.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace calbridge {

inline constexpr double kMaxWindowSeconds = 38880000;  // 450 days
inline constexpr std::size_t kMaxQueriedCalendars = 500;
inline constexpr std::size_t kMaxEventRecords = 20000;

// Replies an array of {"uid","title","start","end","allDay","calendar"}, one per occurrence.
Reply eventsCommand(Store& store, const Request& input);

}  // namespace calbridge
