// The download queue over real repositories in a temporary folder, fed by the
// fault-injecting test server on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include <sqlite3.h>

#include "TestFolder.h"
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

std::string bytes(const std::vector<uint8_t>& content)
{
    return std::string(content.begin(), content.end());
}

class VLDownloaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_server->isRunning());
        m_rig.reset(new VLDownloadTestRig(m_folder.path()));
        m_mark = VLTestLog::mark();
        g_server->clearRequests();
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
    VLRepository* imports() { return m_rig->import(); }
    VLRepository* downloads() { return m_rig->download(); }

    // How often the core logged `message`, and whether it warned at all, since
    // the test began or the last restartLog.
    size_t logged(const std::string& message) const
    {
        const std::string text = VLTestLog::since(m_mark);
        size_t found = 0;
        for (size_t at = text.find(message); at != std::string::npos; at = text.find(message, at + 1))
            ++found;
        return found;
    }
    bool warned() const { return logged("WARN  desktop - ") + logged("ERROR desktop - ") > 0; }
    void restartLog() { m_mark = VLTestLog::mark(); }

    static std::string contentPath(VLRepository* repository, VLRepositoryFile* file)
    {
        return repository->getFilePath(file->getFileName());
    }

    void expectContent(VLRepository* repository, const std::string& entity, size_t size, unsigned seed)
    {
        VLRepositoryFile* file = rig().file(repository, entity);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->getSize(), size);
        EXPECT_TRUE(VLTemporaryFolder::readFile(contentPath(repository, file)) ==
                    bytes(TestHttpServer::content(seed, 0, size)))
            << entity << " differs from what the server sent";
        EXPECT_FALSE(file->isOpen());
    }

    // Expects the files' states and positions, "entity" in the download
    // repository unless it starts with "i:" for the import one.
    void expectQueue(const std::vector<std::tuple<std::string, int, int>>& files)
    {
        for (const auto& f : files) {
            const std::string& name = std::get<0>(f);
            VLRepository* repository = name.compare(0, 2, "i:") == 0 ? imports() : downloads();
            const std::string entity = repository == imports() ? name.substr(2) : name;
            EXPECT_EQ(rig().state(repository, entity), std::get<1>(f)) << name;
            EXPECT_EQ(rig().position(repository, entity), std::get<2>(f)) << name;
        }
    }

    bool allRunning(std::initializer_list<std::pair<VLRepository*, const char*>> files)
    {
        for (const auto& file : files) {
            if (rig().state(file.first, file.second) != RUNNING)
                return false;
        }
        return true;
    }

    VLTemporaryFolder m_folder;
    std::unique_ptr<VLDownloadTestRig> m_rig;
    size_t m_mark = 0;
};

// ---------------------------------------------------------------------------
// Positions.

