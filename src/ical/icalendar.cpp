#include "ical/icalendar.h"

#include "calendar/civil_time.h"
#include "calendar/recurrence.h"
#include "ical/long_lines.h"
#include "ical/zone_interpretation.h"

#include <libical/ical.h>
#include <utf8proc.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <cstdio>
#include <set>

namespace calbridge {

namespace {

struct ComponentFree {
  void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
// A component nobody else owns yet; freed unless handed to a parent.
using OwnedComponent = std::unique_ptr<icalcomponent, ComponentFree>;

bool writable(double t) { return std::isfinite(t) && t >= kFirstMoment && t < kEndOfTime; }

int yearOf(std::int64_t wall) { return civilFromDays(floorDiv(wall, kDay)).year; }

int currentYear() { return yearOf(static_cast<std::int64_t>(std::time(nullptr))); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string upper(std::string_view s) {
  std::string result(s);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// Copies a string libical allocated for the caller, and frees it.
std::string takeBuffer(char* buffer) {
  if (buffer == nullptr) return {};
  std::string text(buffer);
  icalmemory_free_buffer(buffer);
  return text;
}

// ---------------------------------------------------------------------------

constexpr WindowsZone kWindowsZones[] = {
    {"Dateline Standard Time", "Etc/GMT+12"},
    {"UTC-11", "Etc/GMT+11"},
    {"Hawaiian Standard Time", "Pacific/Honolulu"},
    {"Alaskan Standard Time", "America/Anchorage"},
    {"Pacific Standard Time (Mexico)", "America/Tijuana"},
    {"Pacific Standard Time", "America/Los_Angeles"},
    {"US Mountain Standard Time", "America/Phoenix"},
    {"Mountain Standard Time", "America/Denver"},
    {"Central America Standard Time", "America/Guatemala"},
    {"Central Standard Time", "America/Chicago"},
    {"Central Standard Time (Mexico)", "America/Mexico_City"},
    {"Canada Central Standard Time", "America/Regina"},
    {"SA Pacific Standard Time", "America/Bogota"},
    {"Eastern Standard Time", "America/New_York"},
    {"US Eastern Standard Time", "America/Indiana/Indianapolis"},
    {"Venezuela Standard Time", "America/Caracas"},
    {"Paraguay Standard Time", "America/Asuncion"},
    {"Atlantic Standard Time", "America/Halifax"},
    {"Central Brazilian Standard Time", "America/Cuiaba"},
    {"SA Western Standard Time", "America/La_Paz"},
    {"Pacific SA Standard Time", "America/Santiago"},
    {"Newfoundland Standard Time", "America/St_Johns"},
    {"E. South America Standard Time", "America/Sao_Paulo"},
    {"Argentina Standard Time", "America/Argentina/Buenos_Aires"},
    {"SA Eastern Standard Time", "America/Cayenne"},
    {"Montevideo Standard Time", "America/Montevideo"},
    {"Azores Standard Time", "Atlantic/Azores"},
    {"Cape Verde Standard Time", "Atlantic/Cape_Verde"},
    {"UTC", "UTC"},
    {"GMT Standard Time", "Europe/London"},
    {"Greenwich Standard Time", "Atlantic/Reykjavik"},
    {"Morocco Standard Time", "Africa/Casablanca"},
    {"W. Europe Standard Time", "Europe/Berlin"},
    {"Central Europe Standard Time", "Europe/Budapest"},
    {"Romance Standard Time", "Europe/Paris"},
    {"Central European Standard Time", "Europe/Warsaw"},
    {"W. Central Africa Standard Time", "Africa/Lagos"},
    {"Jordan Standard Time", "Asia/Amman"},
    {"GTB Standard Time", "Europe/Bucharest"},
    {"Middle East Standard Time", "Asia/Beirut"},
    {"Egypt Standard Time", "Africa/Cairo"},
    {"E. Europe Standard Time", "Europe/Chisinau"},
    {"Syria Standard Time", "Asia/Damascus"},
    {"South Africa Standard Time", "Africa/Johannesburg"},
    {"FLE Standard Time", "Europe/Kyiv"},
    {"Israel Standard Time", "Asia/Jerusalem"},
    {"Kaliningrad Standard Time", "Europe/Kaliningrad"},
    {"Namibia Standard Time", "Africa/Windhoek"},
    {"Arabic Standard Time", "Asia/Baghdad"},
    {"Turkey Standard Time", "Europe/Istanbul"},
    {"Arab Standard Time", "Asia/Riyadh"},
    {"Belarus Standard Time", "Europe/Minsk"},
    {"Russian Standard Time", "Europe/Moscow"},
    {"E. Africa Standard Time", "Africa/Nairobi"},
    {"Iran Standard Time", "Asia/Tehran"},
    {"Arabian Standard Time", "Asia/Dubai"},
    {"Azerbaijan Standard Time", "Asia/Baku"},
    {"Mauritius Standard Time", "Indian/Mauritius"},
    {"Georgian Standard Time", "Asia/Tbilisi"},
    {"Caucasus Standard Time", "Asia/Yerevan"},
    {"Afghanistan Standard Time", "Asia/Kabul"},
    {"West Asia Standard Time", "Asia/Tashkent"},
    {"Ekaterinburg Standard Time", "Asia/Yekaterinburg"},
    {"Pakistan Standard Time", "Asia/Karachi"},
    {"India Standard Time", "Asia/Kolkata"},
    {"Sri Lanka Standard Time", "Asia/Colombo"},
    {"Nepal Standard Time", "Asia/Kathmandu"},
    {"Bangladesh Standard Time", "Asia/Dhaka"},
    {"Myanmar Standard Time", "Asia/Yangon"},
    {"SE Asia Standard Time", "Asia/Bangkok"},
    {"N. Central Asia Standard Time", "Asia/Novosibirsk"},
    {"North Asia Standard Time", "Asia/Krasnoyarsk"},
    {"China Standard Time", "Asia/Shanghai"},
    {"North Asia East Standard Time", "Asia/Irkutsk"},
    {"Singapore Standard Time", "Asia/Singapore"},
    {"W. Australia Standard Time", "Australia/Perth"},
    {"Taipei Standard Time", "Asia/Taipei"},
    {"Ulaanbaatar Standard Time", "Asia/Ulaanbaatar"},
    {"Tokyo Standard Time", "Asia/Tokyo"},
    {"Korea Standard Time", "Asia/Seoul"},
    {"Yakutsk Standard Time", "Asia/Yakutsk"},
    {"Cen. Australia Standard Time", "Australia/Adelaide"},
    {"AUS Central Standard Time", "Australia/Darwin"},
    {"E. Australia Standard Time", "Australia/Brisbane"},
    {"AUS Eastern Standard Time", "Australia/Sydney"},
    {"West Pacific Standard Time", "Pacific/Port_Moresby"},
    {"Tasmania Standard Time", "Australia/Hobart"},
    {"Vladivostok Standard Time", "Asia/Vladivostok"},
    {"Magadan Standard Time", "Asia/Magadan"},
    {"New Zealand Standard Time", "Pacific/Auckland"},
    {"Fiji Standard Time", "Pacific/Fiji"},
    {"Tonga Standard Time", "Pacific/Tongatapu"},
    {"Samoa Standard Time", "Pacific/Apia"},
};

// ---------------------------------------------------------------------------
// The frame.

// libical takes much that is no iCalendar file: it drops lines outside any
// component, lets any END close a component and reads nothing past a NUL. So
// the frame is checked first, with line numbers a person can look up. Inside
// the frame, a line that is no content line (a value cut loose by bad folding,
// a name without a value) is dropped and counted, as other programs read such
// files; `cleaned` is the text without them, unfolded.
std::string frameError(std::string_view text, std::string& cleaned, int& dropped) {
  if (text.find('\0') != std::string_view::npos) return "not a text file (it holds NUL bytes)";
  std::size_t line = 1;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte == '\n') ++line;
      ++i;
      continue;
    }
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                          static_cast<utf8proc_ssize_t>(text.size() - i), &codepoint);
    if (n <= 0) return "line " + std::to_string(line) + ": not UTF-8 text";
    i += static_cast<std::size_t>(n);
  }

  std::vector<std::string> open;
  bool sawCalendar = false;
  std::string error;
  // One unfolded content line: NAME[;params]:value.
  auto check = [&](std::string_view content, std::size_t number) {
    const std::size_t before = dropped;
    const bool kept = [&] {
    auto at = "line " + std::to_string(number) + ": ";
    auto nameEnd = content.find_first_of(";:");
    std::string_view name = content.substr(0, nameEnd);
    auto nameCharacter = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
    bool named = nameEnd != std::string_view::npos && nameEnd > 0 &&
                 std::all_of(name.begin(), name.end(), nameCharacter) &&
                 content.find(':', nameEnd) != std::string_view::npos;
    if (!named) {
      if (open.empty()) {
        error = sawCalendar ? at + "text after the end of the calendar" : "not an iCalendar file";
      } else {
        ++dropped;
      }
      return false;
    }
    bool begin = equalsIgnoringCase(name, "BEGIN");
    bool end = equalsIgnoringCase(name, "END");
    std::string value = upper(content.substr(content.find(':') + 1));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    if (open.empty() && !(begin && value == "VCALENDAR")) {
      // A property after the end (a feed's note on when it was cached) belongs to no calendar.
      if (!sawCalendar || begin || end) {
        error = sawCalendar ? at + "text after the end of the calendar" : "not an iCalendar file";
      } else {
        ++dropped;
      }
      return false;
    } else if (begin) {
      open.push_back(value);
    } else if (end) {
      if (value != open.back()) {
        error = at + "END:" + value + " does not close BEGIN:" + open.back();
        return false;
      }
      open.pop_back();
      sawCalendar = sawCalendar || open.empty();
    }
    return true;
    }();
    if (kept && error.empty() && static_cast<std::size_t>(dropped) == before) {
      cleaned.append(content);
      cleaned += "\r\n";
    }
  };

