// "createCalendar" and "deleteCalendar".
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace calbridge {

inline constexpr std::size_t kMaxCalendarTitleCharacters = 255;
inline constexpr std::size_t kMaxCalendarIdCharacters = 200;

// Replies {"id": the new calendar's identifier}.
Reply createCalendarCommand(Store& store, const Request& input);

// Replies {"deleted": true}.
Reply deleteCalendarCommand(Store& store, const Request& input);

}  // namespace calbridge
