#include "VLRepositoryFile.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "TestFolder.h"
#include "TestPlatform.h"
#include "TestRepositoryHandler.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
#include "VLMappedFile.h"
#include "VLPlatformFactoryWrapper.h"
#include "VLRepository.h"

namespace {

// The test clock must be behind the core before anything asks for the factory.
TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const size_t kUnknown = VLRepositoryFile::UNKNOWN_SIZE;
const size_t kFailed = SIZE_MAX;
typedef VLHttpRepositoryProvider Provider;
typedef VLRepositoryFile File;

std::vector<uint8_t> pattern(size_t offset, size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t((offset + i) * 7 + ((offset + i) >> 12) * 13);
  return bytes;
}

// A provider whose transfer state the test sets, recording what the file asks.
class ScriptedProvider : public VLHttpRepositoryProvider {
 public:
  struct Range {
    size_t offset;
    size_t length;
  };

  bool canStart(const std::string&, VLRepository*, const VLFileId&) override { return state == TRANSFER_NONE; }
  bool start(const std::string&, VLRepository*, const VLFileId&, size_t offset, size_t length) override {
    starts.push_back(Range{offset, length});
    state = TRANSFER_STARTED;
    return true;
  }
  bool seek(VLRepository*, const VLFileId&, size_t offset, size_t length) override {
    seeks.push_back(Range{offset, length});
    return true;
  }
  bool getState(VLRepository*, const VLFileId&, bool release, int* reported) override {
    *reported = int(state);
    if (release && (state == TRANSFER_FAILED || state == TRANSFER_FAILED_RETRYABLE || state == TRANSFER_FINISHED))
      state = TRANSFER_NONE;
    return true;
  }
  bool cancel(VLRepository*, const VLFileId&) override {
    ++cancels;
    bool had = state != TRANSFER_NONE;
    state = TRANSFER_NONE;
    return had;
  }

  uint32_t state = TRANSFER_NONE;
  int cancels = 0;
  std::vector<Range> starts;
  std::vector<Range> seeks;
};

// A mapped file that notes which content blocks a flush has written through
// (a flush that returned, not one only started).
class RecordingMappedFile : public VLMappedFile {
 public:
  RecordingMappedFile(VLMappedFile* file, std::set<size_t>* flushed)
      : VLMappedFile(file->getPath()), file_(file), flushed_(flushed) {}
  bool open() override { return file_->open(); }
  void close() override { file_->close(); }
  bool isOpen() override { return file_->isOpen(); }
  unsigned char* getData() override { return file_->getData(); }
  size_t getSize() override { return file_->getSize(); }
  bool open(size_t size) override { return file_->open(size); }
  bool startFlush(size_t offset, size_t length) override { return file_->startFlush(offset, length); }
  bool runGuarded(void (*access)(void*), void* context) override { return file_->runGuarded(access, context); }
  bool flush(size_t offset, size_t length) override {
    if (!file_->flush(offset, length)) return false;
    for (size_t block = offset / kBlock; block * kBlock < offset + length; ++block) flushed_->insert(block);
    return true;
  }

 private:
  std::unique_ptr<VLMappedFile> file_;
  std::set<size_t>* flushed_;
};

// The test platform with content files that record their flushes; installed
// for the life of the object.
class RecordingPlatform : public VLPlatformFactoryWrapper {
 public:
  RecordingPlatform() : VLPlatformFactoryWrapper(g_platform), previous_(VLPlatformFactory::setInstance(this)) {}
  ~RecordingPlatform() override { VLPlatformFactory::setInstance(previous_); }
  VLMappedFile* createMappedFile(const std::string& path) override {
    VLMappedFile* file = VLPlatformFactoryWrapper::createMappedFile(path);
    bool bitmap = path.size() > 5 && path.compare(path.size() - 5, 5, ".part") == 0;
    return bitmap ? file : new RecordingMappedFile(file, &flushed);
  }

  std::set<size_t> flushed;

