#include "ical/vtimezone.h"

#include "calendar/civil_time.h"
#include "ical/values.h"
#include "ical/zone_offsets.h"

#include <algorithm>
#include <cmath>

namespace calbridge {

namespace {

constexpr std::int64_t kYear = 366 * kDay;

ZoneOnset onset(std::int64_t at, std::int32_t before, std::int32_t after,
                std::optional<PosixZoneRule::Change> yearly = std::nullopt) {
  return ZoneOnset{at, before, after, after > before, yearly};
}

// A zone's POSIX rule as a yearly STANDARD and DAYLIGHT pair, when RRULE can say it:
// month, nth or last weekday, at a time within that day.
bool yearlyRuleWritable(const PosixZoneRule& rule) {
  auto fits = [](const PosixZoneRule::Change& c) {
    return c.kind == PosixZoneRule::Change::Kind::monthWeekDay && c.time >= 0 && c.time < kDay && c.month >= 1 &&
           c.month <= 12 && c.week >= 1 && c.week <= 5 && c.weekday >= 0 && c.weekday <= 6;
  };
  return rule.daylightOffset && fits(rule.toDaylight) && fits(rule.toStandard);
}

// The change of `rule` that leads to `to`.
const PosixZoneRule::Change& changeTo(const PosixZoneRule& rule, std::int32_t to) {
  return to == *rule.daylightOffset ? rule.toDaylight : rule.toStandard;
}

}  // namespace

std::string vtimezoneText(std::string_view tzid, std::span<const ZoneOnset> onsets) {
  static constexpr const char* kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  std::string out = "BEGIN:VTIMEZONE\r\n" + folded("TZID:" + escapedText(tzid));
  for (const ZoneOnset& o : onsets) {
    const char* kind = o.daylight ? "DAYLIGHT" : "STANDARD";
    out += std::string("BEGIN:") + kind + "\r\n";
    out += "DTSTART:" + dateTimeText(o.at + o.before, false) + "\r\n";
    out += "TZOFFSETFROM:" + utcOffsetText(o.before) + "\r\nTZOFFSETTO:" + utcOffsetText(o.after) + "\r\n";
    if (o.yearly) {
      const PosixZoneRule::Change& c = *o.yearly;
      out += "RRULE:FREQ=YEARLY;BYMONTH=" + std::to_string(c.month) + ";BYDAY=" +
             (c.week == 5 ? std::string("-1") : std::to_string(c.week)) + kDays[c.weekday] + "\r\n";
    }
    out += std::string("END:") + kind + "\r\n";
  }
  return out + "END:VTIMEZONE\r\n";
}

void ZoneUse::cover(const StoredEvent& event) {
  const auto start = static_cast<std::int64_t>(std::floor(event.start));
  std::int64_t end = static_cast<std::int64_t>(std::ceil(event.end));
  if (event.rule) {
    // COUNT is not walked here: the continuing rule covers any last occurrence.
    if (!event.until || event.count) endless = true;
    else end = static_cast<std::int64_t>(std::ceil(*event.until)) + (end - start) + (event.nominalDays + 1) * kDay;
  }
  from = std::min(from, start);
  to = std::max(to, end);
  // Extra dates lie anywhere, the rule's end aside; a day either side of
  // their wall time covers any zone's offset.
  for (const ExtraDate& extra : event.extraDates) {
    from = std::min(from, extra.wall - kDay);
    to = std::max(to, extra.wall + static_cast<std::int64_t>(std::ceil(extra.duration.value_or(event.end - event.start))) +
                          (event.nominalDays + 1) * kDay);
  }
}

std::vector<ZoneOnset> onsetsOver(const Zone& zone, const ZoneUse& use) {
  std::vector<ZoneOnset> onsets;
  const OffsetAt offsets = offsetsOf(zone);
  // A long bounded use is written as an endless one: the rule is shorter than decades of changes.
  const bool endless = use.endless || use.to - use.from > 50 * kYear;
  const bool yearly = endless && zone.rule && yearlyRuleWritable(*zone.rule);

  // Where the yearly rule takes over: the first listed change from which on the
  // listed changes are the rule's own (zone files list them for decades past
  // the last change of law), or the first change of the rule after them all.
  std::int64_t ruled = std::numeric_limits<std::int64_t>::max();
  if (yearly) {
    const PosixZoneRule& rule = *zone.rule;
    const OffsetAt ruleOffsets = [&rule](std::int64_t t) { return rule.offsetAt(t); };
    const auto& listed = zone.transitions;
    const std::int64_t last = listed.empty() ? use.from : std::max(use.from, listed.back());
    std::size_t agreeing = listed.size();
    auto agrees = [&](std::int64_t t) { return ruleOffsets(t) == offsets(t) && ruleOffsets(t - 1) == offsets(t - 1); };
    while (agreeing > 0 && listed[agreeing - 1] > use.from && agrees(listed[agreeing - 1])) --agreeing;
    std::int64_t candidate = agreeing < listed.size() ? listed[agreeing] : last + 1;
    std::vector<std::int64_t> tail(listed.begin() + static_cast<std::ptrdiff_t>(agreeing), listed.end());
    if (!sameOffsets(offsets, ruleOffsets, tail, candidate, last + kYear)) candidate = last + 1;
    // The rule's first change at or after the candidate (which is one itself when listed).
    std::vector<std::int64_t> first = offsetChanges(ruleOffsets, candidate - 1, candidate + 2 * kYear);
    if (!first.empty()) ruled = first.front();
  }

  // The onset in force at the start: the latest change before it, listed or by the rule.
  std::optional<std::int64_t> inForce;
  auto listedBefore = std::upper_bound(zone.transitions.begin(), zone.transitions.end(), use.from);
  if (listedBefore != zone.transitions.begin()) inForce = *std::prev(listedBefore);
  std::vector<std::int64_t> recent = offsetChanges(offsets, use.from - kYear, use.from + 1);
  if (!recent.empty() && (!inForce || recent.back() > *inForce)) inForce = recent.back();
  if (inForce) {
    onsets.push_back(onset(*inForce, offsets(*inForce - 1), offsets(*inForce)));
  } else {
    // Nothing ever changed before: one onset that changes nothing, a day ahead of the start.
    const int offset = offsets(use.from);
    onsets.push_back(onset(std::max(use.from - kDay, kFirstMoment), offset, offset));
  }

  // Every change after the start, up to the end, where the rule takes over, or
  // (for an endless use of a rule RRULE cannot say) a century past the last listed one.
  std::int64_t until = use.to + 1;
  if (endless) {
    if (yearly) until = ruled - 1;  // the rule's own onset starts there
    else if (zone.rule && zone.rule->daylightOffset) {
      until = std::max(use.from, zone.transitions.empty() ? use.from : zone.transitions.back()) + 100 * kYear;
    } else {
      until = std::max(use.from, zone.transitions.empty() ? use.from : zone.transitions.back()) + 1;
    }
  }
  for (std::int64_t t : offsetChanges(offsets, use.from, std::min(until, kEndOfTime))) {
    onsets.push_back(onset(t, offsets(t - 1), offsets(t)));
  }
  if (yearly && ruled != std::numeric_limits<std::int64_t>::max()) {
    for (std::int64_t t : offsetChanges(offsets, ruled - 1, ruled + 2 * kYear)) {
      if (t >= ruled + kYear) break;
      const int to = offsets(t);
      onsets.push_back(onset(t, offsets(t - 1), to, changeTo(*zone.rule, to)));
    }
  }
  return onsets;
}

std::vector<ZoneOnset> onsetsOfDefined(const Zone& zone) {
  std::vector<ZoneOnset> onsets;
  const OffsetAt offsets = offsetsOf(zone);
  std::vector<std::int64_t> changes = zone.transitions;
  const std::int64_t last = changes.empty() ? daysFromCivil(1970, 1, 1) * kDay : changes.back();
  const bool yearly = zone.rule && zone.rule->daylightOffset &&
                      zone.rule->toDaylight.kind == PosixZoneRule::Change::Kind::monthWeekDay &&
                      zone.rule->toStandard.kind == PosixZoneRule::Change::Kind::monthWeekDay;
  std::vector<std::int64_t> ruled;
  if (yearly) {
    ruled = offsetChanges(offsets, last + 1, last + 3 * kYear);
    if (ruled.size() > 2) ruled.resize(2);
  } else if (zone.rule && zone.rule->daylightOffset) {
    for (std::int64_t t : offsetChanges(offsets, last + 1, last + 100 * kYear)) changes.push_back(t);
  }
  int before = zone.initialOffset;
  for (std::int64_t t : changes) {
    const int after = offsets(t);
    onsets.push_back(onset(t, before, after));
    before = after;
  }
  // A fixed offset: one onset that changes nothing.
  if (changes.empty()) onsets.push_back(onset(last, before, before));
  for (std::int64_t t : ruled) {
    const int to = offsets(t);
    onsets.push_back(onset(t, offsets(t - 1), to, changeTo(*zone.rule, to)));
  }
  return onsets;
}

std::optional<std::vector<ZoneOnset>> onsetsOfRule(const Zone& zone) {
  if (!zone.rule) return std::nullopt;
  const PosixZoneRule& rule = *zone.rule;
  const std::int64_t epoch1970 = 0;
  if (!rule.daylightOffset) {
    // 1970-01-01 00:00 local time.
    return std::vector<ZoneOnset>{ZoneOnset{epoch1970 - rule.standardOffset, rule.standardOffset, rule.standardOffset,
                                            false, std::nullopt}};
  }
  if (!yearlyRuleWritable(rule)) return std::nullopt;
  // Each change's first onset in 1970, in the local time before it.
  auto first = [](const PosixZoneRule::Change& change, std::int32_t before, std::int32_t after, bool daylight) {
    const std::int64_t firstDay = daysFromCivil(1970, change.month, 1);
    std::int64_t day = firstDay + (change.weekday - weekdayOf(firstDay) + 7) % 7;
    if (change.week == 5) {
      while (day + 7 < firstDay + daysInMonth(1970, change.month)) day += 7;
    } else {
      day += 7 * (change.week - 1);
    }
    return ZoneOnset{day * kDay + change.time - before, before, after, daylight, change};
  };
  return std::vector<ZoneOnset>{first(rule.toStandard, *rule.daylightOffset, rule.standardOffset, false),
                                first(rule.toDaylight, rule.standardOffset, *rule.daylightOffset, true)};
}

}  // namespace calbridge
