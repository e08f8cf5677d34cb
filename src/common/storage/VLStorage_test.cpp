#include "VLLocalStorage.h"
#include "VLSessionStorage.h"
#include "VLStorage.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "VLTemporaryFolder.h"
#include "VLTestLog.h"

namespace {

// Runs SQL on the store's file behind its back, as another program would.
void runRawSql(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    char* error = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error)) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

std::string repeat(const std::string& piece, size_t times)
{
    std::string text;
    text.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

std::string readFile(const std::string& path)
{
    return VLTemporaryFolder::readFile(path);
}

class StorageTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static VLTemporaryFolder data;
        s_data = data.path();
        setenv("XDG_DATA_HOME", s_data.c_str(), 1);
        VLTestLog::start();
    }

    std::string log() { return VLTestLog::since(0); }

    static std::string s_data;
    VLTemporaryFolder m_folder;
    const std::string m_dir = m_folder.path();
};

std::string StorageTest::s_data;

TEST_F(StorageTest, KeyLimitIsThreeHundredBytesForEveryOperation)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));

    const std::string ascii300(300, 'k');
    EXPECT_TRUE(store.setItem(ascii300, "v"));
    std::string value;
    EXPECT_TRUE(store.getItem(ascii300, &value));
    EXPECT_EQ("v", value);

    const std::string twoByte300 = repeat("\xc3\xa9", 150);
    const std::string twoByte302 = repeat("\xc3\xa9", 151);
    EXPECT_TRUE(store.setItem(twoByte300, "accent"));
    EXPECT_FALSE(store.setItem(twoByte302, "accent"));

    const std::string ascii301(301, 'k');
    EXPECT_FALSE(store.setItem(ascii301, "v"));
    EXPECT_FALSE(store.getItem(ascii301, &value));
    EXPECT_FALSE(store.removeItem(ascii301));
    EXPECT_NE(std::string::npos, log().find("Key is too long : 301"));
    EXPECT_NE(std::string::npos, log().find("Key is too long : 302"));

    int count = -1;
    EXPECT_TRUE(store.length(&count));
    EXPECT_EQ(2, count);
}

TEST_F(StorageTest, ValueLimitIsThreeMebibytes)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));

    const std::string largest(VLStorage::kMaxValueBytes, 'x');
    EXPECT_TRUE(store.setItem("big", largest));
    std::string value;
    EXPECT_TRUE(store.getItem("big", &value));
    EXPECT_EQ(largest, value);

    EXPECT_FALSE(store.setItem("big", largest + "x"));
    EXPECT_NE(std::string::npos, log().find("Value is too long : 3145729"));
    EXPECT_TRUE(store.getItem("big", &value));
    EXPECT_EQ(largest.size(), value.size()) << "a refused write leaves the row as it was";
}

TEST_F(StorageTest, SettingsKeyHasItsOwnRule)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));

    EXPECT_TRUE(store.setItem("settings", std::string(1000000, 's')));
    EXPECT_FALSE(store.setItem("settings", std::string(1000001, 's')));
    EXPECT_FALSE(store.setItem("settings", "{\"0\":1}"));
    EXPECT_NE(std::string::npos, log().find("Invalid value for : settings"));

    std::string value;
    ASSERT_TRUE(store.getItem("settings", &value));
    EXPECT_EQ(1000000u, value.size());

    EXPECT_TRUE(store.setItem("other", "{\"0\":1}"));
    EXPECT_TRUE(store.setItem("other", std::string(1000001, 's')));
}

TEST_F(StorageTest, ReadsWritesAndCounts)
{
    VLSessionStorage store;
    ASSERT_TRUE(store.init(m_dir, "sessionStorage"));

    std::string value = "untouched";
    EXPECT_FALSE(store.getItem("missing", &value));
    EXPECT_EQ("untouched", value);
    EXPECT_TRUE(store.removeItem("missing"));

    EXPECT_TRUE(store.setItem("a", "first"));
    EXPECT_TRUE(store.setItem("a", "second"));
    int count = 0;
    EXPECT_TRUE(store.length(&count));
    EXPECT_EQ(1, count);
    EXPECT_TRUE(store.getItem("a", &value));
    EXPECT_EQ("second", value);
    EXPECT_TRUE(store.getItem("a", nullptr)) << "a null value is an existence test";

    EXPECT_TRUE(store.setItem("empty", ""));
    EXPECT_TRUE(store.getItem("empty", &value));
    EXPECT_EQ("", value);

    EXPECT_TRUE(store.removeItem("a"));
    EXPECT_FALSE(store.getItem("a", nullptr));
    EXPECT_TRUE(store.clear());
    EXPECT_TRUE(store.length(&count));
    EXPECT_EQ(0, count);
}

