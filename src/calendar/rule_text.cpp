#include "calendar/rule_text.h"

#include "calendar/libical.h"

#include <algorithm>
#include <cstdlib>

namespace calbridge {

namespace {

int weekdayCode(std::string_view code) {
  static constexpr std::string_view kCodes[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  for (int i = 0; i < 7; ++i) {
    if (code == kCodes[i]) return i;
  }
  return -1;
}

}  // namespace

std::vector<std::string_view> ruleParts(std::string_view rule) {
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

std::optional<PlainRule> parsePlainRule(std::string_view text) {
  PlainRule rule;
  bool sawFrequency = false;
  bool sawInterval = false;
  bool sawDays = false;
  bool sawWeekStart = false;
  for (std::string_view part : ruleParts(text)) {
    auto equals = part.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    std::string_view name = part.substr(0, equals);
    std::string_view value = part.substr(equals + 1);
    if (name == "FREQ" && !sawFrequency) {
      sawFrequency = true;
      if (value == "SECONDLY") rule.secondsPerUnit = 1;
      else if (value == "MINUTELY") rule.secondsPerUnit = 60;
      else if (value == "HOURLY") rule.secondsPerUnit = 3600;
      else if (value == "DAILY") rule.frequency = Frequency::daily;
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

namespace {

// RFC 5545's table of the BY parts each frequency may have.
bool partsAllowed(const icalrecurrencetype& r) {
  auto has = [](const short* values) { return values[0] != ICAL_RECURRENCE_ARRAY_MAX; };
  const bool yearly = r.freq == ICAL_YEARLY_RECURRENCE;
  const bool monthly = r.freq == ICAL_MONTHLY_RECURRENCE;
  const bool weekly = r.freq == ICAL_WEEKLY_RECURRENCE;
  if (has(r.by_month_day) && weekly) return false;
  if (has(r.by_year_day) && (monthly || weekly || r.freq == ICAL_DAILY_RECURRENCE)) return false;
  if (has(r.by_week_no) && !yearly) return false;
  for (int i = 0; i < ICAL_BY_DAY_SIZE && r.by_day[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
    const bool ordinal = std::abs(r.by_day[i]) / 8 != 0;  // libical keeps 2MO as 2 * 8 + weekday
    if (ordinal && (!(monthly || yearly) || (yearly && has(r.by_week_no)))) return false;
  }
  const bool otherParts = has(r.by_second) || has(r.by_minute) || has(r.by_hour) || has(r.by_day) ||
                          has(r.by_month_day) || has(r.by_year_day) || has(r.by_week_no) || has(r.by_month);
  return !has(r.by_set_pos) || otherParts;
}

}  // namespace

bool ruleIsValid(std::string_view rule) {
  if (rule.empty()) return false;
  if (parsePlainRule(rule)) return true;
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) return false;
  std::string owned(rule);
  *ical->errorNumber() = ICAL_NO_ERROR;  // an earlier caller's error is not this rule's
  icalrecurrencetype parsed = ical->recurrenceFromString(owned.c_str());
  bool valid = *ical->errorNumber() == ICAL_NO_ERROR && parsed.freq != ICAL_NO_RECURRENCE && partsAllowed(parsed);
  *ical->errorNumber() = ICAL_NO_ERROR;
  std::free(parsed.rscale);
  return valid;
}

SplitRule splitRule(std::string_view rrule) {
  SplitRule split;
  for (std::string_view part : ruleParts(rrule)) {
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
