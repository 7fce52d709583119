// "createEvent": a single or repeating event, and the occurrences to skip.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "base/limits.h"

namespace calbridge {

// Replies {"uid": the new event's external identifier}.
Reply createEventCommand(Store& store, const Request& input);

}  // namespace calbridge
