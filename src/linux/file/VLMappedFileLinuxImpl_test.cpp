#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <list>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSmallVolume.h"
#include "VLFileHelper.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "TestFolder.h"
#include "VLTestLog.h"

std::atomic<int> g_fallocateCalls(0);

// Every fallocate of this program is counted on its way to the C library.
extern "C" int fallocate(int descriptor, int mode, off_t offset, off_t length) {
  typedef int (*Fallocate)(int, int, off_t, off_t);
  static const Fallocate next = reinterpret_cast<Fallocate>(dlsym(RTLD_NEXT, "fallocate"));
  ++g_fallocateCalls;
  return next(descriptor, mode, offset, length);
}

namespace {

std::unique_ptr<VLMappedFile> mapped(const std::string& path) {
  return std::unique_ptr<VLMappedFile>(VLPlatformFactory::instance()->createMappedFile(path));
}

off_t fileLength(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

class VLMappedFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { VLTestLog::start(); }
  TestFolder folder;
};

}  // namespace

TEST_F(VLMappedFileTest, OpenCreatesCutsGrowsOrKeepsTheFile) {
  // Missing: made empty, open without a mapping; closing twice is harmless.
  std::string path = folder.file("new");
  auto file = mapped(path);
  ASSERT_TRUE(file->open());
  EXPECT_TRUE(file->isOpen());
  EXPECT_EQ(0u, file->getSize());
  EXPECT_EQ(nullptr, file->getData());
  EXPECT_EQ(0, fileLength(path));
  file->close();
  file->close();
  EXPECT_FALSE(file->isOpen());

  // Size 0 cuts the file.
  ASSERT_TRUE(mapped(folder.writeFile("hundred", std::string(100, 'x')))->open(0));
  EXPECT_EQ(0, fileLength(folder.file("hundred")));

  // Growing keeps the old bytes, reads zeros after them and reserves the
  // new range on disk instead of leaving a hole.
  std::string original(100, '\0');
  for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(i + 1);
  auto grown = mapped(folder.writeFile("grow", original));
  ASSERT_TRUE(grown->open(8192));
  ASSERT_EQ(8192u, grown->getSize());
  EXPECT_EQ(0, memcmp(grown->getData(), original.data(), 100));
  EXPECT_EQ(std::string(8092, '\0'), std::string(reinterpret_cast<char*>(grown->getData()) + 100, 8092));
  struct stat status;
  ASSERT_EQ(0, stat(folder.file("grow").c_str(), &status));
  EXPECT_GE(status.st_blocks * 512, 8192);

  // The same size keeps the content; an unaligned size maps whole pages
  // whose tail reads zero and is not part of the file.
  std::string content(5000, 'q');
  auto same = mapped(folder.writeFile("same", content));
  ASSERT_TRUE(same->open(5000));
  EXPECT_EQ(5000u, same->getSize());
  EXPECT_EQ(0, memcmp(same->getData(), content.data(), content.size()));
  EXPECT_EQ(0, same->getData()[5001]);
  same->close();
  EXPECT_EQ(content, TestFolder::read(folder.file("same")));
}

TEST_F(VLMappedFileTest, ResizeAndZeroFillKeepTheOpenState) {
  std::string path = folder.file("resize");
  auto file = mapped(path);
  ASSERT_TRUE(file->resize(8192, true));
  EXPECT_FALSE(file->isOpen());
  EXPECT_EQ(std::string(8192, '\0'), TestFolder::read(path));

  ASSERT_TRUE(file->open());
  ASSERT_EQ(8192u, file->getSize());
  memset(file->getData(), 'a', 8192);
  ASSERT_TRUE(file->resize(3000, false));
  // Bytes written through the mapping are in the file, with no flush.
  EXPECT_EQ(std::string(3000, 'a'), TestFolder::read(path));
  EXPECT_TRUE(file->isOpen());
  EXPECT_EQ(3000u, file->getSize());
  ASSERT_TRUE(file->resize(10000, false));
  EXPECT_EQ('a', file->getData()[2999]);
  EXPECT_EQ(0, file->getData()[3000]);
  EXPECT_EQ(0, file->getData()[9999]);

  ASSERT_TRUE(file->zeroFill());
  EXPECT_TRUE(file->isOpen());
  EXPECT_EQ(0, file->getData()[0]);
  file->close();

  folder.writeFile("resize", "abc");
  ASSERT_TRUE(file->zeroFill());
  EXPECT_FALSE(file->isOpen());
  EXPECT_EQ(std::string(3, '\0'), TestFolder::read(path));
  folder.writeFile("resize", "");
  EXPECT_TRUE(file->zeroFill());
}

