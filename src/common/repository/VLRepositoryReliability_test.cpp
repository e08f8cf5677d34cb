// Repositories under hostile conditions: writers killed at random moments,
// a volume that runs out of space, damaged files and indexes.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/mount.h>
#include <random>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <string_view>
#include <set>

#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLFileHelper.h"
#include "VLHttpRepositoryProvider.h"
#include "VLPlatformFactory.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

namespace {

TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const size_t kFileSize = 300 * kBlock + 1234;
const size_t kBlocks = (kFileSize + kBlock - 1) / kBlock;
const char* const kTinyVolumeVariable = "VELORA_TINY_VOLUME_CHILD";

// The bytes of block b as written in run r: each run writes its own bytes,
// so that a block mixing two runs is seen.
std::vector<uint8_t> blockBytes(size_t block, unsigned run) {
  size_t length = std::min(kBlock, kFileSize - block * kBlock);
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t((block * 31 + i * 7 + run * 101) ^ (i >> 5));
  return bytes;
}

int g_trapped = -1;

// The writer's fault handler: tells the parent that the writer is stuck in
// the middle of a block's copy, and waits there for its SIGKILL.
void stopInTheCopy(int) {
  char byte = 1;
  if (write(g_trapped, &byte, 1) == 1)
    for (;;) pause();
  _exit(5);
}

// Writes random blocks of its run's bytes into the file, saving the index
// often; the last write's source runs into a page that cannot be read, so the
// writer faults half-way through that block's bytes.
[[noreturn]] void writeUntilTrapped(const std::string& databases, const std::string& directory, unsigned run,
                                    unsigned writes, int trapped) {
  g_platform->setTime(1000 + run * 1000);
  VLHttpRepositoryProvider provider;
  VLRepository repository(nullptr, &provider, "download", "user", 604800, databases, directory, 0, false, 0);
  repository.init();
  VLRepositoryFile* file = repository.getFile(VLFileId("track", 6u), true);
  if (!file->open(0) || !file->setContent(kFileSize, "run" + std::to_string(run))) _exit(3);
  std::mt19937 random(run);
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  uint8_t* pages =
      static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (pages == MAP_FAILED || mprotect(pages + page, page, PROT_NONE) != 0) _exit(6);
  std::vector<bool> written(kBlocks, false);
  for (unsigned i = 0;; ++i) {
    size_t block = random() % kBlocks;
    if (i == writes) {  // a block this run has not written yet
      for (block = kBlocks / 2; written[block]; block = (block + 1) % kBlocks) {
      }
    }
    written[block] = true;
    std::vector<uint8_t> bytes = blockBytes(block, run);
    const uint8_t* source = bytes.data();
    if (i == writes) {
      g_trapped = trapped;
      signal(SIGSEGV, stopInTheCopy);
      memcpy(pages + page - kBlock / 2, bytes.data(), kBlock / 2);
      source = pages + page - kBlock / 2;
    }
    size_t done = 0;
    if (!file->write(source, block * kBlock, bytes.size(), &done) || done != bytes.size()) _exit(4);
    if (i % 16 == 0) {
      g_platform->advance(61);
      repository.update();
    }
  }
}

}  // namespace

// The writer of the test below, a fresh program: the index load starts
// threads, which a child that is only forked from a test process that had
// threads may not do under ThreadSanitizer.
TEST(VLRepositoryReliability, WriterChild) {
  const char* databases = getenv("VELORA_WRITER_CHILD_DATABASES");
  const char* directory = getenv("VELORA_WRITER_CHILD_FILES");
  const char* numbers = getenv("VELORA_WRITER_CHILD_RUN");
  if (!databases || !directory || !numbers) GTEST_SKIP() << "runs only inside the killed writers' test";
  unsigned run = 0;
  unsigned writes = 0;
  int trapped = -1;
  if (sscanf(numbers, "%u %u %d", &run, &writes, &trapped) != 3) _exit(8);
  writeUntilTrapped(databases, directory, run, writes, trapped);
}