  std::string logical;
  std::size_t logicalLine = 0;
  line = 0;
  for (std::size_t start = 0; start < text.size() && error.empty();) {
    auto newline = text.find('\n', start);
    const bool last = newline == std::string_view::npos;
    std::string_view physical = text.substr(start, last ? std::string_view::npos : newline - start);
    start = last ? text.size() : newline + 1;
    ++line;
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    if (!physical.empty() && (physical.front() == ' ' || physical.front() == '\t')) {
      if (logicalLine == 0) {
        if (open.empty()) error = "line " + std::to_string(line) + ": a continuation of nothing";
        ++dropped;
        continue;
      }
      logical += physical.substr(1);
      continue;
    }
    if (logicalLine != 0) check(logical, logicalLine);
    logical.assign(physical);
    logicalLine = physical.empty() ? 0 : line;
  }
  if (error.empty() && logicalLine != 0) check(logical, logicalLine);
  if (!error.empty()) return error;
  if (!open.empty()) return "the file ends inside " + open.back() + ": it is cut short";
  if (!sawCalendar) return "not an iCalendar file";
  return {};
}

// The property libical dropped for having no value, from its note about it.
std::optional<std::string_view> droppedEmpty(std::string_view repair) {
  constexpr std::string_view kBefore = "No value for ";
  constexpr std::string_view kAfter = " property. Removing entire property:";
  while (!repair.empty() && std::isspace(static_cast<unsigned char>(repair.back()))) repair.remove_suffix(1);
  if (!repair.starts_with(kBefore) || !repair.ends_with(kAfter)) return std::nullopt;
  return repair.substr(kBefore.size(), repair.size() - kBefore.size() - kAfter.size());
}

// Repairs that change nothing the store keeps, of files that are valid
// iCalendar: an empty text says nothing ("X" stands for every X- property;
// empty titles are told apart in readEvent), and a property libical does not
// know is one RFC 5545 lets programs ignore (its name was checked with the frame).
bool repairLosesNothing(std::string_view repair) {
  static constexpr std::string_view kTexts[] = {"SUMMARY",  "DESCRIPTION", "LOCATION", "COMMENT", "CATEGORIES",
                                                "CONTACT",  "RESOURCES",   "URL",      "X"};
  if (auto dropped = droppedEmpty(repair)) {
    return std::find(std::begin(kTexts), std::end(kTexts), *dropped) != std::end(kTexts);
  }
  return repair.starts_with("Parse error in property name: ");
}

// True for a repair that dropped a property whose value is empty or cannot be
// read, when that property does not decide when the event happens: other
// programs read such a file, and so does this one, counting what it dropped.
// An empty value says nothing, whichever property it is (an empty DTSTART
// leaves an event without a start, which is refused as such).
bool repairDropsBrokenValue(std::string_view repair) {
  if (droppedEmpty(repair)) return true;
  // "Can't parse as DURATION value in TRIGGER property. Removing entire property: PT-2H",
  // "Invalid VALUE type for property TRIGGER: VALUE=TIME".
  std::string_view property;
  constexpr std::string_view kBefore = "Can't parse as ";
  constexpr std::string_view kMiddle = " value in ";
  constexpr std::string_view kAfter = " property. Removing entire property:";
  constexpr std::string_view kInvalidType = "Invalid VALUE type for property ";
  if (repair.starts_with(kBefore)) {
    auto middle = repair.find(kMiddle);
    auto after = repair.find(kAfter);
    if (middle == std::string_view::npos || after == std::string_view::npos || after < middle) return false;
    property = repair.substr(middle + kMiddle.size(), after - middle - kMiddle.size());
  } else if (repair.starts_with(kInvalidType)) {
    property = repair.substr(kInvalidType.size());
    property = property.substr(0, property.find(':'));
  } else {
    return false;
  }
  static constexpr std::string_view kDecisive[] = {"DTSTART", "DTEND", "DURATION", "RRULE", "EXDATE",
                                                   "RECURRENCE-ID", "EXRULE"};
  return !property.empty() &&
         std::find(std::begin(kDecisive), std::end(kDecisive), property) == std::end(kDecisive);
}

// The first repair libical made that changed what the file says, or null;
// counts the broken values it dropped on the way.
const char* firstRepair(icalcomponent* component, int& dropped) {
  for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
    const char* text = icalproperty_get_xlicerror(p);
    if (text == nullptr) return "unreadable content";
    if (repairLosesNothing(text)) continue;
    if (!repairDropsBrokenValue(text)) return text;
    // A wrong VALUE type alone leaves the property in place; what libical
    // then cannot read of it comes as a repair of its own.
    if (!std::string_view(text).starts_with("Invalid VALUE type")) ++dropped;
  }
  for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
    if (const char* found = firstRepair(c, dropped)) return found;
  }
  return nullptr;
}

// Each VEVENT's SUMMARY as written, unescaped, in the order of the file (none
// for an event without one). libical trims the blanks at the ends of a value,
// which are part of a text (RFC 5545 3.3.11).
std::vector<std::optional<std::string>> writtenSummaries(std::string_view text) {
  std::vector<std::optional<std::string>> summaries;
  std::vector<std::string> open;
  auto take = [&](std::string_view content) {
    auto nameEnd = content.find_first_of(";:");
    if (nameEnd == std::string_view::npos) return;
    std::string_view name = content.substr(0, nameEnd);
    // The value starts at the first colon outside a quoted parameter value.
    std::size_t colon = nameEnd;
    for (bool quoted = false; colon < content.size(); ++colon) {
      if (content[colon] == '"') quoted = !quoted;
      else if (content[colon] == ':' && !quoted) break;
    }
    if (colon >= content.size()) return;
    std::string_view value = content.substr(colon + 1);
    if (equalsIgnoringCase(name, "BEGIN")) {
      open.push_back(upper(value));
      if (open.back() == "VEVENT") summaries.emplace_back();
    } else if (equalsIgnoringCase(name, "END")) {
      if (!open.empty()) open.pop_back();
    } else if (equalsIgnoringCase(name, "SUMMARY") && !open.empty() && open.back() == "VEVENT" && !summaries.empty() &&
               !summaries.back()) {
      std::string unescaped;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
          char next = value[++i];
          unescaped += next == 'n' || next == 'N' ? '\n' : next;
        } else {
          unescaped += value[i];
        }
      }
      summaries.back() = std::move(unescaped);
    }
  };
  std::string logical;
  for (std::size_t start = 0; start <= text.size();) {
    auto newline = text.find('\n', start);
    const bool last = newline == std::string_view::npos;
    std::string_view physical = text.substr(start, last ? std::string_view::npos : newline - start);
    start = last ? text.size() + 1 : newline + 1;
    if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);
    if (!physical.empty() && (physical.front() == ' ' || physical.front() == '\t')) {
      logical += physical.substr(1);
      continue;
    }
    if (!logical.empty()) take(logical);
    logical.assign(physical);
  }
  if (!logical.empty()) take(logical);
  return summaries;
}

std::string_view trimmed(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// True when libical dropped an empty `property` of this component.
bool droppedEmptyProperty(icalcomponent* component, std::string_view property) {
  for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY); p != nullptr;
       p = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
    const char* text = icalproperty_get_xlicerror(p);
    if (text != nullptr && droppedEmpty(text) == property) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Times as written.

// A DATE or DATE-TIME value as the file writes it.
struct WrittenTime {
  std::int64_t wall = 0;  // the written date and time counted as if UTC
  bool date = false;
  bool utc = false;
  std::optional<std::string> tzid;  // a local time in that zone; neither this nor utc: floating
};

std::optional<WrittenTime> writtenTime(const icaltimetype& t, icalproperty* property) {
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > daysInMonth(t.year, t.month)) {
    return std::nullopt;
  }
  WrittenTime written;
  written.date = t.is_date != 0;
  written.wall = daysFromCivil(t.year, t.month, t.day) * kDay;
  if (written.date) return written;
  if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60) return std::nullopt;
  // A leap second (60) is read as the last second of its minute.
  written.wall += t.hour * 3600 + t.minute * 60 + std::min(t.second, 59);
  written.utc = icaltime_is_utc(t) != 0;
  if (!written.utc && property != nullptr) {
    if (icalparameter* p = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER)) {
      if (const char* tzid = icalparameter_get_tzid(p); tzid != nullptr && *tzid != '\0') written.tzid = tzid;
    }
  }
  return written;
}

struct YearSpan {
  int first = 10000;
  int last = 0;
  void add(int year) {
    first = std::min(first, year);
    last = std::max(last, year);
  }
  void add(const YearSpan& other) {
    if (other.first <= other.last) {
      add(other.first);
      add(other.last);
    }
  }
};

// ---------------------------------------------------------------------------
// Time zones.

// A zone's UTC offset at an instant: the store's own zones, and those a file
// defines only by its VTIMEZONE, which libical reads (once per year).
OffsetAt offsetsOf(const Zone& zone) {
  return [&zone](std::int64_t t) { return utcOffset(zone, t); };
}

OffsetAt offsetsOf(icaltimezone* defined) { return yearlyOffsets(defined); }

