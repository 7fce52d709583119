// What the store's files share, and nothing outside this folder includes: the
// column readers and binders, the columns every event query reads, and the
// template that makes one all-or-nothing change.
#pragma once

#include "calendar/civil_time.h"
#include "calendar/color.h"
#include "calendar/store.h"
#include "sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

// The schema the migrations (schema.cpp) build; PRAGMA user_version holds it.
inline constexpr int kSchemaVersion = 6;
inline constexpr int kBusyTimeoutMs = 10000;
inline constexpr double kDaySeconds = static_cast<double>(kDay);

std::string columnText(sqlite3_stmt* s, int column);
std::optional<std::string> optionalText(sqlite3_stmt* s, int column);
std::optional<double> optionalReal(sqlite3_stmt* s, int column);
std::optional<std::int64_t> optionalInteger(sqlite3_stmt* s, int column);
void bindText(sqlite3_stmt* s, int index, std::string_view text);
void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& text);
void bindOptionalReal(sqlite3_stmt* s, int index, std::optional<double> value);

// A color as the calendars table keeps it: a space's name and its components as text.
std::optional<Color> colorOf(const std::optional<std::string>& space, const std::optional<std::string>& components);
// A calendar's own fields, at parameters 2 to 6 of inserts and updates alike.
void bindCalendarFields(sqlite3_stmt* s, const Calendar& calendar);

// Every event query reads the columns EventRow::read expects: one literal each,
// so that a query is written, and cached, as one SQL text.
#define CALBRIDGE_SELECT_EVENTS                                                                                   \
  "SELECT id, item_id, external_id, calendar_id, title, start, end, all_day, status, time_zone, rule, until, " \
  "count, last_end, nominal_days, series_id, recurrence_id FROM events "

template <typename Work>
bool SqliteStore::change(bool commit, Work&& work) {
  if (!usable_ || lost_) return false;
  bool began = false;
  if (!inTransaction_) {
    if (!run(statement("BEGIN IMMEDIATE"))) return false;
    inTransaction_ = true;
    began = true;
    // Others may have written since anything here was read; from now on nobody can.
    forgetCaches();
  }
  // Changes staged before this one stay whatever becomes of it: a change that
  // joins an open transaction takes back only its own writes when refused.
  const bool nested = !began;
  if (began) staged_.clear();
  std::vector<PendingChange> stagedBefore = nested ? staged_ : std::vector<PendingChange>{};
  bool done = !nested || run(statement("SAVEPOINT change"));
  if (done) {
    done = work();
    if (nested) {
      if (done) {
        done = run(statement("RELEASE change"));
      } else {
        run(statement("ROLLBACK TO change"));
        run(statement("RELEASE change"));
        staged_ = std::move(stagedBefore);
      }
    }
  }
  noticeLostTransaction();
  if (lost_) {
    forgetCaches();
    staged_.clear();
    return false;
  }
  if (!done) {
    forgetCaches();
    if (began) {
      run(statement("ROLLBACK"));
      inTransaction_ = false;
      staged_.clear();
    }
    return false;
  }
  return commit ? finishTransaction() : true;
}

}  // namespace calbridge
