#include "VLPlayer.h"

#include "TestHttpServer.h"
#include "VLAudioInterface.h"
#include "VLCloseTask.h"
#include "VLFileHandle.h"
#include "VLOpenTask.h"
#include "VLPlaybackTestSupport.h"
#include "VLReadTask.h"
#include "VLRepository.h"
#include "VLRepositoryFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

namespace {

typedef VLPlaybackTestSupport Support;

class VLPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_server = new TestHttpServer(); }
  static void TearDownTestSuite() {
    delete s_server;
    s_server = nullptr;
  }

  void SetUp() override {
    Support::start();
    identity_ = Support::newIdentity("player");
    Support::placeRepositories(identity_, folder_.path());
    // The non-real-time no-sound output: no device is touched.
    Support::settings()->setValue(identity_, "OutputDevice", "5:0");
  }

  void TearDown() override { player_.clean(); }

  void open() { player_.init(nullptr, nullptr, identity_); }

  VLRepository* repository(const char* name) { return player_.getRepository(name); }

  // The result of searchSupportedFile as "repository/entity_format", "none"
  // when nothing was found, "refused" when the URL was refused.
  std::string search(const std::string& url) {
    bool found = false;
    VLFileHandle* handle = nullptr;
    if (!player_.searchSupportedFile(url, &found, &handle)) return "refused";
    if (!found) return "none";
    std::ostringstream text;
    text << handle->getRepository()->getName() << "/" << handle->getFileId();
    delete handle;
    return text.str();
  }

  // Runs streamOpen on its own thread while this thread serves the player,
  // as the worker would; components run too unless skipComponents.
  struct OpenResult {
    VLFileHandle* handle = nullptr;
    size_t size = 12345;
    std::string data = "untouched";
  };
  OpenResult openStream(const std::string& url, bool skipComponents = true) {
    OpenResult result;
    std::atomic<bool> done(false);
    std::thread engine([&] {
      result.handle = player_.streamOpen(url, &result.size, &result.data);
      done = true;
    });
    while (!done) {
      player_.update(skipComponents, false);
      VLPlatformFactory::instance()->sleep(1);
    }
    engine.join();
    return result;
  }

  // Opens a session and a stream of `size` bytes of pattern `seed` from the
  // test server with its options ("stall=4096/"), as entity `entity`.
  OpenResult openServed(const std::string& entity, const std::string& options, unsigned seed = 1, size_t size = 20000) {
    EXPECT_TRUE(s_server->isRunning());
    if (!player_.getRepository("")) open();
    return openStream(
        s_server->url("/size=" + std::to_string(size) + "/seed=" + std::to_string(seed) + "/" + options + "t") +
            "?_TEID=" + entity + "&fmt=5",
        false);
  }

  bool logged(size_t mark, const std::string& message) const {
    return VLTestLog::since(mark).find(message) != std::string::npos;
  }

  static TestHttpServer* s_server;
  TestFolder folder_;
  std::string identity_;
  VLPlayer player_;
};

TestHttpServer* VLPlayerTest::s_server = nullptr;

struct Request {
  Request(VLFileHandle* handle, unsigned offset, unsigned size, int priority = 50) : buffer(size, '\0') {
    request.handle = handle;
    request.offset = offset;
    request.sizeBytes = size;
    request.priority = priority;
    request.buffer = &buffer[0];
  }
  int result() const { return request.result.load(); }
  std::string buffer;
  VEReadRequest request;
};

// ---------------------------------------------------------------------------
// Task queue