TEST_F(StorageTest, KeyAddressesRowsByIndexOnly)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));
    std::string key = "untouched";
    EXPECT_FALSE(store.key(0, &key)) << "no row in an empty store";

    ASSERT_TRUE(store.setItem("one", "1"));
    ASSERT_TRUE(store.setItem("two", "2"));
    std::set<std::string> seen;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(store.key(i, &key));
        seen.insert(key);
    }
    EXPECT_EQ((std::set<std::string>{ "one", "two" }), seen);
    EXPECT_FALSE(store.key(2, &key));
    key = "untouched";
    EXPECT_FALSE(store.key(-1, &key)) << "a negative index names no row";
    EXPECT_EQ("untouched", key);
    EXPECT_TRUE(store.key(1, nullptr));
}

TEST_F(StorageTest, EmbeddedNulBytesSurvive)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));
    const std::string key("k\0ey", 4);
    const std::string value("a\0b\0c", 5);
    ASSERT_TRUE(store.setItem(key, value));
    std::string read;
    ASSERT_TRUE(store.getItem(key, &read));
    EXPECT_EQ(value, read);
    EXPECT_FALSE(store.getItem("k", nullptr)) << "the key is not cut at its NUL byte";
    ASSERT_TRUE(store.key(0, &read));
    EXPECT_EQ(key, read);
}

TEST_F(StorageTest, RowsBeyondTheLimitsArePurgedAtOpen)
{
    {
        VLLocalStorage store;
        ASSERT_TRUE(store.init(m_dir, "localStorage"));
        ASSERT_TRUE(store.setItem("keep", "kept"));
        ASSERT_TRUE(store.setItem("settings", "{\"1\":2}"));
    }
    const std::string path = m_dir + "/localStorage.db";
    runRawSql(path, "INSERT INTO storage VALUES ('" + std::string(301, 'k') + "', 'v');"
                    "INSERT INTO storage VALUES ('" + std::string(300, 'k') + "', 'v');"
                    "INSERT INTO storage VALUES ('huge', replace(hex(zeroblob(3145729)), '00', 'x'));");
    {
        VLLocalStorage store;
        ASSERT_TRUE(store.init(m_dir, "localStorage"));
        int count = 0;
        ASSERT_TRUE(store.length(&count));
        EXPECT_EQ(3, count);
        EXPECT_TRUE(store.getItem("keep", nullptr));
        EXPECT_TRUE(store.getItem("settings", nullptr));
        EXPECT_TRUE(store.getItem(std::string(300, 'k'), nullptr));
        EXPECT_FALSE(store.getItem("huge", nullptr));
    }
    runRawSql(path, "INSERT OR REPLACE INTO storage VALUES ('settings', '{\"0\":1}');");
    {
        VLLocalStorage store;
        ASSERT_TRUE(store.init(m_dir, "localStorage"));
        EXPECT_FALSE(store.getItem("settings", nullptr));
        EXPECT_TRUE(store.getItem("keep", nullptr));
    }
}

TEST_F(StorageTest, LocalRowsOutliveCleanSessionRowsDoNot)
{
    {
        VLLocalStorage local;
        VLSessionStorage session;
        ASSERT_TRUE(local.init(m_dir, "localStorage"));
        ASSERT_TRUE(session.init(m_dir, "sessionStorage"));
        ASSERT_TRUE(local.setItem("k", "local"));
        ASSERT_TRUE(session.setItem("k", "session"));
        EXPECT_TRUE(local.clean());
        EXPECT_TRUE(session.clean());
        EXPECT_FALSE(local.isOpen());
        EXPECT_FALSE(session.isOpen());
        EXPECT_TRUE(local.clean()) << "cleaning twice is harmless";
        EXPECT_TRUE(session.clean()) << "cleaning a closed session store runs no SQL";
    }
    struct stat info;
    EXPECT_EQ(0, stat((m_dir + "/sessionStorage.db").c_str(), &info)) << "the file stays, with an empty table";

    VLLocalStorage local;
    VLSessionStorage session;
    ASSERT_TRUE(local.init(m_dir, "localStorage"));
    ASSERT_TRUE(session.init(m_dir, "sessionStorage"));
    std::string value;
    EXPECT_TRUE(local.getItem("k", &value));
    EXPECT_EQ("local", value);
    EXPECT_FALSE(session.getItem("k", nullptr));
}

