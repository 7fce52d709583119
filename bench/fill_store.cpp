// calbridge-bench-fill: fills a calbridge store with a large data set that is the
// same on every run, and writes what bench/run needs to time calbridge on it:
// the requests, the occurrence counts they must yield, and a reference database
// holding the same records in a plain table.
//
//   calbridge-bench-fill STORE_PATH OUT_DIR
//   calbridge-bench-fill --dense STORE_PATH OUT_DIR
//
// --dense fills the store's default calendar with series whose occurrences far
// outnumber what one reply may hold: one SECONDLY, one MINUTELY and 5,000 daily
// series over the widest window, for the cost of a listing bounded by what it sends.
//
// The store must exist with its 20 calendars (bench/run makes them with
// calbridge-store). Times are laid out in the zone TZ names and converted with
// the C library rather than calbridge's zone code, so the expected counts check
// calbridge instead of repeating it.
#include "calendar/color.h"
#include "sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace calbridge {
namespace {

constexpr std::uint64_t kSeed = 20250101;
constexpr std::size_t kCalendars = 20;
constexpr int kSingles = 15000;
constexpr int kSeriesPerShape = 30;
// The widest window "events" accepts, and the most records one reply holds: the
// data fills both exactly, so the large read is the largest a host can ask for.
constexpr std::int64_t kWindowSeconds = 38880000;
constexpr int kWindowDays = 450;
constexpr std::size_t kTargetOccurrences = 20000;
constexpr int kSkipEntries = 1000;
// The day (from the first day of the data) that the one-day read asks for: a Tuesday.
constexpr int kOneDay = 202;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kBaseWall = 1735689600;  // 2025-01-01 00:00 as wall seconds

// SplitMix64: its sequence is fixed by the seed on every platform and standard
// library, which std::uniform_int_distribution's is not.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  int between(int low, int high) { return low + below(high - low + 1); }
  bool percent(int p) { return below(100) < p; }
  template <typename T>
  void shuffle(std::vector<T>& items) {
    for (std::size_t i = items.size(); i > 1; --i) {
      std::swap(items[i - 1], items[static_cast<std::size_t>(below(static_cast<int>(i)))]);
    }
  }

 private:
  std::uint64_t state_;
};

// A local date and time: as wall seconds (what the store keeps for floating
// events and exclusions) and as the instant it names in the zone TZ sets.
struct Moment {
  std::int64_t wall;
  std::int64_t epoch;
};

Moment localMoment(int day, std::int64_t secondOfDay) {
  std::int64_t wall = kBaseWall + day * kDay + secondOfDay;
  std::time_t w = static_cast<std::time_t>(wall);
  std::tm t{};
  gmtime_r(&w, &t);
  t.tm_isdst = -1;
  return Moment{wall, static_cast<std::int64_t>(std::mktime(&t))};
}

std::tm civilOf(int day) {
  std::time_t w = static_cast<std::time_t>(kBaseWall + day * kDay);
  std::tm t{};
  gmtime_r(&w, &t);
  return t;
}

bool isWeekday(int day) {
  int weekday = civilOf(day).tm_wday;
  return weekday >= 1 && weekday <= 5;
}

// The day index of a civil date, or nothing when that month has no such day.
std::optional<int> dayOf(int year, int month, int dayOfMonth) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = dayOfMonth;
  std::int64_t wall = static_cast<std::int64_t>(timegm(&t));
  std::tm back = civilOf(static_cast<int>((wall - kBaseWall) / kDay));
  if (back.tm_mday != dayOfMonth) return std::nullopt;
  return static_cast<int>((wall - kBaseWall) / kDay);
}

struct Window {
  std::string name;
  std::int64_t from;
  std::int64_t to;
  // The protocol's "overlapping [from, to)"; an event without length counts at `from`.
  bool overlaps(std::int64_t start, std::int64_t end) const { return start < to && (end > from || start >= from); }
};

struct Record {
  std::string uid;
  std::string title;
  std::int64_t start;
  std::int64_t end;
  bool allDay;
  std::size_t calendar;
};

struct Occurrence {
  std::int64_t wall;
  std::int64_t start;
  bool excluded = false;
};

enum class Shape { daily, weekdays, weekly, biweekly, monthly };

