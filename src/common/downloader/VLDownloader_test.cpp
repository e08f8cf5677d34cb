// The download queue over real repositories in a temporary folder, fed by the
// fault-injecting test server on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <sqlite3.h>

#include "TestHttpServer.h"
#include "TestPlatform.h"
#include "VLDownloadTestRig.h"
#include "VLTemporaryFolder.h"
#include "VLTestLog.h"

namespace {

const int NONE = VLDownloader::DOWNLOAD_NONE;
const int PAUSED = VLDownloader::DOWNLOAD_PAUSED;
const int QUEUED = VLDownloader::DOWNLOAD_QUEUED;
const int RUNNING = VLDownloader::DOWNLOAD_RUNNING;
const int FAILED = VLDownloader::DOWNLOAD_FAILED;
const int DONE = VLDownloader::DOWNLOAD_DONE;

TestHttpServer* g_server = nullptr;

// The process that the crash test kills: it downloads one file into the
// import repository of the folder it is given until SIGKILL ends it.
[[noreturn]] void runKilledChild(const char* folder, const char* address)
{
    VLDownloadTestRig rig(folder);
    rig.setUrl("k", address ? address : "");
    rig.openDownloader(1);
    rig.downloader()->addFile(rig.import(), VLFileId("k", 6), "meta-k");
    rig.runUntil([] { return false; }, 120);
    _exit(1);
}

class DownloaderEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        TestPlatform::install();
        const char* childFolder = getenv("VELORA_DOWNLOAD_CHILD_FOLDER");
        if (childFolder)
            runKilledChild(childFolder, getenv("VELORA_DOWNLOAD_CHILD_URL"));
        VLTestLog::start();
        g_server = new TestHttpServer();
    }
    void TearDown() override
    {
        delete g_server;
        g_server = nullptr;
    }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DownloaderEnvironment);

// What the core logged since the watch was made or restarted.
class LogWatch
{
public:
    LogWatch() : m_mark(VLTestLog::mark()) {}
    void restart() { m_mark = VLTestLog::mark(); }
    std::string text() const { return VLTestLog::since(m_mark); }
    size_t count(const std::string& message) const
    {
        std::string logged = text();
        size_t found = 0;
        for (size_t at = logged.find(message); at != std::string::npos; at = logged.find(message, at + 1))
            ++found;
        return found;
    }
    bool hasWarnings() const { return count("WARN  desktop - ") + count("ERROR desktop - ") > 0; }

private:
    size_t m_mark;
};

std::string bytes(const std::vector<uint8_t>& content)
{
    return std::string(content.begin(), content.end());
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

class VLDownloaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_server->isRunning());
        m_rig.reset(new VLDownloadTestRig(m_folder.path()));
        m_log.restart();
        g_server->clearRequests();
    }

    void TearDown() override
    {
        m_rig.reset();
    }

    // The test server's address for `size` bytes of pattern `seed`, with
    // the server options given as "key=value/" segments.
    static std::string url(size_t size, unsigned seed, const std::string& options = "")
    {
        return g_server->url("/size=" + std::to_string(size) + "/seed=" + std::to_string(seed) + "/" +
                             options + "track");
    }
    // A response that sends one block and then nothing until the client goes.
    static std::string stalledUrl(unsigned seed) { return url(1000000, seed, "stall=4096/"); }

    static VLFileId id(const std::string& entity, uint32_t format = 6) { return VLFileId(entity, format); }

    VLDownloadTestRig& rig() { return *m_rig; }
    VLDownloader& downloader() { return *m_rig->downloader(); }

    // Rebuilds the rig on the same folder: the next session of the same user.
    void restart()
    {
        m_rig.reset();
        m_rig.reset(new VLDownloadTestRig(m_folder.path()));
    }

    std::string contentPath(VLRepository* repository, VLRepositoryFile* file)
    {
        return repository->getFilePath(file->getFileName());
    }

    void expectContent(VLRepository* repository, const std::string& entity, size_t size, unsigned seed)
    {
        VLRepositoryFile* file = rig().file(repository, entity);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->getSize(), size);
        EXPECT_TRUE(VLTemporaryFolder::readFile(contentPath(repository, file)) == bytes(TestHttpServer::content(seed, 0, size)))
            << entity << " differs from what the server sent";
    }

    VLTemporaryFolder m_folder;
    std::unique_ptr<VLDownloadTestRig> m_rig;
    LogWatch m_log;
};

// ---------------------------------------------------------------------------
// Positions.

