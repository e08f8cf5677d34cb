#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "VLFileHelper.h"
#include "VLFolder.h"
#include "VLPlatformFactory.h"
#include "TestFolder.h"
#include "VLTestLog.h"

namespace {

class VLFileHelperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VLTestLog::start(); }
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  TestFolder folder;
};

}  // namespace

TEST_F(VLFileHelperTest, CreateDirectory) {
  std::string path = folder.file("made");
  folder.writeFile("plain", "x");
  // In order: made, already there, one level only, a regular file in the
  // way, ENOTDIR below it, a symbolic link to a folder (made by then).
  const std::pair<std::string, bool> cases[] = {{"made", true},   {"made", true},         {"no/parent", false},
                                                {"plain", false}, {"plain/below", false}, {"link", true}};
  ASSERT_EQ(0, symlink(path.c_str(), folder.file("link").c_str()));
  for (const auto& entry : cases)
    EXPECT_EQ(entry.second, files->createDirectory(folder.file(entry.first))) << entry.first;
  struct stat status;
  ASSERT_EQ(0, stat(path.c_str(), &status));
  EXPECT_TRUE(S_ISDIR(status.st_mode));
}

TEST_F(VLFileHelperTest, SizesRenamesRemovalsAndVolumes) {
  std::string from = folder.writeFile("from", "data");
  std::string to = folder.writeFile("to", "old");
  EXPECT_TRUE(files->renameFile(from, to));  // replaces
  EXPECT_EQ("data", TestFolder::read(to));
  EXPECT_FALSE(files->renameFile(from, to));
  EXPECT_TRUE(files->isSameVolume(to, folder.path()));
  EXPECT_FALSE(files->isSameVolume(from, to));
  EXPECT_FALSE(files->isSameVolume(to, from));
  EXPECT_FALSE(files->isSameVolume(folder.path(), "/proc"));
  EXPECT_TRUE(files->removeFile(to));
  EXPECT_FALSE(files->removeFile(to));

  EXPECT_EQ(0u, files->getFileSize(folder.file("missing")));
  EXPECT_EQ(0u, files->getFileSize(folder.path())) << "a folder is no file";
  EXPECT_EQ(5u, files->getFileSize(folder.writeFile("five", "12345")));
  // Beyond 32 bits, as a sparse file.
  std::string big = folder.file("big");
  int descriptor = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_NE(-1, descriptor);
  uint64_t size = (5ull << 30) + 3;
  bool sized = ftruncate(descriptor, static_cast<off_t>(size)) == 0;
  close(descriptor);
  if (sized) {
    EXPECT_EQ(size, files->getFileSize(big));
  }
}

// A size opens nothing: a FIFO, which an open would wait on for a writer,
// answers at once.
TEST_F(VLFileHelperTest, SizesOpenNothing) {
  const std::string fifo = folder.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  std::future<uint64_t> size = std::async(std::launch::async, [this, &fifo] { return files->getFileSize(fifo); });
  const bool answered = size.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!answered) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets a waiting open go
  EXPECT_TRUE(answered) << "waited for a writer";
  EXPECT_EQ(0u, size.get());
}