TEST_F(VLPlayerTest, OrdersReadsByPriorityAndKeepsOtherTasksInArrivalOrder) {
  Request r50(nullptr, 0, 1, 50), r5(nullptr, 0, 1, 5), r5b(nullptr, 0, 1, 5), r100(nullptr, 0, 1, 100),
      r0(nullptr, 0, 1, 0), r99(nullptr, 0, 1, 99);
  std::atomic<size_t> size;
  std::string data;
  VLFileHandle* handle = nullptr;
  std::unique_ptr<VLTask> a(new VLReadTask(&r50.request)), b(new VLReadTask(&r5.request)),
      open(new VLOpenTask("u", &size, &data, &handle)), c(new VLReadTask(&r100.request)),
      d(new VLReadTask(&r5b.request)), close(new VLCloseTask(nullptr)), e(new VLReadTask(&r0.request)),
      f(new VLReadTask(&r99.request));
  std::list<VLTask*> tasks = {a.get(), b.get(), open.get(), c.get(), d.get(), close.get(), e.get(), f.get()};
  VLPlayer::orderTasks(tasks);
  const std::list<VLTask*> expected = {e.get(), b.get(), d.get(), a.get(), f.get(), open.get(), c.get(), close.get()};
  EXPECT_EQ(expected, tasks);
}

TEST_F(VLPlayerTest, ServesReadsFromTheRepositoryFile) {
  open();
  const VLFileId id("reads", 5);
  const std::string content = Support::bytes(10000, 1);
  ASSERT_TRUE(Support::storeFile(repository("cache"), id, content));
  OpenResult opened = openStream("http://127.0.0.1:9/?_TEID=reads&fmt=5");
  ASSERT_NE(nullptr, opened.handle);

  Request whole(opened.handle, 4096, 4096), pastEnd(opened.handle, 8192, 4096), noHandle(nullptr, 0, 16);
  EXPECT_EQ(VE_ERR_NOTREADY, whole.result());
  // One read of a handle at a time, as the engine reads: a new one would end
  // the earlier ones still pending.
  player_.asyncStreamRead(&whole.request);
  EXPECT_TRUE(player_.update(true, false));
  player_.asyncStreamRead(&pastEnd.request);
  player_.asyncStreamRead(&noHandle.request);
  EXPECT_TRUE(player_.update(true, false));

  EXPECT_EQ(VE_OK, whole.result());
  EXPECT_EQ(4096u, whole.request.bytesRead);
  EXPECT_EQ(content.substr(4096, 4096), whole.buffer);
  EXPECT_EQ(VE_ERR_FILE_EOF, pastEnd.result());
  EXPECT_EQ(10000u - 8192u, pastEnd.request.bytesRead);
  EXPECT_EQ(content.substr(8192), pastEnd.buffer.substr(0, 10000 - 8192));
  EXPECT_EQ(VE_ERR_INTERNAL, noHandle.result());
  player_.streamClose(opened.handle);
  player_.update(true, false);
}

// The worker waits between passes until work comes: an engine's read, a
// front end's wake from another thread, or data on a transfer's socket each
// end a wait of a minute at once (a wait that missed one would run its
// minute); with nothing to do the wait lasts its time.
TEST_F(VLPlayerTest, WorkForThePassEndsTheWorkersWait) {
  VLPlatformFactory* platform = VLPlatformFactory::instance();
  double start = platform->getTime();
  player_.waitForWork(60);
  EXPECT_GE(platform->getTime() - start, 0.055) << "no work, no session: the whole wait";

  OpenResult opened = openServed("woken", "stall=4096/");
  ASSERT_NE(nullptr, opened.handle);
  Request read(opened.handle, 0, 4096);
  VLRepositoryFile* late = repository("cache")->getFile(VLFileId("late", 5), true);
  late->setUrl(s_server->url("/delay=300/size=20000/late"));
  struct Case {
    const char* work;
    std::function<void()> give;  // on another thread, once the worker waits
    std::function<bool()> arrived;
  } cases[] = {
      {"an engine read", [&] { player_.asyncStreamRead(&read.request); }, [] { return true; }},
      {"a front end's wake", [&] { player_.wake(); }, [] { return true; }},
      {"a late answer on a socket", [] {}, [&] { return late->getSize() != VLRepositoryFile::UNKNOWN_SIZE; }},
  };
  ASSERT_TRUE(late->open(VLRepositoryFile::OPEN_PROVIDE));
  for (const Case& c : cases) {
    start = platform->getTime();
    do {
      player_.update();
      std::thread giver([&c] {
        VLPlatformFactory::instance()->sleep(20);
        c.give();
      });
      player_.waitForWork(60000);
      giver.join();
      player_.update();
    } while (!c.arrived() && platform->getTime() - start < 30);
    EXPECT_LT(platform->getTime() - start, 30.0) << c.work;
  }
  EXPECT_EQ(VE_OK, read.result());
  late->close(0);
  player_.streamClose(opened.handle);
  player_.update();
}

