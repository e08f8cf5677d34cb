#include "VLRepository.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
#include "VLRepositoryFile.h"

namespace {

TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const double GB = 1e9;
const size_t kUnknown = VLRepositoryFile::UNKNOWN_SIZE;

class VLRepositoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_platform->setTime(1000);
        g_platform->fileHelper().useRealFreeSpace();
        provider.init(nullptr);
        directory = folder.folder("cache");
        databases = folder.folder("repositories");
    }

    void TearDown() override
    {
        if (repository)
            repository->close();
        repository.reset();
        provider.clean();
    }

    VLRepository* open(const std::string& name = "cache", const std::string& identity = "user", int percent = 0,
                       bool autoClean = false, double maxSize = 0)
    {
        if (repository)
            repository->close();
        repository.reset(new VLRepository(&handler, &provider, name, identity, 604800, databases, directory, percent,
                                          autoClean, maxSize));
        repository->init();
        return repository.get();
    }

    // A record as the index would give it, with no files on disk.
    VLRepositoryFile* addRecord(const std::string& entity, size_t size, time_t lastOpen = 0,
                                unsigned int lockCount = 0, time_t lastAdd = 1)
    {
        VLFileId id(entity, 6u);
        VLRepositoryFile* file = new VLRepositoryFile(repository.get(), "user", id, &provider, &handler,
                                                      repository->makeFileName(id), size, 0, "", "", "", -1, 0, 0,
                                                      lastOpen, lockCount, lastAdd);
        repository->getFiles()[id] = file;
        return file;
    }

    // A complete file of size bytes on disk, through the repository's own paths.
    VLRepositoryFile* addStoredFile(const std::string& entity, size_t size)
    {
        VLRepositoryFile* file = repository->getFile(VLFileId(entity, 6u), true);
        EXPECT_TRUE(file->open(0));
        EXPECT_TRUE(file->setContent(size, "e"));
        std::vector<uint8_t> bytes(size, 0x5A);
        size_t done = 0;
        EXPECT_TRUE(file->write(bytes.data(), 0, size, &done));
        EXPECT_TRUE(file->close(0));
        return file;
    }

    std::string dbPath(const std::string& name = "cache") const { return databases + "/" + name + ".db"; }

    // Runs update with the clock moved past the save period.
    void saveNow()
    {
        g_platform->advance(61);
        repository->update();
    }

    TestFolder folder;
    std::string directory;
    std::string databases;
    TestRepositoryHandler handler;
    VLHttpRepositoryProvider provider;
    std::unique_ptr<VLRepository> repository;
};

} // namespace

// ---- Limits, eviction, full ----

TEST_F(VLRepositoryTest, LimitIsTheSmallestOfPercentSizeAndReserve)
{
    struct Case
    {
        double available;  // of a 500 GB volume
        int percent;
        double maxSize;
        double limit;
    };
    const Case cases[] = {
        {100e9, 10, 0, 10e9},   // the percent of what is available (the reserve candidate is 99.7 GB)
        {100e9, 10, 20e9, 10e9},
        {100e9, 0, 20e9, 20e9},
        {100e9, 50, 2e9, 2e9},
        {10.2e9, 0, 0, 9.9e9},  // no limits: what is available less the 300 MB reserve
        {0.2e9, 0, 0, 500e9},   // 300 MB or less available: the volume itself
    };
    for (const Case& c : cases) {
        g_platform->fileHelper().fakeFreeSpace(c.available, 500e9);
        open("cache", "user", c.percent, false, c.maxSize);
        addRecord("at-limit", size_t(c.limit));
        repository->checkSize(true);
        EXPECT_FALSE(repository->isOfflineOrFull()) << c.limit;
        EXPECT_EQ(uint64_t(c.limit), repository->getTotalSize());
        addRecord("over", 1);
        repository->checkSize(true);
        EXPECT_TRUE(repository->isOfflineOrFull()) << c.limit;
    }
    EXPECT_EQ(6, handler.count("onVolumeFull"));

    double maxSize = 1;
    int maxPercent = 1;
    repository->setLimits(-5, -1);
    repository->getLimits(&maxSize, &maxPercent);
    EXPECT_EQ(0, maxSize);
    EXPECT_EQ(0, maxPercent);
    repository->getLimits(nullptr, nullptr);
}

