#include "VLRepositoryFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "TestFolder.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
#include "VLRepository.h"

namespace {

// The test clock must be behind the core before anything asks for the factory.
TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const size_t kUnknown = VLRepositoryFile::UNKNOWN_SIZE;
const size_t kFailed = SIZE_MAX;
const size_t kUntouched = SIZE_MAX - 1;
typedef VLHttpRepositoryProvider Provider;

std::vector<uint8_t> pattern(size_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t((offset + i) * 7 + ((offset + i) >> 12) * 13);
    return bytes;
}

// A provider whose transfer state the test sets, recording what the file asks.
class ScriptedProvider : public VLHttpRepositoryProvider
{
public:
    struct Range
    {
        size_t offset;
        size_t length;
    };

    bool canStart(const std::string& url, VLRepository*, const VLFileId&) override
    {
        return state == TRANSFER_NONE && allowStart;
    }
    bool start(const std::string& url, VLRepository*, const VLFileId&, size_t offset, size_t length) override
    {
        starts.push_back(Range{offset, length});
        if (!startSucceeds)
            return false;
        state = TRANSFER_STARTED;
        return true;
    }
    bool seek(VLRepository*, const VLFileId&, size_t offset, size_t length) override
    {
        seeks.push_back(Range{offset, length});
        return true;
    }
    bool getState(VLRepository*, const VLFileId&, bool release, int* reported) override
    {
        *reported = int(state);
        if (release && (state == TRANSFER_FAILED || state == TRANSFER_FAILED_RETRYABLE || state == TRANSFER_FINISHED))
            state = TRANSFER_NONE;
        return true;
    }
    bool cancel(VLRepository*, const VLFileId&) override
    {
        ++cancels;
        if (state == TRANSFER_NONE)
            return false;
        state = TRANSFER_NONE;
        return true;
    }

    uint32_t state = TRANSFER_NONE;
    bool allowStart = true;
    bool startSucceeds = true;
    int cancels = 0;
    std::vector<Range> starts;
    std::vector<Range> seeks;
};

class VLRepositoryFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        platform = g_platform;
        platform->setTime(1000);
        platform->fileHelper().useRealFreeSpace();
        repository.reset(new VLRepository(&handler, &provider, "cache", "user", 604800, folder.path(),
                                          folder.folder("files"), 0, false, 0));
    }

    void TearDown() override
    {
        repository->close();
        repository.reset();
    }

    VLRepositoryFile* makeFile(const std::string& entity = "track")
    {
        return repository->getFile(VLFileId(entity, 6u), true);
    }

    // A file of the given size whose listed blocks hold the pattern.
    VLRepositoryFile* makeSizedFile(size_t size, std::initializer_list<size_t> blocks, const std::string& entity = "track")
    {
        VLRepositoryFile* file = makeFile(entity);
        EXPECT_TRUE(file->open(0));
        EXPECT_TRUE(file->setContent(size, "v1"));
        for (size_t block : blocks)
            writeBlock(file, block);
        return file;
    }

    // Gives the file a URL, opens it for providing and runs the pass that
    // starts its first transfer.
    void startProviding(VLRepositoryFile* file)
    {
        file->setUrl("http://example.invalid/track");
        ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
        ASSERT_TRUE(file->update());
    }

    // Reads into a scratch buffer: the bytes that came, or kFailed when the
    // read was refused (kUntouched when it succeeded without saying).
    size_t readCount(VLRepositoryFile* file, size_t offset, size_t length)
    {
        std::vector<uint8_t> out(length);
        size_t done = kUntouched;
        return file->read(out.data(), offset, length, &done, nullptr) ? done : kFailed;
    }

    void writeBlock(VLRepositoryFile* file, size_t block)
    {
        size_t offset = block * kBlock;
        size_t length = std::min(kBlock, file->getSize() - offset);
        std::vector<uint8_t> bytes = pattern(offset, length);
        size_t done = 0;
        ASSERT_TRUE(file->write(bytes.data(), offset, length, &done));
        ASSERT_EQ(length, done);
    }

    TestPlatform* platform = nullptr;
    TestFolder folder;
    TestRepositoryHandler handler;
    ScriptedProvider provider;
    std::unique_ptr<VLRepository> repository;
};

} // namespace