// A writer killed while it copies a block's bytes leaves that block unmarked:
// every set bit stands for a whole block, whatever the moment of the kill.
TEST(VLRepositoryReliability, WritersKilledInsideAWriteLeaveOnlyWholeBlocks) {
  TestFolder folder;
  const std::string databases = folder.folder("db");
  const std::string directory = folder.folder("files");
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  size_t checkedBlocks = 0;
  for (unsigned run = 1; run <= 8; ++run) {
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    const std::string numbers =
        std::to_string(run) + " " + std::to_string(run * run * 3) + " " + std::to_string(pipeEnds[1]);
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      close(pipeEnds[0]);
      setenv("VELORA_WRITER_CHILD_DATABASES", databases.c_str(), 1);
      setenv("VELORA_WRITER_CHILD_FILES", directory.c_str(), 1);
      setenv("VELORA_WRITER_CHILD_RUN", numbers.c_str(), 1);
      execl(self, self, "--gtest_filter=VLRepositoryReliability.WriterChild", static_cast<char*>(nullptr));
      _exit(7);
    }
    close(pipeEnds[1]);
    char byte = 0;
    ASSERT_EQ(1, read(pipeEnds[0], &byte, 1)) << "the writer never reached its last write";
    close(pipeEnds[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own with " << WEXITSTATUS(status);

    g_platform->setTime(0);
    VLHttpRepositoryProvider provider;
    TestRepositoryHandler handler;
    VLRepository repository(&handler, &provider, "download", "user", 604800, databases, directory, 0, false, 0);
    std::string name = repository.makeFileName(VLFileId("track", 6u));
    std::string content = TestFolder::read(repository.getFilePath(name));
    std::string bitmap = TestFolder::read(repository.getBitmapPath(name));
    ASSERT_EQ(kFileSize, content.size());
    ASSERT_EQ(getBitmapSize(kFileSize), bitmap.size());
    for (size_t block = 0; block < kBlocks; ++block) {
      if (getBitRunLength(bitmap.data(), block, 1, true) == 0) continue;
      std::vector<uint8_t> expected = blockBytes(block, run);
      ASSERT_EQ(0, content.compare(block * kBlock, expected.size(), std::string(expected.begin(), expected.end())))
          << "run " << run << ": block " << block << " is marked but not whole";
      ++checkedBlocks;
    }
    ASSERT_EQ(std::vector<std::string>{"ok"}, TestDatabase(databases + "/download.db").rows("PRAGMA integrity_check"))
        << "run " << run;

    // The repository opens again and its read path copes with whatever is there.
    repository.init();
    VLRepositoryFile* file = repository.getFile(VLFileId("track", 6u), true);
    ASSERT_TRUE(file->open(0));
    std::vector<uint8_t> out(kFileSize);
    size_t done = 0;
    for (size_t offset = 0; offset < kFileSize; offset += 10000)
      ASSERT_TRUE(file->read(out.data(), offset, 10000, &done, nullptr));
    ASSERT_TRUE(file->close(0));
    repository.close();
  }
  EXPECT_GT(checkedBlocks, 0u);
}

// The streaming child of the test below, a fresh program (the transfers'
// threads need one): streams into the cache of the folder it is given, makes
// the file "received" there once a reader sees a block and "stored" once the
// bitmap on disk counts one, then goes on until it is killed.
TEST(VLRepositoryReliability, StreamChild) {
  const char* folder = getenv("VELORA_STREAM_CHILD_FOLDER");
  if (!folder) GTEST_SKIP() << "runs only inside the streaming test";
  g_platform->useRealTime();
  VLHttpRepositoryProvider provider;
  provider.init(nullptr);
  VLRepository repository(nullptr, &provider, "cache", "user", 604800, folder, std::string(folder) + "/files", 0, true,
                          0);
  repository.init();
  VLRepositoryFile* file = repository.getFile(VLFileId("track", 6u), true);
  file->setUrl(getenv("VELORA_STREAM_CHILD_URL"));
  ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
  const std::string bitmapPath = repository.getBitmapPath(file->getFileName());
  for (bool received = false, stored = false;;) {
    provider.update();
    repository.update();
    size_t present = 0;
    if (!received && file->getInterval(0, SIZE_MAX, true, &present) && present > 0)
      received = TestFolder::write(std::string(folder) + "/received", "");
    std::string bits = received && !stored ? TestFolder::read(bitmapPath) : std::string();
    if (!bits.empty() && countBits(bits.data(), bits.size()) > 0)
      stored = TestFolder::write(std::string(folder) + "/stored", "");
  }
}

// A track being streamed has its index row as soon as its size is known: after
// a kill -9 the next run finds the blocks its bitmap on disk counts, every one
// of them whole, and fetches only the rest.
TEST(VLRepositoryReliability, AStreamKilledAfterItsSizeIsKnownResumesWhereItWas) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const size_t size = 400000;
  const VLFileId id("track", 6u);
  folder.folder("files");
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  std::string url = server.url("/size=400000/seed=5/throttle=100000/track");
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    setenv("VELORA_STREAM_CHILD_FOLDER", folder.path().c_str(), 1);
    setenv("VELORA_STREAM_CHILD_URL", url.c_str(), 1);
    execl(self, self, "--gtest_filter=VLRepositoryReliability.StreamChild", static_cast<char*>(nullptr));
    _exit(7);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!TestFolder::exists(folder.file("stored")) && std::chrono::steady_clock::now() < deadline) usleep(10000);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(TestFolder::exists(folder.file("stored"))) << "the stream never stored a block";
  EXPECT_EQ((std::vector<std::string>{"400000"}),
            TestDatabase(folder.file("cache.db")).rows("SELECT size FROM files WHERE entity_id = 'track'"));
  {
    VLRepository killed(nullptr, nullptr, "cache", "user", 604800, folder.path(), folder.folder("files"), 0, true, 0);
    std::string name = killed.makeFileName(id);
    std::string content = TestFolder::read(killed.getFilePath(name));
    std::string bitmap = TestFolder::read(killed.getBitmapPath(name));
    ASSERT_EQ(getBitmapSize(size), bitmap.size());
    for (size_t block = 0; block * kBlock < size; ++block) {
      if (getBitRunLength(bitmap.data(), block, 1, true) == 0) continue;
      size_t length = std::min(kBlock, size - block * kBlock);
      std::vector<uint8_t> expected = TestHttpServer::content(5, block * kBlock, length);
      ASSERT_EQ(0, content.compare(block * kBlock, length, std::string(expected.begin(), expected.end())))
          << "block " << block << " is marked on disk but its bytes are not there";
    }
  }

  g_platform->useRealTime();
  server.clearRequests();
  VLHttpRepositoryProvider provider;
  provider.init(nullptr);
  VLRepository repository(nullptr, &provider, "cache", "user", 604800, folder.path(), folder.folder("files"), 0, true,
                          0);
  repository.init();
  VLRepositoryFile* file = repository.getFile(id, false);
  ASSERT_NE(nullptr, file);
  file->setUrl(server.url("/size=400000/seed=5/track"));
  ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE) && std::chrono::steady_clock::now() < deadline) {
    provider.update();
    repository.update();
  }
  ASSERT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
  std::vector<uint8_t> out(size);
  size_t done = 0;
  ASSERT_TRUE(file->read(out.data(), 0, size, &done, nullptr));
  EXPECT_EQ(TestHttpServer::content(5, 0, size), out);
  std::vector<TestHttpRequest> requests = server.getRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_NE(0u, requests.front().range.find("bytes=0-")) << "the blocks stored before the kill are fetched again";
  ASSERT_TRUE(file->close(0));
  repository.close();
  provider.clean();
}