TEST_F(VLPlayerTest, AReadOfMissingBlocksWaitsAndEndsUnderForce) {
  // The server sends two blocks, then nothing more.
  OpenResult opened = openServed("missing", "stall=8192/", 2);
  ASSERT_NE(nullptr, opened.handle);
  EXPECT_EQ(20000u, opened.size);

  Request straddling(opened.handle, 4096, 8192);
  // Reaching the end of the file is not the end of its data while blocks
  // before the end are missing (read by a second stream of the file: a
  // stream has one read at a time).
  OpenResult second = openServed("missing", "stall=8192/", 2);
  ASSERT_NE(nullptr, second.handle);
  Request toEnd(second.handle, 4096, 20000 - 4096);
  player_.asyncStreamRead(&straddling.request);
  player_.asyncStreamRead(&toEnd.request);
  player_.update(true, false);
  player_.update(true, false);
  EXPECT_EQ(VE_ERR_NOTREADY, straddling.result()) << "a short read away from the end waits";
  EXPECT_EQ(VE_ERR_NOTREADY, toEnd.result());

  player_.update(true, true);
  EXPECT_EQ(VE_ERR_INTERNAL, straddling.result());
  EXPECT_EQ(4096u, straddling.request.bytesRead);
  const std::vector<uint8_t> expected = TestHttpServer::content(2, 4096, 4096);
  EXPECT_EQ(std::string(expected.begin(), expected.end()), straddling.buffer.substr(0, 4096));
  player_.streamClose(opened.handle);
  player_.streamClose(second.handle);
  player_.update(true, false);
}

// The worker waits longer only when nothing can move without a wake-up: a
// read waiting for blocks, or a transfer still running, keeps its passes
// quick (a read served a pass late would starve the sound); once the answer
// is in and read, the player is quiet again.
TEST_F(VLPlayerTest, OnlyAPlayerWithNothingToDoIsQuiet) {
  open();
  player_.update();
  EXPECT_TRUE(player_.isQuiet()) << "a fresh session";

  OpenResult opened = openServed("quiet", "throttle=40000/", 3);
  ASSERT_NE(nullptr, opened.handle);
  Request waiting(opened.handle, 8192, 4096);
  player_.asyncStreamRead(&waiting.request);
  player_.update();
  EXPECT_EQ(VE_ERR_NOTREADY, waiting.result());
  EXPECT_FALSE(player_.isQuiet()) << "a read waits for its blocks";

  VLPlatformFactory* platform = VLPlatformFactory::instance();
  const double start = platform->getTime();
  while (!player_.isQuiet() && platform->getTime() - start < 30) {
    player_.waitForWork(10);
    player_.update();
    if (waiting.result() == VE_ERR_NOTREADY) {
      EXPECT_FALSE(player_.isQuiet()) << "quiet before the read was served";
    }
  }
  EXPECT_EQ(VE_OK, waiting.result());
  EXPECT_TRUE(player_.isQuiet()) << "served, and its transfer done";
  player_.streamClose(opened.handle);
  player_.update();
}

