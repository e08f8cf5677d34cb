#include "VLHttpRepositoryProvider.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestNginxServer.h"
#include "TestPlatform.h"
#include "TestRepositoryContent.h"
#include "TestRepositoryHandler.h"
#include "VLAskFileUrlDelegate.h"
#include "VLBlockBitmap.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

namespace {

TestPlatform* const g_platform = TestPlatform::install();

const size_t kBlock = 4096;
const size_t kAll = SIZE_MAX;
typedef VLHttpRepositoryProvider Provider;

class TestDelegate : public VLAskFileUrlDelegate {
 public:
  // Called on the worker; while a worker runs, read only askedCount.
  void askFileUrl(VLRepository* repository, const VLFileId& fileId) override {
    asked.push_back(fileId);
    ++askedCount;
  }
  bool isJSReady() override { return ready; }

  std::atomic<bool> ready{true};
  std::vector<VLFileId> asked;
  std::atomic<int> askedCount{0};
};

class VLHttpRepositoryProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_platform->useRealTime();
    g_platform->fileHelper().useRealFreeSpace();
    provider.init(&delegate);
    repository.reset(new VLRepository(&handler, &provider, "cache", "user", 604800, folder.folder("db"),
                                      folder.folder("files"), 0, false, 0));
    repository->init();
  }

  void TearDown() override {
    repository->close();
    repository.reset();
    EXPECT_TRUE(provider.clean());
  }

  VLRepositoryFile* file(const std::string& entity = "track", unsigned int format = 6) {
    return repository->getFile(VLFileId(entity, format), true);
  }

  // Runs worker passes (the provider, then the repository) until done()
  // holds; false after 30 seconds, so that a broken transfer fails the test
  // instead of hanging it.
  template <typename Predicate>
  bool pump(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      provider.update();
      repository->update();
      usleep(500);
    }
    return true;
  }

  // Only the provider runs: the transfer's own state, before any file
  // releases it.
  uint32_t pumpUntilFinal(VLRepository* repo, const VLFileId& id) {
    int state = Provider::TRANSFER_NONE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      provider.update();
      provider.getState(repo, id, false, &state);
      if (state == Provider::TRANSFER_FINISHED || state == Provider::TRANSFER_FAILED ||
          state == Provider::TRANSFER_FAILED_RETRYABLE || state == Provider::TRANSFER_NONE)
        break;
    }
    return uint32_t(state);
  }

  bool isComplete(VLRepositoryFile* f) { return (f->getFlags() & VLRepositoryFile::FLAG_COMPLETE) != 0; }

  // Every present byte of the file equals the server's content; returns
  // the number of present bytes.
  size_t checkPresentBytes(VLRepositoryFile* f, unsigned seed) {
    std::string mismatch;
    size_t present = TestRepositoryContent::presentServerBytes(f, seed, &mismatch);
    EXPECT_EQ("", mismatch) << "bytes differ";
    return present;
  }

  void writeServerBlocks(VLRepositoryFile* f, unsigned seed, size_t firstBlock, size_t lastBlock) {
    for (size_t block = firstBlock; block <= lastBlock; ++block) {
      size_t offset = block * kBlock;
      size_t length = std::min(kBlock, f->getSize() - offset);
      std::vector<uint8_t> bytes = TestHttpServer::content(seed, offset, length);
      size_t done = 0;
      ASSERT_TRUE(f->write(bytes.data(), offset, length, &done));
      ASSERT_EQ(length, done);
    }
  }

  TestFolder folder;
  TestHttpServer server;
  TestRepositoryHandler handler;
  TestDelegate delegate;
  VLHttpRepositoryProvider provider;
  std::unique_ptr<VLRepository> repository;
};

}  // namespace

TEST(VLHttpRepositoryProviderHelpers, UrlsAreCutAtTheFragmentAndRangesAreInclusive) {
  EXPECT_EQ("http://a/b", VLHttpRepositoryProvider::cleanUrl("http://a/b#fragment"));
  EXPECT_EQ("", VLHttpRepositoryProvider::cleanUrl("12345678"));
  EXPECT_EQ("123456789", VLHttpRepositoryProvider::cleanUrl("123456789"));
  EXPECT_EQ("", VLHttpRepositoryProvider::cleanUrl("#http://a/b"));
  EXPECT_EQ("", VLHttpRepositoryProvider::cleanUrl(""));

  EXPECT_EQ("", VLHttpRepositoryProvider::getHttpRange(0, kAll));
  EXPECT_EQ("4096-", VLHttpRepositoryProvider::getHttpRange(4096, kAll));
  EXPECT_EQ("0-4095", VLHttpRepositoryProvider::getHttpRange(0, 4096));
  EXPECT_EQ("8192-12287", VLHttpRepositoryProvider::getHttpRange(8192, 4096));
  EXPECT_EQ("5368709120-5368713215", VLHttpRepositoryProvider::getHttpRange(size_t(5) << 30, 4096));
}

