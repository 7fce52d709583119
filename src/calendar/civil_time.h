#pragma once

// Proleptic Gregorian date arithmetic on day numbers (days since 1970-01-01)
// and wall seconds; the one home for it, shared by zones, rules and files.

#include <cstdint>

namespace calbridge {

inline constexpr std::int64_t kDay = 86400;
// 0001-01-01 and 10000-01-01: the years iCalendar can write and wall time is defined for.
inline constexpr std::int64_t kFirstMoment = -62135596800;
inline constexpr std::int64_t kEndOfTime = 253402300800;

// Division rounding toward negative infinity, so times before 1970 fall on the right day.
constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int daysInMonth(int y, int m) {
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// 0 Sunday to 6 Saturday; 1970-01-01 was a Thursday.
constexpr int weekdayOf(std::int64_t day) { return static_cast<int>(day + 4 - floorDiv(day + 4, 7) * 7); }

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t daysFromCivil(int year, int month, int day);
struct CivilDate {
  int year;
  int month;  // 1 to 12
  int day;  // 1 to 31
};
CivilDate civilFromDays(std::int64_t days);

}  // namespace calbridge