 private:
  VLPlatformFactory* previous_;
};

class VLRepositoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_platform->setTime(1000);
    g_platform->useRealEpochTime();
    g_platform->fileHelper().useRealFreeSpace();
    repository.reset(new VLRepository(&handler, &provider, "cache", "user", 604800, folder.path(),
                                      folder.folder("files"), 0, false, 0));
  }

  void TearDown() override { repository->close(); }

  // A file of the given size whose listed blocks hold the pattern, open.
  File* makeSizedFile(size_t size, std::initializer_list<size_t> blocks, const std::string& entity = "track") {
    File* file = repository->getFile(VLFileId(entity, 6u), true);
    EXPECT_TRUE(file->open(0));
    EXPECT_TRUE(file->setContent(size, "v1"));
    for (size_t block : blocks) writeBlock(file, block);
    return file;
  }

  // Gives the file a URL, opens it for providing and runs the pass that
  // starts its first transfer.
  void startProviding(File* file) {
    file->setUrl("http://example.invalid/track");
    ASSERT_TRUE(file->open(File::OPEN_PROVIDE));
    ASSERT_TRUE(file->update());
  }

  // The bytes a read of the file gives, or kFailed when it is refused.
  size_t readCount(File* file, size_t offset, size_t length, bool* endOfFile = nullptr) {
    std::vector<uint8_t> out(length);
    size_t done = kFailed - 1;
    if (!file->read(out.data(), offset, length, &done, endOfFile)) return kFailed;
    EXPECT_EQ(pattern(offset, done), std::vector<uint8_t>(out.begin(), out.begin() + done));
    return done;
  }

  void writeBlock(File* file, size_t block) {
    size_t offset = block * kBlock;
    std::vector<uint8_t> bytes = pattern(offset, std::min(kBlock, file->getSize() - offset));
    size_t done = 0;
    ASSERT_TRUE(file->write(bytes.data(), offset, bytes.size(), &done));
    ASSERT_EQ(bytes.size(), done);
  }

  TestFolder folder;
  TestRepositoryHandler handler;
  ScriptedProvider provider;
  std::unique_ptr<VLRepository> repository;
};

}  // namespace

TEST_F(VLRepositoryFileTest, RecordsAreNamedByDigestCountedAndReported) {
  File* file = repository->getFile(VLFileId("track", 6u), true);
  EXPECT_EQ(repository->makeFileName(VLFileId("track", 6u)), file->getFileName());
  EXPECT_EQ(1, handler.count("onFilesAdded", "track_6"));
  EXPECT_FALSE(TestFolder::exists(repository->getFilePath(file->getFileName()))) << "nothing on disk before an open";
  EXPECT_EQ(File::FLAG_NOT_EMPTY, file->getFlags());
  EXPECT_TRUE(file->remove());
  EXPECT_TRUE(file->remove());
  EXPECT_EQ(1, handler.count("onFilesRemoved"));
  ASSERT_TRUE(file->open(File::OPEN_READD | File::OPEN_PROVIDE));
  EXPECT_FALSE(file->isRemoved());
  EXPECT_EQ(2, handler.count("onFilesAdded"));
  file->setCustom(4);
  file->setCustom(4);
  EXPECT_EQ(1, handler.count("onDownloadStatesChanged"));

  ASSERT_TRUE(file->open(File::OPEN_LOCK));
  EXPECT_EQ(1u, file->getTotalLockCount());
  EXPECT_EQ(File::FLAG_NOT_EMPTY | File::FLAG_OPEN | File::FLAG_LOCKED | File::FLAG_PROVIDING, file->getFlags());
  ASSERT_TRUE(file->close(0));
  EXPECT_FALSE(file->close(0)) << "the last close while a reader holds a lock";
  EXPECT_TRUE(file->isOpen());
  ASSERT_TRUE(file->close(File::OPEN_LOCK));
  EXPECT_FALSE(file->close(File::OPEN_LOCK)) << "no lock left";
  // The last close cancels the running transfer and stops providing.
  ASSERT_TRUE(file->open(File::OPEN_PROVIDE));
  provider.state = Provider::TRANSFER_RECEIVING;
  ASSERT_TRUE(file->close(0));
  EXPECT_EQ(1, provider.cancels);
  EXPECT_EQ(0, file->getFlags() & (File::FLAG_OPEN | File::FLAG_PROVIDING));
  EXPECT_FALSE(file->close(0));
}

TEST_F(VLRepositoryFileTest, ReadsStopAtMissingBlocksAndRecordRequests) {
  const size_t size = 5 * kBlock + 1000;
  File* file = makeSizedFile(size, {0, 1, 3, 5});
  struct Case {
    size_t offset;
    size_t length;
    size_t done;
    bool endOfFile;
  };
  const Case cases[] = {
      {100, 2 * kBlock - 100, 2 * kBlock - 100, false},
      {kBlock + 10, 2 * kBlock, kBlock - 10, false},  // into the missing block 2
      {5 * kBlock + 500, 5000, 500, true},            // the last partial block ends the file
      {size, 10, 0, false},                           // at the end, or of length 0: nothing
      {0, 0, 0, false},
  };
  for (const Case& c : cases) {
    bool endOfFile = false;
    EXPECT_EQ(c.done, readCount(file, c.offset, c.length, &endOfFile)) << c.offset;
    EXPECT_EQ(c.endOfFile, endOfFile) << c.offset;
  }
  // The short read recorded one request from its first block.
  size_t waiting = 0;
  ASSERT_TRUE(file->isSeekWaiting(&waiting));
  EXPECT_EQ(kBlock, waiting);

  // While the size is unknown nothing is present, nothing is stored, and a
  // read waits from its block.
  File* unsized = repository->getFile(VLFileId("unsized", 6u), true);
  EXPECT_EQ(kFailed, readCount(unsized, 0, 100)) << "not open";
  ASSERT_TRUE(unsized->open(0));
  EXPECT_EQ(0u, readCount(unsized, 100, 50));
  ASSERT_TRUE(unsized->isSeekWaiting(&waiting));
  EXPECT_EQ(0u, waiting);
  size_t done = 1;
  ASSERT_TRUE(unsized->write(pattern(0, kBlock).data(), 0, kBlock, &done));
  EXPECT_EQ(0u, done);
  std::list<unsigned long> intervals;
  EXPECT_FALSE(unsized->getIntervals(true, intervals));
}