// ---- Whole transfers against real servers ----

TEST_F(VLHttpRepositoryProviderTest, FetchesAWholeFileByteExact) {
  ASSERT_TRUE(server.isRunning());
  VLRepositoryFile* f = file();
  f->setUrl(server.url("/size=300000/seed=4/track#fragment"));
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ(300000u, f->getSize());
  EXPECT_EQ("e4-300000\"", f->getEtag());  // the closing quote is part of the stored validator
  EXPECT_EQ(300000u, checkPresentBytes(f, 4));
  ASSERT_TRUE(pump([&] { return !(f->getFlags() & VLRepositoryFile::FLAG_PROVIDING); }));
  ASSERT_TRUE(pump([&] { return f->getLoaded() == 300000u; }));  // recounted every half second
  EXPECT_EQ(1, handler.count("onFileStatesChanged"));

  std::vector<TestHttpRequest> requests = server.waitForRequests(1);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("/size=300000/seed=4/track", requests[0].path);
  EXPECT_EQ("-", requests[0].range);
  EXPECT_EQ("200", requests[0].status);

  // The bitmap on disk marks every block and nothing more.
  std::string bitmap = TestFolder::read(repository->getBitmapPath(f->getFileName()));
  ASSERT_EQ(getBitmapSize(300000), bitmap.size());
  EXPECT_EQ(size_t((300000 + kBlock - 1) / kBlock), countBits(bitmap.data(), bitmap.size()));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, FetchesFromNginxByteExact) {
  TestFolder root;
  std::vector<uint8_t> bytes = TestHttpServer::content(9, 0, 1000000);
  ASSERT_TRUE(TestFolder::write(root.file("track.bin"), std::string(bytes.begin(), bytes.end())));
  TestNginxServer nginx(root.path());
  ASSERT_TRUE(nginx.isRunning());

  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  ASSERT_TRUE(f->setContent(1000000, ""));  // sized before, nothing present
  writeServerBlocks(f, 9, 0, 9);
  writeServerBlocks(f, 9, 100, 149);
  f->setUrl(nginx.url("/track.bin"));
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ(1000000u, checkPresentBytes(f, 9));

  // nginx's validator replaced the empty one, which cleared the bitmap
  // once: the first transfer asked from the first missing block (and, the
  // file having no validator, the stored block before it, to compare), the
  // second (after the reset) from 0.
  std::vector<TestHttpRequest> requests = nginx.waitForRequests(1);
  ASSERT_GE(requests.size(), 1u);
  EXPECT_EQ("bytes=36864-409599", requests[0].range);
  ASSERT_TRUE(f->close(0));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, OnlyTheMissingRunsAreRequested) {
  const std::string url = server.url("/size=200000/seed=2/track");
  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  ASSERT_TRUE(f->setContent(200000, "e2-200000\""));
  writeServerBlocks(f, 2, 0, 9);
  writeServerBlocks(f, 2, 20, 29);
  f->touchValidation();
  f->setUrl(url);
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ(200000u, checkPresentBytes(f, 2));
  std::vector<TestHttpRequest> requests = server.waitForRequests(2);
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("bytes=40960-81919", requests[0].range);
  EXPECT_EQ("206", requests[0].status);
  EXPECT_EQ(40960u, requests[0].bytes);
  EXPECT_EQ("bytes=122880-199999", requests[1].range);
  EXPECT_EQ(77120u, requests[1].bytes);
  ASSERT_TRUE(f->close(0));
  ASSERT_TRUE(f->close(0));
}

// ---- Failures and odd answers ----

