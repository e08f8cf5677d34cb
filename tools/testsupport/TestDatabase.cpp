#include "TestDatabase.h"

#include <cstdio>
#include <sqlite3.h>

TestDatabase::TestDatabase(const std::string& path) {
  sqlite3_open(path.c_str(), &db_);
}

TestDatabase::~TestDatabase() {
  sqlite3_close(db_);
}

bool TestDatabase::exec(const std::string& sql) {
  char* error = nullptr;
  int result = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (result != SQLITE_OK) fprintf(stderr, "TestDatabase: %s: %s\n", sql.c_str(), error ? error : sqlite3_errmsg(db_));
  sqlite3_free(error);
  return result == SQLITE_OK;
}

std::vector<std::string> TestDatabase::rows(const std::string& sql) {
  std::vector<std::string> result;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    return {"error: " + std::string(sqlite3_errmsg(db_))};
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      row += (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    result.push_back(row);
  }
  if (step != SQLITE_DONE) result.push_back("error: " + std::string(sqlite3_errmsg(db_)));
  sqlite3_finalize(statement);
  return result;
}