TEST_F(VLRepositoryFileTest, NewRecordIsNamedByDigestAndReported)
{
    VLRepositoryFile* file = makeFile();
    EXPECT_EQ(repository->makeFileName(VLFileId("track", 6u)), file->getFileName());
    EXPECT_TRUE(VLRepository::isValidFileName(file->getFileName()));
    EXPECT_EQ(kUnknown, file->getSize());
    EXPECT_EQ(-1, file->getPosition());
    EXPECT_EQ(1, handler.count("onFilesAdded", "track_6"));
    // Nothing is created on disk until the first open.
    EXPECT_FALSE(TestFolder::exists(repository->getFilePath(file->getFileName())));
    EXPECT_EQ(VLRepositoryFile::FLAG_NOT_EMPTY, file->getFlags());

    // Removal is reported once; a re-adding open takes the record back.
    EXPECT_TRUE(file->remove());
    EXPECT_TRUE(file->remove());
    EXPECT_EQ(1, handler.count("onFilesRemoved"));
    EXPECT_TRUE(file->isRemovedAndClosed());
    EXPECT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_REMOVED);
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_READD));
    EXPECT_FALSE(file->isRemoved());
    EXPECT_EQ(2, handler.count("onFilesAdded"));
    ASSERT_TRUE(file->close(0));
    file->setCustom(4);
    file->setCustom(4);
    EXPECT_EQ(1, handler.count("onDownloadStatesChanged"));
}

TEST_F(VLRepositoryFileTest, OpensLocksAndProvidesAreCounted)
{
    VLRepositoryFile* file = makeFile();
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_LOCK));
    EXPECT_EQ(1u, file->getTotalLockCount());
    EXPECT_NE(0, file->getLastOpen());
    int flags = file->getFlags();
    EXPECT_TRUE(flags & VLRepositoryFile::FLAG_OPEN);
    EXPECT_TRUE(flags & VLRepositoryFile::FLAG_LOCKED);
    EXPECT_TRUE(flags & VLRepositoryFile::FLAG_PROVIDING);
    EXPECT_TRUE(TestFolder::exists(repository->getFilePath(file->getFileName())));
    EXPECT_TRUE(TestFolder::exists(repository->getBitmapPath(file->getFileName())));

    ASSERT_TRUE(file->close(VLRepositoryFile::OPEN_LOCK));
    EXPECT_TRUE(file->isOpen());
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_LOCKED);
    EXPECT_FALSE(file->close(VLRepositoryFile::OPEN_LOCK)); // no lock left
    EXPECT_TRUE(file->isOpen());
    // The last close cancels the running transfer.
    provider.state = Provider::TRANSFER_RECEIVING;
    ASSERT_TRUE(file->close(0));
    EXPECT_EQ(1, provider.cancels);
    EXPECT_EQ(uint32_t(Provider::TRANSFER_NONE), provider.state);
    EXPECT_FALSE(file->isOpen());
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
    EXPECT_FALSE(file->close(0));

    // The last close while a reader still holds a lock is refused and
    // changes nothing: the reader's close still works, and so do new opens.
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_LOCK));
    EXPECT_FALSE(file->close(0));
    EXPECT_TRUE(file->isOpen());
    ASSERT_TRUE(file->open(0));
    ASSERT_TRUE(file->close(VLRepositoryFile::OPEN_LOCK));
    ASSERT_TRUE(file->close(0));
    EXPECT_FALSE(file->isOpen());
}