TEST_F(VLRepositoryFileTest, WritesStoreWholeBlocksAndTheLastPartialOne) {
  const size_t size = 3 * kBlock + 100;
  File* file = makeSizedFile(size, {});
  std::vector<uint8_t> bytes = pattern(0, size);
  const size_t cases[][3] = {
      {0, kBlock + 50, kBlock},                  // ends inside a block short of the end: whole blocks only
      {2 * kBlock, kBlock + 100, kBlock + 100},  // ends at the end: the partial block too
      {size, 10, 0},
  };
  for (const auto& c : cases) {
    size_t done = 0;
    ASSERT_TRUE(file->write(bytes.data() + c[0], c[0], c[1], &done));
    EXPECT_EQ(c[2], done) << c[0];
  }
  size_t done = 0;
  EXPECT_FALSE(file->write(bytes.data(), 10, kBlock, &done)) << "not on a block boundary";
  ASSERT_TRUE(file->refreshLoaded());
  EXPECT_EQ(2 * kBlock + 100, file->getLoaded());
  std::list<unsigned long> present;
  ASSERT_TRUE(file->getIntervals(true, present));
  EXPECT_EQ((std::list<unsigned long>{0, kBlock - 1, 2 * kBlock, size - 1}), present);
  std::list<unsigned long> missing;
  ASSERT_TRUE(file->getIntervals(false, missing));
  EXPECT_EQ((std::list<unsigned long>{kBlock, 2 * kBlock - 1}), missing);
}

// Staged blocks stay missing until settled, which marks exactly what was
// staged; a stage that does not follow the staged range settles that range.
TEST_F(VLRepositoryFileTest, StagedBlocksArePresentOnlyOnceSettled) {
  const size_t size = 6 * kBlock + 100;
  File* file = makeSizedFile(size, {});
  std::vector<uint8_t> bytes = pattern(0, size);
  size_t done = 0;
  ASSERT_TRUE(file->stage(bytes.data(), 0, kBlock, &done));
  ASSERT_TRUE(file->stage(bytes.data() + kBlock, kBlock, kBlock + 50, &done));
  EXPECT_EQ(kBlock, done) << "whole blocks only, as write";
  EXPECT_EQ(0u, readCount(file, 0, kBlock)) << "staged is not yet present";
  ASSERT_TRUE(file->stage(bytes.data() + 4 * kBlock, 4 * kBlock, 2 * kBlock + 100, &done));
  EXPECT_EQ(2 * kBlock, readCount(file, 0, size)) << "a stage elsewhere settled the range before it";
  EXPECT_EQ(0u, readCount(file, 4 * kBlock, kBlock));
  EXPECT_TRUE(file->settle());
  EXPECT_TRUE(file->settle()) << "nothing staged";
  std::list<unsigned long> present;
  ASSERT_TRUE(file->getIntervals(true, present));
  EXPECT_EQ((std::list<unsigned long>{0, 2 * kBlock - 1, 4 * kBlock, size - 1}), present);
}