TEST_F(VLMappedFileTest, FailingOpensLogAndLeaveTheObjectClosed) {
  size_t mark = VLTestLog::mark();
  std::string path = folder.file("missing/file");
  auto file = mapped(path);
  EXPECT_FALSE(file->open(100));
  EXPECT_FALSE(file->isOpen());
  EXPECT_EQ(nullptr, file->getData());
  EXPECT_EQ(0u, file->getSize());
  EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("open has failed (2) : " + path));

  // A path below a regular file: ENOTDIR, which also fails as root.
  auto below = mapped(folder.writeFile("plain", "x") + "/file");
  EXPECT_FALSE(below->resize(10, true));
  EXPECT_FALSE(below->zeroFill());
  EXPECT_FALSE(below->isOpen());

  // /proc files open read-write for root but cannot be sized or mapped: a
  // resize of the open object ends closed.
  auto proc = mapped("/proc/self/oom_score_adj");
  if (proc->open()) {
    EXPECT_FALSE(proc->resize(8192, false));
    EXPECT_FALSE(proc->isOpen());
  }
}

TEST_F(VLMappedFileTest, GrowingPastAFullDiskFailsInsteadOfFaulting) {
  std::string volume = folder.file("small");
  ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  int result = TestSmallVolume::run(volume, "64k", [&] {
    // A grow the disk cannot back fails (a write into it would be SIGBUS)
    // and leaves the file at its old length; a size that fits works.
    auto file = mapped(volume + "/content");
    EXPECT_FALSE(file->open(1 << 20));
    EXPECT_FALSE(file->isOpen());
    EXPECT_EQ(0, fileLength(volume + "/content"));
    EXPECT_TRUE(file->open(16384));
    if (file->isOpen()) memset(file->getData(), 0x5a, 16384);
    file->close();
    EXPECT_TRUE(files->isWritable(volume));
    EXPECT_EQ(VLFileHelper::WRITABLE, files->probeWritability(volume));

    // Full: the probe fails and leaves nothing behind.
    auto filler = mapped(volume + "/filler");
    for (size_t size = 64 * 1024; size > 0 && !filler->open(size); size -= 4096) {
    }
    filler->close();
    // Quietly: the probe's caller tells what it found, once, not at each probe.
    const size_t mark = VLTestLog::mark();
    EXPECT_FALSE(files->isWritable(volume));
    EXPECT_EQ(VLFileHelper::VOLUME_FULL, files->probeWritability(volume)) << "full, not unwritable";
    EXPECT_EQ(VLFileHelper::NOT_WRITABLE, files->probeWritability(volume + "/content")) << "not a folder";
    EXPECT_EQ(std::string::npos, VLTestLog::since(mark).find("has failed"));
    std::list<std::string> left;
    files->listFiles(volume, &left);
    left.sort();
    EXPECT_EQ((std::list<std::string>{volume + "/content", volume + "/filler"}), left);
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A file sized without its room takes none until its bytes are reserved;
// a reservation the disk cannot back fails instead of a later write faulting.
TEST_F(VLMappedFileTest, AnUnreservedFileTakesRoomOnlyWhereReserved) {
  std::string volume = folder.file("small");
  ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
  int result = TestSmallVolume::run(volume, "256k", [&] {
    auto file = mapped(volume + "/content");
    EXPECT_TRUE(file->openUnreserved(size_t(1) << 30));
    struct stat status;
    EXPECT_EQ(0, stat((volume + "/content").c_str(), &status));
    EXPECT_EQ(off_t(1) << 30, status.st_size);
    EXPECT_EQ(0, status.st_blocks);
    EXPECT_TRUE(file->reserve(8192, 65536));
    if (file->isOpen()) memset(file->getData() + 8192, 0x5a, 65536);
    EXPECT_EQ(0, stat((volume + "/content").c_str(), &status));
    EXPECT_GE(status.st_blocks * 512, 65536);
    EXPECT_FALSE(file->reserve(1 << 20, 1 << 20)) << "more than the volume has";
    EXPECT_TRUE(file->reserve(8192, 4096)) << "already reserved";
    // A file another program shortened keeps its new length: an access past
    // it must still fail, not find the file grown again.
    EXPECT_EQ(0, truncate((volume + "/content").c_str(), 0));
    EXPECT_TRUE(file->reserve(8192, 4096));
    EXPECT_EQ(0, fileLength(volume + "/content"));
    file->close();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A stream written 16 KB at a time, each write reserved first: a file sized
// without its room is reserved a step of 1 MB at a time, one sized with it
// needs nothing more.
TEST_F(VLMappedFileTest, WritesReserveTheirRoomAboutOncePerMegabyte) {
  const size_t size = size_t(16) << 20;
  const size_t write = 16384;
  for (const bool sizedWithRoom : {false, true}) {
    SCOPED_TRACE(sizedWithRoom ? "sized with its room" : "sized without its room");
    auto file = mapped(folder.file(sizedWithRoom ? "with" : "without"));
    ASSERT_TRUE(sizedWithRoom ? file->open(size) : file->openUnreserved(size));
    const int before = g_fallocateCalls;
    for (size_t offset = 0; offset < size; offset += write) {
      ASSERT_TRUE(file->reserve(offset, write));
      memset(file->getData() + offset, 0x5a, write);
    }
    EXPECT_LE(g_fallocateCalls - before, sizedWithRoom ? 0 : 16);
    struct stat status;
    ASSERT_EQ(0, stat(file->getPath().c_str(), &status));
    EXPECT_GE(status.st_blocks * 512, off_t(size)) << "every byte written has its room";
  }
}

// On a volume without room for a whole step, a write across a step's start
// still takes the room it needs and lands; a step reserved before the file
// was emptied and sized again is no longer taken for reserved, so that a
// write there on a full volume is refused instead of faulting; and the step
// at the end of a file reserves nothing past its end.
TEST_F(VLMappedFileTest, StepsReserveOnlyRoomThatIsThereAndWithinTheFile) {
  std::string volume = folder.file("small");
  ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
  int result = TestSmallVolume::run(volume, "1280k", [&] {
    const size_t step = size_t(1) << 20;
    const std::string path = volume + "/content";
    auto file = mapped(path);
    EXPECT_TRUE(file->openUnreserved(4 * step));
    EXPECT_TRUE(file->reserve(step - 8192, 16384)) << "across the start of a step the volume cannot hold whole";
    if (file->isOpen()) memset(file->getData() + step - 8192, 0x5a, 16384);
    EXPECT_EQ(std::string(16384, 'Z'), TestFolder::read(path).substr(step - 8192, 16384));

    EXPECT_TRUE(file->resize(0, false, false));
    EXPECT_TRUE(file->resize(4 * step, false, false));
    auto filler = mapped(volume + "/filler");
    for (size_t size = 1280 * 1024; size > 0 && !filler->open(size); size -= 4096) {
    }
    filler->close();
    EXPECT_FALSE(file->reserve(step - 8192, 4096)) << "its room went with the bytes emptied";
    std::remove((volume + "/filler").c_str());

    EXPECT_TRUE(file->resize(step + 12288, false, false));
    EXPECT_TRUE(file->reserve(step, 4096));
    struct stat status;
    EXPECT_EQ(0, stat(path.c_str(), &status));
    EXPECT_LE(status.st_blocks * 512, 12288) << "the last step only, nothing past the end";
    file->close();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A volume remounted read-only (after a file-system error): its files open
// at their present size for reading, and a write through the mapping changes
// the mapping only (no fault, nothing on the disk). The probe tells the
// folder, which is there to be read, from a missing one.
TEST_F(VLMappedFileTest, AFileOnAReadOnlyVolumeIsReadAsItIs) {
  std::string volume = folder.file("readonly");
  ASSERT_EQ(0, mkdir(volume.c_str(), 0755));
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  int result = TestSmallVolume::run(volume, "64k", [&] {
    auto file = mapped(volume + "/content");
    EXPECT_TRUE(file->open(8192));
    if (file->isOpen()) memset(file->getData(), 0x5a, 8192);
    file->close();
    EXPECT_EQ(0, mount(nullptr, volume.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));

    const size_t mark = VLTestLog::mark();
    EXPECT_EQ(VLFileHelper::READ_ONLY, files->probeWritability(volume));
    EXPECT_EQ(VLFileHelper::NOT_WRITABLE, files->probeWritability(volume + "/missing"));
    EXPECT_EQ(std::string::npos, VLTestLog::since(mark).find("has failed")) << "the probes are quiet";
    EXPECT_FALSE(file->open(4096)) << "a new size cannot be given";
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("open has failed (30)")) << "a real open is not";
    EXPECT_FALSE(mapped(volume + "/new")->open()) << "nothing can be made";
    EXPECT_TRUE(file->open());
    EXPECT_EQ(8192u, file->getSize());
    if (file->isOpen()) {
      EXPECT_EQ(0x5a, file->getData()[8191]);
      file->getData()[0] = 0;
      file->close();
    }
    EXPECT_EQ(std::string(8192, '\x5a'), TestFolder::read(volume + "/content"));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

namespace {

// Reads every byte of a mapping of size bytes; their sum, so nothing is
// optimised away.
unsigned readAll(VLMappedFile* file) {
  unsigned sum = 0;
  const volatile unsigned char* bytes = file->getData();
  for (size_t i = 0; i < file->getSize(); ++i) sum += bytes[i];
  return sum;
}

}  // namespace

// Another program shortening the file under its mapping: a guarded access
// that meets a page past the new end stops there and says so, nested guards
// each see their own, and the process goes on (unguarded, it ends).
TEST_F(VLMappedFileTest, AFileShortenedUnderItsMappingFailsTheGuardedAccessOnly) {
  std::string path = folder.file("shortened");
  auto file = mapped(path);
  ASSERT_TRUE(file->open(4 * 4096));
  memset(file->getData(), 7, file->getSize());
  unsigned sum = 0;
  EXPECT_TRUE(file->guard([&] { sum = readAll(file.get()); }));
  EXPECT_EQ(7u * 4 * 4096, sum);

  ASSERT_EQ(0, truncate(path.c_str(), 4096));
  EXPECT_FALSE(file->guard([&] { sum = readAll(file.get()); }));
  EXPECT_FALSE(file->guard([&] { memset(file->getData(), 1, file->getSize()); }));
  bool inner = true;
  EXPECT_TRUE(file->guard([&] { inner = file->guard([&] { readAll(file.get()); }); }));
  EXPECT_FALSE(inner);
  EXPECT_TRUE(file->guard([&] { sum = file->getData()[100]; })) << "the page still in the file reads";
  EXPECT_EQ(1u, sum);
}

// The guard's child: a SIGBUS handler of its own is installed first (as the
// crash reporter's is), then a guarded access installs the guard's, then an
// access outside any guard faults: the earlier handler must get it.
TEST(VLMappedMemoryGuardChild, AFaultOutsideTheGuardReachesTheEarlierHandler) {
  if (!getenv("VELORA_GUARD_CHILD")) GTEST_SKIP() << "runs only inside the guard's test";
  struct sigaction earlier = {};
  earlier.sa_handler = [](int) { _exit(42); };
  sigemptyset(&earlier.sa_mask);
  sigaction(SIGBUS, &earlier, nullptr);
  TestFolder scratch;
  auto file = mapped(scratch.file("cut"));
  ASSERT_TRUE(file->open(2 * 4096));
  ASSERT_EQ(0, truncate(scratch.file("cut").c_str(), 0));
  EXPECT_FALSE(file->guard([&] { readAll(file.get()); }));
  readAll(file.get());
  _exit(3);
}

TEST(VLMappedMemoryGuard, AFaultOutsideTheGuardReachesTheEarlierHandler) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  std::string command =
      std::string("VELORA_GUARD_CHILD=1 '") + self + "' --gtest_filter=VLMappedMemoryGuardChild.* >/dev/null 2>&1";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  EXPECT_EQ(42, WEXITSTATUS(status));
}
