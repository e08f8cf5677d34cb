#include "VLRepository.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
#include "VLRepositoryFile.h"
#include "VLSettingHelper.h"

namespace {

TestPlatform* const g_platform = TestPlatform::install();
// The preferences that a directory switch stores go to a folder of this run.
TestFolder g_config;
const bool g_configSet = setenv("XDG_CONFIG_HOME", g_config.path().c_str(), 1) == 0;

const double GB = 1e9;
const double kReserve = 300e6;
const size_t kUnknown = VLRepositoryFile::UNKNOWN_SIZE;

class VLRepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_platform->setTime(1000);
    g_platform->fileHelper().useRealFreeSpace();
    provider.init(nullptr);
    directory = folder.folder("cache");
    databases = folder.folder("repositories");
  }

  void TearDown() override {
    g_platform->fileHelper().holdTrashRemovals(false);
    if (repository) repository->close();
    repository.reset();
    provider.clean();
  }

  VLRepository* open(const std::string& name = "cache", int percent = 0, bool autoClean = false, double maxSize = 0) {
    if (repository) repository->close();
    repository.reset(
        new VLRepository(&handler, &provider, name, "user", 604800, databases, directory, percent, autoClean, maxSize));
    repository->init();
    return repository.get();
  }

  // A record as the index would give it for a complete file, with no files
  // on disk.
  VLRepositoryFile* addRecord(const std::string& entity, size_t size, time_t lastOpen = 0, unsigned int locks = 0,
                              time_t lastAdd = 1) {
    VLFileId id(entity, 6u);
    const size_t loaded = size == kUnknown ? 0 : size;
    VLRepositoryFile* file =
        new VLRepositoryFile(repository.get(), "user", id, &provider, &handler, repository->makeFileName(id), size,
                             loaded, "", "", "", -1, 0, 0, lastOpen, locks, lastAdd);
    repository->getFiles()[id] = file;
    return file;
  }

  // A complete file of size bytes on disk, through the repository's own paths.
  VLRepositoryFile* addStoredFile(const std::string& entity, size_t size) {
    VLRepositoryFile* file = repository->getFile(VLFileId(entity, 6u), true);
    EXPECT_TRUE(file->open(0));
    EXPECT_TRUE(file->setContent(size, "e"));
    std::vector<uint8_t> bytes(size, 0x5A);
    size_t done = 0;
    EXPECT_TRUE(file->write(bytes.data(), 0, size, &done));
    EXPECT_TRUE(file->close(0));
    return file;
  }

  bool isRemoved(const std::string& entity) {
    VLRepositoryFile* file = repository->getFile(VLFileId(entity, 6u), false);
    return !file || file->isRemoved();
  }

  std::string dbPath(const std::string& name = "cache") const { return databases + "/" + name + ".db"; }
  std::vector<std::string> rows(const std::string& sql, const std::string& name = "cache") {
    return TestDatabase(dbPath(name)).rows(sql);
  }

  // Runs update with the clock moved past the save period.
  void saveNow() {
    g_platform->advance(61);
    repository->update();
  }

  // Whether the file has no transfer running: none at all, or one that ended.
  bool transferEnded(const VLFileId& id) {
    int state = VLHttpRepositoryProvider::TRANSFER_NONE;
    provider.getState(repository.get(), id, false, &state);
    return state == VLHttpRepositoryProvider::TRANSFER_NONE || state == VLHttpRepositoryProvider::TRANSFER_FAILED ||
           state == VLHttpRepositoryProvider::TRANSFER_FAILED_RETRYABLE ||
           state == VLHttpRepositoryProvider::TRANSFER_FINISHED;
  }

  bool pumpUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      provider.update();
      repository->update();
    }
    return done();
  }

  TestFolder folder;
  std::string directory;
  std::string databases;
  TestRepositoryHandler handler;
  VLHttpRepositoryProvider provider;
  std::unique_ptr<VLRepository> repository;
};

// Runs one test of this program in a child process with an extra environment
// variable; true when it passed.
bool runInChild(const std::string& test, const std::string& environment, std::string* output) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return false;
  std::string command = environment + " '" + self + "' --gtest_filter=" + test + " 2>&1";
  FILE* child = popen(command.c_str(), "r");
  if (!child) return false;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof(buffer), child)) output->append(buffer, n);
  int status = pclose(child);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && output->find("[  PASSED  ] 1 test") != std::string::npos;
}

}  // namespace

// ---- Limits, eviction, full ----

// The space a repository may use is what it stores plus what is free, less
// the 300 MB reserve while that much is free, lowered by the percent and size
// limits: without those it never turns full on the reserve's account.
TEST_F(VLRepositoryTest, LimitIsWhatIsStoredPlusWhatIsFreeLessTheReserve) {
  struct Case {
    double stored;
    double available;  // of a 500 GB volume
    int percent;
    double maxSize;
    bool full;
  };
  const Case cases[] = {
      {86e9, 81.7e9, 0, 0, false},                                 // downloads larger than what is left
      {86e9, 0.2e9, 0, 0, false},                                  // below 300 MB free the reserve is not kept
      {0.5e9, 0.25e9, 10, 0, true},                                // then the percent alone holds
      {0.02e9, 0.25e9, 10, 0, false}, {10e9, 90e9, 10, 0, false},  // a percent of the space the repository may use
      {10.1e9, 90e9, 10, 0, true},    {2.1e9, 90e9, 0, 2e9, true},
  };
  for (const Case& c : cases) {
    g_platform->fileHelper().fakeFreeSpace(c.available, 500e9);
    open("download", c.percent, false, c.maxSize);
    addRecord("stored", size_t(c.stored));
    repository->checkSize(true);
    EXPECT_EQ(c.full, repository->isOfflineOrFull()) << c.stored << " + " << c.available;
    EXPECT_EQ(uint64_t(c.stored), repository->getTotalSize());
  }
  EXPECT_EQ(3, handler.count("onVolumeFull"));
}

