#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "VLSQLiteDatabase.h"

struct sqlite3;
class VLSQLiteStatement;

// One web-storage store of the page: a SQLite database file "<name>.db" holding
// the table "storage" of text keys and text values (keys unique).
//
// Limits, on the byte length of the UTF-8 text, equal accepted, more refused:
// keys 300 bytes, values 3145728 bytes; the value of the key "settings" at most
// 1000000 bytes and never containing the four characters "0": anywhere. The
// keys and values of a store hold at most 10485760 bytes together: a write
// that would grow them beyond that is refused (one that does not grow them is
// taken, also in a store an older version filled beyond it).
//
// The file gives the room of deleted rows back to the volume once a removal
// leaves 1 MB or more of it unused (SQLite's incremental vacuum); a file made
// by an older version is converted to that when the store opens.
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
  // What browsers let one origin store: five million UTF-16 code units.
  static constexpr int64_t kMaxTotalBytes = 10485760;
  // Unused room in the file worth giving back to the volume: less stays for
  // the next writes, so small removals do not shrink and grow the file.
  static constexpr int64_t kReclaimBytes = 1048576;

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

  // Opens the store's file (the path of the last init) for reading only,
  // changing nothing in it: its rows are read, every write fails. Refused
  // with false on a store that is open; false, closed, when the file cannot
  // be read as a store.
  bool initReadOnly();

  // Whether the last failed open or statement (since the store was made)
  // says that the file cannot be written now (a full or failing disk, a
  // folder or file made read-only), as opposed to a file another process
  // holds or one that is no database.
  bool failedForWantOfWriting() const;

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
  // Opens the connection; on failure logs it and keeps its result code.
  bool openDatabase(const std::string& path, VLSQLiteDatabase::Access access, VLSQLiteDatabase::WhenLocked whenLocked);
  bool createSchema();
  bool purgeRowsBeyondLimits();
  // SQLite's auto_vacuum mode of the file.
  bool vacuumMode(int64_t* mode);
  // Asks a new file to give room back (see kUseIncrementalVacuum).
  bool askForIncrementalVacuum();
  // Makes a file of an older version give room back (a VACUUM, which needs
  // room for a copy): on failure the file stays as it is, and the next open
  // tries again.
  void convertToIncrementalVacuum();
  // Gives the file's unused pages back to the volume when they are worth it.
  void giveBackUnusedRoom();
  // The bytes the keys and values hold together: counted again only when
  // another connection changed the file since the last count.
  bool countTotal(int64_t* total);
  // The bytes of the key's row (0 when there is none).
  bool rowBytes(const std::string& key, int64_t* bytes);
  // Whether a row of `bytes` under the key keeps the store within its total;
  // `growth` receives what it adds. Logs a refusal.
  bool fitsInTotal(const std::string& key, int64_t bytes, int64_t* growth);
  void logSqliteFailure(int code, const char* message);
  static bool checkKey(const std::string& key);

  sqlite3* db_;
  // Prepared statements by their text's address (this file's constants);
  // released before the connection closes.
  std::map<const char*, std::unique_ptr<VLSQLiteStatement>> statements_;
  Sharing sharing_;
  int lastFailure_;
  // The keys' and values' bytes as counted at the file's data version
  // `totalVersion_` (-1: not counted), kept up to date by this store's writes.
  int64_t totalBytes_;
  int64_t totalVersion_;
  std::string path_;
  std::string name_;
};