TEST_F(VLRepositoryTest, FullIsCheckedAgainEveryThreeSecondsAndReportedOnce)
{
    g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
    open("cache", "user", 0, false, 1000);
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
    repository->update(); // deletes the removed record, checks at the next pass
    repository->update();
    EXPECT_FALSE(repository->isOfflineOrFull());
    EXPECT_EQ(2, handler.count("onVolumeFull"));
}

TEST_F(VLRepositoryTest, EvictionTakesTheLeastRecentlyUsedAndNewTracksLast)
{
    g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
    open("cache", "user", 0, true, 700);
    addRecord("played-long-ago", 300, 100, 2, 50);
    addRecord("played-recently", 300, 900, 1, 60);
    addRecord("never-played-old", 300, 0, 0, 70);
    addRecord("unknown-size", kUnknown, 0, 0, 10);
    VLRepositoryFile* fetching = addRecord("being-fetched", 300, 0, 0, 2000);
    ASSERT_TRUE(fetching->open(VLRepositoryFile::OPEN_PROVIDE));

    repository->checkSize(true);
    EXPECT_FALSE(repository->isOfflineOrFull()); // with auto-clean never full
    EXPECT_TRUE(repository->getFile(VLFileId("unknown-size", 6u), false)->isRemoved());
    EXPECT_TRUE(repository->getFile(VLFileId("never-played-old", 6u), false)->isRemoved());
    EXPECT_TRUE(repository->getFile(VLFileId("played-long-ago", 6u), false)->isRemoved());
    EXPECT_FALSE(repository->getFile(VLFileId("played-recently", 6u), false)->isRemoved());
    EXPECT_FALSE(fetching->isRemoved());

    // Open records are evicted too, but stay (and count) until closed.
    repository->setLimits(0, 100);
    repository->update();
    EXPECT_TRUE(fetching->isRemoved());
    EXPECT_EQ(fetching, repository->getFile(VLFileId("being-fetched", 6u), false));
    EXPECT_EQ(1u, repository->getFiles().size());
    repository->update();
    EXPECT_EQ(300u, repository->getTotalSize());
    ASSERT_TRUE(fetching->close(0));
    repository->update();
    EXPECT_TRUE(repository->getFiles().empty());
}

TEST_F(VLRepositoryTest, FindFilesMatchesFlagsAndDownloadStates)
{
    open();
    addRecord("a", 100)->setCustom(2);
    addRecord("b", 100)->setCustom(16);
    addRecord("c", 100)->remove();
    VLRepositoryFile* open = addRecord("d", 100);
    ASSERT_TRUE(open->open(0));

    std::list<VLRepositoryFile*> found;
    unsigned int count = 99;
    repository->findFiles(0, 0, &found, &count);
    EXPECT_EQ(3u, count);
    EXPECT_EQ(3u, found.size());
    repository->findFiles(0, 2 | 4, nullptr, &count);
    EXPECT_EQ(1u, count);
    repository->findFiles(VLRepositoryFile::FLAG_OPEN, 0, nullptr, &count);
    EXPECT_EQ(1u, count);
    repository->findFiles(VLRepositoryFile::FLAG_REMOVED, 0, nullptr, &count);
    EXPECT_EQ(0u, count);
    repository->findFiles(VLRepositoryFile::FLAG_OPEN | VLRepositoryFile::FLAG_NOT_EMPTY, 16, nullptr, &count);
    EXPECT_EQ(0u, count);
    repository->findFiles(0, 0, nullptr, nullptr);
    ASSERT_TRUE(open->close(0));
}

TEST_F(VLRepositoryTest, ClearAllDeletesEverythingButOpenFiles)
{
    open();
    VLRepositoryFile* kept = addStoredFile("kept", 5000);
    VLRepositoryFile* gone = addStoredFile("gone", 5000);
    std::string gonePath = repository->getFilePath(gone->getFileName());
    ASSERT_TRUE(kept->open(VLRepositoryFile::OPEN_LOCK));
    repository->clearAll();
    repository->update();
    EXPECT_EQ(1u, repository->getFiles().size());
    EXPECT_FALSE(kept->isRemoved());
    EXPECT_FALSE(TestFolder::exists(gonePath));
    EXPECT_TRUE(TestFolder::exists(repository->getFilePath(kept->getFileName())));
    repository->update(); // the request was used up
    EXPECT_EQ(1u, repository->getFiles().size());
    ASSERT_TRUE(kept->close(VLRepositoryFile::OPEN_LOCK));
}

