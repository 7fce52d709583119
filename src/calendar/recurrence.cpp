#include "calendar/recurrence.h"

#include "calendar/libical.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace calbridge {

namespace {

constexpr std::int64_t kDay = 86400;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// 0 Sunday to 6 Saturday; 1970-01-01 was a Thursday.
int weekdayOf(std::int64_t day) { return static_cast<int>(floorDiv(day + 4, 7) * -7 + day + 4); }

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

std::vector<std::string_view> splitParts(std::string_view rule) {
  std::vector<std::string_view> parts;
  while (!rule.empty()) {
    auto semicolon = rule.find(';');
    std::string_view part = rule.substr(0, semicolon);
    if (!part.empty()) parts.push_back(part);
    if (semicolon == std::string_view::npos) break;
    rule.remove_prefix(semicolon + 1);
  }
  return parts;
}

int weekdayCode(std::string_view code) {
  static constexpr std::string_view kCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  for (int i = 0; i < 7; ++i) {
    if (code == kCodes[i]) return i;
  }
  return -1;
}

// Steps through the wall times a rule yields after its start, strictly increasing.
class Stepper {
 public:
  virtual ~Stepper() = default;
  virtual std::optional<std::int64_t> next() = 0;
};

}  // namespace

std::optional<PlainRule> parsePlainRule(std::string_view text) {
  PlainRule rule;
  bool sawFrequency = false;
  bool sawInterval = false;
  bool sawDays = false;
  bool sawWeekStart = false;
  for (std::string_view part : splitParts(text)) {
    auto equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = part.substr(0, equals);
    std::string_view value = part.substr(equals + 1);
    if (name == "FREQ" && !sawFrequency) {
      sawFrequency = true;
      if (value == "DAILY") rule.frequency = Frequency::daily;
      else if (value == "WEEKLY") rule.frequency = Frequency::weekly;
      else if (value == "MONTHLY") rule.frequency = Frequency::monthly;
      else if (value == "YEARLY") rule.frequency = Frequency::yearly;
      else return std::nullopt;
    } else if (name == "INTERVAL" && !sawInterval) {
      sawInterval = true;
      if (value.empty() || value.size() > 6) return std::nullopt;
      std::int64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
      }
      if (n < 1) return std::nullopt;
      rule.interval = n;
    } else if (name == "BYDAY" && !sawDays) {
      sawDays = true;
      while (!value.empty()) {
        auto comma = value.find(',');
        int day = weekdayCode(value.substr(0, comma));
        if (day < 0) return std::nullopt;  // ordinals (2MO, -1FR) go to the general path
        if (std::find(rule.weekdays.begin(), rule.weekdays.end(), day) == rule.weekdays.end()) {
          rule.weekdays.push_back(day);
        }
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
      }
      if (rule.weekdays.empty()) return std::nullopt;
    } else if (name == "WKST" && !sawWeekStart) {
      sawWeekStart = true;
      rule.weekStart = weekdayCode(value);
      if (rule.weekStart < 0) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!sawFrequency) return std::nullopt;
  if (!rule.weekdays.empty() && rule.frequency != Frequency::weekly) return std::nullopt;
  return rule;
}