TEST_F(VLDownloaderTest, AddsAppendAndSetPositionShiftsTheOthers)
{
    rig().openDownloader(0);
    downloader().addFile(imports(), id("a"), "meta-a");
    downloader().addFile(downloads(), id("b"), "meta-b");
    EXPECT_EQ(rig().file(imports(), "a"), nullptr) << "nothing happens before the update";
    rig().pass();
    expectQueue({ { "i:a", QUEUED, 0 }, { "b", QUEUED, 1 } });
    EXPECT_EQ(rig().file(imports(), "a")->getMetadata(), "meta-a");
    EXPECT_EQ(rig().urlRequestCount(), 0u) << "limit 0 starts nothing";
    // Adding a queued file again replaces its metadata only.
    downloader().addFile(imports(), id("a"), "meta-a2");
    downloader().addFile(downloads(), id("c"), "");
    rig().pass();
    EXPECT_EQ(rig().file(imports(), "a")->getMetadata(), "meta-a2");
    rig().openDownloader(0);  // a new session renumbers from 1
    expectQueue({ { "i:a", QUEUED, 1 }, { "b", QUEUED, 2 }, { "c", QUEUED, 3 } });

    downloader().setDownloadPosition(downloads(), id("c"), 1);
    rig().pass();
    expectQueue({ { "i:a", QUEUED, 2 }, { "b", QUEUED, 3 }, { "c", QUEUED, 1 } });
    // A file outside the queue gets no position; the others move all the same.
    downloads()->getFile(id("outside"), true);
    downloader().setDownloadPosition(downloads(), id("outside"), 2);
    downloader().pauseFile(downloads(), id("c"));
    rig().pass();
    expectQueue({ { "outside", NONE, -1 }, { "c", PAUSED, 1 }, { "i:a", QUEUED, 3 }, { "b", QUEUED, 4 } });
    // The index on disk holds the changes as soon as the update that made them
    // returns: a crash right after loses nothing.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_folder.path("repositories/download.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    sqlite3_exec(
        db, "SELECT entity_id, custom, position, metadata FROM files WHERE repository = 'download' ORDER BY entity_id",
        [](void* out, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(out)->push_back(std::string(values[0]) + " " + values[1] + " " +
                                                                   values[2] + " " + values[3]);
            return 0;
        },
        &rows, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(rows, (std::vector<std::string>{"b 2 4 meta-b", "c 1 1 ", "outside 0 -1 "}));
    // Positions at the top of the range stay there instead of wrapping to the front.
    downloader().setDownloadPosition(imports(), id("a"), INT_MAX);
    downloader().setDownloadPosition(downloads(), id("b"), INT_MAX);
    downloader().addFile(downloads(), id("d"), "");
    rig().pass();
    expectQueue({ { "i:a", QUEUED, INT_MAX }, { "b", QUEUED, INT_MAX }, { "d", QUEUED, INT_MAX }, { "c", PAUSED, 1 } });
}

TEST_F(VLDownloaderTest, ANewSessionRequeuesRunningAndFailedAndCompactsPositions)
{
    const struct {
        VLRepository* repository;
        const char* entity;
        int state;
        int position;
    } stored[] = {
        { downloads(), "a", QUEUED, 7 }, { downloads(), "b", RUNNING, 3 }, { downloads(), "c", FAILED, 12 },
        { downloads(), "n", NONE, 4 },   { imports(), "x", DONE, 20 },     { downloads(), "y", PAUSED, 20 },
        { downloads(), "z", 3, 30 },  // a value no downloader writes
    };
    for (const auto& s : stored) {
        VLRepositoryFile* file = s.repository->getFile(id(s.entity), true);
        file->setCustom(s.state);
        file->setPosition(s.position);
    }
    m_rig.reset();
    m_rig.reset(new VLDownloadTestRig(m_folder.path()));  // the next session, through the index on disk
    rig().openDownloader(0);
    expectQueue({ { "b", QUEUED, 1 }, { "a", QUEUED, 2 }, { "c", QUEUED, 3 },
                  { "i:x", DONE, 4 },       // met first at position 20
                  { "y", PAUSED, 20 },      // keeps its number
                  { "z", QUEUED, 5 },
                  { "n", NONE, 4 } });      // outside the queue: untouched
    EXPECT_EQ(logged("Unknown download state 3"), 1u);
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
        const std::string address =
            state == RUNNING ? stalledUrl(1) : state == FAILED ? url(5000, 1, "status=404/") : url(10000, 1);
        rig().setUrl("f", address);
        rig().openDownloader(state == PAUSED || state == QUEUED ? 0 : 1);
        if (state == NONE)
            downloads()->getFile(id("f"), true);
        else
            downloader().addFile(downloads(), id("f"), "m");
        if (state == PAUSED)
            downloader().pauseFile(downloads(), id("f"));
        ASSERT_TRUE(rig().runUntil([&] {
            VLRepositoryFile* file = rig().file(downloads(), "f");
            return file && file->getCustom() == state && (state != RUNNING || file->getLoaded() == 4096);
        }));
    }
};

