#include "ical/object_edit.h"

#include "calendar/civil_time.h"
#include "calendar/time_zone.h"
#include "ical/content_line.h"
#include "ical/values.h"
#include "ical/zone_names.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace calbridge {

namespace {

// How the series' DTSTART is written, which every value an edit writes follows.
struct SeriesForm {
  enum Kind { allDay, zoned, utc, floating } kind = floating;
  std::string tzid;
  const Zone* zone = nullptr;  // zoned, when the zone is known
  // Zoned in a zone known only by the text's own VTIMEZONE: the least and
  // greatest UTC offsets it names, which place an UNTIL between two occurrences.
  std::optional<std::pair<std::int32_t, std::int32_t>> offsets;
};

struct Component {
  std::size_t begin = 0, end = 0;  // BEGIN:VEVENT and END:VEVENT lines
  std::vector<std::size_t> properties;  // the VEVENT's own, not those of its alarms
  std::optional<std::size_t> recurrenceId;
};

// A UTC offset as TZOFFSETFROM and TZOFFSETTO write it ("+0100", "-053328").
std::optional<std::int32_t> parseUtcOffset(std::string_view v) {
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  if ((v.size() != 5 && v.size() != 7) || (v[0] != '+' && v[0] != '-')) return std::nullopt;
  std::int32_t seconds = 0;
  for (std::size_t i = 1; i < v.size(); i += 2) {
    if (!std::isdigit(static_cast<unsigned char>(v[i])) || !std::isdigit(static_cast<unsigned char>(v[i + 1]))) {
      return std::nullopt;
    }
    const int part = (v[i] - '0') * 10 + (v[i + 1] - '0');
    seconds += part * (i == 1 ? 3600 : i == 3 ? 60 : 1);
  }
  return v[0] == '-' ? -seconds : seconds;
}

class Editor {
 public:
  Editor(std::string_view text, ZoneCache& zones) : lines_(contentLines(text)), zones_(zones) {
    lineEnd_ = text.find("\r\n") != std::string_view::npos || text.find('\n') == std::string_view::npos ? "\r\n" : "\n";
  }

  // `zoneName`: the zone the series' times are read in, when the caller knows it.
  bool read(std::string_view zoneName) {
    int depth = 0;
    std::optional<Component> open;
    int calendars = 0;
    std::optional<std::string> definingTzid;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      const ContentLine& line = lines_[i];
      if (line.text.empty()) continue;
      if (line.is("BEGIN")) {
        ++depth;
        if (depth == 1) {
          if (!equalsIgnoringCase(line.value(), "VCALENDAR") || ++calendars > 1) return false;
        } else if (depth == 2 && equalsIgnoringCase(line.value(), "VEVENT")) {
          open = Component{i, i, {}, std::nullopt};
        } else if (depth == 2 && equalsIgnoringCase(line.value(), "VTIMEZONE")) {
          definingTzid = std::string();
        }
      } else if (line.is("END")) {
        if (depth == 2 && open) {
          open->end = i;
          (open->recurrenceId ? overrides_ : masters_).push_back(*open);
          open.reset();
        }
        if (depth == 2) definingTzid.reset();
        if (--depth < 0) return false;
      } else if (depth == 2 && open) {
        open->properties.push_back(i);
        if (line.is("RECURRENCE-ID")) open->recurrenceId = i;
      } else if (definingTzid) {
        noteDefinition(line, depth, *definingTzid);
      }
    }
    if (depth != 0 || calendars != 1 || masters_.size() != 1) return false;
    const Component& master = masters_.front();
    auto start = property(master, "DTSTART");
    if (!start) return false;
    const ContentLine& dtstart = lines_[*start];
    auto t = parseTextTime(dtstart.value());
    if (!t) return false;
    auto valueType = dtstart.parameter("VALUE");
    if (t->date || (valueType && equalsIgnoringCase(*valueType, "DATE"))) {
      form_.kind = SeriesForm::allDay;
    } else if (t->utc) {
      form_.kind = SeriesForm::utc;
    } else if (auto tzid = dtstart.parameter("TZID")) {
      const Zone* given = zoneName.empty() ? nullptr : zones_.find(zoneName);
      const Zone* zone = given != nullptr ? given : valueZone(*tzid);
      if (zone != nullptr || definitions_.count(*tzid) > 0) {
        form_.kind = SeriesForm::zoned;
        form_.tzid = *tzid;
        form_.zone = zone;
        if (auto o = definedOffsets_.find(*tzid); o != definedOffsets_.end()) form_.offsets = o->second;
      }
      // A TZID nobody knows, with no VTIMEZONE to say what it means, is
      // floating time, as the file's reader takes it.
    }
    startWall_ = t->wall;
    return true;
  }

