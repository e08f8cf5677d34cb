#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct sqlite3;
class VLSQLiteStatement;

// One web-storage store of the page: a SQLite database file "<name>.db" holding
// the table "storage" of text keys and text values (keys unique).
//
// Limits, on the byte length of the UTF-8 text, equal accepted, more refused:
// keys 300 bytes, values 3145728 bytes; the value of the key "settings" at most
// 1000000 bytes and never containing the four characters "0": anywhere.
//
// Every operation but the destructor returns true when done and logs its own
// failures; a refused or failed write leaves the table unchanged. A missing row
// is not an error and is not logged. Keys and values are byte strings: embedded
// NUL bytes are stored and read back whole.
//
// REQUIRES: external synchronization. The store has no lock; the core uses each
// store from the main thread only, so each connection has one user at a time.
// Another process using the same file (a second client, a user's sqlite3)
// makes a statement wait up to two seconds for its lock before it fails.
class VLStorage {
 public:
  static const size_t kMaxKeyBytes = 300;
  static const size_t kMaxValueBytes = 3145728;
  static const size_t kMaxSettingsBytes = 1000000;

  // A closed store with empty path and name.
  VLStorage();
  // Closes the connection as VLStorage::clean does; never deletes rows.
  virtual ~VLStorage();

  // Opens (creating when missing) dir/name.db, creates the table and purges
  // rows an earlier run left beyond the limits. Refused with false on a store
  // that is already open. On any failure the connection is closed again, the
  // store is left closed and the result is false; path and name stay set.
  virtual bool init(const std::string& dir, const std::string& name);

  // Closes the connection. True also when the store is already closed. When
  // SQLite refuses to close, logs, keeps the connection and returns false.
  virtual bool clean();

  // Deletes every row.
  virtual bool clear();

  // True only when the key has a row; then `value`, when not null, receives
  // the stored value. A null `value` makes this an existence test.
  virtual bool getItem(const std::string& key, std::string* value);

  // Deletes the key's row; removing a missing key succeeds.
  virtual bool removeItem(const std::string& key);

  // Stores or replaces the key's value after the limit checks.
  virtual bool setItem(const std::string& key, const std::string& value);

  // The number of rows into `count` (when not null).
  virtual bool length(int* count);

  // True only when a row exists at `index` in SQLite's plain scan order; then
  // `key`, when not null, receives its key. Negative indexes have no row.
  virtual bool key(int index, std::string* key);

  bool isOpen() const { return db_ != nullptr; }
  std::string getName() const { return name_; }
  std::string getPath() const { return path_; }

 protected:
  // A store whose file only one process may use at a time: the connection
  // takes the database's locks at its first statement and keeps them until
  // it closes, so that a second process cannot read or change its rows.
  enum class Sharing { SharedWithOtherProcesses, ThisProcessOnly };
  explicit VLStorage(Sharing sharing);

  // Closes the connection without touching the rows (shared by clean, the
  // destructors and the failure path of init).
  bool closeConnection();

  // Opens the store on a database of its own in memory, with the table, in
  // place of its file: its rows then last until the store closes. Refused
  // with false on a store that is open.
  bool initInMemory();

  // The SQLite result code of the last failed open or statement (0 when
  // none failed since the store was made), to tell why init failed.
  int lastFailure() const { return lastFailure_; }

 private:
  // What a statement binds: a text (when `text` is set) or a 64-bit number.
  struct Binding {
    Binding(const std::string& value) : text(&value), number(0) {}
    Binding(int64_t value) : text(nullptr), number(value) {}
    const std::string* text;
    int64_t number;
  };
  // What a statement answers from column 0 of its first row.
  struct Answer {
    bool gotRow = false;
    std::string text;
    int64_t number = 0;
  };
  enum class Column { None, Text, Int64 };

  // Binds, steps once and reads column 0 when a row comes back, on the
  // statement prepared for `sql` at its first use and kept until the
  // connection closes. OK, DONE and ROW succeed; anything else is logged as
  // a SQLite failure and gives false. False without SQL when not open.
  bool execute(const char* sql, const Binding* bindings, int count, Column column, Answer* answer);
  // The kept statement for one of this file's statement texts; null, with
  // the failure logged, when it cannot be prepared.
  VLSQLiteStatement* statementFor(const char* sql);
  bool execute(const char* sql) { return execute(sql, nullptr, 0, Column::None, nullptr); }
  bool createSchema();
  bool purgeRowsBeyondLimits();
  void logSqliteFailure(int code, const char* message);
  static bool checkKey(const std::string& key);

  sqlite3* db_;
  // Prepared statements by their text's address (this file's constants);
  // released before the connection closes.
  std::map<const char*, std::unique_ptr<VLSQLiteStatement>> statements_;
  Sharing sharing_;
  int lastFailure_;
  std::string path_;
  std::string name_;
};
