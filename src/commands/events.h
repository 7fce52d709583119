// "events": the occurrences in a window of the calendars the host names.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "base/limits.h"

namespace calbridge {

// Replies an array of {"uid","title","start","end","allDay","calendar"}, one per occurrence.
Reply eventsCommand(Store& store, const Request& input);

}  // namespace calbridge
