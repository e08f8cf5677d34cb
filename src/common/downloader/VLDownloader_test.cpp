// The download queue over real repositories in a temporary folder, fed by the
// fault-injecting test server on 127.0.0.1.

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
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
[[noreturn]] void runKilledChild(const char* folder, const char* address) {
  VLDownloadTestRig rig(folder);
  rig.setUrl("k", address ? address : "");
  rig.openDownloader(1);
  rig.downloader()->addFile(rig.import(), VLFileId("k", 6), "meta-k");
  rig.runUntil([] { return false; }, 120);
  _exit(1);
}

class DownloaderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    TestPlatform::install();
    const char* childFolder = getenv("VELORA_DOWNLOAD_CHILD_FOLDER");
    if (childFolder) runKilledChild(childFolder, getenv("VELORA_DOWNLOAD_CHILD_URL"));
    VLTestLog::start();
    g_server = new TestHttpServer();
  }
  void TearDown() override { delete g_server; }
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DownloaderEnvironment);

class VLDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_server->isRunning());
    rig_.reset(new VLDownloadTestRig(folder_.path()));
    mark_ = VLTestLog::mark();
    g_server->clearRequests();
  }

  // The test server's address for `size` bytes of pattern `seed`, with
  // the server options given as "key=value/" segments.
  static std::string url(size_t size, unsigned seed, const std::string& options = "") {
    return g_server->url("/size=" + std::to_string(size) + "/seed=" + std::to_string(seed) + "/" + options + "track");
  }
  // One block, then nothing until the client goes.
  static std::string stalledUrl(unsigned seed) { return url(1000000, seed, "stall=4096/"); }
  static VLFileId id(const std::string& entity, uint32_t format = 6) { return VLFileId(entity, format); }

  VLDownloadTestRig& rig() { return *rig_; }
  VLDownloader& downloader() { return *rig_->downloader(); }
  VLRepository* imports() { return rig_->import(); }
  VLRepository* downloads() { return rig_->download(); }

  // How often `message` was logged since the test began.
  size_t logged(const std::string& message) const {
    const std::string text = VLTestLog::since(mark_);
    size_t found = 0;
    for (size_t at = text.find(message); at != std::string::npos; at = text.find(message, at + 1)) ++found;
    return found;
  }

  void expectContent(VLRepository* repository, const std::string& entity, size_t size, unsigned seed) {
    VLRepositoryFile* file = rig().file(repository, entity);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->getSize(), size);
    std::vector<uint8_t> expected = TestHttpServer::content(seed, 0, size);
    EXPECT_TRUE(TestFolder::read(repository->getFilePath(file->getFileName())) ==
                std::string(expected.begin(), expected.end()))
        << entity << " differs from what the server sent";
    EXPECT_FALSE(file->isOpen());
  }

  // Expects states and positions; "i:" names a file of the import repository.
  void expectQueue(const std::vector<std::tuple<std::string, int, int>>& files) {
    for (const auto& f : files) {
      const std::string& name = std::get<0>(f);
      bool import = name.compare(0, 2, "i:") == 0;
      VLRepository* repository = import ? imports() : downloads();
      const std::string entity = import ? name.substr(2) : name;
      EXPECT_EQ(rig().state(repository, entity), std::get<1>(f)) << name;
      EXPECT_EQ(rig().position(repository, entity), std::get<2>(f)) << name;
    }
  }

  // Runs passes with the platform clock moving `step` seconds each, through
  // the retry delays.
  bool runWithClock(const std::function<bool()>& done, double step) {
    TestPlatform* platform = TestPlatform::install();
    platform->setTime(platform->getTime());
    bool result = rig().runUntil(
        [&] {
          platform->advance(step);
          return done();
        },
        30);
    platform->useRealTime();
    return result;
  }

  TestFolder folder_;
  std::unique_ptr<VLDownloadTestRig> rig_;
  size_t mark_ = 0;
};

}  // namespace