TEST_F(VLRepositoryFileTest, ReadsStopAtMissingBlocksAndRecordRequests)
{
    const size_t size = 5 * kBlock + 1000;
    VLRepositoryFile* file = makeSizedFile(size, {0, 1, 3, 5});
    std::vector<uint8_t> out(size);
    size_t done = 99;
    bool eof = true;

    ASSERT_TRUE(file->read(out.data(), 100, 2 * kBlock - 100, &done, &eof));
    EXPECT_EQ(2 * kBlock - 100, done);
    EXPECT_FALSE(eof);
    EXPECT_EQ(pattern(100, done), std::vector<uint8_t>(out.begin(), out.begin() + done));
    EXPECT_FALSE(file->isSeekWaiting(nullptr));

    // Into the missing block 2: the present part, and a request from the
    // read's first block covering the whole read.
    ASSERT_TRUE(file->read(out.data(), kBlock + 10, 2 * kBlock, &done, &eof));
    EXPECT_EQ(kBlock - 10, done);
    size_t waiting = 0;
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(kBlock, waiting);

    // The last partial block ends the file.
    ASSERT_TRUE(file->read(out.data(), 5 * kBlock + 500, 5000, &done, &eof));
    EXPECT_EQ(500u, done);
    EXPECT_TRUE(eof);
    EXPECT_EQ(pattern(5 * kBlock + 500, 500), std::vector<uint8_t>(out.begin(), out.begin() + 500));

    // At or past the end, or of length 0: nothing, and the end-of-file output untouched.
    eof = false;
    ASSERT_TRUE(file->read(out.data(), size, 10, &done, &eof));
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(eof);
    ASSERT_TRUE(file->read(out.data(), 0, 0, &done, &eof));
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(eof);
}

TEST_F(VLRepositoryFileTest, WritesStoreWholeBlocksAndTheLastPartialOne)
{
    const size_t size = 3 * kBlock + 100;
    VLRepositoryFile* file = makeSizedFile(size, {});
    std::vector<uint8_t> bytes = pattern(0, size);
    size_t done = 0;

    // Ends inside a block short of the end: only the whole blocks.
    ASSERT_TRUE(file->write(bytes.data(), 0, kBlock + 50, &done));
    EXPECT_EQ(kBlock, done);
    // Ends exactly at the end: the partial last block too.
    ASSERT_TRUE(file->write(bytes.data() + 2 * kBlock, 2 * kBlock, kBlock + 100, &done));
    EXPECT_EQ(kBlock + 100, done);
    // Beyond the end: clamped.
    ASSERT_TRUE(file->write(bytes.data(), size, 10, &done));
    EXPECT_EQ(0u, done);
    // Not on a block boundary: refused.
    EXPECT_FALSE(file->write(bytes.data(), 10, kBlock, &done));

    ASSERT_TRUE(file->refreshLoaded());
    EXPECT_EQ(2 * kBlock + 100, file->getLoaded());
    std::list<unsigned long> present;
    ASSERT_TRUE(file->getIntervals(true, present));
    EXPECT_EQ((std::list<unsigned long>{0, kBlock - 1, 2 * kBlock, size - 1}), present);
    std::list<unsigned long> missing;
    ASSERT_TRUE(file->getIntervals(false, missing));
    EXPECT_EQ((std::list<unsigned long>{kBlock, 2 * kBlock - 1}), missing);
}

TEST_F(VLRepositoryFileTest, NothingIsPresentWhileTheSizeIsUnknown)
{
    VLRepositoryFile* file = makeFile();
    std::vector<uint8_t> out(kBlock);
    size_t done = 5;
    EXPECT_FALSE(file->read(out.data(), 0, 100, &done, nullptr)); // not open
    EXPECT_FALSE(file->write(out.data(), 0, 100, &done));
    ASSERT_TRUE(file->open(0));
    ASSERT_TRUE(file->read(out.data(), 100, 50, &done, nullptr));
    EXPECT_EQ(0u, done);
    size_t waiting = 1;
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(0u, waiting);
    ASSERT_TRUE(file->write(out.data(), 0, kBlock, &done));
    EXPECT_EQ(0u, done);
    std::list<unsigned long> intervals;
    EXPECT_FALSE(file->getIntervals(true, intervals));
    EXPECT_TRUE(intervals.empty());
    bool loaded = true;
    ASSERT_TRUE(file->isRangeLoaded(0, 10, &loaded));
    EXPECT_FALSE(loaded);
}

