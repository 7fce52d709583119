#include "calendar/series_split.h"

#include "base/unicode.h"
#include "calendar/series_rules.h"
#include "calendar/stored_series.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>

namespace calbridge {

std::optional<std::vector<Series::Rule>> rulesAfterSplit(const Series& series, std::int64_t wall, double shift,
                                                         std::int64_t maxSteps) {
  if (series.zone == nullptr) return std::nullopt;
  const double at = series.floating ? static_cast<double>(wall) : static_cast<double>(wallToEpoch(*series.zone, wall));
  std::vector<Series::Rule> rules;
  for (const Series::Rule& rule : series.rules) {
    Series one = series;
    one.rules.clear();
    one.rule = rule.rule;
    one.plain.reset();
    one.count = rule.count;
    one.until = rule.until;
    if (series.until && (!one.until || *series.until < *one.until)) one.until = series.until;
    if (one.until && *one.until < at) continue;  // ended before the split
    auto before = madeBefore(one, wall, maxSteps);
    auto through = madeBefore(one, wall + 1, maxSteps);
    if (!before || !through) return std::nullopt;
    Series::Rule after = rule;
    if (rule.count) {
      const std::int64_t left = *rule.count - *before;
      if (left <= 0) continue;
      after.count = left + (*through > *before ? 0 : 1);
    }
    if (rule.until) after.until = *rule.until + shift;
    rules.push_back(std::move(after));
  }
  return rules;
}

std::vector<std::optional<std::size_t>> linkChanges(std::vector<StoredEvent>& events, ZoneCache& zones) {
  std::vector<std::optional<std::size_t>> parents(events.size());
  std::map<std::string, std::size_t> seriesByUid;  // the first event of a UID that changes no occurrence
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) seriesByUid.emplace(nfc(events[i].externalIdentifier), i);
  }
  std::map<std::size_t, std::vector<std::size_t>> changesOf;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (!events[i].recurrenceId) continue;
    auto series = seriesByUid.find(nfc(events[i].externalIdentifier));
    if (series == seriesByUid.end()) {
      events[i].recurrenceId.reset();  // a changed occurrence of a series not given: all there is of it
      continue;
    }
    changesOf[series->second].push_back(i);
  }
  auto wallOfStart = [&](const StoredEvent& event) {
    const auto start = static_cast<std::int64_t>(std::floor(event.start));
    const Zone* zone = event.timeZone ? zones.find(*event.timeZone) : nullptr;
    return zone != nullptr ? epochToWall(*zone, start) : start;
  };
  for (auto& [master, changes] : changesOf) {
    // A single event with changes is a series of its start alone.
    if (!events[master].rule) events[master].rule = "";
    std::stable_sort(changes.begin(), changes.end(), [&](std::size_t a, std::size_t b) {
      return events[a].recurrenceId->wall < events[b].recurrenceId->wall;
    });
    // Later changes name occurrences by their original starts, so each part
    // keeps how far it moved them.
    struct Part {
      std::size_t index;
      std::int64_t from;  // original wall of its first occurrence
      std::int64_t shift;
    };
    std::vector<Part> parts{{master, std::numeric_limits<std::int64_t>::min(), 0}};
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (!change.recurrenceId->thisAndFuture || !convertible(change.start)) continue;
      StoredEvent& part = events[parts.back().index];
      const std::int64_t at = change.recurrenceId->wall + parts.back().shift;
      const Series series = seriesOf(part, zones);
      std::optional<std::int64_t> left = part.count;
      if (part.count) {
        auto made = madeBefore(series, at, 100000);
        if (made) left = *part.count - *made;
      }
      const std::int64_t delta = wallOfStart(change) - at;
      // Several rules: each counts its own, and the part takes what each has left.
      std::optional<std::vector<Series::Rule>> rules;
      if (!series.rules.empty()) rules = rulesAfterSplit(series, at, static_cast<double>(delta), 100000);
      if (part.rule->empty() || (left && *left <= 0) || (rules && rules->empty())) {
        change.recurrenceId->thisAndFuture = false;  // nothing after it: a change of one occurrence
        continue;
      }
      change.rule = rules ? ruleSetText(*rules) : *part.rule;
      change.count = left;
      change.until.reset();
      if (part.until) change.until = *part.until + static_cast<double>(delta);
      change.nominalDays = 0;
      change.excluded.clear();
      for (std::int64_t wall : part.excluded) {
        if (wall >= at) change.excluded.push_back(wall + delta);
      }
      change.extraDates.clear();
      for (const ExtraDate& extra : part.extraDates) {
        if (extra.wall >= at) change.extraDates.push_back(ExtraDate{extra.wall + delta, extra.duration});
      }
      std::erase_if(part.excluded, [&](std::int64_t wall) { return wall >= at; });
      std::erase_if(part.extraDates, [&](const ExtraDate& extra) { return extra.wall >= at; });
      const double end = series.floating ? static_cast<double>(at) - 1
                                         : static_cast<double>(wallToEpoch(*series.zone, at)) - 1;
      part.until = part.until ? std::min(*part.until, end) : end;
      part.count.reset();
      // The first occurrence is always there, whatever the end: changed from its start on, it goes.
      const std::int64_t first = wallOfStart(part);
      if (at <= first) part.excluded.insert(std::lower_bound(part.excluded.begin(), part.excluded.end(), first), first);
      parents[i] = master;
      parts.push_back(Part{i, change.recurrenceId->wall, wallOfStart(change) - change.recurrenceId->wall});
    }
    for (std::size_t i : changes) {
      StoredEvent& change = events[i];
      if (change.recurrenceId->thisAndFuture && parents[i]) continue;
      change.recurrenceId->thisAndFuture = false;
      const Part* holder = &parts.front();
      for (const Part& part : parts) {
        if (part.from <= change.recurrenceId->wall) holder = &part;
      }
      change.recurrenceId->wall += holder->shift;
      parents[i] = holder->index;
    }
  }
  return parents;
}