TEST_F(VLHttpRepositoryProviderTest, AnswersEndAsFinishedRetryableOrFinal) {
  // Each transfer asks for the bytes from 8192 of a 50000-byte file; only
  // whole blocks are stored, each where it belongs.
  provider.setStallTimeout(1);
  const struct {
    const char* path;
    uint32_t state;
    size_t present;
    const char* failure = "";  // told to the page; empty: not checked
    int downloadState = 0;     // the file's download state (custom)
  } cases[] = {
      {"/size=50000/status=404/a", Provider::TRANSFER_FAILED, 0},
      {"/size=50000/status=416/a", Provider::TRANSFER_FAILED, 0},  // even for the whole file
      {"/size=50000/status=503/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "HTTP 503"},
      // A partial answer whose range cannot be read: its bytes would land at 0.
      {"/size=50000/startotal=1/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "answer with an unusable range"},
      // A range that starts after the byte asked for.
      {"/size=50000/lierange=4096/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "answer with an unusable range"},
      {"/size=50000/nolength=1/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "answer without a size"},
      {"/size=50000/a", Provider::TRANSFER_FINISHED, 50000 - 8192},
      // A whole answer to a range lands at 0; one that starts 1000 bytes
      // early drops the bytes before the next block boundary.
      {"/size=50000/norange=1/a", Provider::TRANSFER_FINISHED, 50000},
      {"/size=50000/shift=1000/a", Provider::TRANSFER_FINISHED, 50000 - 8192},
      // Cut or stalled after 10000 and 9000 bytes: the two whole blocks stay.
      {"/size=50000/truncate=10000/a", Provider::TRANSFER_FAILED_RETRYABLE, 2 * kBlock},
      {"/size=50000/stall=9000/a", Provider::TRANSFER_FAILED_RETRYABLE, 2 * kBlock},
      // An interim answer comes before the real one.
      {"/size=50000/early=1/a", Provider::TRANSFER_FINISHED, 50000 - 8192},
      // Redirects are followed, to http and https only.
      {"/size=50000/status=302/a", Provider::TRANSFER_FINISHED, 50000 - 8192},
      {"/size=50000/status=308/a", Provider::TRANSFER_FINISHED, 50000 - 8192},
      {"/size=50000/status=302/location=ftp:%2F%2F127.0.0.1%2Fa", Provider::TRANSFER_FAILED, 0},
      // A whole answer whose length is known only when the connection closes.
      {"/size=50000/norange=1/nolength=1/a", Provider::TRANSFER_FINISHED, 50000},
      // Empty answers: a stream's file is empty; a download (running, 4) is
      // not done with them.
      {"/empty=200/a", Provider::TRANSFER_FINISHED, 0},
      {"/empty=204/a", Provider::TRANSFER_FINISHED, 0},
      {"/norange=1/nolength=1/size=0/a", Provider::TRANSFER_FINISHED, 0},
      {"/empty=200/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "empty answer", 4},
      {"/empty=204/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "empty answer", 4},
      {"/norange=1/nolength=1/size=0/a", Provider::TRANSFER_FAILED_RETRYABLE, 0, "empty answer", 4},
  };
  int n = 0;
  for (const auto& c : cases) {
    VLFileId id("case" + std::to_string(n++), 6u);
    VLRepositoryFile* f = repository->getFile(id, true);
    f->setCustom(c.downloadState);
    ASSERT_TRUE(f->open(0));
    ASSERT_TRUE(provider.start(server.url(c.path), repository.get(), id, 8192, kAll));
    EXPECT_EQ(c.state, pumpUntilFinal(repository.get(), id)) << c.path;
    if (c.state == Provider::TRANSFER_FINISHED && c.present == 0) {
      EXPECT_EQ(0u, f->getSize()) << c.path;
    }
    // Nothing of a refused answer was stored.
    size_t present = f->getSize() == VLRepositoryFile::UNKNOWN_SIZE ? 0 : checkPresentBytes(f, 0);
    EXPECT_EQ(c.present, present) << c.path;
    int state = -1;
    ASSERT_TRUE(provider.getState(repository.get(), id, true, &state));
    if (*c.failure) EXPECT_EQ(c.failure, provider.getLastFailure(repository.get(), id)) << c.path;
    ASSERT_TRUE(provider.getState(repository.get(), id, true, &state));
    EXPECT_EQ(int(Provider::TRANSFER_NONE), state);
    ASSERT_TRUE(f->close(0));
  }
}

// A file stored without a validator: an answer that resumes it brings a
// stored block again (the one before the missing run or, when that one is
// missing, the one after it), and one that differs is never joined to the
// stored blocks: they go and the file is fetched whole, unless it plays,
// whose transfer then fails for good.
TEST_F(VLHttpRepositoryProviderTest, AnswersWithoutValidatorsAreComparedWithAStoredBlock) {
  const struct {
    const char* name;
    size_t first, last;  // the blocks stored of another file
    bool playing;
    const char* range;  // the resuming request
  } cases[] = {
      {"before", 0, 9, false, "bytes=36864-199999"},
      {"after", 10, 48, false, "bytes=0-45055"},
      {"playing", 0, 9, true, "bytes=36864-199999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.clearRequests();
    VLRepositoryFile* f = file(c.name);
    ASSERT_TRUE(f->open(0));
    ASSERT_TRUE(f->setContent(200000, ""));
    writeServerBlocks(f, 4, c.first, c.last);
    if (c.playing) ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_LOCK));
    f->setUrl(server.url("/size=200000/seed=3/etag=none/" + std::string(c.name)));
    ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
    if (c.playing) {
      ASSERT_TRUE(pump([&] { return !(f->getFlags() & VLRepositoryFile::FLAG_PROVIDING); }));
      EXPECT_EQ("changed on the server while it plays", provider.getLastFailure(repository.get(), f->getFileId()));
      EXPECT_EQ(40960u, checkPresentBytes(f, 4)) << "what plays stays";
    } else {
      ASSERT_TRUE(pump([&] { return isComplete(f); }));
      EXPECT_EQ(200000u, checkPresentBytes(f, 3));
    }
    std::vector<TestHttpRequest> requests = server.getRequests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_EQ(c.range, requests[0].range);
    if (!c.playing) {
      ASSERT_EQ(2u, requests.size());
      EXPECT_EQ("-", requests[1].range) << "fetched whole";
    }
    if (c.playing) ASSERT_TRUE(f->close(VLRepositoryFile::OPEN_LOCK));
    ASSERT_TRUE(f->close(0));
    ASSERT_TRUE(f->close(0));
  }
}

TEST_F(VLHttpRepositoryProviderTest, FailuresTellWhetherTheServerAnswered) {
  // An error status is an answer; a refused connection and a server that
  // takes the request and says nothing are not.
  provider.setStallTimeout(1);
  const std::string silent = server.url("/silent=1/a");
  const std::string refusing = server.url("/size=50000/status=503/a");
  ASSERT_TRUE(server.goAway());
  const std::string gone = server.url("/size=50000/a");
  int n = 0;
  auto fails = [&](const std::string& url, bool* unanswered) {
    VLFileId id("answered" + std::to_string(n++), 6u);
    VLRepositoryFile* f = repository->getFile(id, true);
    EXPECT_TRUE(f->open(0));
    EXPECT_TRUE(provider.start(url, repository.get(), id, 0, kAll));
    EXPECT_EQ(uint32_t(Provider::TRANSFER_FAILED_RETRYABLE), pumpUntilFinal(repository.get(), id)) << url;
    int state = 0;
    EXPECT_TRUE(provider.getState(repository.get(), id, true, &state));
    provider.getLastFailure(repository.get(), id, unanswered);
    EXPECT_TRUE(f->close(0));
  };
  bool unanswered = false;
  fails(gone, &unanswered);
  EXPECT_TRUE(unanswered);
  ASSERT_TRUE(server.comeBack());
  fails(silent, &unanswered);
  EXPECT_TRUE(unanswered);
  fails(refusing, &unanswered);
  EXPECT_FALSE(unanswered);
}

TEST_F(VLHttpRepositoryProviderTest, AFileThatShrankOnTheServerIsFetchedAgainFromItsStart) {
  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  ASSERT_TRUE(f->setContent(200000, "e2-200000\""));
  writeServerBlocks(f, 2, 0, 29);
  f->touchValidation();
  f->setUrl(server.url("/size=100000/seed=2/a"));
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ(100000u, f->getSize());
  EXPECT_EQ(100000u, checkPresentBytes(f, 2));
  std::vector<TestHttpRequest> requests = server.waitForRequests(2);
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("416", requests[0].status);
  EXPECT_EQ("-", requests[1].range);
  ASSERT_TRUE(f->close(0));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, AServerThatCutsEveryAnswerShortStillDeliversTheFile) {
  // Every answer ends after 16 KiB; each brings new bytes, so the retries
  // never run out (30 requests), and each waits the first delay only.
  g_platform->setTime(1000);
  VLRepositoryFile* f = file();
  f->setUrl(server.url("/size=491520/seed=5/truncate=16384/a"));
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] {
    g_platform->advance(60);
    return isComplete(f) || !(f->getFlags() & VLRepositoryFile::FLAG_PROVIDING);
  }));
  EXPECT_TRUE(isComplete(f));
  EXPECT_EQ(491520u, checkPresentBytes(f, 5));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, ANewValidatorRefetchesUnlessAReaderHoldsTheFile) {
  VLRepositoryFile* f = file();
  f->setUrl(server.url("/size=50000/seed=5/etag=v1/a"));
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ("v1\"", f->getEtag());

  // While locked the new validator is refused and the data stays.
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_LOCK));
  ASSERT_TRUE(pump([&] { return provider.canStart("x", repository.get(), f->getFileId()); }));
  ASSERT_TRUE(provider.start(server.url("/size=50000/seed=6/etag=v2/a"), repository.get(), f->getFileId(), 0, kAll));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FAILED_RETRYABLE), pumpUntilFinal(repository.get(), f->getFileId()));
  EXPECT_EQ("v1\"", f->getEtag());
  EXPECT_EQ(50000u, checkPresentBytes(f, 5));
  ASSERT_TRUE(f->close(VLRepositoryFile::OPEN_LOCK));

  // Unlocked: the new content replaces the old.
  int state = 0;
  provider.getState(repository.get(), f->getFileId(), true, &state);
  ASSERT_TRUE(provider.start(server.url("/size=50000/seed=6/etag=v2/a"), repository.get(), f->getFileId(), 0, kAll));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FINISHED), pumpUntilFinal(repository.get(), f->getFileId()));
  EXPECT_EQ("v2\"", f->getEtag());
  EXPECT_EQ(50000u, checkPresentBytes(f, 6));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, AValidationOfAnUnchangedFileFetchesHeadersOnly) {
  // Slow enough that the body cannot be pushed into the socket buffers
  // before the transfer is stopped.
  const std::string url = server.url("/size=2000000/seed=7/throttle=1000000/a");
  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  ASSERT_TRUE(f->setContent(2000000, "e7-2000000\""));
  writeServerBlocks(f, 7, 0, 2000000 / kBlock);
  ASSERT_EQ(0, f->getLastValidation());

  ASSERT_TRUE(provider.start(url, repository.get(), f->getFileId(), 0, kAll));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FINISHED), pumpUntilFinal(repository.get(), f->getFileId()));
  EXPECT_NE(0, f->getLastValidation());
  EXPECT_EQ(2000000u, checkPresentBytes(f, 7));
  std::vector<TestHttpRequest> requests = server.waitForRequests(1);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("aborted", requests[0].status);
  EXPECT_LT(requests[0].bytes, 1000000u);
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, AReaderFarAheadMovesTheTransferAtItsRedirectedAddress) {
  const std::string url = server.url("/size=1000000/seed=8/throttle=400000/status=307/a");
  VLRepositoryFile* f = file();
  f->setUrl(url);
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return f->getSize() == 1000000u && f->getLoaded() > 0; }));

  std::vector<uint8_t> out(1000);
  size_t done = 0;
  ASSERT_TRUE(f->read(out.data(), 800100, 1000, &done, nullptr));
  ASSERT_EQ(0u, done);
  ASSERT_TRUE(pump([&] {
    f->read(out.data(), 800100, 1000, &done, nullptr);
    return done == 1000;
  }));
  EXPECT_TRUE(out == TestHttpServer::content(8, 800100, 1000));
  std::vector<TestHttpRequest> requests = server.waitForRequests(3);
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ("307", requests[0].status);
  const std::string target = "/size=1000000/seed=8/throttle=400000/a";
  EXPECT_EQ(target, requests[1].path);
  EXPECT_EQ("-", requests[1].range);
  EXPECT_EQ("aborted", requests[1].status);
  EXPECT_EQ(target, requests[2].path);
  EXPECT_EQ("bytes=798720-", requests[2].range);
  EXPECT_EQ(requests[1].connection + 1, requests[2].connection);
  ASSERT_TRUE(f->close(0));
}