namespace {

// Skipping ahead costs nothing, so an old series is as cheap as a new one.
class PlainStepper final : public Stepper {
 public:
  PlainStepper(const PlainRule& rule, std::int64_t wall0, std::optional<std::int64_t> skipTo)
      : rule_(rule), day0_(floorDiv(wall0, kDay)), timeOfDay_(wall0 - day0_ * kDay) {
    std::int64_t fromDay = skipTo ? std::max(floorDiv(*skipTo, kDay), day0_) : day0_;
    switch (rule_.frequency) {
      case Frequency::daily:
        step_ = rule_.interval;
        k_ = (fromDay - day0_) / step_;
        break;
      case Frequency::weekly:
        step_ = 7 * rule_.interval;
        if (rule_.weekdays.empty()) {
          k_ = (fromDay - day0_) / step_;
        } else {
          weekStartDay_ = day0_ - (weekdayOf(day0_) - rule_.weekStart + 7) % 7;
          for (int d : rule_.weekdays) offsets_.push_back((d - rule_.weekStart + 7) % 7);
          std::sort(offsets_.begin(), offsets_.end());
          k_ = (fromDay - weekStartDay_) / step_;
        }
        break;
      case Frequency::monthly:
      case Frequency::yearly: {
        CivilDate d0 = civilFromDays(day0_);
        dayOfMonth_ = d0.day;
        std::int64_t monthsPerStep = rule_.frequency == Frequency::monthly ? 1 : 12;
        monthIndex0_ = static_cast<std::int64_t>(d0.year) * 12 + (d0.month - 1);
        step_ = monthsPerStep * rule_.interval;
        CivilDate from = civilFromDays(fromDay);
        std::int64_t fromIndex = static_cast<std::int64_t>(from.year) * 12 + (from.month - 1);
        k_ = std::max<std::int64_t>(0, (fromIndex - monthIndex0_) / step_ - 1);
        break;
      }
    }
  }

  std::optional<std::int64_t> next() override {
    // Bounded: even a rule that skips most steps (the 31st, or 29 February) hits within 8 years.
    for (int guard = 0; guard < 100000; ++guard) {
      std::optional<std::int64_t> day = candidate();
      if (!day) continue;
      if (*day <= day0_) continue;
      return *day * kDay + timeOfDay_;
    }
    return std::nullopt;
  }

 private:
  // The next day the rule names, or nothing for a step that names no real date.
  std::optional<std::int64_t> candidate() {
    switch (rule_.frequency) {
      case Frequency::daily:
        return day0_ + step_ * k_++;
      case Frequency::weekly:
        if (offsets_.empty()) return day0_ + step_ * k_++;
        {
          std::int64_t day = weekStartDay_ + step_ * k_ + offsets_[offsetIndex_];
          if (++offsetIndex_ == offsets_.size()) {
            offsetIndex_ = 0;
            ++k_;
          }
          return day;
        }
      case Frequency::monthly:
      case Frequency::yearly: {
        std::int64_t index = monthIndex0_ + step_ * k_++;
        int year = static_cast<int>(floorDiv(index, 12));
        int month = static_cast<int>(index - static_cast<std::int64_t>(year) * 12) + 1;
        if (dayOfMonth_ > daysInMonth(year, month)) return std::nullopt;
        return daysFromCivil(year, month, dayOfMonth_);
      }
    }
    return std::nullopt;
  }

  PlainRule rule_;
  std::int64_t day0_;
  std::int64_t timeOfDay_;
  std::int64_t step_ = 1;
  std::int64_t k_ = 0;
  std::int64_t weekStartDay_ = 0;
  std::vector<std::int64_t> offsets_;
  std::size_t offsetIndex_ = 0;
  std::int64_t monthIndex0_ = 0;
  int dayOfMonth_ = 1;
};

icaltimetype floatingTime(std::int64_t wall, bool date) {
  std::int64_t day = floorDiv(wall, kDay);
  std::int64_t rest = wall - day * kDay;
  CivilDate civil = civilFromDays(day);
  icaltimetype t{};  // all zero: the null time
  t.year = civil.year;
  t.month = civil.month;
  t.day = civil.day;
  if (date) {
    t.is_date = 1;
  } else {
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
  }
  return t;
}

std::int64_t wallOf(const icaltimetype& t) {
  std::int64_t seconds = t.is_date ? 0 : static_cast<std::int64_t>(t.hour) * 3600 + t.minute * 60 + t.second;
  return daysFromCivil(t.year, t.month, t.day) * kDay + seconds;
}

// Any other rule (BYMONTHDAY, BYSETPOS, ordinal weekdays, ...) through libical.
class LibicalStepper final : public Stepper {
 public:
  LibicalStepper(const LibicalFunctions& ical, std::string_view text, std::int64_t wall0, bool allDay,
                 std::optional<std::int64_t> skipTo)
      : ical_(ical) {
    std::string owned(text);
    icalrecurrencetype rule = ical_.recurrenceFromString(owned.c_str());
    if (rule.freq == ICAL_NO_RECURRENCE) {
      *ical_.errorNumber() = ICAL_NO_ERROR;
      return;
    }
    // The series' end is applied by the caller, in its own terms.
    rule.count = 0;
    rule.until = icaltimetype{};
    iterator_ = ical_.iteratorNew(rule, floatingTime(wall0, allDay));
    if (iterator_ != nullptr && skipTo && *skipTo > wall0) {
      (void)ical_.iteratorSetStart(iterator_, floatingTime(*skipTo, allDay));
    }
    *ical_.errorNumber() = ICAL_NO_ERROR;
  }
  ~LibicalStepper() override {
    if (iterator_ != nullptr) ical_.iteratorFree(iterator_);
  }