TEST_F(VLRepositoryFileTest, SetContentResizesOrClearsAndIsRefusedWhileLocked)
{
    VLRepositoryFile* file = makeSizedFile(10000, {0, 1, 2});
    ASSERT_TRUE(file->refreshLoaded());
    EXPECT_EQ(10000u, file->getLoaded());
    EXPECT_EQ(1, handler.count("onFileStatesChanged"));
    handler.clear();

    // The same size and no validator: nothing happens.
    ASSERT_TRUE(file->setContent(10000, ""));
    ASSERT_TRUE(file->setContent(kUnknown, "v1"));
    EXPECT_EQ(10000u, file->getLoaded());
    EXPECT_EQ(0, handler.count("onFileProgressesChanged"));

    // A new validator only: the bitmap is cleared, the bytes are kept.
    std::string path = repository->getFilePath(file->getFileName());
    ASSERT_TRUE(file->setContent(10000, "v2"));
    EXPECT_EQ("v2", file->getEtag());
    EXPECT_EQ(0u, file->getLoaded());
    EXPECT_EQ(1, handler.count("onFileProgressesChanged"));
    EXPECT_EQ(0u, readCount(file, 0, 100));
    std::string stored = TestFolder::read(path);
    EXPECT_EQ(pattern(0, 100), std::vector<uint8_t>(stored.begin(), stored.begin() + 100));

    // A new size: both files take their new lengths.
    ASSERT_TRUE(file->setContent(70000, "v2"));
    EXPECT_EQ(70000u, TestFolder::sizeOf(path));
    EXPECT_EQ(getBitmapSize(70000), TestFolder::sizeOf(repository->getBitmapPath(file->getFileName())));

    // Refused while a reader holds a lock.
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_LOCK));
    EXPECT_FALSE(file->setContent(80000, "v2"));
    EXPECT_FALSE(file->setContent(70000, "v3"));
    EXPECT_TRUE(file->setContent(70000, "v2"));
    EXPECT_EQ(70000u, file->getSize());
    ASSERT_TRUE(file->close(VLRepositoryFile::OPEN_LOCK));
}

TEST_F(VLRepositoryFileTest, FirstOpenRepairsFilesThatLostTheirRecordedLength)
{
    VLRepositoryFile* file = makeSizedFile(3 * kBlock, {0, 1, 2});
    ASSERT_TRUE(file->close(0));
    EXPECT_EQ(3 * kBlock, file->getLoaded());
    std::string content = repository->getFilePath(file->getFileName());
    std::string bitmap = repository->getBitmapPath(file->getFileName());

    // Cut behind our back: the bitmap still claims every block.
    ASSERT_EQ(0, truncate(content.c_str(), 100));
    ASSERT_TRUE(file->open(0));
    EXPECT_EQ(3 * kBlock, TestFolder::sizeOf(content));
    EXPECT_EQ(0u, file->getLoaded());
    EXPECT_EQ(0u, readCount(file, 0, 3 * kBlock));
    ASSERT_TRUE(file->close(0));

    // Both files gone.
    unlink(content.c_str());
    unlink(bitmap.c_str());
    ASSERT_TRUE(file->open(0));
    EXPECT_EQ(0u, readCount(file, 2 * kBlock, kBlock));
    writeBlock(file, 2);
    EXPECT_EQ(kBlock, readCount(file, 2 * kBlock, kBlock));
    ASSERT_TRUE(file->close(0));
}

TEST_F(VLRepositoryFileTest, ReadRequestsExpireAfterFiveSeconds)
{
    VLRepositoryFile* file = makeSizedFile(10 * kBlock, {});
    ASSERT_NE(kFailed, readCount(file, 2 * kBlock + 5, 100));
    platform->advance(2);
    ASSERT_NE(kFailed, readCount(file, kBlock, 5000));
    ASSERT_NE(kFailed, readCount(file, kBlock, 100));

    size_t waiting = 0;
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(kBlock, waiting); // the smallest offset, then the shortest
    platform->advance(3);       // the first request is exactly 5 s old: kept
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(kBlock, waiting);
    platform->advance(2);       // the later two are 5 s old, the first is gone
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(kBlock, waiting);
    platform->advance(1);
    EXPECT_FALSE(file->isSeekWaiting(&waiting));

    // A request whose range is present clears every request.
    ASSERT_NE(kFailed, readCount(file, 8 * kBlock, 100));
    ASSERT_NE(kFailed, readCount(file, 3 * kBlock, 100));
    writeBlock(file, 3);
    EXPECT_FALSE(file->isSeekWaiting(&waiting));
    writeBlock(file, 8);
    EXPECT_FALSE(file->isSeekWaiting(&waiting));
}

