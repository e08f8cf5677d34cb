#pragma once

#include <string>

struct sqlite3;

// Opening and closing SQLite databases by path: the one place in the core
// that opens one, so every connection is made with the same flags and waits
// for another process's lock the same way. Connections are plain SQLite
// handles, used by one thread at a time.
class VLSQLiteDatabase {
 public:
  // How long a statement waits for another process's lock on a database
  // (a second instance, a backup, a user's sqlite3) before it fails.
  static const int kBusyTimeoutMs = 2000;

  enum class Access {
    ReadWrite,  // the file is made when it is missing
    ReadOnly
  };

  enum class WhenLocked {
    Fail,  // a statement fails at once while another process holds the lock
    Wait   // it tries again every millisecond, up to kBusyTimeoutMs
  };

  // Opens the database at `path`. Answers SQLite's result code: on
  // SQLITE_OK *db is the connection, which the caller closes with close().
  // On failure *db is null (the connection SQLite hands out even then is
  // closed) and *message, when given, holds SQLite's message for it.
  // Logs nothing: the caller says what could not be opened, or stays
  // quiet where a failure is itself the answer (a damaged file).
  static int open(const std::string& path, Access access, WhenLocked whenLocked, sqlite3** db,
                  std::string* message = nullptr);

  // Whether the connection only reads: SQLite opens a file on a read-only
  // folder or volume for reading even when asked to write, and the
  // connection stays so after the volume is writable again.
  static bool isReadOnly(sqlite3* db);

  // Closes a connection (null is allowed) and answers SQLite's result code:
  // SQLITE_BUSY while a statement on it is not finalized, which leaves it open.
  static int close(sqlite3* db);
};
