#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include <memory>
#include <sys/stat.h>

#include "TestSmallVolume.h"
#include "VLFileHelper.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "VLPreferenceStore.h"
#include "VLTemporaryFolder.h"
#include "VLTestLog.h"

namespace {

class VLPreferenceStoreTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { VLTestLog::start(); }
    VLTemporaryFolder folder;
    std::string path() { return folder.path("velora-desktop/preferences"); }
};

std::string allBytes()
{
    std::string text;
    for (int i = 0; i < 256; ++i)
        text += static_cast<char>(i);
    return text;
}

}  // namespace

TEST_F(VLPreferenceStoreTest, ValuesSurviveANewInstance)
{
    {
        VLPreferenceStore store(path());
        std::string value;
        EXPECT_FALSE(store.get("LastIdentity", value));
        EXPECT_TRUE(store.set("LastIdentity", "12345"));
        EXPECT_TRUE(store.set("#anonymous##OutputDevice", "0:0"));
        EXPECT_TRUE(store.set("empty", ""));
        EXPECT_TRUE(store.set("LastIdentity", "67890"));
    }
    VLPreferenceStore again(path());
    std::string value;
    ASSERT_TRUE(again.get("LastIdentity", value));
    EXPECT_EQ("67890", value);
    ASSERT_TRUE(again.get("#anonymous##OutputDevice", value));
    EXPECT_EQ("0:0", value);
    ASSERT_TRUE(again.get("empty", value));  // stored empty, not removed
    EXPECT_EQ("", value);
}

TEST_F(VLPreferenceStoreTest, AnyBytesInKeysAndValuesSurvive)
{
    std::string key = "id=\n%#" + allBytes();
    std::string value = allBytes() + "\r\n==%%";
    {
        VLPreferenceStore store(path());
        ASSERT_TRUE(store.set(key, value));
        ASSERT_TRUE(store.set("", "empty key"));
        ASSERT_TRUE(store.set("plain", "after"));
    }
    VLPreferenceStore again(path());
    std::string read;
    ASSERT_TRUE(again.get(key, read));
    EXPECT_EQ(value, read);
    ASSERT_TRUE(again.get("", read));
    EXPECT_EQ("empty key", read);
    ASSERT_TRUE(again.get("plain", read));
    EXPECT_EQ("after", read);
}

TEST_F(VLPreferenceStoreTest, DamagedLinesAreSkippedAndTheOthersKept)
{
    folder.writeFile("prefs", "first=1\nno separator here\nbad=%G1\ntruncated=%4\n\nlast=%3D2\nnolf=3");
    size_t mark = VLTestLog::mark();
    VLPreferenceStore store(folder.path("prefs"));
    std::string value;
    ASSERT_TRUE(store.get("first", value));
    EXPECT_EQ("1", value);
    ASSERT_TRUE(store.get("last", value));
    EXPECT_EQ("=2", value);
    ASSERT_TRUE(store.get("nolf", value));
    EXPECT_EQ("3", value);
    EXPECT_FALSE(store.get("bad", value));
    EXPECT_FALSE(store.get("truncated", value));
    std::string log = VLTestLog::since(mark);
    EXPECT_NE(std::string::npos, log.find("Damaged preference line 2 skipped"));
    EXPECT_NE(std::string::npos, log.find("Damaged preference line 3 skipped"));
    EXPECT_NE(std::string::npos, log.find("Damaged preference line 4 skipped"));

    // A later set rewrites the file with every readable entry.
    ASSERT_TRUE(store.set("new", "4"));
    VLPreferenceStore again(folder.path("prefs"));
    ASSERT_TRUE(again.get("first", value));
    ASSERT_TRUE(again.get("nolf", value));
    ASSERT_TRUE(again.get("new", value));
}

