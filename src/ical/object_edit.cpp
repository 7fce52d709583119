#include "ical/object_edit.h"

#include "calendar/civil_time.h"
#include "calendar/time_zone.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace calbridge {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

// One content line, unfolded; `raw` is what the text held for it (every
// physical line with its line end), written back as it was unless replaced.
struct Line {
  std::string raw;
  std::string logical;
  std::string name;  // upper case
  std::vector<std::pair<std::string, std::string>> params;  // name upper case, value without quotes
  std::string value;

  std::optional<std::string> param(std::string_view wanted) const {
    for (const auto& [n, v] : params)
      if (n == wanted) return v;
    return std::nullopt;
  }
};

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// name *(";" param) ":" value, where a quoted parameter value may hold ':' and ';'.
void parseLine(Line& line) {
  const std::string& s = line.logical;
  std::size_t i = 0;
  while (i < s.size() && s[i] != ';' && s[i] != ':') ++i;
  line.name = upper(s.substr(0, i));
  while (i < s.size() && s[i] == ';') {
    std::size_t start = ++i;
    while (i < s.size() && s[i] != '=' && s[i] != ';' && s[i] != ':') ++i;
    std::string name = upper(s.substr(start, i - start));
    std::string value;
    if (i < s.size() && s[i] == '=') {
      ++i;
      bool quoted = false;
      while (i < s.size() && (quoted || (s[i] != ';' && s[i] != ':'))) {
        if (s[i] == '"') {
          quoted = !quoted;
        } else {
          value += s[i];
        }
        ++i;
      }
    }
    line.params.emplace_back(std::move(name), std::move(value));
  }
  if (i < s.size() && s[i] == ':') line.value = s.substr(i + 1);
}

std::vector<Line> splitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view physical = text.substr(pos, end - pos);
    std::string_view content = physical;
    if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
    if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
    bool continuation = !lines.empty() && !content.empty() && (content[0] == ' ' || content[0] == '\t');
    if (continuation) {
      lines.back().raw += physical;
      lines.back().logical += content.substr(1);
    } else {
      lines.push_back(Line{std::string(physical), std::string(content), {}, {}, {}});
    }
    pos = end;
  }
  for (Line& line : lines) parseLine(line);
  return lines;
}

// Folds a content line at 75 octets, never inside a UTF-8 sequence.
std::string folded(std::string_view content, std::string_view lineEnd) {
  std::string out;
  std::size_t limit = 75;
  while (content.size() > limit) {
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(content[cut]) & 0xC0) == 0x80) --cut;
    out.append(content.substr(0, cut));
    out.append(lineEnd);
    out.push_back(' ');
    content.remove_prefix(cut);
    limit = 74;
  }
  out.append(content);
  out.append(lineEnd);
  return out;
}

// A DATE or DATE-TIME value as written.
struct WrittenTime {
  std::int64_t wall = 0;
  bool date = false;
  bool utc = false;
};

std::optional<WrittenTime> parseTime(std::string_view v) {
  auto digits = [&](std::size_t from, std::size_t n) -> std::optional<int> {
    if (from + n > v.size()) return std::nullopt;
    int out = 0;
    for (std::size_t i = from; i < from + n; ++i) {
      if (!std::isdigit(static_cast<unsigned char>(v[i]))) return std::nullopt;
      out = out * 10 + (v[i] - '0');
    }
    return out;
  };
  auto y = digits(0, 4), m = digits(4, 2), d = digits(6, 2);
  if (!y || !m || !d || *m < 1 || *m > 12 || *d < 1 || *d > daysInMonth(*y, *m)) return std::nullopt;
  WrittenTime t;
  t.wall = daysFromCivil(*y, *m, *d) * kDay;
  if (v.size() == 8) {
    t.date = true;
    return t;
  }
  if (v.size() < 15 || v[8] != 'T') return std::nullopt;
  auto hh = digits(9, 2), mm = digits(11, 2), ss = digits(13, 2);
  if (!hh || !mm || !ss || *hh > 23 || *mm > 59 || *ss > 60) return std::nullopt;
  t.wall += *hh * 3600 + *mm * 60 + std::min(*ss, 59);
  if (v.size() == 16 && (v[15] == 'Z' || v[15] == 'z')) {
    t.utc = true;
  } else if (v.size() != 15) {
    return std::nullopt;
  }
  return t;
}

