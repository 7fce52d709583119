// "createEvent": a single or repeating event, and the occurrences to skip.
#pragma once

#include "calendar/store.h"
#include "protocol/reply.h"
#include "protocol/request.h"

namespace calbridge {

inline constexpr double kMaxEventSeconds = 86400;
inline constexpr std::size_t kMaxTitleCharacters = 255;
inline constexpr std::size_t kMaxSkipEntries = 1000;

// Replies {"uid": the new event's external identifier}.
Reply createEventCommand(Store& store, const Request& input);

}  // namespace calbridge