// A cancel ends only the reads of its own handle, as failed and without data.
// An engine closed under a pending read hands the handle back with the read
// still queued: the read ends before the handle goes, and a later read of it
// is refused.
TEST_F(VLPlayerTest, ACancelOrACloseEndsTheWaitingReadsOfItsHandle) {
  OpenResult a = openServed("cancelA", "stall=4096/", 4);
  OpenResult b = openServed("cancelB", "stall=4096/", 5);
  ASSERT_NE(nullptr, a.handle);
  ASSERT_NE(nullptr, b.handle);
  Request a1(a.handle, 8192, 4096), a2(a.handle, 12288, 4096), b1(b.handle, 8192, 4096), b2(b.handle, 0, 4096);
  for (Request* r : {&a1, &a2, &b2}) player_.asyncStreamRead(&r->request);
  EXPECT_TRUE(player_.asyncStreamCancel(a.handle));
  EXPECT_TRUE(player_.asyncStreamCancel(a.handle));
  player_.update(true, false);
  EXPECT_EQ(VE_OK, b2.result());
  player_.asyncStreamRead(&b1.request);
  EXPECT_EQ(VE_ERR_INTERNAL, a1.result());
  EXPECT_EQ(VE_ERR_INTERNAL, a2.result());
  EXPECT_EQ(0u, a1.request.bytesRead);
  player_.update(true, false);
  EXPECT_EQ(VE_ERR_NOTREADY, b1.result()) << "the others go on";

  EXPECT_TRUE(player_.streamClose(b.handle));
  player_.update(true, false);
  EXPECT_EQ(VE_ERR_INTERNAL, b1.result());
  EXPECT_FALSE(repository("cache")->getFile(VLFileId("cancelB", 5), false)->isOpen());
  Request late(b.handle, 0, 4096);
  player_.asyncStreamRead(&late.request);
  EXPECT_TRUE(player_.streamClose(b.handle));
  player_.update(true, false);
  EXPECT_EQ(VE_ERR_INTERNAL, late.result());
  player_.streamClose(a.handle);
  player_.update(true, false);
}

// ---------------------------------------------------------------------------
// Open and close

TEST_F(VLPlayerTest, OpensAStoredFileAndClosesBothItsOpens) {
  open();
  const VLFileId id("stored", 5);
  const std::string content = Support::bytes(30000, 8);
  ASSERT_TRUE(Support::storeFile(repository("download"), id, content));
  repository("download")->getFile(id, false)->setProviderData("opaque data");

  OpenResult result = openStream("http://h/track?_TEID=stored&fmt=5");
  ASSERT_NE(nullptr, result.handle);
  EXPECT_EQ(repository("download"), result.handle->getRepository());
  EXPECT_EQ(id, result.handle->getFileId());
  EXPECT_EQ(content.size(), result.size);
  EXPECT_EQ("opaque data", result.data);
  VLRepositoryFile* file = repository("download")->getFile(id, false);
  EXPECT_TRUE(file->isOpen());
  EXPECT_TRUE(file->getFlags() & VLRepositoryFile::FLAG_LOCKED);

  EXPECT_TRUE(player_.streamClose(result.handle));
  player_.update(true, false);
  EXPECT_FALSE(file->isOpen());
  EXPECT_FALSE(file->getFlags() & VLRepositoryFile::FLAG_LOCKED);
}

// Before the first session and after a clean, opens are answered at once and
// closes refused; a read is still queued and served, but a handle the player
// did not open is refused, never dereferenced.
TEST_F(VLPlayerTest, WithoutSessionOpensAnswerAtOnceAndReadsAreRefused) {
  VLPlayer idle;
  size_t size = 7;
  std::string data = "x";
  EXPECT_EQ(nullptr, idle.streamOpen("http://h/?_TEID=a&fmt=5", &size, &data));
  EXPECT_EQ(0u, size);
  EXPECT_EQ("", data);
  VLFileHandle stranger(nullptr, VLFileId("a", 5));
  EXPECT_FALSE(idle.streamClose(&stranger));
  EXPECT_FALSE(idle.asyncStreamCancel(&stranger));
  Request read(&stranger, 0, 5000);
  EXPECT_TRUE(idle.asyncStreamRead(&read.request));
  idle.update(true, false);
  EXPECT_EQ(VE_ERR_INTERNAL, read.result());

  open();
  player_.clean();
  size = 7;
  EXPECT_EQ(nullptr, player_.streamOpen("http://h/?_TEID=a&fmt=5", &size, &data));
  EXPECT_EQ(0u, size);
}