// ---- Directory ----

TEST_F(VLRepositoryTest, AnUnwritableDirectoryIsReportedAndProbedAgain)
{
    ASSERT_TRUE(TestFolder::write(folder.file("blocker"), "x"));
    directory = folder.file("blocker") + "/cache"; // under a regular file
    open();
    EXPECT_TRUE(repository->isUnavailable());
    EXPECT_EQ(1, handler.count("onUnwritable", "cache"));
    repository->update();
    EXPECT_EQ(1, handler.count("onUnwritable"));

    unlink(folder.file("blocker").c_str());
    folder.folder("blocker");
    folder.folder("blocker/cache");
    repository->update();
    EXPECT_TRUE(repository->isUnavailable()); // not yet three seconds
    g_platform->advance(4);
    repository->update();
    EXPECT_FALSE(repository->isUnavailable());
    EXPECT_EQ(1, handler.count("onUnwritable"));
}

TEST_F(VLRepositoryTest, AnUnusableNewDirectoryKeepsEveryFile)
{
    open();
    VLRepositoryFile* file = addStoredFile("track", 10000);
    std::string path = repository->getFilePath(file->getFileName());
    ASSERT_TRUE(TestFolder::write(folder.file("blocker"), "x"));

    repository->setDirectory(folder.file("blocker") + "/music", false);
    EXPECT_EQ(directory, repository->getDirectory());
    repository->update();
    EXPECT_EQ(directory, repository->getDirectory());
    EXPECT_FALSE(file->isRemoved());
    EXPECT_TRUE(TestFolder::exists(path));
    EXPECT_EQ(1, handler.count("onUnwritable"));

    // A folder that does not exist yet is made.
    std::string fresh = folder.path() + "/fresh";
    repository->setDirectory(fresh, false);
    repository->update();
    EXPECT_EQ(fresh, repository->getDirectory());
    EXPECT_FALSE(file->isRemoved());
    EXPECT_TRUE(TestFolder::exists(fresh + "/" + file->getFileName()));
    EXPECT_TRUE(TestFolder::exists(fresh + "/" + file->getFileName() + ".part"));
    EXPECT_FALSE(TestFolder::exists(path));
}

TEST_F(VLRepositoryTest, AMoveToAnotherVolumeKeepsDownloadsAndDropsCachedBytes)
{
    // /dev/shm is a memory file system: another volume than the scratch folder's.
    char otherVolume[] = "/dev/shm/velora-move-XXXXXX";
    if (!mkdtemp(otherVolume))
        GTEST_SKIP() << "no /dev/shm here";
    std::string target = std::string(otherVolume) + "/downloads";
    if (VLPlatformFactory::instance()->getFileHelper()->isSameVolume(directory, otherVolume)) {
        rmdir(otherVolume);
        GTEST_SKIP() << "/dev/shm is on the scratch folder's volume here";
    }
    open("download");
    VLRepositoryFile* download = addStoredFile("downloaded", 10000);
    download->setCustom(16);
    addStoredFile("cached", 10000);
    std::string oldDownloadPath = repository->getFilePath(download->getFileName());

    repository->setDirectory(target, false);
    repository->update();

    EXPECT_EQ(target, repository->getDirectory());
    EXPECT_FALSE(download->isRemoved()) << "the user's download is carried over";
    EXPECT_EQ(std::string(10000, 0x5A), TestFolder::read(target + "/" + download->getFileName()));
    EXPECT_TRUE(TestFolder::exists(target + "/" + download->getFileName() + ".part"));
    EXPECT_FALSE(TestFolder::exists(oldDownloadPath));
    EXPECT_EQ(10000u, download->getLoaded());
    ASSERT_TRUE(download->open(0));
    char byte = 0;
    size_t read = 0;
    bool end = false;
    EXPECT_TRUE(download->read(&byte, 9999, 1, &read, &end));
    EXPECT_EQ(1u, read);
    EXPECT_EQ(0x5A, byte);
    EXPECT_TRUE(download->close(0));
    // Cached bytes are dropped (fetched again when wanted): the record went
    // with the same pass.
    EXPECT_EQ(nullptr, repository->getFile(VLFileId("cached", 6u), false));
    EXPECT_EQ(1, handler.count("onFilesRemoved"));

    repository->close();
    repository.reset();
    std::string remove = std::string("rm -rf ") + otherVolume;
    EXPECT_EQ(0, system(remove.c_str()));
}

