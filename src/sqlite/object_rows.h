// A replica object's rows (its events, their exclusions and extra dates)
// taken as values and put back: what a change staged for a server leaves,
// kept while the store's write lock is let go for the server's answer.
#pragma once

#include "sqlite/database.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace calbridge::sqlite {

struct ObjectRows {
  // Each column as it was; the first two of an event's row are its id and its series' id.
  using Cell = std::variant<std::monostate, std::int64_t, double, std::string>;
  std::vector<std::vector<Cell>> events, excluded, extraDates;
};

std::optional<ObjectRows> readObjectRows(Database& db, std::int64_t objectId);
// Puts `rows` back as the object's rows, in place of what it has; the rows
// take new ids, and what names a row names its new one.
bool writeObjectRows(Database& db, std::int64_t objectId, const ObjectRows& rows);

}  // namespace calbridge::sqlite
