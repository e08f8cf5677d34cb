#pragma once

#include <string>
#include <vector>

struct sqlite3;

// A test's own connection to an SQLite database file, to look at and change
// what the code under test stored there. For tests only.
class TestDatabase {
 public:
  // Opens (or creates) the database file.
  explicit TestDatabase(const std::string& path);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // Runs the statements; false, with SQLite's message on stderr, when one fails.
  bool exec(const std::string& sql);
  // Every row of the query, its columns joined by '|' (NULL as "NULL"). A
  // query that fails gives the one row "error: " and SQLite's message.
  std::vector<std::string> rows(const std::string& sql);

 private:
  sqlite3* db_ = nullptr;
};