TEST_F(VLRepositoryFileTest, IntervalsCountFromTheBlockOfTheOffset)
{
    VLRepositoryFile* file = makeSizedFile(10000, {1});
    size_t run = 0;
    ASSERT_TRUE(file->getInterval(5000, 100, true, &run));
    EXPECT_EQ(kBlock, run);
    ASSERT_TRUE(file->getInterval(0, kUnknown, true, &run));
    EXPECT_EQ(0u, run);
    ASSERT_TRUE(file->getInterval(0, kUnknown, false, &run));
    EXPECT_EQ(kBlock, run);

    // A range that crosses into a missing block is not loaded.
    bool loaded = true;
    ASSERT_TRUE(file->isRangeLoaded(kBlock + 4000, 200, &loaded));
    EXPECT_FALSE(loaded);
    ASSERT_TRUE(file->isRangeLoaded(kBlock + 4000, 96, &loaded));
    EXPECT_TRUE(loaded);
    writeBlock(file, 2);
    ASSERT_TRUE(file->isRangeLoaded(kBlock + 4000, kUnknown, &loaded));
    EXPECT_TRUE(loaded);

    // On a closed record the check opens and closes it again.
    ASSERT_TRUE(file->close(0));
    ASSERT_TRUE(file->isRangeLoaded(kBlock, 2 * kBlock, &loaded));
    EXPECT_TRUE(loaded);
    EXPECT_FALSE(file->isOpen());
    std::list<unsigned long> intervals;
    EXPECT_FALSE(file->getIntervals(true, intervals)); // the bitmap is not open
}

TEST_F(VLRepositoryFileTest, FlagsFollowSizeAndCompletion)
{
    VLRepositoryFile* empty = makeSizedFile(0, {}, "empty");
    EXPECT_EQ(VLRepositoryFile::FLAG_COMPLETE | VLRepositoryFile::FLAG_OPEN, empty->getFlags());
    ASSERT_TRUE(empty->close(0));
    EXPECT_EQ(VLRepositoryFile::FLAG_COMPLETE, empty->getFlags());

    VLRepositoryFile* file = makeSizedFile(2 * kBlock, {0});
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
    writeBlock(file, 1);
    EXPECT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
    ASSERT_TRUE(file->close(0));
    EXPECT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_COMPLETE);
}

TEST_F(VLRepositoryFileTest, CleanDeletesTheFilesOfRemovedRecordsOnly)
{
    VLRepositoryFile* kept = makeSizedFile(kBlock, {0}, "kept");
    ASSERT_TRUE(kept->open(VLRepositoryFile::OPEN_LOCK));
    kept->clean();
    EXPECT_FALSE(kept->isOpen());
    EXPECT_TRUE(TestFolder::exists(repository->getFilePath(kept->getFileName())));

    VLRepositoryFile* gone = makeSizedFile(kBlock, {0}, "gone");
    gone->remove();
    gone->clean();
    EXPECT_FALSE(TestFolder::exists(repository->getFilePath(gone->getFileName())));
    EXPECT_FALSE(TestFolder::exists(repository->getBitmapPath(gone->getFileName())));
}

TEST_F(VLRepositoryFileTest, MoveRenamesOnOneVolumeAndDropsOtherwise)
{
    VLRepositoryFile* file = makeSizedFile(2 * kBlock, {0, 1});
    VLRepositoryFile* unsized = makeFile("unsized");
    std::string oldPath = repository->getFilePath(file->getFileName());

    repository->setDirectory(folder.folder("second"), true);
    EXPECT_FALSE(TestFolder::exists(oldPath));
    EXPECT_TRUE(file->isOpen());
    EXPECT_FALSE(file->isRemoved());
    std::vector<uint8_t> out(2 * kBlock);
    size_t done = 0;
    ASSERT_TRUE(file->read(out.data(), 0, 2 * kBlock, &done, nullptr));
    EXPECT_EQ(2 * kBlock, done);
    EXPECT_EQ(pattern(0, 2 * kBlock), out);
    EXPECT_FALSE(unsized->isRemoved()); // nothing stored, nothing lost

    // Another volume: the content is dropped, the open record gets empty
    // files at its length.
    std::string secondPath = repository->getFilePath(file->getFileName());
    file->move(false);
    EXPECT_TRUE(file->isRemoved());
    EXPECT_EQ(0u, file->getLoaded());
    EXPECT_TRUE(file->isOpen());
    EXPECT_EQ(2 * kBlock, TestFolder::sizeOf(secondPath));
    ASSERT_TRUE(file->read(out.data(), 0, kBlock, &done, nullptr));
    EXPECT_EQ(0u, done);
    unsized->move(false);
    EXPECT_FALSE(unsized->isRemoved());
}

