// Writing events as a calendar file: one VCALENDAR through libical, with a
// VTIMEZONE (vtimezone.h) for each zone the events use.
#include "ical/icalendar.h"

#include "calendar/civil_time.h"
#include "calendar/recurrence.h"
#include "ical/libical_support.h"
#include "ical/vtimezone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

namespace calbridge {

namespace {

std::optional<icalproperty_status> icalStatusOf(EventStatus status) {
  switch (status) {
    case EventStatus::confirmed: return ICAL_STATUS_CONFIRMED;
    case EventStatus::tentative: return ICAL_STATUS_TENTATIVE;
    case EventStatus::cancelled: return ICAL_STATUS_CANCELLED;
    default: return std::nullopt;
  }
}

// The TZID a zone is written under: its IANA name, or a defined zone's name
// without the prefix that keeps it apart in the store.
std::string tzidOf(const Zone& zone) {
  return isDefinedZoneName(zone.name) ? zone.name.substr(kDefinedZonePrefix.size()) : zone.name;
}

// How one event's times are written.
struct TimeForm {
  enum Kind { date, floating, utc, zoned } kind = utc;
  const Zone* zone = nullptr;  // for `zoned`

  // A stored time (epoch, or wall seconds for floating and all-day events) as
  // the value to write. iCalendar has whole seconds only: fractions are rounded
  // down, for start, end and UNTIL alike, so an end never falls before its start.
  icaltimetype value(double stored) const {
    auto seconds = static_cast<std::int64_t>(std::floor(stored));
    switch (kind) {
      case date: return icalTime(floorDiv(seconds, kDay) * kDay, true, false);
      case floating: return icalTime(seconds, false, false);
      case utc: return icalTime(seconds, false, true);
      case zoned: return icalTime(epochToWall(*zone, seconds), false, false);
    }
    return icaltime_null_time();
  }
  // An excluded occurrence, from its wall seconds in the event's zone.
  icaltimetype excluded(std::int64_t wall) const {
    return kind == date ? icalTime(floorDiv(wall, kDay) * kDay, true, false) : icalTime(wall, false, kind == utc);
  }
  icalproperty* withZone(icalproperty* property) const {
    if (kind == zoned) icalproperty_add_parameter(property, icalparameter_new_tzid(tzidOf(*zone).c_str()));
    return property;
  }
};

// UTC under any name ("UTC", "Etc/UTC", "Etc/Zulu"): written as UTC times.
bool alwaysUtc(const Zone& zone) {
  return zone.transitions.empty() && zone.initialOffset == 0 &&
         (!zone.rule || (zone.rule->standardOffset == 0 && !zone.rule->daylightOffset));
}

// libical's VTIMEZONE for a zone, owned by libical.
icalcomponent* definitionOf(const Zone& zone) {
  icaltimezone* builtin = icaltimezone_get_builtin_timezone(zone.name.c_str());
  icalerror_clear_errno();
  return builtin != nullptr ? icaltimezone_get_component(builtin) : nullptr;
}

TimeForm formOf(const StoredEvent& event, ZoneCache& zones) {
  TimeForm form;
  if (event.allDay) {
    form.kind = TimeForm::date;
  } else if (!event.timeZone) {
    form.kind = TimeForm::floating;
  } else {
    // A zone this machine (or libical, which writes its definition) does not
    // know: its instants are still right in UTC.
    const Zone* zone = zones.find(*event.timeZone);
    if (zone != nullptr && !alwaysUtc(*zone) && (isDefinedZoneName(zone->name) || definitionOf(*zone) != nullptr)) {
      form.kind = TimeForm::zoned;
      form.zone = zone;
    }
  }
  return form;
}

// The event as a VEVENT, or null when iCalendar cannot write it.
// `seriesForm` is how the series of a changed occurrence writes its times.
OwnedComponent eventComponent(const StoredEvent& event, const TimeForm& form, const icaltimetype& stamp,
                              const TimeForm& seriesForm) {
  if (!writable(event.start) || !writable(event.end) || event.end < event.start) return nullptr;
  OwnedComponent c(icalcomponent_new_vevent());
  icalcomponent_add_property(c.get(), icalproperty_new_uid(event.externalIdentifier.c_str()));
  icalcomponent_add_property(c.get(), icalproperty_new_dtstamp(stamp));
  icalcomponent_add_property(c.get(), form.withZone(icalproperty_new_dtstart(form.value(event.start))));
  if (form.kind == TimeForm::date) {
    // A date-valued end is exclusive and whole days; a zero-length all-day event has none.
    auto startDay = floorDiv(static_cast<std::int64_t>(std::floor(event.start)), kDay);
    auto endDay = floorDiv(static_cast<std::int64_t>(std::ceil(event.end)) + kDay - 1, kDay);
    if (endDay > startDay) {
      icalcomponent_add_property(c.get(), icalproperty_new_dtend(icalTime(endDay * kDay, true, false)));
    } else {
      icalcomponent_add_property(c.get(), icalproperty_new_duration(icaldurationtype_null_duration()));
    }
  } else if (event.nominalDays > 0 && event.rule && form.kind == TimeForm::zoned) {
    // Days that keep the clock time in every occurrence, then the exact rest.
    auto start = static_cast<std::int64_t>(std::floor(event.start));
    auto nominalEnd = wallToEpoch(*form.zone, epochToWall(*form.zone, start) + event.nominalDays * kDay);
    auto exact = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::floor(event.end)) - nominalEnd);
    icaldurationtype duration = icaldurationtype_null_duration();
    duration.days = static_cast<unsigned int>(std::min<std::int64_t>(event.nominalDays, 1 << 30));
    duration.hours = static_cast<unsigned int>(exact / 3600);
    duration.minutes = static_cast<unsigned int>(exact / 60 % 60);
    duration.seconds = static_cast<unsigned int>(exact % 60);
    icalcomponent_add_property(c.get(), icalproperty_new_duration(duration));
  } else {
    icalcomponent_add_property(c.get(), form.withZone(icalproperty_new_dtend(form.value(event.end))));
  }
  if (event.title) icalcomponent_add_property(c.get(), icalproperty_new_summary(event.title->c_str()));
  if (auto status = icalStatusOf(event.status)) icalcomponent_add_property(c.get(), icalproperty_new_status(*status));
  if (event.recurrenceId) {
    // The occurrence it changes, as its series writes its starts; a part split
    // off a series is the THISANDFUTURE change it came from, without a rule.
    icalproperty* id = seriesForm.withZone(icalproperty_new_recurrenceid(seriesForm.excluded(event.recurrenceId->wall)));
    if (event.recurrenceId->thisAndFuture) icalproperty_add_parameter(id, icalparameter_new_range(ICAL_RANGE_THISANDFUTURE));
    icalcomponent_add_property(c.get(), id);
    return c;
  }
  for (const ExtraDate& extra : event.rule ? event.extraDates : std::vector<ExtraDate>{}) {
    if (!writable(static_cast<double>(extra.wall))) continue;
    icaldatetimeperiodtype value{};
    value.time = icaltime_null_time();
    value.period = icalperiodtype_null_period();
    if (extra.duration) {
      value.period.start = form.excluded(extra.wall);
      value.period.duration = icaldurationtype_from_int(static_cast<int>(std::min(*extra.duration, 1e9)));
    } else {
      value.time = form.excluded(extra.wall);
    }
    icalcomponent_add_property(c.get(), form.withZone(icalproperty_new_rdate(value)));
  }