TEST_F(VLDownloaderTest, AddsTakeTheNextPositionAndANewSessionRenumbersFromOne)
{
    rig().openDownloader(0);
    downloader().addFile(rig().import(), id("a"), "meta-a");
    downloader().addFile(rig().download(), id("b"), "meta-b");
    EXPECT_EQ(rig().file(rig().import(), "a"), nullptr) << "nothing happens before the update";
    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "a"), QUEUED);
    EXPECT_EQ(rig().position(rig().import(), "a"), 0);
    EXPECT_EQ(rig().position(rig().download(), "b"), 1);
    EXPECT_EQ(rig().file(rig().import(), "a")->getMetadata(), "meta-a");
    EXPECT_EQ(rig().urlRequestCount(), 0u) << "limit 0 starts nothing";

    // Adding a queued file again replaces its metadata only.
    downloader().addFile(rig().import(), id("a"), "meta-a2");
    rig().pass();
    EXPECT_EQ(rig().position(rig().import(), "a"), 0);
    EXPECT_EQ(rig().file(rig().import(), "a")->getMetadata(), "meta-a2");

    rig().openDownloader(0);
    EXPECT_EQ(rig().position(rig().import(), "a"), 1);
    EXPECT_EQ(rig().position(rig().download(), "b"), 2);
}

TEST_F(VLDownloaderTest, SetPositionShiftsTheFilesAtOrAfterItAndNeverWraps)
{
    rig().openDownloader(0);
    for (const char* name : {"a", "b", "c"})
        downloader().addFile(rig().download(), id(name), "");
    rig().pass();
    rig().openDownloader(0);  // positions 1, 2, 3

    downloader().setDownloadPosition(rig().download(), id("c"), 1);
    rig().pass();
    EXPECT_EQ(rig().position(rig().download(), "a"), 2);
    EXPECT_EQ(rig().position(rig().download(), "b"), 3);
    EXPECT_EQ(rig().position(rig().download(), "c"), 1);

    // A file outside the queue gets no position; the others move all the same.
    rig().download()->getFile(id("outside"), true);
    downloader().setDownloadPosition(rig().download(), id("outside"), 2);
    rig().pass();
    EXPECT_EQ(rig().position(rig().download(), "outside"), -1);
    EXPECT_EQ(rig().state(rig().download(), "outside"), NONE);
    EXPECT_EQ(rig().position(rig().download(), "c"), 1);
    EXPECT_EQ(rig().position(rig().download(), "a"), 3);
    EXPECT_EQ(rig().position(rig().download(), "b"), 4);

    // Positions at the top of the range stay there instead of wrapping to the front.
    downloader().setDownloadPosition(rig().download(), id("a"), INT_MAX);
    downloader().setDownloadPosition(rig().download(), id("b"), INT_MAX);
    downloader().addFile(rig().download(), id("d"), "");
    rig().pass();
    EXPECT_EQ(rig().position(rig().download(), "a"), INT_MAX);
    EXPECT_EQ(rig().position(rig().download(), "b"), INT_MAX);
    EXPECT_EQ(rig().position(rig().download(), "d"), INT_MAX);
    EXPECT_EQ(rig().position(rig().download(), "c"), 1);
}

TEST_F(VLDownloaderTest, ANewSessionRequeuesRunningAndFailedAndCompactsPositions)
{
    struct Stored {
        VLRepository* repository;
        const char* entity;
        int state;
        int position;
    };
    const Stored stored[] = {
        {rig().download(), "a", QUEUED, 7},    {rig().download(), "b", RUNNING, 3},
        {rig().download(), "c", FAILED, 12},   {rig().download(), "n", NONE, 4},
        {rig().import(), "x", DONE, 20},       {rig().download(), "y", PAUSED, 20},
        {rig().download(), "z", 3, 30},  // a value no downloader writes
    };
    for (const Stored& s : stored) {
        VLRepositoryFile* file = s.repository->getFile(id(s.entity), true);
        file->setCustom(s.state);
        file->setPosition(s.position);
    }
    restart();  // through the index on disk
    rig().openDownloader(0);

    auto expect = [&](VLRepository* repository, const char* entity, int state, int position) {
        EXPECT_EQ(rig().state(repository, entity), state) << entity;
        EXPECT_EQ(rig().position(repository, entity), position) << entity;
    };
    expect(rig().download(), "b", QUEUED, 1);
    expect(rig().download(), "a", QUEUED, 2);
    expect(rig().download(), "c", QUEUED, 3);
    expect(rig().import(), "x", DONE, 4);     // met first at position 20
    expect(rig().download(), "y", PAUSED, 20);  // keeps its number
    expect(rig().download(), "z", QUEUED, 5);
    expect(rig().download(), "n", NONE, 4);   // outside the queue: untouched
    EXPECT_EQ(m_log.count("Unknown download state 3"), 1u);
}