TEST_P(VLDownloaderActionTest, MovesTheFileToItsNextState)
{
    const ActionCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(prepare(c.from));
    VLRepositoryFile* file = rig().file(downloads(), "f");
    std::string content = contentPath(downloads(), file);
    restartLog();
    switch (c.action) {
    case VLDownloaderAction::ACTION_PAUSE: downloader().pauseFile(downloads(), id("f")); break;
    case VLDownloaderAction::ACTION_RESUME: downloader().resumeFile(downloads(), id("f")); break;
    case VLDownloaderAction::ACTION_HIDE: downloader().hideFile(downloads(), id("f")); break;
    case VLDownloaderAction::ACTION_REMOVE: downloader().removeFile(downloads(), id("f")); break;
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
        EXPECT_EQ(logged(c.warning), 1u) << c.warning;
    } else {
        EXPECT_FALSE(warned()) << VLTestLog::since(m_mark);
    }
    rig().pass();
    if (c.removed) {
        EXPECT_EQ(rig().file(downloads(), "f"), nullptr) << "a removed file is deleted once closed";
        EXPECT_FALSE(TestFolder::exists(content));
        EXPECT_FALSE(TestFolder::exists(content + ".part"));
    } else {
        EXPECT_EQ(rig().file(downloads(), "f"), file);
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
        ActionCase{kPause, PAUSED, PAUSED, false, nullptr}, ActionCase{kPause, QUEUED, PAUSED, false, nullptr},
        ActionCase{kPause, RUNNING, PAUSED, false, nullptr}, ActionCase{kPause, FAILED, FAILED, false, nullptr},
        ActionCase{kPause, DONE, DONE, false, nullptr},
        ActionCase{kResume, NONE, NONE, false, "Download is missing, unable to resume it"},
        ActionCase{kResume, PAUSED, QUEUED, false, nullptr}, ActionCase{kResume, QUEUED, QUEUED, false, nullptr},
        ActionCase{kResume, RUNNING, RUNNING, false, nullptr}, ActionCase{kResume, FAILED, FAILED, false, nullptr},
        ActionCase{kResume, DONE, DONE, false, nullptr},
        ActionCase{kHide, NONE, NONE, false, nullptr}, ActionCase{kHide, PAUSED, NONE, false, nullptr},
        ActionCase{kHide, QUEUED, NONE, false, nullptr}, ActionCase{kHide, RUNNING, NONE, false, nullptr},
        ActionCase{kHide, FAILED, NONE, false, nullptr}, ActionCase{kHide, DONE, NONE, false, nullptr},
        ActionCase{kRemove, NONE, NONE, true, nullptr}, ActionCase{kRemove, PAUSED, NONE, true, nullptr},
        ActionCase{kRemove, QUEUED, NONE, true, nullptr}, ActionCase{kRemove, RUNNING, NONE, true, nullptr},
        ActionCase{kRemove, FAILED, NONE, true, nullptr}, ActionCase{kRemove, DONE, NONE, true, nullptr}));

