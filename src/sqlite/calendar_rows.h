// The calendars, sources and settings tables as the store reads them.
#pragma once

#include "calendar/store.h"
#include "sqlite/database.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge::sqlite {

// A calendar with its row and what its account says about it.
struct CalendarRow {
  std::int64_t id = 0;
  std::shared_ptr<const Calendar> calendar;
  bool replica = false;  // its account is kept in step with a server
  std::string remoteUrl;  // a replica's collection on the server
  std::optional<double> syncedAt;  // that account's last sync, completed or only begun
};

// Every calendar, by row. A replica's calendar may change only as far as the
// server lets this user write it, and only when changes can reach the server
// (`canPublish`); otherwise it lists as read-only and immutable.
std::vector<CalendarRow> readCalendarRows(Database& db, bool canPublish);

// The row of the account with that identifier (compared by canonical equivalence).
std::optional<std::int64_t> findSourceRow(Database& db, std::string_view identifier);
// True when the account is kept in step with a server; also when that cannot
// be read, as refusing is the safe answer.
bool isRemoteSource(Database& db, std::int64_t sourceId);

// An integer setting ("authorization", "default_calendar"); nothing when unset or unreadable.
std::optional<std::int64_t> readSetting(Database& db, const char* name);

}  // namespace calbridge::sqlite