// A download is never refused on the reserve's account: one that would take
// a volume just over the reserve below it is taken, as it is once the volume
// is below; only what the volume cannot hold is refused.
TEST_F(VLRepositoryTest, NoFreeSpaceJustOverTheReserveRefusesADownload) {
  const double file = 5e6;
  for (double available : {kReserve + 1, kReserve + file / 2, kReserve + file - 1, kReserve - 1}) {
    g_platform->fileHelper().fakeFreeSpace(available, 500e9);
    open("download");
    addRecord("stored", size_t(2e9));
    VLRepositoryFile* wanted = addRecord("new", kUnknown);
    ASSERT_TRUE(wanted->open(VLRepositoryFile::OPEN_PROVIDE));
    EXPECT_TRUE(repository->makeRoomFor(wanted, size_t(file))) << available;
    repository->checkSize(true);
    EXPECT_FALSE(repository->isOfflineOrFull()) << available;
  }
  g_platform->fileHelper().fakeFreeSpace(file - 1, 500e9);
  open("download");
  VLRepositoryFile* wanted = addRecord("new", kUnknown);
  ASSERT_TRUE(wanted->open(VLRepositoryFile::OPEN_PROVIDE));
  EXPECT_FALSE(repository->makeRoomFor(wanted, size_t(file)));
  EXPECT_TRUE(repository->isOfflineOrFull()) << "the volume cannot hold it";
  EXPECT_EQ(1, handler.count("onVolumeFull"));
}