// ---- URLs asked of the page ----

TEST_F(VLHttpRepositoryProviderTest, AFileWithoutUrlAsksThePageAndUsesItsAnswer) {
  VLRepositoryFile* f = file();
  f->setUrl("");
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return !delegate.asked.empty(); }));
  EXPECT_EQ(f->getFileId(), delegate.asked[0]);
  int state = 0;
  ASSERT_TRUE(provider.getState(repository.get(), f->getFileId(), false, &state));
  EXPECT_EQ(int(Provider::TRANSFER_AWAITING_URL), state);

  // The answer comes on another thread; it is applied by the next pass.
  bool answered = false;
  std::thread page([&] {
    answered = provider.setFileUrl(repository.get(), VLFileId("track", 6u), server.url("/size=40000/seed=2/a"), 6,
                                   "page-data");
  });
  page.join();
  EXPECT_TRUE(answered);
  EXPECT_EQ("", f->getProviderData());
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ("page-data", f->getProviderData());
  EXPECT_EQ(40000u, checkPresentBytes(f, 2));
  EXPECT_EQ(1u, delegate.asked.size());
  EXPECT_FALSE(provider.setFileUrl(repository.get(), f->getFileId(), server.url("/a"), 6, "late"));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, AnUnansweredUrlQuestionIsAskedAgain) {
  g_platform->setTime(1000);
  provider.setUrlAnswerTimeout(30);
  VLRepositoryFile* f = file();
  f->setUrl("");
  ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  ASSERT_TRUE(pump([&] { return delegate.asked.size() == 1; }));
  provider.update();
  EXPECT_EQ(1u, delegate.asked.size());
  // The page dropped the question: asked again after the time-out.
  g_platform->advance(31);
  provider.update();
  EXPECT_EQ(2u, delegate.asked.size());
  // The page reloads: the question is lost with it and asked again once
  // the page is ready, without waiting for the time-out.
  delegate.ready = false;
  provider.update();
  EXPECT_EQ(2u, delegate.asked.size());
  delegate.ready = true;
  provider.update();
  ASSERT_EQ(3u, delegate.asked.size());
  EXPECT_EQ(f->getFileId(), delegate.asked[2]);

  ASSERT_TRUE(provider.setFileUrl(repository.get(), f->getFileId(), server.url("/size=40000/seed=2/a"), 6, ""));
  ASSERT_TRUE(pump([&] { return isComplete(f); }));
  EXPECT_EQ(40000u, checkPresentBytes(f, 2));
  ASSERT_TRUE(f->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, PageAnswersWithAnotherFormatOrNoUrl) {
  VLRepositoryFile* other = file("other", 6);
  ASSERT_TRUE(other->open(0));
  ASSERT_TRUE(provider.start("", repository.get(), other->getFileId(), 0, kAll));
  ASSERT_TRUE(provider.setFileUrl(repository.get(), other->getFileId(), server.url("/size=10/a"), 5, "data"));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FINISHED), pumpUntilFinal(repository.get(), other->getFileId()));
  EXPECT_EQ(0u, other->getSize());
  EXPECT_EQ("", other->getProviderData());
  EXPECT_NE(0, other->getLastValidation());
  EXPECT_TRUE(server.getRequests().empty());

  VLRepositoryFile* none = file("none", 6);
  ASSERT_TRUE(provider.start("#", repository.get(), none->getFileId(), 0, kAll));
  ASSERT_TRUE(provider.setFileUrl(repository.get(), none->getFileId(), "", 5, "data"));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FAILED), pumpUntilFinal(repository.get(), none->getFileId()));
  EXPECT_EQ("data", none->getProviderData());

  EXPECT_FALSE(provider.setFileUrl(nullptr, none->getFileId(), server.url("/a"), 6, ""));
  ASSERT_TRUE(other->close(0));
}