TEST_F(VLPlayerTest, AForcedPassEndsAWaitingOpen) {
  open();
  std::atomic<bool> done(false);
  size_t size = 7;
  std::string data;
  VLFileHandle* handle = reinterpret_cast<VLFileHandle*>(1);
  std::thread engine([&] {
    handle = player_.streamOpen("http://127.0.0.1:9/x?_TEID=waiting&fmt=5", &size, &data);
    done = true;
  });
  // Served without components: the file provides but nothing arrives.
  while (!done) {
    player_.update(true, false);
    if (repository("cache")->getFile(VLFileId("waiting", 5), false)) break;
    VLPlatformFactory::instance()->sleep(1);
  }
  player_.update(true, false);
  EXPECT_FALSE(done);
  player_.update(true, true);
  engine.join();
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(0u, size);
  EXPECT_FALSE(repository("cache")->getFile(VLFileId("waiting", 5), false)->isOpen());
}

// A sound let go while its open waits for a server that keeps it waiting:
// the open ends at the next pass and its file no longer provides, so the
// opens of many sounds made and deleted do not hold up the next track.
TEST_F(VLPlayerTest, AnOpenItsSoundLetGoOfEndsAndStopsItsTransfer) {
  ASSERT_TRUE(s_server->isRunning());
  open();
  auto wanted = std::make_shared<std::atomic<bool>>(true);
  std::atomic<bool> done(false);
  size_t size = 7;
  std::string data;
  VLFileHandle* handle = reinterpret_cast<VLFileHandle*>(1);
  std::string url = s_server->url("/size=20000/delay=60000/abandoned") + "?_TEID=abandoned&fmt=5";
  std::thread engine([&] {
    handle = player_.streamOpen(url, &size, &data, wanted);
    done = true;
  });
  while (!repository("cache")->getFile(VLFileId("abandoned", 5), false)) {
    player_.update(false, false);
    VLPlatformFactory::instance()->sleep(1);
  }
  wanted->store(false);
  // A pass or two serve it; left alone it would wait for the server or the
  // patience clock, tens of seconds of passes.
  int passes = 0;
  for (; !done; ++passes) {
    player_.update(false, false);
    VLPlatformFactory::instance()->sleep(1);
  }
  engine.join();
  EXPECT_LT(passes, 2000);
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(0u, size);
  EXPECT_FALSE(repository("cache")->getFile(VLFileId("abandoned", 5), false)->isOpen());
}

TEST_F(VLPlayerTest, FetchesAStreamedFileThenServesItsReads) {
  OpenResult result = openServed("fetched", "", 3, 70000);
  ASSERT_NE(nullptr, result.handle);
  EXPECT_EQ(70000u, result.size);
  Request read(result.handle, 65536, 4464, 100);
  player_.asyncStreamRead(&read.request);
  while (read.result() == VE_ERR_NOTREADY) player_.update(false, false);
  EXPECT_EQ(VE_OK, read.result());
  const std::vector<uint8_t> expected = TestHttpServer::content(3, 65536, 4464);
  EXPECT_EQ(std::string(expected.begin(), expected.end()), read.buffer);
  player_.streamClose(result.handle);
  player_.update(false, false);
}

// An open gives up with a null handle and size 0 when the URL is refused, when
// the search finds nothing, and when the file's transfer failed for good.
TEST_F(VLPlayerTest, AnOpenGivesUpWhenNothingCanBePlayed) {
  OpenResult result = openServed("gone", "status=404/", 1, 5000);
  EXPECT_EQ(nullptr, result.handle);
  EXPECT_EQ(0u, result.size);
  EXPECT_FALSE(repository("cache")->getFile(VLFileId("gone", 5), false)->isOpen());
  result = openStream("http://h/?fmt=5");
  EXPECT_EQ(nullptr, result.handle);
  EXPECT_EQ(0u, result.size);
  player_.setOffline(true);
  const size_t mark = VLTestLog::mark();
  result = openStream("http://h/?_TEID=nothing&fmt=5");
  EXPECT_EQ(nullptr, result.handle);
  EXPECT_EQ(0u, result.size);
  EXPECT_TRUE(logged(mark, "Unable to find appropriate repository file : "));
}

