#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <fcntl.h>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "VLFileHelper.h"
#include "VLMappedFile.h"
#include "VLPlatformFactory.h"
#include "VLTemporaryFolder.h"
#include "VLTestLog.h"

namespace {

std::unique_ptr<VLMappedFile> mapped(const std::string& path)
{
    return std::unique_ptr<VLMappedFile>(VLPlatformFactory::instance()->createMappedFile(path));
}

off_t fileLength(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

class VLMappedFileTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { VLTestLog::start(); }
    VLTemporaryFolder folder;
};

}  // namespace

TEST_F(VLMappedFileTest, OpenOnAMissingFileCreatesItEmpty)
{
    std::string path = folder.path("new");
    auto file = mapped(path);
    ASSERT_TRUE(file->open());
    EXPECT_TRUE(file->isOpen());
    EXPECT_EQ(0u, file->getSize());
    EXPECT_EQ(nullptr, file->getData());
    EXPECT_EQ(0, fileLength(path));
    file->close();
    file->close();
    EXPECT_FALSE(file->isOpen());
}

TEST_F(VLMappedFileTest, OpenAtZeroCutsTheFile)
{
    std::string path = folder.writeFile("hundred", std::string(100, 'x'));
    auto file = mapped(path);
    ASSERT_TRUE(file->open(0));
    EXPECT_EQ(nullptr, file->getData());
    EXPECT_EQ(0, fileLength(path));
}

TEST_F(VLMappedFileTest, GrowKeepsOldBytesAndZeroFillsTheRest)
{
    std::string original(100, '\0');
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<char>(i + 1);
    std::string path = folder.writeFile("grow", original);
    auto file = mapped(path);
    ASSERT_TRUE(file->open(8192));
    ASSERT_EQ(8192u, file->getSize());
    EXPECT_EQ(0, memcmp(file->getData(), original.data(), 100));
    for (size_t i = 100; i < 8192; ++i)
        ASSERT_EQ(0, file->getData()[i]) << i;
    EXPECT_EQ(8192, fileLength(path));
    // The grown range is reserved on disk, not left as a hole.
    struct stat status;
    ASSERT_EQ(0, stat(path.c_str(), &status));
    EXPECT_GE(status.st_blocks * 512, 8192);
}

TEST_F(VLMappedFileTest, SameSizeLeavesContentAndUnalignedSizeMapsWholePages)
{
    std::string content(5000, 'q');
    std::string path = folder.writeFile("same", content);
    auto file = mapped(path);
    ASSERT_TRUE(file->open(5000));
    EXPECT_EQ(5000u, file->getSize());
    EXPECT_EQ(0, memcmp(file->getData(), content.data(), content.size()));
    // The tail of the last page is mapped, readable, and not part of the file.
    EXPECT_EQ(0, file->getData()[5001]);
    file->close();
    EXPECT_EQ(content, VLTemporaryFolder::readFile(path));
}

TEST_F(VLMappedFileTest, WritesThroughTheMappingPersistWithoutAFlush)
{
    std::string path = folder.path("persist");
    {
        auto file = mapped(path);
        ASSERT_TRUE(file->open(4096 * 3 + 7));
        memcpy(file->getData() + 4096 * 3, "tail!!!", 7);
        memcpy(file->getData(), "head", 4);
    }  // destroyed without an explicit close
    std::string content = VLTemporaryFolder::readFile(path);
    ASSERT_EQ(4096u * 3 + 7, content.size());
    EXPECT_EQ("head", content.substr(0, 4));
    EXPECT_EQ("tail!!!", content.substr(4096 * 3));

    auto again = mapped(path);
    ASSERT_TRUE(again->open());
    EXPECT_EQ(4096u * 3 + 7, again->getSize());
    EXPECT_EQ(0, memcmp(again->getData(), "head", 4));
}

TEST_F(VLMappedFileTest, ResizeKeepsTheOpenStateAndTheLowerBytes)
{
    std::string path = folder.path("resize");
    auto file = mapped(path);
    ASSERT_TRUE(file->resize(8192, true));
    EXPECT_FALSE(file->isOpen());
    EXPECT_EQ(std::string(8192, '\0'), VLTemporaryFolder::readFile(path));

    ASSERT_TRUE(file->open());
    memset(file->getData(), 'a', 8192);
    ASSERT_TRUE(file->resize(3000, false));
    EXPECT_TRUE(file->isOpen());
    EXPECT_EQ(3000u, file->getSize());
    EXPECT_EQ('a', file->getData()[2999]);
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
    EXPECT_EQ(std::string(3, '\0'), VLTemporaryFolder::readFile(path));
    folder.writeFile("resize", "");
    EXPECT_TRUE(file->zeroFill());
}