TEST_F(VLHttpRepositoryProviderTest, AskingNeedsAReadyPage) {
  VLFileId id("track", 6u);
  delegate.ready = false;
  EXPECT_FALSE(provider.canStart("", repository.get(), id));
  EXPECT_FALSE(provider.start("", repository.get(), id, 0, kAll));
  delegate.ready = true;
  EXPECT_TRUE(provider.canStart("", repository.get(), id));
  ASSERT_TRUE(provider.start("", repository.get(), id, 0, kAll));
  // A transfer awaiting its URL can be moved and canceled at once; the
  // page's late answer then finds nothing.
  ASSERT_TRUE(provider.seek(repository.get(), id, 8192, kAll));
  ASSERT_TRUE(provider.cancel(repository.get(), id));
  EXPECT_FALSE(provider.setFileUrl(repository.get(), id, server.url("/a"), 6, ""));

  VLHttpRepositoryProvider alone;
  alone.init(nullptr);
  EXPECT_TRUE(alone.canStart("", repository.get(), id));
  EXPECT_FALSE(alone.start("", repository.get(), id, 0, kAll));  // no delegate to ask
  EXPECT_TRUE(alone.canStart("", repository.get(), id));
  EXPECT_TRUE(alone.clean());

  // Without set-up nothing starts and no pass runs.
  VLHttpRepositoryProvider idle;
  EXPECT_FALSE(idle.start(server.url("/a/b/c"), repository.get(), id, 0, kAll));
  EXPECT_TRUE(idle.canStart(server.url("/a/b/c"), repository.get(), id));
  EXPECT_FALSE(idle.update());
  EXPECT_TRUE(idle.clean());
}