// ---------------------------------------------------------------------------
// Single-file actions from every state.

struct ActionCase {
    VLDownloaderAction::Type action;
    int from;
    int to;
    bool removed;
    const char* warning;
};

void PrintTo(const ActionCase& c, std::ostream* out)
{
    *out << "action " << c.action << " from " << c.from;
}

class VLDownloaderActionTest : public VLDownloaderTest, public ::testing::WithParamInterface<ActionCase>
{
protected:
    // Brings file "f" of the download repository into `state` the way users
    // and servers do; the downloader's limit is then 0 or 1.
    void prepare(int state)
    {
        VLRepository* repository = rig().download();
        switch (state) {
        case NONE:
            rig().openDownloader(1);
            repository->getFile(id("f"), true);
            break;
        case PAUSED:
        case QUEUED:
            rig().openDownloader(0);
            downloader().addFile(repository, id("f"), "m");
            if (state == PAUSED)
                downloader().pauseFile(repository, id("f"));
            rig().pass();
            break;
        case RUNNING:
            rig().setUrl("f", stalledUrl(1));
            rig().openDownloader(1);
            downloader().addFile(repository, id("f"), "m");
            ASSERT_TRUE(rig().runUntil([&] {
                VLRepositoryFile* file = rig().file(repository, "f");
                return file && file->getLoaded() == 4096;
            }));
            break;
        case FAILED:
            rig().setUrl("f", url(5000, 1, "status=404/"));
            rig().openDownloader(1);
            downloader().addFile(repository, id("f"), "m");
            ASSERT_TRUE(rig().runUntil([&] { return rig().state(repository, "f") == FAILED; }));
            break;
        case DONE:
            rig().setUrl("f", url(10000, 1));
            rig().openDownloader(1);
            downloader().addFile(repository, id("f"), "m");
            ASSERT_TRUE(rig().runUntil([&] { return rig().state(repository, "f") == DONE; }));
            break;
        }
        ASSERT_EQ(rig().state(repository, "f"), state);
    }
};

TEST_P(VLDownloaderActionTest, MovesTheFileToItsNextState)
{
    const ActionCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(prepare(c.from));
    VLRepository* repository = rig().download();
    VLRepositoryFile* file = rig().file(repository, "f");
    std::string content = contentPath(repository, file);
    m_log.restart();

    switch (c.action) {
    case VLDownloaderAction::ACTION_PAUSE: downloader().pauseFile(repository, id("f")); break;
    case VLDownloaderAction::ACTION_RESUME: downloader().resumeFile(repository, id("f")); break;
    case VLDownloaderAction::ACTION_HIDE: downloader().hideFile(repository, id("f")); break;
    case VLDownloaderAction::ACTION_REMOVE: downloader().removeFile(repository, id("f")); break;
    default: FAIL();
    }
    rig().pass();

    EXPECT_EQ(file->getCustom(), c.to);
    EXPECT_EQ(file->isRemoved(), c.removed);
    if (c.to == NONE) {
        EXPECT_EQ(file->getPosition(), -1);
    }
    EXPECT_EQ(file->isOpen(), c.to == RUNNING) << "the downloader holds an open exactly while running";
    if (c.warning) {
        EXPECT_EQ(m_log.count(c.warning), 1u) << c.warning;
    } else {
        EXPECT_FALSE(m_log.hasWarnings()) << m_log.text();
    }

    rig().pass();
    if (c.removed) {
        EXPECT_EQ(rig().file(repository, "f"), nullptr) << "a removed file is deleted once closed";
        EXPECT_FALSE(fileExists(content));
        EXPECT_FALSE(fileExists(content + ".part"));
    } else {
        EXPECT_EQ(rig().file(repository, "f"), file);
    }
}

const VLDownloaderAction::Type kPause = VLDownloaderAction::ACTION_PAUSE;
const VLDownloaderAction::Type kResume = VLDownloaderAction::ACTION_RESUME;
const VLDownloaderAction::Type kHide = VLDownloaderAction::ACTION_HIDE;
const VLDownloaderAction::Type kRemove = VLDownloaderAction::ACTION_REMOVE;

