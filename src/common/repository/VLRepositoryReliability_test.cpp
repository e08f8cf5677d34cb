// Repositories under hostile conditions: writers killed at random moments,
// a volume that runs out of space, damaged files and indexes.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sys/mount.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
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
std::vector<uint8_t> blockBytes(size_t block, unsigned run)
{
    size_t length = std::min(kBlock, kFileSize - block * kBlock);
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t((block * 31 + i * 7 + run * 101) ^ (i >> 5));
    return bytes;
}

// Writes random blocks of its run's bytes into the file and saves the index
// often, until it is killed.
[[noreturn]] void writeUntilKilled(const std::string& databases, const std::string& directory, unsigned run)
{
    g_platform->setTime(1000 + run * 1000);
    VLHttpRepositoryProvider provider;
    VLRepository repository(nullptr, &provider, "download", "user", 604800, databases, directory, 0, false, 0);
    repository.init();
    VLRepositoryFile* file = repository.getFile(VLFileId("track", 6u), true);
    if (!file->open(0) || !file->setContent(kFileSize, "run" + std::to_string(run)))
        _exit(3);
    std::mt19937 random(run);
    for (unsigned i = 0;; ++i) {
        size_t block = random() % kBlocks;
        std::vector<uint8_t> bytes = blockBytes(block, run);
        size_t done = 0;
        if (!file->write(bytes.data(), block * kBlock, bytes.size(), &done) || done != bytes.size())
            _exit(4);
        if (i % 16 == 0) {
            g_platform->advance(61);
            repository.update();
        }
    }
}

} // namespace

TEST(VLRepositoryReliability, WritersKilledAtRandomMomentsLeaveOnlyWholeBlocks)
{
    TestFolder folder;
    const std::string databases = folder.folder("db");
    const std::string directory = folder.folder("files");
    std::mt19937 random(20240601);
    size_t checkedBlocks = 0;
    for (unsigned run = 1; run <= 25; ++run) {
        pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0)
            writeUntilKilled(databases, directory, run);
        usleep(2000 + random() % 60000);
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended on its own with " << WEXITSTATUS(status);

        // Every marked block holds exactly one run's bytes.
        g_platform->setTime(0);
        VLHttpRepositoryProvider provider;
        TestRepositoryHandler handler;
        VLRepository repository(&handler, &provider, "download", "user", 604800, databases, directory, 0, false, 0);
        std::string name = repository.makeFileName(VLFileId("track", 6u));
        std::string content = TestFolder::read(repository.getFilePath(name));
        std::string bitmap = TestFolder::read(repository.getBitmapPath(name));
        if (content.size() == kFileSize && bitmap.size() == getBitmapSize(kFileSize)) {
            for (size_t block = 0; block < kBlocks; ++block) {
                if (getBitRunLength(bitmap.data(), block, 1, true) == 0)
                    continue;
                bool matched = false;
                for (unsigned r = 1; r <= run && !matched; ++r) {
                    std::vector<uint8_t> expected = blockBytes(block, r);
                    matched = content.compare(block * kBlock, expected.size(),
                                              std::string(expected.begin(), expected.end()))
                              == 0;
                }
                ASSERT_TRUE(matched) << "run " << run << ": block " << block << " is marked but not whole";
                ++checkedBlocks;
            }
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
    EXPECT_GT(checkedBlocks, 0u) << "no writer lived long enough to mark a block";
}

// The tiny volume runs in a child process started through `unshare -rm`
// (its own user and mount namespaces, where it may mount a tmpfs), as a fresh
// program rather than a fork: the transfers' threads and the sanitizers'
// runtimes need a process of their own.
TEST(VLRepositoryReliability, TinyVolumeChild)
{
    if (!getenv(kTinyVolumeVariable))
        GTEST_SKIP() << "runs only inside the tiny-volume test";
    TestFolder folder;
    const std::string volume = folder.folder("volume");
    ASSERT_EQ(0, mount("tmpfs", volume.c_str(), "tmpfs", 0, "size=1m")) << strerror(errno);
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

        // Room made: the next check clears the state and the fetch goes on.
        ASSERT_TRUE(small->close(0));
        small->remove();
        repository.update();
        g_platform->advance(4);
        repository.update();
        EXPECT_FALSE(repository.isOfflineOrFull());
        ASSERT_TRUE(pump([&] {
            g_platform->advance(5); // past the retry delay of the failed transfer
            return (large->getFlags() & VLRepositoryFile::FLAG_COMPLETE) != 0;
        }));
        EXPECT_EQ(1, handler.count("onVolumeFull"));
        ASSERT_TRUE(large->close(0));
        repository.close();
    }
    EXPECT_TRUE(provider.clean());
    umount(volume.c_str());
}

TEST(VLRepositoryReliability, AFullTinyVolumeGivesVolumeFullAndNoFault)
{
    if (getenv(kTinyVolumeVariable))
        GTEST_SKIP() << "the child runs the other test";
    char self[4096] = {};
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(length, 0);
    if (system("unshare -rm true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "this machine cannot make user and mount namespaces (unshare -rm), so no tmpfs can be mounted";
    std::string command = std::string(kTinyVolumeVariable) + "=1 unshare -rm '" + self
                          + "' --gtest_filter=VLRepositoryReliability.TinyVolumeChild 2>&1";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, child);
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof(buffer), child))
        output.append(buffer, n);
    int status = pclose(child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died (signal " << WTERMSIG(status) << "):\n" << output;
    EXPECT_EQ(0, WEXITSTATUS(status)) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test")) << output;
}
