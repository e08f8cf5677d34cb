#include "VLSQLiteDatabase.h"

#include <sqlite3.h>

#include "VLPlatformFactory.h"

namespace {

// SQLite's busy callback: true to try again. `tries` counts the calls of one
// wait, so with a millisecond between tries it bounds the wait. SQLite's own
// waits grow to 100 ms apart, so a process that writes back to back takes the
// lock again between them and a waiting write runs out of time.
int tryAgainSoon(void*, int tries) {
  if (tries >= VLSQLiteDatabase::kBusyTimeoutMs) return 0;
  VLPlatformFactory::instance()->sleep(1);
  return 1;
}

}  // namespace

int VLSQLiteDatabase::open(const std::string& path, Access access, WhenLocked whenLocked, sqlite3** db,
                           std::string* message) {
  const int flags = access == Access::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  *db = nullptr;
  sqlite3* connection = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &connection, flags, nullptr);
  if (rc != SQLITE_OK) {
    if (message) *message = sqlite3_errmsg(connection);
    sqlite3_close(connection);
    return rc;
  }
  if (whenLocked == WhenLocked::Wait) sqlite3_busy_handler(connection, tryAgainSoon, nullptr);
  *db = connection;
  return rc;
}

bool VLSQLiteDatabase::isReadOnly(sqlite3* db) {
  return db && sqlite3_db_readonly(db, "main") == 1;
}

int VLSQLiteDatabase::close(sqlite3* db) {
  return sqlite3_close(db);
}