TEST_F(VLPreferenceStoreTest, TwoInstancesSeeEachOthersWrites)
{
    VLPreferenceStore first(path());
    VLPreferenceStore second(path());
    ASSERT_TRUE(first.set("a", "1"));
    std::string value;
    ASSERT_TRUE(second.get("a", value));
    EXPECT_EQ("1", value);
    ASSERT_TRUE(second.set("b", "2"));
    ASSERT_TRUE(first.set("c", "3"));  // must not drop "b"
    VLPreferenceStore third(path());
    EXPECT_TRUE(third.get("a", value));
    EXPECT_TRUE(third.get("b", value));
    EXPECT_TRUE(third.get("c", value));
}

TEST_F(VLPreferenceStoreTest, ConcurrentWritersLoseNothing)
{
    VLPreferenceStore shared(path());
    VLPreferenceStore other(path());
    const int kThreads = 4;
    const int kKeys = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        VLPreferenceStore* store = (t % 2 == 0) ? &shared : &other;
        threads.emplace_back([store, t] {
            for (int k = 0; k < kKeys; ++k) {
                std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
                store->set(key, std::to_string(t * 1000 + k));
                std::string value;
                store->get(key, value);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    VLPreferenceStore check(path());
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            std::string value;
            ASSERT_TRUE(check.get("t" + std::to_string(t) + "k" + std::to_string(k), value)) << t << " " << k;
            EXPECT_EQ(std::to_string(t * 1000 + k), value);
        }
    }
    // No temporary file is left beside the store.
    std::list<std::string> files;
    ASSERT_TRUE(VLPlatformFactory::instance()->getFileHelper()->listFiles(folder.path("velora-desktop"), &files));
    files.sort();
    EXPECT_EQ((std::list<std::string>{path(), path() + ".lock"}), files);
}

TEST_F(VLPreferenceStoreTest, AValueThatCouldNotBeWrittenIsKeptAndWrittenByTheNextSet)
{
    std::string below = folder.writeFile("plain", "x") + "/sub/preferences";
    size_t mark = VLTestLog::mark();
    VLPreferenceStore unwritable(below);
    EXPECT_FALSE(unwritable.set("k", "v"));
    std::string value;
    ASSERT_TRUE(unwritable.get("k", value));
    EXPECT_EQ("v", value);
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("Unable to write preferences"));

    // A full disk refuses one set; the next set, once there is room again,
    // re-reads the file but keeps and writes the refused value as well.
    std::string volume = folder.path("small");
    ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
    int result = TestSmallVolume::run(volume, "64k", [&] {
        VLPreferenceStore store(volume + "/preferences");
        EXPECT_TRUE(store.set("a", "1"));
        std::unique_ptr<VLMappedFile> filler(VLPlatformFactory::instance()->createMappedFile(volume + "/filler"));
        for (size_t size = 64 * 1024; size > 0 && !filler->open(size); size -= 4096) {
        }
        filler->close();
        std::string kept;
        EXPECT_FALSE(store.set("k", "v"));
        EXPECT_TRUE(store.get("k", kept));
        VLPlatformFactory::instance()->getFileHelper()->removeFile(filler->getPath());
        EXPECT_TRUE(store.set("later", "w"));
        EXPECT_TRUE(store.get("k", kept));
        VLPreferenceStore again(volume + "/preferences");
        EXPECT_TRUE(again.get("k", kept) && kept == "v");
        EXPECT_TRUE(again.get("a", kept) && again.get("later", kept));
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (result != -1) {
        EXPECT_EQ(0, result);
    }
}

TEST(VLPreferenceStoreEscape, RoundTripAndRejects)
{
    std::string text = allBytes();
    std::string escaped = VLPreferenceStore::escape(text);
    EXPECT_EQ(std::string::npos, escaped.find('\n'));
    EXPECT_EQ(std::string::npos, escaped.find('='));
    std::string back;
    ASSERT_TRUE(VLPreferenceStore::unescape(escaped, back));
    EXPECT_EQ(text, back);
    EXPECT_FALSE(VLPreferenceStore::unescape("%", back));
    EXPECT_FALSE(VLPreferenceStore::unescape("%2", back));
    EXPECT_FALSE(VLPreferenceStore::unescape("%zz", back));
    EXPECT_TRUE(VLPreferenceStore::unescape("%2f%2F", back));
    EXPECT_EQ("//", back);
}
