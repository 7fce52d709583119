#include "calendar/time_zone.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace calbridge {

namespace {

// The day (days since 1970) on which a rule's change falls in `year`.
std::int64_t changeDay(const PosixZoneRule::Change& change, int year) {
  using Kind = PosixZoneRule::Change::Kind;
  std::int64_t january1 = daysFromCivil(year, 1, 1);
  switch (change.kind) {
    case Kind::julianNoLeap:
      return january1 + change.day - 1 + (isLeap(year) && change.day >= 60 ? 1 : 0);
    case Kind::dayOfYear:
      return january1 + change.day;
    case Kind::monthWeekDay: {
      std::int64_t first = daysFromCivil(year, change.month, 1);
      int firstWeekday = weekdayOf(first);
      std::int64_t day = first + (change.weekday - firstWeekday + 7) % 7 + 7 * (change.week - 1);
      int monthLength = static_cast<int>(daysFromCivil(change.month == 12 ? year + 1 : year,
                                                       change.month == 12 ? 1 : change.month + 1, 1) - first);
      while (day >= first + monthLength) day -= 7;  // week 5 means the last one
      return day;
    }
  }
  return january1;
}

// Reads a POSIX TZ text piece by piece.
class RuleReader {
 public:
  explicit RuleReader(std::string_view text) : text_(text) {}
  bool done() const { return at_ == text_.size(); }
  bool take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool peekDigitOrSign() const {
    return at_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '+' ||
                                  text_[at_] == '-');
  }
  // A zone abbreviation: three or more letters, or anything in angle brackets.
  bool name() {
    if (take('<')) {
      auto close = text_.find('>', at_);
      if (close == std::string_view::npos || close - at_ < 3) return false;
      at_ = close + 1;
      return true;
    }
    std::size_t begin = at_;
    while (at_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[at_]))) ++at_;
    return at_ - begin >= 3;
  }
  std::optional<int> number(int maxDigits) {
    std::size_t begin = at_;
    int n = 0;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])) && at_ - begin < 
           static_cast<std::size_t>(maxDigits)) {
      n = n * 10 + (text_[at_++] - '0');
    }
    if (at_ == begin) return std::nullopt;
    return n;
  }
  // [+-]hh[:mm[:ss]] in seconds; hours up to 167 as TZif version 3 allows.
  std::optional<std::int32_t> duration() {
    int sign = 1;
    if (take('-')) sign = -1;
    else take('+');
    auto hours = number(3);
    if (!hours || *hours > 167) return std::nullopt;
    std::int32_t seconds = *hours * 3600;
    if (take(':')) {
      auto minutes = number(2);
      if (!minutes || *minutes > 59) return std::nullopt;
      seconds += *minutes * 60;
      if (take(':')) {
        auto rest = number(2);
        if (!rest || *rest > 59) return std::nullopt;
        seconds += *rest;
      }
    }
    return sign * seconds;
  }
  std::optional<PosixZoneRule::Change> change() {
    PosixZoneRule::Change c;
    using Kind = PosixZoneRule::Change::Kind;
    if (take('M')) {
      auto month = number(2);
      if (!month || *month < 1 || *month > 12 || !take('.')) return std::nullopt;
      auto week = number(1);
      if (!week || *week < 1 || *week > 5 || !take('.')) return std::nullopt;
      auto weekday = number(1);
      if (!weekday || *weekday > 6) return std::nullopt;
      c.kind = Kind::monthWeekDay;
      c.month = *month;
      c.week = *week;
      c.weekday = *weekday;
    } else if (take('J')) {
      auto day = number(3);
      if (!day || *day < 1 || *day > 365) return std::nullopt;
      c.kind = Kind::julianNoLeap;
      c.day = *day;
    } else {
      auto day = number(3);
      if (!day || *day > 365) return std::nullopt;
      c.kind = Kind::dayOfYear;
      c.day = *day;
    }
    if (take('/')) {
      auto time = duration();
      if (!time) return std::nullopt;
      c.time = *time;
    }
    return c;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

std::uint32_t read32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::int64_t read64(const unsigned char* p) {
  return static_cast<std::int64_t>((std::uint64_t{read32(p)} << 32) | read32(p + 4));
}

}  // namespace