// An answer of unknown length may never end: its file grows no larger than a
// track can be, and never into the volume's reserve, in a cache (past its
// limit) as in downloads; a refusal is the answer's alone, nothing turns full.
TEST_F(VLRepositoryTest, AFileOfUnknownLengthGrowsNoLargerThanATrackNorIntoTheReserve) {
  for (const char* name : {"cache", "download"}) {
    g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
    const bool cache = std::string(name) == "cache";
    open(name, 0, cache, cache ? 10e6 : 0);
    VLRepositoryFile* growing = repository->getFile(VLFileId("endless", 6u), true);
    ASSERT_TRUE(growing->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(growing->beginGrowing(""));
    EXPECT_TRUE(repository->makeRoomFor(growing, size_t(500e6))) << name;
    EXPECT_FALSE(repository->makeRoomFor(growing, size_t(500e6) + 1)) << name;
    g_platform->fileHelper().fakeFreeSpace(kReserve + 50e6, 500 * GB);
    EXPECT_TRUE(repository->makeRoomFor(growing, size_t(50e6))) << name;
    EXPECT_FALSE(repository->makeRoomFor(growing, size_t(50e6) + 1)) << name;
    repository->checkSize(true);
    EXPECT_FALSE(repository->isOfflineOrFull()) << name;
    EXPECT_EQ(0, handler.count("onVolumeFull")) << name;
    ASSERT_TRUE(growing->close(0));
  }
}

// A refused growth is the answer's own size (too large, for good) only where
// the volume offered it more than a few megabytes past the reserve and
// nobody took them since: a volume exactly at its reserve, or one that
// others took 10 MB of, is full instead (the answer waits for room).
TEST_F(VLRepositoryTest, ARefusedGrowthIsTooLargeOnlyWhereTheVolumeOfferedRoom) {
  struct Case {
    double offered;  // free space at the answer's first room check
    double later;    // free space at its refusal
    size_t size;     // the size refused
    bool tooLarge;
  };
  const Case cases[] = {
      {kReserve + 50e6, kReserve + 50e6, size_t(50e6) + 1, true},   // a byte past the room offered
      {kReserve + 9e6, kReserve + 9e6, size_t(9e6) + 1, true},      // little room, but more than the slack
      {kReserve, kReserve, 16384, false},                           // exactly at the reserve from the start
      {kReserve + 7e6, kReserve + 7e6, size_t(7e6) + 1, false},     // less room than the slack
      {kReserve + 50e6, kReserve + 40e6, size_t(40e6) + 1, false},  // others took 10 MB
  };
  open("download", 0, false, 0);
  int run = 0;
  for (const Case& c : cases) {
    VLRepositoryFile* growing = repository->getFile(VLFileId("growing" + std::to_string(++run), 6u), true);
    ASSERT_TRUE(growing->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(growing->beginGrowing(""));
    g_platform->fileHelper().fakeFreeSpace(c.offered, 500 * GB);
    EXPECT_TRUE(repository->makeRoomFor(growing, 0)) << run;
    g_platform->fileHelper().fakeFreeSpace(c.later, 500 * GB);
    bool tooLarge = !c.tooLarge;
    EXPECT_FALSE(repository->makeRoomFor(growing, c.size, nullptr, &tooLarge)) << run;
    EXPECT_EQ(c.tooLarge, tooLarge) << run;
    ASSERT_TRUE(growing->close(0));
  }
  EXPECT_FALSE(repository->isOfflineOrFull());
}

TEST_F(VLRepositoryTest, FullIsCheckedAgainEveryThreeSecondsAndReportedOnce) {
  g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
  open("cache", 0, false, 1000);
  addRecord("a", 1001);
  repository->checkSize(true);
  ASSERT_TRUE(repository->isOfflineOrFull());
  // An unknown volume: not full, nothing measured.
  g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB, false);
  repository->setLimits(0, 2000);
  repository->update();
  EXPECT_FALSE(repository->isOfflineOrFull());
  EXPECT_EQ(0u, repository->getTotalSize());

  g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
  repository->setLimits(0, 500);
  repository->update();
  EXPECT_TRUE(repository->isOfflineOrFull());
  repository->getFiles().begin()->second->remove();
  repository->update();  // deletes the removed record, checks at the next pass
  repository->update();
  EXPECT_FALSE(repository->isOfflineOrFull());
  EXPECT_EQ(2, handler.count("onVolumeFull"));
}

TEST_F(VLRepositoryTest, EvictionTakesTheLeastRecentlyUsedAndNewTracksLast) {
  g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
  open("cache", 0, true, 700);
  addRecord("played-long-ago", 300, 100, 2, 50);
  addRecord("played-recently", 300, 900, 1, 60);
  addRecord("never-played-old", 300, 0, 0, 70);
  addRecord("unknown-size", kUnknown, 0, 0, 10);
  VLRepositoryFile* fetching = addRecord("being-fetched", 300, 0, 0, 2000);
  ASSERT_TRUE(fetching->open(VLRepositoryFile::OPEN_PROVIDE));

  repository->checkSize(true);
  EXPECT_FALSE(repository->isOfflineOrFull());  // with auto-clean never full
  for (const char* gone : {"unknown-size", "never-played-old", "played-long-ago"}) EXPECT_TRUE(isRemoved(gone)) << gone;
  EXPECT_FALSE(isRemoved("played-recently"));
  EXPECT_FALSE(fetching->isRemoved());

  // Open records are evicted too, but stay (and count) until closed. A
  // record larger than the limit counts the bytes it holds.
  std::string bytes(300, 'b');
  size_t written = 0;
  ASSERT_TRUE(fetching->write(bytes.data(), 0, bytes.size(), &written));
  ASSERT_EQ(300u, written);
  repository->setLimits(0, 100);
  repository->update();
  EXPECT_TRUE(fetching->isRemoved());
  EXPECT_EQ(1u, repository->getFiles().size());
  repository->update();
  EXPECT_EQ(300u, repository->getTotalSize());
  ASSERT_TRUE(fetching->close(0));
  repository->update();
  EXPECT_TRUE(repository->getFiles().empty());
}

// A size the volume cannot hold, however many files went, is refused and
// evicts nothing; one that fits once the oldest went evicts that one only;
// one larger than the cache's limit evicts everything else, is fetched and
// played, and leaves the cache after its last close.
TEST_F(VLRepositoryTest, ASizeThatCannotFitEvictsNothing) {
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  struct Case {
    size_t announced;
    double available;
    double maxSize;
    const char* evicted;
    bool fetched;
  };
  const Case cases[] = {
      {size_t(1) << 50, kReserve + 100 * GB, 0, "", false},  // a server's absurd length
      {500000, 150000, 0, "", false},                        // more than the free space and all that eviction frees
      {150000, kReserve + 100000, 0, "a-old", true},         // the reserve is kept by evicting
      {300000, 100 * GB, 250000, "a-old b-mid c-playing", true},  // larger than the limit
  };
  int run = 0;
  for (const Case& c : cases) {
    directory = folder.folder("cache" + std::to_string(++run));
    databases = folder.folder("db" + std::to_string(run));
    g_platform->fileHelper().fakeFreeSpace(c.available, 500 * GB);
    open("cache", 0, true, c.maxSize);
    for (const char* entity : {"a-old", "b-mid", "c-playing"}) addStoredFile(entity, 100000);
    VLRepositoryFile* playing = repository->getFile(VLFileId("c-playing", 6u), false);
    ASSERT_TRUE(playing->open(VLRepositoryFile::OPEN_LOCK));
    server.clearRequests();
    const int reported = handler.count("onVolumeFull");

    VLRepositoryFile* track = repository->getFile(VLFileId("d-new", 6u), true);
    track->setUrl(server.url("/size=" + std::to_string(c.announced) + "/seed=4/track"));
    ASSERT_TRUE(track->open(VLRepositoryFile::OPEN_PROVIDE));
    if (c.fetched)
      EXPECT_TRUE(pumpUntil([&] { return (track->getFlags() & VLRepositoryFile::FLAG_COMPLETE) != 0; }));
    else
      EXPECT_TRUE(pumpUntil([&] { return !server.getRequests().empty() && transferEnded(VLFileId("d-new", 6u)); }));
    for (const char* entity : {"a-old", "b-mid", "c-playing"})
      EXPECT_EQ(std::string(c.evicted).find(entity) != std::string::npos, isRemoved(entity))
          << entity << " for " << c.announced;
    const bool oversized = c.maxSize > 0 && double(c.announced) > c.maxSize;
    EXPECT_EQ(oversized, track->isRemoved()) << "only a file larger than the limit goes once closed";
    EXPECT_EQ(c.fetched, track->getSize() == c.announced);
    EXPECT_EQ(c.fetched, handler.count("onVolumeFull") == reported) << "a refusal is reported";
    const std::string trackPath = repository->getFilePath(track->getFileName());
    ASSERT_TRUE(track->close(0));
    ASSERT_TRUE(playing->close(VLRepositoryFile::OPEN_LOCK));
    repository->update();
    EXPECT_EQ(oversized, repository->getFile(VLFileId("d-new", 6u), false) == nullptr);
    if (oversized) EXPECT_TRUE(pumpUntil([&] { return !TestFolder::exists(trackPath); }));
  }
}

// Clearing removes every closed record in one pass, deletes their files a
// bounded number per pass and measures the volume once, when they are gone.
TEST_F(VLRepositoryTest, ClearAllDeletesEverythingButOpenFilesAndChecksTheSizeOnce) {
  open();
  std::vector<std::string> paths;
  for (int i = 0; i < 500; ++i)
    paths.push_back(repository->getFilePath(addStoredFile("gone-" + std::to_string(i), 5000)->getFileName()));
  VLRepositoryFile* kept = addStoredFile("kept", 5000);
  ASSERT_TRUE(kept->open(VLRepositoryFile::OPEN_LOCK));
  repository->update();
  int queries = g_platform->fileHelper().freeSpaceQueries();

  repository->clearAll();
  repository->update();
  EXPECT_EQ(500, handler.count("onFilesRemoved"));
  EXPECT_LT(repository->getFiles().size(), 500u) << "deletions began";
  while (repository->getFiles().size() > 1) repository->update();
  // The files are removed on the trash's thread; the size is checked once
  // they are gone.
  EXPECT_TRUE(pumpUntil([&] { return !repository->isDiscarding(); }));
  repository->update();
  EXPECT_EQ(1, g_platform->fileHelper().freeSpaceQueries() - queries);
  EXPECT_FALSE(kept->isRemoved());
  for (const std::string& path : paths) ASSERT_FALSE(TestFolder::exists(path)) << path;
  EXPECT_TRUE(TestFolder::exists(repository->getFilePath(kept->getFileName())));
  saveNow();
  EXPECT_EQ((std::vector<std::string>{"kept"}), rows("SELECT entity_id FROM files"));
  ASSERT_TRUE(kept->close(VLRepositoryFile::OPEN_LOCK));
}

// The files of deleted records are removed on a thread of their own; until
// they are gone their bytes count as stored, since the volume's free space
// does not have them back yet, and the size is checked again once they are.
TEST_F(VLRepositoryTest, DeletedFilesCountAsStoredUntilTheyAreGone) {
  open("cache", 0, true, 0);
  std::vector<std::string> paths;
  for (const char* entity : {"a", "b", "c"})
    paths.push_back(repository->getFilePath(addStoredFile(entity, 5000)->getFileName()));
  repository->update();
  g_platform->fileHelper().holdTrashRemovals(true);

  repository->clearAll();
  while (!repository->getFiles().empty()) repository->update();
  repository->checkSize(true);
  EXPECT_EQ(15000u, repository->getTotalSize()) << "counted as freed before the volume has them back";
  EXPECT_TRUE(repository->isDiscarding());
  for (const std::string& path : paths) {
    EXPECT_FALSE(TestFolder::exists(path));
    EXPECT_FALSE(TestFolder::exists(path + ".part"));
  }

  g_platform->fileHelper().holdTrashRemovals(false);
  EXPECT_TRUE(pumpUntil([&] { return !repository->isDiscarding(); }));
  repository->update();
  EXPECT_EQ(0u, repository->getTotalSize());
  for (const std::string& path : paths) {
    EXPECT_FALSE(TestFolder::exists(path + ".deleted"));
    EXPECT_FALSE(TestFolder::exists(path + ".part.deleted"));
  }
}

// A large clear marks its records removed over several updates, and looks done
// at once meanwhile: the lists leave out what it has not reached, a record
// asked for is cleared first, and what was open or made after the request
// stays. A record is marked once its row has left the index, so that a run
// killed meanwhile keeps none of the rows of the records it cleared.
TEST_F(VLRepositoryTest, ALargeClearGoesInSlicesThatLookDoneAtOnce) {
  open();
  const int count = 25000;
  for (int i = 0; i < count; ++i) repository->noteRowChanged(addRecord("r-" + std::to_string(i), 1));
  VLRepositoryFile* inUse = addRecord("z-in-use", 1);
  repository->noteRowChanged(inUse);
  saveNow();
  ASSERT_TRUE(inUse->open(0));

  repository->clearAll();
  repository->update();
  EXPECT_LT(handler.count("onFilesRemoved"), count) << "one update marked every record";
  EXPECT_EQ((std::vector<std::string>{std::to_string(count + 1 - handler.count("onFilesRemoved"))}),
            rows("SELECT COUNT(*) FROM files"));
  ASSERT_TRUE(inUse->close(0));
  VLRepositoryFile* made = repository->getFile(VLFileId("zz-made", 6u), true);
  unsigned int listed = 0;
  std::list<VLRepositoryFile*> found;
  repository->findFiles(0, 0, &found, &listed);
  EXPECT_EQ(2u, listed);
  EXPECT_EQ((std::list<VLRepositoryFile*>{inUse, made}), found);
  EXPECT_TRUE(repository->getFile(VLFileId("r-9999", 6u), false)->isRemoved());

  for (int i = 0; i < 100 && handler.count("onFilesRemoved") < count; ++i) repository->update();
  EXPECT_EQ(count, handler.count("onFilesRemoved"));
  EXPECT_FALSE(inUse->isRemoved());
  EXPECT_FALSE(made->isRemoved());
}

TEST_F(VLRepositoryTest, FindFilesMatchesFlagsAndDownloadStates) {
  open();
  addRecord("a", 100)->setCustom(2);
  addRecord("b", 100)->setCustom(16);
  addRecord("c", 100)->remove();
  VLRepositoryFile* opened = addRecord("d", 100);
  ASSERT_TRUE(opened->open(0));
  const unsigned int cases[][3] = {{0, 0, 3},
                                   {0, 2 | 4, 1},
                                   {VLRepositoryFile::FLAG_OPEN, 0, 1},
                                   {VLRepositoryFile::FLAG_REMOVED, 0, 0},
                                   {VLRepositoryFile::FLAG_OPEN, 16, 0}};
  for (const auto& c : cases) {
    std::list<VLRepositoryFile*> found;
    unsigned int count = 99;
    repository->findFiles(c[0], c[1], &found, &count);
    EXPECT_EQ(c[2], count) << c[0] << "/" << c[1];
    EXPECT_EQ(c[2], found.size());
  }
  ASSERT_TRUE(opened->close(0));
}

// ---- Directory ----

TEST_F(VLRepositoryTest, AnUnwritableDirectoryIsReportedAndProbedAgain) {
  ASSERT_TRUE(TestFolder::write(folder.file("blocker"), "x"));
  directory = folder.file("blocker") + "/cache";  // under a regular file
  open();
  EXPECT_TRUE(repository->isUnavailable());
  repository->update();
  EXPECT_EQ(1, handler.count("onUnwritable", "cache"));

  unlink(folder.file("blocker").c_str());
  folder.folder("blocker");
  folder.folder("blocker/cache");
  repository->update();
  EXPECT_TRUE(repository->isUnavailable());  // not yet three seconds
  g_platform->advance(4);
  repository->update();
  EXPECT_FALSE(repository->isUnavailable());

  // A new directory that cannot take files keeps every file where it is.
  VLRepositoryFile* file = addStoredFile("track", 10000);
  repository->setDirectory(folder.file("x") + "/music", false);
  ASSERT_TRUE(TestFolder::write(folder.file("x"), "x"));
  repository->update();
  EXPECT_EQ(directory, repository->getDirectory());
  EXPECT_FALSE(file->isRemoved());
  EXPECT_EQ(2, handler.count("onUnwritable"));
}

// On another volume the downloads are copied on a thread of their own while
// the repository serves from the old files; the switch comes once the copies
// are whole, and stores the new directory first.
TEST_F(VLRepositoryTest, AMoveToAnotherVolumeCopiesDownloadsMeanwhileAndDropsCachedBytes) {
  // /dev/shm is a memory file system: another volume than the scratch folder's.
  char otherVolume[] = "/dev/shm/velora-move-XXXXXX";
  if (!mkdtemp(otherVolume)) GTEST_SKIP() << "no /dev/shm here";
  std::string target = std::string(otherVolume) + "/downloads";
  if (VLPlatformFactory::instance()->getFileHelper()->isSameVolume(directory, otherVolume)) {
    rmdir(otherVolume);
    GTEST_SKIP() << "/dev/shm is on the scratch folder's volume here";
  }
  open("download");
  repository->setDirectoryPreference("DownloadPath");
  VLRepositoryFile* download = addStoredFile("downloaded", 3000000);
  download->setCustom(16);
  addStoredFile("cached", 10000);
  std::string oldPath = repository->getFilePath(download->getFileName());
  ASSERT_TRUE(download->open(VLRepositoryFile::OPEN_LOCK));

  repository->setDirectory(target, false);
  repository->update();
  EXPECT_EQ(directory, repository->getDirectory()) << "the copying does not hold up the update";
  char byte = 0;
  size_t read = 0;
  EXPECT_TRUE(download->read(&byte, 2999999, 1, &read, nullptr));
  EXPECT_EQ(1u, read);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (repository->getDirectory() == directory && std::chrono::steady_clock::now() < deadline) repository->update();

  EXPECT_EQ(target, repository->getDirectory());
  EXPECT_EQ(target, VLPlatformFactory::instance()->getSettingHelper()->getValue("user", "DownloadPath", ""));
  EXPECT_FALSE(download->isRemoved()) << "the user's download is carried over";
  EXPECT_EQ(std::string(3000000, 0x5A), TestFolder::read(target + "/" + download->getFileName()));
  EXPECT_FALSE(TestFolder::exists(oldPath));
  EXPECT_TRUE(download->read(&byte, 2999999, 1, &read, nullptr));
  EXPECT_EQ(0x5A, byte);
  EXPECT_TRUE(download->close(VLRepositoryFile::OPEN_LOCK));
  // Cached bytes are dropped (fetched again when wanted).
  EXPECT_TRUE(isRemoved("cached"));
  repository->close();
  repository.reset();
  EXPECT_EQ(0, system((std::string("rm -rf ") + otherVolume).c_str()));
}

// ---- Index ----

TEST_F(VLRepositoryTest, TheIndexKeepsEveryColumn) {
  open();
  repository->close();
  const size_t bigSize = (size_t(5) << 30) + 123;  // above 4 GiB, its files sparse
  for (const auto& file :
       {std::make_pair(std::string(""), bigSize), std::make_pair(std::string(".part"), getBitmapSize(bigSize))}) {
    std::string path = directory + "/0123456789abcdef0123456789abcdef" + file.first;
    ASSERT_TRUE(TestFolder::write(path, ""));
    ASSERT_EQ(0, truncate(path.c_str(), off_t(file.second)));
  }
  ASSERT_TRUE(TestDatabase(dbPath()).exec(
      "INSERT INTO files VALUES ('cache', 'user', 'big', 30, 5368709243, 3221225472, '\"e1\"', "
      "'0123456789abcdef0123456789abcdef', '{\"title\":\"é\"}', 'opaque|data', 7, 16, 1700000000, 1700000100, "
      "-294967296, 1700000200), ('cache', 'user', 'negative', 5, -1, 0, '', 'fedcba9876543210fedcba9876543210', "
      "'', '', -1, -1, 0, 0, 0, 0)"));
  handler.clear();
  open();
  EXPECT_EQ(2, handler.count("onFilesAdded"));
  VLRepositoryFile* big = repository->getFile(VLFileId("big", 30u), false);
  ASSERT_NE(nullptr, big);
  EXPECT_EQ(bigSize, big->getSize());
  EXPECT_EQ("opaque|data", big->getProviderData());
  EXPECT_EQ(4000000000u, big->getTotalLockCount());
  VLRepositoryFile* negative = repository->getFile(VLFileId("negative", 5u), false);
  ASSERT_NE(nullptr, negative);
  EXPECT_EQ(kUnknown, negative->getSize());
  EXPECT_EQ(-1, negative->getPosition());
  EXPECT_EQ(-1, negative->getCustom());
  // Written back through a change, every column as it came.
  big->setMetadata("{\"title\":\"ü\"}");
  negative->setPosition(-2);
  repository->close();
  EXPECT_EQ((std::vector<std::string>{"cache|user|big|30|5368709243|3221225472|\"e1\"|0123456789abcdef0123456789abcdef|"
                                      "{\"title\":\"ü\"}|opaque|data|7|16|1700000000|1700000100|-294967296|1700000200",
                                      "cache|user|negative|5|-1|0||fedcba9876543210fedcba9876543210|||-2|-1|0|0|0|0"}),
            rows("SELECT * FROM files ORDER BY entity_id"));
}

TEST_F(VLRepositoryTest, OlderTablesAreUpgraded) {
  {
    TestDatabase db(dbPath("cache"));
    // The first table had no provider_data; the second no lock count or last add.
    auto table = [](const char* providerData) {
      return std::string(
                 "CREATE TABLE \"files\" ( \"repository\" VARCHAR NOT NULL, \"identity\" VARCHAR NOT "
                 "NULL, \"entity_id\" VARCHAR NOT NULL, \"format_id\" INTEGER NOT NULL, \"size\" INTEGER "
                 "NOT NULL, \"loaded\" INTEGER NOT NULL, \"etag\" VARCHAR NOT NULL, \"file_name\" VARCHAR "
                 "UNIQUE NOT NULL, \"metadata\" VARCHAR NOT NULL, ") +
             providerData +
             "\"position\" INTEGER NOT NULL, \"custom\" INTEGER NOT NULL, \"last_validation\" INTEGER NOT "
             "NULL, \"last_open\" INTEGER NOT NULL, PRIMARY KEY (repository, identity, entity_id, format_id))";
    };
    ASSERT_TRUE(db.exec(table("")));
    ASSERT_TRUE(
        db.exec("INSERT INTO files VALUES ('cache', 'user', 'old', 6, -1, 0, '', "
                "'0123456789abcdef0123456789abcdef', 'meta', 3, 2, 10, 20)"));
    TestDatabase download(dbPath("download"));
    ASSERT_TRUE(download.exec(table("\"provider_data\" VARCHAR NOT NULL, ")));
    ASSERT_TRUE(
        download.exec("INSERT INTO files VALUES ('download', 'user', 'mid', 5, -1, 0, '', "
                      "'fedcba9876543210fedcba9876543210', 'm', 'pd', -1, 16, 10, 20)"));
  }
  open("cache");
  VLRepositoryFile* old = repository->getFile(VLFileId("old", 6u), false);
  ASSERT_NE(nullptr, old);
  EXPECT_EQ("|0|0|meta|3", old->getProviderData() + "|" + std::to_string(old->getTotalLockCount()) + "|" +
                               std::to_string(old->getLastAdd()) + "|" + old->getMetadata() + "|" +
                               std::to_string(old->getPosition()));
  open("download");
  VLRepositoryFile* mid = repository->getFile(VLFileId("mid", 5u), false);
  ASSERT_NE(nullptr, mid);
  EXPECT_EQ("pd", mid->getProviderData());
  EXPECT_EQ(16, mid->getCustom());
}

// Rows whose files do not match are dropped at start, and so are the files
// that no row claims any more; files of other rows and other names stay.
TEST_F(VLRepositoryTest, StartDropsRowsWhoseFilesDoNotMatchAndFilesWithoutRows) {
  // A cache (auto-clean): its bytes can be fetched again.
  open("cache", 0, true);
  addStoredFile("intact", 5000);
  VLRepositoryFile* truncated = addStoredFile("truncated", 5000);
  VLRepositoryFile* badBitmap = addStoredFile("bad-bitmap", 5000);
  repository->getFile(VLFileId("unsized", 6u), true);
  addStoredFile("empty", 0);
  unlink(repository->getFilePath(addStoredFile("missing", 1)->getFileName()).c_str());
  saveNow();
  std::string truncatedPath = repository->getFilePath(truncated->getFileName());
  std::string bitmapPath = repository->getBitmapPath(badBitmap->getFileName());
  std::string badPath = repository->getFilePath(badBitmap->getFileName());
  repository->close();
  ASSERT_EQ(0, truncate(truncatedPath.c_str(), 100));
  ASSERT_TRUE(TestFolder::write(bitmapPath, "toolong"));
  std::string unclaimed = directory + "/00000000000000000000000000000000";
  std::string theirs = directory + "/11111111111111111111111111111111";
  for (const std::string& path : {unclaimed, unclaimed + ".part", theirs, directory + "/song.mp3"})
    ASSERT_TRUE(TestFolder::write(path, "x"));
  ASSERT_TRUE(TestDatabase(databases + "/import.db")
                  .exec("CREATE TABLE files (file_name VARCHAR); INSERT INTO files VALUES "
                        "('11111111111111111111111111111111')"));

  open("cache", 0, true);
  std::vector<std::string> kept;
  for (auto& entry : repository->getFiles()) kept.push_back(entry.first.getEntityId());
  EXPECT_EQ((std::vector<std::string>{"empty", "intact", "unsized"}), kept);
  for (const std::string& path : {truncatedPath, bitmapPath, badPath, unclaimed, unclaimed + ".part"})
    EXPECT_FALSE(TestFolder::exists(path)) << path;
  EXPECT_TRUE(TestFolder::exists(theirs)) << "another index names it";
  EXPECT_TRUE(TestFolder::exists(directory + "/song.mp3")) << "not a name of ours";
}

// A stream's empty content holds for the play that got it: the cache's last
// close forgets it, and a cached row that still holds one (a crash during
// that play) loads as a file not fetched yet. An empty file stored for good
// stays.
TEST_F(VLRepositoryTest, AStreamsEmptyContentIsNotKeptForTheNextPlay) {
  for (bool cache : {true, false}) {
    const std::string name = cache ? "cache" : "import";
    open(name, 0, cache);
    EXPECT_EQ(cache ? kUnknown : 0u, addStoredFile("closed", 0)->getSize()) << name;
    const std::string file = addStoredFile("crashed", 5000)->getFileName();
    saveNow();
    repository->close();
    ASSERT_TRUE(TestDatabase(dbPath(name)).exec("UPDATE files SET size = 0, loaded = 0"));
    ASSERT_EQ(0, truncate(repository->getFilePath(file).c_str(), 0));
    ASSERT_EQ(0, truncate(repository->getBitmapPath(file).c_str(), 0));

    open(name, 0, cache);
    VLRepositoryFile* crashed = repository->getFile(VLFileId("crashed", 6u), false);
    ASSERT_TRUE(crashed) << name;
    EXPECT_EQ(cache ? kUnknown : 0u, crashed->getSize()) << name;
    EXPECT_EQ(cache ? 0 : VLRepositoryFile::FLAG_COMPLETE, crashed->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
  }
}

// Downloads keep their records at start whatever happened to their files: a
// whole content whose bitmap is gone gets it back with every block and is
// validated at its next use; a cut one is fetched again. Records loaded and
// never opened since still follow a directory switch, and lose their files
// when removed.
TEST_F(VLRepositoryTest, StartKeepsDownloadsAndUnopenedRecordsFollowTheirFiles) {
  open();
  for (const char* entity : {"whole", "cut"}) {
    VLRepositoryFile* file = addStoredFile(entity, 5000);
    file->setCustom(1);
    file->touchValidation();
  }
  const std::string moved = addStoredFile("moved", 5000)->getFileName();
  const std::string dropped = addStoredFile("dropped", 5000)->getFileName();
  saveNow();
  const std::string wholeBitmap = repository->getBitmapPath(repository->makeFileName(VLFileId("whole", 6u)));
  const std::string cutContent = repository->getFilePath(repository->makeFileName(VLFileId("cut", 6u)));
  repository->close();
  ASSERT_EQ(0, unlink(wholeBitmap.c_str()));
  ASSERT_EQ(0, truncate(cutContent.c_str(), 100));

  open();
  VLRepositoryFile* whole = repository->getFile(VLFileId("whole", 6u), false);
  VLRepositoryFile* cut = repository->getFile(VLFileId("cut", 6u), false);
  ASSERT_TRUE(whole && cut);
  EXPECT_EQ(0, whole->getLastValidation());
  EXPECT_NE(0, cut->getLastValidation()) << "only a restored bitmap asks for a validation";
  EXPECT_EQ((std::vector<std::string>{"cut|0", "whole|1"}),
            rows("SELECT entity_id, last_validation = 0 FROM files WHERE custom = 1 ORDER BY entity_id"));
  bool loaded = false;
  ASSERT_TRUE(whole->isRangeLoaded(0, 5000, &loaded));
  EXPECT_TRUE(loaded);
  EXPECT_EQ(0u, cut->getLoaded());
  EXPECT_EQ(100u, TestFolder::sizeOf(cutContent)) << "left as it is until it is fetched again";
  ASSERT_TRUE(cut->open(0));
  EXPECT_TRUE(cut->close(0));
  EXPECT_EQ(5000u, TestFolder::sizeOf(cutContent)) << "given its recorded length again once opened";

  repository->getFile(VLFileId("dropped", 6u), false)->remove();
  const std::string second = folder.folder("second");
  repository->setDirectory(second, true);
  for (const std::string& path : {second + "/" + moved, second + "/" + moved + ".part"})
    EXPECT_TRUE(TestFolder::exists(path)) << path;
  EXPECT_FALSE(TestFolder::exists(directory + "/" + moved));
  repository->close();
  for (const std::string& folderPath : {directory, second}) {
    EXPECT_FALSE(TestFolder::exists(folderPath + "/" + dropped)) << folderPath;
    EXPECT_FALSE(TestFolder::exists(folderPath + "/" + dropped + ".part")) << folderPath;
  }
}

TEST_F(VLRepositoryTest, RowsOfOthersAndUnreadableRowsAreLeftAlone) {
  open();
  addStoredFile("mine", 100);
  repository->close();
  {
    TestDatabase db(dbPath());
    for (const char* row : {"'cache', 'someone', 'theirs', 6, -1, 0, '', '11111111111111111111111111111111'",
                            "'import', 'user', 'other-repo', 6, -1, 0, '', '22222222222222222222222222222222'",
                            "'cache', 'user', 'odd-format', 19, -1, 0, '', '33333333333333333333333333333333'",
                            "'cache', 'user', 'odd-name', 6, -1, 0, '', '../../etc/passwd'"})
      ASSERT_TRUE(db.exec(std::string("INSERT INTO files VALUES (") + row + ", '', '', -1, 0, 0, 0, 0, 0)")) << row;
  }
  open();
  EXPECT_EQ(1u, repository->getFiles().size());
  repository->getFile(VLFileId("mine", 6u), false)->remove();
  repository->getFile(VLFileId("new", 6u), true);
  saveNow();
  EXPECT_EQ((std::vector<std::string>{"cache|someone|theirs", "cache|user|new", "cache|user|odd-format",
                                      "cache|user|odd-name", "import|user|other-repo"}),
            rows("SELECT repository, identity, entity_id FROM files ORDER BY repository, identity, entity_id"));
}

// A save writes the rows that changed, in one transaction, and nothing when
// nothing changed; a sized file's row is written at once.
TEST_F(VLRepositoryTest, SavesWriteOnlyTheRowsThatChanged) {
  open("download");
  VLRepositoryFile* a = addStoredFile("a", 100);
  VLRepositoryFile* b = addStoredFile("b", 100);
  EXPECT_EQ(2u, rows("SELECT entity_id FROM files", "download").size()) << "sized files are indexed at once";
  saveNow();
  ASSERT_TRUE(TestDatabase(dbPath("download")).exec("UPDATE files SET metadata = 'theirs' WHERE entity_id = 'b'"));
  a->setPosition(3);
  g_platform->advance(59);
  repository->update();
  EXPECT_EQ((std::vector<std::string>{"a|-1|", "b|-1|theirs"}),
            rows("SELECT entity_id, position, metadata FROM files ORDER BY 1", "download"));
  g_platform->advance(2);
  repository->update();
  EXPECT_EQ((std::vector<std::string>{"a|3|", "b|-1|theirs"}),
            rows("SELECT entity_id, position, metadata FROM files ORDER BY 1", "download"))
      << "only the changed row is written";

  // Nothing changed: nothing is written, so a database that another process
  // holds locked does not even delay the save.
  {
    TestDatabase other(dbPath("download"));
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    EXPECT_TRUE(repository->saveFiles());
    ASSERT_TRUE(other.exec("ROLLBACK"));
  }
  // A failed save is rolled back and its rows go with the next one.
  b->setCustom(16);
  {
    TestDatabase other(dbPath("download"));
    ASSERT_TRUE(other.exec("BEGIN IMMEDIATE"));
    EXPECT_FALSE(repository->saveFiles());
    ASSERT_TRUE(other.exec("ROLLBACK"));
  }
  EXPECT_EQ((std::vector<std::string>{"0"}), rows("SELECT custom FROM files WHERE entity_id = 'b'", "download"));
  // Removed but still open: kept until deleted.
  ASSERT_TRUE(a->open(0));
  a->remove();
  saveNow();
  EXPECT_EQ((std::vector<std::string>{"a|0", "b|16"}),
            rows("SELECT entity_id, custom FROM files ORDER BY 1", "download"));
  ASSERT_TRUE(a->close(0));
  repository->update();
  repository->close();
  EXPECT_EQ((std::vector<std::string>{"b"}), rows("SELECT entity_id FROM files", "download"));
}

// The 60-second save is written in slices of bounded time over several
// updates; deletions go before writes, so that a record made again under a
// deleted id keeps its new row.
TEST_F(VLRepositoryTest, ThePeriodicSaveGoesInSlicesAndKeepsEveryRow) {
  open();
  const int count = 40;
  for (int i = 0; i < count; ++i) repository->getFile(VLFileId("r-" + std::to_string(i), 6u), true);
  ASSERT_TRUE(repository->saveFiles());
  repository->getFile(VLFileId("r-7", 6u), false)->remove();
  repository->update();
  ASSERT_EQ(nullptr, repository->getFile(VLFileId("r-7", 6u), false)) << "deleted, its row to go";
  for (int i = 0; i < count; ++i)
    repository->getFile(VLFileId("r-" + std::to_string(i), 6u), true)->setPosition(100 + i);

  g_platform->advance(61);
  g_platform->stepEachRead(0.004);
  repository->update();
  EXPECT_TRUE(repository->hasUnsavedRows()) << "one update saved every row";
  for (int i = 0; i < 200 && repository->hasUnsavedRows(); ++i) repository->update();
  g_platform->setTime(2000);
  EXPECT_FALSE(repository->hasUnsavedRows());
  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) expected.push_back("r-" + std::to_string(i) + "|" + std::to_string(100 + i));
  std::vector<std::string> saved = rows("SELECT entity_id, position FROM files");
  std::sort(expected.begin(), expected.end());
  std::sort(saved.begin(), saved.end());
  EXPECT_EQ(expected, saved);
}

TEST_F(VLRepositoryTest, ACorruptOrLockedIndexLosesNoRow) {
  open();
  addStoredFile("a", 100);
  addStoredFile("b", 100);
  repository->close();
  std::string saved = TestFolder::read(dbPath());

  // Locked by another process for longer than the busy timeout.
  {
    TestDatabase other(dbPath());
    ASSERT_TRUE(other.exec("BEGIN EXCLUSIVE"));
    open();
    EXPECT_TRUE(repository->getFiles().empty());
    // Without its index the repository still works, in memory.
    EXPECT_NE(nullptr, repository->getFile(VLFileId("c", 6u), true));
    repository->update();
    repository->close();
    ASSERT_TRUE(other.exec("ROLLBACK"));
  }
  EXPECT_EQ(saved, TestFolder::read(dbPath()));
  open();
  EXPECT_EQ(2u, repository->getFiles().size());
  repository->close();

  // Not a database at all, and a damaged page inside a real one: the
  // damaged file is kept aside as it was, and a new index takes new rows.
  std::string garbage(8192, 'x');
  ASSERT_TRUE(TestFolder::write(dbPath(), garbage));
  open();
  EXPECT_TRUE(repository->getFiles().empty());
  EXPECT_NE(nullptr, repository->getFile(VLFileId("c", 6u), true));
  repository->close();
  EXPECT_EQ(garbage, TestFolder::read(dbPath() + ".damaged"));
  open();
  EXPECT_EQ(1u, repository->getFiles().size());
  repository->close();
  ASSERT_TRUE(TestFolder::write(dbPath(), saved.substr(0, 4096) + std::string(saved.size() - 4096, '\xff')));
  open();
  repository->update();
}

TEST_F(VLRepositoryTest, MainThreadSettingsMeetAWorkerThatIsRunning) {
  open();
  addStoredFile("a", 5000);
  std::atomic<bool> stop(false);
  std::thread worker([&] {
    while (!stop) {
      repository->update();
      g_platform->advance(1);
    }
  });
  std::string second = folder.folder("second");
  for (int i = 0; i < 2000; ++i) {
    repository->setLimits(i % 7, double(i) * 1000);
    double maxSize = 0;
    int maxPercent = 0;
    repository->getLimits(&maxSize, &maxPercent);
    repository->setOffline(i % 2 == 0);
    repository->setDirectory(i % 2 ? second : directory, false);
    EXPECT_FALSE(repository->getDirectory().empty());
    repository->getTotalSize();
    if (i % 500 == 0) repository->clearAll();
  }
  stop = true;
  worker.join();
  repository->update();
  EXPECT_TRUE(repository->getFiles().empty());
}

// ---- Digest ----

// Whatever an OpenSSL configuration allows (only FIPS implementations by
// default, or no default provider at all, neither of which offers MD5), the
// repository starts and names its files as always.
TEST(VLRepositoryDigest, NamesDoNotDependOnTheCryptoConfiguration) {
  TestFolder folder;
  std::string fipsOnly = folder.file("fips-only.cnf");
  std::string noDefault = folder.file("no-default.cnf");
  ASSERT_TRUE(TestFolder::write(fipsOnly,
                                "openssl_conf = init\n[init]\nalg_section = algorithms\n"
                                "[algorithms]\ndefault_properties = fips=yes\n"));
  ASSERT_TRUE(TestFolder::write(noDefault,
                                "openssl_conf = init\n[init]\nproviders = providers\n"
                                "[providers]\nbase = base\n[base]\nactivate = 1\n"));
  for (const std::string& config : {fipsOnly, noDefault}) {
    std::string output;
    EXPECT_TRUE(runInChild("VLRepositoryDigest.Child", "VELORA_DIGEST_CHILD=1 OPENSSL_CONF=" + config, &output))
        << config << "\n"
        << output;
  }
}

TEST(VLRepositoryDigest, Child) {
  if (!getenv("VELORA_DIGEST_CHILD")) GTEST_SKIP() << "runs only inside the digest test";
  TestFolder folder;
  TestRepositoryHandler handler;
  VLHttpRepositoryProvider provider;
  VLRepository repository(&handler, &provider, "download", "user", 604800, folder.path(), folder.folder("files"), 0,
                          false, 0);
  repository.init();
  EXPECT_FALSE(repository.isUnavailable());
  EXPECT_EQ(0, handler.count("onUnwritable"));
  std::set<std::string> names;
  for (const char* entity : {"one", "two", "three"}) {
    VLRepositoryFile* file = repository.getFile(VLFileId(entity, 6u), true);
    ASSERT_TRUE(file->open(0));
    ASSERT_TRUE(file->setContent(10, ""));
    ASSERT_TRUE(file->close(0));
    names.insert(file->getFileName());
  }
  EXPECT_EQ(3u, names.size());
  // MD5 of "download_user_one_6": the name the file has always had.
  EXPECT_EQ(1u, names.count("5f1c3e96824b4387dda8d68dff5df372"));
  EXPECT_EQ((std::vector<std::string>{"3"}),
            TestDatabase(folder.file("download.db")).rows("SELECT COUNT(*) FROM files"));
  repository.close();
}