// Settled blocks are read at once; the bitmap on disk takes their bits only
// a delay later, at completion, before a save, at the last close, and never
// for blocks of a content that was replaced in between.
TEST_F(VLRepositoryFileTest, SettledBlocksAreReadAtOnceAndReachTheDiskBitmapLater) {
  const size_t size = 8 * kBlock + 100;
  File* file = makeSizedFile(size, {});
  const std::string bitmapPath = repository->getBitmapPath(file->getFileName());
  auto onDisk = [&](size_t block) {
    std::string bits = TestFolder::read(bitmapPath);
    return getBitRunLength(bits.data(), block, 1, true) == 1;
  };
  std::vector<uint8_t> bytes = pattern(0, size);
  auto stageBlocks = [&](size_t first, size_t count) {
    size_t length = std::min(count * kBlock, size - first * kBlock);
    size_t done = 0;
    ASSERT_TRUE(file->stage(bytes.data() + first * kBlock, first * kBlock, length, &done));
    ASSERT_EQ(length, done);
    ASSERT_TRUE(file->settle());
  };

  stageBlocks(0, 2);
  EXPECT_EQ(2 * kBlock, readCount(file, 0, size)) << "a reader sees a block once it is received";
  EXPECT_FALSE(onDisk(0));
  g_platform->advance(0.5);
  ASSERT_TRUE(file->settle());
  EXPECT_FALSE(onDisk(1)) << "committed before its delay";
  g_platform->advance(0.6);
  ASSERT_TRUE(file->settle());
  EXPECT_TRUE(onDisk(0) && onDisk(1)) << "not committed after its delay";

  stageBlocks(2, 1);
  file->flushBitmap();
  EXPECT_TRUE(onDisk(2)) << "an index save counts only blocks on the disk's bitmap";

  // A new validator: the blocks of the old content never reach the disk's bitmap.
  stageBlocks(3, 1);
  ASSERT_TRUE(file->setContent(size, "v2"));
  g_platform->advance(2);
  ASSERT_TRUE(file->settle());
  file->flushBitmap();
  EXPECT_FALSE(onDisk(3));
  EXPECT_EQ(0u, readCount(file, 3 * kBlock, kBlock));

  stageBlocks(0, 4);
  EXPECT_FALSE(onDisk(0));
  stageBlocks(4, 5);
  EXPECT_EQ(size, readCount(file, 0, size));
  for (size_t block = 0; block < 9; ++block) EXPECT_TRUE(onDisk(block)) << "completion commits block " << block;

  File* other = makeSizedFile(size, {}, "other");
  size_t done = 0;
  ASSERT_TRUE(other->stage(bytes.data(), 0, kBlock, &done));
  ASSERT_TRUE(other->settle());
  ASSERT_TRUE(other->close(0));
  std::string bits = TestFolder::read(repository->getBitmapPath(other->getFileName()));
  EXPECT_EQ(1u, getBitRunLength(bits.data(), 0, 1, true)) << "the last close commits";
}

// Whatever the moment, a bit set in the bitmap on disk stands for a block
// that a flush has written through: a stream's blocks take their on-disk bits
// while it runs, each only after its bytes.
TEST_F(VLRepositoryFileTest, OnDiskBitsFollowAFlushOfTheirBlocks) {
  RecordingPlatform platform;
  const size_t blocks = 9;
  const size_t size = (blocks - 1) * kBlock + 100;
  File* file = makeSizedFile(size, {});
  const std::string bitmapPath = repository->getBitmapPath(file->getFileName());
  std::vector<uint8_t> bytes = pattern(0, size);
  bool committedWhileStreaming = false;
  for (size_t block = 0; block < blocks; ++block) {
    size_t length = std::min(kBlock, size - block * kBlock);
    size_t done = 0;
    ASSERT_TRUE(file->stage(bytes.data() + block * kBlock, block * kBlock, length, &done));
    ASSERT_TRUE(file->settle());
    EXPECT_EQ(block * kBlock + length, readCount(file, 0, size));
    std::string bits = TestFolder::read(bitmapPath);
    for (size_t b = 0; b < blocks; ++b) {
      bool set = getBitRunLength(bits.data(), b, 1, true) == 1;
      EXPECT_TRUE(!set || platform.flushed.count(b)) << "block " << b << " is marked on disk, not flushed";
      committedWhileStreaming |= set && block + 1 < blocks;
    }
    g_platform->advance(0.4);
  }
  EXPECT_TRUE(committedWhileStreaming);
  std::string bits = TestFolder::read(bitmapPath);
  EXPECT_EQ(blocks, countBits(bits.data(), bits.size())) << "completion commits every block";
}