void rejoinSplits(std::vector<StoredEvent>& events, const std::vector<std::optional<std::size_t>>& parents,
                  ZoneCache& zones) {
  std::map<std::size_t, std::vector<std::size_t>> partsOf;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].rule && parents[i] && events[i].recurrenceId) partsOf[*parents[i]].push_back(i);
  }
  auto wallOfStart = [&](const StoredEvent& event) {
    const auto start = static_cast<std::int64_t>(std::floor(event.start));
    if (!event.timeZone || !convertible(event.start)) return start;
    const Zone* zone = zones.find(*event.timeZone);
    return epochToWall(zone != nullptr ? *zone : zones.utc(), start);
  };
  for (auto& [master, parts] : partsOf) {
    std::sort(parts.begin(), parts.end(), [&](std::size_t a, std::size_t b) {
      return events[a].recurrenceId->wall < events[b].recurrenceId->wall;
    });
    StoredEvent& whole = events[master];
    const Series original = seriesOf(whole, zones);
    // The first occurrence hidden at the split, when a part began there, is the part's again.
    const std::int64_t first = wallOfStart(whole);
    if (events[parts.front()].recurrenceId->wall <= first) std::erase(whole.excluded, first);
    // Each part moved its occurrences by the same amount.
    auto shiftOf = [&](std::size_t part) { return wallOfStart(events[part]) - events[part].recurrenceId->wall; };
    for (std::size_t part : parts) {
      const std::int64_t shift = shiftOf(part);
      for (std::int64_t wall : events[part].excluded) whole.excluded.push_back(wall - shift);
      for (const ExtraDate& extra : events[part].extraDates) {
        whole.extraDates.push_back(ExtraDate{extra.wall - shift, extra.duration});
      }
    }
    const std::size_t last = parts.back();
    whole.until.reset();
    whole.count.reset();
    if (events[last].until) whole.until = *events[last].until - static_cast<double>(shiftOf(last));
    if (events[last].count) {
      Series open = original;
      open.until.reset();
      open.count.reset();
      auto made = madeBefore(open, events[last].recurrenceId->wall, 100000);
      if (made) whole.count = *made + *events[last].count;
    }
    std::sort(whole.excluded.begin(), whole.excluded.end());
    whole.excluded.erase(std::unique(whole.excluded.begin(), whole.excluded.end()), whole.excluded.end());
    std::sort(whole.extraDates.begin(), whole.extraDates.end(),
              [](const ExtraDate& a, const ExtraDate& b) { return a.wall < b.wall; });
    // A change of one occurrence of a part names it by its original start again.
    for (std::size_t part : parts) {
      const std::int64_t moved = shiftOf(part);
      for (std::size_t i = 0; i < events.size(); ++i) {
        if (!events[i].rule && parents[i] == part && events[i].recurrenceId) events[i].recurrenceId->wall -= moved;
      }
    }
  }
}

}  // namespace calbridge
