#include "VLSQLiteDatabase.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestDatabase.h"
#include "TestFolder.h"

namespace {

using Access = VLSQLiteDatabase::Access;
using WhenLocked = VLSQLiteDatabase::WhenLocked;

TEST(VLSQLiteDatabaseTest, OpensWithTheAccessAsked) {
  TestFolder folder;
  const std::string path = folder.file("index.db");

  // Read-only does not make a missing file, and hands out no connection.
  sqlite3* db = reinterpret_cast<sqlite3*>(1);
  std::string message;
  EXPECT_EQ(SQLITE_CANTOPEN, VLSQLiteDatabase::open(path, Access::ReadOnly, WhenLocked::Fail, &db, &message));
  EXPECT_EQ(nullptr, db);
  EXPECT_FALSE(message.empty());
  EXPECT_FALSE(TestFolder::exists(path));

  // Read-write makes it.
  ASSERT_EQ(SQLITE_OK, VLSQLiteDatabase::open(path, Access::ReadWrite, WhenLocked::Fail, &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr));
  EXPECT_EQ(SQLITE_OK, VLSQLiteDatabase::close(db));
  EXPECT_TRUE(TestFolder::exists(path));

  // Read-only reads it and writes nothing.
  ASSERT_EQ(SQLITE_OK, VLSQLiteDatabase::open(path, Access::ReadOnly, WhenLocked::Fail, &db));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "SELECT * FROM t", nullptr, nullptr, nullptr));
  EXPECT_EQ(SQLITE_READONLY, sqlite3_exec(db, "INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr));
  EXPECT_EQ(SQLITE_OK, VLSQLiteDatabase::close(db));
  EXPECT_EQ(SQLITE_OK, VLSQLiteDatabase::close(nullptr));
}

// Another process holds the file's lock for a moment: a connection that waits
// writes once it is released, one that does not fails at once.
TEST(VLSQLiteDatabaseTest, WaitsForALockOnlyWhenAsked) {
  TestFolder folder;
  const std::string path = folder.file("index.db");
  TestDatabase other(path);
  ASSERT_TRUE(other.exec("CREATE TABLE t (x)"));

  const struct {
    WhenLocked whenLocked;
    int expected;
  } cases[] = {{WhenLocked::Fail, SQLITE_BUSY}, {WhenLocked::Wait, SQLITE_OK}};
  for (const auto& c : cases) {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, VLSQLiteDatabase::open(path, Access::ReadWrite, c.whenLocked, &db));
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    // Released long before the wait's end (kBusyTimeoutMs).
    std::thread release([&other] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      other.exec("COMMIT");
    });
    EXPECT_EQ(c.expected, sqlite3_exec(db, "INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr))
        << (c.whenLocked == WhenLocked::Wait ? "waiting" : "failing at once");
    release.join();
    EXPECT_EQ(SQLITE_OK, VLSQLiteDatabase::close(db));
  }
  EXPECT_EQ(std::vector<std::string>{"1"}, other.rows("SELECT x FROM t"));
}

}  // namespace