// Each offset change in [from, to), found day by day (two changes within one
// day are not told apart).
std::vector<std::int64_t> offsetChanges(const OffsetAt& offset, std::int64_t from, std::int64_t to) {
  std::vector<std::int64_t> changes;
  int before = offset(from);
  for (std::int64_t t = from; t < to; t += kDay) {
    std::int64_t next = std::min(t + kDay, to);
    int after = offset(next);
    if (after == before) continue;
    std::int64_t low = t;  // still `before`
    std::int64_t high = next;  // already changed
    while (high - low > 1) {
      std::int64_t middle = low + (high - low) / 2;
      (offset(middle) == before ? low : high) = middle;
    }
    changes.push_back(high);
    before = after;
  }
  return changes;
}

// True when the two have the same UTC offset at every moment of [from, to),
// but for a minute either side of a change: Outlook writes changes at 23:59:59
// where the zone's rules say midnight.
bool sameOffsets(const OffsetAt& a, const OffsetAt& b, const std::vector<std::int64_t>& changesOfA, std::int64_t from,
                 std::int64_t to) {
  constexpr std::int64_t kSlack = 60;
  // Twice a month first: most zones differ somewhere, and cheaply.
  for (std::int64_t t = from + kDay / 2; t < to; t += 15 * kDay) {
    if (a(t) != b(t)) return false;
  }
  auto agreeAround = [&](const std::vector<std::int64_t>& changes) {
    return std::all_of(changes.begin(), changes.end(),
                       [&](std::int64_t t) { return a(t + kSlack) == b(t + kSlack) && a(t - 1 - kSlack) == b(t - 1 - kSlack); });
  };
  return a(from) == b(from) && agreeAround(changesOfA) && agreeAround(offsetChanges(b, from, to));
}

// The yearly change an open-ended STANDARD or DAYLIGHT rule makes, as a POSIX
// rule writes it: FREQ=YEARLY in one month, on its nth or last weekday (also
// written as a weekday in a span of seven month days, as older files do).
std::optional<PosixZoneRule::Change> yearlyChange(std::string_view rule, const icaltimetype& start) {
  static constexpr std::string_view kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  PosixZoneRule::Change change;
  change.kind = PosixZoneRule::Change::Kind::monthWeekDay;
  bool yearly = false;
  int firstMonthDay = 0;
  auto number = [](std::string_view text) -> std::optional<int> {
    if (text.empty() || text.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + (c - '0');
    }
    return n;
  };
  while (!rule.empty()) {
    auto semicolon = rule.find(';');
    std::string_view part = rule.substr(0, semicolon);
    rule.remove_prefix(semicolon == std::string_view::npos ? rule.size() : semicolon + 1);
    auto equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = part.substr(0, equals);
    std::string_view value = part.substr(equals + 1);
    if (name == "FREQ") {
      yearly = value == "YEARLY";
    } else if (name == "INTERVAL") {
      if (value != "1") return std::nullopt;
    } else if (name == "BYMONTH") {
      auto month = number(value);
      if (!month || *month < 1 || *month > 12) return std::nullopt;
      change.month = *month;
    } else if (name == "BYDAY") {
      if (value.size() < 2) return std::nullopt;
      std::string_view day = value.substr(value.size() - 2);
      std::string_view ordinal = value.substr(0, value.size() - 2);
      auto found = std::find(std::begin(kDays), std::end(kDays), day);
      if (found == std::end(kDays)) return std::nullopt;
      change.weekday = static_cast<int>(found - std::begin(kDays));
      if (ordinal == "-1") {
        change.week = 5;
      } else if (!ordinal.empty()) {
        auto n = number(ordinal.front() == '+' ? ordinal.substr(1) : ordinal);
        if (!n || *n < 1 || *n > 4) return std::nullopt;
        change.week = *n;
      }
    } else if (name == "BYMONTHDAY") {
      // Seven days in a row: d,d+1,...,d+6 with d one of 1, 8, 15, 22.
      auto first = number(value.substr(0, value.find(',')));
      if (!first || (*first - 1) % 7 != 0 || *first > 22) return std::nullopt;
      std::string expected;
      for (int d = *first; d < *first + 7; ++d) expected += (expected.empty() ? "" : ",") + std::to_string(d);
      if (value != expected) return std::nullopt;
      firstMonthDay = *first;
    } else if (name != "WKST") {
      return std::nullopt;
    }
  }
  if (firstMonthDay != 0) {
    if (change.week != 0) return std::nullopt;
    change.week = (firstMonthDay - 1) / 7 + 1;
  }
  if (!yearly || change.month == 0 || change.week == 0) return std::nullopt;
  // In the time in force before the change, as a VTIMEZONE's DTSTART is.
  change.time = start.hour * 3600 + start.minute * 60 + start.second;
  return change;
}

// The years a VTIMEZONE speaks for: from its first onset to its last, or on
// for ever with the onsets its open-ended RRULEs repeat.
struct Coverage {
  struct Onset {
    bool daylight;
    int to;
    icaltimetype start;
    std::string rule;
  };
  std::vector<Onset> openEnded;
  int earliest = 10000;
  int fixedUntil = 0;  // the last year of changes the rules do not repeat forever
  // The instants (UTC) of the first onset and of the last one not repeated for ever.
  std::int64_t firstOnset = kEndOfTime;
  std::int64_t lastOnset = kFirstMoment;
};

Coverage coverageOf(icalcomponent* definition) {
  Coverage coverage;
  auto& openEnded = coverage.openEnded;
  int& earliest = coverage.earliest;
  int& fixedUntil = coverage.fixedUntil;
  for (icalcomponent* c = icalcomponent_get_first_component(definition, ICAL_ANY_COMPONENT); c != nullptr;
       c = icalcomponent_get_next_component(definition, ICAL_ANY_COMPONENT)) {
    const icalcomponent_kind kind = icalcomponent_isa(c);
    if (kind != ICAL_XSTANDARD_COMPONENT && kind != ICAL_XDAYLIGHT_COMPONENT) continue;
    icalproperty* start = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
    icalproperty* to = icalcomponent_get_first_property(c, ICAL_TZOFFSETTO_PROPERTY);
    if (start == nullptr || to == nullptr) continue;
    const icaltimetype startTime = icalproperty_get_dtstart(start);
    icalproperty* fromOffset = icalcomponent_get_first_property(c, ICAL_TZOFFSETFROM_PROPERTY);
    const int before = fromOffset != nullptr ? icalproperty_get_tzoffsetfrom(fromOffset) : 0;
    // An onset's local time is in the offset before it; a UTC UNTIL is an instant.
    auto onset = [&](const icaltimetype& t) -> std::optional<std::int64_t> {
      auto written = writtenTime(t, nullptr);
      if (!written) return std::nullopt;
      return written->utc ? written->wall : written->wall - before;
    };
    auto last = [&](const icaltimetype& t) {
      fixedUntil = std::max(fixedUntil, t.year);
      if (auto at = onset(t)) coverage.lastOnset = std::max(coverage.lastOnset, *at);
    };
    earliest = std::min(earliest, startTime.year);
    if (auto at = onset(startTime)) coverage.firstOnset = std::min(coverage.firstOnset, *at);
    last(startTime);
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
      last(icalproperty_get_rdate(p).time);
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      icalrecurrencetype rule = icalproperty_get_rrule(p);
      if (!icaltime_is_null_time(rule.until)) {
        last(rule.until);
      } else if (rule.count > 0) {
        const int year = std::min(startTime.year + std::min(rule.count, 10000), 9998);
        fixedUntil = std::max(fixedUntil, year);
        coverage.lastOnset = std::max(coverage.lastOnset, daysFromCivil(year + 1, 1, 1) * kDay);
      } else {
        openEnded.push_back(Coverage::Onset{kind == ICAL_XDAYLIGHT_COMPONENT, icalproperty_get_tzoffsetto(to),
                                            startTime, takeBuffer(icalrecurrencetype_as_string_r(&rule))});
      }
    }
  }
  icalerror_clear_errno();
  return coverage;
}

// A VTIMEZONE as a zone: its changes, found through libical, over the years
// its rules list one by one and those its events use; past them the rule its
// open-ended RRULEs make, when they make one that agrees with libical for
// decades after (else the changes run on for a century past the events).
std::optional<Zone> zoneOfDefinition(const Coverage& coverage, const OffsetAt& defined, int firstYear,
                                     int lastYear) {
  using Onset = Coverage::Onset;
  const auto& openEnded = coverage.openEnded;
  const int earliest = coverage.earliest;
  const int fixedUntil = coverage.fixedUntil;
  if (earliest > 9999) return std::nullopt;

  std::optional<PosixZoneRule> rule;
  if (openEnded.size() == 2 && openEnded[0].to != openEnded[1].to) {
    // The onset with the larger offset is daylight time, whatever the file calls it.
    const bool firstIsDaylight = openEnded[0].to > openEnded[1].to;
    const Onset& daylight = openEnded[firstIsDaylight ? 0 : 1];
    const Onset& standard = openEnded[firstIsDaylight ? 1 : 0];
    auto toDaylight = yearlyChange(daylight.rule, daylight.start);
    auto toStandard = yearlyChange(standard.rule, standard.start);
    if (toDaylight && toStandard) {
      rule = PosixZoneRule{standard.to, daylight.to, *toDaylight, *toStandard};
    }
  }
  const int from = std::max(std::min(firstYear, 1970), earliest);
  const int listedUntil = std::min(std::max(fixedUntil, from) + 2, from + 400);
  auto build = [&](int until, std::optional<PosixZoneRule> after) {
    Zone zone;
    const std::int64_t begin = daysFromCivil(from, 1, 1) * kDay;
    const std::int64_t end = daysFromCivil(until, 1, 1) * kDay;
    zone.initialOffset = defined(begin);
    zone.transitions = offsetChanges(defined, begin, end);
    for (std::int64_t t : zone.transitions) zone.offsets.push_back(defined(t));
    zone.rule = std::move(after);
    return zone;
  };
  if (rule) {
    Zone zone = build(listedUntil, rule);
    const std::int64_t begin = daysFromCivil(from, 1, 1) * kDay;
    const std::int64_t end = daysFromCivil(std::max(listedUntil, lastYear + 1) + 30, 1, 1) * kDay;
    if (sameOffsets(defined, offsetsOf(zone), offsetChanges(defined, begin, end), begin, end)) return zone;
  }
  if (openEnded.empty()) return build(listedUntil, std::nullopt);
  return build(std::min(std::max(listedUntil, lastYear + 1) + 100, 9999), std::nullopt);
}