struct SeriesPlan {
  Shape shape;
  std::string rule;
  std::string uid;
  std::string title;
  std::size_t calendar;
  std::int64_t duration;
  std::optional<std::int64_t> until;
  std::vector<Occurrence> occurrences;  // first one first; all up to the end of the data
};

const char* const kSubjects[] = {
    "Team sync", "1:1 with Priya", "Dentist", "Lunch with Ana", "Project review", "Réunion budget",
    "Sprint planning", "Yoga", "Piano lesson", "Call with the bank", "Geburtstag Jürgen 🎂", "Flight to Lisbon ✈",
    "Parents' evening", "Code review", "Design critique", "Quarterly report", "Football practice", "Book club",
    "Car service", "Doctor's appointment", "Stand-up", "Retrospective", "Kita Elternabend", "Dinner at Ömer's",
    "Haircut", "Swimming", "Tax advisor", "Interview: backend role", "Offsite preparation",
    "Conference talk rehearsal", "Вечеринка", "会议",
};
const char* const kDetails[] = {
    "", "", "", "", " (room 4.12)", " – remote", " @ home", " — bring the laptop", " [tentative]", " (moved)",
    ": follow-up", " / weekly notes", " with the whole team and the guests from the partner company",
};

std::string titleFrom(Random& random) {
  std::string title = kSubjects[random.below(static_cast<int>(std::size(kSubjects)))];
  title += kDetails[random.below(static_cast<int>(std::size(kDetails)))];
  return title;
}

// Identifiers as other calendar programs make them: mostly UUIDs, some "…@host".
std::string uidFrom(Random& random) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uid;
  if (random.percent(75)) {
    for (int i = 0; i < 32; ++i) {
      if (i == 8 || i == 12 || i == 16 || i == 20) uid += '-';
      uid += kHex[random.below(16)];
    }
  } else {
    for (int i = 0; i < 24; ++i) uid += static_cast<char>(std::tolower(kHex[random.below(16)]));
    uid += "@mail.example.org";
  }
  return uid;
}

// Busy calendars first: the first (the default for new events) holds the most.
std::size_t calendarFrom(Random& random) {
  constexpr int total = static_cast<int>(kCalendars * (kCalendars + 1) / 2);
  int ticket = random.below(total);
  for (std::size_t i = 0; i < kCalendars; ++i) {
    ticket -= static_cast<int>(kCalendars - i);
    if (ticket < 0) return i;
  }
  return 0;
}

// Every occurrence of a series from its first day through `lastDay`, by the rule.
std::vector<int> daysOf(Shape shape, int firstDay, int lastDay) {
  std::vector<int> days{firstDay};
  switch (shape) {
    case Shape::daily:
      for (int d = firstDay + 1; d <= lastDay; ++d) days.push_back(d);
      break;
    case Shape::weekdays:
      for (int d = firstDay + 1; d <= lastDay; ++d) {
        if (isWeekday(d)) days.push_back(d);
      }
      break;
    case Shape::weekly:
    case Shape::biweekly: {
      int step = shape == Shape::weekly ? 7 : 14;
      for (int d = firstDay + step; d <= lastDay; d += step) days.push_back(d);
      break;
    }
    case Shape::monthly: {
      std::tm first = civilOf(firstDay);
      for (int k = 1;; ++k) {
        int months = first.tm_mon + k;
        auto day = dayOf(first.tm_year + 1900 + months / 12, months % 12 + 1, first.tm_mday);
        if (!day) continue;  // no 31st (or 30th, 29th) that month: RFC 5545 skips it
        if (*day > lastDay) break;
        days.push_back(*day);
      }
      break;
    }
  }
  return days;
}

