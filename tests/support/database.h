// A store's database file opened directly with the SQLite C API, for what the
// protocol cannot show: the file's integrity and the rows as stored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace calbridge::testing {

class Database {
 public:
  // Opens an existing database file; throws when it cannot.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // PRAGMA integrity_check and foreign_key_check: "ok" for a healthy file, else what they found.
  std::string check();
  // Every row `sql` yields, each column as text ("NULL" for null). `parameters` bind ?1, ?2, ... as text.
  std::vector<std::vector<std::string>> rows(const std::string& sql, const std::vector<std::string>& parameters = {});
  // The one integer `sql` yields.
  std::int64_t integer(const std::string& sql, const std::vector<std::string>& parameters = {});
  // Runs statements that return nothing; throws on an error.
  void execute(const std::string& sql);
  // Every table with all its rows, sorted, as text: equal dumps mean an unchanged store.
  std::string dump();

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace calbridge::testing
