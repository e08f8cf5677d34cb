#include "VLLocalStorage.h"
#include "VLSessionStorage.h"
#include "VLStorage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "TestFolder.h"
#include "TestSmallVolume.h"
#include "VLTestLog.h"

namespace {

// The store's row count; -1 when it cannot say.
int rowCount(VLStorage& store) {
  int count = -2;
  return store.length(&count) ? count : -1;
}

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

class StorageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static TestFolder data;
    s_data = data.path();
    setenv("XDG_DATA_HOME", s_data.c_str(), 1);
    VLTestLog::start();
  }

  bool logged(const std::string& message) const { return VLTestLog::since(mark_).find(message) != std::string::npos; }

  static std::string s_data;
  const size_t mark_ = VLTestLog::mark();
  TestFolder folder_;
  const std::string dir_ = folder_.path();
};

std::string StorageTest::s_data;

// Limits count bytes of UTF-8, equal accepted; "settings" has a rule of its own.
TEST_F(StorageTest, LimitsOnKeysValuesAndSettings) {
  const size_t kMaxValue = 3145728;
  VLLocalStorage store;
  ASSERT_TRUE(store.init(dir_, "localStorage"));
  const struct {
    std::string key;
    std::string value;
    bool stored;
    const char* message;
  } cases[] = {
      {std::string(300, 'k'), "v", true, nullptr},
      {repeat("\xc3\xa9", 150), "accent", true, nullptr},
      {repeat("\xc3\xa9", 151), "accent", false, "Key is too long : 302"},
      {std::string(301, 'k'), "v", false, "Key is too long : 301"},
      {"big", std::string(kMaxValue, 'x'), true, nullptr},
      {"big", std::string(kMaxValue + 1, 'x'), false, "Value is too long : 3145729"},
      {"settings", std::string(1000000, 's'), true, nullptr},
      {"settings", std::string(1000001, 's'), false, "Invalid value for : settings"},
      {"settings", "{\"0\":1}", false, "Invalid value for : settings"},
      {"other", "{\"0\":1}", true, nullptr},
      {"other", std::string(1000001, 's'), true, nullptr},
  };
  std::map<std::string, std::string> rows;
  for (const auto& c : cases) {
    EXPECT_EQ(c.stored, store.setItem(c.key, c.value)) << c.key.size() << " " << c.value.size();
    if (c.stored) rows[c.key] = c.value;
    if (c.message) {
      EXPECT_TRUE(logged(c.message)) << c.message;
    }
  }
  EXPECT_FALSE(store.getItem(std::string(301, 'k'), nullptr));
  EXPECT_FALSE(store.removeItem(std::string(301, 'k')));
  // What was stored reads back whole; refused writes left the rows as they were.
  for (const auto& row : rows) {
    std::string value;
    EXPECT_TRUE(store.getItem(row.first, &value) && value == row.second) << row.first.size();
  }
  EXPECT_EQ(int(rows.size()), rowCount(store));
}

TEST_F(StorageTest, ReadsWritesCountsAndIndexes) {
  VLSessionStorage store;
  ASSERT_TRUE(store.init(dir_, "sessionStorage"));
  std::string value = "untouched";
  EXPECT_FALSE(store.getItem("missing", &value));
  EXPECT_EQ("untouched", value);
  EXPECT_TRUE(store.removeItem("missing"));
  EXPECT_FALSE(store.key(0, &value)) << "no row in an empty store";

  EXPECT_TRUE(store.setItem("a", "first"));
  EXPECT_TRUE(store.setItem("a", "second"));
  EXPECT_EQ(1, rowCount(store));
  EXPECT_TRUE(store.getItem("a", &value));
  EXPECT_EQ("second", value);
  EXPECT_TRUE(store.getItem("a", nullptr)) << "a null value is an existence test";
  EXPECT_TRUE(store.setItem("empty", ""));
  EXPECT_TRUE(store.getItem("empty", &value));
  EXPECT_EQ("", value);
  // Keys and values are bytes: a NUL byte neither cuts them nor ends them.
  const std::string nulKey("k\0ey", 4), nulValue("a\0b\0c", 5);
  ASSERT_TRUE(store.setItem(nulKey, nulValue));
  EXPECT_TRUE(store.getItem(nulKey, &value));
  EXPECT_EQ(nulValue, value);
  EXPECT_FALSE(store.getItem("k", nullptr));

  std::set<std::string> keys;
  for (int i = 0; store.key(i, &value); ++i) keys.insert(value);
  EXPECT_EQ((std::set<std::string>{"a", "empty", nulKey}), keys);
  value = "untouched";
  EXPECT_FALSE(store.key(-1, &value)) << "a negative index names no row";
  EXPECT_EQ("untouched", value);
  EXPECT_TRUE(store.key(2, nullptr));

  EXPECT_TRUE(store.removeItem("a"));
  EXPECT_FALSE(store.getItem("a", nullptr));
  EXPECT_TRUE(store.clear());
  EXPECT_EQ(0, rowCount(store));
}

