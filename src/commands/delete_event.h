// "deleteEvent": an event from the found occurrence on, or the occurrences near a start.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "base/limits.h"

namespace calbridge {

// Replies {"deleted": the number of events or occurrences removed}.
Reply deleteEventCommand(Store& store, const Request& input);

}  // namespace calbridge