TEST_F(VLHttpRepositoryProviderTest, PageAnswersMeetAWorkerThatIsRunning) {
  // The worker thread pumps while the page's answers come on this thread.
  const int files = 20;
  TestDelegate counting;
  VLHttpRepositoryProvider pageProvider;
  pageProvider.init(&counting);
  VLRepository pageRepository(&handler, &pageProvider, "download", "user", 604800, folder.folder("db"),
                              folder.folder("download"), 0, false, 0);
  pageRepository.init();
  for (int i = 0; i < files; ++i) {
    VLRepositoryFile* f = pageRepository.getFile(VLFileId("t" + std::to_string(i), 6u), true);
    ASSERT_TRUE(f->open(VLRepositoryFile::OPEN_PROVIDE));
  }
  std::atomic<bool> stop(false);
  std::thread worker([&] {
    while (!stop) {
      pageProvider.update();
      pageRepository.update();
      usleep(200);
    }
  });
  while (counting.askedCount < files) usleep(1000);
  for (int i = 0; i < files; ++i)
    EXPECT_TRUE(pageProvider.setFileUrl(&pageRepository, VLFileId("t" + std::to_string(i), 6u),
                                        server.url("/size=20000/seed=3/t" + std::to_string(i)), 6, "d"));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server.getRequests().size() < size_t(files) && std::chrono::steady_clock::now() < deadline) usleep(10000);
  stop = true;
  worker.join();
  EXPECT_EQ(size_t(files), server.waitForRequests(files).size());
  for (int i = 0; i < files; ++i) {
    VLRepositoryFile* f = pageRepository.getFile(VLFileId("t" + std::to_string(i), 6u), false);
    EXPECT_EQ("d", f->getProviderData());
    ASSERT_TRUE(f->close(0));
  }
  pageRepository.close();
  EXPECT_TRUE(pageProvider.clean());
}

