#include "calendar/recurrence.h"

#include "calendar/civil_time.h"

#include "calendar/libical.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>

namespace calbridge {

// Steps through the wall times a rule yields after its start, strictly increasing.
class RuleStepper {
 public:
  virtual ~RuleStepper() = default;
  virtual std::optional<std::int64_t> next() = 0;
  // How many times the rule yields after the start and before the first wall
  // time `next` gives (for a stepper that skipped ahead).
  virtual std::int64_t skipped() const { return 0; }
  // True when each step goes through libical, and so counts against a budget.
  virtual bool costly() const { return false; }
};

namespace {

constexpr std::int64_t kMonthCycle = 4800;  // 400 years: the calendar repeats, leap days and all

// Skipping ahead costs nothing, so an old series is as cheap as a new one; a
// counted series finds its place and its last occurrence by arithmetic too.
class PlainStepper final : public RuleStepper {
 public:
  PlainStepper(const PlainRule& rule, std::int64_t wall0, std::optional<std::int64_t> skipTo)
      : rule_(rule), wall0_(wall0), day0_(floorDiv(wall0, kDay)), timeOfDay_(wall0 - day0_ * kDay) {
    if (rule_.secondsPerUnit > 0) {
      step_ = rule_.secondsPerUnit * rule_.interval;
      k_ = skipTo && *skipTo > wall0 ? (*skipTo - wall0) / step_ : 0;
      return;
    }
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
    if (rule_.secondsPerUnit > 0) {
      if (k_ == 0) k_ = 1;
      return wall0_ + step_ * k_++;
    }
    // Bounded: even a rule that skips most steps (the 31st, or 29 February) hits within 8 years.
    for (int guard = 0; guard < 100000; ++guard) {
      std::optional<std::int64_t> day = candidate();
      if (!day) continue;
      if (*day <= day0_) continue;
      return *day * kDay + timeOfDay_;
    }
    return std::nullopt;
  }

  std::int64_t skipped() const override {
    if (k_ == 0) return 0;
    if (rule_.secondsPerUnit > 0 || rule_.frequency == Frequency::daily ||
        (rule_.frequency == Frequency::weekly && offsets_.empty())) {
      return k_ - 1;  // step 0 is the start itself
    }
    if (rule_.frequency == Frequency::weekly) {
      return k_ * static_cast<std::int64_t>(offsets_.size()) - daysNotAfterStart();
    }
    return realDatesBefore(k_);
  }

  // The wall time of the n-th time the rule yields after the start (n >= 1), or
  // nothing when that lies past year 9999.
  std::optional<std::int64_t> nth(std::int64_t n) const {
    constexpr std::int64_t kLastDay = 2932897;  // 10000-01-01
    constexpr std::int64_t kLimit = kLastDay * kDay;
    if (rule_.secondsPerUnit > 0) {
      if (n > (kLimit - wall0_) / step_) return std::nullopt;
      return wall0_ + step_ * n;
    }
    std::int64_t day = 0;
    if (rule_.frequency == Frequency::daily || (rule_.frequency == Frequency::weekly && offsets_.empty())) {
      if (n > (kLastDay - day0_) / step_) return std::nullopt;
      day = day0_ + step_ * n;
    } else if (rule_.frequency == Frequency::weekly) {
      const auto perWeek = static_cast<std::int64_t>(offsets_.size());
      std::int64_t at = daysNotAfterStart() + n - 1;  // counted from the first day of the start's week
      if (at / perWeek > (kLastDay - weekStartDay_) / step_) return std::nullopt;
      day = weekStartDay_ + step_ * (at / perWeek) + offsets_[static_cast<std::size_t>(at % perWeek)];
    } else {
      // Each cycle of steps through the 400-year calendar holds the same number of real dates.
      const std::int64_t period = cyclePeriod();
      const std::int64_t perCycle = realDatesBefore(period + 1);
      if (perCycle == 0) return std::nullopt;
      const std::int64_t lastIndex = 10000 * 12;
      std::int64_t cycles = (n - 1) / perCycle;
      if (cycles > (lastIndex - monthIndex0_) / (step_ * period) + 1) return std::nullopt;
      std::int64_t left = n - cycles * perCycle;
      std::int64_t k = cycles * period;
      while (left > 0) {
        ++k;
        if (realDate(k)) --left;
      }
      std::int64_t index = monthIndex0_ + step_ * k;
      if (index >= lastIndex) return std::nullopt;
      int year = static_cast<int>(floorDiv(index, 12));
      int month = static_cast<int>(index - static_cast<std::int64_t>(year) * 12) + 1;
      day = daysFromCivil(year, month, dayOfMonth_);
    }
    if (day >= kLastDay) return std::nullopt;
    return day * kDay + timeOfDay_;
  }