// A defined zone's TZID as exported ("Name#digest") read back without its
// digest, so that names do not grow with each trip through a file.
std::string_view withoutDigest(std::string_view tzid) {
  auto hash = tzid.rfind('#');
  if (hash == std::string_view::npos || tzid.size() - hash != 17) return tzid;
  std::string_view digest = tzid.substr(hash + 1);
  bool hex = std::all_of(digest.begin(), digest.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  return hex ? tzid.substr(0, hash) : tzid;
}

// Tells which zone each TZID of one VCALENDAR names, each once.
class ZoneResolver {
 public:
  // `written` and `ordinal` say where the calendar's definitions lie as
  // written: some may have been left out of what libical read.
  ZoneResolver(icalcomponent* calendar, ZoneCache& zones, const WrittenDefinitions& written, int ordinal)
      : calendar_(calendar), zones_(zones), written_(written), ordinal_(ordinal) {
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
      icalproperty* p = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
      const char* id = p != nullptr ? icalproperty_get_tzid(p) : nullptr;
      if (id != nullptr) definitions_.emplace(id, c);
    }
  }

  // The years the events using `tzid` cover: the span a zone must match in.
  void noteYears(const std::string& tzid, const YearSpan& years) { years_[tzid].add(years); }

  const Zone* resolve(const std::string& tzid, std::string* error) {
    if (auto found = resolved_.find(tzid); found != resolved_.end()) return found->second;
    const Zone* zone = byName(tzid);
    const std::optional<std::string_view> written = written_.text(ordinal_, tzid);
    auto definition = definitions_.find(tzid);
    if (definition == definitions_.end() && !written) {
      if (zone == nullptr) *error = "unknown time zone \"" + tzid + "\" (no VTIMEZONE for it in the file)";
    } else {
      // Servers hand every object out with the VTIMEZONEs it names: each
      // distinct one is worked out once per run.
      const Span events = spanOf(tzid);
      std::string key = written ? interpretationKey(tzid, events.firstYear, events.lastYear, *written)
                                : interpretationKey(tzid, events.firstYear, events.lastYear, definition->second);
      if (auto known = knownInterpretation(key, zones_)) {
        resolved_.emplace(tzid, *known);
        if (*known == nullptr) *error = "time zone \"" + tzid + "\" has a VTIMEZONE that cannot be read";
        return *known;
      }
      // One set aside, for years not yet worked out: read now, on its own.
      icalcomponent* calendar = calendar_;
      if (definition == definitions_.end()) {
        calendar = readSetAside(*written);
        icalcomponent* c = calendar != nullptr ? icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT) : nullptr;
        if (c == nullptr) {
          *error = "time zone \"" + tzid + "\" has a VTIMEZONE that cannot be read";
          resolved_.emplace(tzid, nullptr);
          return nullptr;
        }
        definition = definitions_.emplace(tzid, c).first;
      }
      if (zone == nullptr) zone = byLocation(definition->second);
      // The file's own definition is what its TZID means: a zone of that name
      // stands for it only where the two agree.
      icaltimezone* rules = icalcomponent_get_timezone(calendar, tzid.c_str());
      icalerror_clear_errno();
      const Coverage coverage = coverageOf(definition->second);
      if (rules != nullptr && coverage.firstOnset < kEndOfTime) {
        const OffsetAt defined = offsetsOf(rules);
        // Only where the definition speaks: a file may define a zone for the
        // years it needs, and leave the rest to the zone's name (RFC 5545 3.6.5).
        // A minute past the first onset: Outlook's may lie a second before the zone's.
        const std::int64_t spoken = coverage.firstOnset + 61;
        const std::int64_t spokenUntil = coverage.openEnded.empty() ? coverage.lastOnset + kDay : kEndOfTime;
        Span span = events;
        span.from = std::max(events.from, spoken);
        span.to = std::min(events.to, spokenUntil);
        if (span.from >= span.to && zone == nullptr) {
          // Nothing of the events' years: match by what the definition says at all.
          span.from = spoken;
          span.to = std::min(spokenUntil, spoken + 366 * kDay);
        }
        const std::vector<std::int64_t> changes = offsetChanges(defined, span.from, span.to);
        auto agrees = [&](const Zone* candidate) {
          return candidate != nullptr && sameOffsets(defined, offsetsOf(*candidate), changes, span.from, span.to);
        };
        if (span.from < span.to && !agrees(zone)) zone = nullptr;
        for (const std::string& name : candidateNames()) {
          if (zone != nullptr) break;
          if (const Zone* candidate = zones_.find(name); agrees(candidate)) zone = candidate;
        }
        if (zone == nullptr) zone = definedZone(tzid, coverage, defined, events);
      }
      if (zone == nullptr) *error = "time zone \"" + tzid + "\" has a VTIMEZONE that cannot be read";
      rememberInterpretation(std::move(key), zone);
      if (zone != nullptr && written && !repaired(definition->second)) rememberDefinitionRead(tzid, *written);
    }
    resolved_.emplace(tzid, zone);
    return zone;
  }

 private:
  // The instants a zone must be right in: the years its events use.
  struct Span {
    int firstYear, lastYear;
    std::int64_t from, to;
  };
  Span spanOf(const std::string& tzid) {
    YearSpan years = years_[tzid];
    if (years.first > years.last) years.add(currentYear());
    years.last = std::min(years.last, years.first + 200);
    return Span{years.first, years.last, daysFromCivil(years.first, 1, 1) * kDay,
                daysFromCivil(years.last + 1, 1, 1) * kDay};
  }

  // An IANA name, one with a prefix ("/mozilla.org/20050126_1/Europe/Berlin"),
  // the globally unique form ("/Europe/Berlin"), or a Windows name.
  const Zone* byName(std::string_view name) {
    if (name.empty()) return nullptr;
    if (const Zone* zone = byIanaName(name)) return zone;
    if (name.front() == '/') {
      for (auto slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
        std::string_view rest = name.substr(slash + 1);
        // Single words ("Berlin", "Japan") are too loose to take from a path.
        if (rest.find('/') == std::string_view::npos) break;
        if (const Zone* zone = byIanaName(rest)) return zone;
      }
    }
    for (const auto& entry : kWindowsZones) {
      if (entry.windows == name) return zones_.find(entry.iana);
    }
    return nullptr;
  }

  // A zone by its IANA name. Other files of the zone folder (localtime, the
  // posix/ and right/ copies) would store a name that is not the zone's.
  const Zone* byIanaName(std::string_view name) {
    for (std::string_view copies : {"posix/", "right/"}) {
      if (name.starts_with(copies)) name.remove_prefix(copies.size());
    }
    // A defined zone's name is the store's own, never a file's to use.
    if (name == "localtime" || name == "posixrules" || name.find("//") != std::string_view::npos ||
        name.ends_with('/') || isDefinedZoneName(name)) {
      return nullptr;
    }
    return zones_.find(name);
  }

  const Zone* byLocation(icalcomponent* definition) {
    for (icalproperty* p = icalcomponent_get_first_property(definition, ICAL_X_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(definition, ICAL_X_PROPERTY)) {
      const char* name = icalproperty_get_x_name(p);
      const char* value = icalproperty_get_x(p);
      if (name != nullptr && value != nullptr && equalsIgnoringCase(name, "X-LIC-LOCATION")) {
        if (const Zone* zone = byName(value)) return zone;
      }
    }
    return nullptr;
  }

  // The file's VTIMEZONE as a zone of its own, kept in the cache.
  const Zone* definedZone(const std::string& tzid, const Coverage& coverage, const OffsetAt& defined,
                          const Span& span) {
    std::optional<Zone> zone = zoneOfDefinition(coverage, defined, span.firstYear, span.lastYear);
    if (!zone) return nullptr;
    // Named by its content too: another file's zone of the same TZID may differ.
    std::string text = zoneText(*zone);
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    zone->name = std::string(kDefinedZonePrefix) + std::string(withoutDigest(tzid)) + "#" + hex;
    return zones_.add(std::move(*zone));
  }

  // Zones to try, the widely used ones first so that a match reads familiar:
  // those the Windows table names, every zone of zone.tab, then fixed offsets.
  static const std::vector<std::string>& candidateNames() {
    static const std::vector<std::string> names = [] {
      std::vector<std::string> list;
      std::set<std::string, std::less<>> seen;
      auto add = [&](std::string_view name) {
        if (seen.emplace(name).second) list.emplace_back(name);
      };
      for (const auto& entry : kWindowsZones) add(entry.iana);
      if (icalarray* builtin = icaltimezone_get_builtin_timezones()) {
        for (std::size_t i = 0; i < builtin->num_elements; ++i) {
          auto* zone = static_cast<icaltimezone*>(icalarray_element_at(builtin, i));
          if (const char* location = zone != nullptr ? icaltimezone_get_location(zone) : nullptr) add(location);
        }
      }
      icalerror_clear_errno();
      for (int hours = -14; hours <= 12; ++hours) {
        if (hours == 0) continue;
        add("Etc/GMT" + std::string(hours < 0 ? "-" : "+") + std::to_string(std::abs(hours)));
      }
      return list;
    }();
    return names;
  }

  // A definition set aside from what libical read, read on its own.
  icalcomponent* readSetAside(std::string_view written) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n";
    text.append(written);
    text += "END:VCALENDAR\r\n";
    OwnedComponent read(icalparser_parse_string(text.c_str()));
    icalerror_clear_errno();
    if (!read) return nullptr;
    setAside_.push_back(std::move(read));
    return setAside_.back().get();
  }

  // Whether libical had to mend anything in a component (a definition so is
  // never set aside: reading it again is what tells of the mending).
  static bool repaired(icalcomponent* component) {
    if (icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY) != nullptr) return true;
    for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
      if (repaired(c)) return true;
    }
    return false;
  }

  icalcomponent* calendar_;
  ZoneCache& zones_;
  const WrittenDefinitions& written_;
  int ordinal_;
  std::vector<OwnedComponent> setAside_;
  std::map<std::string, icalcomponent*> definitions_;  // VTIMEZONEs by TZID, owned by the calendar
  std::map<std::string, YearSpan> years_;
  std::map<std::string, const Zone*> resolved_;
};