std::int32_t PosixZoneRule::offsetAt(std::int64_t epoch) const {
  if (!daylightOffset) return standardOffset;
  int year = civilFromDays(floorDiv(epoch + standardOffset, kDay)).year;
  // Each change happens at a local time read in the time in force before it.
  std::int64_t toDaylightAt = changeDay(toDaylight, year) * kDay + toDaylight.time - standardOffset;
  std::int64_t toStandardAt = changeDay(toStandard, year) * kDay + toStandard.time - *daylightOffset;
  bool daylight = toDaylightAt < toStandardAt ? epoch >= toDaylightAt && epoch < toStandardAt
                                              : !(epoch >= toStandardAt && epoch < toDaylightAt);
  return daylight ? *daylightOffset : standardOffset;
}

std::optional<PosixZoneRule> parsePosixZoneRule(std::string_view text) {
  RuleReader reader(text);
  PosixZoneRule rule;
  if (!reader.name()) return std::nullopt;
  auto standard = reader.duration();
  if (!standard) return std::nullopt;
  rule.standardOffset = -*standard;  // POSIX counts hours west of Greenwich
  if (reader.done()) return rule;
  if (!reader.name()) return std::nullopt;
  rule.daylightOffset = rule.standardOffset + 3600;
  if (reader.peekDigitOrSign()) {
    auto daylight = reader.duration();
    if (!daylight) return std::nullopt;
    rule.daylightOffset = -*daylight;
  }
  if (reader.done()) {
    // No rule given: the United States' current one, as the C library assumes.
    rule.toDaylight = {PosixZoneRule::Change::Kind::monthWeekDay, 3, 2, 0, 0, 7200};
    rule.toStandard = {PosixZoneRule::Change::Kind::monthWeekDay, 11, 1, 0, 0, 7200};
    return rule;
  }
  if (!reader.take(',')) return std::nullopt;
  auto toDaylight = reader.change();
  if (!toDaylight || !reader.take(',')) return std::nullopt;
  auto toStandard = reader.change();
  if (!toStandard || !reader.done()) return std::nullopt;
  rule.toDaylight = *toDaylight;
  rule.toStandard = *toStandard;
  return rule;
}

namespace {

std::string durationText(std::int32_t seconds) {
  std::string text = seconds < 0 ? "-" : "";
  std::int64_t magnitude = std::abs(static_cast<std::int64_t>(seconds));
  text += std::to_string(magnitude / 3600);
  auto two = [&](std::int64_t n) { text += (n < 10 ? ":0" : ":") + std::to_string(n); };
  two(magnitude / 60 % 60);
  two(magnitude % 60);
  return text;
}

std::string changeText(const PosixZoneRule::Change& change) {
  using Kind = PosixZoneRule::Change::Kind;
  std::string text = ",";
  switch (change.kind) {
    case Kind::monthWeekDay:
      text += "M" + std::to_string(change.month) + "." + std::to_string(change.week) + "." +
              std::to_string(change.weekday);
      break;
    case Kind::julianNoLeap: text += "J" + std::to_string(change.day); break;
    case Kind::dayOfYear: text += std::to_string(change.day); break;
  }
  return text + "/" + durationText(change.time);
}

}  // namespace

std::string posixZoneRuleText(const PosixZoneRule& rule) {
  // POSIX counts hours west of Greenwich.
  std::string text = "STD" + durationText(-rule.standardOffset);
  if (!rule.daylightOffset) return text;
  return text + "DST" + durationText(-*rule.daylightOffset) + changeText(rule.toDaylight) +
         changeText(rule.toStandard);
}

bool isDefinedZoneName(std::string_view name) {
  return name.size() > kDefinedZonePrefix.size() && name.starts_with(kDefinedZonePrefix);
}