INSTANTIATE_TEST_SUITE_P(
    EveryState, VLDownloaderActionTest,
    ::testing::Values(
        ActionCase{kPause, NONE, NONE, false, "Download is missing, unable to pause it"},
        ActionCase{kPause, PAUSED, PAUSED, false, nullptr},
        ActionCase{kPause, QUEUED, PAUSED, false, nullptr},
        ActionCase{kPause, RUNNING, PAUSED, false, nullptr},
        ActionCase{kPause, FAILED, FAILED, false, nullptr},
        ActionCase{kPause, DONE, DONE, false, nullptr},
        ActionCase{kResume, NONE, NONE, false, "Download is missing, unable to resume it"},
        ActionCase{kResume, PAUSED, QUEUED, false, nullptr},
        ActionCase{kResume, QUEUED, QUEUED, false, nullptr},
        ActionCase{kResume, RUNNING, RUNNING, false, nullptr},
        ActionCase{kResume, FAILED, FAILED, false, nullptr},
        ActionCase{kResume, DONE, DONE, false, nullptr},
        ActionCase{kHide, NONE, NONE, false, nullptr},
        ActionCase{kHide, PAUSED, NONE, false, nullptr},
        ActionCase{kHide, QUEUED, NONE, false, nullptr},
        ActionCase{kHide, RUNNING, NONE, false, nullptr},
        ActionCase{kHide, FAILED, NONE, false, nullptr},
        ActionCase{kHide, DONE, NONE, false, nullptr},
        ActionCase{kRemove, NONE, NONE, true, nullptr},
        ActionCase{kRemove, PAUSED, NONE, true, nullptr},
        ActionCase{kRemove, QUEUED, NONE, true, nullptr},
        ActionCase{kRemove, RUNNING, NONE, true, nullptr},
        ActionCase{kRemove, FAILED, NONE, true, nullptr},
        ActionCase{kRemove, DONE, NONE, true, nullptr}));

TEST_F(VLDownloaderTest, ActionsOnFilesThatDoNotExistChangeNothing)
{
    rig().openDownloader(0);
    downloader().pauseFile(rig().download(), id("ghost"));
    downloader().resumeFile(rig().download(), id("ghost"));
    downloader().hideFile(rig().download(), id("ghost"));
    downloader().addFile(nullptr, id("a"), "");
    downloader().pauseFile(nullptr, id("a"));
    downloader().setDownloadPosition(nullptr, id("a"), 3);
    rig().pass();
    EXPECT_EQ(rig().file(rig().download(), "ghost"), nullptr) << "no empty record is left behind";
    EXPECT_EQ(m_log.count("Download is missing, unable to pause it"), 1u);
    EXPECT_EQ(m_log.count("Download is missing, unable to resume it"), 1u);
    EXPECT_EQ(m_log.count("Unknown repository, download action dropped"), 3u);
}

TEST_F(VLDownloaderTest, AllActionsRunBeforeOlderPendingActionsLastVisitedFirst)
{
    rig().openDownloader(0);
    for (const char* name : {"a", "b", "c"})
        downloader().addFile(rig().download(), id(name), std::string("meta-") + name);
    rig().pass();
    rig().download()->getFile(id("d"), true)->setCustom(FAILED);
    rig().download()->getFile(id("e"), true)->setCustom(DONE);
    rig().clearStateReports();
    m_log.restart();

    downloader().pauseAll();
    downloader().addFile(rig().download(), id("z"), "");  // queued behind the pause
    rig().pass();
    auto reportOrder = [&] {
        std::vector<std::string> order;
        for (auto& report : rig().stateReports())
            order.push_back(report.file + ":" + std::to_string(report.state));
        rig().clearStateReports();
        return order;
    };
    // The pauses made for every file run first, the file visited last first;
    // the older add follows and is not paused.
    EXPECT_EQ(reportOrder(), (std::vector<std::string>{"c_6:1", "b_6:1", "a_6:1", "z_6:2"}));

    downloader().pauseAll();
    downloader().resumeFile(rig().download(), id("b"));
    downloader().addFile(rig().download(), id("w"), "");
    rig().pass();
    EXPECT_EQ(reportOrder(), (std::vector<std::string>{"z_6:1", "b_6:2", "w_6:2"}));
    EXPECT_FALSE(m_log.hasWarnings()) << "done and failed files are passed over quietly\n" << m_log.text();

    downloader().removeAll();
    rig().pass();
    for (const char* name : {"a", "b", "c", "d", "e", "w", "z"}) {
        VLRepositoryFile* file = rig().file(rig().download(), name);
        ASSERT_NE(file, nullptr) << name;
        EXPECT_TRUE(file->isRemoved()) << name;
        EXPECT_EQ(file->getCustom(), NONE) << name;
    }
}

