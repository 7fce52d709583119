#include "evolution/occurrences.h"

#include "calendar/civil_time.h"

#include <algorithm>
#include <cmath>

namespace calbridge {

Series seriesOf(const StoredEvent& event, ZoneCache& zones) {
  Series series;
  series.rule = event.rule.value_or("");
  series.rules = parseRuleSet(series.rule);
  if (series.rules.empty() && !series.rule.empty()) series.plain = parsePlainRule(series.rule);
  series.start = event.start;
  series.duration = std::max(0.0, event.end - event.start);
  series.floating = !event.timeZone;
  series.allDay = event.allDay;
  series.zone = event.timeZone ? zones.find(*event.timeZone) : &zones.local();
  if (series.zone == nullptr) series.zone = &zones.utc();
  // Fewer days than the years 1 to 9999 hold: anything else is no event a file could give.
  if (event.nominalDays > 0 && event.nominalDays < 3652425 && !series.floating && convertible(event.start)) {
    // The first end is its days on the clock and then exact seconds: keep those seconds.
    series.days = event.nominalDays;
    const double nominalEnd =
        epochOf(*series.zone, wallOf(*series.zone, event.start) + static_cast<double>(event.nominalDays * kDay));
    series.duration = std::max(0.0, event.end - nominalEnd);
  }
  series.until = event.until;
  series.count = event.count;
  series.excluded = event.excluded;
  std::sort(series.excluded.begin(), series.excluded.end());
  series.extraDates = event.extraDates;
  return series;
}

namespace {

// A floating time is wall seconds of the local zone.
double epochIn(const Zone& local, const StoredEvent& event, double time) {
  return !event.timeZone && convertible(time) ? epochOf(local, time) : time;
}

}  // namespace

ExpandableObject expandable(const CalendarObject& object, ZoneCache& zones) {
  ExpandableObject out;
  out.object = &object;
  for (const StoredEvent& event : object.events) {
    if (!event.recurrenceId) {
      out.master = &event;
      break;
    }
  }
  const Zone& local = zones.local();
  if (out.master != nullptr) out.series = seriesOf(*out.master, zones);
  for (const StoredEvent& event : object.events) {
    if (!event.recurrenceId) continue;
    ExpandableObject::Change change{&event, epochIn(local, event, event.start), epochIn(local, event, event.end), 0};
    if (out.master == nullptr) {
      change.replacedStart = change.start;  // all there is of it
    } else {
      const std::int64_t wall = event.recurrenceId->wall;
      auto& excluded = out.series.excluded;
      if (std::binary_search(excluded.begin(), excluded.end(), wall)) continue;  // that occurrence is gone
      change.replacedStart = static_cast<double>(wallToEpoch(*out.series.zone, wall));
      auto& replaced = out.series.replaced;
      replaced.insert(std::lower_bound(replaced.begin(), replaced.end(), wall), wall);
    }
    out.changes.push_back(change);
  }
  return out;
}

void listOccurrences(const std::vector<const ExpandableObject*>& objects, double from, double to, StepBudget& budget,
                     const std::function<bool(const ListedOccurrence&)>& visit) {
  // Single events and changed occurrences are placed directly; each series
  // keeps a cursor holding about one pending occurrence. All are merged by
  // start, then end, then the order of their objects.
  struct Hit {
    double start, end;
    std::size_t order;
    ListedOccurrence occurrence;
  };
  struct Source {
    SeriesCursor cursor;
    const ExpandableObject* object;
    std::size_t order;
  };
  auto overlaps = [&](double start, double end) { return start < to && (end > from || start >= from); };
  std::vector<Hit> hits;
  std::vector<Source> sources;
  std::size_t order = 0;
  for (const ExpandableObject* object : objects) {
    for (const auto& change : object->changes) {
      if (overlaps(change.start, change.end)) {
        hits.push_back(Hit{change.start, change.end, order,
                           ListedOccurrence{object, change.event, change.start, change.end, change.replacedStart, true}});
      }
      ++order;
    }
    if (object->master == nullptr) continue;
    const StoredEvent& master = *object->master;
    const Series& series = object->series;
    if (!master.rule && series.extraDates.empty() && series.replaced.empty() && series.excluded.empty()) {
      double start = master.start;
      double end = master.end;
      if (series.floating && convertible(start) && convertible(end)) {
        start = epochOf(*series.zone, start);
        end = epochOf(*series.zone, end);
      }
      if (overlaps(start, end)) {
        hits.push_back(Hit{start, end, order, ListedOccurrence{object, &master, start, end, start, false}});
      }
      ++order;
      continue;
    }
    sources.push_back(Source{SeriesCursor(object->series, from, to, &budget), object, order++});
  }
  auto before = [](const auto& a, const auto& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return a.order < b.order;
  };
  std::sort(hits.begin(), hits.end(), before);
  struct Head {
    double start, end;
    std::size_t order;
    std::size_t source;
    double wallStart;
  };
  std::vector<Head> heads;  // a heap, earliest on top
  auto later = [&](const Head& a, const Head& b) { return before(b, a); };
  auto advance = [&](std::size_t index) {
    Source& source = sources[index];
    if (auto o = source.cursor.next()) {
      heads.push_back(Head{o->start, occurrenceEnd(source.object->series, *o), source.order, index, o->start});
      std::push_heap(heads.begin(), heads.end(), later);
    }
  };
  for (std::size_t i = 0; i < sources.size(); ++i) advance(i);
  std::size_t next = 0;
  for (;;) {
    if (next < hits.size() && (heads.empty() || before(hits[next], heads.front()))) {
      if (!visit(hits[next++].occurrence)) return;
    } else if (!heads.empty()) {
      std::pop_heap(heads.begin(), heads.end(), later);
      const Head head = heads.back();
      heads.pop_back();
      const ExpandableObject* object = sources[head.source].object;
      if (!visit(ListedOccurrence{object, object->master, head.start, head.end, head.wallStart, false})) return;
      advance(head.source);
    } else {
      return;
    }
  }
}

}  // namespace calbridge