// ---- Fetch scheduling ----

TEST_F(VLRepositoryFileTest, StartsFromTheFirstMissingByteOrTheWaitingReader)
{
    VLRepositoryFile* file = makeFile();
    startProviding(file);
    ASSERT_EQ(1u, provider.starts.size());
    EXPECT_EQ(0u, provider.starts[0].offset);
    EXPECT_EQ(kUnknown, provider.starts[0].length);

    // Sized with blocks 0 and 1 present: the next transfer asks for the missing run.
    ASSERT_TRUE(file->setContent(8 * kBlock, "v1"));
    writeBlock(file, 0);
    writeBlock(file, 1);
    writeBlock(file, 5);
    provider.state = Provider::TRANSFER_FINISHED;
    ASSERT_TRUE(file->update());
    ASSERT_EQ(2u, provider.starts.size());
    EXPECT_EQ(2 * kBlock, provider.starts[1].offset);
    EXPECT_EQ(3 * kBlock, provider.starts[1].length);

    // A reader waiting in block 1 (present) up into block 2 (missing): the
    // transfer starts at the first missing block, not at an empty range.
    provider.state = Provider::TRANSFER_NONE;
    EXPECT_EQ(kBlock - 100, readCount(file, kBlock + 100, kBlock));
    writeBlock(file, 2);
    writeBlock(file, 3);
    ASSERT_NE(kFailed, readCount(file, 3 * kBlock, 2 * kBlock));
    ASSERT_TRUE(file->update());
    ASSERT_EQ(3u, provider.starts.size());
    EXPECT_EQ(4 * kBlock, provider.starts[2].offset);
    EXPECT_EQ(kBlock, provider.starts[2].length);
}

TEST_F(VLRepositoryFileTest, RetryableFailuresWaitLongerEachTimeAndEndAfterSixteen)
{
    VLRepositoryFile* file = makeFile();
    startProviding(file);
    ASSERT_EQ(1u, provider.starts.size());

    for (int failure = 1; failure <= 16; ++failure) {
        provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
        ASSERT_TRUE(file->update());
        // 4, 8, ... seconds, never more than five minutes.
        double delay = std::min(double(2 << failure), 300.0);
        platform->advance(delay - 0.5);
        ASSERT_TRUE(file->update());
        ASSERT_EQ(size_t(failure), provider.starts.size()) << "restarted early after failure " << failure;
        platform->advance(1);
        ASSERT_TRUE(file->update());
        ASSERT_EQ(size_t(failure + 1), provider.starts.size()) << "not restarted after failure " << failure;
    }
    provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
    ASSERT_TRUE(file->update());
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
    platform->advance(1e6);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(17u, provider.starts.size());

    // A new providing open starts again from zero retries.
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(file->update());
    EXPECT_EQ(18u, provider.starts.size());
}

TEST_F(VLRepositoryFileTest, AWaitingReaderRetriesAtOnceAndFinalFailuresStop)
{
    VLRepositoryFile* file = makeSizedFile(4 * kBlock, {});
    startProviding(file);
    provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
    ASSERT_TRUE(file->update());
    ASSERT_NE(kFailed, readCount(file, 2 * kBlock, 100));
    ASSERT_TRUE(file->update());
    ASSERT_EQ(2u, provider.starts.size());
    EXPECT_EQ(2 * kBlock, provider.starts[1].offset);

    provider.state = Provider::TRANSFER_FAILED;
    ASSERT_TRUE(file->update());
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
}