// A folder held open answers every name as getFileSize answers its path, also
// once the folder is renamed; only a folder can be held.
TEST_F(VLFileHelperTest, FolderSizesAreThePathsSizes) {
  ASSERT_EQ(0, mkdir(folder.file("held").c_str(), 0755));
  const std::string five = folder.writeFile("held/five", "12345");
  folder.writeFile("held/five.part", "1");
  ASSERT_EQ(0, symlink(five.c_str(), folder.file("held/link").c_str()));
  ASSERT_EQ(0, symlink("nowhere", folder.file("held/broken").c_str()));
  ASSERT_EQ(0, mkfifo(folder.file("held/fifo").c_str(), 0644));
  const char* names[] = {"five", "five.part", "link", "broken", "fifo", "missing", "../held/five"};
  std::unique_ptr<VLFolder> held(files->openFolder(folder.file("held")));
  ASSERT_TRUE(held);
  for (const char* name : names)
    EXPECT_EQ(files->getFileSize(folder.file("held/") + name), held->getFileSize(name)) << name;
  EXPECT_EQ(5u, held->getFileSize("link"));

  ASSERT_EQ(0, rename(folder.file("held").c_str(), folder.file("moved").c_str()));
  EXPECT_EQ(5u, held->getFileSize("five"));
  EXPECT_FALSE(std::unique_ptr<VLFolder>(files->openFolder(folder.file("moved/five"))));
  EXPECT_FALSE(std::unique_ptr<VLFolder>(files->openFolder(folder.file("held"))));
}

TEST_F(VLFileHelperTest, ListFilesGivesRegularFilesOnly) {
  std::string one = folder.writeFile("one", "1");
  std::string two = folder.writeFile("two", "2");
  ASSERT_EQ(0, mkdir(folder.file("sub").c_str(), 0755));
  ASSERT_EQ(0, symlink(one.c_str(), folder.file("link").c_str()));
  ASSERT_EQ(0, mkfifo(folder.file("fifo").c_str(), 0644));

  std::list<std::string> list;
  ASSERT_TRUE(files->listFiles(folder.path(), &list));
  std::vector<std::string> found(list.begin(), list.end());
  std::sort(found.begin(), found.end());
  EXPECT_EQ((std::vector<std::string>{one, two}), found);

  ASSERT_TRUE(files->listFiles(folder.path(), &list));
  EXPECT_EQ(4u, list.size());  // appended, not cleared

  std::vector<std::string> names;
  ASSERT_TRUE(files->forEachFile(folder.path(), [&names](std::string_view name) { names.emplace_back(name); }));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), names) << "names, not paths";
  EXPECT_FALSE(files->forEachFile(one, [&names](std::string_view name) { names.emplace_back(name); }));

  std::list<std::string> untouched{"keep"};
  EXPECT_FALSE(files->listFiles(folder.file("missing"), &untouched));
  EXPECT_FALSE(files->listFiles(one, &untouched));  // ENOTDIR
  EXPECT_EQ(std::list<std::string>{"keep"}, untouched);
}

TEST_F(VLFileHelperTest, FreeSpace) {
  double available = -1;
  double total = -1;
  ASSERT_TRUE(files->getFreeSpace(folder.path(), &available, &total));
  struct statvfs volume;
  ASSERT_EQ(0, statvfs(folder.path().c_str(), &volume));
  EXPECT_GE(total, available);
  EXPECT_DOUBLE_EQ(static_cast<double>(volume.f_blocks) * volume.f_frsize, total);
  EXPECT_TRUE(files->getFreeSpace(folder.path(), nullptr, nullptr));

  size_t mark = VLTestLog::mark();
  double kept = 42;
  std::string missing = folder.file("missing");
  EXPECT_FALSE(files->getFreeSpace(missing, &kept, &kept));
  EXPECT_EQ(42, kept);
  EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("statfs failed (2) : " + missing));
}

TEST_F(VLFileHelperTest, WritabilityProbesLeaveNothingBehindAndDoNotDisturbEachOther) {
  EXPECT_FALSE(files->isWritable(folder.file("missing")));
  EXPECT_FALSE(files->isWritable(folder.writeFile("plain", "x")));  // ENOTDIR
  EXPECT_FALSE(files->isWritable("/proc"));
  EXPECT_FALSE(files->isWritable("/proc/self"));
  ASSERT_TRUE(files->removeFile(folder.file("plain")));

  // Probes of one folder within the same second, from several threads.
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (!files->isWritable(folder.path())) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  std::list<std::string> list;
  ASSERT_TRUE(files->listFiles(folder.path(), &list));
  EXPECT_TRUE(list.empty());
}