// ---------------------------------------------------------------------------
// Running the queue.

TEST_F(VLDownloaderTest, DownloadsRunWithinTheLimitInPositionOrderAndEndComplete)
{
    const char* names[] = {"p", "q", "r", "s", "t"};
    rig().openDownloader(2);
    for (unsigned i = 0; i < 5; ++i) {
        rig().setUrl(names[i], url(300000 + i * 1000, i, "throttle=2000000/"));
        // Spread over both repositories; the queue order is the position order.
        downloader().addFile(i % 2 ? rig().download() : rig().import(), id(names[i]), "");
    }
    std::vector<std::string> started;
    auto allDone = [&] {
        int running = 0;
        for (unsigned i = 0; i < 5; ++i) {
            VLRepository* repository = i % 2 ? rig().download() : rig().import();
            int state = rig().state(repository, names[i]);
            if (state == RUNNING) {
                ++running;
                if (std::find(started.begin(), started.end(), names[i]) == started.end())
                    started.push_back(names[i]);
            }
            if (state != DONE && state != RUNNING && state != QUEUED && state != -1)
                ADD_FAILURE() << names[i] << " in state " << state;
        }
        EXPECT_LE(running, 2);
        for (unsigned i = 0; i < 5; ++i) {
            if (rig().state(i % 2 ? rig().download() : rig().import(), names[i]) != DONE)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(rig().runUntil(allDone));
    EXPECT_EQ(started, (std::vector<std::string>{"p", "q", "r", "s", "t"}));
    for (unsigned i = 0; i < 5; ++i) {
        VLRepository* repository = i % 2 ? rig().download() : rig().import();
        expectContent(repository, names[i], 300000 + i * 1000, i);
        EXPECT_FALSE(rig().file(repository, names[i])->isOpen());
    }
}

TEST_F(VLDownloaderTest, TheLimitStopsHighestPositionsFirstAndUnusableRepositoriesAnywhere)
{
    rig().openDownloader(3);
    rig().setUrl("A", stalledUrl(1));
    rig().setUrl("B", stalledUrl(2));
    rig().setUrl("C", stalledUrl(3));
    downloader().addFile(rig().import(), id("A"), "");
    downloader().addFile(rig().download(), id("B"), "");
    downloader().addFile(rig().download(), id("C"), "");
    ASSERT_TRUE(rig().runUntil([&] {
        return rig().state(rig().import(), "A") == RUNNING && rig().state(rig().download(), "B") == RUNNING &&
               rig().state(rig().download(), "C") == RUNNING;
    }));

    rig().clearStateReports();
    rig().import()->setOffline(true);
    downloader().setMaxConcurrentDownloads(2);
    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "A"), QUEUED);
    EXPECT_EQ(rig().state(rig().download(), "B"), RUNNING);
    EXPECT_EQ(rig().state(rig().download(), "C"), RUNNING);
    EXPECT_EQ(rig().statesOf("C"), (std::vector<int>{QUEUED, RUNNING})) << "stopped over the limit, then restarted";
    EXPECT_EQ(rig().statesOf("B"), std::vector<int>());
    EXPECT_FALSE(rig().file(rig().import(), "A")->isOpen());

    // Back online, A waits for a free slot; running downloads are not preempted.
    rig().import()->setOffline(false);
    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "A"), QUEUED);
    downloader().setMaxConcurrentDownloads(3);
    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "A"), RUNNING);
    EXPECT_EQ(rig().state(rig().download(), "B"), RUNNING);
    EXPECT_EQ(rig().state(rig().download(), "C"), RUNNING);
}