TEST_F(StorageTest, SessionRowsLeftByACrashDoNotReachTheNextRun)
{
    {
        VLSessionStorage session;
        ASSERT_TRUE(session.init(m_dir, "sessionStorage"));
        ASSERT_TRUE(session.setItem("k", "from a run that never tore down"));
        // Destruction without clean, as when the process dies.
    }
    int count = -1;
    VLSessionStorage session;
    ASSERT_TRUE(session.init(m_dir, "sessionStorage"));
    EXPECT_TRUE(session.length(&count));
    EXPECT_EQ(0, count);
}

TEST_F(StorageTest, SecondInitIsRefusedAndTheStoreStaysUsable)
{
    VLLocalStorage store;
    ASSERT_TRUE(store.init(m_dir, "localStorage"));
    ASSERT_TRUE(store.setItem("k", "v"));
    EXPECT_FALSE(store.init(m_dir + "/other", "localStorage"));
    EXPECT_TRUE(store.isOpen());
    EXPECT_EQ(m_dir + "/localStorage.db", store.getPath());
    EXPECT_TRUE(store.getItem("k", nullptr));
}

TEST_F(StorageTest, ClosedStoreAnswersFalseWithoutCrashing)
{
    VLSessionStorage store;
    std::string text;
    int count = 7;
    EXPECT_FALSE(store.isOpen());
    EXPECT_TRUE(store.clean());
    EXPECT_FALSE(store.setItem("k", "v"));
    EXPECT_FALSE(store.getItem("k", &text));
    EXPECT_FALSE(store.removeItem("k"));
    EXPECT_FALSE(store.clear());
    EXPECT_FALSE(store.length(&count));
    EXPECT_EQ(7, count);
    EXPECT_FALSE(store.key(0, &text));
}

TEST_F(StorageTest, CorruptDatabaseFailsCleanly)
{
    {
        std::ofstream garbage(m_dir + "/localStorage.db", std::ios::binary);
        garbage << std::string(8192, '\x5a');
    }
    {
        std::ofstream garbage(m_dir + "/sessionStorage.db", std::ios::binary);
        garbage << std::string(8192, '\x5a');
    }
    VLLocalStorage local;
    VLSessionStorage session;
    EXPECT_FALSE(local.init(m_dir, "localStorage"));
    EXPECT_FALSE(session.init(m_dir, "sessionStorage"));
    EXPECT_FALSE(local.isOpen());
    EXPECT_FALSE(session.isOpen()) << "a failed open never keeps its connection";
    EXPECT_NE(std::string::npos, log().find("SQLite failed : (26)"));
    EXPECT_EQ(std::string(8192, '\x5a'), readFile(m_dir + "/localStorage.db")) << "nothing written over it";
}

TEST_F(StorageTest, UnusableLocationsFailCleanly)
{
    // A folder where the database file should be.
    ASSERT_EQ(0, mkdir((m_dir + "/localStorage.db").c_str(), 0755));
    VLLocalStorage local;
    EXPECT_FALSE(local.init(m_dir, "localStorage"));
    EXPECT_FALSE(local.isOpen());

    // A file where the folder should be.
    { std::ofstream blocker(m_dir + "/blocked"); }
    VLSessionStorage session;
    EXPECT_FALSE(session.init(m_dir + "/blocked", "sessionStorage"));
    EXPECT_FALSE(session.isOpen());
    EXPECT_NE(std::string::npos, log().find("Unable to create local storage path : " + m_dir + "/blocked"));
    EXPECT_EQ("sessionStorage", session.getName());
}

TEST_F(StorageTest, DefaultLocationIsTheApplicationDataFolder)
{
    VLLocalStorage local;
    VLSessionStorage session;
    ASSERT_TRUE(local.init());
    ASSERT_TRUE(session.init());
    EXPECT_EQ("localStorage", local.getName());
    EXPECT_EQ("sessionStorage", session.getName());
    EXPECT_EQ(s_data + "/velora-desktop/storage/localStorage.db", local.getPath());
    EXPECT_EQ(s_data + "/velora-desktop/storage/sessionStorage.db", session.getPath());
}

} // namespace