// ---------------------------------------------------------------------------
// Reading events.

// A VEVENT as read from the file, before its times are placed in zones.
struct ReadEvent {
  std::string uid;
  bool ownUid = false;  // false: one made up for an event without UID
  int sequence = 0;
  std::optional<std::int64_t> stamp;  // DTSTAMP, UTC seconds
  std::string label;  // how messages name the event
  std::optional<std::string> title;
  EventStatus status = EventStatus::none;
  WrittenTime start;
  std::optional<WrittenTime> end;
  std::optional<icaldurationtype> duration;
  std::optional<std::string> rule;  // RRULE parts other than UNTIL and COUNT
  std::optional<WrittenTime> until;
  std::optional<std::int64_t> count;
  // Every RRULE after the first, each with its own end.
  struct Rule {
    std::string rule;
    std::optional<WrittenTime> until;
    std::optional<std::int64_t> count;
  };
  std::vector<Rule> moreRules;
  std::vector<WrittenTime> excluded;
  // RDATE values: a date or date-time, or a period (with its end or its duration).
  struct Extra {
    WrittenTime start;
    std::optional<WrittenTime> end;
    std::optional<icaldurationtype> duration;
  };
  std::vector<Extra> extraDates;
  // RECURRENCE-ID: the occurrence of the series of this UID that this one changes.
  std::optional<WrittenTime> recurrenceId;
  bool thisAndFuture = false;
};

EventStatus statusOf(icalproperty_status status) {
  switch (status) {
    case ICAL_STATUS_CONFIRMED: return EventStatus::confirmed;
    case ICAL_STATUS_TENTATIVE: return EventStatus::tentative;
    case ICAL_STATUS_CANCELLED: return EventStatus::cancelled;
    default: return EventStatus::none;
  }
}

std::optional<icalproperty_status> icalStatusOf(EventStatus status) {
  switch (status) {
    case EventStatus::confirmed: return ICAL_STATUS_CONFIRMED;
    case EventStatus::tentative: return ICAL_STATUS_TENTATIVE;
    case EventStatus::cancelled: return ICAL_STATUS_CANCELLED;
    default: return std::nullopt;
  }
}

class Reader {
 public:
  Reader(ZoneCache& zones, std::vector<std::optional<std::string>> summaries, const WrittenDefinitions& written)
      : zones_(zones), summaries_(std::move(summaries)), written_(written) {}

  // The UIDs given to events without one, in the order of their VEVENTs.
  const std::vector<std::string>& madeUpUids() const { return madeUpUids_; }