  if (event.rule) {
    std::vector<Series::Rule> rules = parseRuleSet(*event.rule);
    if (rules.empty()) {
      rules.push_back(Series::Rule{*event.rule, event.until, event.count});
    } else if (event.until) {
      // The whole was cut short: each rule ends there at the latest. A counted
      // rule keeps its count when it ends before the cut anyway.
      for (Series::Rule& rule : rules) {
        if (rule.until && *rule.until <= *event.until) continue;
        if (rule.count) {
          Series counted;
          counted.rule = rule.rule;
          counted.start = event.start;
          const Zone utc;  // no offsets: wall seconds for what floats
          counted.zone = form.kind == TimeForm::zoned ? form.zone : &utc;
          counted.floating = !event.timeZone;
          counted.count = rule.count;
          counted.until = event.until;
          std::int64_t made = 0;
          if (expandSeries(counted, -kEndOfTime, static_cast<double>(kEndOfTime), [&](const Occurrence&) {
                ++made;
                return true;
              }) && made == *rule.count) {
            continue;
          }
        }
        rule.until = event.until;
        rule.count.reset();
      }
    }
    for (const Series::Rule& one : rules) {
      if (one.rule.empty()) continue;  // extra dates alone
      icalrecurrencetype rule = icalrecurrencetype_from_string(one.rule.c_str());
      icalerror_clear_errno();
      if (rule.freq == ICAL_NO_RECURRENCE) return nullptr;
      // UNTIL has DTSTART's value type: a date for all-day events, else UTC
      // (floating only for a floating start). The store never keeps both ends.
      if (one.until && *one.until < kEndOfTime) {
        double until = std::max(*one.until, static_cast<double>(kFirstMoment));
        rule.until = form.kind == TimeForm::zoned ? TimeForm{TimeForm::utc, nullptr}.value(until) : form.value(until);
      } else if (one.count) {
        rule.count = static_cast<int>(std::min<std::int64_t>(*one.count, 1000000000));
      }
      icalcomponent_add_property(c.get(), icalproperty_new_rrule(rule));
      std::free(rule.rscale);  // the parse's copy of RSCALE is ours; the property took its own
    }
    for (std::int64_t wall : event.excluded) {
      if (!writable(static_cast<double>(wall))) continue;  // no occurrence can start there
      icalcomponent_add_property(c.get(), form.withZone(icalproperty_new_exdate(form.excluded(wall))));
    }
  }
  return c;
}

}  // namespace