TEST_F(VLDownloaderTest, AllActionsRunBeforeOlderPendingActionsLastVisitedFirst)
{
    rig().openDownloader(0);
    for (const char* name : {"a", "b", "c"})
        downloader().addFile(downloads(), id(name), std::string("meta-") + name);
    rig().pass();
    downloads()->getFile(id("d"), true)->setCustom(FAILED);
    downloads()->getFile(id("e"), true)->setCustom(DONE);
    rig().clearStateReports();
    restartLog();
    auto reportOrder = [&] {
        std::vector<std::string> order;
        for (auto& report : rig().stateReports())
            order.push_back(report.file + ":" + std::to_string(report.state));
        rig().clearStateReports();
        return order;
    };
    // The pauses made for every file run first, the file visited last first;
    // the older add follows and is not paused.
    downloader().pauseAll();
    downloader().addFile(downloads(), id("z"), "");
    rig().pass();
    EXPECT_EQ(reportOrder(), (std::vector<std::string>{"c_6:1", "b_6:1", "a_6:1", "z_6:2"}));
    downloader().pauseAll();
    downloader().resumeFile(downloads(), id("b"));
    downloader().addFile(downloads(), id("w"), "");
    rig().pass();
    EXPECT_EQ(reportOrder(), (std::vector<std::string>{"z_6:1", "b_6:2", "w_6:2"}));
    EXPECT_FALSE(warned()) << "done and failed files are passed over quietly\n" << VLTestLog::since(m_mark);

    // Files the repository does not have, and repositories that do not exist.
    downloader().pauseFile(downloads(), id("ghost"));
    downloader().resumeFile(downloads(), id("ghost"));
    downloader().hideFile(downloads(), id("ghost"));
    downloader().addFile(nullptr, id("a"), "");
    downloader().pauseFile(nullptr, id("a"));
    downloader().setDownloadPosition(nullptr, id("a"), 3);
    rig().pass();
    EXPECT_EQ(rig().file(downloads(), "ghost"), nullptr) << "no empty record is left behind";
    EXPECT_EQ(logged("Download is missing, unable to pause it"), 1u);
    EXPECT_EQ(logged("Download is missing, unable to resume it"), 1u);
    EXPECT_EQ(logged("Unknown repository, download action dropped"), 3u);

    downloader().removeAll();
    rig().pass();
    for (const char* name : {"a", "b", "c", "d", "e", "w", "z"}) {
        VLRepositoryFile* file = rig().file(downloads(), name);
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
    auto repositoryOf = [&](unsigned i) { return i % 2 ? downloads() : imports(); };
    rig().openDownloader(2);
    for (unsigned i = 0; i < 5; ++i) {
        rig().setUrl(names[i], url(300000 + i * 1000, i, "throttle=2000000/"));
        // Spread over both repositories; the queue order is the position order.
        downloader().addFile(repositoryOf(i), id(names[i]), "");
    }
    std::vector<std::string> started;
    ASSERT_TRUE(rig().runUntil([&] {
        int running = 0;
        bool done = true;
        for (unsigned i = 0; i < 5; ++i) {
            int state = rig().state(repositoryOf(i), names[i]);
            running += state == RUNNING;
            if (state == RUNNING && std::find(started.begin(), started.end(), names[i]) == started.end())
                started.push_back(names[i]);
            if (state != DONE && state != RUNNING && state != QUEUED && state != -1)
                ADD_FAILURE() << names[i] << " in state " << state;
            done = done && state == DONE;
        }
        EXPECT_LE(running, 2);
        return done;
    }));
    EXPECT_EQ(started, (std::vector<std::string>{"p", "q", "r", "s", "t"}));
    for (unsigned i = 0; i < 5; ++i)
        expectContent(repositoryOf(i), names[i], 300000 + i * 1000, i);
}

// Limit 3 with A (import), B and C running: A's repository going offline and a
// limit of 2 stop C (highest position, over the limit) and A (offline), and C
// starts again in the same call. Negative limits are refused; 0 stops all.
TEST_F(VLDownloaderTest, TheLimitStopsHighestPositionsFirstAndUnusableRepositoriesAnywhere)
{
    rig().openDownloader(3);
    rig().setUrl("A", stalledUrl(1));
    rig().setUrl("B", stalledUrl(2));
    rig().setUrl("C", stalledUrl(3));
    downloader().addFile(imports(), id("A"), "");
    downloader().addFile(downloads(), id("B"), "");
    downloader().addFile(downloads(), id("C"), "");
    ASSERT_TRUE(rig().runUntil([&] { return allRunning({{imports(), "A"}, {downloads(), "B"}, {downloads(), "C"}}); }));

    rig().clearStateReports();
    imports()->setOffline(true);
    downloader().setMaxConcurrentDownloads(2);
    rig().pass();
    expectQueue({ { "i:A", QUEUED, 0 }, { "B", RUNNING, 1 }, { "C", RUNNING, 2 } });
    EXPECT_EQ(rig().statesOf("C"), (std::vector<int>{QUEUED, RUNNING})) << "stopped over the limit, then restarted";
    EXPECT_EQ(rig().statesOf("B"), std::vector<int>());
    EXPECT_FALSE(rig().file(imports(), "A")->isOpen());
    // Back online, A waits for a free slot; running downloads are not preempted.
    imports()->setOffline(false);
    rig().pass();
    EXPECT_EQ(rig().state(imports(), "A"), QUEUED);
    downloader().setMaxConcurrentDownloads(3);
    rig().pass();
    EXPECT_TRUE(allRunning({{imports(), "A"}, {downloads(), "B"}, {downloads(), "C"}}));

    // The page's "-1" arrives as 4294967295: refused, the limit stays.
    downloader().setMaxConcurrentDownloads(static_cast<unsigned>(-1));
    EXPECT_EQ(downloader().getMaxConcurrentDownloads(), 3u);
    EXPECT_EQ(logged("Refused negative limit of concurrent downloads : -1"), 1u);
    rig().pass();
    EXPECT_TRUE(allRunning({{imports(), "A"}, {downloads(), "B"}, {downloads(), "C"}}));
    downloader().setMaxConcurrentDownloads(0);
    rig().passes(3);
    expectQueue({ { "i:A", QUEUED, 0 }, { "B", QUEUED, 1 }, { "C", QUEUED, 2 } });
    EXPECT_FALSE(rig().file(downloads(), "B")->isOpen());
    // A session whose stored limit reads as negative takes the default.
    VLRepository* repositories[] = {imports(), downloads()};
    VLDownloader other(repositories, 2, static_cast<unsigned>(-5));
    EXPECT_EQ(other.getMaxConcurrentDownloads(), VLDownloader::DEFAULT_MAX_CONCURRENT_DOWNLOADS);
}

// At equal positions "import" goes before "download"; a file added to the
// cache (the façade's answer to an empty repository name) is queued but never
// started.
TEST_F(VLDownloaderTest, QueueOrderAcrossRepositories)
{
    rig().openDownloader(0);
    rig().setUrl("d", stalledUrl(1));
    rig().setUrl("i", stalledUrl(2));
    rig().setUrl("c", url(10000, 99));
    downloader().addFile(rig().cache(), id("c"), "");
    downloader().addFile(downloads(), id("d"), "");
    downloader().addFile(imports(), id("i"), "");
    rig().pass();
    rig().file(imports(), "i")->setPosition(0);
    ASSERT_EQ(rig().position(downloads(), "d"), 0);

    downloader().setMaxConcurrentDownloads(1);
    rig().pass();
    EXPECT_EQ(rig().state(imports(), "i"), RUNNING);
    EXPECT_EQ(rig().state(downloads(), "d"), QUEUED);
    downloader().setMaxConcurrentDownloads(3);
    rig().passes(20);
    EXPECT_EQ(rig().state(rig().cache(), "c"), QUEUED);
    EXPECT_FALSE(rig().file(rig().cache(), "c")->isOpen());
    for (const TestHttpRequest& request : g_server->getRequests())
        EXPECT_EQ(request.path.find("seed=99"), std::string::npos) << request.path;
}

TEST_F(VLDownloaderTest, AnEmptyImportFallsBackToTheDefaultSecondaryFormatAtTheNextUpdate)
{
    rig().openDownloader(1);
    // The page answers that only format 5 exists: the format-6 file becomes empty.
    rig().setUrl("e", url(20000, 4), 5);
    rig().setUrl("g", url(20000, 5), 5);
    rig().setUrl("h", url(20000, 6));
    downloader().addFile(imports(), id("e"), "meta-e");
    downloader().addFile(downloads(), id("g"), "meta-g");
    downloader().addFile(imports(), id("h"), "meta-h");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(imports(), "e") == DONE; }));
    EXPECT_EQ(rig().file(imports(), "e")->getSize(), 0u);
    EXPECT_EQ(rig().file(imports(), "e", 5), nullptr) << "the fallback waits for the next update";

    rig().pass();
    expectQueue({ { "i:e", NONE, -1 } });
    VLRepositoryFile* fallback = rig().file(imports(), "e", 5);
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->getMetadata(), "meta-e");
    EXPECT_EQ(fallback->getPosition(), 3) << "at the end of the queue";
    ASSERT_TRUE(rig().runUntil([&] {
        return rig().state(imports(), "e", 5) == DONE && rig().state(downloads(), "g") == DONE &&
               rig().state(imports(), "h") == DONE;
    }));
    rig().pass();
    EXPECT_EQ(fallback->getSize(), 20000u);
    // Only an empty import falls back: not in "download", not with content.
    EXPECT_EQ(rig().file(downloads(), "g", 5), nullptr);
    EXPECT_EQ(rig().file(imports(), "h", 5), nullptr);
    expectQueue({ { "g", DONE, 1 }, { "i:h", DONE, 2 } });
}