// ---- Transfer bookkeeping ----

TEST_F(VLHttpRepositoryProviderTest, OneTransferPerFileAndFinalStatesAreReportedOnce) {
  VLFileId id("track", 6u);
  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  EXPECT_FALSE(provider.seek(repository.get(), id, 0, kAll));
  EXPECT_FALSE(provider.cancel(repository.get(), id));
  ASSERT_TRUE(provider.start(server.url("/size=9000/a"), repository.get(), id, 0, kAll));
  EXPECT_FALSE(provider.start(server.url("/size=9000/a"), repository.get(), id, 0, kAll));
  EXPECT_FALSE(provider.canStart(server.url("/size=9000/a"), repository.get(), id));
  EXPECT_FALSE(provider.start(server.url("/size=9000/a"), nullptr, id, 0, kAll));

  EXPECT_EQ(uint32_t(Provider::TRANSFER_FINISHED), pumpUntilFinal(repository.get(), id));
  EXPECT_FALSE(provider.seek(repository.get(), id, 0, kAll));
  int state = 0;
  ASSERT_TRUE(provider.getState(repository.get(), id, false, &state));
  EXPECT_EQ(int(Provider::TRANSFER_FINISHED), state);
  ASSERT_TRUE(provider.getState(repository.get(), id, true, nullptr));
  ASSERT_TRUE(provider.getState(repository.get(), id, true, &state));
  EXPECT_EQ(int(Provider::TRANSFER_NONE), state);

  // A transfer in a final state that is canceled instead of released goes
  // at once, so the file can start again.
  ASSERT_TRUE(provider.start(server.url("/size=9000/status=404/a"), repository.get(), id, 0, kAll));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_FAILED), pumpUntilFinal(repository.get(), id));
  ASSERT_TRUE(provider.cancel(repository.get(), id));
  EXPECT_TRUE(provider.canStart(server.url("/size=9000/a"), repository.get(), id));

  // A canceled running transfer is freed once libcurl lets it go; until
  // then the file cannot start again.
  ASSERT_TRUE(provider.start(server.url("/size=900000/throttle=100000/a"), repository.get(), id, 0, kAll));
  ASSERT_TRUE(provider.cancel(repository.get(), id));
  EXPECT_FALSE(provider.canStart(server.url("/size=9000/a"), repository.get(), id));
  EXPECT_FALSE(provider.start(server.url("/size=9000/a"), repository.get(), id, 0, kAll));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_NONE), pumpUntilFinal(repository.get(), id));
  EXPECT_TRUE(provider.canStart(server.url("/size=9000/a"), repository.get(), id));
  ASSERT_TRUE(f->close(0));
}