// ---- Index ----

TEST_F(VLRepositoryTest, TheIndexKeepsEveryColumn)
{
    open();
    const size_t bigSize = (size_t(5) << 30) + 123; // above 4 GiB
    VLFileId bigId("big", 30u);
    VLRepositoryFile* big = new VLRepositoryFile(repository.get(), "user", bigId, &provider, &handler,
                                                 repository->makeFileName(bigId), bigSize, size_t(3) << 30, "\"e1\"",
                                                 "{\"title\":\"é\"}", "opaque|data", 7, 16, 1700000000, 1700000100,
                                                 4000000000u, 1700000200);
    repository->getFiles()[bigId] = big;
    VLFileId negativeId("negative", 5u);
    repository->getFiles()[negativeId] = new VLRepositoryFile(repository.get(), "user", negativeId, &provider,
                                                              &handler, repository->makeFileName(negativeId), kUnknown,
                                                              0, "", "", "", -1, -1, 0, 0, 0, 0);
    // The big file's content and bitmap exist at their lengths (sparse).
    std::string content = repository->getFilePath(big->getFileName());
    ASSERT_TRUE(TestFolder::write(content, ""));
    ASSERT_EQ(0, truncate(content.c_str(), off_t(bigSize)));
    std::string bitmap = repository->getBitmapPath(big->getFileName());
    ASSERT_TRUE(TestFolder::write(bitmap, ""));
    ASSERT_EQ(0, truncate(bitmap.c_str(), off_t(getBitmapSize(bigSize))));
    repository->close();

    {
        TestDatabase db(dbPath());
        EXPECT_EQ((std::vector<std::string>{"-1|-1|-1|0"}),
                  db.rows("SELECT size, position, custom, total_lock_count FROM files WHERE entity_id = 'negative'"));
        // The lock count is stored as a signed 32-bit value, like the others.
        EXPECT_EQ((std::vector<std::string>{"cache|user|30|5368709243|3221225472|-294967296"}),
                  db.rows("SELECT repository, identity, format_id, size, loaded, total_lock_count FROM files "
                          "WHERE entity_id = 'big'"));
    }

    handler.clear();
    open();
    EXPECT_EQ(2, handler.count("onFilesAdded"));
    VLRepositoryFile* loaded = repository->getFile(bigId, false);
    ASSERT_NE(nullptr, loaded);
    EXPECT_EQ(bigSize, loaded->getSize());
    EXPECT_EQ(size_t(3) << 30, loaded->getLoaded());
    EXPECT_EQ("\"e1\"", loaded->getEtag());
    EXPECT_EQ("{\"title\":\"é\"}", loaded->getMetadata());
    EXPECT_EQ("opaque|data", loaded->getProviderData());
    EXPECT_EQ(7, loaded->getPosition());
    EXPECT_EQ(16, loaded->getCustom());
    EXPECT_EQ(1700000000, loaded->getLastValidation());
    EXPECT_EQ(1700000100, loaded->getLastOpen());
    EXPECT_EQ(4000000000u, loaded->getTotalLockCount());
    EXPECT_EQ(1700000200, loaded->getLastAdd());
    EXPECT_EQ(repository->makeFileName(bigId), loaded->getFileName());
    VLRepositoryFile* negative = repository->getFile(negativeId, false);
    ASSERT_NE(nullptr, negative);
    EXPECT_EQ(kUnknown, negative->getSize());
    EXPECT_EQ(-1, negative->getPosition());
    EXPECT_EQ(-1, negative->getCustom());
}