TEST_F(VLDownloaderTest, PositionsAreAppendedShiftedCompactedAndWrittenThrough) {
  rig().openDownloader(0);
  downloader().addFile(imports(), id("a"), "meta-a");
  downloader().addFile(downloads(), id("b"), "meta-b");
  EXPECT_EQ(rig().file(imports(), "a"), nullptr) << "nothing happens before the update";
  rig().pass();
  expectQueue({{"i:a", QUEUED, 0}, {"b", QUEUED, 1}});
  downloader().addFile(imports(), id("a"), "meta-a2");  // a queued file: the metadata only
  downloader().addFile(downloads(), id("c"), "");
  downloader().setDownloadPosition(downloads(), id("c"), 1);
  downloads()->getFile(id("outside"), true);
  downloader().setDownloadPosition(downloads(), id("outside"), 1);  // no position; the others move all the same
  downloader().pauseFile(downloads(), id("c"));
  rig().pass();
  EXPECT_EQ(rig().file(imports(), "a")->getMetadata(), "meta-a2");
  expectQueue({{"i:a", QUEUED, 0}, {"b", QUEUED, 3}, {"c", PAUSED, 2}, {"outside", NONE, -1}});
  // The index on disk holds the changes as soon as the update returns.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(folder_.file("repositories/download.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  std::vector<std::string> rows;
  sqlite3_exec(
      db, "SELECT entity_id, custom, position FROM files ORDER BY entity_id",
      [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(std::string(values[0]) + " " + values[1] + " " +
                                                               values[2]);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(rows, (std::vector<std::string>{"b 2 3", "c 1 2", "outside 0 -1"}));
  // Positions at the top of the range stay there instead of wrapping.
  downloader().setDownloadPosition(downloads(), id("b"), INT_MAX);
  downloader().addFile(downloads(), id("d"), "");
  rig().pass();
  expectQueue({{"b", QUEUED, INT_MAX}, {"d", QUEUED, INT_MAX}});

  // The next session: running, failed and unknown states are queued again,
  // positions compacted from 1; of equal positions the first met is renumbered.
  downloads()->getFile(id("r"), true)->setCustom(RUNNING);
  downloads()->getFile(id("f"), true)->setCustom(FAILED);
  downloads()->getFile(id("z"), true)->setCustom(3);
  for (const char* name : {"r", "f", "z"}) downloads()->getFile(id(name), false)->setPosition(5);
  rig_.reset();
  rig_.reset(new VLDownloadTestRig(folder_.path()));
  rig().openDownloader(0);
  expectQueue({{"i:a", QUEUED, 1},
               {"c", PAUSED, 2},
               {"f", QUEUED, 3},
               {"b", QUEUED, 4},
               {"r", QUEUED, 5},
               {"z", QUEUED, 5},
               {"d", QUEUED, INT_MAX},
               {"outside", NONE, -1}});
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

void PrintTo(const ActionCase& c, std::ostream* out) {
  *out << "action " << c.action << " from " << c.from;
}

class VLDownloaderActionTest : public VLDownloaderTest, public ::testing::WithParamInterface<ActionCase> {};

TEST_P(VLDownloaderActionTest, MovesTheFileToItsNextState) {
  const ActionCase& c = GetParam();
  // File "f" brought into the state the way users and servers do.
  int state = c.from;
  rig().setUrl("f", state == RUNNING ? stalledUrl(1) : state == FAILED ? url(5000, 1, "status=404/") : url(10000, 1));
  rig().openDownloader(state == PAUSED || state == QUEUED ? 0 : 1);
  if (state == NONE)
    downloads()->getFile(id("f"), true);
  else
    downloader().addFile(downloads(), id("f"), "m");
  if (state == PAUSED) downloader().pauseFile(downloads(), id("f"));
  ASSERT_TRUE(rig().runUntil([&] {
    VLRepositoryFile* file = rig().file(downloads(), "f");
    return file && file->getCustom() == state && (state != RUNNING || file->getLoaded() == 4096);
  }));
  VLRepositoryFile* file = rig().file(downloads(), "f");
  std::string content = downloads()->getFilePath(file->getFileName());
  mark_ = VLTestLog::mark();
  switch (c.action) {
    case VLDownloaderAction::ACTION_PAUSE: downloader().pauseFile(downloads(), id("f")); break;
    case VLDownloaderAction::ACTION_RESUME: downloader().resumeFile(downloads(), id("f")); break;
    case VLDownloaderAction::ACTION_HIDE: downloader().hideFile(downloads(), id("f")); break;
    default: downloader().removeFile(downloads(), id("f")); break;
  }
  rig().pass();
  EXPECT_EQ(file->getCustom(), c.to);
  EXPECT_EQ(file->isRemoved(), c.removed);
  if (c.to == NONE) EXPECT_EQ(file->getPosition(), -1);
  EXPECT_EQ(file->isOpen(), c.to == RUNNING) << "the downloader holds an open exactly while running";
  EXPECT_EQ(logged("WARN  desktop - ") + logged("ERROR desktop - "), c.warning ? 1u : 0u);
  if (c.warning) EXPECT_EQ(logged(c.warning), 1u) << c.warning;
  rig().pass();
  EXPECT_EQ(rig().file(downloads(), "f") == nullptr, c.removed) << "a removed file is deleted once closed";
  if (c.removed) EXPECT_FALSE(TestFolder::exists(content + ".part"));
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
        ActionCase{kResume, PAUSED, QUEUED, false, nullptr}, ActionCase{kResume, RUNNING, RUNNING, false, nullptr},
        ActionCase{kResume, FAILED, FAILED, false, nullptr}, ActionCase{kResume, DONE, DONE, false, nullptr},
        ActionCase{kHide, QUEUED, NONE, false, nullptr}, ActionCase{kHide, RUNNING, NONE, false, nullptr},
        ActionCase{kHide, DONE, NONE, false, nullptr}, ActionCase{kRemove, NONE, NONE, true, nullptr},
        ActionCase{kRemove, PAUSED, NONE, true, nullptr}, ActionCase{kRemove, RUNNING, NONE, true, nullptr},
        ActionCase{kRemove, FAILED, NONE, true, nullptr}, ActionCase{kRemove, DONE, NONE, true, nullptr}));

// A provider whose state cannot be read makes every close of a download fail.
class UnreadableStateProvider : public VLHttpRepositoryProvider {
 public:
  bool getState(VLRepository* repository, const VLFileId& fileId, bool release, int* state) override {
    return !failing && VLHttpRepositoryProvider::getState(repository, fileId, release, state);
  }
  bool failing = false;
};

TEST(VLDownloaderStopFailure, ADownloadThatCannotBeStoppedEndsAsEachStepSays) {
  VLTestLog::start();
  const struct {
    const char* step;
    std::function<void(VLDownloader&, VLRepository*, VLRepositoryFile*)> act;
    int state;
    const char* logged;
  } cases[] = {
      {"pause", [](VLDownloader& d, VLRepository* r, VLRepositoryFile* f) { d.pauseFile(r, f->getFileId()); }, FAILED,
       "WARN  desktop - Unable to stop download"},
      {"remove", [](VLDownloader& d, VLRepository* r, VLRepositoryFile* f) { d.removeFile(r, f->getFileId()); }, FAILED,
       "WARN  desktop - Unable to stop download"},
      {"hide", [](VLDownloader& d, VLRepository* r, VLRepositoryFile* f) { d.hideFile(r, f->getFileId()); }, NONE,
       "WARN  desktop - Unable to stop download"},
      {"over the limit", [](VLDownloader& d, VLRepository*, VLRepositoryFile*) { d.setMaxConcurrentDownloads(0); },
       FAILED, "ERROR desktop - Unable to stop download"},
      {"complete",
       [](VLDownloader&, VLRepository*, VLRepositoryFile* f) {
         f->setContent(4096, "v");
         size_t done = 0;
         std::string block(4096, 'b');
         f->write(block.data(), 0, block.size(), &done);
       },
       FAILED, "WARN  desktop - Unable to stop download"},
      {"clean", [](VLDownloader& d, VLRepository*, VLRepositoryFile*) { d.clean(); }, QUEUED,
       "WARN  desktop - Unable to stop download"},
  };
  for (const auto& c : cases) {
    TestFolder folder;
    UnreadableStateProvider provider;
    VLRepository repository(nullptr, &provider, "download", "user", 604800, folder.path(), folder.path(), 0, false, 0);
    repository.init();
    VLRepository* repositories[] = {&repository};
    VLDownloader downloader(repositories, 1, 1);
    downloader.addFile(&repository, VLFileId("s", 6u), "");
    downloader.update();
    VLRepositoryFile* file = repository.getFile(VLFileId("s", 6u), false);
    ASSERT_EQ(RUNNING, file->getCustom()) << c.step;
    provider.failing = true;
    size_t mark = VLTestLog::mark();
    c.act(downloader, &repository, file);
    if (c.state != QUEUED)  // clean ends the session: no update follows it
      downloader.update();
    EXPECT_EQ(c.state, file->getCustom()) << c.step;
    EXPECT_NE(std::string::npos, VLTestLog::since(mark).find(c.logged)) << c.step;
    EXPECT_FALSE(file->isRemoved()) << c.step;
    provider.failing = false;
    file->clean();
    repository.close();
  }
}

// ---------------------------------------------------------------------------
// Running the queue.

TEST_F(VLDownloaderTest, DownloadsRunWithinTheLimitInPositionOrderAndEndComplete) {
  const char* names[] = {"p", "q", "r", "s", "t"};
  auto repositoryOf = [&](unsigned i) { return i % 2 ? downloads() : imports(); };
  rig().openDownloader(2);
  for (unsigned i = 0; i < 5; ++i) {
    rig().setUrl(names[i], url(300000 + i * 1000, i, "throttle=2000000/"));
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
      done = done && state == DONE;
    }
    EXPECT_LE(running, 2);
    return done;
  }));
  EXPECT_EQ(started, (std::vector<std::string>{"p", "q", "r", "s", "t"}));
  for (unsigned i = 0; i < 5; ++i) expectContent(repositoryOf(i), names[i], 300000 + i * 1000, i);
}