// ---- The header callback, one line at a time ----

class VLHttpRepositoryProviderCallbacks : public VLHttpRepositoryProviderTest {
 protected:
  size_t header(Provider::repo_file& transfer, const std::string& line) {
    std::string copy = line;
    return Provider::header(&copy[0], 1, copy.size(), &transfer);
  }
};

TEST_F(VLHttpRepositoryProviderCallbacks, HeadersSetSizeRangeAndValidator) {
  VLRepositoryFile* f = file();
  ASSERT_TRUE(f->open(0));
  Provider::repo_file transfer(repository.get(), f->getFileId(), nullptr, 8192, kAll);
  transfer.state = Provider::TRANSFER_STARTED;
  EXPECT_EQ(22u, header(transfer, "HTTP/1.1 206 Partial\r\n"));
  EXPECT_EQ(uint32_t(Provider::TRANSFER_HEADERS), transfer.state.load());
  header(transfer, "content-length: 4096\r\n");  // names in any case
  header(transfer, "Content-Range: bytes 8192-12287/1000000\r\n");
  header(transfer, "ETag: W/\"weak\"\r\n");  // weak: ignored
  header(transfer, "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n");
  header(transfer, "Content-Length: -5\r\n");  // negative: ignored
  EXPECT_EQ(206u, transfer.httpCode);
  EXPECT_EQ(8192u, transfer.contentOffset);
  EXPECT_EQ(4096u, transfer.contentLength);
  EXPECT_EQ(1000000u, transfer.totalSize);
  EXPECT_EQ("", transfer.etag);
  EXPECT_EQ(2u, header(transfer, "\r\n"));
  EXPECT_EQ(8192u, transfer.currentOffset);
  EXPECT_EQ("Mon, 01 Jan 2024 00:00:00 GMT\r", transfer.etag);  // the carriage return stays
  EXPECT_EQ(1000000u, f->getSize());
  EXPECT_EQ(transfer.etag, f->getEtag());

  // A very long validator is cut to the scratch buffer, not overflowed.
  Provider::repo_file longer(repository.get(), f->getFileId(), nullptr, 0, kAll);
  header(longer, "ETag: \"" + std::string(5000, 'x') + "\"\r\n");
  EXPECT_EQ(1023u, longer.etag.size());

  // A partial answer without any size, or without a usable range: refused.
  Provider::repo_file unsized(repository.get(), f->getFileId(), nullptr, 0, kAll);
  header(unsized, "HTTP/1.1 206 Partial\r\n");
  EXPECT_EQ(0u, header(unsized, "\r\n"));
  Provider::repo_file starTotal(repository.get(), f->getFileId(), nullptr, 0, kAll);
  header(starTotal, "HTTP/1.1 206 Partial\r\n");
  header(starTotal, "Content-Range: bytes 0-99/*\r\n");
  header(starTotal, "Content-Length: 100\r\n");
  EXPECT_EQ(0u, header(starTotal, "\r\n"));
  Provider::repo_file moved(repository.get(), f->getFileId(), nullptr, 0, kAll);
  moved.state = Provider::TRANSFER_SEEKING;
  EXPECT_EQ(0u, header(moved, "HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(0u, moved.httpCode);
  ASSERT_TRUE(f->close(0));
}