  bool readCalendar(icalcomponent* calendar, ParsedCalendar& parsed) {
    ZoneResolver resolver(calendar, zones_, written_, calendars_++);
    std::vector<ReadEvent> events;
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
      switch (icalcomponent_isa(c)) {
        case ICAL_VEVENT_COMPONENT: {
          const std::optional<std::string>* written = nextEvent_ < summaries_.size() ? &summaries_[nextEvent_] : nullptr;
          ++nextEvent_;
          auto event = readEvent(c, parsed.leftOut, written);
          if (!event) return false;
          if (*event) {
            noteYears(**event, resolver);
            events.push_back(std::move(**event));
          }
          break;
        }
        case ICAL_VTIMEZONE_COMPONENT: break;
        case ICAL_VTODO_COMPONENT: ++parsed.leftOut.toDos; break;
        case ICAL_VJOURNAL_COMPONENT: ++parsed.leftOut.journalEntries; break;
        default: ++parsed.leftOut.otherEntries; break;
      }
    }
    // Copies of one event edited over time, as some programs export them: the
    // newest stands (RFC 5546 2.1.4); copies nothing tells apart all stay.
    // A changed occurrence is a copy only of a change of the same occurrence.
    auto copyKey = [](const ReadEvent& event) {
      if (!event.recurrenceId) return event.uid;
      const WrittenTime& r = *event.recurrenceId;
      return event.uid + '\n' + std::to_string(r.wall) + (r.utc ? "Z" : "") + r.tzid.value_or("");
    };
    std::map<std::string, std::pair<int, std::optional<std::int64_t>>> newest;
    for (const ReadEvent& event : events) {
      if (!event.ownUid) continue;
      auto version = std::pair{event.sequence, event.stamp};
      auto [at, inserted] = newest.emplace(copyKey(event), version);
      if (!inserted && at->second < version) at->second = version;
    }
    std::erase_if(events, [&](const ReadEvent& event) {
      bool older = event.ownUid && std::pair{event.sequence, event.stamp} < newest[copyKey(event)];
      if (older) ++parsed.leftOut.olderCopies;
      return older;
    });
    // Two changes of one occurrence cannot both stand: of equal versions, the last in the file does.
    std::map<std::string, std::size_t> lastChange;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].recurrenceId) lastChange[copyKey(events[i])] = i;
    }
    for (std::size_t i = events.size(); i-- > 0;) {
      if (events[i].recurrenceId && lastChange[copyKey(events[i])] != i) {
        events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
        ++parsed.leftOut.olderCopies;
      }
    }
    const std::size_t first = parsed.events.size();
    droppedEnds_ = 0;
    for (const ReadEvent& event : events) {
      auto stored = place(event, resolver);
      if (!stored) return false;
      parsed.events.push_back(std::move(*stored));
    }
    parsed.leftOut.unreadableValues += droppedEnds_;
    // The occurrence a change stands in for, in its series' terms; with no
    // series in the file, in its own.
    std::map<std::string, std::size_t> seriesByUid;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (!events[i].recurrenceId) seriesByUid.emplace(events[i].uid, i);
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (!events[i].recurrenceId) continue;
      auto series = seriesByUid.find(events[i].uid);
      const std::size_t in = series != seriesByUid.end() ? series->second : i;
      auto wall = wallInSeries(events[in], parsed.events[first + in], *events[i].recurrenceId, resolver);
      if (!wall) return false;
      parsed.events[first + i].recurrenceId = ReplacedOccurrence{*wall, events[i].thisAndFuture};
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }
  std::nullopt_t refuse(std::string message) {
    error_ = std::move(message);
    return std::nullopt;
  }

  // The event, nothing for one the store does not keep (a changed occurrence),
  // or an error (outer nothing).
  std::optional<std::optional<ReadEvent>> readEvent(icalcomponent* c, LeftOut& leftOut,
                                                    const std::optional<std::string>* writtenSummary) {
    ReadEvent event;
    const char* uid = icalcomponent_get_uid(c);
    bool hasUid = uid != nullptr && *uid != '\0';
    event.uid = hasUid ? uid : newUuid();
    event.ownUid = hasUid;
    if (!hasUid) madeUpUids_.push_back(event.uid);
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_SEQUENCE_PROPERTY)) {
      event.sequence = icalproperty_get_sequence(p);
    }
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_DTSTAMP_PROPERTY)) {
      if (auto stamp = writtenTime(icalproperty_get_dtstamp(p), nullptr)) event.stamp = stamp->wall;
    }
    event.label = hasUid ? "event \"" + event.uid + "\"" : "an event without UID";
    // Messages are one line; a UID is text and may hold a line break.
    std::replace_if(event.label.begin(), event.label.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    for (auto [kind, name] : {std::pair{ICAL_DTSTART_PROPERTY, "DTSTART"}, std::pair{ICAL_DTEND_PROPERTY, "DTEND"},
                              std::pair{ICAL_DURATION_PROPERTY, "DURATION"}}) {
      if (icalcomponent_count_properties(c, kind) > 1) return refuse(event.label + " has more than one " + name);
    }
    icalproperty* start = icalcomponent_get_first_property(c, ICAL_DTSTART_PROPERTY);
    icalproperty* end = icalcomponent_get_first_property(c, ICAL_DTEND_PROPERTY);
    icalproperty* duration = icalcomponent_get_first_property(c, ICAL_DURATION_PROPERTY);
    if (start == nullptr) return refuse(event.label + " has no DTSTART");
    if (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RECURRENCEID_PROPERTY)) {
      event.recurrenceId = writtenTime(icalproperty_get_recurrenceid(p), p);
      if (!event.recurrenceId) {
        return refuse(event.label + ": RECURRENCE-ID is not a real date in the years 1 to 9999");
      }
      if (icalparameter* range = icalproperty_get_first_parameter(p, ICAL_RANGE_PARAMETER)) {
        event.thisAndFuture = icalparameter_get_range(range) == ICAL_RANGE_THISANDFUTURE;
      }
    }
    auto startTime = writtenTime(icalproperty_get_dtstart(start), start);
    if (!startTime) return refuse(event.label + ": DTSTART is not a real date in the years 1 to 9999");
    event.start = *startTime;
    if (end != nullptr && duration != nullptr) {
      duration = nullptr;  // RFC 5545 allows one of them; the end as written is kept
      ++leftOut.unreadableValues;
    }
    if (end != nullptr) {
      event.end = writtenTime(icalproperty_get_dtend(end), end);
      if (!event.end) return refuse(event.label + ": DTEND is not a real date in the years 1 to 9999");
      if (event.end->date != event.start.date) {
        return refuse(event.label + ": DTEND and DTSTART must both be dates or both date-times");
      }
    }
    if (duration != nullptr) event.duration = icalproperty_get_duration(duration);

    if (icalproperty* summary = icalcomponent_get_first_property(c, ICAL_SUMMARY_PROPERTY)) {
      const char* text = icalproperty_get_summary(summary);
      event.title = text != nullptr ? text : "";
      // The text as written, when it is what libical read but for blanks at
      // its ends (or begins with it: libical got a long one cut, long_lines.h).
      if (writtenSummary != nullptr && *writtenSummary &&
          (trimmed(**writtenSummary) == trimmed(*event.title) ||
           ((*writtenSummary)->size() > kLongLine && trimmed(**writtenSummary).starts_with(trimmed(*event.title))))) {
        event.title = **writtenSummary;
      }
    } else if (droppedEmptyProperty(c, "SUMMARY")) {
      event.title = "";  // an empty title, not none
    }
    if (icalproperty* status = icalcomponent_get_first_property(c, ICAL_STATUS_PROPERTY)) {
      event.status = statusOf(icalproperty_get_status(status));
    }

    int rules = 0;
    // A changed occurrence is one occurrence: whatever repeats is its series'.
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
         p != nullptr && !event.recurrenceId; p = icalcomponent_get_next_property(c, ICAL_RRULE_PROPERTY)) {
      if (rules++ > 0) {
        // The occurrences are the union of every rule's (RFC 5545 3.8.5.3).
        ReadEvent more;
        more.label = event.label;
        if (!readRule(icalproperty_get_rrule(p), more)) return std::nullopt;
        event.moreRules.push_back(ReadEvent::Rule{*more.rule, more.until, more.count});
        continue;
      }
      if (!readRule(icalproperty_get_rrule(p), event)) return std::nullopt;
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_EXDATE_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_EXDATE_PROPERTY)) {
      auto excluded = writtenTime(icalproperty_get_exdate(p), p);
      if (!excluded) return refuse(event.label + ": an EXDATE is not a real date in the years 1 to 9999");
      event.excluded.push_back(*excluded);
    }

    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_RDATE_PROPERTY);
         p != nullptr && !event.recurrenceId; p = icalcomponent_get_next_property(c, ICAL_RDATE_PROPERTY)) {
      const icaldatetimeperiodtype value = icalproperty_get_rdate(p);
      ReadEvent::Extra extra;
      std::optional<WrittenTime> at;
      if (!icaltime_is_null_time(value.time)) {
        at = writtenTime(value.time, p);
      } else {
        at = writtenTime(value.period.start, p);
        if (!icaltime_is_null_time(value.period.end)) {
          extra.end = writtenTime(value.period.end, p);
          if (!extra.end) at.reset();
        } else {
          extra.duration = value.period.duration;
        }
      }
      // A date that cannot be read adds no occurrence; the rest of the event stands.
      if (!at) {
        ++leftOut.unreadableValues;
        continue;
      }
      extra.start = *at;
      event.extraDates.push_back(std::move(extra));
    }
    // Without a rule or extra dates there is nothing to exclude from.
    if (event.recurrenceId || (!event.rule && event.extraDates.empty())) event.excluded.clear();

    leftOut.alarms += icalcomponent_count_components(c, ICAL_VALARM_COMPONENT);
    leftOut.attendees += icalcomponent_count_properties(c, ICAL_ATTENDEE_PROPERTY);
    leftOut.extraRules += icalcomponent_count_properties(c, ICAL_EXRULE_PROPERTY);
    // Empty ones (some programs write DESCRIPTION: on every event) lose nothing.
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_DESCRIPTION_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_DESCRIPTION_PROPERTY)) {
      const char* text = icalproperty_get_description(p);
      if (text != nullptr && *text != '\0') ++leftOut.descriptions;
    }
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_LOCATION_PROPERTY); p != nullptr;
         p = icalcomponent_get_next_property(c, ICAL_LOCATION_PROPERTY)) {
      const char* text = icalproperty_get_location(p);
      if (text != nullptr && *text != '\0') ++leftOut.locations;
    }
    return std::optional<ReadEvent>(std::move(event));
  }

  bool readRule(icalrecurrencetype rule, ReadEvent& event) {
    if (rule.freq == ICAL_NO_RECURRENCE) return fail(event.label + ": RRULE has no frequency");
    if (!icaltime_is_null_time(rule.until)) {
      event.until = writtenTime(rule.until, nullptr);
      if (!event.until) return fail(event.label + ": RRULE UNTIL is not a real date in the years 1 to 9999");
    }
    if (rule.count > 0) event.count = rule.count;
    rule.count = 0;
    rule.until = icaltime_null_time();
    std::string text = takeBuffer(icalrecurrencetype_as_string_r(&rule));
    icalerror_clear_errno();
    if (!ruleIsValid(text)) return fail(event.label + ": RRULE cannot be read");
    event.rule = std::move(text);
    return true;
  }

  // Tells the resolver which years each zone must be right in.
  void noteYears(const ReadEvent& event, ZoneResolver& resolver) {
    if (event.start.date) return;  // all-day events read only the dates of what they are given
    std::int64_t last = event.end ? std::max(event.end->wall, event.start.wall) : event.start.wall;
    auto lastOf = [&](const ReadEvent& ruled) {
      if (ruled.until) {
        last = std::max(last, ruled.until->wall);
      } else if (auto counted = lastCountedStart(ruled)) {
        last = std::max(last, *counted + (ruled.end ? ruled.end->wall - ruled.start.wall : 0));
      } else {
        // Open or counted: up to next year at least, where a series people still use runs.
        last = std::max(last, daysFromCivil(currentYear() + 1, 12, 31) * kDay);
      }
    };
    if (event.rule) lastOf(event);
    for (const ReadEvent::Rule& rule : event.moreRules) {
      ReadEvent ruled;
      ruled.start = event.start;
      ruled.end = event.end;
      ruled.rule = rule.rule;
      ruled.until = rule.until;
      ruled.count = rule.count;
      lastOf(ruled);
    }
    if (event.start.tzid) resolver.noteYears(*event.start.tzid, spanOf(event.start.wall, last));
    if (event.end && event.end->tzid) resolver.noteYears(*event.end->tzid, spanOf(event.end->wall, event.end->wall));
    for (const WrittenTime& t : event.excluded) {
      if (t.tzid) resolver.noteYears(*t.tzid, spanOf(t.wall, t.wall));
    }
    for (const ReadEvent::Extra& extra : event.extraDates) {
      if (extra.start.tzid) resolver.noteYears(*extra.start.tzid, spanOf(extra.start.wall, extra.start.wall));
      if (extra.end && extra.end->tzid) resolver.noteYears(*extra.end->tzid, spanOf(extra.end->wall, extra.end->wall));
    }
    if (event.recurrenceId && event.recurrenceId->tzid) {
      resolver.noteYears(*event.recurrenceId->tzid, spanOf(event.recurrenceId->wall, event.recurrenceId->wall));
    }
  }

  // The wall time of a counted series' last start, stepped in the written times.
  std::optional<std::int64_t> lastCountedStart(const ReadEvent& event) {
    if (!event.count || *event.count > 100000 || !event.rule) return std::nullopt;
    Series series;
    series.rule = *event.rule;
    series.start = static_cast<double>(event.start.wall);
    series.zone = &zones_.utc();
    series.count = event.count;
    std::optional<std::int64_t> last;
    bool expanded = expandSeries(series, static_cast<double>(kFirstMoment), static_cast<double>(kEndOfTime),
                                 [&](const Occurrence& o) {
                                   last = o.wall;
                                   return true;
                                 });
    if (!expanded) return std::nullopt;
    return last;
  }

  static YearSpan spanOf(std::int64_t fromWall, std::int64_t toWall) {
    YearSpan span;
    span.add(yearOf(fromWall));
    span.add(yearOf(toWall));
    return span;
  }

  // The day an all-day series ends by a UNTIL written in UTC (Outlook writes
  // these, though RFC 5545 wants a date): the local midnight that starts its
  // last day, where the writer was. For a writer up to 12 hours either side of
  // UTC that is the midnight nearest the instant, whatever zone reads the
  // file; 23:59 and later is taken as the end of its own day.
  static std::int64_t lastDayOfUtcUntil(std::int64_t utc) {
    const std::int64_t day = floorDiv(utc, kDay);
    const std::int64_t time = utc - day * kDay;
    if (time >= 23 * 3600 + 59 * 60) return day * kDay;
    return floorDiv(utc + kDay / 2, kDay) * kDay;
  }

  // The instant a date-time names: UTC as written, a TZID's time in that zone,
  // a floating time in the local zone.
  struct Placed {
    const Zone* zone;
    std::int64_t epoch;
  };
  std::optional<Placed> placeTime(const WrittenTime& t, ZoneResolver& resolver, const ReadEvent& event) {
    const Zone* zone = nullptr;
    if (t.utc) {
      zone = &zones_.utc();
    } else if (t.tzid) {
      std::string error;
      zone = resolver.resolve(*t.tzid, &error);
      if (zone == nullptr) return refuse(event.label + ": " + error);
    } else {
      zone = &zones_.local();
    }
    return Placed{zone, t.utc ? t.wall : wallToEpoch(*zone, t.wall)};
  }

  // A date or date-time that names an occurrence of `series` (EXDATE, RDATE,
  // RECURRENCE-ID) as the store keeps it: the wall time of the occurrence's
  // start in the series' zone, whatever zone or value type the file wrote it
  // in (local midnight for an all-day series; a date takes the series' time of day).
  std::optional<std::int64_t> wallInSeries(const ReadEvent& series, const StoredEvent& placed, const WrittenTime& t,
                                           ZoneResolver& resolver) {
    if (series.start.date) {
      if (t.date) return t.wall;
      if (t.utc) return floorDiv(epochToWall(zones_.local(), t.wall), kDay) * kDay;
      return floorDiv(t.wall, kDay) * kDay;
    }
    if (!placed.timeZone) {
      const std::int64_t start = series.start.wall;
      if (t.date) return t.wall + (start - floorDiv(start, kDay) * kDay);
      if (!t.utc && !t.tzid) return t.wall;
      auto at = placeTime(t, resolver, series);
      if (!at) return std::nullopt;
      return epochToWall(zones_.local(), at->epoch);
    }
    auto start = placeTime(series.start, resolver, series);
    if (!start) return std::nullopt;
    const std::int64_t startWall = epochToWall(*start->zone, start->epoch);
    if (t.date) return t.wall + (startWall - floorDiv(startWall, kDay) * kDay);
    auto at = placeTime(t, resolver, series);
    if (!at) return std::nullopt;
    return epochToWall(*start->zone, at->epoch);
  }

  std::optional<StoredEvent> place(const ReadEvent& event, ZoneResolver& resolver) {
    StoredEvent stored;
    stored.externalIdentifier = event.uid;
    stored.title = event.title;
    stored.status = event.status;
    stored.rule = event.rule;
    stored.count = event.count;
    std::int64_t nominal = 0;  // days and weeks of DURATION: wall-clock time
    std::int64_t exact = 0;  // its hours, minutes and seconds
    if (event.duration) {
      const icaldurationtype& d = *event.duration;
      nominal = (static_cast<std::int64_t>(d.weeks) * 7 + d.days) * kDay;
      exact = static_cast<std::int64_t>(d.hours) * 3600 + static_cast<std::int64_t>(d.minutes) * 60 + d.seconds;
      if (d.is_neg) {
        nominal = -nominal;
        exact = -exact;
      }
    }

    std::function<double(const WrittenTime&)> untilOf;
    if (event.start.date) {
      // All-day events float: wall seconds throughout.
      stored.allDay = true;
      std::int64_t start = event.start.wall;
      std::int64_t end = event.end ? event.end->wall : event.duration ? start + nominal + exact : start + kDay;
      stored.start = static_cast<double>(start);
      stored.end = static_cast<double>(end);
      // A date includes its day's occurrence, which starts at its midnight.
      untilOf = [](const WrittenTime& u) { return static_cast<double>(u.utc ? lastDayOfUtcUntil(u.wall) : u.wall); };
    } else if (!event.start.utc && !event.start.tzid) {
      // Floating: the same clock time wherever it is looked at (RFC 5545
      // 3.3.5), so wall seconds, read in the local zone only when listed.
      const Zone& local = zones_.local();
      auto wallOf = [&](const WrittenTime& t) -> std::optional<std::int64_t> {
        if (!t.utc && !t.tzid) return t.wall;
        auto placed = placeTime(t, resolver, event);
        if (!placed) return std::nullopt;
        return epochToWall(local, placed->epoch);
      };
      const std::int64_t start = event.start.wall;
      stored.start = static_cast<double>(start);
      if (event.end) {
        auto end = wallOf(*event.end);
        if (!end) return std::nullopt;
        stored.end = static_cast<double>(*end);
      } else {
        stored.end = static_cast<double>(start + nominal + exact);
      }
      untilOf = [in = &local](const WrittenTime& u) {
        if (u.date) return static_cast<double>(u.wall + kDay - 1);
        return static_cast<double>(u.utc ? epochToWall(*in, u.wall) : u.wall);
      };
    } else {
      auto start = placeTime(event.start, resolver, event);
      if (!start) return std::nullopt;
      const Zone& zone = *start->zone;
      stored.timeZone = zone.name;
      stored.start = static_cast<double>(start->epoch);
      const std::int64_t startWall = epochToWall(zone, start->epoch);
      if (event.end) {
        auto end = placeTime(*event.end, resolver, event);
        if (!end) return std::nullopt;
        stored.end = static_cast<double>(end->epoch);
      } else if (event.duration) {
        stored.end = static_cast<double>(wallToEpoch(zone, startWall + nominal) + exact);
        // Each occurrence keeps the days on its own clock (RFC 5545 3.8.5.3).
        if (event.rule && nominal > 0) stored.nominalDays = nominal / kDay;
      } else {
        stored.end = stored.start;
      }
      untilOf = [in = &zone](const WrittenTime& u) {
        if (u.date) return static_cast<double>(wallToEpoch(*in, u.wall + kDay - 1));
        if (u.utc) return static_cast<double>(u.wall);
        // Floating, as RFC 5545 has it for a floating start: read in the event's zone.
        return static_cast<double>(wallToEpoch(*in, u.wall));
      };
    }
    for (const WrittenTime& t : event.excluded) {
      auto excluded = wallInSeries(event, stored, t, resolver);
      if (!excluded) return std::nullopt;
      stored.excluded.push_back(*excluded);
    }
    for (const ReadEvent::Extra& extra : event.extraDates) {
      auto wall = wallInSeries(event, stored, extra.start, resolver);
      if (!wall) return std::nullopt;
      ExtraDate date{*wall, std::nullopt};
      if (extra.end) {
        const bool floating = !extra.start.utc && !extra.start.tzid && !extra.end->utc && !extra.end->tzid;
        if (floating) {
          date.duration = static_cast<double>(extra.end->wall - extra.start.wall);
        } else {
          auto from = placeTime(extra.start, resolver, event);
          auto to = from ? placeTime(*extra.end, resolver, event) : std::nullopt;
          if (!to) return std::nullopt;
          date.duration = static_cast<double>(to->epoch - from->epoch);
        }
      } else if (extra.duration) {
        date.duration = static_cast<double>(icaldurationtype_as_int(*extra.duration));
      }
      if (date.duration && *date.duration < 0) date.duration = 0.0;
      stored.extraDates.push_back(date);
    }
    std::sort(stored.extraDates.begin(), stored.extraDates.end(),
              [](const ExtraDate& a, const ExtraDate& b) { return a.wall < b.wall; });
    stored.extraDates.erase(std::unique(stored.extraDates.begin(), stored.extraDates.end(),
                                        [](const ExtraDate& a, const ExtraDate& b) { return a.wall == b.wall; }),
                            stored.extraDates.end());
    if (!stored.rule && !stored.extraDates.empty()) stored.rule = "";  // repeats by its extra dates alone
    if (event.until) stored.until = untilOf(*event.until);
    if (!event.moreRules.empty() && event.rule) {
      // Each rule keeps its own end; the row's end is left for cutting the whole short.
      std::vector<Series::Rule> rules{{*event.rule, stored.until, event.count}};
      for (const ReadEvent::Rule& more : event.moreRules) {
        std::optional<double> until;
        if (more.until) until = untilOf(*more.until);
        if (until && !writable(*until)) return refuse(event.label + " lies outside the years 1 to 9999");
        rules.push_back(Series::Rule{more.rule, until, more.count});
      }
      stored.rule = ruleSetText(rules);
      stored.until.reset();
      stored.count.reset();
    }
    if (stored.end < stored.start) {
      // An end before the start says nothing usable about the length.
      stored.end = stored.start;
      stored.nominalDays = 0;
      ++droppedEnds_;
    }
    if (!writable(stored.start) || !writable(stored.end) || (stored.until && !writable(*stored.until))) {
      return refuse(event.label + " lies outside the years 1 to 9999");
    }
    std::sort(stored.excluded.begin(), stored.excluded.end());
    stored.excluded.erase(std::unique(stored.excluded.begin(), stored.excluded.end()), stored.excluded.end());
    return stored;
  }

  ZoneCache& zones_;
  std::vector<std::optional<std::string>> summaries_;  // as written, by VEVENT in the file's order
  const WrittenDefinitions& written_;
  int calendars_ = 0;  // VCALENDARs read so far
  std::vector<std::string> madeUpUids_;
  std::size_t nextEvent_ = 0;
  std::string error_;
  int droppedEnds_ = 0;  // ends before their start, not kept
};