// Limit 3 with A (import), B and C running: A's repository going offline and a
// limit of 2 stop C (highest position, over the limit) and A (offline), and C
// starts again in the same call. Negative limits are refused; 0 stops all.
TEST_F(VLDownloaderTest, TheLimitStopsHighestPositionsFirstAndUnusableRepositoriesAnywhere) {
  rig().openDownloader(3);
  for (const char* name : {"A", "B", "C"}) {
    rig().setUrl(name, stalledUrl(name[0]));
    downloader().addFile(name[0] == 'A' ? imports() : downloads(), id(name), "");
  }
  auto allRunning = [&] {
    return rig().state(imports(), "A") == RUNNING && rig().state(downloads(), "B") == RUNNING &&
           rig().state(downloads(), "C") == RUNNING;
  };
  ASSERT_TRUE(rig().runUntil(allRunning));
  rig().clearStateReports();
  imports()->setOffline(true);
  downloader().setMaxConcurrentDownloads(2);
  rig().pass();
  expectQueue({{"i:A", QUEUED, 0}, {"B", RUNNING, 1}, {"C", RUNNING, 2}});
  EXPECT_EQ(rig().statesOf("C"), (std::vector<int>{QUEUED, RUNNING})) << "stopped over the limit, then restarted";
  EXPECT_FALSE(rig().file(imports(), "A")->isOpen());
  imports()->setOffline(false);
  downloader().setMaxConcurrentDownloads(3);
  rig().pass();
  EXPECT_TRUE(allRunning());
  // The page's "-1" arrives as 4294967295: refused, the limit stays.
  downloader().setMaxConcurrentDownloads(static_cast<unsigned>(-1));
  EXPECT_EQ(downloader().getMaxConcurrentDownloads(), 3u);
  EXPECT_EQ(logged("Refused negative limit of concurrent downloads : -1"), 1u);
  downloader().setMaxConcurrentDownloads(0);
  rig().passes(3);
  expectQueue({{"i:A", QUEUED, 0}, {"B", QUEUED, 1}, {"C", QUEUED, 2}});
}

