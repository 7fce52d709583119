// Events keep their identifiers when their object's text is read again (a
// sync brought a newer version, or a conflict was made good on the server's
// text): a host that found an event before still finds it after, and removes
// it when its turn comes.
#pragma once

#include "calendar/stored_event.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calbridge {

// An event of an object as the replica keeps it: its UID and the occurrence
// it changes (none for a series or a single event), and its identifier.
struct KeptIdentity {
  std::string uid;
  std::optional<std::int64_t> occurrence;  // wall seconds, as a changed occurrence's recurrenceId
  std::string itemIdentifier;
};

// Gives each of `events` that has no identifier yet the one of the kept event
// with its UID and occurrence; each identifier goes to one event at most.
void carryIdentifiers(std::span<const KeptIdentity> kept, std::vector<StoredEvent>& events);

}  // namespace calbridge