TEST_F(VLDownloaderTest, LimitZeroStopsEverythingAndNegativeLimitsAreRefused)
{
    rig().openDownloader(2);
    rig().setUrl("a", stalledUrl(1));
    rig().setUrl("b", stalledUrl(2));
    downloader().addFile(rig().download(), id("a"), "");
    downloader().addFile(rig().download(), id("b"), "");
    ASSERT_TRUE(rig().runUntil([&] {
        return rig().state(rig().download(), "a") == RUNNING && rig().state(rig().download(), "b") == RUNNING;
    }));

    // The page's "-1" arrives as 4294967295: refused, the limit stays.
    downloader().setMaxConcurrentDownloads(static_cast<unsigned>(-1));
    EXPECT_EQ(downloader().getMaxConcurrentDownloads(), 2u);
    EXPECT_EQ(m_log.count("Refused negative limit of concurrent downloads : -1"), 1u);
    rig().pass();
    EXPECT_EQ(rig().state(rig().download(), "a"), RUNNING);
    EXPECT_EQ(rig().state(rig().download(), "b"), RUNNING);

    downloader().setMaxConcurrentDownloads(0);
    rig().passes(3);
    EXPECT_EQ(rig().state(rig().download(), "a"), QUEUED);
    EXPECT_EQ(rig().state(rig().download(), "b"), QUEUED);
    EXPECT_FALSE(rig().file(rig().download(), "a")->isOpen());

    // A session whose stored limit reads as negative takes the default.
    VLRepository* repositories[] = {rig().import(), rig().download()};
    VLDownloader other(repositories, 2, static_cast<unsigned>(-5));
    EXPECT_EQ(other.getMaxConcurrentDownloads(), VLDownloader::DEFAULT_MAX_CONCURRENT_DOWNLOADS);
}

TEST_F(VLDownloaderTest, ImportStartsBeforeDownloadAtEqualPositions)
{
    rig().openDownloader(0);
    rig().setUrl("d", stalledUrl(1));
    rig().setUrl("i", stalledUrl(2));
    downloader().addFile(rig().download(), id("d"), "");
    downloader().addFile(rig().import(), id("i"), "");
    rig().pass();
    rig().file(rig().import(), "i")->setPosition(0);
    ASSERT_EQ(rig().position(rig().download(), "d"), 0);

    downloader().setMaxConcurrentDownloads(1);
    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "i"), RUNNING);
    EXPECT_EQ(rig().state(rig().download(), "d"), QUEUED);
}

TEST_F(VLDownloaderTest, AnAddNamingTheCacheIsQueuedButNeverStarted)
{
    rig().openDownloader(3);
    rig().setUrl("c", url(10000, 1));
    downloader().addFile(rig().cache(), id("c"), "");
    rig().passes(20);
    EXPECT_EQ(rig().state(rig().cache(), "c"), QUEUED);
    EXPECT_FALSE(rig().file(rig().cache(), "c")->isOpen());
    EXPECT_EQ(rig().urlRequestCount(), 0u);
    EXPECT_TRUE(g_server->getRequests().empty());
}

TEST_F(VLDownloaderTest, AnEmptyImportFallsBackToTheDefaultSecondaryFormatAtTheNextUpdate)
{
    rig().openDownloader(1);
    // The page answers that only format 5 exists: the format-6 file becomes empty.
    rig().setUrl("e", url(20000, 4), 5);
    rig().setUrl("g", url(20000, 5), 5);
    rig().setUrl("h", url(20000, 6));
    downloader().addFile(rig().import(), id("e"), "meta-e");
    downloader().addFile(rig().download(), id("g"), "meta-g");
    downloader().addFile(rig().import(), id("h"), "meta-h");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(rig().import(), "e") == DONE; }));
    EXPECT_EQ(rig().file(rig().import(), "e")->getSize(), 0u);
    EXPECT_EQ(rig().file(rig().import(), "e", 5), nullptr) << "the fallback waits for the next update";

    rig().pass();
    EXPECT_EQ(rig().state(rig().import(), "e"), NONE);
    EXPECT_EQ(rig().position(rig().import(), "e"), -1);
    VLRepositoryFile* fallback = rig().file(rig().import(), "e", 5);
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->getMetadata(), "meta-e");
    EXPECT_EQ(fallback->getPosition(), 3) << "at the end of the queue";

    ASSERT_TRUE(rig().runUntil([&] {
        return rig().state(rig().import(), "e", 5) == DONE && rig().state(rig().download(), "g") == DONE &&
               rig().state(rig().import(), "h") == DONE;
    }));
    rig().pass();
    EXPECT_EQ(fallback->getSize(), 20000u);
    // Only an empty import falls back: not in "download", not with content.
    EXPECT_EQ(rig().file(rig().download(), "g", 5), nullptr);
    EXPECT_EQ(rig().state(rig().download(), "g"), DONE);
    EXPECT_EQ(rig().file(rig().import(), "h", 5), nullptr);
    EXPECT_EQ(rig().state(rig().import(), "h"), DONE);
}