TEST_F(VLDownloaderTest, AnEmptyImportFallsBackToTheDefaultSecondaryFormatAtTheNextUpdate) {
  rig().openDownloader(1);
  // The page answers that only format 5 exists: the format-6 file becomes empty.
  rig().setUrl("e", url(20000, 4), 5);
  rig().setUrl("g", url(20000, 5), 5);
  downloader().addFile(imports(), id("e"), "meta-e");
  downloader().addFile(downloads(), id("g"), "meta-g");
  ASSERT_TRUE(rig().runUntil([&] { return rig().state(imports(), "e") == DONE; }));
  EXPECT_EQ(rig().file(imports(), "e", 5), nullptr) << "the fallback waits for the next update";
  rig().pass();
  expectQueue({{"i:e", NONE, -1}});
  VLRepositoryFile* fallback = rig().file(imports(), "e", 5);
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->getMetadata(), "meta-e");
  EXPECT_EQ(fallback->getPosition(), 2) << "at the end of the queue";
  ASSERT_TRUE(rig().runUntil([&] { return rig().state(imports(), "e", 5) == DONE; }));
  EXPECT_EQ(fallback->getSize(), 20000u);
  EXPECT_EQ(rig().file(downloads(), "g", 5), nullptr) << "only an empty import falls back";
}