// ---------------------------------------------------------------------------
// Stream URL and file search

TEST_F(VLPlayerTest, ResolvesEntityAndFormatFromTheUrl) {
  open();
  const struct {
    const char* url;
    const char* expected;
    const char* logged;
  } cases[] = {
      {"http://h/a.mp3?peid=12&mnb=1&tnb=3&fmt=6", "cache/12_1_3_6", nullptr},
      {"http://h/a.mp3?peid=12&mnb=1&tnb=3&fmt=5", "cache/12_1_3_5", nullptr},
      {"http://h/a.mp3?peid=12&mnb=1&tnb=3&_TEID=t9&fmt=6", "cache/t9_6", nullptr},
      {"http://h/a.mp3?_TEID=t9&fmt=5&_FMT=6", "cache/t9_6", nullptr},
      // A lossy request creates the default of its class, format 5.
      {"http://h/a.mp3?_TEID=t9&fmt=18", "cache/t9_5", nullptr},
      {"http://h/a.mp3?_TEID=t9&fmt=6x", "cache/t9_6", nullptr},
      {"http://h/a.mp3?_TEID=t9&fmt=x6", "cache/t9_5", nullptr},
      {"http://h/a.mp3?_TEID=t9&fmt=99999999999999", "cache/t9_5", nullptr},
      // Missing parts.
      {"http://h/?peid=1&fmt=5", "refused", "Unable to find entity ID in URL : http://h/?peid=1&fmt=5"},
      {"http://h/a.mp3?peid=12&mnb=1&fmt=6", "refused", nullptr},
      {"http://h/?_TEID=1", "refused", "Unable to find format ID in URL : http://h/?_TEID=1"},
      {"http://h/a.mp3?_TEID=t9&fmt=", "refused", nullptr},
      {"", "refused", nullptr},
      // Parameters are read from the query only, by their whole names.
      {"http://u@h/a.mp3?_TEID=t9&fmt=5", "cache/t9_5", nullptr},
      {"http://h/a.mp3?from=x@y&_TEID=t9&xfmt=6&fmt=5", "cache/t9_5", nullptr},
      // Local files.
      {"http://h/?_TEID=t9&fmt=5&_LOCAL=true&_REPO=download", "download/t9_5", nullptr},
      {"http://h/?_TEID=t9&fmt=13&_LOCAL=true&_REPO=import", "import/t9_13", nullptr},
      {"http://h/?_TEID=t9&fmt=5&_LOCAL=TRUE&_REPO=download", "cache/t9_5", nullptr},
      {"http://h/?_TEID=t9&fmt=5&_LOCAL=true&_REPO=nowhere", "cache/t9_5", "Unknown repository : nowhere"},
      {"http://h/?_TEID=t9&fmt=5&_LOCAL=true", "cache/t9_5", "Local parameter is specified without repository"},
      {"http://h/?_TEID=t9&fmt=5&_LOCAL=true&_REPO=Download", "cache/t9_5", nullptr},
      // Metadata after '@' is taken whole and stored with the file found.
      {"http://h/?_TEID=meta&fmt=5&_METADATA=@{\"title\":\"a&b=c\"}", "cache/meta_5", nullptr},
  };
  for (const auto& c : cases) {
    const size_t mark = VLTestLog::mark();
    EXPECT_EQ(c.expected, search(c.url)) << c.url;
    if (c.logged) {
      EXPECT_TRUE(logged(mark, c.logged)) << c.logged;
    }
  }
  EXPECT_EQ("{\"title\":\"a&b=c\"}", repository("cache")->getFile(VLFileId("meta", 5), false)->getMetadata());
}