  bool usable() const { return iterator_ != nullptr; }

  std::optional<std::int64_t> next() override {
    if (iterator_ == nullptr) return std::nullopt;
    icaltimetype t = ical_.iteratorNext(iterator_);
    if (t.year == 0) return std::nullopt;  // the null time ends the iteration
    std::int64_t wall = wallOf(t);
    if (last_ && wall <= *last_) return std::nullopt;  // never loop on a rule that stalls
    last_ = wall;
    return wall;
  }

 private:
  const LibicalFunctions& ical_;
  icalrecur_iterator* iterator_ = nullptr;
  std::optional<std::int64_t> last_;
};

// A stepper for the rule, or null when it cannot be stepped through at all.
std::unique_ptr<Stepper> stepperFor(const Series& series, std::int64_t wall0, std::optional<std::int64_t> skipTo) {
  if (series.plain) return std::make_unique<PlainStepper>(*series.plain, wall0, skipTo);
  if (auto plain = parsePlainRule(series.rule)) return std::make_unique<PlainStepper>(*plain, wall0, skipTo);
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) return nullptr;
  auto stepper = std::make_unique<LibicalStepper>(*ical, series.rule, wall0, series.allDay, skipTo);
  if (!stepper->usable()) return nullptr;
  return stepper;
}

}  // namespace

double occurrenceEnd(const Series& series, const Occurrence& occurrence) {
  if (!series.floating && series.days == 0) return occurrence.start + series.duration;
  // The start's fraction of a second rides along; the clock part is whole seconds.
  const double fraction = occurrence.start - std::floor(occurrence.start);
  if (!series.floating) {
    return static_cast<double>(wallToEpoch(*series.zone, occurrence.wall + series.days * kDay)) + fraction +
           series.duration;
  }
  const double wallEnd = static_cast<double>(occurrence.wall) + fraction + series.duration;
  const double base = std::floor(wallEnd);
  if (!(std::fabs(base) < 9e15)) return occurrence.start + series.duration;
  return static_cast<double>(wallToEpoch(*series.zone, static_cast<std::int64_t>(base))) + (wallEnd - base);
}

