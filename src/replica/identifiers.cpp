#include "replica/identifiers.h"

#include <map>
#include <utility>

namespace calbridge {

void carryIdentifiers(std::span<const KeptIdentity> kept, std::vector<StoredEvent>& events) {
  std::multimap<std::pair<std::string_view, std::optional<std::int64_t>>, std::string_view> byKey;
  for (const KeptIdentity& k : kept) byKey.emplace(std::pair{std::string_view(k.uid), k.occurrence}, k.itemIdentifier);
  for (StoredEvent& event : events) {
    if (!event.calendarItemIdentifier.empty()) continue;
    std::optional<std::int64_t> occurrence;
    if (event.recurrenceId) occurrence = event.recurrenceId->wall;
    auto found = byKey.find({std::string_view(event.externalIdentifier), occurrence});
    if (found == byKey.end()) continue;
    event.calendarItemIdentifier = std::string(found->second);
    byKey.erase(found);
  }
}

}  // namespace calbridge