// "initial offset|rule|transition offset transition offset ..."
std::string zoneText(const Zone& zone) {
  std::string text = std::to_string(zone.initialOffset) + "|" + (zone.rule ? posixZoneRuleText(*zone.rule) : "") + "|";
  for (std::size_t i = 0; i < zone.transitions.size(); ++i) {
    if (i > 0) text += ' ';
    text += std::to_string(zone.transitions[i]) + " " + std::to_string(zone.offsets[i]);
  }
  return text;
}

std::optional<Zone> zoneFromText(std::string_view name, std::string_view text) {
  auto first = text.find('|');
  auto second = first == std::string_view::npos ? first : text.find('|', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  auto integer = [](std::string_view digits, std::int64_t low, std::int64_t high) -> std::optional<std::int64_t> {
    std::string owned(digits);
    if (owned.empty() || owned.size() > 20) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(owned.c_str(), &end, 10);
    if (errno != 0 || end != owned.c_str() + owned.size() || value < low || value > high) return std::nullopt;
    return value;
  };
  constexpr std::int64_t kOffsetLimit = 7 * 86400;  // as TZif version 3 allows
  Zone zone;
  zone.name = std::string(name);
  auto initial = integer(text.substr(0, first), -kOffsetLimit, kOffsetLimit);
  if (!initial) return std::nullopt;
  zone.initialOffset = static_cast<std::int32_t>(*initial);
  std::string_view rule = text.substr(first + 1, second - first - 1);
  if (!rule.empty()) {
    zone.rule = parsePosixZoneRule(rule);
    if (!zone.rule) return std::nullopt;
  }
  std::string_view rest = text.substr(second + 1);
  std::vector<std::string_view> words;
  while (!rest.empty()) {
    auto space = rest.find(' ');
    words.push_back(rest.substr(0, space));
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  if (words.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < words.size(); i += 2) {
    auto at = integer(words[i], INT64_MIN / 2, INT64_MAX / 2);
    auto offset = integer(words[i + 1], -kOffsetLimit, kOffsetLimit);
    if (!at || !offset || (!zone.transitions.empty() && *at <= zone.transitions.back())) return std::nullopt;
    zone.transitions.push_back(*at);
    zone.offsets.push_back(static_cast<std::int32_t>(*offset));
  }
  return zone;
}

std::optional<Zone> parseTzif(std::string_view name, std::string_view data) {
  auto bytes = reinterpret_cast<const unsigned char*>(data.data());
  constexpr std::size_t kHeader = 44;
  if (data.size() < kHeader || data.substr(0, 4) != "TZif") return std::nullopt;
  char version = data[4];
  auto counts = [&](std::size_t at, std::uint32_t c[6]) {
    for (int i = 0; i < 6; ++i) c[i] = read32(bytes + at + 20 + 4 * i);
  };
  // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
  std::uint32_t c[6];
  counts(0, c);
  std::size_t at = kHeader;
  std::size_t timeSize = 4;
  if (version >= '2') {
    // Skip the 32-bit block for the 64-bit one that follows it.
    std::uint64_t v1 = std::uint64_t{c[3]} * 5 + std::uint64_t{c[4]} * 6 + c[5] + std::uint64_t{c[2]} * 8 + c[1] + c[0];
    if (at + v1 + kHeader > data.size() || data.substr(at + v1, 4) != "TZif") return std::nullopt;
    at += v1;
    counts(at, c);
    at += kHeader;
    timeSize = 8;
  }
  const std::uint32_t timecnt = c[3], typecnt = c[4], charcnt = c[5];
  std::uint64_t size = std::uint64_t{timecnt} * (timeSize + 1) + std::uint64_t{typecnt} * 6 + charcnt +
                       std::uint64_t{c[2]} * (timeSize + 4) + c[1] + c[0];
  if (typecnt == 0 || typecnt > 256 || at + size > data.size()) return std::nullopt;

  Zone zone;
  zone.name = std::string(name);
  const unsigned char* times = bytes + at;
  const unsigned char* indices = times + std::size_t{timecnt} * timeSize;
  const unsigned char* types = indices + timecnt;
  auto typeOffset = [&](std::uint32_t i) { return static_cast<std::int32_t>(read32(types + 6 * i)); };
  zone.transitions.reserve(timecnt);
  zone.offsets.reserve(timecnt);
  for (std::uint32_t i = 0; i < timecnt; ++i) {
    std::int64_t t = timeSize == 8 ? read64(times + 8 * i) : static_cast<std::int32_t>(read32(times + 4 * i));
    if (indices[i] >= typecnt || (!zone.transitions.empty() && t <= zone.transitions.back())) return std::nullopt;
    zone.transitions.push_back(t);
    zone.offsets.push_back(typeOffset(indices[i]));
  }
  zone.initialOffset = typeOffset(0);
  if (timeSize == 8) {
    // The footer's rule carries the zone on past its last transition; a file
    // without one is cut short, and would give wrong offsets in later years.
    std::string_view footer = data.substr(at + size);
    if (footer.size() < 2 || footer.front() != '\n') return std::nullopt;
    auto end = footer.find('\n', 1);
    if (end == std::string_view::npos) return std::nullopt;
    std::string_view text = footer.substr(1, end - 1);
    if (!text.empty()) {
      zone.rule = parsePosixZoneRule(text);
      if (!zone.rule) return std::nullopt;
    }
  }
  return zone;
}

int utcOffset(const Zone& zone, std::int64_t epoch) {
  if (!zone.transitions.empty() && epoch < zone.transitions.back()) {
    if (epoch < zone.transitions.front()) return zone.initialOffset;
    auto after = std::upper_bound(zone.transitions.begin(), zone.transitions.end(), epoch);
    return zone.offsets[static_cast<std::size_t>(after - zone.transitions.begin()) - 1];
  }
  if (!zone.rule) return zone.transitions.empty() ? zone.initialOffset : zone.offsets.back();
  // The rule repeats with the 400-year Gregorian cycle, which keeps every date
  // on its weekday; far times are brought into the years civil dates can hold.
  constexpr std::int64_t kYear9000 = 221845392000;
  constexpr std::int64_t kCycle = 146097 * kDay;
  if (epoch > kYear9000) epoch -= ((epoch - kYear9000) / kCycle + 1) * kCycle;
  return zone.rule->offsetAt(epoch);
}

std::int64_t epochToWall(const Zone& zone, std::int64_t epoch) {
  return epoch + utcOffset(zone, epoch);
}

std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall) { return wallToEpoch(zone, wall, nullptr); }

double wallOf(const Zone& zone, double epoch) {
  double base = std::floor(epoch);
  return static_cast<double>(epochToWall(zone, static_cast<std::int64_t>(base))) + (epoch - base);
}

double epochOf(const Zone& zone, double wall) {
  double base = std::floor(wall);
  return static_cast<double>(wallToEpoch(zone, static_cast<std::int64_t>(base))) + (wall - base);
}

std::int64_t wallToEpoch(const Zone& zone, std::int64_t wall, std::int64_t* earliestLater) {
  // The offsets a day either side bracket any single transition near `wall`.
  int before = utcOffset(zone, wall - kDay);
  int after = utcOffset(zone, wall + kDay);
  std::int64_t earlier = wall - std::max(before, after);
  std::int64_t later = wall - std::min(before, after);
  std::int64_t epoch = wall - before;
  if (before == after || utcOffset(zone, earlier) == wall - earlier) {
    epoch = earlier;
  } else if (utcOffset(zone, later) == wall - later) {
    epoch = later;
  } else {
    // In a gap: read the time with the offset in force before it, which lands
    // the same distance past the gap's end; the wall times just after the gap
    // start from its beginning on.
    if (earliestLater != nullptr) *earliestLater = wall - after;
    return epoch;
  }
  if (earliestLater != nullptr) *earliestLater = epoch;
  return epoch;
}

namespace {

// A name that can only ever mean a file inside the zone folder.
bool isZoneName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '/' || name.front() == '.') return false;
  if (name.find("..") != std::string_view::npos) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '_' || c == '-' || c == '+' || c == '.';
  });
}