// A server that breaks off and then refuses leaves the file failed, released,
// with its whole blocks; hide and add queue it again at the end.
TEST_F(VLDownloaderTest, AServerFailingMidDownloadLeavesTheFileFailedWithItsWholeBlocks) {
  rig().openDownloader(1);
  rig().setUrl("f", url(100000, 7, "truncate=30000/"));
  downloader().addFile(downloads(), id("f"), "");
  ASSERT_TRUE(rig().runUntil([&] {
    VLRepositoryFile* file = rig().file(downloads(), "f");
    return file && file->getLoaded() > 0;
  }));
  rig().setUrl("f", url(100000, 7, "status=404/"));
  ASSERT_TRUE(runWithClock([&] { return rig().state(downloads(), "f") == FAILED; }, 1));
  VLRepositoryFile* file = rig().file(downloads(), "f");
  EXPECT_EQ(file->getLoaded(), 7u * 4096) << "the whole blocks of the 30000 bytes";
  EXPECT_FALSE(file->isOpen()) << "a failed download gives back its open";
  std::string content = TestFolder::read(downloads()->getFilePath(file->getFileName()));
  std::vector<uint8_t> expected = TestHttpServer::content(7, 0, 7 * 4096);
  EXPECT_TRUE(content.substr(0, 7 * 4096) == std::string(expected.begin(), expected.end()));
  downloader().setMaxConcurrentDownloads(0);
  downloader().addFile(downloads(), id("other"), "");
  downloader().hideFile(downloads(), id("f"));
  downloader().addFile(downloads(), id("f"), "");
  rig().pass();
  expectQueue({{"other", QUEUED, 1}, {"f", QUEUED, 2}});
}

