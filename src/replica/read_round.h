// A sync round with the events read from each object it brings: what a store
// keeps. The reading (iCalendar, with libical) is done before the store's
// write lock is taken, so that under it there is only writing.
#pragma once

#include "calendar/stored_event.h"
#include "replica/replica.h"

#include <vector>

namespace calbridge {

struct ReadRound {
  ReplicaRound round;
  // One list per object of round.upserts, in order; empty for an object
  // whose text could not be read (it is kept, and lists nothing).
  std::vector<std::vector<StoredEvent>> events;
};

}  // namespace calbridge
