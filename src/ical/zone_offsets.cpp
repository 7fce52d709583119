#include "ical/zone_offsets.h"

#include "calendar/civil_time.h"
#include "calendar/time_zone.h"

#include <algorithm>

namespace calbridge {

OffsetAt offsetsOf(const Zone& zone) {
  return [&zone](std::int64_t t) { return utcOffset(zone, t); };
}

std::vector<std::int64_t> offsetChanges(const OffsetAt& offset, std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> changes;
  int before = offset(from);
  for (std::int64_t t = from; t < to; t += kDay) {
    std::int64_t next = std::min(t + kDay, to);
    int after = offset(next);
    if (after == before) continue;
    std::int64_t low = t;  // still `before`
    std::int64_t high = next;  // already changed
    while (high - low > 1) {
      std::int64_t middle = low + (high - low) / 2;
      (offset(middle) == before ? low : high) = middle;
    }
    changes.push_back(high);
    before = after;
  }
  return changes;
}

bool sameOffsets(const OffsetAt& a, const OffsetAt& b, const std::vector<std::int64_t>& changesOfA, std::int64_t from,
                 std::int64_t to) {
  constexpr std::int64_t kSlack = 60;
  // Twice a month first: most zones differ somewhere, and cheaply.
  for (std::int64_t t = from + kDay / 2; t < to; t += 15 * kDay) {
    if (a(t) != b(t)) return false;
  }
  auto agreeAround = [&](const std::vector<std::int64_t>& changes) {
    return std::all_of(changes.begin(), changes.end(),
                       [&](std::int64_t t) { return a(t + kSlack) == b(t + kSlack) && a(t - 1 - kSlack) == b(t - 1 - kSlack); });
  };
  return a(from) == b(from) && agreeAround(changesOfA) && agreeAround(offsetChanges(b, from, to));
}

}  // namespace calbridge
