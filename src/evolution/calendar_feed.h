// A calendar's events as Evolution Data Server keeps them, made ready for
// calbridge's own occurrence merge (calendar/occurrences.h): EDS's objects
// are read as calendar files are, and expanded by calbridge's engine rather
// than libecal's, so an event lists alike in every store.
#pragma once

#include "calendar/occurrences.h"
#include "calendar/stored_event.h"
#include "calendar/time_zone.h"

#include <cstddef>
#include <vector>

namespace calbridge {

// Every series among some events, tied to their changed occurrences (split
// at THISANDFUTURE changes), and the events that are single after all (a
// change whose series is not among them). Not copied nor moved once made:
// what it lends the merge points into it.
class PreparedEvents {
 public:
  PreparedEvents(std::vector<StoredEvent> events, ZoneCache& zones);
  PreparedEvents(const PreparedEvents&) = delete;
  PreparedEvents& operator=(const PreparedEvents&) = delete;

  // For the merge: each series as it lists, in order of first start.
  const std::vector<ListedSeries>& listed() const { return listed_; }
  // The event of listed series `item`, and of change `change` of it.
  const StoredEvent& seriesEvent(std::size_t item) const { return events_[seriesEvents_[item]]; }
  const StoredEvent& changeEvent(std::size_t item, std::size_t change) const {
    return events_[changeEvents_[item][change]];
  }
  // The events left single, in order of start.
  const std::vector<const StoredEvent*>& singles() const { return singles_; }

 private:
  std::vector<StoredEvent> events_;
  std::vector<Series> series_;
  std::vector<std::vector<SeriesChange>> changes_;
  std::vector<std::size_t> seriesEvents_;
  std::vector<std::vector<std::size_t>> changeEvents_;
  std::vector<ListedSeries> listed_;
  std::vector<const StoredEvent*> singles_;
};

}  // namespace calbridge
