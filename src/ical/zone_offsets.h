// A zone's UTC offsets over time, whatever defines them (a zone of the store,
// or a calendar file's VTIMEZONE through libical): where they change, and
// whether two zones agree. Zone matching and the VTIMEZONE writer share these.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace calbridge {

struct Zone;

// The UTC offset (seconds east) at an instant (UTC seconds).
using OffsetAt = std::function<int(std::int64_t)>;

OffsetAt offsetsOf(const Zone& zone);

// Each offset change in [from, to), found day by day (two changes within one
// day are not told apart).
std::vector<std::int64_t> offsetChanges(const OffsetAt& offset, std::int64_t from, std::int64_t to);

// True when the two have the same UTC offset at every moment of [from, to),
// but for a minute either side of a change: Outlook writes changes at 23:59:59
// where the zone's rules say midnight. `changesOfA` are a's changes in the span.
bool sameOffsets(const OffsetAt& a, const OffsetAt& b, const std::vector<std::int64_t>& changesOfA, std::int64_t from,
                 std::int64_t to);

}  // namespace calbridge