TEST_F(VLDownloaderTest, AFailedDownloadIsNotResumedButCanBeHiddenAndAddedAgain)
{
    rig().openDownloader(1);
    rig().setUrl("f", url(5000, 1, "status=404/"));
    downloader().addFile(rig().download(), id("f"), "");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(rig().download(), "f") == FAILED; }));
    EXPECT_FALSE(rig().file(rig().download(), "f")->isOpen());

    downloader().setMaxConcurrentDownloads(0);
    downloader().addFile(rig().download(), id("other"), "");
    downloader().resumeFile(rig().download(), id("f"));
    rig().pass();
    EXPECT_EQ(rig().state(rig().download(), "f"), FAILED);

    downloader().hideFile(rig().download(), id("f"));
    downloader().addFile(rig().download(), id("f"), "");
    rig().pass();
    EXPECT_EQ(rig().state(rig().download(), "f"), QUEUED);
    EXPECT_EQ(rig().position(rig().download(), "f"), 2);
}

TEST_F(VLDownloaderTest, AServerFailingMidDownloadLeavesTheFileFailedWithItsWholeBlocks)
{
    rig().openDownloader(1);
    // 30000 of 100000 bytes, then the connection closes; the retry is refused.
    rig().setUrl("f", url(100000, 7, "truncate=30000/"));
    downloader().addFile(rig().download(), id("f"), "");
    ASSERT_TRUE(rig().runUntil([&] {
        VLRepositoryFile* file = rig().file(rig().download(), "f");
        return file && file->getLoaded() > 0;
    }));
    rig().setUrl("f", url(100000, 7, "status=404/"));
    // The retry comes 4 s after the failure on the platform clock: let the
    // clock run a second per pass.
    TestPlatform* platform = TestPlatform::install();
    platform->setTime(platform->getTime());
    bool failed = rig().runUntil([&] {
        platform->advance(1);
        return rig().state(rig().download(), "f") == FAILED;
    });
    platform->useRealTime();
    ASSERT_TRUE(failed);

    VLRepositoryFile* file = rig().file(rig().download(), "f");
    EXPECT_EQ(file->getLoaded(), 7u * 4096) << "the whole blocks of the 30000 bytes";
    EXPECT_FALSE(file->isOpen()) << "a failed download gives back its open";
    std::string content = VLTemporaryFolder::readFile(contentPath(rig().download(), file));
    ASSERT_EQ(content.size(), 100000u);
    EXPECT_TRUE(content.substr(0, 7 * 4096) == bytes(TestHttpServer::content(7, 0, 7 * 4096)));

    // Released, it can be removed for good.
    std::string path = contentPath(rig().download(), file);
    downloader().removeFile(rig().download(), id("f"));
    rig().passes(2);
    EXPECT_EQ(rig().file(rig().download(), "f"), nullptr);
    EXPECT_FALSE(fileExists(path));
}

// A page that re-syncs its list removes and adds in one go: the download must
// stay, not vanish with the removed record once it ends.
TEST_F(VLDownloaderTest, ARemoveFollowedByAnAddKeepsTheDownload)
{
    rig().openDownloader(1);
    rig().setUrl("f", url(30000, 2));
    downloader().addFile(rig().download(), id("f"), "first");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(rig().download(), "f") == DONE; }));

    downloader().removeFile(rig().download(), id("f"));
    downloader().addFile(rig().download(), id("f"), "second");
    rig().pass();
    VLRepositoryFile* file = rig().file(rig().download(), "f");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->isRemoved());
    EXPECT_EQ(file->getMetadata(), "second");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(rig().download(), "f") == DONE; }));
    rig().passes(3);
    ASSERT_EQ(rig().file(rig().download(), "f"), file) << "the record outlives the end of its download";
    expectContent(rig().download(), "f", 30000, 2);
}

// The index on disk holds every change to the queue as soon as the update
// that made it returns: a crash right after loses nothing.
TEST_F(VLDownloaderTest, QueueChangesAreInTheIndexWhenTheUpdateReturns)
{
    rig().openDownloader(0);
    downloader().addFile(rig().download(), id("a"), "meta-a");
    downloader().addFile(rig().download(), id("b"), "meta-b");
    downloader().setDownloadPosition(rig().download(), id("b"), 0);
    downloader().pauseFile(rig().download(), id("a"));
    rig().pass();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_folder.path("repositories/download.db").c_str(), &db, SQLITE_OPEN_READONLY,
                              nullptr),
              SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT entity_id, custom, position, metadata FROM files "
                                 "WHERE repository = 'download' ORDER BY entity_id",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        rows.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) + " " +
                       std::to_string(sqlite3_column_int(statement, 1)) + " " +
                       std::to_string(sqlite3_column_int(statement, 2)) + " " +
                       reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    EXPECT_EQ(rows, (std::vector<std::string>{"a 1 1 meta-a", "b 2 0 meta-b"}));
}