TEST_F(VLRepositoryTest, OlderTablesAreUpgraded)
{
    {
        TestDatabase db(dbPath("cache"));
        // The first table had no provider_data; the second no lock count or last add.
        auto table = [](const char* providerData) {
            return std::string("CREATE TABLE \"files\" ( \"repository\" VARCHAR NOT NULL, \"identity\" VARCHAR NOT "
                               "NULL, \"entity_id\" VARCHAR NOT NULL, \"format_id\" INTEGER NOT NULL, \"size\" INTEGER "
                               "NOT NULL, \"loaded\" INTEGER NOT NULL, \"etag\" VARCHAR NOT NULL, \"file_name\" VARCHAR "
                               "UNIQUE NOT NULL, \"metadata\" VARCHAR NOT NULL, ")
                + providerData
                + "\"position\" INTEGER NOT NULL, \"custom\" INTEGER NOT NULL, \"last_validation\" INTEGER NOT "
                  "NULL, \"last_open\" INTEGER NOT NULL, PRIMARY KEY (repository, identity, entity_id, format_id))";
        };
        ASSERT_TRUE(db.exec(table("")));
        ASSERT_TRUE(db.exec("INSERT INTO files VALUES ('cache', 'user', 'old', 6, -1, 0, '', "
                "'0123456789abcdef0123456789abcdef', 'meta', 3, 2, 10, 20)"));
        TestDatabase download(dbPath("download"));
        ASSERT_TRUE(download.exec(table("\"provider_data\" VARCHAR NOT NULL, ")));
        ASSERT_TRUE(download.exec("INSERT INTO files VALUES ('download', 'user', 'mid', 5, -1, 0, '', "
                      "'fedcba9876543210fedcba9876543210', 'm', 'pd', -1, 16, 10, 20)"));
    }
    open("cache");
    VLRepositoryFile* old = repository->getFile(VLFileId("old", 6u), false);
    ASSERT_NE(nullptr, old);
    EXPECT_EQ("", old->getProviderData());
    EXPECT_EQ(0u, old->getTotalLockCount());
    EXPECT_EQ(0, old->getLastAdd());
    EXPECT_EQ("meta", old->getMetadata());
    EXPECT_EQ(3, old->getPosition());
    repository->close();
    EXPECT_EQ(1u, TestDatabase(dbPath("cache")).rows("SELECT provider_data, total_lock_count, last_add FROM files").size());

    open("download");
    VLRepositoryFile* mid = repository->getFile(VLFileId("mid", 5u), false);
    ASSERT_NE(nullptr, mid);
    EXPECT_EQ("pd", mid->getProviderData());
    EXPECT_EQ(0u, mid->getTotalLockCount());
    EXPECT_EQ(16, mid->getCustom());
}

TEST_F(VLRepositoryTest, SyncDropsRowsWhoseFilesDoNotMatch)
{
    open();
    addStoredFile("intact", 5000);
    VLRepositoryFile* truncated = addStoredFile("truncated", 5000);
    VLRepositoryFile* badBitmap = addStoredFile("bad-bitmap", 5000);
    addRecord("unsized", kUnknown);
    addRecord("empty", 0);
    addRecord("missing", 1);
    std::string truncatedPath = repository->getFilePath(truncated->getFileName());
    std::string bitmapPath = repository->getBitmapPath(badBitmap->getFileName());
    repository->close();
    ASSERT_EQ(0, truncate(truncatedPath.c_str(), 100));
    ASSERT_TRUE(TestFolder::write(bitmapPath, "toolong"));

    open();
    std::vector<std::string> kept;
    for (auto& entry : repository->getFiles())
        kept.push_back(entry.first.getEntityId());
    EXPECT_EQ((std::vector<std::string>{"empty", "intact", "unsized"}), kept);
}

TEST_F(VLRepositoryTest, RowsOfOthersAndUnreadableRowsAreLeftAlone)
{
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
    EXPECT_EQ(nullptr, repository->getFile(VLFileId("odd-format", 6u), false));
    addRecord("new", kUnknown);
    saveNow();
    repository->close();
    TestDatabase db(dbPath());
    EXPECT_EQ((std::vector<std::string>{"cache|someone|theirs", "cache|user|mine", "cache|user|new",
                                        "cache|user|odd-format", "cache|user|odd-name", "import|user|other-repo"}),
              db.rows("SELECT repository, identity, entity_id FROM files ORDER BY repository, identity, entity_id"));
}