// "/usr/share/zoneinfo/Europe/Berlin" names Europe/Berlin.
std::string nameFromZoneinfoPath(std::string_view path) {
  constexpr std::string_view marker = "zoneinfo/";
  auto at = path.rfind(marker);
  if (at == std::string_view::npos) return {};
  std::string_view name = path.substr(at + marker.size());
  for (std::string_view prefix : {"posix/", "right/"}) {
    if (name.substr(0, prefix.size()) == prefix) name.remove_prefix(prefix.size());
  }
  return std::string(name);
}

std::string zoneFolder() {
  const char* folder = std::getenv("TZDIR");
  return folder != nullptr && folder[0] == '/' ? folder : "/usr/share/zoneinfo";
}

std::optional<std::string> readSmallFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > (1 << 20)) break;  // no zone file is this large
  }
  ::close(fd);
  return data;
}

}  // namespace

std::string localZoneName() {
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
    std::string_view value(tz);
    if (value.front() == ':') value.remove_prefix(1);
    if (!value.empty() && value.front() == '/') return nameFromZoneinfoPath(value);
    return std::string(value);
  }
  char target[PATH_MAX];
  ssize_t n = ::readlink("/etc/localtime", target, sizeof target - 1);
  if (n > 0) {
    std::string name = nameFromZoneinfoPath(std::string_view(target, static_cast<std::size_t>(n)));
    if (!name.empty()) return name;
  }
  std::ifstream file("/etc/timezone");
  std::string name;
  if (file && std::getline(file, name) && isZoneName(name)) return name;
  return "UTC";
}