std::string dateText(std::int64_t wall) {
  CivilDate c = civilFromDays(floorDiv(wall, kDay));
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", c.year, c.month, c.day);
  return buffer;
}

std::string dateTimeText(std::int64_t wall, bool utc) {
  std::int64_t seconds = wall - floorDiv(wall, kDay) * kDay;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "T%02d%02d%02d", static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return dateText(wall) + buffer + (utc ? "Z" : "");
}

// A TZID as some writers spell an IANA zone ("/mozilla.org/20050126_1/Europe/Berlin").
const Zone* findZone(ZoneCache& zones, std::string_view tzid) {
  if (const Zone* zone = zones.find(tzid)) return zone;
  for (std::size_t slash = tzid.find('/'); slash != std::string_view::npos; slash = tzid.find('/', slash + 1)) {
    std::string_view rest = tzid.substr(slash + 1);
    if (rest.find('/') == std::string_view::npos) break;
    if (const Zone* zone = zones.find(rest)) return zone;
  }
  return nullptr;
}

// How the series' DTSTART is written, which every value an edit writes follows.
struct SeriesForm {
  enum Kind { allDay, zoned, utc, floating } kind = floating;
  std::string tzid;
  const Zone* zone = nullptr;  // zoned, when the zone is known
};

struct Component {
  std::size_t begin = 0, end = 0;  // BEGIN:VEVENT and END:VEVENT lines
  std::vector<std::size_t> properties;  // the VEVENT's own, not those of its alarms
  std::optional<std::size_t> recurrenceId;
};

class Editor {
 public:
  Editor(std::string_view text, ZoneCache& zones) : lines_(splitLines(text)), zones_(zones) {
    lineEnd_ = text.find("\r\n") != std::string_view::npos || text.find('\n') == std::string_view::npos ? "\r\n" : "\n";
  }

