#include "calendar/series_rules.h"

#include "calendar/civil_time.h"
#include "calendar/time_zone.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace calbridge {

bool nothingLeft(const Series& series) {
  if (!series.until && !(series.count && *series.count <= 100000)) return false;
  bool remains = false;
  bool expanded = expandSeries(series, static_cast<double>(kFirstMoment), static_cast<double>(kEndOfTime),
                               [&](const Occurrence&) {
                                 remains = true;
                                 return false;
                               });
  return expanded && !remains;
}

std::optional<std::int64_t> madeBefore(const Series& series, std::int64_t wall, std::int64_t maxSteps) {
  if (series.zone == nullptr || (series.count && *series.count > maxSteps)) return std::nullopt;
  Series all = series;
  all.excluded.clear();
  all.extraDates.clear();
  all.replaced.clear();
  std::int64_t made = 0;
  bool bounded = true;
  const double before = static_cast<double>(wallToEpoch(*series.zone, wall)) + kDay;
  bool expanded = expandSeries(all, static_cast<double>(kFirstMoment), before, [&](const Occurrence& o) {
    if (o.wall < wall) ++made;
    if (made > maxSteps) bounded = false;
    return bounded;
  });
  if (!expanded || !bounded) return std::nullopt;
  return made;
}

RemovalPlan planRemoval(Series& series, double occurrenceStart, Span span, bool changesStay) {
  RemovalPlan plan;
  double first = series.start;
  if (series.floating) {
    const double base = std::floor(series.start);
    first = static_cast<double>(wallToEpoch(*series.zone, static_cast<std::int64_t>(base))) + (series.start - base);
  }
  // Ending a series at its first occurrence removes it, even when that first
  // occurrence itself was already excluded.
  if (span == Span::futureEvents && occurrenceStart <= first + kSameMoment) {
    plan.kind = RemovalPlan::Kind::removeAll;
    return plan;
  }
  std::optional<Occurrence> found;
  // A rule that cannot be expanded finds nothing, and nothing is changed.
  expandSeries(series, occurrenceStart - 1, occurrenceStart + 1, [&](const Occurrence& o) {
    if (std::fabs(o.start - occurrenceStart) < kSameMoment) {
      found = o;
      return false;
    }
    return true;
  });
  if (!found) return plan;
  plan.wall = found->wall;
  if (span == Span::thisEvent) {
    // Tried in place rather than on a copy: many skips of one new series each
    // come here, and a copy of its growing exclusions each time is what they cost.
    auto& excluded = series.excluded;
    auto at = excluded.insert(std::lower_bound(excluded.begin(), excluded.end(), found->wall), found->wall);
    const bool empty = !changesStay && nothingLeft(series);
    excluded.erase(at);
    plan.kind = empty ? RemovalPlan::Kind::removeAll : RemovalPlan::Kind::exclude;
    return plan;
  }
  Series ended = series;
  ended.until = ended.floating ? static_cast<double>(found->wall) + (ended.start - std::floor(ended.start)) - 1
                               : found->start - 1;
  ended.count.reset();
  std::erase_if(ended.excluded, [&](std::int64_t wall) { return wall >= found->wall; });
  std::erase_if(ended.extraDates, [&](const ExtraDate& extra) { return extra.wall >= found->wall; });
  std::erase_if(ended.replaced, [&](std::int64_t wall) { return wall >= found->wall; });
  if (nothingLeft(ended)) {
    plan.kind = RemovalPlan::Kind::removeAll;
    return plan;
  }
  plan.kind = RemovalPlan::Kind::endBefore;
  plan.ended = std::move(ended);
  return plan;
}

}  // namespace calbridge