// The clearing child of the test below, a fresh program (the trash's thread
// needs one): stores files in a cache, keeps one open, clears the cache with
// the trash's removals held back, saves the index half-way, makes "cleared"
// once files are renamed and rows are gone, and waits to be killed.
TEST(VLRepositoryReliability, ClearChild) {
  const char* folder = getenv("VELORA_CLEAR_CHILD_FOLDER");
  if (!folder) GTEST_SKIP() << "runs only inside the killed clear's test";
  g_platform->setTime(1000);
  VLHttpRepositoryProvider provider;
  VLRepository repository(nullptr, &provider, "cache", "user", 604800, folder, std::string(folder) + "/files", 0, true,
                          0);
  repository.init();
  std::vector<uint8_t> bytes(5000, 0x5A);
  for (int i = 0; i <= 600; ++i) {
    VLRepositoryFile* file = repository.getFile(VLFileId(i < 600 ? "t-" + std::to_string(i) : "kept", 6u), true);
    size_t done = 0;
    if (!file->open(0) || !file->setContent(bytes.size(), "e") || !file->write(bytes.data(), 0, bytes.size(), &done) ||
        !file->close(0))
      _exit(3);
    if (i == 600 && !file->open(VLRepositoryFile::OPEN_LOCK)) _exit(4);
  }
  if (!repository.saveFiles()) _exit(5);
  g_platform->fileHelper().holdTrashRemovals(true);
  repository.clearAll();
  repository.update();
  g_platform->advance(61);
  repository.update();  // the 60-second save deletes the rows of the first deleted records
  repository.update();
  TestFolder::write(std::string(folder) + "/cleared", "");
  for (;;) pause();
}