// A server that breaks off and then refuses leaves the file failed, released,
// with its whole blocks; resume does nothing, hide and add queue it again at
// the end, and remove deletes it for good.
TEST_F(VLDownloaderTest, AServerFailingMidDownloadLeavesTheFileFailedWithItsWholeBlocks)
{
    rig().openDownloader(1);
    // 30000 of 100000 bytes, then the connection closes; the retry is refused.
    rig().setUrl("f", url(100000, 7, "truncate=30000/"));
    downloader().addFile(downloads(), id("f"), "");
    ASSERT_TRUE(rig().runUntil([&] {
        VLRepositoryFile* file = rig().file(downloads(), "f");
        return file && file->getLoaded() > 0;
    }));
    rig().setUrl("f", url(100000, 7, "status=404/"));
    // The retry comes 4 s after the failure on the platform clock: let the
    // clock run a second per pass.
    TestPlatform* platform = TestPlatform::install();
    platform->setTime(platform->getTime());
    bool failed = rig().runUntil([&] {
        platform->advance(1);
        return rig().state(downloads(), "f") == FAILED;
    });
    platform->useRealTime();
    ASSERT_TRUE(failed);

    VLRepositoryFile* file = rig().file(downloads(), "f");
    EXPECT_EQ(file->getLoaded(), 7u * 4096) << "the whole blocks of the 30000 bytes";
    EXPECT_FALSE(file->isOpen()) << "a failed download gives back its open";
    const std::string path = contentPath(downloads(), file);
    std::string content = VLTemporaryFolder::readFile(path);
    ASSERT_EQ(content.size(), 100000u);
    EXPECT_TRUE(content.substr(0, 7 * 4096) == bytes(TestHttpServer::content(7, 0, 7 * 4096)));

    downloader().setMaxConcurrentDownloads(0);
    downloader().addFile(downloads(), id("other"), "");
    downloader().resumeFile(downloads(), id("f"));
    rig().pass();
    EXPECT_EQ(rig().state(downloads(), "f"), FAILED);
    downloader().hideFile(downloads(), id("f"));
    downloader().addFile(downloads(), id("f"), "");
    rig().pass();
    expectQueue({ { "other", QUEUED, 1 }, { "f", QUEUED, 2 } });
    // Released, it can be removed for good.
    downloader().removeFile(downloads(), id("f"));
    rig().passes(2);
    EXPECT_EQ(rig().file(downloads(), "f"), nullptr);
    EXPECT_FALSE(TestFolder::exists(path));
}