TEST_F(VLRepositoryFileTest, SetContentResizesOrClearsAndIsRefusedWhileLocked) {
  File* file = makeSizedFile(10000, {0, 1, 2});
  ASSERT_TRUE(file->refreshLoaded());
  EXPECT_EQ(1, handler.count("onFileStatesChanged"));
  handler.clear();
  ASSERT_TRUE(file->setContent(10000, ""));
  ASSERT_TRUE(file->setContent(kUnknown, "v1"));
  EXPECT_EQ(10000u, file->getLoaded()) << "unchanged values change nothing";

  // A new validator only: the bitmap is cleared, the bytes are kept.
  std::string path = repository->getFilePath(file->getFileName());
  ASSERT_TRUE(file->setContent(10000, "v2"));
  EXPECT_EQ(0u, file->getLoaded());
  EXPECT_EQ(1, handler.count("onFileProgressesChanged"));
  EXPECT_EQ(0u, readCount(file, 0, 100));
  std::string stored = TestFolder::read(path);
  EXPECT_EQ(pattern(0, 100), std::vector<uint8_t>(stored.begin(), stored.begin() + 100));
  // A new size: both files take their new lengths.
  ASSERT_TRUE(file->setContent(70000, "v2"));
  EXPECT_EQ(70000u, TestFolder::sizeOf(path));
  EXPECT_EQ(getBitmapSize(70000), TestFolder::sizeOf(repository->getBitmapPath(file->getFileName())));
  ASSERT_TRUE(file->open(File::OPEN_LOCK));
  EXPECT_FALSE(file->setContent(80000, "v2"));
  EXPECT_FALSE(file->setContent(70000, "v3"));
  EXPECT_EQ(70000u, file->getSize());
  ASSERT_TRUE(file->close(File::OPEN_LOCK));
}

TEST_F(VLRepositoryFileTest, FirstOpenRepairsFilesThatLostTheirRecordedLength) {
  File* file = makeSizedFile(3 * kBlock, {0, 1, 2});
  ASSERT_TRUE(file->close(0));
  std::string content = repository->getFilePath(file->getFileName());
  ASSERT_EQ(0, truncate(content.c_str(), 100));  // cut behind our back: the bitmap still claims every block
  ASSERT_TRUE(file->open(0));
  EXPECT_EQ(3 * kBlock, TestFolder::sizeOf(content));
  EXPECT_EQ(0u, file->getLoaded());
  EXPECT_EQ(0u, readCount(file, 0, 3 * kBlock));
  ASSERT_TRUE(file->close(0));
  unlink(content.c_str());
  unlink(repository->getBitmapPath(file->getFileName()).c_str());
  ASSERT_TRUE(file->open(0));
  writeBlock(file, 2);
  EXPECT_EQ(kBlock, readCount(file, 2 * kBlock, kBlock));
}

// Another program shortens the files while a reader holds them (a tag editor
// in the music folder, a sync tool): no fault ends the process; the files get
// their lengths back with every block missing, the reader waits for them to
// be fetched again, and writes go on.
TEST_F(VLRepositoryFileTest, FilesShortenedWhileOpenAreFetchedAgainNotFaulted) {
  File* file = makeSizedFile(4 * kBlock, {0, 1, 2, 3});
  ASSERT_TRUE(file->open(File::OPEN_LOCK));
  std::string content = repository->getFilePath(file->getFileName());
  ASSERT_EQ(0, truncate(content.c_str(), 0));
  EXPECT_EQ(0u, readCount(file, 2 * kBlock, kBlock)) << "a read past the new end";
  EXPECT_EQ(4 * kBlock, TestFolder::sizeOf(content));
  EXPECT_EQ(0u, file->getLoaded());
  EXPECT_EQ(0u, readCount(file, 0, kBlock)) << "nothing read before the cut counts as present";
  EXPECT_TRUE(file->isSeekWaiting(nullptr)) << "the reader's request drives the fetch";
  writeBlock(file, 2);
  EXPECT_EQ(kBlock, readCount(file, 2 * kBlock, kBlock));

  // The bitmap cut under a write: the block is stored, the others fetched again.
  ASSERT_EQ(0, truncate(repository->getBitmapPath(file->getFileName()).c_str(), 0));
  writeBlock(file, 3);
  EXPECT_EQ(kBlock, readCount(file, 3 * kBlock, kBlock));
  EXPECT_EQ(0u, readCount(file, 2 * kBlock, kBlock));
  ASSERT_TRUE(file->close(File::OPEN_LOCK));
  ASSERT_TRUE(file->close(0));
}

TEST_F(VLRepositoryFileTest, ReadRequestsExpireAfterFiveSecondsAndClearOncePresent) {
  File* file = makeSizedFile(10 * kBlock, {});
  readCount(file, 2 * kBlock + 5, 100);
  g_platform->advance(2);
  readCount(file, kBlock, 5000);
  readCount(file, kBlock, 100);
  const double steps[] = {0, 3, 2};  // the first request is kept at exactly 5 s, then the later two
  for (double step : steps) {
    g_platform->advance(step);
    size_t waiting = 0;
    ASSERT_TRUE(file->isSeekWaiting(&waiting));
    EXPECT_EQ(kBlock, waiting);  // the smallest offset, then the shortest
  }
  g_platform->advance(1);
  EXPECT_FALSE(file->isSeekWaiting(nullptr));

  // A request whose range is present clears every request.
  readCount(file, 8 * kBlock, 100);
  readCount(file, 3 * kBlock, 100);
  writeBlock(file, 3);
  EXPECT_FALSE(file->isSeekWaiting(nullptr));
  writeBlock(file, 8);
  EXPECT_FALSE(file->isSeekWaiting(nullptr));
}