 private:
  // Of the weekly rule's days in the start's week, those on or before the start.
  std::int64_t daysNotAfterStart() const {
    return std::count_if(offsets_.begin(), offsets_.end(),
                         [&](std::int64_t offset) { return weekStartDay_ + offset <= day0_; });
  }
  // Steps after which a monthly or yearly rule meets the same months again.
  std::int64_t cyclePeriod() const { return kMonthCycle / std::gcd(step_, kMonthCycle); }
  bool realDate(std::int64_t k) const {
    std::int64_t index = monthIndex0_ + step_ * k;
    std::int64_t inCycle = ((index % kMonthCycle) + kMonthCycle) % kMonthCycle;
    return dayOfMonth_ <= daysInMonth(static_cast<int>(2000 + inCycle / 12), static_cast<int>(inCycle % 12) + 1);
  }
  // How many of the steps 1 to k - 1 of a monthly or yearly rule name a real date.
  std::int64_t realDatesBefore(std::int64_t k) const {
    if (k <= 1) return 0;
    if (dayOfMonth_ <= 28) return k - 1;
    const std::int64_t period = cyclePeriod();
    std::int64_t perCycle = 0;
    for (std::int64_t j = 1; j <= period; ++j) perCycle += realDate(j) ? 1 : 0;
    std::int64_t full = (k - 1) / period;
    std::int64_t count = full * perCycle;
    for (std::int64_t j = full * period + 1; j < k; ++j) count += realDate(j) ? 1 : 0;
    return count;
  }

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
  std::int64_t wall0_;
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
class LibicalStepper final : public RuleStepper {
 public:
  // `lastWall`, when given, is as far as libical may step: a rule whose dates
  // come seldom or never (30 February) makes libical walk for as long as it
  // is let, and it is let only as far as an UNTIL.
  LibicalStepper(const LibicalFunctions& ical, std::string_view text, std::int64_t wall0, bool allDay,
                 std::optional<std::int64_t> skipTo, std::optional<std::int64_t> lastWall = std::nullopt)
      : ical_(ical) {
    std::string owned(text);
    *ical_.errorNumber() = ICAL_NO_ERROR;  // an earlier caller's error is not this rule's
    icalrecurrencetype rule = ical_.recurrenceFromString(owned.c_str());
    // The parse's copy of RSCALE is the caller's to free, and the iterator
    // shares it: it goes after the iterator.
    rscale_ = rule.rscale;
    if (rule.freq == ICAL_NO_RECURRENCE || *ical_.errorNumber() != ICAL_NO_ERROR) {
      *ical_.errorNumber() = ICAL_NO_ERROR;
      return;
    }
    parsed_ = true;
    // The series' end is applied by the caller, in its own terms.
    rule.count = 0;
    rule.until = lastWall ? floatingTime(*lastWall, allDay) : icaltimetype{};
    iterator_ = ical_.iteratorNew(rule, floatingTime(wall0, allDay));
    if (iterator_ != nullptr && skipTo && *skipTo > wall0) {
      (void)ical_.iteratorSetStart(iterator_, floatingTime(*skipTo, allDay));
    }
    *ical_.errorNumber() = ICAL_NO_ERROR;
  }
  ~LibicalStepper() override {
    if (iterator_ != nullptr) ical_.iteratorFree(iterator_);
    std::free(rscale_);
  }

