// What the store's files share and nothing outside this folder includes: the
// store's private types, and the template that makes one all-or-nothing change.
#pragma once

#include "calendar/civil_time.h"
#include "calendar/occurrences.h"
#include "calendar/recurrence.h"
#include "calendar/store.h"
#include "calendar/stored_series.h"
#include "sqlite/calendar_rows.h"
#include "sqlite/columns.h"
#include "sqlite/database.h"
#include "sqlite/event_rows.h"
#include "sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

using sqlite::CalendarRow;
using sqlite::Database;
using sqlite::EventRow;
using sqlite::SingleRow;
using Statement = sqlite::Database::Statement;

inline constexpr double kDaySeconds = static_cast<double>(kDay);

// A repeating event with its exclusions, extra dates and changed occurrences, ready to expand.
struct SqliteStore::CachedSeries {
  EventRow row;
  Series series;
  // Its changed occurrences by start, as rows and as the listing takes them.
  std::vector<EventRow> changeRows = {};
  std::vector<SeriesChange> changes = {};
  // The item its occurrences are listed under: a split-off series' origin; empty: its own.
  std::string listedItemId = {};

  std::string_view listedItem() const {
    return listedItemId.empty() ? std::string_view(row.event.calendarItemIdentifier) : std::string_view(listedItemId);
  }
  // How far a part split off a series moved its occurrences from their original starts (0 for a series).
  std::int64_t shift() const {
    return row.seriesId && row.event.recurrenceId ? partShift(series, row.event.recurrenceId->wall) : 0;
  }
};

// Single events of a calendar, as singlesIn lends them.
struct SqliteStore::Singles {
  std::span<const SingleRow> rows;
  const std::string* text;
};

// What the store read and keeps until a change (or a write transaction) makes it stale.
struct SqliteStore::Caches {
  std::optional<std::vector<CalendarRow>> calendarRows;
  std::map<std::int64_t, std::vector<CachedSeries>> series;  // by calendar row
  std::map<std::int64_t, sqlite::SinglesChunk> singles;  // by calendar row
  std::optional<double> longestEvent;
  // Room a listing builds what it feeds the merge in, kept for the next one:
  // the skips of a new series each list their window.
  struct Fed {
    Singles singles;
    const std::vector<CachedSeries>* series;
  };
  std::vector<Fed> fed;
  std::vector<TimeRange> times;
  std::vector<ListedSeries> listed;
  std::vector<CalendarFeed> feeds;
};

template <typename Work>
bool SqliteStore::change(bool commit, Work&& work) {
  if (!usable_ || db_->lost()) return false;
  const bool began = !db_->inTransaction();
  if (began) {
    if (!db_->begin()) return false;
    // Others may have written since anything here was read; from now on nobody can.
    forgetCaches();
    staged_.clear();
    plainWrites_ = false;
    failure_ = Status::ok();
  }
  // Changes staged before this one stay whatever becomes of it: a change that
  // joins an open transaction takes back only its own writes when refused.
  ChangeBatch stagedBefore = began ? ChangeBatch{} : staged_;
  bool done = began || db_->savepoint();
  if (done) {
    const std::size_t stagingsBefore = stagings_;
    const sqlite3_int64 writesBefore = sqlite3_total_changes64(db_->handle());
    done = work();
    // A change that wrote rows and staged nothing for a server is a change of
    // the store alone (see publishStaged).
    if (done && stagings_ == stagingsBefore && sqlite3_total_changes64(db_->handle()) != writesBefore) {
      plainWrites_ = true;
    }
    if (!began) {
      if (done) {
        done = db_->release();
      } else {
        db_->rollbackToSavepoint();
        staged_ = std::move(stagedBefore);
      }
    }
  }
  if (db_->lost()) {
    forgetCaches();
    staged_.clear();
    return false;
  }
  if (!done) {
    forgetCaches();
    if (began) {
      db_->rollback();
      staged_.clear();
    }
    return false;
  }
  return commit ? finishTransaction().isOk() : true;
}

}  // namespace calbridge