TEST_F(VLRepositoryFileTest, IntervalsAndFlagsFollowThePresentBlocks) {
  File* file = makeSizedFile(10000, {1});
  const size_t runs[][4] = {{5000, 100, 1, kBlock}, {0, kUnknown, 1, 0}, {0, kUnknown, 0, kBlock}};
  for (const auto& c : runs) {
    size_t run = 0;
    ASSERT_TRUE(file->getInterval(c[0], c[1], c[2] != 0, &run));
    EXPECT_EQ(c[3], run) << c[0] << "/" << c[2];
  }
  bool loaded = true;
  ASSERT_TRUE(file->isRangeLoaded(kBlock + 4000, 200, &loaded));
  EXPECT_FALSE(loaded) << "crosses into a missing block";
  ASSERT_TRUE(file->isRangeLoaded(kBlock + 4000, 96, &loaded));
  EXPECT_TRUE(loaded);
  EXPECT_FALSE(file->getFlags() & File::FLAG_COMPLETE);
  writeBlock(file, 0);
  writeBlock(file, 2);
  EXPECT_TRUE(file->getFlags() & File::FLAG_COMPLETE);
  ASSERT_TRUE(file->close(0));
  EXPECT_TRUE(file->getFlags() & File::FLAG_COMPLETE);
  ASSERT_TRUE(file->isRangeLoaded(kBlock, 2 * kBlock, &loaded));
  EXPECT_TRUE(loaded);
  EXPECT_FALSE(file->isOpen()) << "the check opened and closed it again";

  File* empty = makeSizedFile(0, {}, "empty");
  EXPECT_EQ(File::FLAG_COMPLETE | File::FLAG_OPEN, empty->getFlags());
}

TEST_F(VLRepositoryFileTest, CleanAndMoveKeepOrDropTheFiles) {
  File* kept = makeSizedFile(kBlock, {0}, "kept");
  ASSERT_TRUE(kept->open(File::OPEN_LOCK));
  kept->clean();
  EXPECT_FALSE(kept->isOpen());
  EXPECT_TRUE(TestFolder::exists(repository->getFilePath(kept->getFileName())));
  File* gone = makeSizedFile(kBlock, {0}, "gone");
  gone->remove();
  gone->clean();
  EXPECT_FALSE(TestFolder::exists(repository->getFilePath(gone->getFileName())));
  EXPECT_FALSE(TestFolder::exists(repository->getBitmapPath(gone->getFileName())));

  File* file = makeSizedFile(2 * kBlock, {0, 1});
  File* unsized = repository->getFile(VLFileId("unsized", 6u), true);
  std::string oldPath = repository->getFilePath(file->getFileName());
  repository->setDirectory(folder.folder("second"), true);
  EXPECT_FALSE(TestFolder::exists(oldPath));
  EXPECT_FALSE(file->isRemoved());
  EXPECT_EQ(2 * kBlock, readCount(file, 0, 2 * kBlock)) << "renamed on the same volume, still open";
  // Another volume: cached content is dropped, the open record gets empty
  // files at its length; a record with nothing stored loses nothing.
  file->move(repository->getDirectory(), false);
  unsized->move(repository->getDirectory(), false);
  EXPECT_TRUE(file->isRemoved());
  EXPECT_EQ(0u, file->getLoaded());
  EXPECT_EQ(2 * kBlock, TestFolder::sizeOf(repository->getFilePath(file->getFileName())));
  EXPECT_EQ(0u, readCount(file, 0, kBlock));
  EXPECT_FALSE(unsized->isRemoved());
}

// ---- Fetch scheduling ----

TEST_F(VLRepositoryFileTest, StartsFromTheFirstMissingByteOrTheWaitingReader) {
  File* file = repository->getFile(VLFileId("track", 6u), true);
  startProviding(file);
  ASSERT_TRUE(file->setContent(8 * kBlock, "v1"));
  for (size_t block : {0, 1, 5}) writeBlock(file, block);
  provider.state = Provider::TRANSFER_FINISHED;
  ASSERT_TRUE(file->update());
  // A reader waiting in block 1 (present) up into block 2 (missing), then,
  // with blocks 2 and 3 come, one from block 3 into block 4.
  provider.state = Provider::TRANSFER_NONE;
  EXPECT_EQ(kBlock - 100, readCount(file, kBlock + 100, kBlock));
  writeBlock(file, 2);
  writeBlock(file, 3);
  readCount(file, 3 * kBlock, 2 * kBlock);
  ASSERT_TRUE(file->update());
  const ScriptedProvider::Range expected[] = {{0, kUnknown}, {2 * kBlock, 3 * kBlock}, {4 * kBlock, kBlock}};
  ASSERT_EQ(3u, provider.starts.size());
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i].offset, provider.starts[i].offset) << i;
    EXPECT_EQ(expected[i].length, provider.starts[i].length) << i;
  }
}

