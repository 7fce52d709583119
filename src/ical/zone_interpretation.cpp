#include "ical/zone_interpretation.h"

#include "calendar/civil_time.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace calbridge {

namespace {

int libicalOffset(icaltimezone* zone, std::int64_t t) {
  icaltimetype utc = icaltime_from_timet_with_zone(static_cast<time_t>(t), 0, icaltimezone_get_utc_timezone());
  int daylight = 0;
  return icaltimezone_get_utc_offset_of_utc_time(zone, &utc, &daylight);
}

// One calendar year (UTC) of a defined zone: its offset at the start, and
// each change in it with the offset from then on.
struct Year {
  int initial = 0;
  std::vector<std::pair<std::int64_t, int>> changes;
};

Year readYear(icaltimezone* zone, int year) {
  const std::int64_t start = daysFromCivil(year, 1, 1) * kDay;
  const std::int64_t end = daysFromCivil(year + 1, 1, 1) * kDay;
  Year out;
  int before = out.initial = libicalOffset(zone, start);
  for (std::int64_t t = start; t < end; t += kDay) {
    const std::int64_t next = std::min(t + kDay, end);
    const int after = libicalOffset(zone, next);
    // Each change of the day in turn; a zone changes at most a few times a year.
    for (std::int64_t low = t; after != before && out.changes.size() < 16;) {
      std::int64_t high = next;  // already changed
      while (high - low > 1) {
        const std::int64_t middle = low + (high - low) / 2;
        (libicalOffset(zone, middle) == before ? low : high) = middle;
      }
      before = libicalOffset(zone, high);
      out.changes.emplace_back(high, before);
      low = high;
    }
  }
  return out;
}

// Interpretations by key, for the process's lifetime. A hostile server could
// send a new definition with every object, so the memory they take is bounded.
struct Known {
  std::mutex mutex;
  std::unordered_map<std::string, std::optional<Zone>> byKey;  // nothing: the definition cannot be read
  std::size_t bytes = 0;
};
constexpr std::size_t kMaxKnownBytes = 16u << 20;

Known& known() {
  static Known k;
  return k;
}

}  // namespace

OffsetAt yearlyOffsets(icaltimezone* defined) {
  auto years = std::make_shared<std::map<int, Year>>();
  return [defined, years](std::int64_t t) {
    const int year = civilFromDays(floorDiv(t, kDay)).year;
    auto at = years->find(year);
    if (at == years->end()) at = years->emplace(year, readYear(defined, year)).first;
    const auto& changes = at->second.changes;
    auto after = std::upper_bound(changes.begin(), changes.end(), t,
                                  [](std::int64_t value, const auto& change) { return value < change.first; });
    return after == changes.begin() ? at->second.initial : std::prev(after)->second;
  };
}

std::string interpretationKey(std::string_view tzid, int firstYear, int lastYear, icalcomponent* definition) {
  std::string key(tzid);
  key += '\n' + std::to_string(firstYear) + '-' + std::to_string(lastYear) + '\n';
  if (char* text = icalcomponent_as_ical_string_r(definition)) {
    key += text;
    icalmemory_free_buffer(text);
  }
  return key;
}

std::optional<const Zone*> knownInterpretation(const std::string& key, ZoneCache& zones) {
  Known& k = known();
  std::lock_guard lock(k.mutex);
  auto found = k.byKey.find(key);
  if (found == k.byKey.end()) return std::nullopt;
  if (!found->second) return nullptr;
  const Zone& zone = *found->second;
  if (const Zone* kept = zones.find(zone.name)) return kept;
  // A zone of a file's own, first met by another store's cache.
  if (isDefinedZoneName(zone.name)) return zones.add(zone);
  return std::nullopt;
}

void rememberInterpretation(std::string key, const Zone* zone) {
  Known& k = known();
  std::lock_guard lock(k.mutex);
  const std::size_t size = key.size() + (zone != nullptr ? zone->name.size() + zone->transitions.size() * 12 : 0);
  if (k.bytes + size > kMaxKnownBytes) return;
  if (k.byKey.emplace(std::move(key), zone != nullptr ? std::optional<Zone>(*zone) : std::nullopt).second)
    k.bytes += size;
}

}  // namespace calbridge