  // False for a rule that does not parse; a parsed rule libical cannot iterate
  // (30 February) yields nothing after the start.
  bool usable() const { return parsed_; }
  bool costly() const override { return true; }

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
  char* rscale_ = nullptr;
  bool parsed_ = false;
  std::optional<std::int64_t> last_;
};

// The plain form of the series' rule, when it has one. Sub-daily steps of an
// all-day series stay with libical, which reads them on dates.
std::optional<PlainRule> plainOf(const Series& series) {
  std::optional<PlainRule> plain = series.plain ? series.plain : parsePlainRule(series.rule);
  if (plain && plain->secondsPerUnit > 0 && series.allDay) return std::nullopt;
  return plain;
}

// A stepper for the rule, or null when it cannot be stepped through at all.
// libical steps no further than two days past `until` in wall time (wall time
// runs ahead of epoch time by less than a day), which lies past anything that
// starts before `until`.
std::unique_ptr<RuleStepper> stepperFor(const Series& series, std::int64_t wall0, std::optional<std::int64_t> skipTo,
                                        double until) {
  if (auto plain = plainOf(series)) return std::make_unique<PlainStepper>(*plain, wall0, skipTo);
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) return nullptr;
  std::optional<std::int64_t> lastWall;
  if (until < static_cast<double>(kEndOfTime) - 3 * kDay) {
    lastWall = epochToWall(*series.zone, static_cast<std::int64_t>(std::ceil(until))) + 2 * kDay;
  }
  auto stepper = std::make_unique<LibicalStepper>(*ical, series.rule, wall0, series.allDay, skipTo, lastWall);
  if (!stepper->usable()) return nullptr;
  return stepper;
}

// Left out: excluded, or listed as the changed occurrence that stands in for it.
bool hidden(const Series& series, std::int64_t wall) {
  return std::binary_search(series.excluded.begin(), series.excluded.end(), wall) ||
         std::binary_search(series.replaced.begin(), series.replaced.end(), wall);
}

// Steps are taken only within years 1 to 9999, the range iCalendar can write.
constexpr double kFirstStep = static_cast<double>(kFirstMoment);
constexpr double kLastStep = static_cast<double>(kEndOfTime);

}  // namespace

bool yieldsNothingAfterStart(const Series& series) {
  if (series.rule.empty() || !series.rules.empty() || series.zone == nullptr || !std::isfinite(series.start) ||
      plainOf(series)) {
    return false;
  }
  const LibicalFunctions* ical = libical();
  if (ical == nullptr) return false;
  // One step is one period of the rule's frequency, which libical walks through.
  std::int64_t period = 366 * kDay;
  for (std::string_view part : ruleParts(series.rule)) {
    static constexpr std::pair<std::string_view, std::int64_t> kPeriods[] = {
        {"FREQ=SECONDLY", 1}, {"FREQ=MINUTELY", 60}, {"FREQ=HOURLY", 3600}, {"FREQ=DAILY", kDay},
        {"FREQ=WEEKLY", 7 * kDay}, {"FREQ=MONTHLY", 31 * kDay}};
    for (const auto& [name, seconds] : kPeriods) {
      if (part == name) period = seconds;
    }
  }
  const auto base = static_cast<std::int64_t>(std::floor(series.start));
  const std::int64_t wall0 = series.floating ? base : epochToWall(*series.zone, base);
  const std::int64_t horizon = std::min<std::int64_t>(8 * 366 * kDay, (std::int64_t{1} << 20) * period);
  if (wall0 + horizon >= kEndOfTime - 3 * kDay) return false;
  LibicalStepper stepper(*ical, series.rule, wall0, series.allDay, std::nullopt, wall0 + horizon);
  if (!stepper.usable()) return false;
  for (std::optional<std::int64_t> wall = stepper.next(); wall; wall = stepper.next()) {
    if (*wall > wall0) return false;
  }
  return true;
}

double occurrenceEnd(const Series& series, const Occurrence& occurrence) {
  if (occurrence.ownDuration >= 0) {
    Series period;
    period.floating = series.floating;
    period.zone = series.zone;
    period.duration = occurrence.ownDuration;
    return occurrenceEnd(period, Occurrence{occurrence.start, occurrence.wall});
  }
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

SeriesCursor::SeriesCursor(const Series& series, double from, double to, std::optional<StepBudget> budget)
    : series_(&series), budget_(budget) {
  if (series.zone == nullptr || !std::isfinite(series.start)) {
    expandable_ = false;
    return;
  }
  if (!series.extraDates.empty()) {
    // Extra dates are sorted by wall time, which runs within a day of epoch
    // time; the longest any of them lasts bounds how early one may start.
    double longest = series.duration + static_cast<double>(series.days + 1) * kDay;
    for (const ExtraDate& extra : series.extraDates) longest = std::max(longest, extra.duration.value_or(0));
    extraFrom_ = from;
    extraTo_ = to;
    const double earliest = std::max(from - longest, kFirstStep + 2 * kDay);
    if (std::isfinite(earliest) && earliest < kLastStep) {
      const std::int64_t wall = epochToWall(*series.zone, static_cast<std::int64_t>(std::floor(earliest))) - 2 * kDay;
      nextExtra_ = static_cast<std::size_t>(
          std::lower_bound(series.extraDates.begin(), series.extraDates.end(), wall,
                           [](const ExtraDate& e, std::int64_t w) { return e.wall < w; }) -
          series.extraDates.begin());
    } else {
      nextExtra_ = series.extraDates.size();
    }
  }
  if (!series.rules.empty()) {
    // Several rules: the union of each one's occurrences (each has the start
    // as its first, as any rule has), merged by start, each cut short by the
    // series' own end as well as its own.
    ruleSeries_.reserve(series.rules.size());
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
      if (series.until && (!one.until || *series.until < *one.until)) one.until = series.until;
      ruleSeries_.push_back(std::move(one));
    }
    // The vector is not touched again: each cursor keeps a pointer into it.
    for (const Series& one : ruleSeries_) {
      children_.emplace_back(one, from, to, budget);
      if (!children_.back().expandable()) expandable_ = false;
      heads_.push_back(children_.back().next());
    }
    return;
  }
  const Zone& zone = *series.zone;
  const double base = std::floor(series.start);
  fraction_ = series.start - base;
  const auto baseSeconds = static_cast<std::int64_t>(base);
  wall0_ = series.floating ? baseSeconds : epochToWall(zone, baseSeconds);
  from_ = from;
  to_ = to;

  // The first occurrence is the start itself (read exactly, even when its wall
  // time occurs twice), rule or no rule.
  const double first = series.floating ? static_cast<double>(wallToEpoch(zone, wall0_)) + fraction_ : series.start;
  if (first >= to) return;
  const bool firstShown = first < to && (first >= from || occurrenceEnd(series, Occurrence{first, wall0_}) > from) &&
                          !hidden(series, wall0_);
  made_ = 1;
  from_ = std::max(from, kFirstStep);
  to_ = std::min(to, kLastStep);
  // A series of extra dates alone has no rule to step through.
  const bool more = !series.rule.empty() && !(series.count && made_ >= *series.count) && from_ < to_ &&
                    first >= kFirstStep && first < kLastStep;
  if (more) {
    // Skip to just before the window (two days' slack covers any offset change);
    // a counted series learns how many occurrences it passed, where it can.
    std::optional<std::int64_t> skipTo;
    // Nominal days and floating ends may run longer than their seconds by an offset change.
    const double longest = series.duration + static_cast<double>(series.days) * kDay +
                           (series.days != 0 || series.floating ? kDay : 0);
    double earliest = from_ - std::max(longest, 0.0);
    if (std::isfinite(earliest) && earliest > first) {
      skipTo = epochToWall(zone, static_cast<std::int64_t>(std::floor(earliest))) - 2 * kDay;
    }
    if (series.count && !plainOf(series)) skipTo.reset();
    stepper_ = stepperFor(series, wall0_, skipTo, to_);
    if (!stepper_) {
      expandable_ = false;
      return;
    }
    if (series.count) made_ += stepper_->skipped();
    if (series.count && made_ >= *series.count) stepper_.reset();
  }
  // Wall time runs ahead of epoch time by less than a day in every zone; a
  // start this far past the window cannot be followed by one inside it.
  stopAt_ = to_ + kDay;
  ended_ = stepper_ == nullptr;
  if (firstShown) push(first, wall0_);
  // Later wall times never start before the earlier reading of the start's own.
  std::int64_t earliestLater = 0;
  (void)wallToEpoch(zone, wall0_, &earliestLater);
  bound_ = static_cast<double>(earliestLater) + fraction_;
}

SeriesCursor::~SeriesCursor() = default;
SeriesCursor::SeriesCursor(SeriesCursor&&) noexcept = default;
SeriesCursor& SeriesCursor::operator=(SeriesCursor&&) noexcept = default;

void SeriesCursor::push(double start, std::int64_t wall) {
  pending_.push_back(Pending{start, wall, order_++});
  std::push_heap(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
    return a.start != b.start ? a.start > b.start : a.order > b.order;
  });
}