TEST_F(VLRepositoryFileTest, RetryableFailuresWaitLongerEachTimeAndEndAfterSixteen) {
  File* file = repository->getFile(VLFileId("track", 6u), true);
  startProviding(file);
  for (int failure = 1; failure <= 16; ++failure) {
    provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
    ASSERT_TRUE(file->update());
    g_platform->advance(std::min(double(2 << failure), 300.0) - 0.5);  // never more than five minutes
    ASSERT_TRUE(file->update());
    ASSERT_EQ(size_t(failure), provider.starts.size()) << "restarted early after failure " << failure;
    g_platform->advance(1);
    ASSERT_TRUE(file->update());
    ASSERT_EQ(size_t(failure + 1), provider.starts.size()) << "not restarted after failure " << failure;
  }
  provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
  ASSERT_TRUE(file->update());
  EXPECT_FALSE(file->getFlags() & File::FLAG_PROVIDING);
  // A new providing open starts again from zero retries.
  ASSERT_TRUE(file->open(File::OPEN_PROVIDE));
  ASSERT_TRUE(file->update());
  EXPECT_EQ(18u, provider.starts.size());
}

TEST_F(VLRepositoryFileTest, WaitingReadersFinalFailuresEmptyTransfersAndOffline) {
  File* file = makeSizedFile(16 * kBlock, {});
  startProviding(file);
  // A waiting reader retries at once, from its offset.
  provider.state = Provider::TRANSFER_FAILED_RETRYABLE;
  ASSERT_TRUE(file->update());
  readCount(file, 2 * kBlock, 100);
  ASSERT_TRUE(file->update());
  ASSERT_EQ(2u, provider.starts.size());
  EXPECT_EQ(2 * kBlock, provider.starts[1].offset);
  // A transfer that finished without storing anything waits like a failure.
  provider.state = Provider::TRANSFER_FINISHED;
  g_platform->advance(6);
  ASSERT_TRUE(file->update());
  ASSERT_TRUE(file->update());
  EXPECT_EQ(2u, provider.starts.size());
  g_platform->advance(9);  // the second retry's delay
  ASSERT_TRUE(file->update());
  EXPECT_EQ(3u, provider.starts.size());
  // A reader elsewhere moves the running transfer.
  provider.state = Provider::TRANSFER_RECEIVING;
  readCount(file, 10 * kBlock + 7, 100);
  ASSERT_TRUE(file->update());
  ASSERT_EQ(1u, provider.seeks.size());
  EXPECT_EQ(10 * kBlock, provider.seeks[0].offset);
  // Offline: the transfer is canceled, none starts, providing stays.
  repository->setOffline(true);
  ASSERT_TRUE(file->update());
  EXPECT_EQ(1, provider.cancels);
  ASSERT_TRUE(file->update());
  EXPECT_EQ(3u, provider.starts.size());
  repository->setOffline(false);
  ASSERT_TRUE(file->update());
  EXPECT_EQ(4u, provider.starts.size());
  // A final failure stops providing.
  provider.state = Provider::TRANSFER_FAILED;
  ASSERT_TRUE(file->update());
  EXPECT_FALSE(file->getFlags() & File::FLAG_PROVIDING);
}

TEST_F(VLRepositoryFileTest, CompleteFilesAreValidatedWhenDue) {
  File* file = makeSizedFile(kBlock, {0}, "fresh");
  file->touchValidation();
  bool ready = false;
  ASSERT_TRUE(file->isReady(&ready));
  EXPECT_TRUE(ready);
  ASSERT_TRUE(file->open(File::OPEN_PROVIDE));
  ASSERT_TRUE(file->update());
  EXPECT_TRUE(provider.starts.empty());
  EXPECT_FALSE(file->getFlags() & File::FLAG_PROVIDING);

  // Validated long ago: not ready until a transfer of the whole file renews it.
  File* stale = makeSizedFile(kBlock, {0}, "stale");
  ASSERT_TRUE(stale->open(File::OPEN_PROVIDE));
  ASSERT_TRUE(stale->isReady(&ready));
  EXPECT_FALSE(ready);
  ASSERT_TRUE(stale->update());
  ASSERT_EQ(1u, provider.starts.size());
  EXPECT_EQ(0u, provider.starts[0].offset);
  EXPECT_EQ(kUnknown, provider.starts[0].length);
  repository->setOffline(true);
  ASSERT_TRUE(stale->isReady(&ready));
  EXPECT_TRUE(ready) << "offline nothing is validated";
  repository->setOffline(false);

  // The stamps and the validation period follow the platform's epoch clock.
  g_platform->setEpochTime(2000000000);
  file->touchValidation();
  EXPECT_EQ(2000000000, file->getLastValidation());
  g_platform->setEpochTime(2000000000 + 604800);
  ASSERT_TRUE(file->isReady(&ready));
  EXPECT_TRUE(ready);
  g_platform->setEpochTime(2000000000 + 604801);
  ASSERT_TRUE(file->isReady(&ready));
  EXPECT_FALSE(ready) << "validated a week and a second ago";
}