namespace {

// The union of several rules' occurrences, each rule expanded on its own (its
// first occurrence is the start, as for any rule) and cut short by `until`.
bool expandRuleSet(const Series& series, double from, double to,
                   const std::function<bool(const Occurrence&)>& visit) {
  std::vector<Occurrence> all;
  const double fraction = series.start - std::floor(series.start);
  for (const Series::Rule& rule : series.rules) {
    Series one;
    one.rule = rule.rule;
    one.start = series.start;
    one.duration = series.duration;
    one.days = series.days;
    one.zone = series.zone;
    one.floating = series.floating;
    one.allDay = series.allDay;
    one.count = rule.count;
    one.until = rule.until;
    if (series.until && (!one.until || *series.until < *one.until)) {
      // A counted rule stops at the cut as well; its count is still its own.
      one.until = series.until;
    }
    if (!expandSeries(one, from, to, [&](const Occurrence& o) {
          all.push_back(o);
          return true;
        })) {
      return false;
    }
  }
  std::sort(all.begin(), all.end(), [](const Occurrence& a, const Occurrence& b) { return a.wall < b.wall; });
  all.erase(std::unique(all.begin(), all.end(), [](const Occurrence& a, const Occurrence& b) { return a.wall == b.wall; }),
            all.end());
  std::stable_sort(all.begin(), all.end(), [](const Occurrence& a, const Occurrence& b) { return a.start < b.start; });
  for (const Occurrence& o : all) {
    if (std::binary_search(series.excluded.begin(), series.excluded.end(), o.wall)) continue;
    if (series.until && (series.floating ? static_cast<double>(o.wall) + fraction : o.start) > *series.until) continue;
    if (!visit(o)) break;
  }
  return true;
}

}  // namespace

bool expandSeries(const Series& series, double from, double to,
                  const std::function<bool(const Occurrence&)>& visit) {
  if (series.zone == nullptr || !std::isfinite(series.start)) return false;
  if (!series.rules.empty()) return expandRuleSet(series, from, to, visit);
  const Zone& zone = *series.zone;
  const double base = std::floor(series.start);
  const double fraction = series.start - base;
  const auto baseSeconds = static_cast<std::int64_t>(base);
  const std::int64_t wall0 = series.floating ? baseSeconds : epochToWall(zone, baseSeconds);

  auto startOf = [&](std::int64_t wall) { return static_cast<double>(wallToEpoch(zone, wall)) + fraction; };
  auto overlaps = [&](double start, std::int64_t wall) {
    return start < to && (start >= from || occurrenceEnd(series, Occurrence{start, wall}) > from);
  };
  auto excluded = [&](std::int64_t wall) {
    return std::binary_search(series.excluded.begin(), series.excluded.end(), wall);
  };
  auto pastUntil = [&](double start, std::int64_t wall) {
    if (!series.until) return false;
    return (series.floating ? static_cast<double>(wall) + fraction : start) > *series.until;
  };

  // The first occurrence is the start itself (read exactly, even when its wall
  // time occurs twice), rule or no rule.
  const double first = series.floating ? startOf(wall0) : series.start;
  if (first >= to) return true;
  if (overlaps(first, wall0) && !excluded(wall0)) {
    if (!visit(Occurrence{first, wall0})) return true;
  }
  std::int64_t made = 1;
  if (series.count && made >= *series.count) return true;
  // Steps are taken only within years 1 to 9999, the range iCalendar can write.
  constexpr double kFirstMoment = -62135596800.0;
  constexpr double kLastMoment = 253402300800.0;
  from = std::max(from, kFirstMoment);
  to = std::min(to, kLastMoment);
  if (from >= to || first < kFirstMoment || first >= kLastMoment) return true;

  // Counted series are walked from the start; others skip to just before the
  // window (two days' slack covers any offset change).
  std::optional<std::int64_t> skipTo;
  if (!series.count) {
    // Nominal days and floating ends may run longer than their seconds by an offset change.
    const double longest = series.duration + static_cast<double>(series.days) * kDay +
                           (series.days != 0 || series.floating ? kDay : 0);
    double earliest = from - std::max(longest, 0.0);
    if (std::isfinite(earliest) && earliest > first) {
      skipTo = epochToWall(zone, static_cast<std::int64_t>(std::floor(earliest))) - 2 * kDay;
    }
  }
  auto stepper = stepperFor(series, wall0, skipTo);
  if (!stepper) return false;
  // Wall time runs ahead of epoch time by less than a day in every zone; a
  // start this far past the window cannot be followed by one inside it.
  const double stopAt = to + kDay;
  while (auto wall = stepper->next()) {
    if (*wall <= wall0) continue;
    double start = startOf(*wall);
    if (pastUntil(start, *wall) || start >= stopAt) return true;
    ++made;
    if (overlaps(start, *wall) && !excluded(*wall)) {
      if (!visit(Occurrence{start, *wall})) return true;
    }
    if (series.count && made >= *series.count) return true;
  }
  return true;
}

