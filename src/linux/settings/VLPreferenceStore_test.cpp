#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSmallVolume.h"
#include "VLFileHelper.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "VLPreferenceStore.h"
#include "TestFolder.h"
#include "VLTestLog.h"

namespace {

class VLPreferenceStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VLTestLog::start(); }
  TestFolder folder;
  std::string path() { return folder.file("velora-desktop/preferences"); }
};

std::string allBytes() {
  std::string text;
  for (int i = 0; i < 256; ++i) text += static_cast<char>(i);
  return text;
}

}  // namespace

TEST_F(VLPreferenceStoreTest, AnyBytesInKeysAndValuesSurviveANewInstance) {
  // Key and value pairs, written in this order; the later "LastIdentity" wins.
  const std::pair<std::string, std::string> entries[] = {
      {"LastIdentity", "12345"},
      {"#anonymous##OutputDevice", "0:0"},
      {"empty", ""},
      {"id=\n%#" + allBytes(), allBytes() + "\r\n==%%"},
      {"", "empty key"},
      {"LastIdentity", "67890"},
  };
  {
    VLPreferenceStore store(path());
    std::string value;
    EXPECT_FALSE(store.get("LastIdentity", value));
    for (const auto& entry : entries) ASSERT_TRUE(store.set(entry.first, entry.second));
  }
  VLPreferenceStore again(path());
  for (size_t i = 1; i < sizeof entries / sizeof entries[0]; ++i) {
    std::string value = "unread";
    ASSERT_TRUE(again.get(entries[i].first, value)) << i;
    EXPECT_EQ(entries[i].second, value) << i;  // "empty" is stored empty, not removed
  }
}

TEST_F(VLPreferenceStoreTest, DamagedLinesAreSkippedAndTheOthersKept) {
  // Line 7: a value no setting needs, as an earlier version could write it.
  const std::string huge(3 * (VLPreferenceStore::kLongestKey + VLPreferenceStore::kLongestValue) + 8, 'y');
  folder.writeFile("prefs",
                   "first=1\nno separator here\nbad=%G1\ntruncated=%4\n\nlast=%3D2\nhuge=" + huge + "\nnolf=3");
  size_t mark = VLTestLog::mark();
  VLPreferenceStore store(folder.file("prefs"));
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
  EXPECT_NE(std::string::npos, log.find("Over-long preference line 7 skipped"));
  EXPECT_FALSE(store.get("huge", value));

  // A later set rewrites the file with every readable entry.
  ASSERT_TRUE(store.set("new", "4"));
  VLPreferenceStore again(folder.file("prefs"));
  ASSERT_TRUE(again.get("first", value));
  ASSERT_TRUE(again.get("nolf", value));
  ASSERT_TRUE(again.get("new", value));
}

TEST_F(VLPreferenceStoreTest, KeysAndValuesNoSettingNeedsAreRefused) {
  VLPreferenceStore store(path());
  const size_t longestKey = VLPreferenceStore::kLongestKey, longestValue = VLPreferenceStore::kLongestValue;
  EXPECT_FALSE(store.set("LastIdentity", std::string(longestValue + 1, 'y')));
  EXPECT_FALSE(store.set(std::string(longestKey + 1, 'y'), "0:0"));
  EXPECT_TRUE(store.set(std::string(longestKey, 'k'), std::string(longestValue, 'v')));
  std::string value;
  EXPECT_FALSE(store.get("LastIdentity", value));
  VLPreferenceStore again(path());
  ASSERT_TRUE(again.get(std::string(longestKey, 'k'), value));
  EXPECT_EQ(longestValue, value.size());
}

TEST_F(VLPreferenceStoreTest, ConcurrentWritersLoseNothing) {
  VLPreferenceStore shared(path());
  VLPreferenceStore other(path());
  // One instance sees what another wrote, and its own write keeps it.
  ASSERT_TRUE(shared.set("a", "1"));
  std::string seen;
  ASSERT_TRUE(other.get("a", seen));
  EXPECT_EQ("1", seen);
  ASSERT_TRUE(other.set("b", "2"));
  ASSERT_TRUE(shared.set("c", "3"));
  ASSERT_TRUE(other.get("c", seen));
  ASSERT_TRUE(shared.get("b", seen));

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
  for (std::thread& thread : threads) thread.join();
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
  ASSERT_TRUE(VLPlatformFactory::instance()->getFileHelper()->listFiles(folder.file("velora-desktop"), &files));
  files.sort();
  EXPECT_EQ((std::list<std::string>{path(), path() + ".lock"}), files);
}

