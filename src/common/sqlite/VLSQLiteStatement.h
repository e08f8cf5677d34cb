#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// One prepared statement on a connection, finalized when a new one is
// prepared and when the object goes away, so that no way out of an operation
// leaves a statement behind. Every failing SQLite call is logged as
// "SQLite failed : (<code>) <message>". Texts are bound as transient copies.
// Used by one thread at a time, like its connection.
class VLSQLiteStatement {
 public:
  explicit VLSQLiteStatement(sqlite3* db);
  ~VLSQLiteStatement();
  VLSQLiteStatement(const VLSQLiteStatement&) = delete;
  VLSQLiteStatement& operator=(const VLSQLiteStatement&) = delete;

  // Finalizes the statement in hand and prepares sql.
  bool prepare(const std::string& sql);
  bool bindText(int index, const std::string& value);
  bool bindInt64(int index, int64_t value);
  // Steps a statement that returns rows: true with row set while a row is
  // there, true with row clear when the rows are exhausted.
  bool step(bool* row);
  // Steps a statement that returns no row (a row counts as a failure).
  bool execute();
  bool reset();
  // Makes a statement that ran ready to run again, with its bindings
  // cleared. Whatever its last step answered was reported by that step.
  void rewind();
  void finalize();

  int columnInt(int column);
  int64_t columnInt64(int column);
  std::string columnText(int column);

  // Prepares and executes one statement without parameters.
  static bool execute(sqlite3* db, const std::string& sql);

 private:
  bool check(int result, bool rowAllowed);

  sqlite3* db_;
  sqlite3_stmt* statement_;
};