SeriesPlan planSeries(Random& random, Shape shape, bool ends) {
  static const char* const kRules[] = {"FREQ=DAILY", "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR", "FREQ=WEEKLY",
                                       "FREQ=WEEKLY;INTERVAL=2", "FREQ=MONTHLY"};
  SeriesPlan plan;
  plan.shape = shape;
  plan.rule = kRules[static_cast<int>(shape)];
  plan.uid = uidFrom(random);
  plan.title = titleFrom(random);
  plan.calendar = calendarFrom(random);
  const std::int64_t secondOfDay = random.between(28, 72) * 900;  // 07:00 to 18:00
  plan.duration = random.between(1, 6) * 900;
  // The data's last day is kWindowDays - 3, so nothing reaches past the window
  // except the series that do not end.
  constexpr int lastDataDay = kWindowDays - 3;
  int span = 0;  // days from the first occurrence to the last allowed one
  switch (shape) {
    case Shape::daily: span = random.between(20, 60); break;
    case Shape::weekdays: span = random.between(8, 20) * 7; break;
    case Shape::weekly: span = random.between(20, 60) * 7; break;
    case Shape::biweekly: span = random.between(10, 30) * 14; break;
    case Shape::monthly: span = random.between(6, 14) * 30; break;
  }
  int firstDay = ends ? random.between(1, lastDataDay - span) : random.between(1, 300);
  while (shape == Shape::weekdays && !isWeekday(firstDay)) ++firstDay;
  int lastDay = ends ? firstDay + span - 1 : kWindowDays + 2;
  if (ends) plan.until = localMoment(lastDay, 23 * 3600).epoch;  // after the last one's start, whatever its time
  for (int day : daysOf(shape, firstDay, lastDay)) {
    Moment m = localMoment(day, secondOfDay);
    plan.occurrences.push_back(Occurrence{m.wall, m.epoch});
  }
  return plan;
}

