// A cache file whose mapping fails to open or to resize while it is being
// streamed (a failing device, a full disk): the record, its files and the
// index stay consistent, nothing wrong is ever served as present, the failure
// is in the log, and the stream goes on to the whole file.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "FaultInjectingPlatform.h"
#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestPlatform.h"
#include "TestRepositoryContent.h"
#include "TestRepositoryHandler.h"
#include "VLAskFileUrlDelegate.h"
#include "VLBlockBitmap.h"
#include "VLHttpRepositoryProvider.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"
#include "VLTestLog.h"

namespace {

TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const size_t kSize = 200000;
const unsigned kSeed = 2;

class NoUrlDelegate : public VLAskFileUrlDelegate {
 public:
  void askFileUrl(VLRepository*, const VLFileId&) override {}
  bool isJSReady() override { return true; }
};

// What the cache holds for the track before the stream starts.
enum Before {
  NOTHING,   // no record
  PARTIAL,   // the first 30 blocks of the server's file, closed
  LONGER,    // 30 blocks of a 300000-byte version: the server's file shrank since
  TRUNCATED  // the whole file, its content file cut to half behind our back
};

struct FaultCase {
  const char* name;
  Before before;
  int failOpen;    // the nth mapping open from the stream's start fails (0: none)
  int failResize;  // the nth mapping resize from the stream's start fails (0: none)
};

class VLRepositoryFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VLTestLog::start();
    TestHttpServer::clearProxyEnvironment();
    g_platform->setTime(1000);
    g_platform->fileHelper().useRealFreeSpace();
    provider.init(&delegate);
    openRepository();
  }

  void TearDown() override {
    repository->close();
    repository.reset();
    EXPECT_TRUE(provider.clean());
  }

  void openRepository() {
    if (repository) repository->close();
    repository.reset(new VLRepository(&handler, &provider, "cache", "user", 604800, folder.folder("db"),
                                      folder.folder("files"), 0, false, 0));
    repository->init();
  }

  VLRepositoryFile* track() { return repository->getFile(VLFileId("track", 6u), true); }

  void store(size_t size, size_t blocks) {
    VLRepositoryFile* f = track();
    ASSERT_TRUE(f->open(0));
    ASSERT_TRUE(f->setContent(size, "e2-" + std::to_string(size) + "\""));
    for (size_t block = 0; block < blocks; ++block) {
      size_t length = std::min(kBlock, size - block * kBlock);
      std::vector<uint8_t> bytes = TestHttpServer::content(kSeed, block * kBlock, length);
      size_t done = 0;
      ASSERT_TRUE(f->write(bytes.data(), block * kBlock, length, &done));
    }
    f->touchValidation();
    ASSERT_TRUE(f->close(0));
  }

  void prepare(Before before) {
    if (before == PARTIAL) store(kSize, 30);
    if (before == LONGER) store(300000, 30);
    if (before == TRUNCATED) {
      store(kSize, (kSize + kBlock - 1) / kBlock);
      ASSERT_EQ(0, truncate(repository->getFilePath(track()->getFileName()).c_str(), kSize / 2));
    }
  }

  // Runs worker passes until the file is complete, waiting out retry
  // delays on the test clock; false after 30 seconds.
  bool streamToTheEnd(VLRepositoryFile* f) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(f->getFlags() & VLRepositoryFile::FLAG_COMPLETE)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      provider.update();
      repository->update();
      g_platform->advance(std::max(0.01, f->getRetryDelay()));
      usleep(500);
    }
    return true;
  }

  // Every byte the record counts present is the server's; returns how many.
  size_t presentServerBytes(VLRepositoryFile* f) {
    std::string mismatch;
    size_t present = TestRepositoryContent::presentServerBytes(f, kSeed, &mismatch);
    EXPECT_EQ("", mismatch) << "bytes differ";
    return present;
  }

  TestFolder folder;
  TestHttpServer server;
  TestRepositoryHandler handler;
  NoUrlDelegate delegate;
  VLHttpRepositoryProvider provider;
  std::unique_ptr<VLRepository> repository;
};

}  // namespace

TEST_F(VLRepositoryFaultsTest, AFailedOpenOrResizeDuringAStreamLosesAndCorruptsNothing) {
  ASSERT_TRUE(server.isRunning());
  const FaultCase cases[] = {
      {"first answer cannot size the content", NOTHING, 0, 1},
      {"first answer cannot size the bitmap", NOTHING, 0, 2},
      {"content cannot be mapped", PARTIAL, 1, 0},
      {"bitmap cannot be mapped", PARTIAL, 2, 0},
      {"shrunk file cannot size the content", LONGER, 0, 1},
      {"shrunk file cannot size the bitmap", LONGER, 0, 2},
      {"cut content cannot be mended", TRUNCATED, 0, 1},
      {"cut content's bitmap cannot be cleared", TRUNCATED, 0, 2},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    FaultInjectingPlatform faults(g_platform);
    openRepository();
    prepare(c.before);
    const int injected = faults.injectedFaults();
    const size_t mark = VLTestLog::mark();
    faults.failNthOpen(c.failOpen);
    faults.failNthResize(c.failResize);

    VLRepositoryFile* f = track();
    f->setUrl(server.url("/size=200000/seed=2/track"));
    if (!f->open(VLRepositoryFile::OPEN_PROVIDE)) {
      // A failed open changed nothing: what is present is still the server's.
      ASSERT_TRUE(f->open(0));
      presentServerBytes(f);
      ASSERT_TRUE(f->close(0));
      ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
    }
    ASSERT_TRUE(streamToTheEnd(f)) << f->getFailure();
    EXPECT_EQ(injected + 1, faults.injectedFaults());
    EXPECT_EQ(kSize, presentServerBytes(f));
    ASSERT_TRUE(f->close(0));
    std::string log = VLTestLog::since(mark);
    EXPECT_NE(std::string::npos, log.find(c.failOpen ? "open has failed" : "posix_fallocate has failed")) << log;

    // The index, the bitmap and the content agree in a new session.
    openRepository();
    f = track();
    EXPECT_EQ((std::vector<std::string>{"200000|200000"}),
              TestDatabase(folder.file("db/cache.db")).rows("SELECT size, loaded FROM files"));
    ASSERT_TRUE(f->open(0));
    EXPECT_EQ(kSize, presentServerBytes(f));
    ASSERT_TRUE(f->close(0));
    std::string bitmap = TestFolder::read(repository->getBitmapPath(f->getFileName()));
    EXPECT_EQ((kSize + kBlock - 1) / kBlock, countBits(bitmap.data(), bitmap.size()));

    // The next case starts from an empty cache.
    repository->close();
    TestDatabase(folder.file("db/cache.db")).exec("DELETE FROM files");
    std::list<std::string> files;
    VLPlatformFactory::instance()->getFileHelper()->listFiles(folder.folder("files"), &files);
    for (const std::string& path : files) unlink(path.c_str());
  }
}