std::string ruleSetText(const std::vector<Series::Rule>& rules) {
  std::string text;
  for (const Series::Rule& rule : rules) {
    if (!text.empty()) text += '\n';
    text += rule.rule + "|";
    if (rule.until) {
      char number[40];
      std::snprintf(number, sizeof number, "%.17g", *rule.until);
      text += number;
    }
    text += "|";
    if (rule.count) text += std::to_string(*rule.count);
  }
  return text;
}

std::vector<Series::Rule> parseRuleSet(std::string_view text) {
  std::vector<Series::Rule> rules;
  if (text.find('|') == std::string_view::npos) return rules;
  while (!text.empty()) {
    auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    auto first = line.find('|');
    auto second = first == std::string_view::npos ? first : line.find('|', first + 1);
    if (second == std::string_view::npos) return {};
    Series::Rule rule;
    rule.rule = std::string(line.substr(0, first));
    std::string until(line.substr(first + 1, second - first - 1));
    std::string count(line.substr(second + 1));
    char* end = nullptr;
    if (!until.empty()) {
      double value = std::strtod(until.c_str(), &end);
      if (end != until.c_str() + until.size() || !std::isfinite(value)) return {};
      rule.until = value;
    }
    if (!count.empty()) {
      long long value = std::strtoll(count.c_str(), &end, 10);
      if (end != count.c_str() + count.size() || value < 1) return {};
      rule.count = value;
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::string ruleText(const RecurrenceRule& rule) {
  static constexpr std::string_view kFrequency[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  static constexpr std::string_view kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  std::string text = "FREQ=";
  text += kFrequency[static_cast<int>(rule.frequency)];
  if (rule.interval > 1) text += ";INTERVAL=" + std::to_string(rule.interval);
  if (!rule.daysOfTheWeek.empty()) {
    text += ";BYDAY=";
    bool firstDay = true;
    for (int day : rule.daysOfTheWeek) {
      if (day < 1 || day > 7) continue;
      if (!firstDay) text += ',';
      text += kDays[day - 1];
      firstDay = false;
    }
  }
  return text;
}

bool ruleIsValid(std::string_view rule) {
  if (rule.empty()) return false;
  if (parsePlainRule(rule)) return true;
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) return false;
  std::string owned(rule);
  *ical->errorNumber() = ICAL_NO_ERROR;  // an earlier caller's error is not this rule's
  icalrecurrencetype parsed = ical->recurrenceFromString(owned.c_str());
  bool valid = *ical->errorNumber() == ICAL_NO_ERROR && parsed.freq != ICAL_NO_RECURRENCE;
  *ical->errorNumber() = ICAL_NO_ERROR;
  return valid;
}

SplitRule splitRule(std::string_view rrule) {
  SplitRule split;
  for (std::string_view part : splitParts(rrule)) {
    if (part.substr(0, 6) == "UNTIL=") {
      split.until = std::string(part.substr(6));
    } else if (part.substr(0, 6) == "COUNT=") {
      std::int64_t n = 0;
      for (char c : part.substr(6)) {
        if (c < '0' || c > '9' || n > 100000000) {
          n = -1;
          break;
        }
        n = n * 10 + (c - '0');
      }
      if (n > 0) split.count = n;
    } else {
      if (!split.rule.empty()) split.rule += ';';
      split.rule += part;
    }
  }
  return split;
}

}  // namespace calbridge