TEST_F(VLPreferenceStoreTest, AValueThatCouldNotBeWrittenIsKeptAndWrittenByTheNextSet) {
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
  std::string volume = folder.file("small");
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

// A store whose folder cannot take files (a home remounted read-only) logs
// the first refused write of a run as an error, not every later one, and
// writes once the folder takes files again; a failure after that is logged
// again.
TEST_F(VLPreferenceStoreTest, RefusedWritesAreLoggedOnceUntilAWriteSucceeds) {
  const std::string blocker = folder.writeFile("home", "x");
  size_t mark = VLTestLog::mark();
  VLPreferenceStore store(blocker + "/preferences");
  auto failures = [&mark] {
    const std::string log = VLTestLog::since(mark);
    size_t count = 0;
    for (size_t at = log.find("Unable to write preferences"); at != std::string::npos;
         at = log.find("Unable to write preferences", at + 1))
      ++count;
    return count;
  };
  for (const char* key : {"first", "second", "third"}) EXPECT_FALSE(store.set(key, "v"));
  EXPECT_EQ(1u, failures());

  ASSERT_EQ(0, unlink(blocker.c_str()));
  ASSERT_EQ(0, mkdir(blocker.c_str(), 0755));
  EXPECT_TRUE(store.set("fourth", "v"));
  std::string value;
  EXPECT_TRUE(VLPreferenceStore(blocker + "/preferences").get("first", value)) << "kept and written";
  EXPECT_EQ(1u, failures());

  ASSERT_EQ(0, rename(blocker.c_str(), (blocker + "-moved").c_str()));
  ASSERT_TRUE(TestFolder::exists(folder.writeFile("home", "x")));
  EXPECT_FALSE(store.set("fifth", "v"));
  EXPECT_EQ(2u, failures()) << "a new failure after a write that succeeded is logged";
}

TEST_F(VLPreferenceStoreTest, RemovedKeysAreGoneForEveryStoreOnTheFile) {
  VLPreferenceStore first(path());
  VLPreferenceStore second(path());
  ASSERT_TRUE(first.set("desktop_CacheRepositoryPath", "/old"));
  ASSERT_TRUE(first.set("kept", "yes"));
  std::string value;
  ASSERT_TRUE(second.get("desktop_CacheRepositoryPath", value));
  EXPECT_TRUE(second.remove("desktop_CacheRepositoryPath"));
  EXPECT_TRUE(second.remove("never-stored"));
  EXPECT_FALSE(first.get("desktop_CacheRepositoryPath", value));
  // A later set through the other store does not bring it back.
  ASSERT_TRUE(first.set("other", "1"));
  VLPreferenceStore third(path());
  EXPECT_FALSE(third.get("desktop_CacheRepositoryPath", value));
  ASSERT_TRUE(third.get("kept", value));
  EXPECT_EQ(value, "yes");
}

// A file the application did not write: millions of lines, a line of a
// gigabyte's kind, a FIFO. Only its beginning is read, and nothing blocks.
TEST_F(VLPreferenceStoreTest, AFileFarOverWhatTheApplicationWritesIsReadOnlyInPart) {
  folder.folder("velora-desktop");
  std::string text = "LastIdentity=someone\n";
  for (int i = 0; i < 3000000; ++i) text += "k" + std::to_string(i) + "=v\n";
  ASSERT_TRUE(TestFolder::write(path(), text));
  size_t mark = VLTestLog::mark();
  VLPreferenceStore store(path());
  std::string value;
  EXPECT_TRUE(store.get("LastIdentity", value));
  EXPECT_EQ(value, "someone");
  EXPECT_FALSE(store.get("k2999999", value));
  EXPECT_NE(VLTestLog::since(mark).find("the rest is not read"), std::string::npos);

  // One line without end after a good one.
  ASSERT_TRUE(TestFolder::write(path(), "LastIdentity=other\n" + std::string(64u << 20, 'x')));
  VLPreferenceStore longLine(path());
  EXPECT_TRUE(longLine.get("LastIdentity", value));
  EXPECT_EQ(value, "other");

  ASSERT_EQ(unlink(path().c_str()), 0);
  ASSERT_EQ(mkfifo(path().c_str(), 0600), 0);
  VLPreferenceStore fifo(path());
  EXPECT_FALSE(fifo.get("LastIdentity", value));
}
