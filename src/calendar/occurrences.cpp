#include "calendar/occurrences.h"

#include "calendar/civil_time.h"

#include <algorithm>
#include <utility>

namespace calbridge {

namespace {

constexpr double kDaySeconds = static_cast<double>(kDay);

// Start, then end, then the order of the sources.
template <typename A, typename B>
bool before(const A& a, const B& b) {
  if (a.start != b.start) return a.start < b.start;
  if (a.end != b.end) return a.end < b.end;
  return a.order < b.order;
}

}  // namespace

OccurrenceMerge::OccurrenceMerge(std::span<const CalendarFeed> calendars, double from, double to)
    : calendars_(calendars) {
  auto overlaps = [&](const TimeRange& t) { return t.start < to && (t.end > from || t.start >= from); };
  // A series' first start and last end are in its own terms, which for a
  // floating series are wall seconds: a day's margin covers any offset.
  const double latestStart = to + kDaySeconds;
  const double earliestEnd = from - kDaySeconds;
  // At most this many of each: growing would move them.
  std::size_t singles = 0, series = 0;
  for (const CalendarFeed& calendar : calendars) {
    singles += calendar.singles.size();
    series += calendar.series.size();
    for (const ListedSeries& listed : calendar.series) singles += listed.changes.size();
  }
  placed_.reserve(singles);
  sources_.reserve(series);
  std::uint64_t order = 0;
  for (std::uint32_t c = 0; c < calendars.size(); ++c) {
    const CalendarFeed& calendar = calendars[c];
    for (std::uint32_t i = 0; i < calendar.singles.size(); ++i) {
      const TimeRange& t = calendar.singles[i];
      if (overlaps(t)) placed_.push_back(Placed{t.start, t.end, order, c, i, kNoChange});
      ++order;
    }
    // Changed occurrences are listed where they now are, which may lie far
    // from the occurrence they stand in for.
    for (std::uint32_t s = 0; s < calendar.series.size(); ++s) {
      const ListedSeries& listed = calendar.series[s];
      const auto& excluded = listed.series->excluded;
      for (std::uint32_t k = 0; k < listed.changes.size(); ++k) {
        const SeriesChange& change = listed.changes[k];
        if (overlaps(change.at) && !std::binary_search(excluded.begin(), excluded.end(), change.replacedWall)) {
          placed_.push_back(Placed{change.at.start, change.at.end, order, c, s, k});
        }
        ++order;
      }
    }
    for (std::uint32_t s = 0; s < calendar.series.size(); ++s) {
      const ListedSeries& listed = calendar.series[s];
      if (listed.series->start >= latestStart) continue;
      if (listed.lastEnd && *listed.lastEnd <= earliestEnd) continue;
      // A rule that cannot be expanded is left out rather than failing the
      // listing; each series steps within a budget of its own.
      sources_.push_back(Source{SeriesCursor(*listed.series, from, to, StepBudget{}), listed.series, c, s, order++});
    }
  }
  // Timed singles are in start order already; floating ones shift by their offset.
  auto placedBefore = [](const Placed& a, const Placed& b) { return before(a, b); };
  if (!std::is_sorted(placed_.begin(), placed_.end(), placedBefore)) {
    std::sort(placed_.begin(), placed_.end(), placedBefore);
  }
  heads_.reserve(sources_.size());
  for (std::uint32_t i = 0; i < sources_.size(); ++i) advance(i);
}

void OccurrenceMerge::advance(std::uint32_t index) {
  Source& source = sources_[index];
  if (auto o = source.cursor.next()) {
    heads_.push_back(Head{o->start, occurrenceEnd(*source.series, *o), source.order, index});
    std::push_heap(heads_.begin(), heads_.end(), [](const Head& a, const Head& b) { return before(b, a); });
  }
}

std::optional<ListedOccurrence> OccurrenceMerge::next() {
  // The series listed last steps on only now: what is never pulled is never
  // made. Its next occurrence takes the top's place and sinks to where it
  // belongs, which costs half of taking the top away and adding it anew.
  auto after = [](const Head& a, const Head& b) { return before(b, a); };
  if (std::exchange(stepped_, false)) {
    Source& source = sources_[heads_.front().source];
    if (auto o = source.cursor.next()) {
      heads_.front() = Head{o->start, occurrenceEnd(*source.series, *o), source.order, heads_.front().source};
      const std::size_t n = heads_.size();
      for (std::size_t i = 0, child; (child = 2 * i + 1) < n; i = child) {
        if (child + 1 < n && after(heads_[child], heads_[child + 1])) ++child;
        if (!after(heads_[i], heads_[child])) break;
        std::swap(heads_[i], heads_[child]);
      }
    } else {
      std::pop_heap(heads_.begin(), heads_.end(), after);
      heads_.pop_back();
    }
  }
  if (nextPlaced_ < placed_.size() && (heads_.empty() || before(placed_[nextPlaced_], heads_.front()))) {
    const Placed& p = placed_[nextPlaced_++];
    ListedOccurrence o;
    o.calendar = p.calendar;
    o.item = p.item;
    o.start = p.start;
    o.end = p.end;
    o.occurrenceDate = p.start;
    if (p.change != kNoChange) {
      o.kind = ListedOccurrence::Kind::change;
      o.change = p.change;
      o.occurrenceDate = calendars_[p.calendar].series[p.item].changes[p.change].replacedStart;
    }
    return o;
  }
  if (heads_.empty()) return std::nullopt;
  const Head head = heads_.front();
  const Source& source = sources_[head.source];
  ListedOccurrence o;
  o.kind = ListedOccurrence::Kind::occurrence;
  o.calendar = source.calendar;
  o.item = source.item;
  o.start = head.start;
  o.end = head.end;
  o.occurrenceDate = head.start;
  stepped_ = true;
  return o;
}

}  // namespace calbridge