// A done download that a later validation finds replaced on the server, with
// the connection dropped after one block, is fetched again whole.
TEST_F(VLDownloaderTest, ADoneDownloadThatLostItsBytesIsFetchedAgain)
{
    rig().openDownloader(1);
    rig().setUrl("f", url(400000, 1, "etag=v1/"));
    downloader().addFile(downloads(), id("f"), "");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(downloads(), "f") == DONE; }));
    m_rig.reset();
    // A week later: the validation is due.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_folder.path("repositories/download.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE files SET last_validation = 0", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    m_rig.reset(new VLDownloadTestRig(m_folder.path()));
    rig().setUrl("f", url(400000, 2, "etag=v2/"));
    rig().openDownloader(1);
    g_server->clearRequests();

    // A stream of the file validates it against a server that has a new
    // version and drops the connection after one block.
    VLRepositoryFile* file = rig().file(downloads(), "f");
    file->setUrl(url(400000, 2, "etag=v2/truncate=4096/"));
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(rig().runUntil([&] { return !g_server->getRequests().empty(); }, 20));
    rig().passes(2);
    ASSERT_TRUE(file->close(0));
    // The download goes on at the stream's address, one block per answer:
    // the platform clock runs 5 s per pass through the retry delays.
    TestPlatform* platform = TestPlatform::install();
    platform->setTime(platform->getTime());
    bool done = rig().runUntil([&] {
        platform->advance(5);
        return rig().state(downloads(), "f") == DONE && (file->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
    }, 30);
    platform->useRealTime();
    ASSERT_TRUE(done);
    expectContent(downloads(), "f", 400000, 2);
}

