#include "VLSQLiteStatement.h"

#include <sqlite3.h>

#include "VLLogger.h"

VLSQLiteStatement::VLSQLiteStatement(sqlite3* db) : db_(db), statement_(nullptr) {}

VLSQLiteStatement::~VLSQLiteStatement() {
  finalize();
}

bool VLSQLiteStatement::check(int result, bool rowAllowed) {
  if (result == SQLITE_OK || result == SQLITE_DONE || (rowAllowed && result == SQLITE_ROW)) return true;
  VL_LOG_ERROR("SQLite failed : (" << result << ") " << sqlite3_errmsg(db_));
  return false;
}

bool VLSQLiteStatement::prepare(const std::string& sql) {
  finalize();
  return check(sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr), false);
}

bool VLSQLiteStatement::bindText(int index, const std::string& value) {
  return check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT),
               false);
}

bool VLSQLiteStatement::bindInt64(int index, int64_t value) {
  return check(sqlite3_bind_int64(statement_, index, value), false);
}

bool VLSQLiteStatement::step(bool* row) {
  int result = sqlite3_step(statement_);
  if (row) *row = result == SQLITE_ROW;
  return check(result, true);
}

bool VLSQLiteStatement::execute() {
  return check(sqlite3_step(statement_), false);
}

bool VLSQLiteStatement::reset() {
  return check(sqlite3_reset(statement_), false);
}

void VLSQLiteStatement::rewind() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

void VLSQLiteStatement::finalize() {
  if (statement_) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

int VLSQLiteStatement::columnInt(int column) {
  return sqlite3_column_int(statement_, column);
}

int64_t VLSQLiteStatement::columnInt64(int column) {
  return sqlite3_column_int64(statement_, column);
}

std::string VLSQLiteStatement::columnText(int column) {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
}

bool VLSQLiteStatement::execute(sqlite3* db, const std::string& sql) {
  VLSQLiteStatement statement(db);
  return statement.prepare(sql) && statement.execute();
}