TEST_F(VLRepositoryFileTest, FinishedTransfersThatStoreNothingAreRetriedLikeFailures)
{
    VLRepositoryFile* file = makeSizedFile(4 * kBlock, {});
    startProviding(file);
    ASSERT_EQ(1u, provider.starts.size());
    provider.state = Provider::TRANSFER_FINISHED;
    ASSERT_TRUE(file->update());
    ASSERT_TRUE(file->update());
    EXPECT_EQ(1u, provider.starts.size()); // waits like a failure
    platform->advance(5);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(2u, provider.starts.size());

    // A transfer that stored something is followed at once by the next one.
    writeBlock(file, 0);
    provider.state = Provider::TRANSFER_FINISHED;
    ASSERT_TRUE(file->update());
    ASSERT_EQ(3u, provider.starts.size());
    EXPECT_EQ(kBlock, provider.starts[2].offset);
}

TEST_F(VLRepositoryFileTest, OfflineCancelsAndStartsNothing)
{
    VLRepositoryFile* file = makeSizedFile(4 * kBlock, {});
    startProviding(file);
    provider.state = Provider::TRANSFER_RECEIVING;
    repository->setOffline(true);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(1, provider.cancels);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(1u, provider.starts.size());
    EXPECT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
    repository->setOffline(false);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(2u, provider.starts.size());
}

TEST_F(VLRepositoryFileTest, AReaderElsewhereMovesTheRunningTransfer)
{
    VLRepositoryFile* file = makeSizedFile(16 * kBlock, {});
    startProviding(file);
    provider.state = Provider::TRANSFER_RECEIVING;
    ASSERT_TRUE(file->update());
    EXPECT_TRUE(provider.seeks.empty());
    ASSERT_NE(kFailed, readCount(file, 10 * kBlock + 7, 100));
    ASSERT_TRUE(file->update());
    ASSERT_EQ(1u, provider.seeks.size());
    EXPECT_EQ(10 * kBlock, provider.seeks[0].offset);
    EXPECT_EQ(kUnknown, provider.seeks[0].length);
    EXPECT_EQ(1u, provider.starts.size());
}

TEST_F(VLRepositoryFileTest, CompleteFilesAreValidatedWhenDue)
{
    VLRepositoryFile* file = repository->getFile(VLFileId("old", 6u), true);
    ASSERT_TRUE(file->open(0));
    ASSERT_TRUE(file->setContent(kBlock, "v1"));
    writeBlock(file, 0);
    ASSERT_TRUE(file->close(0));
    file->touchValidation();

    bool ready = false;
    ASSERT_TRUE(file->isReady(&ready));
    EXPECT_TRUE(ready);
    ASSERT_TRUE(file->open(VLRepositoryFile::OPEN_PROVIDE));
    ASSERT_TRUE(file->update());
    EXPECT_TRUE(provider.starts.empty());
    EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
    ASSERT_TRUE(file->close(0));

    // A record whose last validation is long past is not ready until a
    // transfer of the whole file renews it.
    VLRepositoryFile* stale = new VLRepositoryFile(repository.get(), "user", VLFileId("stale", 6u), &provider, &handler,
                                                   repository->makeFileName(VLFileId("stale", 6u)), kBlock, kBlock, "v1",
                                                   "", "", -1, 0, 1, 0, 0, 1);
    repository->getFiles()[VLFileId("stale", 6u)] = stale;
    ASSERT_TRUE(stale->open(VLRepositoryFile::OPEN_PROVIDE));
    writeBlock(stale, 0);
    ASSERT_TRUE(stale->isReady(&ready));
    EXPECT_FALSE(ready);
    ASSERT_TRUE(stale->update());
    ASSERT_EQ(1u, provider.starts.size());
    EXPECT_EQ(0u, provider.starts[0].offset);
    EXPECT_EQ(kUnknown, provider.starts[0].length);
    repository->setOffline(true);
    ASSERT_TRUE(stale->isReady(&ready));
    EXPECT_TRUE(ready);
    repository->setOffline(false);
    ASSERT_TRUE(stale->close(0));
}

TEST_F(VLRepositoryFileTest, LoadedBytesAreRecountedEveryHalfSecondWhileOpen)
{
    VLRepositoryFile* file = makeSizedFile(4 * kBlock, {});
    ASSERT_TRUE(file->update());
    handler.clear();
    writeBlock(file, 0);
    platform->advance(0.4);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(0u, file->getLoaded());
    platform->advance(0.2);
    ASSERT_TRUE(file->update());
    EXPECT_EQ(kBlock, file->getLoaded());
    EXPECT_EQ(1, handler.count("onFileProgressesChanged", "track_6"));
}