TEST_F(VLPlayerTest, SearchesCompleteCopiesInEveryRepositoryBeforeFetchingOnes) {
  open();
  // A fetching format-18 copy in the cache, a complete format-5 one in download.
  ASSERT_TRUE(Support::storeFile(repository("download"), VLFileId("e1", 5), Support::bytes(5000, 1)));
  VLRepositoryFile* fetching = repository("cache")->getFile(VLFileId("e1", 18), true);
  ASSERT_TRUE(fetching->open(VLRepositoryFile::OPEN_PROVIDE));
  EXPECT_EQ("download/e1_5", search("http://h/?_TEID=e1&fmt=5"));

  fetching->close(0);

  // Without a complete copy the fetching one wins over a new file.
  VLRepositoryFile* other = repository("import")->getFile(VLFileId("e1b", 17), true);
  ASSERT_TRUE(other->open(VLRepositoryFile::OPEN_PROVIDE));
  EXPECT_EQ("import/e1b_17", search("http://h/?_TEID=e1b&fmt=5"));
  other->close(0);
  EXPECT_EQ("cache/e1b_5", search("http://h/?_TEID=e1b&fmt=5"));
}

TEST_F(VLPlayerTest, WalksFormatsInTableOrderAcrossRepositories) {
  open();
  // Lossless: 6 comes before 13 in the table, whatever the repository.
  ASSERT_TRUE(Support::storeFile(repository("cache"), VLFileId("e2", 13), Support::bytes(5000, 1)));
  ASSERT_TRUE(Support::storeFile(repository("import"), VLFileId("e2", 6), Support::bytes(5000, 1)));
  EXPECT_EQ("import/e2_6", search("http://h/?_TEID=e2&fmt=6"));
  // A lossy request ignores lossless copies while the cache can take a file.
  EXPECT_EQ("cache/e2_5", search("http://h/?_TEID=e2&fmt=5"));
  // Disabled formats (8) are never taken.
  ASSERT_TRUE(Support::storeFile(repository("cache"), VLFileId("e3", 8), Support::bytes(5000, 1)));
  EXPECT_EQ("cache/e3_5", search("http://h/?_TEID=e3&fmt=5"));
}

TEST_F(VLPlayerTest, ALossyRequestTakesALosslessCopyWhenTheCacheCannotTakeAFile) {
  open();
  ASSERT_TRUE(Support::storeFile(repository("import"), VLFileId("e4", 6), Support::bytes(5000, 1)));
  player_.setOffline(true);
  EXPECT_EQ("import/e4_6", search("http://h/?_TEID=e4&fmt=5"));
  // A lossless request does not take lossy copies.
  ASSERT_TRUE(Support::storeFile(repository("import"), VLFileId("e5", 5), Support::bytes(5000, 1)));
  EXPECT_EQ("none", search("http://h/?_TEID=e5&fmt=6"));
  // Offline, a fetching copy is not taken but a complete one is.
  VLRepositoryFile* fetching = repository("cache")->getFile(VLFileId("e6", 5), true);
  ASSERT_TRUE(fetching->open(VLRepositoryFile::OPEN_PROVIDE));
  EXPECT_EQ("none", search("http://h/?_TEID=e6&fmt=5"));
  fetching->close(0);
  EXPECT_EQ("none", search("http://h/?_TEID=e7&fmt=5"));
}

// ---------------------------------------------------------------------------
// Session

TEST_F(VLPlayerTest, OpensWithDefaultsWhenNothingIsStored) {
  const std::string identity = Support::newIdentity("defaults");
  Support::placeRepositories(identity, folder_.path() + "/defaults");
  Support::settings()->setValue(identity, "OutputDevice", "5:0");
  player_.init(nullptr, nullptr, identity);
  EXPECT_EQ(identity, player_.getIdentity());
  double maxSize = -1;
  int maxPercent = -1;
  repository("cache")->getLimits(&maxSize, &maxPercent);
  EXPECT_EQ(0, maxSize);
  EXPECT_EQ(10, maxPercent);
  repository("import")->getLimits(&maxSize, &maxPercent);
  EXPECT_EQ(0, maxSize);
  EXPECT_EQ(0, maxPercent);
  ASSERT_NE(nullptr, player_.getAudioInterface());
  EXPECT_EQ(65536u, player_.getAudioInterface()->getStreamBufferSize());
  EXPECT_NE(nullptr, player_.getHttpRepositoryProvider());
  // Repositories by exact name; an empty one is the cache.
  EXPECT_EQ("cache", player_.getRepository("")->getName());
  for (const char* name : {"cache", "import", "download"}) EXPECT_EQ(name, player_.getRepository(name)->getName());
  EXPECT_EQ(nullptr, player_.getRepository("Cache"));
  EXPECT_EQ(nullptr, player_.getRepository("other"));
}