  bool apply(const ObjectEdit& edit) {
    return edit.kind == ObjectEdit::Kind::exclude ? exclude(edit.wall) : endBefore(edit.wall);
  }

  // Marks the series as revised, as a calendar program does when its user
  // changes the rule or its exclusions.
  void stamp(std::int64_t now) {
    const Component& master = masters_.front();
    std::string at = dateTimeText(now, true);
    if (auto seq = property(master, "SEQUENCE")) {
      const std::string written(lines_[*seq].value());
      errno = 0;
      long long n = std::strtoll(written.c_str(), nullptr, 10);
      if (errno == ERANGE) n = 0;  // no number a writer meant
      replace(*seq, "SEQUENCE:" + std::to_string(std::max(0LL, n) + 1));
    } else {
      addTo(master, "SEQUENCE:1");
    }
    if (auto p = property(master, "DTSTAMP")) {
      replace(*p, "DTSTAMP:" + at);
    } else {
      addTo(master, "DTSTAMP:" + at);
    }
    if (auto p = property(master, "LAST-MODIFIED")) {
      replace(*p, "LAST-MODIFIED:" + at);
    } else {
      addTo(master, "LAST-MODIFIED:" + at);
    }
  }

  std::string text() {
    // New exclusions come first among the lines added at the series' end.
    std::string exclusions;
    for (std::int64_t wall : newExclusions_) exclusions += folded(exdateLine(wall), lineEnd_);
    added_[masters_.front().end].insert(0, exclusions);
    newExclusions_.clear();
    std::string out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (auto it = added_.find(i); it != added_.end()) out += it->second;
      if (!removed_[i]) out += replaced_.count(i) ? replaced_.at(i) : std::string(lines_[i].raw);
    }
    return out;
  }

 private:
  // What a VTIMEZONE of the text says: that its TZID is defined, the zone its
  // X-LIC-LOCATION names, and the offsets its onsets name.
  void noteDefinition(const ContentLine& line, int depth, std::string& tzid) {
    if (depth == 2 && line.is("TZID")) {
      tzid = line.value();
      definitions_.insert(tzid);
    } else if (depth == 2 && line.is("X-LIC-LOCATION") && !tzid.empty()) {
      locations_.emplace(tzid, std::string(line.value()));
    } else if (depth == 3 && (line.is("TZOFFSETTO") || line.is("TZOFFSETFROM")) && !tzid.empty()) {
      if (auto offset = parseUtcOffset(line.value())) {
        auto [at, added] = definedOffsets_.try_emplace(tzid, *offset, *offset);
        at->second.first = std::min(at->second.first, *offset);
        at->second.second = std::max(at->second.second, *offset);
      }
    }
  }

  // The zone a TZID names, by its name or its VTIMEZONE's X-LIC-LOCATION, as the file's reader reads it.
  const Zone* valueZone(const std::string& tzid) {
    if (const Zone* zone = zoneNamed(zones_, tzid)) return zone;
    if (auto location = locations_.find(tzid); location != locations_.end()) return zoneNamed(zones_, location->second);
    return nullptr;
  }

  std::optional<std::size_t> property(const Component& c, std::string_view name) const {
    for (std::size_t i : c.properties)
      if (!removed_[i] && lines_[i].is(name)) return i;
    return std::nullopt;
  }

  void replace(std::size_t i, std::string_view content) { replaced_[i] = folded(content, lineEnd_); }
  void remove(std::size_t i) { removed_[i] = true; }
  void addTo(const Component& c, std::string_view content) { added_[c.end] += folded(content, lineEnd_); }
  void removeComponent(const Component& c) {
    for (std::size_t i = c.begin; i <= c.end; ++i) removed_[i] = true;
    added_.erase(c.end);
  }

  // A written time in the terms of the series' DTSTART: wall seconds of its
  // zone. Nothing when it names a zone that cannot be known.
  std::optional<std::int64_t> seriesWall(const TextTime& t, const std::optional<std::string>& tzid) {
    if (t.date || form_.kind == SeriesForm::allDay || form_.kind == SeriesForm::floating) return t.wall;
    std::optional<std::int64_t> epoch;
    if (t.utc) {
      epoch = t.wall;
    } else if (tzid && !(form_.kind == SeriesForm::zoned && *tzid == form_.tzid)) {
      const Zone* zone = valueZone(*tzid);
      if (zone == nullptr && definitions_.count(*tzid) > 0) return std::nullopt;
      // A TZID nobody knows without a VTIMEZONE is floating, as the reader has it.
      if (zone != nullptr) epoch = wallToEpoch(*zone, t.wall);
    }
    if (!epoch) return t.wall;  // the series' own zone, or floating beside a zoned series
    if (form_.kind == SeriesForm::utc) return *epoch;
    if (form_.zone == nullptr) return std::nullopt;
    return epochToWall(*form_.zone, *epoch);
  }

  // The start of each value of a date list property (EXDATE, RDATE; a PERIOD's start).
  struct ListValue {
    std::string text;
    std::optional<std::int64_t> wall;  // nothing: not comparable
  };
  std::vector<ListValue> listValues(const ContentLine& line) {
    std::vector<ListValue> values;
    const std::string value(line.value());
    std::size_t pos = 0;
    auto tzid = line.parameter("TZID");
    while (pos <= value.size()) {
      std::size_t comma = value.find(',', pos);
      if (comma == std::string::npos) comma = value.size();
      std::string item = value.substr(pos, comma - pos);
      std::string start = item.substr(0, item.find('/'));
      ListValue v{item, std::nullopt};
      if (auto t = parseTextTime(start)) v.wall = seriesWall(*t, tzid);
      values.push_back(std::move(v));
      pos = comma + 1;
    }
    return values;
  }

  // The line with its values `keep` in place of the current ones; the line
  // goes when none are kept.
  void rewriteList(std::size_t i, const std::vector<ListValue>& all, const std::vector<ListValue>& keep) {
    if (keep.size() == all.size()) return;
    if (keep.empty()) {
      remove(i);
      return;
    }
    std::string value;
    for (const ListValue& v : keep) value += (value.empty() ? "" : ",") + v.text;
    replace(i, std::string(lines_[i].head()) + value);
  }

  std::optional<std::int64_t> overrideWall(const Component& c) {
    const ContentLine& line = lines_[*c.recurrenceId];
    auto t = parseTextTime(line.value());
    if (!t) return std::nullopt;
    return seriesWall(*t, line.parameter("TZID"));
  }

  std::string exdateLine(std::int64_t wall) const {
    switch (form_.kind) {
      case SeriesForm::allDay:
        return "EXDATE;VALUE=DATE:" + dateText(wall);
      case SeriesForm::zoned:
        return "EXDATE;TZID=" + parameterText(form_.tzid) + ":" + dateTimeText(wall, false);
      case SeriesForm::utc:
        return "EXDATE:" + dateTimeText(wall, true);
      case SeriesForm::floating:
        break;
    }
    return "EXDATE:" + dateTimeText(wall, false);
  }

  bool exclude(std::int64_t wall) {
    const Component& master = masters_.front();
    bool excluded = false;
    for (std::size_t i : master.properties) {
      if (removed_[i] || !lines_[i].is("EXDATE")) continue;
      for (const ListValue& v : listValues(lines_[i])) excluded = excluded || v.wall == wall;
    }
    excluded = excluded || newExclusions_.count(wall) > 0;
    if (!excluded) newExclusions_.insert(wall);
    for (const Component& c : overrides_) {
      if (removed_[c.begin]) continue;
      auto at = overrideWall(c);
      if (!at) return false;
      if (*at == wall) removeComponent(c);
    }
    return true;
  }

  // UNTIL for a series ended before the occurrence at `wall`: one second
  // before it, in UTC for a zoned start as RFC 5545 wants.
  std::optional<std::string> untilText(std::int64_t wall, std::string_view rule) const {
    switch (form_.kind) {
      case SeriesForm::allDay:
        return dateText(wall - kDay);
      case SeriesForm::floating:
        return dateTimeText(wall - 1, false);
      case SeriesForm::utc:
        return dateTimeText(wall - 1, true);
      case SeriesForm::zoned:
        break;
    }
    if (form_.zone != nullptr) return dateTimeText(wallToEpoch(*form_.zone, wall) - 1, true);
    if (!form_.offsets) return std::nullopt;
    // A zone known only by the text's VTIMEZONE: at its greatest offset the
    // occurrence starts no earlier than this instant's next second, and at its
    // least the one before (a day earlier at the least) has started by then,
    // for occurrences further apart than the offsets' spread.
    const auto [least, greatest] = *form_.offsets;
    if (least != greatest) {
      const std::string r = upperCase(rule);
      const bool daily = r.find("FREQ=DAILY") != std::string::npos || r.find("FREQ=WEEKLY") != std::string::npos ||
                         r.find("FREQ=MONTHLY") != std::string::npos || r.find("FREQ=YEARLY") != std::string::npos;
      if (!daily || r.find("BYHOUR") != std::string::npos || r.find("BYMINUTE") != std::string::npos ||
          r.find("BYSECOND") != std::string::npos || greatest - least >= kDay) {
        return std::nullopt;
      }
    }
    return dateTimeText(wall - greatest - 1, true);
  }

  bool endBefore(std::int64_t wall) {
    if (wall <= startWall_) return false;  // nothing would be left of the series
    const Component& master = masters_.front();
    newExclusions_.erase(newExclusions_.lower_bound(wall), newExclusions_.end());
    // Every rule of the series ends there (a series may have several).
    for (std::size_t r : master.properties) {
      if (removed_[r] || !lines_[r].is("RRULE")) continue;
      const ContentLine& line = lines_[r];
      const std::string value(line.value());
      std::vector<std::string> parts;
      std::optional<std::int64_t> oldUntil;
      for (std::size_t pos = 0; pos <= value.size();) {
        std::size_t semi = value.find(';', pos);
        if (semi == std::string::npos) semi = value.size();
        std::string part = value.substr(pos, semi - pos);
        pos = semi + 1;
        std::string key = upperCase(part.substr(0, part.find('=')));
        if (key == "UNTIL") {
          if (auto t = parseTextTime(std::string_view(part).substr(6))) {
            // UNTIL is inclusive; a date ends with its day.
            if (auto w = seriesWall(*t, std::nullopt)) oldUntil = t->date ? *w + kDay - 1 : *w;
          }
          continue;
        }
        if (key == "COUNT") continue;
        if (!part.empty()) parts.push_back(part);
      }
      // A series that already ends before `wall` stays as it is.
      if (!(oldUntil && *oldUntil < wall)) {
        auto until = untilText(wall, value);
        if (!until) return false;
        std::string rule;
        for (const std::string& p : parts) rule += p + ";";
        rule += "UNTIL=" + *until;
        replace(r, std::string(line.head()) + rule);
      }
    }
    for (std::size_t i : master.properties) {
      if (removed_[i] || (!lines_[i].is("EXDATE") && !lines_[i].is("RDATE"))) continue;
      bool extra = lines_[i].is("RDATE");
      auto all = listValues(lines_[i]);
      std::vector<ListValue> keep;
      for (const ListValue& v : all) {
        // An exclusion past the end excludes nothing, so one that cannot be
        // placed may stay; an extra date that cannot be placed may not.
        if (!v.wall && extra) return false;
        if (!v.wall || *v.wall < wall) keep.push_back(v);
      }
      rewriteList(i, all, keep);
    }
    for (const Component& c : overrides_) {
      if (removed_[c.begin]) continue;
      auto at = overrideWall(c);
      if (!at) return false;
      if (*at >= wall) removeComponent(c);
    }
    return true;
  }

  std::vector<ContentLine> lines_;
  ZoneCache& zones_;
  std::string lineEnd_;
  std::vector<Component> masters_, overrides_;
  SeriesForm form_;
  std::int64_t startWall_ = 0;
  std::set<std::string> definitions_;  // TZIDs the text's VTIMEZONEs define
  std::map<std::string, std::string> locations_;  // their X-LIC-LOCATIONs
  std::map<std::string, std::pair<std::int32_t, std::int32_t>> definedOffsets_;  // their least and greatest offsets
  std::vector<bool> removed_ = std::vector<bool>(lines_.size(), false);
  std::map<std::size_t, std::string> replaced_;
  std::map<std::size_t, std::string> added_;  // before that line
  std::set<std::int64_t> newExclusions_;
};

}  // namespace

std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones,
                                      std::int64_t now) {
  Editor editor(text, zones);
  if (!editor.read(edits.empty() ? std::string_view() : std::string_view(edits.front().timeZone))) return std::nullopt;
  for (const ObjectEdit& edit : edits)
    if (!editor.apply(edit)) return std::nullopt;
  if (!edits.empty()) editor.stamp(now);
  return editor.text();
}

std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones) {
  return applyEdits(text, edits, zones, static_cast<std::int64_t>(std::time(nullptr)));
}

}  // namespace calbridge