void SeriesCursor::generate() {
  const Series& series = *series_;
  const Zone& zone = *series.zone;
  auto finish = [&] {
    ended_ = true;
    stepper_.reset();
  };
  for (;;) {
    if (stepper_->costly() && budget_) {
      const bool reachedWindow = order_ > 0;
      if (budget_->steps <= 0 || (!reachedWindow && ++costlySteps_ > budget_->beforeFirst)) {
        overBudget_ = true;
        return finish();
      }
      --budget_->steps;
    }
    std::optional<std::int64_t> wall = stepper_->next();
    if (!wall) return finish();
    if (*wall <= wall0_) continue;
    std::int64_t earliestLater = 0;
    const std::int64_t epoch = wallToEpoch(zone, *wall, &earliestLater);
    const double start = static_cast<double>(epoch) + fraction_;
    if (series.until && (series.floating ? static_cast<double>(*wall) + fraction_ : start) > *series.until) {
      return finish();
    }
    if (start >= stopAt_) return finish();
    ++made_;
    // A wall time in a gap reads with the offset before it, so the times just
    // after the gap may start earlier: nothing later starts before this.
    bound_ = static_cast<double>(earliestLater) + fraction_;
    if (start < to_ && (start >= from_ || occurrenceEnd(series, Occurrence{start, *wall}) > from_) &&
        !hidden(series, *wall)) {
      push(start, *wall);
    }
    if (series.count && made_ >= *series.count) finish();
    return;
  }
}