// ---------------------------------------------------------------------------
// Writing.

icaltimetype icalTime(std::int64_t wall, bool date, bool utc) {
  std::int64_t day = floorDiv(wall, kDay);
  std::int64_t rest = wall - day * kDay;
  CivilDate civil = civilFromDays(day);
  icaltimetype t = icaltime_null_time();
  t.year = civil.year;
  t.month = civil.month;
  t.day = civil.day;
  t.is_date = date ? 1 : 0;
  if (!date) {
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.zone = utc ? icaltimezone_get_utc_timezone() : nullptr;
  }
  return t;
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

// One STANDARD or DAYLIGHT onset: the change at `at` (UTC), with a yearly rule or none.
icalcomponent* onsetOf(std::int64_t at, int before, int after, const PosixZoneRule::Change* yearly) {
  icalcomponent* onset = after > before ? icalcomponent_new_xdaylight() : icalcomponent_new_xstandard();
  // DTSTART is the local time in force before the change.
  icalcomponent_add_property(onset, icalproperty_new_dtstart(icalTime(at + before, false, false)));
  icalcomponent_add_property(onset, icalproperty_new_tzoffsetfrom(before));
  icalcomponent_add_property(onset, icalproperty_new_tzoffsetto(after));
  if (yearly != nullptr) {
    static constexpr const char* kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    std::string rule = "FREQ=YEARLY;BYMONTH=" + std::to_string(yearly->month) + ";BYDAY=" +
                       (yearly->week == 5 ? "-1" : std::to_string(yearly->week)) + kDays[yearly->weekday];
    icalcomponent_add_property(onset, icalproperty_new_rrule(icalrecurrencetype_from_string(rule.c_str())));
    icalerror_clear_errno();
  }
  return onset;
}

// A VTIMEZONE for a zone a file defined: its listed changes, then its yearly
// rule from the first two changes it makes (or, for a rule a VTIMEZONE cannot
// write, its changes for a century on). Owned by the caller.
OwnedComponent definitionOfDefined(const Zone& zone) {
  OwnedComponent definition(icalcomponent_new_vtimezone());
  icalcomponent_add_property(definition.get(), icalproperty_new_tzid(tzidOf(zone).c_str()));
  const OffsetAt offsets = offsetsOf(zone);
  std::vector<std::int64_t> changes = zone.transitions;
  const std::int64_t last = changes.empty() ? daysFromCivil(1970, 1, 1) * kDay : changes.back();
  const bool yearly = zone.rule && zone.rule->daylightOffset &&
                      zone.rule->toDaylight.kind == PosixZoneRule::Change::Kind::monthWeekDay &&
                      zone.rule->toStandard.kind == PosixZoneRule::Change::Kind::monthWeekDay;
  std::vector<std::int64_t> ruled;
  if (yearly) {
    ruled = offsetChanges(offsets, last + 1, last + 3 * 366 * kDay);
    if (ruled.size() > 2) ruled.resize(2);
  } else if (zone.rule && zone.rule->daylightOffset) {
    for (std::int64_t t : offsetChanges(offsets, last + 1, last + 100 * 366 * kDay)) changes.push_back(t);
  }
  int before = zone.initialOffset;
  for (std::int64_t t : changes) {
    int after = offsets(t);
    icalcomponent_add_component(definition.get(), onsetOf(t, before, after, nullptr));
    before = after;
  }
  if (changes.empty()) {
    // A fixed offset: one onset that changes nothing.
    icalcomponent_add_component(definition.get(), onsetOf(last, before, before, nullptr));
  }
  for (std::int64_t t : ruled) {
    int from = offsets(t - 1);
    int to = offsets(t);
    const PosixZoneRule::Change& change = to == *zone.rule->daylightOffset ? zone.rule->toDaylight
                                                                            : zone.rule->toStandard;
    icalcomponent_add_component(definition.get(), onsetOf(t, from, to, &change));
  }
  return definition;
}

// The stretch of time the events naming one zone take, in UTC seconds.
struct ZoneUse {
  std::int64_t from = std::numeric_limits<std::int64_t>::max();
  std::int64_t to = std::numeric_limits<std::int64_t>::min();
  bool endless = false;  // a series without UNTIL: the zone's continuing rule is needed

  void cover(const StoredEvent& event) {
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
};

// A zone's POSIX rule as a yearly STANDARD and DAYLIGHT pair, when RRULE can say it:
// month, nth or last weekday, at a time within that day.
bool yearlyRuleWritable(const PosixZoneRule& rule) {
  auto fits = [](const PosixZoneRule::Change& c) {
    return c.kind == PosixZoneRule::Change::Kind::monthWeekDay && c.time >= 0 && c.time < kDay;
  };
  return rule.daylightOffset && fits(rule.toDaylight) && fits(rule.toStandard);
}

// A VTIMEZONE for an IANA zone that holds only what `use` needs: the onset in
// force at its start, every change up to its end, and for an endless use the
// yearly rule the zone continues with, from where its listed changes and that
// rule agree. A zone's whole history (back to 1893 for some) would otherwise
// go into every file. Owned by the caller.
OwnedComponent definitionOver(const Zone& zone, const ZoneUse& use) {
  OwnedComponent definition(icalcomponent_new_vtimezone());
  icalcomponent_add_property(definition.get(), icalproperty_new_tzid(zone.name.c_str()));
  const OffsetAt offsets = offsetsOf(zone);
  constexpr std::int64_t kYear = 366 * kDay;
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
    icalcomponent_add_component(definition.get(), onsetOf(*inForce, offsets(*inForce - 1), offsets(*inForce), nullptr));
  } else {
    // Nothing ever changed before: one onset that changes nothing, a day ahead of the start.
    const int offset = offsets(use.from);
    icalcomponent_add_component(definition.get(),
                                onsetOf(std::max(use.from - kDay, kFirstMoment), offset, offset, nullptr));
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
    icalcomponent_add_component(definition.get(), onsetOf(t, offsets(t - 1), offsets(t), nullptr));
  }
  if (yearly && ruled != std::numeric_limits<std::int64_t>::max()) {
    for (std::int64_t t : offsetChanges(offsets, ruled - 1, ruled + 2 * kYear)) {
      if (t >= ruled + kYear) break;
      const int from = offsets(t - 1);
      const int to = offsets(t);
      const PosixZoneRule::Change& change = to == *zone.rule->daylightOffset ? zone.rule->toDaylight
                                                                              : zone.rule->toStandard;
      icalcomponent_add_component(definition.get(), onsetOf(t, from, to, &change));
    }
  }
  return definition;
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

std::string describe(const LeftOut& leftOut) {
  struct Kind {
    int LeftOut::*count;
    std::string_view one;
    std::string_view many;
  };
  static constexpr Kind kKinds[] = {
      {&LeftOut::alarms, "alarm", "alarms"},
      {&LeftOut::attendees, "attendee", "attendees"},
      {&LeftOut::extraRules, "extra rule", "extra rules"},
      {&LeftOut::descriptions, "description", "descriptions"},
      {&LeftOut::locations, "location", "locations"},
      {&LeftOut::toDos, "to-do", "to-dos"},
      {&LeftOut::journalEntries, "journal entry", "journal entries"},
      {&LeftOut::otherEntries, "other entry", "other entries"},
      {&LeftOut::olderCopies, "older copy", "older copies"},
      {&LeftOut::unreadableValues, "unreadable value", "unreadable values"},
  };
  std::string text;
  for (const Kind& kind : kKinds) {
    int n = leftOut.*kind.count;
    if (n <= 0) continue;
    if (!text.empty()) text += ", ";
    text += std::to_string(n) + " ";
    text += n == 1 ? kind.one : kind.many;
  }
  return text;
}

std::span<const WindowsZone> windowsZones() { return kWindowsZones; }

ParsedCalendar parseICalendar(std::string_view text, ZoneCache& zones) {
  ParsedCalendar parsed;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  std::string cleaned;
  parsed.error = frameError(text, cleaned, parsed.leftOut.unreadableValues);
  if (!parsed.error.empty()) return parsed;
  text = cleaned;

  // Malformed data must come back as an error, never end the process.
  icalerror_set_errors_are_fatal(0);
  // Each VTIMEZONE read and understood before in this run is left out of
  // what libical reads (zone_interpretation.h).
  const WrittenDefinitions written(text);
  std::optional<std::string> owned = linesForLibical(written.forLibical(), &parsed.error);
  if (!owned) return parsed;
  OwnedComponent root(icalparser_parse_string(owned->c_str()));
  icalerror_clear_errno();
  if (!root) {
    parsed.error = "not an iCalendar file";
    return parsed;
  }
  if (const char* repair = firstRepair(root.get(), parsed.leftOut.unreadableValues)) {
    parsed.error = std::string("malformed: ") + repair;
    return parsed;
  }
  std::vector<icalcomponent*> calendars;
  if (icalcomponent_isa(root.get()) == ICAL_VCALENDAR_COMPONENT) {
    calendars.push_back(root.get());
  } else {
    for (icalcomponent* c = icalcomponent_get_first_component(root.get(), ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(root.get(), ICAL_ANY_COMPONENT)) {
      calendars.push_back(c);
    }
  }
  Reader reader(zones, writtenSummaries(text), written);
  for (icalcomponent* calendar : calendars) {
    if (icalcomponent_isa(calendar) != ICAL_VCALENDAR_COMPONENT || !reader.readCalendar(calendar, parsed)) {
      parsed.events.clear();
      parsed.error = reader.error().empty() ? "not an iCalendar file" : reader.error();
      return parsed;
    }
  }
  parsed.objects = keptObjects(text, reader.madeUpUids());
  return parsed;
}

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
    OwnedComponent definition = isDefinedZoneName(zone->name) ? definitionOfDefined(*zone) : definitionOver(*zone, use);
    icalcomponent_add_component(calendar.get(), definition.release());
  }
  for (OwnedComponent& component : components) icalcomponent_add_component(calendar.get(), component.release());
  written.text = takeBuffer(icalcomponent_as_ical_string_r(calendar.get()));
  icalerror_clear_errno();
  return written;
}

}  // namespace calbridge
