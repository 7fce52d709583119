#include "sqlite/calendar_rows.h"

#include "base/unicode.h"
#include "sqlite/columns.h"

#include <utility>

namespace calbridge::sqlite {

std::vector<CalendarRow> readCalendarRows(Database& db, bool canPublish) {
  std::vector<CalendarRow> rows;
  Database::Statement s = db.statement(
      "SELECT c.id, c.identifier, c.title, c.color_space, c.color_components, c.writable, c.immutable, "
      "s.identifier, s.title, s.type, s.url, "
      "CASE WHEN s.synced_at IS NULL AND s.sync_tried_at IS NULL THEN NULL "
      "ELSE max(coalesce(s.synced_at, 0), coalesce(s.sync_tried_at, 0)) END, c.remote_url, c.remote_writable "
      "FROM calendars c LEFT JOIN sources s ON s.id = c.source_id "
      "ORDER BY c.id");
  bool row = false;
  while (db.step(s, &row) && row) {
    auto calendar = std::make_shared<Calendar>();
    calendar->calendarIdentifier = columnText(s, 1);
    calendar->title = columnText(s, 2);
    calendar->color = colorOf(optionalText(s, 3), optionalText(s, 4));
    calendar->allowsContentModifications = sqlite3_column_int(s, 5) != 0;
    calendar->isImmutable = sqlite3_column_int(s, 6) != 0;
    if (sqlite3_column_type(s, 7) != SQLITE_NULL) {
      calendar->source = Source{columnText(s, 7), optionalText(s, 8), static_cast<SourceType>(sqlite3_column_int(s, 9))};
    }
    const bool replica = sqlite3_column_type(s, 10) != SQLITE_NULL;
    std::string remoteUrl = replica ? columnText(s, 12) : std::string();
    if (replica) {
      // The server's privilege decides; and only a store that tells the server
      // first may change a replica at all.
      const bool writable = canPublish && !remoteUrl.empty() && sqlite3_column_int(s, 13) != 0;
      calendar->allowsContentModifications = writable;
      calendar->isImmutable = !writable;
    }
    CalendarRow loaded{sqlite3_column_int64(s, 0), std::move(calendar), replica, std::move(remoteUrl), std::nullopt};
    loaded.syncedAt = optionalReal(s, 11);
    rows.push_back(std::move(loaded));
  }
  return rows;
}

std::optional<std::int64_t> findSourceRow(Database& db, std::string_view identifier) {
  Database::Statement s = db.statement("SELECT id, identifier FROM sources ORDER BY id");
  bool row = false;
  while (db.step(s, &row) && row) {
    if (canonicallyEqual(columnText(s, 1), identifier)) return sqlite3_column_int64(s, 0);
  }
  return std::nullopt;
}

bool isRemoteSource(Database& db, std::int64_t sourceId) {
  Database::Statement s = db.statement("SELECT url IS NOT NULL FROM sources WHERE id = ?1");
  if (s != nullptr) sqlite3_bind_int64(s, 1, sourceId);
  bool row = false;
  if (!db.step(s, &row)) return true;
  return row && sqlite3_column_int(s, 0) != 0;
}

std::optional<std::int64_t> readSetting(Database& db, const char* name) {
  Database::Statement s = db.statement("SELECT value FROM settings WHERE name = ?1");
  if (s != nullptr) sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
  bool row = false;
  if (!db.step(s, &row) || !row) return std::nullopt;
  return optionalInteger(s, 0);
}

}  // namespace calbridge::sqlite