TEST_F(StorageTest, ASettingsRowWithTheForbiddenTextIsPurgedAtOpen) {
  {
    VLLocalStorage store;
    ASSERT_TRUE(store.init(dir_, "localStorage"));
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir_ + "/localStorage.db").c_str(), &db));
  EXPECT_EQ(SQLITE_OK,
            sqlite3_exec(db, "INSERT INTO storage VALUES ('settings', '{\"0\":1}');", nullptr, nullptr, nullptr));
  sqlite3_close(db);
  VLLocalStorage store;
  ASSERT_TRUE(store.init(dir_, "localStorage"));
  EXPECT_FALSE(store.getItem("settings", nullptr));
}

// Local rows last; session rows last one run, also when the run ended without
// tear-down. Closed stores answer false and clean harmlessly. Both live in the
// "storage" folder of the application data folder.
TEST_F(StorageTest, LocalRowsLastAndSessionRowsLastOneRun) {
  const std::string folder = s_data + "/velora-desktop/storage";
  {
    VLLocalStorage local;
    VLSessionStorage session;
    std::string text;
    int count = 7;
    EXPECT_TRUE(session.clean()) << "cleaning a closed session store runs no SQL";
    EXPECT_FALSE(session.setItem("k", "v") || session.getItem("k", &text) || session.removeItem("k") ||
                 session.clear() || session.length(&count) || session.key(0, &text));
    EXPECT_EQ(7, count);
    ASSERT_TRUE(local.init());
    ASSERT_TRUE(session.init());
    EXPECT_EQ(folder + "/localStorage.db", local.getPath());
    EXPECT_EQ(folder + "/sessionStorage.db", session.getPath());
    EXPECT_EQ("localStorage", local.getName());
    EXPECT_EQ("sessionStorage", session.getName());
    ASSERT_TRUE(local.setItem("k", "local"));
    ASSERT_TRUE(session.setItem("k", "session"));
    EXPECT_TRUE(local.clean());
    EXPECT_TRUE(session.clean());
    EXPECT_FALSE(local.isOpen() || session.isOpen());
    EXPECT_TRUE(local.clean() && session.clean()) << "cleaning twice is harmless";
  }
  struct stat info;
  EXPECT_EQ(0, stat((folder + "/sessionStorage.db").c_str(), &info)) << "the file stays, with an empty table";
  {
    VLSessionStorage crashed;
    ASSERT_TRUE(crashed.init());
    ASSERT_TRUE(crashed.setItem("k", "from a run that never tore down"));
  }
  VLLocalStorage local;
  VLSessionStorage session;
  ASSERT_TRUE(local.init());
  ASSERT_TRUE(session.init());
  std::string value;
  EXPECT_TRUE(local.getItem("k", &value));
  EXPECT_EQ("local", value);
  EXPECT_EQ(0, rowCount(session));

  EXPECT_FALSE(local.init(dir_, "localStorage")) << "a second init is refused";
  EXPECT_TRUE(local.isOpen());
  EXPECT_EQ(folder + "/localStorage.db", local.getPath());
  EXPECT_TRUE(local.getItem("k", nullptr));
}

// Fills the volume of `folder` until no byte fits; the filler's path.
std::string fillVolume(const std::string& folder) {
  const std::string path = folder + "/filler";
  const int filler = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::string block(4096, 'f');
  while (filler != -1 && write(filler, block.data(), block.size()) > 0) {
  }
  if (filler != -1) close(filler);
  return path;
}