// A page that re-syncs its list removes and adds in one go: the download must
// stay, not vanish with the removed record once it ends.
TEST_F(VLDownloaderTest, ARemoveFollowedByAnAddKeepsTheDownload)
{
    rig().openDownloader(1);
    rig().setUrl("f", url(30000, 2));
    downloader().addFile(downloads(), id("f"), "first");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(downloads(), "f") == DONE; }));
    downloader().removeFile(downloads(), id("f"));
    downloader().addFile(downloads(), id("f"), "second");
    rig().pass();
    VLRepositoryFile* file = rig().file(downloads(), "f");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->isRemoved());
    EXPECT_EQ(file->getMetadata(), "second");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(downloads(), "f") == DONE; }));
    rig().passes(3);
    ASSERT_EQ(rig().file(downloads(), "f"), file) << "the record outlives the end of its download";
    expectContent(downloads(), "f", 30000, 2);
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
    auto waitFor = [](const std::function<bool()>& done, int seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    waitFor([&] { return presentBytes() >= size / 4; }, 60);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself";
    size_t present = presentBytes();
    ASSERT_GE(present, size / 4);
    ASSERT_LT(present, size) << "the download ended before the kill";
    // The server notices the dead connection when it next writes.
    waitFor([] {
        for (const TestHttpRequest& request : g_server->getRequests()) {
            if (request.status == "aborted")
                return true;
        }
        return false;
    }, 30);
    g_server->clearRequests();

    m_rig.reset(new VLDownloadTestRig(m_folder.path()));
    rig().setUrl("k", url(size, 9));
    rig().openDownloader(1);
    EXPECT_EQ(rig().state(imports(), "k"), QUEUED) << "a download left running is queued again";
    EXPECT_EQ(rig().file(imports(), "k")->getMetadata(), "meta-k");
    ASSERT_TRUE(rig().runUntil([&] { return rig().state(imports(), "k") == DONE; }));
    expectContent(imports(), "k", size, 9);
    std::vector<TestHttpRequest> requests = g_server->getRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().range, "bytes=" + std::to_string(present) + "-" + std::to_string(size - 1));
    size_t fetched = 0;
    for (const TestHttpRequest& request : requests)
        fetched += request.bytes;
    EXPECT_EQ(fetched, size - present) << "only the missing bytes are fetched again";
}

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
    const int threads = 4, perThread = 50;
    auto name = [](int t, int i) { return "t" + std::to_string(t) + "_" + std::to_string(i); };
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                downloader().addFile(downloads(), id(name(t, i)), name(t, i));
                if (i % 10 == 0) {
                    downloader().pauseFile(downloads(), id(name(t, i)));
                    downloader().setMaxConcurrentDownloads(downloader().getMaxConcurrentDownloads());
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
        for (int i = 0, previous = -1; i < perThread; previous = rig().position(downloads(), name(t, i++))) {
            EXPECT_EQ(rig().state(downloads(), name(t, i)), i % 10 == 0 ? PAUSED : QUEUED) << name(t, i);
            EXPECT_GT(rig().position(downloads(), name(t, i)), previous) << name(t, i);
        }
    }
    std::set<int> positions;
    for (auto& entry : downloads()->getFiles())
        positions.insert(entry.second->getPosition());
    EXPECT_EQ(positions.size(), size_t(threads * perThread));
    EXPECT_EQ(*positions.rbegin(), threads * perThread - 1);
}

} // namespace
