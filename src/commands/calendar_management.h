// "createCalendar" and "deleteCalendar".
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "base/limits.h"

namespace calbridge {

// Replies {"id": the new calendar's identifier}.
Reply createCalendarCommand(Store& store, const Request& input);

// Replies {"deleted": true}.
Reply deleteCalendarCommand(Store& store, const Request& input);

}  // namespace calbridge