TEST_F(VLRepositoryTest, SavesComeEveryMinuteAndDropRowsOfDeletedFiles)
{
    open();
    addStoredFile("a", 100);
    VLRepositoryFile* b = addStoredFile("b", 100);
    g_platform->advance(59);
    repository->update();
    EXPECT_TRUE(TestDatabase(dbPath()).rows("SELECT entity_id FROM files").empty());
    g_platform->advance(2);
    repository->update();
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), TestDatabase(dbPath()).rows("SELECT entity_id FROM files ORDER BY 1"));

    // Removed but still open: written like any other until deleted.
    ASSERT_TRUE(b->open(0));
    b->remove();
    saveNow();
    EXPECT_EQ(2u, TestDatabase(dbPath()).rows("SELECT entity_id FROM files").size());
    ASSERT_TRUE(b->close(0));
    saveNow();
    EXPECT_EQ((std::vector<std::string>{"a"}), TestDatabase(dbPath()).rows("SELECT entity_id FROM files"));
}

TEST_F(VLRepositoryTest, RemovedRecordsAreNotWrittenBackAtClose)
{
    g_platform->fileHelper().fakeFreeSpace(100 * GB, 500 * GB);
    open("cache", "user", 0, true, 0);
    VLRepositoryFile* passed = addStoredFile("a", 5000);
    VLRepositoryFile* kept = addStoredFile("b", 5000);
    VLRepositoryFile* evicted = addStoredFile("c", 5000);
    saveNow();
    ASSERT_TRUE(evicted->open(VLRepositoryFile::OPEN_LOCK));
    evicted->remove();
    // Cleaning the removed record at close checks the size against this new
    // limit and evicts "a", which the close has already walked past.
    repository->setLimits(0, 6000);
    std::string paths[] = {repository->getFilePath(passed->getFileName()),
                           repository->getFilePath(kept->getFileName()),
                           repository->getFilePath(evicted->getFileName())};
    repository->close();
    EXPECT_FALSE(TestFolder::exists(paths[0]));
    EXPECT_TRUE(TestFolder::exists(paths[1]));
    EXPECT_FALSE(TestFolder::exists(paths[2]));
    EXPECT_EQ((std::vector<std::string>{"b"}), TestDatabase(dbPath()).rows("SELECT entity_id FROM files"));
}

TEST_F(VLRepositoryTest, AFailedSaveIsRolledBackAndTheNextOneWorks)
{
    open();
    addStoredFile("a", 100);
    saveNow();
    addStoredFile("b", 100);
    {
        TestDatabase other(dbPath());
        ASSERT_TRUE(other.exec("BEGIN IMMEDIATE")); // holds the write lock past the busy timeout
        saveNow();
        ASSERT_TRUE(other.exec("ROLLBACK"));
    }
    EXPECT_EQ((std::vector<std::string>{"a"}), TestDatabase(dbPath()).rows("SELECT entity_id FROM files ORDER BY 1"));
    saveNow();
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), TestDatabase(dbPath()).rows("SELECT entity_id FROM files ORDER BY 1"));
}

TEST_F(VLRepositoryTest, ACorruptOrLockedIndexLosesNoRow)
{
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

    // Not a database at all.
    std::string garbage(8192, 'x');
    ASSERT_TRUE(TestFolder::write(dbPath(), garbage));
    open();
    EXPECT_TRUE(repository->getFiles().empty());
    repository->close();
    EXPECT_EQ(garbage, TestFolder::read(dbPath()));

    // A damaged page inside a real database.
    ASSERT_TRUE(TestFolder::write(dbPath(), saved.substr(0, 4096) + std::string(saved.size() - 4096, '\xff')));
    open();
    repository->update();
    repository->close();
}

TEST_F(VLRepositoryTest, MainThreadSettingsMeetAWorkerThatIsRunning)
{
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
        if (i % 500 == 0)
            repository->clearAll();
    }
    stop = true;
    worker.join();
    repository->update();
    EXPECT_TRUE(repository->getFiles().empty());
}