TEST_F(VLMappedFileTest, FailingOpenLogsAndLeavesTheObjectClosed)
{
    size_t mark = VLTestLog::mark();
    std::string path = folder.path("missing/file");
    auto file = mapped(path);
    EXPECT_FALSE(file->open(100));
    EXPECT_FALSE(file->isOpen());
    EXPECT_EQ(nullptr, file->getData());
    EXPECT_EQ(0u, file->getSize());
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find("open has failed (2) : " + path));

    // A path below a regular file: ENOTDIR, which also fails as root.
    std::string below = folder.writeFile("plain", "x") + "/file";
    auto other = mapped(below);
    EXPECT_FALSE(other->resize(10, true));
    EXPECT_FALSE(other->zeroFill());
    EXPECT_FALSE(other->isOpen());
}

TEST_F(VLMappedFileTest, FailingResizeOfAnOpenFileEndsClosed)
{
    // /proc files open read-write for root but cannot be truncated or mapped.
    auto file = mapped("/proc/self/oom_score_adj");
    if (!file->open()) {
        GTEST_SKIP() << "cannot open /proc/self/oom_score_adj read-write here";
    }
    EXPECT_FALSE(file->resize(8192, false));
    EXPECT_FALSE(file->isOpen());
}

static bool writeText(const char* path, const std::string& text)
{
    int descriptor = open(path, O_WRONLY | O_CLOEXEC);
    if (descriptor == -1)
        return false;
    bool written = write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(descriptor);
    return written;
}

// What `unshare -rm` does: a user namespace in which we are root (so that a
// tmpfs can be mounted without privileges), with a private mount namespace.
// Plain root in a container without user namespaces tries the mount namespace
// alone.
static bool enterPrivateMountNamespace()
{
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
        writeText("/proc/self/setgroups", "deny");
        return writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
               writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    return unshare(CLONE_NEWNS) == 0;
}

// Runs `body` in a child process with a private mount namespace in which a
// 64 KiB tmpfs is mounted; returns the child's exit code, or -1 when the
// namespace or the mount cannot be made here.
static int inSmallTmpfs(const std::string& mountPoint, int (*body)(const std::string&))
{
    pid_t child = fork();
    if (child == 0) {
        if (!enterPrivateMountNamespace())
            _exit(100);
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(101);
        if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
            _exit(102);
        _exit(body(mountPoint));
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        return 1000 + WTERMSIG(status);
    int code = WEXITSTATUS(status);
    return code >= 100 ? -1 : code;
}

static int growBeyondTheDisk(const std::string& folder)
{
    std::string path = folder + "/content";
    std::unique_ptr<VLMappedFile> file(VLPlatformFactory::instance()->createMappedFile(path));
    if (file->open(1 << 20))
        return 1;  // must not succeed: the write below would be SIGBUS
    if (file->isOpen())
        return 2;
    // The failed grow leaves the file at its old length.
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || status.st_size != 0)
        return 3;
    // A size that fits still works, and every byte can be written.
    if (!file->open(16384))
        return 4;
    memset(file->getData(), 0x5a, 16384);
    file->close();
    if (VLPlatformFactory::instance()->getFileHelper()->isWritable(folder) != true)
        return 5;
    return 0;
}

static int probeAFullDisk(const std::string& folder)
{
    // Fill the volume, then probe: the probe must fail and leave nothing behind.
    std::unique_ptr<VLMappedFile> filler(VLPlatformFactory::instance()->createMappedFile(folder + "/filler"));
    size_t size = 64 * 1024;
    while (size > 0 && !filler->open(size))
        size -= 4096;
    filler->close();
    if (VLPlatformFactory::instance()->getFileHelper()->isWritable(folder))
        return 1;
    std::list<std::string> files;
    VLPlatformFactory::instance()->getFileHelper()->listFiles(folder, &files);
    for (const std::string& f : files) {
        if (f != folder + "/filler")
            return 2;
    }
    return 0;
}

TEST_F(VLMappedFileTest, GrowingPastAFullDiskFailsInsteadOfFaulting)
{
    std::string mountPoint = folder.path("small");
    ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0755));
    int result = inSmallTmpfs(mountPoint, &growBeyondTheDisk);
    if (result == -1)
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, inSmallTmpfs(mountPoint, &probeAFullDisk));
}
