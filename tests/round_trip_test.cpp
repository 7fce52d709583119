// Every corpus file the store imports comes back from an export with the same
// occurrences and every property it had, compared component by component.
#include "ical/icalendar.h"
#include "ical/kept_objects.h"
#include "sqlite/sqlite_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace calbridge {
namespace {

const std::filesystem::path kCorpus = std::filesystem::path(CALBRIDGE_INTEROP_DIR) / "corpus";

// Each VEVENT by UID and RECURRENCE-ID, as the sorted list of its properties
// (name, sorted parameters, value), those of its alarms prefixed with the
// alarm's name. Folding and parameter order are not compared.
using Components = std::multimap<std::string, std::vector<std::string>>;

Components eventsOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty()) lines.back() += line.substr(1);
    else lines.push_back(line);
  }
  Components out;
  std::vector<std::string> stack, properties;
  std::string uid, recurrence;
  for (const std::string& line : lines) {
    if (line.empty()) continue;  // not a content line
    std::size_t colon = 0;
    for (bool quoted = false; colon < line.size() && (quoted || line[colon] != ':'); ++colon)
      if (line[colon] == '"') quoted = !quoted;
    std::string head = line.substr(0, colon), value = colon < line.size() ? line.substr(colon + 1) : "";
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= head.size();) {
      std::size_t semi = head.find(';', at);
      if (semi == std::string::npos) semi = head.size();
      parts.push_back(head.substr(at, semi - at));
      at = semi + 1;
    }
    std::string name = parts[0];
    // A broken line (no name, or text that lost its fold) is no property: import drops and counts it.
    if (name.empty() || colon == line.size() ||
        !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '-'; })) {
      continue;
    }
    std::transform(name.begin(), name.end(), name.begin(), ::toupper);
    std::sort(parts.begin() + 1, parts.end());
    if (name == "BEGIN") {
      stack.push_back(value);
      if (value == "VEVENT") properties.clear(), uid.clear(), recurrence.clear();
      continue;
    }
    if (name == "END") {
      if (value == "VEVENT") {
        std::sort(properties.begin(), properties.end());
        out.emplace(uid + " " + recurrence, properties);
      }
      if (!stack.empty()) stack.pop_back();
      continue;
    }
    auto event = std::find(stack.begin(), stack.end(), "VEVENT");
    if (event == stack.end()) continue;
    std::string key;
    for (auto it = event + 1; it != stack.end(); ++it) key += *it + "/";
    key += name;
    for (auto it = parts.begin() + 1; it != parts.end(); ++it) key += ";" + *it;
    properties.push_back(key + ":" + value);
    if (event + 1 == stack.end() && name == "UID") uid = value;
    if (event + 1 == stack.end() && name == "RECURRENCE-ID") recurrence = value;
  }
  return out;
}

std::string exportOf(SqliteStore& store, const std::string& calendar) {
  auto exported = store.exportedCalendar(calendar);
  if (!exported) return "";
  return joinedCalendar(writeICalendar(exported->events, store.zones(), 0).text, exported->objects);
}

using Listed = std::vector<std::tuple<double, double, std::string, bool>>;

Listed listed(SqliteStore& store, const std::string& calendar, double from, double to) {
  Listed out;
  for (const Event& e : store.eventsMatching(from, to, {store.calendarWithIdentifier(calendar)}))
    out.emplace_back(*e.startDate, *e.endDate, e.title.value_or(""), e.isAllDay);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(RoundTrip, EveryImportedCorpusFileComesBackWhole) {
  if (!std::filesystem::is_directory(kCorpus)) GTEST_SKIP() << "no corpus at " << kCorpus;
  int imported = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(kCorpus)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".ics") continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream file(entry.path(), std::ios::binary);
    std::stringstream read;
    read << file.rdbuf();
    const std::string text = read.str();
    SqliteStore store{std::string(kInMemoryStore)};
    ASSERT_TRUE(store.open());
    ParsedCalendar parsed = parseICalendar(text, store.zones());
    if (!parsed.error.empty() || parsed.events.empty()) continue;
    const std::string first = store.defaultCalendarForNewEvents()->calendarIdentifier;
    if (!store.importEvents(first, parsed.events, parsed.objects)) continue;
    ++imported;
    double from = parsed.events.front().start;
    for (const StoredEvent& e : parsed.events) from = std::min(from, e.start);
    from -= 2 * 86400;
    const double to = from + 2 * 366 * 86400.0;

    const std::string exported = exportOf(store, first);
    Components before = eventsOf(text), after = eventsOf(exported);
    // Of copies of one VEVENT (edits of one event, one key), the one the
    // import kept must be whole; only an event it could not read is lost.
    int lost = 0;
    for (auto at = before.begin(); at != before.end(); at = before.upper_bound(at->first)) {
      const std::string& key = at->first;
      // An event without UID is given one; it may be any of the exported.
      auto range = key[0] == ' ' ? std::pair{after.begin(), after.end()} : after.equal_range(key);
      auto copies = before.equal_range(key);
      bool found = std::any_of(copies.first, copies.second, [&](const auto& copy) {
        return std::any_of(range.first, range.second, [&](const auto& kept) {
          return std::includes(kept.second.begin(), kept.second.end(), copy.second.begin(), copy.second.end());
        });
      });
      if (!found) ++lost;
    }
    EXPECT_LE(lost, parsed.leftOut.unreadableEvents) << "VEVENTs lost properties";
    ParsedCalendar again = parseICalendar(exported, store.zones());
    ASSERT_EQ(again.error, "") << exported;
    Calendar copy;
    copy.title = "again";
    auto second = store.addCalendar(copy);
    ASSERT_TRUE(second);
    ASSERT_TRUE(store.importEvents(*second, again.events, again.objects));
    EXPECT_EQ(listed(store, *second, from, to), listed(store, first, from, to));
  }
  EXPECT_GT(imported, 100);
}

}  // namespace
}  // namespace calbridge