// A process killed while the files of a clear are being removed leaves no
// file behind for good: the next start removes the renamed ones, and every
// row the index still has keeps its files. The clear is in the index before
// its slices start: the next start finishes it, and only the file that was
// open comes back.
TEST(VLRepositoryReliability, AClearKilledWhileItsFilesGoLeavesNoOrphanAndKeepsIndexedFiles) {
  TestFolder folder;
  const std::string directory = folder.folder("files");
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    setenv("VELORA_CLEAR_CHILD_FOLDER", folder.path().c_str(), 1);
    execl(self, self, "--gtest_filter=VLRepositoryReliability.ClearChild", static_cast<char*>(nullptr));
    _exit(7);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!TestFolder::exists(folder.file("cleared")) && std::chrono::steady_clock::now() < deadline &&
         waitpid(child, nullptr, WNOHANG) == 0)
    usleep(10000);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(TestFolder::exists(folder.file("cleared"))) << "the child never cleared";
  VLFileHelper* files = VLPlatformFactory::instance()->getFileHelper();
  auto trashCount = [&] {
    size_t count = 0;
    files->forEachFile(directory, [&count](std::string_view name) {
      count += name.size() > 8 && name.substr(name.size() - 8) == ".deleted";
    });
    return count;
  };
  ASSERT_GT(trashCount(), 0u) << "the kill came after every file was gone";
  EXPECT_EQ(std::vector<std::string>{"kept"},
            TestDatabase(folder.file("cache.db")).rows("SELECT entity_id FROM files"));

  g_platform->setTime(5000);
  VLHttpRepositoryProvider provider;
  VLRepository repository(nullptr, &provider, "cache", "user", 604800, folder.path(), directory, 0, true, 0);
  repository.init();
  deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (repository.isDiscarding() && std::chrono::steady_clock::now() < deadline) repository.update();
  EXPECT_EQ(0u, trashCount());
  std::set<std::string> claimed;
  for (auto& entry : repository.getFiles()) {
    const std::string& name = entry.second->getFileName();
    claimed.insert(name);
    claimed.insert(name + ".part");
    EXPECT_EQ(5000u, TestFolder::sizeOf(repository.getFilePath(name))) << entry.first;
    EXPECT_TRUE(TestFolder::exists(repository.getBitmapPath(name))) << entry.first;
  }
  EXPECT_NE(nullptr, repository.getFile(VLFileId("kept", 6u), false));
  EXPECT_EQ(1u, repository.getFiles().size()) << "cleared files came back";
  files->forEachFile(directory, [&claimed](std::string_view name) {
    EXPECT_EQ(1u, claimed.count(std::string(name))) << "an orphan is left: " << name;
  });
  repository.close();
  for (const std::string& name : TestDatabase(folder.file("cache.db")).rows("SELECT file_name FROM files"))
    EXPECT_EQ(5000u, TestFolder::sizeOf(directory + "/" + name)) << "an indexed file is gone: " << name;
}