TEST_F(VLRepositoryFileTest, LoadedBytesAreRecountedEveryHalfSecondWhileOpen) {
  File* file = makeSizedFile(4 * kBlock, {});
  ASSERT_TRUE(file->update());
  handler.clear();
  writeBlock(file, 0);
  g_platform->advance(0.4);
  ASSERT_TRUE(file->update());
  EXPECT_EQ(0u, file->getLoaded());
  g_platform->advance(0.2);
  ASSERT_TRUE(file->update());
  EXPECT_EQ(kBlock, file->getLoaded());
  EXPECT_EQ(1, handler.count("onFileProgressesChanged", "track_6"));
}

TEST_F(VLRepositoryFileTest, AFileGrowingWithAnAnswerWithoutLengthIsNeverCompleteUntilSized) {
  File* file = repository->getFile(VLFileId("track", 6u), true);
  ASSERT_TRUE(file->open(0));
  ASSERT_TRUE(file->beginGrowing("v1"));
  ASSERT_TRUE(file->growFor(3 * kBlock));
  ASSERT_GE(file->getSize(), 3 * kBlock);
  writeBlock(file, 0);
  writeBlock(file, 1);
  writeBlock(file, 2);
  // Every block of the provisional size present: still not complete, and a
  // read past the data waits instead of ending the file.
  const size_t provisional = file->getSize();
  for (size_t block = 3; block < provisional / kBlock; ++block) writeBlock(file, block);
  EXPECT_FALSE(file->getFlags() & File::FLAG_COMPLETE);
  EXPECT_TRUE(file->isGrowing());

  // Sized at its end: the blocks stay, the last partial one is written then.
  const size_t size = 2 * kBlock + 100;
  ASSERT_TRUE(file->finishGrowing(size));
  EXPECT_EQ(size, file->getSize());
  EXPECT_FALSE(file->getFlags() & File::FLAG_COMPLETE);
  writeBlock(file, 2);
  EXPECT_TRUE(file->getFlags() & File::FLAG_COMPLETE);
  EXPECT_EQ(size, readCount(file, 0, size));
  ASSERT_TRUE(file->close(0));
  EXPECT_EQ(size, file->getLoaded());
  EXPECT_EQ(getBitmapSize(size), TestFolder::read(repository->getBitmapPath(file->getFileName())).size());

  // A file that closes while it grows gives its room back: it is never
  // taken whole, and the next answer fetches it again from its start.
  File* cut = repository->getFile(VLFileId("cut", 6u), true);
  ASSERT_TRUE(cut->open(0));
  ASSERT_TRUE(cut->beginGrowing(""));
  ASSERT_TRUE(cut->growFor(kBlock));
  writeBlock(cut, 0);
  ASSERT_TRUE(cut->close(0));
  EXPECT_FALSE(cut->isGrowing());
  EXPECT_FALSE(cut->getFlags() & File::FLAG_COMPLETE);
  EXPECT_EQ(File::UNKNOWN_SIZE, cut->getSize());
  EXPECT_EQ(0u, TestFolder::read(repository->getFilePath(cut->getFileName())).size());

  // A download's end is taken when a second answer ends at the same byte:
  // the first may have been cut by a server that closed cleanly.
  File* download = repository->getFile(VLFileId("download", 6u), true);
  download->setCustom(4);
  ASSERT_TRUE(download->open(0));
  ASSERT_TRUE(download->beginGrowing(""));
  ASSERT_TRUE(download->growFor(3 * kBlock));
  for (size_t ended : {2 * kBlock, 3 * kBlock}) {
    ASSERT_TRUE(download->finishGrowing(ended));
    EXPECT_TRUE(download->isGrowing()) << ended;
  }
  ASSERT_TRUE(download->finishGrowing(3 * kBlock));
  EXPECT_FALSE(download->isGrowing());
  EXPECT_EQ(3 * kBlock, download->getSize());
  ASSERT_TRUE(download->close(0));
}