std::optional<Occurrence> SeriesCursor::nextOfRules() {
  const Series& series = *series_;
  const double fraction = series.start - std::floor(series.start);
  for (;;) {
    std::size_t best = heads_.size();
    for (std::size_t i = 0; i < heads_.size(); ++i) {
      if (!heads_[i]) continue;
      if (best == heads_.size() || heads_[i]->start < heads_[best]->start ||
          (heads_[i]->start == heads_[best]->start && heads_[i]->wall < heads_[best]->wall)) {
        best = i;
      }
    }
    if (best == heads_.size()) return std::nullopt;
    Occurrence o = *heads_[best];
    heads_[best] = children_[best].next();
    overBudget_ = overBudget_ || children_[best].overBudget();
    // Two rules that make the same occurrence make it once.
    if (lastOfRules_ && lastOfRules_->wall == o.wall && lastOfRules_->start == o.start) continue;
    lastOfRules_ = o;
    if (hidden(series, o.wall)) continue;
    if (series.until && (series.floating ? static_cast<double>(o.wall) + fraction : o.start) > *series.until) continue;
    return o;
  }
}

std::optional<Occurrence> SeriesCursor::nextExtra() {
  const Series& series = *series_;
  while (nextExtra_ < series.extraDates.size()) {
    const ExtraDate& extra = series.extraDates[nextExtra_++];
    if (hidden(series, extra.wall)) continue;
    Occurrence o{static_cast<double>(wallToEpoch(*series.zone, extra.wall)), extra.wall,
                 extra.duration.value_or(-1)};
    if (o.start >= extraTo_ + kDay) {
      nextExtra_ = series.extraDates.size();
      break;
    }
    if (o.start < extraTo_ && (o.start >= extraFrom_ || occurrenceEnd(series, o) > extraFrom_)) return o;
  }
  return std::nullopt;
}