// Downloads waiting for their next try hold no slot, 64 at most: with limit
// 1, 64 failing downloads let the next one run, and a 65th failing one holds
// the slot, so that a server failing every download does not open the whole
// queue. Paused, the 65th gives its slot to the one behind; resumed, and once
// the server answers again (the limit raised meanwhile), all complete.
TEST_F(VLDownloaderTest, SixtyFourDownloadsWaitForTheirNextTryOutsideTheLimit) {
  rig().openDownloader(1);
  // 503 twice, then the file (the server counts per path, so each run of the
  // test has paths of its own).
  static int run = 0;
  const std::string failing = "failtimes=2/run=" + std::to_string(++run) + "/";
  const int waiting = 65;
  auto name = [](int i) { return "f" + std::to_string(100 + i); };
  for (int i = 0; i < waiting; ++i) {
    rig().setUrl(name(i), url(20000, 100 + i, failing + name(i) + "/"));
    downloader().addFile(downloads(), id(name(i)), "");
  }
  rig().setUrl("z", url(20000, 99));
  downloader().addFile(downloads(), id("z"), "");
  // The clock stands still: each failing download is tried once.
  ASSERT_TRUE(runWithClock([&] { return g_server->getRequests().size() >= size_t(waiting); }, 0));
  rig().passes(20);
  for (int i = 0; i < waiting; ++i) EXPECT_EQ(RUNNING, rig().state(downloads(), name(i))) << i;
  EXPECT_EQ(QUEUED, rig().state(downloads(), "z")) << "the 65th waiting download holds the slot";

  downloader().pauseFile(downloads(), id(name(waiting - 1)));
  ASSERT_TRUE(runWithClock([&] { return rig().state(downloads(), "z") == DONE; }, 0));
  for (int i = 0; i < waiting - 1; ++i) EXPECT_EQ(RUNNING, rig().state(downloads(), name(i))) << i;
  for (const TestHttpRequest& request : g_server->getRequests())
    if (request.path.find("failtimes") != std::string::npos) EXPECT_EQ("503", request.status);

  downloader().resumeFile(downloads(), id(name(waiting - 1)));
  downloader().setMaxConcurrentDownloads(8);
  ASSERT_TRUE(runWithClock(
      [&] {
        for (int i = 0; i < waiting; ++i)
          if (rig().state(downloads(), name(i)) != DONE) return false;
        return true;
      },
      1));
  for (int i = 0; i < waiting; ++i) expectContent(downloads(), name(i), 20000, 100 + i);
  expectContent(downloads(), "z", 20000, 99);
}

// Limit 0 holds the whole queue, also the downloads waiting for their next
// try: they are queued again and try no more, whatever the clock. Given a
// slot again, they go on and complete once the server answers.
TEST_F(VLDownloaderTest, LimitZeroStopsTheDownloadsWaitingForTheirNextTry) {
  rig().openDownloader(1);
  static int run = 0;
  const std::string failing = "failtimes=2/hold=" + std::to_string(++run) + "/";
  rig().setUrl("a", url(20000, 5, failing));
  rig().setUrl("b", url(20000, 6));
  downloader().addFile(downloads(), id("a"), "");
  downloader().addFile(downloads(), id("b"), "");
  ASSERT_TRUE(runWithClock([&] { return rig().state(downloads(), "b") == DONE; }, 0));
  EXPECT_EQ(RUNNING, rig().state(downloads(), "a")) << "waiting for its next try";

  downloader().setMaxConcurrentDownloads(0);
  const size_t before = g_server->getRequests().size();
  int passes = 0;  // 100 s of the clock: past the next tries at 4 and 12 s
  runWithClock([&] { return ++passes > 100; }, 1);
  EXPECT_EQ(before, g_server->getRequests().size()) << "tried again while the limit holds the queue";
  EXPECT_EQ(QUEUED, rig().state(downloads(), "a"));

  downloader().setMaxConcurrentDownloads(1);
  ASSERT_TRUE(runWithClock([&] { return rig().state(downloads(), "a") == DONE; }, 1));
  expectContent(downloads(), "a", 20000, 5);
}

// A page that re-syncs its list removes and adds in one go: the download must
// stay, not vanish with the removed record once it ends.
TEST_F(VLDownloaderTest, ARemoveFollowedByAnAddKeepsTheDownload) {
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
  ASSERT_TRUE(rig().runUntil([&] { return rig().state(downloads(), "f") == DONE; }));
  rig().passes(3);
  ASSERT_EQ(rig().file(downloads(), "f"), file) << "the record outlives the end of its download";
  expectContent(downloads(), "f", 30000, 2);
}

// A done download that a later validation finds replaced on the server, with
// the connection dropped after one block, is fetched again whole.
TEST_F(VLDownloaderTest, ADoneDownloadThatLostItsBytesIsFetchedAgain) {
  rig().openDownloader(1);
  rig().setUrl("f", url(400000, 1, "etag=v1/"));
  downloader().addFile(downloads(), id("f"), "");
  ASSERT_TRUE(rig().runUntil([&] { return rig().state(downloads(), "f") == DONE; }));
  rig_.reset();
  // A week later: the validation is due.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(folder_.file("repositories/download.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE files SET last_validation = 0", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  rig_.reset(new VLDownloadTestRig(folder_.path()));
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
  // The download goes on at the stream's address, one block per answer.
  ASSERT_TRUE(runWithClock(
      [&] { return rig().state(downloads(), "f") == DONE && (file->getFlags() & VLRepositoryFile::FLAG_COMPLETE); },
      5));
  expectContent(downloads(), "f", 400000, 2);
}

