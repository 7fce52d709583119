#include "support/database.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

namespace calbridge::testing {

Database::Database(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 10000);
}

Database::~Database() { sqlite3_close(db_); }

std::vector<std::vector<std::string>> Database::rows(const std::string& sql,
                                                     const std::vector<std::string>& parameters) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_));
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    sqlite3_bind_text(s, static_cast<int>(i + 1), parameters[i].data(), static_cast<int>(parameters[i].size()),
                      SQLITE_TRANSIENT);
  }
  std::vector<std::vector<std::string>> result;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 0; c < sqlite3_column_count(s); ++c) {
      if (sqlite3_column_type(s, c) == SQLITE_NULL) {
        row.emplace_back("NULL");
      } else {
        auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, c));
        row.emplace_back(text, static_cast<std::size_t>(sqlite3_column_bytes(s, c)));
      }
    }
    result.push_back(std::move(row));
  }
  std::string message = sqlite3_errmsg(db_);
  sqlite3_finalize(s);
  if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + message);
  return result;
}

std::int64_t Database::integer(const std::string& sql, const std::vector<std::string>& parameters) {
  auto result = rows(sql, parameters);
  if (result.size() != 1 || result[0].size() != 1) throw std::runtime_error(sql + ": not one value");
  return std::stoll(result[0][0]);
}

void Database::execute(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : "error";
    sqlite3_free(message);
    throw std::runtime_error(sql + ": " + text);
  }
}

std::string Database::check() {
  std::string found;
  for (const auto& row : rows("PRAGMA integrity_check")) found += row[0] + "\n";
  if (found != "ok\n") return found;
  auto orphans = rows("PRAGMA foreign_key_check");
  if (!orphans.empty()) return "rows without their parent: " + std::to_string(orphans.size()) + " (" +
                               orphans[0][0] + ")";
  return "ok";
}

std::string Database::dump() {
  std::string text = "user_version " + rows("PRAGMA user_version")[0][0] + "\n";
  for (const auto& table : rows("SELECT name, sql FROM sqlite_master ORDER BY type, name")) {
    text += table[0] + ": " + table[1] + "\n";
    if (table[1].rfind("CREATE TABLE", 0) != 0) continue;
    std::vector<std::string> lines;
    for (const auto& row : rows("SELECT * FROM \"" + table[0] + "\"")) {
      std::string line;
      for (const auto& column : row) line += column + "|";
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines) text += "  " + line + "\n";
  }
  return text;
}

}  // namespace calbridge::testing