std::optional<Occurrence> SeriesCursor::next() {
  if (series_ == nullptr || series_->extraDates.empty() || !expandable_) return nextOfRule();
  // The rule's occurrences and the extra dates, each in order, merged; an
  // extra date the rule makes as well is one occurrence.
  if (!ruleHead_ && !ruleEnded_) {
    ruleHead_ = nextOfRule();
    ruleEnded_ = !ruleHead_;
  }
  if (!extraHead_) extraHead_ = nextExtra();
  while (ruleHead_ && extraHead_ && extraHead_->wall == ruleHead_->wall) extraHead_ = nextExtra();
  const bool takeRule = ruleHead_ && (!extraHead_ || ruleHead_->start <= extraHead_->start);
  std::optional<Occurrence> taken = takeRule ? ruleHead_ : extraHead_;
  (takeRule ? ruleHead_ : extraHead_).reset();
  return taken;
}

std::optional<Occurrence> SeriesCursor::nextOfRule() {
  if (!children_.empty()) return nextOfRules();
  for (;;) {
    if (!pending_.empty() && (ended_ || pending_.front().start <= bound_)) {
      std::pop_heap(pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
        return a.start != b.start ? a.start > b.start : a.order > b.order;
      });
      Pending p = pending_.back();
      pending_.pop_back();
      return Occurrence{p.start, p.wall};
    }
    if (ended_) return std::nullopt;
    generate();
  }
}

bool expandSeries(const Series& series, double from, double to,
                  const std::function<bool(const Occurrence&)>& visit) {
  SeriesCursor cursor(series, from, to);
  while (auto occurrence = cursor.next()) {
    if (!visit(*occurrence)) break;
  }
  return cursor.expandable();
}

std::optional<double> lastStartOf(const Series& series, std::int64_t maxSteps) {
  if (!series.count || series.zone == nullptr || !std::isfinite(series.start)) return std::nullopt;
  if (*series.count <= 1) return series.start;
  const double fraction = series.start - std::floor(series.start);
  if (auto plain = plainOf(series)) {
    const auto base = static_cast<std::int64_t>(std::floor(series.start));
    const std::int64_t wall0 = series.floating ? base : epochToWall(*series.zone, base);
    auto wall = PlainStepper(*plain, wall0, std::nullopt).nth(*series.count - 1);
    if (!wall) return std::nullopt;
    if (series.floating) return static_cast<double>(*wall) + fraction;
    return static_cast<double>(wallToEpoch(*series.zone, *wall)) + fraction;
  }
  if (*series.count > maxSteps) return std::nullopt;
  Series all = series;
  all.excluded.clear();
  SeriesCursor cursor(all, kFirstStep, kLastStep, StepBudget{maxSteps, maxSteps});
  std::optional<double> last;
  while (auto o = cursor.next()) {
    double start = series.floating ? static_cast<double>(o->wall) + fraction : o->start;
    if (!last || start > *last) last = start;
  }
  if (!cursor.expandable() || cursor.overBudget()) return std::nullopt;
  return last ? *last : series.start;
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

}  // namespace calbridge
