// "access" and "calendars": permission, and the list of event calendars.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace calbridge {

// Asks for permission when it is not yet given; replies {"granted": bool}, a success either way.
Reply accessCommand(Store& store, const Request& input);

// Every event calendar as {"id","title","color","writable","source"}, asking
// for permission first when it is not yet given.
Reply calendarsCommand(Store& store, const Request& input);

}  // namespace calbridge