// A download killed midway goes on in the next session from the blocks its
// bitmap holds: only the missing bytes are asked of the server.
TEST_F(VLDownloaderTest, ADownloadKilledMidwayResumesFromItsBitmapInTheNextSession) {
  rig_.reset();  // the child process owns the folder until it dies
  const size_t size = 2000000;
  std::string slow = url(size, 9, "throttle=400000/");
  pid_t child = fork();
  if (child == 0) {
    setenv("VELORA_DOWNLOAD_CHILD_FOLDER", folder_.path().c_str(), 1);
    setenv("VELORA_DOWNLOAD_CHILD_URL", slow.c_str(), 1);
    execl("/proc/self/exe", "downloader-child", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  // The bytes present from the start of the file, as the bitmap on disk says.
  auto presentBytes = [&]() -> size_t {
    for (auto& entry : std::filesystem::directory_iterator(folder_.file("import"))) {
      if (entry.path().extension() != ".part") continue;
      std::string bits = TestFolder::read(entry.path());
      size_t block = 0;
      while (block < bits.size() * 8 && (bits[block >> 3] & (1 << (block & 7)))) ++block;
      return std::min(size, block * 4096);
    }
    return 0;
  };
  auto waitFor = [](const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  waitFor([&] { return presentBytes() >= size / 4; });
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself";
  size_t present = presentBytes();
  ASSERT_GE(present, size / 4);
  ASSERT_LT(present, size) << "the download ended before the kill";
  // The server notices the dead connection when it next writes.
  waitFor([] {
    for (const TestHttpRequest& request : g_server->getRequests())
      if (request.status == "aborted") return true;
    return false;
  });
  g_server->clearRequests();

  rig_.reset(new VLDownloadTestRig(folder_.path()));
  rig().setUrl("k", url(size, 9));
  rig().openDownloader(1);
  EXPECT_EQ(rig().state(imports(), "k"), QUEUED) << "a download left running is queued again";
  ASSERT_TRUE(rig().runUntil([&] { return rig().state(imports(), "k") == DONE; }));
  expectContent(imports(), "k", size, 9);
  std::vector<TestHttpRequest> requests = g_server->getRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front().range, "bytes=" + std::to_string(present) + "-" + std::to_string(size - 1));
  size_t fetched = 0;
  for (const TestHttpRequest& request : requests) fetched += request.bytes;
  EXPECT_EQ(fetched, size - present) << "only the missing bytes are fetched again";
}

// The page's calls arrive on other threads while the worker updates; every
// call is applied once, and each thread's calls in the order it made them.
TEST_F(VLDownloaderTest, QueueingFromOtherThreadsWhileTheWorkerUpdates) {
  rig().openDownloader(0);
  std::atomic<bool> stop(false);
  std::thread worker([&] {
    while (!stop) rig().pass();
  });
  const int threads = 4, perThread = 50;
  auto name = [](int t, int i) { return "t" + std::to_string(t) + "_" + std::to_string(i); };
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) {
        downloader().addFile(downloads(), id(name(t, i)), name(t, i));
        if (i % 10 == 0) downloader().pauseFile(downloads(), id(name(t, i)));
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  stop = true;
  worker.join();
  rig().pass();
  for (int t = 0; t < threads; ++t) {
    for (int i = 0, previous = -1; i < perThread; previous = rig().position(downloads(), name(t, i++))) {
      EXPECT_EQ(rig().state(downloads(), name(t, i)), i % 10 == 0 ? PAUSED : QUEUED) << name(t, i);
      EXPECT_GT(rig().position(downloads(), name(t, i)), previous) << name(t, i);
    }
  }
}
