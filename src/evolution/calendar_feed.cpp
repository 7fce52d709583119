#include "evolution/calendar_feed.h"

#include "calendar/series_split.h"
#include "calendar/stored_series.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace calbridge {

PreparedEvents::PreparedEvents(std::vector<StoredEvent> events, ZoneCache& zones) : events_(std::move(events)) {
  const std::vector<std::optional<std::size_t>> parents = linkChanges(events_, zones);
  // Series (and parts split off them) in order of first start; each change with the series that holds it.
  std::vector<std::size_t> order(events_.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return events_[a].start < events_[b].start; });
  std::vector<std::size_t> itemOf(events_.size(), SIZE_MAX);
  for (std::size_t i : order) {
    if (!events_[i].rule) continue;
    itemOf[i] = seriesEvents_.size();
    seriesEvents_.push_back(i);
    series_.push_back(seriesOf(events_[i], zones));
  }
  changes_.resize(series_.size());
  changeEvents_.resize(series_.size());
  for (std::size_t i : order) {
    const StoredEvent& event = events_[i];
    if (event.rule) continue;
    if (!parents[i] || !event.recurrenceId || itemOf[*parents[i]] == SIZE_MAX) {
      singles_.push_back(&event);
      continue;
    }
    const std::size_t item = itemOf[*parents[i]];
    Series& series = series_[item];
    const std::int64_t wall = event.recurrenceId->wall;
    changes_[item].push_back(SeriesChange{listedTimes(event.start, event.end, !event.timeZone, zones.local()), wall,
                                          occurrenceStartAt(series, wall)});
    changeEvents_[item].push_back(i);
    series.replaced.insert(std::lower_bound(series.replaced.begin(), series.replaced.end(), wall), wall);
  }
  for (std::size_t item = 0; item < series_.size(); ++item) {
    listed_.push_back(ListedSeries{&series_[item], lastEndOf(series_[item]), changes_[item]});
  }
}

}  // namespace calbridge