ZoneCache::ZoneCache() = default;
ZoneCache::~ZoneCache() = default;

const Zone* ZoneCache::find(std::string_view name) {
  if (auto it = zones_.find(name); it != zones_.end()) return it->second.get();
  std::unique_ptr<Zone> zone;
  if (name == "UTC") {
    zone = std::make_unique<Zone>();
    zone->name = "UTC";
  } else {
    if (isZoneName(name)) {
      if (auto data = readSmallFile(zoneFolder() + "/" + std::string(name))) {
        if (auto parsed = parseTzif(name, *data)) zone = std::make_unique<Zone>(std::move(*parsed));
      }
    }
    // As the C library does, a TZ value that names no zone file is read as a
    // POSIX rule ("EST5EDT,M3.2.0,M11.1.0", "UTC0"); the text itself is then
    // its name, which any later process reads back the same way. Parsing never
    // touches a file.
    if (!zone && name.size() <= 255) {
      if (auto rule = parsePosixZoneRule(name)) {
        zone = std::make_unique<Zone>();
        zone->name = std::string(name);
        zone->initialOffset = rule->standardOffset;
        zone->rule = std::move(rule);
      }
    }
  }
  const Zone* found = zone.get();
  zones_.emplace(std::string(name), std::move(zone));
  return found;
}

const Zone* ZoneCache::add(Zone zone) {
  if (!isDefinedZoneName(zone.name)) return nullptr;
  auto& kept = zones_[zone.name];
  if (!kept) kept = std::make_unique<Zone>(std::move(zone));
  return kept.get();
}

void ZoneCache::addDefinedFrom(const ZoneCache& other) {
  for (const auto& [name, zone] : other.zones_) {
    if (zone && isDefinedZoneName(name)) add(*zone);
  }
}

const Zone& ZoneCache::local() {
  if (local_ == nullptr) {
    local_ = find(localZoneName());
    if (local_ == nullptr) local_ = &utc();
  }
  return *local_;
}

}  // namespace calbridge