// The tiny volume runs in a child process started through `unshare -rm`
// (its own user and mount namespaces, where it may mount a tmpfs), as a fresh
// program rather than a fork: the transfers' threads and the sanitizers'
// runtimes need a process of their own.
TEST(VLRepositoryReliability, TinyVolumeChild) {
  if (!getenv(kTinyVolumeVariable)) GTEST_SKIP() << "runs only inside the tiny-volume test";
  TestFolder folder;
  const std::string volume = folder.folder("volume");
  // A volume of a megabyte: the 300 MB reserve is kept only by a cache's
  // eviction, so what such a volume cannot hold is what fills it.
  ASSERT_EQ(0, mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=1000000")) << strerror(errno);
  g_platform->useRealTime();

  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  TestRepositoryHandler handler;
  VLHttpRepositoryProvider provider;
  provider.init(nullptr);
  {
    VLRepository repository(&handler, &provider, "import", "user", 604800, folder.folder("db"), volume, 0, false, 0);
    repository.init();
    ASSERT_FALSE(repository.isUnavailable());
    auto pump = [&](const std::function<bool()>& done) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!done() && std::chrono::steady_clock::now() < deadline) {
        provider.update();
        repository.update();
        usleep(1000);
      }
      return done();
    };

    // A file that fits is fetched whole.
    VLRepositoryFile* small = repository.getFile(VLFileId("small", 6u), true);
    small->setUrl(server.url("/size=600000/seed=1/small"));
    ASSERT_TRUE(small->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(pump([&] { return (small->getFlags() & VLRepositoryFile::FLAG_COMPLETE) != 0; }));
    EXPECT_FALSE(repository.isOfflineOrFull());

    // One that does not: no fault, the repository reports itself full
    // once and fetches nothing more while it is.
    VLRepositoryFile* large = repository.getFile(VLFileId("large", 6u), true);
    large->setUrl(server.url("/size=900000/seed=2/large"));
    ASSERT_TRUE(large->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(pump([&] { return repository.isOfflineOrFull(); }));
    EXPECT_EQ(1, handler.count("onVolumeFull", "import"));
    EXPECT_EQ(VLRepositoryFile::UNKNOWN_SIZE, large->getSize());
    server.clearRequests();
    g_platform->setTime(VLPlatformFactory::instance()->getTime());
    for (int i = 0; i < 5; ++i) {
      g_platform->advance(4);
      provider.update();
      repository.update();
    }
    EXPECT_TRUE(repository.isOfflineOrFull());
    EXPECT_EQ(1, handler.count("onVolumeFull"));
    EXPECT_TRUE(server.getRequests().empty());

    // Room made: once its file is gone a check clears the state and the
    // fetch goes on.
    ASSERT_TRUE(small->close(0));
    small->remove();
    EXPECT_TRUE(pump([&] {
      g_platform->advance(4);
      return !repository.isOfflineOrFull();
    }));
    ASSERT_TRUE(pump([&] {
      g_platform->advance(5);  // past the retry delay of the failed transfer
      return (large->getFlags() & VLRepositoryFile::FLAG_COMPLETE) != 0;
    }));
    EXPECT_EQ(1, handler.count("onVolumeFull"));
    ASSERT_TRUE(large->close(0));
    repository.close();
  }
  EXPECT_TRUE(provider.clean());
  umount(volume.c_str());
}

TEST(VLRepositoryReliability, AFullTinyVolumeGivesVolumeFullAndNoFault) {
  if (getenv(kTinyVolumeVariable)) GTEST_SKIP() << "the child runs the other test";
  char self[4096] = {};
  ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  if (system("unshare -rm true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "this machine cannot make user and mount namespaces (unshare -rm), so no tmpfs can be mounted";
  std::string command = std::string(kTinyVolumeVariable) + "=1 unshare -rm '" + self +
                        "' --gtest_filter=VLRepositoryReliability.TinyVolumeChild 2>&1";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, child);
  std::string output;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof(buffer), child)) output.append(buffer, n);
  int status = pclose(child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died (signal " << WTERMSIG(status) << "):\n" << output;
  EXPECT_EQ(0, WEXITSTATUS(status)) << output;
  EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test")) << output;
}