// A session store whose file cannot be written at the start (a full disk)
// keeps the run's rows in memory; the rows a killed run left in the file
// reach neither this run nor, once there is room, the next one.
TEST_F(StorageTest, ASessionStoreThatCannotBeWrittenLivesInMemoryForTheRun) {
  const std::string volume = folder_.folder("small");
  const int result = TestSmallVolume::run(volume, "256k", [&] {
    {
      VLSessionStorage killed;  // destroyed without clean: its rows stay
      EXPECT_TRUE(killed.init(volume, "sessionStorage"));
      EXPECT_TRUE(killed.setItem("left", "by a killed run"));
    }
    const std::string filler = fillVolume(volume);
    {
      VLSessionStorage store;
      EXPECT_TRUE(store.init(volume, "sessionStorage"));
      EXPECT_TRUE(
          logged("Session storage cannot be written, this run keeps it in memory : " + volume + "/sessionStorage.db"));
      EXPECT_FALSE(store.getItem("left", nullptr));
      EXPECT_TRUE(store.setItem("k", "v"));
      EXPECT_EQ(1, rowCount(store));
      EXPECT_TRUE(store.clean());
    }
    unlink(filler.c_str());
    VLSessionStorage next;
    EXPECT_TRUE(next.init(volume, "sessionStorage"));
    EXPECT_EQ(0, rowCount(next));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A file of an older version gives room back only once converted, which
// needs room for a copy: on a full disk it opens as it is, with its rows,
// and is converted at an open that has room.
TEST_F(StorageTest, AnOlderFileIsConvertedWhenThereIsRoom) {
  const std::string volume = folder_.folder("small");
  const int result = TestSmallVolume::run(volume, "256k", [&] {
    const std::string path = volume + "/localStorage.db";
    auto vacuumMode = [&path] {
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db, "PRAGMA auto_vacuum", -1, &statement, nullptr);
      const int mode = sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int(statement, 0) : -1;
      sqlite3_finalize(statement);
      sqlite3_close(db);
      return mode;
    };
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "CREATE TABLE storage (key VARCHAR NOT NULL, value VARCHAR NOT NULL, "
                                      "PRIMARY KEY (key)); INSERT INTO storage VALUES ('k', 'v');",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
    const std::string filler = fillVolume(volume);
    {
      VLLocalStorage store;
      EXPECT_TRUE(store.init(volume, "localStorage"));
      std::string value;
      EXPECT_TRUE(store.getItem("k", &value));
      EXPECT_EQ("v", value);
    }
    EXPECT_EQ(0, vacuumMode()) << "not converted without room";
    unlink(filler.c_str());
    VLLocalStorage store;
    EXPECT_TRUE(store.init(volume, "localStorage"));
    EXPECT_TRUE(store.getItem("k", nullptr));
    EXPECT_EQ(2, vacuumMode()) << "incremental";
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A write a full disk refuses is not taken for a store that can no longer be
// written (a home turned read-only): the store stays open for writing, and
// the next write goes through once there is room.
TEST_F(StorageTest, ALocalWriteRefusedByAFullDiskLeavesTheStoreWritable) {
  const std::string volume = folder_.folder("small");
  const int result = TestSmallVolume::run(volume, "256k", [&] {
    VLLocalStorage store;
    EXPECT_TRUE(store.init(volume, "localStorage"));
    EXPECT_TRUE(store.setItem("small", "v"));
    const std::string filler = fillVolume(volume);
    const std::string large = repeat("x", 100000);
    EXPECT_FALSE(store.setItem("large", large));
    unlink(filler.c_str());
    EXPECT_TRUE(store.setItem("large", large));
    EXPECT_FALSE(logged("Local storage can no longer be written"));
    EXPECT_TRUE(store.getItem("small", nullptr));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

TEST_F(StorageTest, CorruptOrUnusableFilesFailCleanly) {
  const std::string garbage(8192, '\x5a');
  for (const char* name : {"/localStorage.db", "/sessionStorage.db"})
    std::ofstream(dir_ + name, std::ios::binary) << garbage;
  VLLocalStorage local;
  VLSessionStorage session;
  EXPECT_FALSE(local.init(dir_, "localStorage"));
  EXPECT_FALSE(session.init(dir_, "sessionStorage"));
  EXPECT_FALSE(local.isOpen());
  EXPECT_FALSE(session.isOpen()) << "a failed open never keeps its connection";
  EXPECT_TRUE(logged("SQLite failed : (26)"));
  EXPECT_EQ(garbage, TestFolder::read(dir_ + "/localStorage.db")) << "nothing written over it";

  // A folder where the database file should be; a file where its folder should be.
  ASSERT_EQ(0, mkdir((dir_ + "/dir/").c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir_ + "/dir/localStorage.db").c_str(), 0755));
  EXPECT_FALSE(local.init(dir_ + "/dir", "localStorage"));
  EXPECT_FALSE(local.isOpen());
  EXPECT_FALSE(session.init(dir_ + "/localStorage.db", "sessionStorage"));
  EXPECT_FALSE(session.isOpen());
  EXPECT_TRUE(logged("Unable to create local storage path : " + dir_ + "/localStorage.db"));
  EXPECT_EQ("sessionStorage", session.getName());
}

}  // namespace