TEST_F(VLPlayerTest, WritesTheSettingsBackAtClose) {
  open();
  repository("cache")->setLimits(25, 2500000);
  repository("download")->setDirectory(folder_.path() + "/moved", false);
  ASSERT_TRUE(player_.getAudioInterface()->setStreamBufferSize(131072, true));
  const std::string output = player_.getAudioInterface()->getOutput();
  EXPECT_TRUE(player_.clean());
  EXPECT_EQ(nullptr, player_.getAudioInterface());
  EXPECT_EQ(nullptr, player_.getRepository(""));

  EXPECT_EQ("2", Support::settings()->getValue(identity_, "CacheMaxSizeBytesMb", ""));
  EXPECT_EQ("25", Support::settings()->getValue(identity_, "CacheMaxSizePercent", ""));
  EXPECT_EQ("128", Support::settings()->getValue(identity_, "StreamBufferSizeKb", ""));
  EXPECT_EQ(output, Support::settings()->getValue(identity_, "OutputDevice", ""));
  EXPECT_EQ(folder_.path() + "/cache", Support::settings()->getValue(identity_, "CachePath", ""));

  open();
  double maxSize = 0;
  int maxPercent = 0;
  repository("cache")->getLimits(&maxSize, &maxPercent);
  EXPECT_EQ(2000000, maxSize);
  EXPECT_EQ(25, maxPercent);
  EXPECT_EQ(131072u, player_.getAudioInterface()->getStreamBufferSize());
}

// A session whose engine never started has no buffer size of its own, a cache
// limit may exceed what the preference can hold, and a stored size may be one
// the engine refuses: none may leave the next session without a usable value.
TEST_F(VLPlayerTest, StoredValuesStayUsableForTheNextSession) {
  Support::settings()->setValue(identity_, "StreamBufferSizeKb", "128");
  Support::settings()->setValue(identity_, "OutputDevice", "no colon");
  open();
  ASSERT_EQ(nullptr, player_.getAudioInterface()->getSystem());
  repository("cache")->setLimits(0, 5e15);
  EXPECT_TRUE(player_.clean());
  EXPECT_EQ("128", Support::settings()->getValue(identity_, "StreamBufferSizeKb", ""));
  EXPECT_EQ("2147483647", Support::settings()->getValue(identity_, "CacheMaxSizeBytesMb", ""));

  for (const char* refused : {"0", "99999999"}) {
    Support::settings()->setValue(identity_, "OutputDevice", "5:0");
    Support::settings()->setValue(identity_, "StreamBufferSizeKb", refused);
    open();
    ASSERT_NE(nullptr, player_.getAudioInterface());
    EXPECT_EQ(65536u, player_.getAudioInterface()->getStreamBufferSize()) << refused;
    player_.clean();
  }
}

TEST_F(VLPlayerTest, CleanWithoutSessionWritesNothing) {
  VLPlayer idle;
  EXPECT_TRUE(idle.clean());
  EXPECT_TRUE(idle.clean());
  EXPECT_EQ("none", Support::settings()->getValue("", "OutputDevice", "none"));
  open();
  EXPECT_TRUE(player_.clean());
  Support::settings()->setValue(identity_, "CacheMaxSizePercent", "33");
  EXPECT_TRUE(player_.clean());
  EXPECT_EQ("33", Support::settings()->getValue(identity_, "CacheMaxSizePercent", ""));
}

}  // namespace
