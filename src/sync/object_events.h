// The events of one calendar object's text as the replica keeps them, bounded
// as an imported file's are.
#pragma once

#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

struct ObjectEvents {
  std::vector<StoredEvent> events;
  std::string error;  // why the text could not be read; empty when it was
  std::size_t cuts = 0;  // titles and uids cut to their bounds
};

ObjectEvents readObjectEvents(std::string_view text, ZoneCache& zones);

}  // namespace calbridge