// A download killed midway goes on in the next session from the blocks its
// bitmap holds: only the missing bytes are asked of the server.
TEST_F(VLDownloaderTest, ADownloadKilledMidwayResumesFromItsBitmapInTheNextSession)
{
    m_rig.reset();  // the child process owns the folder until it dies
    const size_t size = 2000000;
    std::string slow = url(size, 9, "throttle=400000/");
    pid_t child = fork();
    if (child == 0) {
        setenv("VELORA_DOWNLOAD_CHILD_FOLDER", m_folder.path().c_str(), 1);
        setenv("VELORA_DOWNLOAD_CHILD_URL", slow.c_str(), 1);
        execl("/proc/self/exe", "downloader-child", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);

    // The bytes present from the start of the file, as the bitmap on disk says.
    auto presentBytes = [&]() -> size_t {
        for (auto& entry : std::filesystem::directory_iterator(m_folder.path("import"))) {
            if (entry.path().extension() != ".part")
                continue;
            std::string bits = VLTemporaryFolder::readFile(entry.path());
            size_t block = 0;
            while (block < bits.size() * 8 && (bits[block >> 3] & (1 << (block & 7))))
                ++block;
            return std::min(size, block * 4096);
        }
        return 0;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (presentBytes() < size / 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself";
    size_t present = presentBytes();
    ASSERT_GE(present, size / 4);
    ASSERT_LT(present, size) << "the download ended before the kill";

    // The server notices the dead connection when it next writes.
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto aborted = [&] {
        for (const TestHttpRequest& request : g_server->getRequests()) {
            if (request.status == "aborted")
                return true;
        }
        return false;
    };
    while (!aborted() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_server->clearRequests();

    m_rig.reset(new VLDownloadTestRig(m_folder.path()));
    rig().setUrl("k", url(size, 9));
    rig().openDownloader(1);
    EXPECT_EQ(rig().state(rig().import(), "k"), QUEUED) << "a download left running is queued again";
    EXPECT_EQ(rig().file(rig().import(), "k")->getMetadata(), "meta-k");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(rig().import(), "k") == DONE; }));
    expectContent(rig().import(), "k", size, 9);

    std::vector<TestHttpRequest> requests = g_server->getRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().range, "bytes=" + std::to_string(present) + "-" + std::to_string(size - 1));
    size_t fetched = 0;
    for (const TestHttpRequest& request : requests)
        fetched += request.bytes;
    EXPECT_EQ(fetched, size - present) << "only the missing bytes are fetched again";
}

// ---------------------------------------------------------------------------
// Threads.

// The page's calls arrive on the main thread while the worker updates; every
// call is applied once, and each thread's calls in the order it made them.
TEST_F(VLDownloaderTest, QueueingFromOtherThreadsWhileTheWorkerUpdates)
{
    rig().openDownloader(0);
    std::atomic<bool> stop(false);
    std::thread worker([&] {
        while (!stop)
            rig().pass();
    });
    const int threads = 4;
    const int perThread = 50;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
                downloader().addFile(rig().download(), id(name), name);
                if (i % 10 == 0) {
                    downloader().pauseFile(rig().download(), id(name));
                    downloader().setMaxConcurrentDownloads(0);
                    downloader().getMaxConcurrentDownloads();
                }
            }
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    stop = true;
    worker.join();
    rig().pass();

    for (int t = 0; t < threads; ++t) {
        int previous = -1;
        for (int i = 0; i < perThread; ++i) {
            std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
            EXPECT_EQ(rig().state(rig().download(), name), i % 10 == 0 ? PAUSED : QUEUED) << name;
            int position = rig().position(rig().download(), name);
            EXPECT_GT(position, previous) << name;
            previous = position;
        }
    }
    std::set<int> positions;
    for (auto& entry : rig().download()->getFiles())
        positions.insert(entry.second->getPosition());
    EXPECT_EQ(positions.size(), size_t(threads * perThread));
    EXPECT_EQ(*positions.rbegin(), threads * perThread - 1);
}

} // namespace