  bool read() {
    int depth = 0;
    std::optional<Component> open;
    int calendars = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      const Line& line = lines_[i];
      if (line.logical.empty()) continue;
      if (line.name == "BEGIN") {
        ++depth;
        if (depth == 1) {
          if (!equalsIgnoringCase(line.value, "VCALENDAR") || ++calendars > 1) return false;
        } else if (depth == 2 && equalsIgnoringCase(line.value, "VEVENT")) {
          open = Component{i, i, {}, std::nullopt};
        }
      } else if (line.name == "END") {
        if (depth == 2 && open) {
          open->end = i;
          (open->recurrenceId ? overrides_ : masters_).push_back(*open);
          open.reset();
        }
        if (--depth < 0) return false;
      } else if (depth == 2 && open) {
        open->properties.push_back(i);
        if (line.name == "RECURRENCE-ID") open->recurrenceId = i;
      }
    }
    if (depth != 0 || calendars != 1 || masters_.size() != 1) return false;
    const Component& master = masters_.front();
    auto start = property(master, "DTSTART");
    if (!start) return false;
    const Line& dtstart = lines_[*start];
    auto t = parseTime(dtstart.value);
    if (!t) return false;
    auto valueType = dtstart.param("VALUE");
    if (t->date || (valueType && equalsIgnoringCase(*valueType, "DATE"))) {
      form_.kind = SeriesForm::allDay;
    } else if (t->utc) {
      form_.kind = SeriesForm::utc;
    } else if (auto tzid = dtstart.param("TZID")) {
      form_.kind = SeriesForm::zoned;
      form_.tzid = *tzid;
      form_.zone = findZone(zones_, *tzid);
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
      long long n = 0;
      try {
        n = std::stoll(lines_[*seq].value);
      } catch (...) {
        n = 0;
      }
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
      if (!removed_[i]) out += replaced_.count(i) ? replaced_.at(i) : lines_[i].raw;
    }
    return out;
  }

 private:
  std::optional<std::size_t> property(const Component& c, std::string_view name) const {
    for (std::size_t i : c.properties)
      if (!removed_[i] && lines_[i].name == name) return i;
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
  std::optional<std::int64_t> seriesWall(const WrittenTime& t, const std::optional<std::string>& tzid) {
    if (t.date || form_.kind == SeriesForm::allDay || form_.kind == SeriesForm::floating) return t.wall;
    std::optional<std::int64_t> epoch;
    if (t.utc) {
      epoch = t.wall;
    } else if (tzid && !(form_.kind == SeriesForm::zoned && *tzid == form_.tzid)) {
      const Zone* zone = findZone(zones_, *tzid);
      if (zone == nullptr) return std::nullopt;
      epoch = wallToEpoch(*zone, t.wall);
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
  std::vector<ListValue> listValues(const Line& line) {
    std::vector<ListValue> values;
    std::size_t pos = 0;
    auto tzid = line.param("TZID");
    while (pos <= line.value.size()) {
      std::size_t comma = line.value.find(',', pos);
      if (comma == std::string::npos) comma = line.value.size();
      std::string item = line.value.substr(pos, comma - pos);
      std::string start = item.substr(0, item.find('/'));
      ListValue v{item, std::nullopt};
      if (auto t = parseTime(start)) v.wall = seriesWall(*t, tzid);
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
    const std::string& logical = lines_[i].logical;
    std::string head = logical.substr(0, logical.size() - lines_[i].value.size());
    std::string value;
    for (const ListValue& v : keep) value += (value.empty() ? "" : ",") + v.text;
    replace(i, head + value);
  }

  std::optional<std::int64_t> overrideWall(const Component& c) {
    const Line& line = lines_[*c.recurrenceId];
    auto t = parseTime(line.value);
    if (!t) return std::nullopt;
    return seriesWall(*t, line.param("TZID"));
  }

  std::string exdateLine(std::int64_t wall) const {
    switch (form_.kind) {
      case SeriesForm::allDay:
        return "EXDATE;VALUE=DATE:" + dateText(wall);
      case SeriesForm::zoned: {
        bool quote = form_.tzid.find_first_of(";:,") != std::string::npos;
        return "EXDATE;TZID=" + (quote ? "\"" + form_.tzid + "\"" : form_.tzid) + ":" + dateTimeText(wall, false);
      }
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
      if (removed_[i] || lines_[i].name != "EXDATE") continue;
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
    // A zone nobody here knows: no offset is more than 14 hours east or 12
    // west, so an instant 14 hours before the wall time is before the
    // occurrence and after the one a day earlier. That holds for a rule
    // whose occurrences are at least a day apart.
    std::string r = upper(rule);
    bool daily = r.find("FREQ=DAILY") != std::string::npos || r.find("FREQ=WEEKLY") != std::string::npos ||
                 r.find("FREQ=MONTHLY") != std::string::npos || r.find("FREQ=YEARLY") != std::string::npos;
    if (!daily || r.find("BYHOUR") != std::string::npos || r.find("BYMINUTE") != std::string::npos ||
        r.find("BYSECOND") != std::string::npos)
      return std::nullopt;
    return dateTimeText(wall - 14 * 3600 - 1, true);
  }

  bool endBefore(std::int64_t wall) {
    if (wall <= startWall_) return false;  // nothing would be left of the series
    const Component& master = masters_.front();
    newExclusions_.erase(newExclusions_.lower_bound(wall), newExclusions_.end());
    // Every rule of the series ends there (a series may have several).
    for (std::size_t r : master.properties) {
      if (removed_[r] || lines_[r].name != "RRULE") continue;
      const Line& line = lines_[r];
      std::vector<std::string> parts;
      std::optional<std::int64_t> oldUntil;
      for (std::size_t pos = 0; pos <= line.value.size();) {
        std::size_t semi = line.value.find(';', pos);
        if (semi == std::string::npos) semi = line.value.size();
        std::string part = line.value.substr(pos, semi - pos);
        pos = semi + 1;
        std::string key = upper(part.substr(0, part.find('=')));
        if (key == "UNTIL") {
          if (auto t = parseTime(part.substr(6))) {
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
        auto until = untilText(wall, line.value);
        if (!until) return false;
        std::string value;
        for (const std::string& p : parts) value += p + ";";
        value += "UNTIL=" + *until;
        const std::string& logical = line.logical;
        replace(r, logical.substr(0, logical.size() - line.value.size()) + value);
      }
    }
    for (std::size_t i : master.properties) {
      if (removed_[i] || (lines_[i].name != "EXDATE" && lines_[i].name != "RDATE")) continue;
      bool extra = lines_[i].name == "RDATE";
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

  std::vector<Line> lines_;
  ZoneCache& zones_;
  std::string lineEnd_;
  std::vector<Component> masters_, overrides_;
  SeriesForm form_;
  std::int64_t startWall_ = 0;
  std::vector<bool> removed_ = std::vector<bool>(lines_.size(), false);
  std::map<std::size_t, std::string> replaced_;
  std::map<std::size_t, std::string> added_;  // before that line
  std::set<std::int64_t> newExclusions_;
};

// A VCALENDAR's direct parts, each as its lines came.
struct CalendarParts {
  std::vector<std::string> heads;  // VERSION, PRODID and the like
  struct Part {
    std::string kind;  // upper case: VEVENT, VTIMEZONE, ...
    std::string key;  // VEVENT: its UID; VTIMEZONE: its TZID
    std::set<std::string> tzids;  // the TZIDs its properties name
    std::string text;
    std::size_t begin = 0;  // offset of its BEGIN line in the text
    bool changedOccurrence = false;  // VEVENT: has a RECURRENCE-ID
    std::pair<long long, std::string> version{0, ""};  // VEVENT: SEQUENCE and DTSTAMP
  };
  std::vector<Part> parts;
  std::size_t end = 0;  // offset of its END:VCALENDAR line in the text
};

std::vector<CalendarParts> calendarsOf(std::string_view text) {
  std::vector<CalendarParts> calendars;
  std::vector<Line> lines = splitLines(text);
  int depth = 0;
  std::size_t offset = 0;
  for (const Line& line : lines) {
    const std::size_t at = offset;
    offset += line.raw.size();
    if (line.logical.empty()) continue;
    if (line.name == "BEGIN") {
      ++depth;
      if (depth == 1) {
        calendars.emplace_back();
        continue;
      }
      if (calendars.empty()) continue;
      if (depth == 2) calendars.back().parts.push_back({upper(line.value), {}, {}, {}, at});
    } else if (line.name == "END") {
      if (depth == 1 && !calendars.empty()) calendars.back().end = at;
      --depth;
      if (depth < 1) {
        depth = 0;
        continue;
      }
    } else if (depth == 1 && !calendars.empty()) {
      if (line.name == "VERSION" || line.name == "PRODID" || line.name == "CALSCALE") calendars.back().heads.push_back(line.raw);
      continue;
    }
    if (depth < 1 || calendars.empty() || calendars.back().parts.empty()) continue;
    CalendarParts::Part& part = calendars.back().parts.back();
    part.text += line.raw;
    if (depth == 2 && part.key.empty() &&
        ((part.kind == "VEVENT" && line.name == "UID") || (part.kind == "VTIMEZONE" && line.name == "TZID")))
      part.key = line.value;
    if (depth == 2 && part.kind == "VEVENT") {
      if (line.name == "RECURRENCE-ID") part.changedOccurrence = true;
      if (line.name == "DTSTAMP") part.version.second = line.value;
      if (line.name == "SEQUENCE") part.version.first = std::atoll(line.value.c_str());
    }
    if (auto tzid = line.param("TZID")) part.tzids.insert(*tzid);
  }
  return calendars;
}

}  // namespace

std::vector<KeptObject> keptObjects(std::string_view text, std::span<const std::string> madeUpUids) {
  struct Building {
    std::string heads;
    std::set<std::string> zonesIn;
    std::string zones;
    std::vector<std::pair<std::size_t, CalendarParts::Part>> events;  // by the VCALENDAR they are in
  };
  std::vector<std::string> order;
  std::map<std::string, Building> objects;
  std::size_t nextMadeUp = 0;
  std::vector<CalendarParts> calendars = calendarsOf(text);
  for (std::size_t index = 0; index < calendars.size(); ++index) {
    const CalendarParts& calendar = calendars[index];
    std::map<std::string, const CalendarParts::Part*> zones;
    for (const auto& part : calendar.parts)
      if (part.kind == "VTIMEZONE") zones.emplace(part.key, &part);
    for (auto part : calendar.parts) {
      if (part.kind != "VEVENT") continue;
      if (part.key.empty()) {
        if (nextMadeUp == madeUpUids.size()) continue;
        part.key = madeUpUids[nextMadeUp++];
        std::size_t firstLine = part.text.find('\n');
        if (firstLine == std::string::npos) continue;
        part.text.insert(firstLine + 1, folded("UID:" + part.key, "\r\n"));
      }
      auto [it, added] = objects.try_emplace(part.key);
      Building& b = it->second;
      if (added) {
        order.push_back(part.key);
        for (const std::string& head : calendar.heads) b.heads += head;
      }
      for (const std::string& tzid : part.tzids) {
        auto zone = zones.find(tzid);
        if (zone != zones.end() && b.zonesIn.insert(tzid).second) b.zones += zone->second->text;
      }
      b.events.emplace_back(index, std::move(part));
    }
  }
  std::vector<KeptObject> kept;
  for (const std::string& uid : order) {
    Building& b = objects[uid];
    std::string heads = b.heads.empty() ? "VERSION:2.0\r\nPRODID:-//calbridge//calbridge//EN\r\n" : b.heads;
    // Earlier edits of the event beside its newest copy in one VCALENDAR are
    // what the file's reader left out (RFC 5546 2.1.4); copies nothing tells
    // apart all stay.
    std::map<std::size_t, std::pair<long long, std::string>> newest;
    for (const auto& [index, part] : b.events) {
      if (part.changedOccurrence) continue;
      auto [at, added] = newest.try_emplace(index, part.version);
      if (!added) at->second = std::max(at->second, part.version);
    }
    std::string events;
    for (const auto& [index, part] : b.events)
      if (part.changedOccurrence || !(part.version < newest[index])) events += part.text;
    kept.push_back({uid, "BEGIN:VCALENDAR\r\n" + heads + b.zones + events + "END:VCALENDAR\r\n"});
  }
  return kept;
}

std::string joinedCalendar(std::string_view calendar, std::span<const std::string> objects) {
  std::vector<CalendarParts> outer = calendarsOf(calendar);
  if (outer.size() != 1 || outer.front().end == 0) return std::string(calendar);
  std::set<std::string> tzids;
  for (const auto& part : outer.front().parts)
    if (part.kind == "VTIMEZONE") tzids.insert(part.key);
  std::string zones, events;
  for (const std::string& object : objects) {
    for (const CalendarParts& c : calendarsOf(object)) {
      for (const auto& part : c.parts) {
        if (part.kind == "VTIMEZONE") {
          if (tzids.insert(part.key).second) zones += part.text;
        } else {
          events += part.text;
        }
      }
    }
  }
  // Zones after the calendar's own, before any event, as writers put them;
  // the kept events after the generated ones.
  std::size_t firstEvent = outer.front().end;
  for (const auto& part : outer.front().parts) {
    if (part.kind != "VTIMEZONE") {
      firstEvent = part.begin;
      break;
    }
  }
  std::string out(calendar.substr(0, firstEvent));
  out += zones;
  out += calendar.substr(firstEvent, outer.front().end - firstEvent);
  out += events;
  out += calendar.substr(outer.front().end);
  return out;
}

namespace {

std::string escapedText(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == ';' || c == ',') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::string offsetText(std::int32_t offset) {
  char buffer[16];
  std::int32_t a = offset < 0 ? -offset : offset;
  std::snprintf(buffer, sizeof buffer, "%c%02d%02d", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
  return buffer;
}

// One yearly change of a POSIX rule as a VTIMEZONE part: its first onset in
// 1970, in the local time before it, and the RRULE that repeats it.
std::optional<std::string> onsetPart(const char* kind, const PosixZoneRule::Change& change, std::int32_t from,
                                     std::int32_t to) {
  if (change.kind != PosixZoneRule::Change::Kind::monthWeekDay || change.time < 0 || change.time >= kDay ||
      change.month < 1 || change.month > 12 || change.week < 1 || change.week > 5 || change.weekday < 0 ||
      change.weekday > 6)
    return std::nullopt;
  static constexpr const char* kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  const std::int64_t first = daysFromCivil(1970, change.month, 1);
  std::int64_t day = first + (change.weekday - weekdayOf(first) + 7) % 7;
  if (change.week == 5) {
    while (day + 7 < first + daysInMonth(1970, change.month)) day += 7;
  } else {
    day += 7 * (change.week - 1);
  }
  std::string out = std::string("BEGIN:") + kind + "\r\n";
  out += "DTSTART:" + dateTimeText(day * kDay + change.time, false) + "\r\n";
  out += "TZOFFSETFROM:" + offsetText(from) + "\r\nTZOFFSETTO:" + offsetText(to) + "\r\n";
  out += "RRULE:FREQ=YEARLY;BYMONTH=" + std::to_string(change.month) + ";BYDAY=" +
         (change.week == 5 ? std::string("-1") : std::to_string(change.week)) + kDays[change.weekday] + "\r\n";
  out += std::string("END:") + kind + "\r\n";
  return out;
}

std::string zoneDefinition(const Zone& zone) {
  if (!zone.rule) return "";
  const PosixZoneRule& rule = *zone.rule;
  std::string parts;
  if (!rule.daylightOffset) {
    parts = "BEGIN:STANDARD\r\nDTSTART:19700101T000000\r\nTZOFFSETFROM:" + offsetText(rule.standardOffset) +
            "\r\nTZOFFSETTO:" + offsetText(rule.standardOffset) + "\r\nEND:STANDARD\r\n";
  } else {
    auto standard = onsetPart("STANDARD", rule.toStandard, *rule.daylightOffset, rule.standardOffset);
    auto daylight = onsetPart("DAYLIGHT", rule.toDaylight, rule.standardOffset, *rule.daylightOffset);
    if (!standard || !daylight) return "";
    parts = *standard + *daylight;
  }
  return "BEGIN:VTIMEZONE\r\n" + folded("TZID:" + zone.name, "\r\n") + parts + "END:VTIMEZONE\r\n";
}

}  // namespace

std::optional<std::string> objectTextOf(const StoredEvent& event, ZoneCache& zones, std::int64_t now) {
  if (event.recurrenceId) return std::nullopt;
  const Zone* zone = event.timeZone ? zones.find(*event.timeZone) : nullptr;
  if (event.timeZone && zone == nullptr) return std::nullopt;
  const bool utc = zone != nullptr && zone->name == "UTC";
  auto writable = [](double t) { return std::isfinite(t) && t >= kFirstMoment && t < kEndOfTime; };
  if (!writable(event.start) || !writable(event.end) || (event.until && !writable(*event.until))) return std::nullopt;
  // Wall seconds of the event's zone; whole seconds, as iCalendar writes them.
  auto wall = [&](double t) {
    auto s = static_cast<std::int64_t>(std::floor(t));
    return zone != nullptr && !utc ? epochToWall(*zone, s) : s;
  };
  auto timeLine = [&](const char* name, std::int64_t w) {
    if (event.allDay) return std::string(name) + ";VALUE=DATE:" + dateText(w);
    if (utc) return std::string(name) + ":" + dateTimeText(w, true);
    if (zone != nullptr) return std::string(name) + ";TZID=" + zone->name + ":" + dateTimeText(w, false);
    return std::string(name) + ":" + dateTimeText(w, false);
  };
  std::string lines;
  auto add = [&](const std::string& line) { lines += folded(line, "\r\n"); };
  add("UID:" + event.externalIdentifier);
  add("DTSTAMP:" + dateTimeText(now, true));
  add(timeLine("DTSTART", wall(event.start)));
  add(timeLine("DTEND", wall(event.end)));
  if (event.title) add("SUMMARY:" + escapedText(*event.title));
  switch (event.status) {
    case EventStatus::confirmed: add("STATUS:CONFIRMED"); break;
    case EventStatus::tentative: add("STATUS:TENTATIVE"); break;
    case EventStatus::cancelled: add("STATUS:CANCELLED"); break;
    case EventStatus::none: break;
  }
  if (event.rule && !event.rule->empty()) {
    std::string rule = "RRULE:" + *event.rule;
    if (event.count) {
      rule += ";COUNT=" + std::to_string(*event.count);
    } else if (event.until) {
      // UNTIL as RFC 5545 wants it: a date for dates, UTC for a zoned start.
      auto u = static_cast<std::int64_t>(std::floor(*event.until));
      rule += ";UNTIL=" + (event.allDay ? dateText(u) : dateTimeText(u, zone != nullptr));
    }
    add(rule);
    for (std::int64_t w : event.excluded) add(timeLine("EXDATE", w));
  }
  std::string definition = zone != nullptr && !utc ? zoneDefinition(*zone) : "";
  return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//calbridge//calbridge//EN\r\n" + definition +
         "BEGIN:VEVENT\r\n" + lines + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones,
                                      std::int64_t now) {
  Editor editor(text, zones);
  if (!editor.read()) return std::nullopt;
  for (const ObjectEdit& edit : edits)
    if (!editor.apply(edit)) return std::nullopt;
  if (!edits.empty()) editor.stamp(now);
  return editor.text();
}

std::optional<std::string> applyEdits(std::string_view text, std::span<const ObjectEdit> edits, ZoneCache& zones) {
  return applyEdits(text, edits, zones, static_cast<std::int64_t>(std::time(nullptr)));
}

}  // namespace calbridge