std::size_t countIn(const Window& window, const std::vector<Record>& singles, const std::vector<SeriesPlan>& series) {
  std::size_t count = 0;
  for (const Record& r : singles) count += window.overlaps(r.start, r.end) ? 1 : 0;
  for (const SeriesPlan& s : series) {
    for (const Occurrence& o : s.occurrences) count += !o.excluded && window.overlaps(o.start, o.start + s.duration);
  }
  return count;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string calendarList(const std::vector<std::string>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) out += (i ? "," : "") + quoted(ids[i]);
  return out + "]";
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

std::string eventsRequest(const Window& window, const std::vector<std::string>& ids) {
  return "{\"from\":" + std::to_string(window.from) + ",\"to\":" + std::to_string(window.to) +
         ",\"calendars\":" + calendarList(ids) + "}";
}

// The records of the large read in a plain table, as a general tool would keep
// them, and the calendars in a small one; in WAL mode like the store, so that
// opening it costs what opening the store does.
bool writeReference(const std::string& path, const std::vector<Record>& records,
                    const std::vector<std::shared_ptr<const Calendar>>& calendars) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  bool done = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL; BEGIN; "
                           "CREATE TABLE records(uid TEXT NOT NULL, title TEXT NOT NULL, start REAL NOT NULL, "
                           "end REAL NOT NULL, allDay INTEGER NOT NULL, calendar TEXT NOT NULL); "
                           "CREATE TABLE calendars(id TEXT NOT NULL, title TEXT NOT NULL, color TEXT NOT NULL, "
                           "writable INTEGER NOT NULL, source TEXT NOT NULL)",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  done = done && sqlite3_prepare_v2(db, "INSERT INTO records VALUES(?1, ?2, ?3, ?4, ?5, ?6)", -1, &insert, nullptr) ==
                     SQLITE_OK;
  for (std::size_t i = 0; done && i < records.size(); ++i) {
    const Record& r = records[i];
    sqlite3_bind_text(insert, 1, r.uid.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, r.title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 3, static_cast<double>(r.start));
    sqlite3_bind_double(insert, 4, static_cast<double>(r.end));
    sqlite3_bind_int(insert, 5, r.allDay ? 1 : 0);
    sqlite3_bind_text(insert, 6, calendars[r.calendar]->calendarIdentifier.c_str(), -1, SQLITE_TRANSIENT);
    done = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  sqlite3_finalize(insert);
  insert = nullptr;
  done = done && sqlite3_prepare_v2(db, "INSERT INTO calendars VALUES(?1, ?2, ?3, ?4, ?5)", -1, &insert, nullptr) ==
                     SQLITE_OK;
  for (std::size_t i = 0; done && i < calendars.size(); ++i) {
    const Calendar& c = *calendars[i];
    std::string color = hex(c.color);
    std::string source = c.source && c.source->title ? *c.source->title : std::string();
    sqlite3_bind_text(insert, 1, c.calendarIdentifier.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, c.title.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, color.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 4, c.allowsContentModifications ? 1 : 0);
    sqlite3_bind_text(insert, 5, source.c_str(), -1, SQLITE_TRANSIENT);
    done = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
  }
  sqlite3_finalize(insert);
  done = done && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  return sqlite3_close(db) == SQLITE_OK && done;
}

int fail(const std::string& message) {
  std::fprintf(stderr, "calbridge-bench-fill: %s\n", message.c_str());
  return 1;
}

int fill(const std::string& storePath, const std::string& out) {
  const char* zone = std::getenv("TZ");
  if (zone == nullptr || *zone == '\0' || *zone == ':' || *zone == '/') return fail("TZ must name a zone");
  tzset();

  SqliteStore store(storePath);
  if (!store.open()) return fail("cannot open the store at " + storePath);
  auto calendars = store.calendars();
  auto standard = store.defaultCalendarForNewEvents();
  if (calendars.size() != kCalendars || !standard || standard->calendarIdentifier != calendars[0]->calendarIdentifier) {
    return fail("the store needs exactly 20 calendars, the first of them the default");
  }
  std::vector<std::string> ids;
  for (const auto& calendar : calendars) ids.push_back(calendar->calendarIdentifier);

  Random random(kSeed);
  const Window full{"events-450d", localMoment(0, 0).epoch, localMoment(0, 0).epoch + kWindowSeconds};
  const std::int64_t middle = full.from + kWindowSeconds / 2;

  // Single events: nine in ten at a time of day in the zone, the rest all-day
  // (floating, kept as wall seconds) and up to three days long.
  std::vector<Record> singles;
  std::vector<StoredEvent> stored;
  std::vector<int> monthOf;  // for importing in the order the events happen
  for (int i = 0; i < kSingles; ++i) {
    Record r;
    r.uid = uidFrom(random);
    r.title = titleFrom(random);
    r.calendar = calendarFrom(random);
    int day = random.between(1, kWindowDays - 6);
    StoredEvent e;
    e.externalIdentifier = r.uid;
    e.title = r.title;
    if (random.percent(10)) {
      Moment start = localMoment(day, 0);
      Moment end = localMoment(day + random.between(1, 3), 0);
      r.allDay = e.allDay = true;
      e.start = static_cast<double>(start.wall);
      e.end = static_cast<double>(end.wall);
      r.start = start.epoch;
      r.end = end.epoch;
    } else {
      Moment start = localMoment(day, random.between(28, 80) * 900);  // 07:00 to 20:00
      r.allDay = e.allDay = false;
      r.start = start.epoch;
      r.end = start.epoch + random.between(1, 12) * 900;
      e.timeZone = zone;
      e.start = static_cast<double>(r.start);
      e.end = static_cast<double>(r.end);
    }
    singles.push_back(r);
    stored.push_back(std::move(e));
    monthOf.push_back(day / 30);
  }

  // Repeating series: thirty of each shape the bridge makes. Daily and weekday
  // series always end; of the others, half end and half go on past the window.
  std::vector<SeriesPlan> series;
  for (Shape shape : {Shape::daily, Shape::weekdays, Shape::weekly, Shape::biweekly, Shape::monthly}) {
    for (int i = 0; i < kSeriesPerShape; ++i) {
      bool ends = shape == Shape::daily || shape == Shape::weekdays || i % 2 == 0;
      series.push_back(planSeries(random, shape, ends));
    }
  }

  // Skipped occurrences: one in each series, then as many more, spread at random,
  // as bring the occurrences in the window to exactly kTargetOccurrences.
  std::size_t total = countIn(full, singles, series);
  if (total < kTargetOccurrences + series.size()) return fail("too few occurrences to skip some in every series");
  std::vector<std::pair<std::size_t, std::size_t>> candidates;  // (series, occurrence), never the first
  for (std::size_t s = 0; s < series.size(); ++s) {
    for (std::size_t o = 1; o < series[s].occurrences.size(); ++o) {
      const Occurrence& occurrence = series[s].occurrences[o];
      if (full.overlaps(occurrence.start, occurrence.start + series[s].duration)) candidates.emplace_back(s, o);
    }
  }
  random.shuffle(candidates);
  std::vector<bool> hasSkip(series.size(), false);
  std::size_t excluded = 0;
  for (auto [s, o] : candidates) {
    if (hasSkip[s]) continue;
    series[s].occurrences[o].excluded = hasSkip[s] = true;
    ++excluded;
  }
  for (auto [s, o] : candidates) {
    if (total - excluded == kTargetOccurrences) break;
    if (series[s].occurrences[o].excluded) continue;
    series[s].occurrences[o].excluded = true;
    ++excluded;
  }
  if (total - excluded != kTargetOccurrences) return fail("could not reach the target occurrence count");

  // Import month by month and calendar by calendar, so the table's rows lie
  // roughly in the order a store that grew over time has them.
  for (int month = 0; month <= kWindowDays / 30; ++month) {
    for (std::size_t c = 0; c < kCalendars; ++c) {
      std::vector<StoredEvent> batch;
      for (std::size_t i = 0; i < stored.size(); ++i) {
        if (monthOf[i] == month && singles[i].calendar == c) batch.push_back(stored[i]);
      }
      for (const SeriesPlan& s : series) {
        if (s.calendar != c || (s.occurrences.front().wall - kBaseWall) / kDay / 30 != month) continue;
        StoredEvent e;
        e.externalIdentifier = s.uid;
        e.title = s.title;
        e.timeZone = zone;
        e.start = static_cast<double>(s.occurrences.front().start);
        e.end = e.start + static_cast<double>(s.duration);
        e.rule = s.rule;
        if (s.until) e.until = static_cast<double>(*s.until);
        for (const Occurrence& o : s.occurrences) {
          if (o.excluded) e.excluded.push_back(o.wall);
        }
        batch.push_back(std::move(e));
      }
      if (!batch.empty() && !store.importEvents(ids[c], batch)) return fail("the store refused the events");
    }
  }

  // The reference table holds exactly the records the large read returns.
  std::vector<Record> records;
  for (const Record& r : singles) {
    if (full.overlaps(r.start, r.end)) records.push_back(r);
  }
  for (const SeriesPlan& s : series) {
    for (const Occurrence& o : s.occurrences) {
      if (!o.excluded && full.overlaps(o.start, o.start + s.duration)) {
        records.push_back(Record{s.uid, s.title, o.start, o.start + s.duration, false, s.calendar});
      }
    }
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  if (!writeReference(out + "/ref.db", records, calendars)) return fail("cannot write the reference database");

  // The requests bench/run times, and the counts that show they did real work.
  const Window windows[] = {
      full,
      {"events-first-half", full.from, middle},
      {"events-second-half", middle, full.to},
      {"events-1d", localMoment(kOneDay, 0).epoch, localMoment(kOneDay + 1, 0).epoch},
  };
  std::string expected;
  for (const Window& window : windows) {
    if (!writeFile(out + "/" + window.name + ".json", eventsRequest(window, ids))) return fail("cannot write " + out);
    expected += window.name + " " + std::to_string(countIn(window, singles, series)) + "\n";
  }

  // A new daily series in the default calendar with the most skip entries a
  // request may carry, each the exact start of one of its occurrences.
  const Moment seriesStart = localMoment(100, 9 * 3600 + 1800);
  const int seriesDays = 1200;
  std::vector<int> skipped;
  for (int k = 1; k < seriesDays; ++k) skipped.push_back(k);
  random.shuffle(skipped);
  skipped.resize(kSkipEntries);
  std::sort(skipped.begin(), skipped.end());
  std::string skip = "[";
  for (std::size_t i = 0; i < skipped.size(); ++i) {
    skip += (i ? "," : "") + std::to_string(localMoment(100 + skipped[i], 9 * 3600 + 1800).epoch);
  }
  skip += "]";
  const std::int64_t until = localMoment(100 + seriesDays - 1, 23 * 3600).epoch;
  const Window skipCheck{"skip-check", seriesStart.epoch, seriesStart.epoch + kWindowSeconds};
  std::size_t remaining = 0;
  for (int k = 0; k < seriesDays; ++k) {
    std::int64_t start = localMoment(100 + k, 9 * 3600 + 1800).epoch;
    if (!std::binary_search(skipped.begin(), skipped.end(), k) && skipCheck.overlaps(start, start + 900)) ++remaining;
  }
  expected += "skip-check " + std::to_string(remaining) + "\n";

  const Moment single = localMoment(kOneDay, 10 * 3600);
  const Record* toDelete = nullptr;
  for (const Record& r : singles) {
    if (r.calendar == 0 && !r.allDay) {
      toDelete = &r;
      break;
    }
  }
  const SeriesPlan* weekly = nullptr;
  for (const SeriesPlan& s : series) {
    if (s.shape == Shape::weekly && !s.until) {
      weekly = &s;
      break;
    }
  }
  const Occurrence* occurrence = nullptr;
  for (std::size_t o = weekly->occurrences.size() / 2; o < weekly->occurrences.size() && !occurrence; ++o) {
    if (!weekly->occurrences[o].excluded) occurrence = &weekly->occurrences[o];
  }
  if (toDelete == nullptr || occurrence == nullptr) return fail("no event to delete");

  const std::string calendar = quoted(ids[0]);
  const std::string files[][2] = {
      {"create-single.json", "{\"calendar\":" + calendar + ",\"title\":\"Dentist\",\"start\":" +
                                 std::to_string(single.epoch) + ",\"end\":" + std::to_string(single.epoch + 3600) +
                                 "}"},
      {"create-skip.json", "{\"calendar\":" + calendar + ",\"title\":\"Daily stand-up\",\"start\":" +
                               std::to_string(seriesStart.epoch) + ",\"end\":" +
                               std::to_string(seriesStart.epoch + 900) + ",\"repeat\":\"daily\",\"until\":" +
                               std::to_string(until) + ",\"skip\":" + skip + "}"},
      {"skip-check.json", eventsRequest(skipCheck, {ids[0]})},
      {"delete-event.json", "{\"uid\":" + quoted(toDelete->uid) + ",\"calendar\":" + calendar + "}"},
      {"delete-occurrence.json", "{\"uid\":" + quoted(weekly->uid) + ",\"calendar\":" +
                                     quoted(ids[weekly->calendar]) + ",\"start\":" +
                                     std::to_string(occurrence->start) + "}"},
      {"create-calendar.json", "{\"title\":\"Bench calendar\",\"color\":\"#3366cc\"}"},
      {"empty.json", "{}"},
      {"expected.txt", expected},
  };
  for (const auto& [name, text] : files) {
    if (!writeFile(out + "/" + name, text)) return fail("cannot write " + out + "/" + name);
  }

  std::size_t repeating = kTargetOccurrences - static_cast<std::size_t>(countIn(full, singles, {}));
  std::printf("generated: %zu calendars, %d single events, %zu series (%d of each rule shape), %zu skipped "
              "occurrences\n",
              kCalendars, kSingles, series.size(), kSeriesPerShape, excluded);
  std::printf("expected occurrences in 450 days: %zu (%zu single, %zu repeating)\n", records.size(),
              records.size() - repeating, repeating);
  return 0;
}

constexpr int kDenseDailySeries = 5000;

int fillDense(const std::string& storePath, const std::string& out) {
  SqliteStore store(storePath);
  if (!store.open()) return fail("cannot open the store at " + storePath);
  auto standard = store.defaultCalendarForNewEvents();
  if (!standard) return fail("the store has no default calendar");
  const Window full{"events-dense", localMoment(0, 0).epoch, localMoment(0, 0).epoch + kWindowSeconds};
  const char* zone = std::getenv("TZ");
  std::vector<StoredEvent> events;
  auto series = [&](const std::string& uid, const std::string& rule, std::int64_t start, std::int64_t length) {
    StoredEvent e;
    e.externalIdentifier = uid;
    e.title = uid;
    e.timeZone = zone;
    e.start = static_cast<double>(start);
    e.end = static_cast<double>(start + length);
    e.rule = rule;
    events.push_back(std::move(e));
  };
  series("every-second", "FREQ=SECONDLY", full.from, 1);
  series("every-minute", "FREQ=MINUTELY", full.from, 30);
  for (int i = 0; i < kDenseDailySeries; ++i) {
    series("daily-" + std::to_string(i), "FREQ=DAILY", localMoment(i % 400, 8 * 3600 + (i % 40) * 900).epoch, 1800);
  }
  if (!store.importEvents(standard->calendarIdentifier, events)) return fail("the store refused the events");
  if (!writeFile(out + "/events-dense.json", eventsRequest(full, {standard->calendarIdentifier}))) {
    return fail("cannot write " + out);
  }
  std::printf("generated: 1 SECONDLY, 1 MINUTELY and %d daily series in one calendar\n", kDenseDailySeries);
  return 0;
}

}  // namespace
}  // namespace calbridge

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--dense") return calbridge::fillDense(argv[2], argv[3]);
  if (argc != 3) {
    std::fprintf(stderr, "usage: calbridge-bench-fill [--dense] STORE_PATH OUT_DIR\n");
    return 2;
  }
  return calbridge::fill(argv[1], argv[2]);
}
