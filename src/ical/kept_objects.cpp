#include "ical/kept_objects.h"

#include "ical/content_line.h"
#include "ical/values.h"

#include <map>
#include <set>

namespace calbridge {

namespace {

// A VCALENDAR's direct parts, each as its lines came.
struct CalendarParts {
  std::vector<std::string> heads;  // VERSION, PRODID and the like
  struct Part {
    std::string kind;  // upper case: VEVENT, VTIMEZONE, ...
    std::string key;  // VEVENT: its UID; VTIMEZONE: its TZID
    std::set<std::string> tzids;  // the TZIDs its properties name
    std::string text;
    std::size_t begin = 0;  // offset of its BEGIN line in the text
  };
  std::vector<Part> parts;
  std::size_t end = 0;  // offset of its END:VCALENDAR line in the text
};

std::vector<CalendarParts> calendarsOf(std::string_view text) {
  std::vector<CalendarParts> calendars;
  int depth = 0;
  std::size_t offset = 0;
  ContentLineReader reader(text);
  for (ContentLine line; reader.next(line);) {
    const std::size_t at = offset;
    offset += line.raw.size();
    if (line.text.empty()) continue;
    if (line.is("BEGIN")) {
      ++depth;
      if (depth == 1) {
        calendars.emplace_back();
        continue;
      }
      if (calendars.empty()) continue;
      if (depth == 2) calendars.back().parts.push_back({upperCase(line.value()), {}, {}, {}, at});
    } else if (line.is("END")) {
      if (depth == 1 && !calendars.empty()) calendars.back().end = at;
      --depth;
      if (depth < 1) {
        depth = 0;
        continue;
      }
    } else if (depth == 1 && !calendars.empty()) {
      if (line.is("VERSION") || line.is("PRODID") || line.is("CALSCALE")) calendars.back().heads.emplace_back(line.raw);
      continue;
    }
    if (depth < 1 || calendars.empty() || calendars.back().parts.empty()) continue;
    CalendarParts::Part& part = calendars.back().parts.back();
    part.text += line.raw;
    if (depth == 2 && part.key.empty() &&
        ((part.kind == "VEVENT" && line.is("UID")) || (part.kind == "VTIMEZONE" && line.is("TZID"))))
      part.key = line.value();
    if (auto tzid = line.parameter("TZID")) part.tzids.insert(*tzid);
  }
  return calendars;
}

}  // namespace

std::vector<KeptObject> keptObjects(std::string_view text, std::span<const std::string> madeUpUids,
                                    const std::vector<bool>& read) {
  struct Building {
    std::string heads;
    std::set<std::string> zonesIn;
    std::string zones;
    std::string events;
  };
  std::vector<std::string> order;
  std::map<std::string, Building> objects;
  std::size_t nextMadeUp = 0;
  std::size_t nextEvent = 0;
  for (const CalendarParts& calendar : calendarsOf(text)) {
    std::map<std::string, const CalendarParts::Part*> zones;
    for (const auto& part : calendar.parts)
      if (part.kind == "VTIMEZONE") zones.emplace(part.key, &part);
    for (auto part : calendar.parts) {
      if (part.kind != "VEVENT") continue;
      const std::size_t index = nextEvent++;
      if (!read.empty() && (index >= read.size() || !read[index])) continue;
      if (part.key.empty()) {
        if (nextMadeUp == madeUpUids.size()) continue;
        part.key = madeUpUids[nextMadeUp++];
        std::size_t firstLine = part.text.find('\n');
        if (firstLine == std::string::npos) continue;
        part.text.insert(firstLine + 1, folded("UID:" + part.key));
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
      b.events += part.text;
    }
  }
  std::vector<KeptObject> kept;
  for (const std::string& uid : order) {
    Building& b = objects[uid];
    std::string heads = b.heads.empty() ? "VERSION:2.0\r\nPRODID:-//calbridge//calbridge//EN\r\n" : b.heads;
    kept.push_back({uid, "BEGIN:VCALENDAR\r\n" + heads + b.zones + b.events + "END:VCALENDAR\r\n"});
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

}  // namespace calbridge