WrittenCalendar writeICalendar(const std::vector<StoredEvent>& events, ZoneCache& zones, std::int64_t stamp,
                               const std::optional<std::string>& title) {
  WrittenCalendar written;
  const icaltimetype stampTime = icalTime(stamp, false, true);
  std::vector<OwnedComponent> components;
  std::map<const Zone*, ZoneUse> used;
  std::map<std::string, TimeForm> seriesForms;
  for (const StoredEvent& event : events) {
    if (!event.recurrenceId) seriesForms.emplace(event.externalIdentifier, formOf(event, zones));
  }
  for (const StoredEvent& event : events) {
    TimeForm form = formOf(event, zones);
    auto series = seriesForms.find(event.externalIdentifier);
    OwnedComponent component = eventComponent(event, form, stampTime, series != seriesForms.end() ? series->second : form);
    if (!component) {
      ++written.unwritable;
      continue;
    }
    if (form.kind == TimeForm::zoned) used[form.zone].cover(event);
    components.push_back(std::move(component));
  }

  OwnedComponent calendar(icalcomponent_new_vcalendar());
  icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
  icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//calbridge//calbridge-store//EN"));
  icalcomponent_add_property(calendar.get(), icalproperty_new_calscale("GREGORIAN"));
  if (title) {
    icalcomponent_add_property(calendar.get(), icalproperty_new_name(title->c_str()));
    icalproperty* name = icalproperty_new_x(title->c_str());
    icalproperty_set_x_name(name, "X-WR-CALNAME");
    icalcomponent_add_property(calendar.get(), name);
  }
  // The events name each zone by its IANA name; the definitions say what it
  // means for programs that do not know the name.
  std::vector<std::pair<const Zone*, ZoneUse>> ordered(used.begin(), used.end());
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first->name < b.first->name; });
  for (const auto& [zone, use] : ordered) {
    const std::vector<ZoneOnset> onsets = isDefinedZoneName(zone->name) ? onsetsOfDefined(*zone) : onsetsOver(*zone, use);
    OwnedComponent definition(icalcomponent_new_from_string(vtimezoneText(tzidOf(*zone), onsets).c_str()));
    icalerror_clear_errno();
    if (definition) icalcomponent_add_component(calendar.get(), definition.release());
  }
  for (OwnedComponent& component : components) icalcomponent_add_component(calendar.get(), component.release());
  written.text = takeBuffer(icalcomponent_as_ical_string_r(calendar.get()));
  icalerror_clear_errno();
  return written;
}

}  // namespace calbridge
