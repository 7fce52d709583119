#include "calendar/stored_series.h"

#include "calendar/civil_time.h"

#include <algorithm>
#include <cmath>

namespace calbridge {

namespace {

constexpr double kDaySeconds = static_cast<double>(kDay);

}  // namespace

Series seriesOf(const StoredEvent& event, ZoneCache& zones) {
  Series series;
  series.rule = event.rule.value_or("");
  series.rules = parseRuleSet(series.rule);
  if (series.rules.empty()) series.plain = parsePlainRule(series.rule);
  series.start = event.start;
  series.duration = std::max(0.0, event.end - event.start);
  series.floating = !event.timeZone;
  series.allDay = event.allDay;
  series.zone = event.timeZone ? zones.find(*event.timeZone) : &zones.local();
  if (series.zone == nullptr) series.zone = &zones.utc();
  // Fewer days than the years 1 to 9999 hold.
  if (event.nominalDays > 0 && event.nominalDays < 3652425 && !series.floating && convertible(event.start)) {
    // The first end is its days on the clock and then exact seconds: keep those seconds.
    series.days = event.nominalDays;
    const double nominalEnd =
        epochOf(*series.zone, wallOf(*series.zone, event.start) + static_cast<double>(event.nominalDays) * kDaySeconds);
    series.duration = std::max(0.0, event.end - nominalEnd);
  }
  series.until = event.until;
  series.count = event.count;
  series.excluded = event.excluded;
  if (!std::is_sorted(series.excluded.begin(), series.excluded.end())) {
    std::sort(series.excluded.begin(), series.excluded.end());
  }
  series.extraDates = event.extraDates;
  return series;
}

std::optional<double> lastEndOf(const Series& series) {
  // An upper bound: days on the clock may run an offset change longer.
  const double longest =
      series.duration + (series.days != 0 ? static_cast<double>(series.days + 1) * kDaySeconds : 0.0);
  std::optional<double> last;
  if (series.rule.empty() && series.rules.empty()) {
    last = series.start;  // extra dates alone
  } else if (series.until) {
    last = std::max(*series.until, series.start);  // the start is an occurrence, whatever the end
  } else {
    // Unknown (a rule too long to walk): never leave it out of a window.
    last = lastStartOf(series, 100000);
    if (!last) return std::nullopt;
  }
  double end = *last + longest;
  if (!series.extraDates.empty() && series.zone != nullptr) {
    // Neither COUNT nor UNTIL ends the extra dates; the last one may run longer.
    const ExtraDate& extra = series.extraDates.back();
    const double start = series.floating ? static_cast<double>(extra.wall)
                                         : static_cast<double>(wallToEpoch(*series.zone, extra.wall));
    double period = 0;
    for (const ExtraDate& e : series.extraDates) period = std::max(period, e.duration.value_or(0));
    end = std::max(end, start + std::max(longest, period) + kDaySeconds);
  }
  return end;
}

std::int64_t wallOfStart(const Series& series) {
  const auto start = static_cast<std::int64_t>(std::floor(series.start));
  return series.floating || series.zone == nullptr ? start : epochToWall(*series.zone, start);
}

double occurrenceStartAt(const Series& series, std::int64_t wall) {
  const double fraction = series.start - std::floor(series.start);
  return static_cast<double>(series.floating ? wall : wallToEpoch(*series.zone, wall)) + fraction;
}

std::int64_t partShift(const Series& part, std::int64_t originalWall) {
  if (!convertible(part.start)) return 0;
  return wallOfStart(part) - originalWall;
}

}  // namespace calbridge
