// The system: set-up calls, drivers, and the file-callback contract (which
// thread calls what, when, and how often), including release and close
// while callbacks are running or reads are pending.
#include "VESystem.h"

#include <gtest/gtest.h>

#include <atomic>

#include "VEFileReader.h"
#include "VETestSupport.h"

using namespace vetest;

namespace {

class VESystemTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  void TearDown() override {
    FileServer::instance().gateOpens(false);
    EXPECT_TRUE(FileServer::instance().violations().empty());
  }
};

}  // namespace

TEST_F(VESystemTest, SetUpHappensBeforeInitAndAgainAfterClose) {
  VESystem* system = nullptr;
  ASSERT_EQ(VE_OK, VESystem::create(&system));
  VESound* sound = nullptr;
  VEChannel* channel = nullptr;
  EXPECT_EQ(VE_ERR_UNINITIALIZED, system->createStream("x", VE_MODE_NONBLOCKING, &sound));
  EXPECT_EQ(VE_ERR_UNINITIALIZED, system->getChannel(0, &channel));
  EXPECT_EQ(VE_ERR_UNINITIALIZED, system->update());

  ASSERT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_NOSOUND_NRT));
  EXPECT_EQ(VE_ERR_INVALID_PARAM, system->init(4094, 0, nullptr));
  ASSERT_EQ(VE_OK, system->init(4093, 0, nullptr));
  EXPECT_EQ(VE_ERR_INITIALIZED, system->init(4093, 0, nullptr));
  EXPECT_EQ(VE_ERR_INITIALIZED, system->setOutput(VE_OUTPUTTYPE_NOSOUND));
  EXPECT_EQ(VE_ERR_FILE_SYSTEM, system->createStream("x", VE_MODE_NONBLOCKING, &sound));
  EXPECT_EQ(VE_OK, system->getChannel(4092, &channel));
  EXPECT_EQ(VE_OK, system->close());
  EXPECT_EQ(VE_ERR_UNINITIALIZED, system->update());
  // Closed, it can be set up and opened again.
  EXPECT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_NOSOUND));
  EXPECT_EQ(VE_OK, system->init(16, 0, nullptr));
  EXPECT_EQ(VE_OK, system->release());
}

TEST_F(VESystemTest, DriversHaveStableNonZeroIds) {
  auto firstId = [](VEOutputType type, std::string* name) {
    VESystem* system = nullptr;
    VESystem::create(&system);
    EXPECT_EQ(VE_OK, system->setOutput(type));
    int count = 0;
    EXPECT_EQ(VE_OK, system->getNumDrivers(&count));
    EXPECT_GE(count, 1);
    char buffer[256] = {};
    VEGuid guid{};
    EXPECT_EQ(VE_OK, system->getDriverInfo(0, buffer, sizeof buffer, &guid));
    EXPECT_EQ(VE_ERR_OUTPUT_DRIVER, system->getDriverInfo(count, buffer, sizeof buffer, &guid));
    EXPECT_EQ(VE_ERR_OUTPUT_DRIVER, system->setDriver(count));
    EXPECT_EQ(VE_OK, system->setDriver(0));
    *name = buffer;
    system->release();
    return guid.data1;
  };
  // ALSA offers only devices that open: here those of a sound server.
  NullSinkServer server;
  for (VEOutputType type : {VE_OUTPUTTYPE_NOSOUND, VE_OUTPUTTYPE_NOSOUND_NRT, VE_OUTPUTTYPE_WAVWRITER_NRT,
                            VE_OUTPUTTYPE_ALSA, VE_OUTPUTTYPE_AUTODETECT}) {
    if (type == VE_OUTPUTTYPE_ALSA && !server.ready()) continue;
    std::string name;
    unsigned int id = firstId(type, &name);
    std::string again;
    EXPECT_NE(0u, id) << type;
    EXPECT_EQ(id, firstId(type, &again)) << type;
    EXPECT_FALSE(name.empty()) << type;
  }
}

TEST_F(VESystemTest, OutputsThatCannotOpenAnswerOutputInit) {
  unsetenv(VE_WAVWRITER_PATH_VARIABLE);
  VESystem* system = nullptr;
  VESystem::create(&system);
  system->setOutput(VE_OUTPUTTYPE_WAVWRITER_NRT);
  EXPECT_EQ(VE_ERR_OUTPUT_INIT, system->init(8, 0, nullptr));
  EXPECT_EQ(VE_ERR_OUTPUT_INIT, system->init(8, 0, const_cast<char*>("/nonexistent/dir/out.wav")));
  // The environment names the file when init does not.
  std::string file = path("from-environment.wav");
  setenv(VE_WAVWRITER_PATH_VARIABLE, file.c_str(), 1);
  EXPECT_EQ(VE_OK, system->init(8, 0, nullptr));
  unsetenv(VE_WAVWRITER_PATH_VARIABLE);
  system->release();
  EXPECT_EQ(44u, readFile(file).size());  // a complete, empty WAV file

  // Automatic output always ends up somewhere (no sound at worst).
  VESystem::create(&system);
  EXPECT_EQ(VE_OK, system->init(8, 0, nullptr));
  VEOutputType type = VE_OUTPUTTYPE_AUTODETECT;
  system->getOutput(&type);
  EXPECT_TRUE(type == VE_OUTPUTTYPE_PULSEAUDIO || type == VE_OUTPUTTYPE_ALSA || type == VE_OUTPUTTYPE_NOSOUND);
  system->release();
}

TEST_F(VESystemTest, OpenRunsOnceOnAnEngineThreadAfterCreateReturned) {
  Fixture f = flac("once", 0.5, 44100, 2);
  FileServer& server = FileServer::instance();
  server.addFile("once", f.file);
  WavSystem engine("once");
  VESound* sound = nullptr;
  VESound* seenAtOpen = reinterpret_cast<VESound*>(1);
  server.onOpen = [&](const char*) { seenAtOpen = sound; };
  ASSERT_EQ(VE_OK, engine.system->createStream("once", VE_MODE_NONBLOCKING, &sound));
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  server.onOpen = nullptr;
  EXPECT_EQ(sound, seenAtOpen);  // the caller held the sound before the open ran
  EXPECT_EQ(1, server.opens.load());
  ASSERT_EQ(1u, server.openThreads().size());
  EXPECT_NE(std::this_thread::get_id(), server.openThreads()[0]);
  sound->release();
  ASSERT_TRUE(updateUntil(engine.system, [&] { return server.closes.load() == 1; }));
  for (int i = 0; i < 5; ++i) engine.system->update();
  EXPECT_EQ(1, server.opens.load());
  EXPECT_EQ(1, server.closes.load());
}

namespace {
std::atomic<void*> userDataAtOpen{nullptr};
VEResult recordUserDataAndRefuse(const char*, unsigned int*, void**, void** userData) {
  userDataAtOpen.store(*userData);
  return VE_ERR_FILE_NOTFOUND;
}
VEResult unusedClose(void*, void*) {
  return VE_OK;
}
VEResult unusedRead(VEReadRequest*, void*) {
  return VE_ERR_INTERNAL;
}
}  // namespace

// The open callback has no other way to learn whom it opens for.
TEST_F(VESystemTest, OpenFindsTheFileSystemsUserData) {
  int owner = 0;
  VESystem* system = nullptr;
  ASSERT_EQ(VE_OK, VESystem::create(&system));
  ASSERT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_NOSOUND_NRT));
  ASSERT_EQ(VE_OK, system->init(4, 0, nullptr));
  ASSERT_EQ(VE_OK, system->setFileSystem(recordUserDataAndRefuse, unusedClose, unusedRead, 0, &owner));
  VESound* sound = nullptr;
  ASSERT_EQ(VE_OK, system->createStream("x", VE_MODE_NONBLOCKING, &sound));
  EXPECT_EQ(VE_OPENSTATE_ERROR, waitOpened(system, sound));
  EXPECT_EQ(&owner, userDataAtOpen.load());
  sound->release();
  system->release();
}

TEST_F(VESystemTest, BadContentFailsWithFormatAfterTheCloseCallback) {
  FileServer& server = FileServer::instance();
  server.add("empty", {});
  server.add("garbage", std::vector<uint8_t>(5000, 0x5A));
  std::vector<uint8_t> fakeFlac = {'f', 'L', 'a', 'C', 0, 0, 0, 1, 2, 3};
  server.add("fake-flac", fakeFlac);
  std::vector<uint8_t> fakeId3 = {'I', 'D', '3', 3, 0, 0, 0, 0,  0,   10,  1,   2,
                                  3,   4,   5,   6, 7, 8, 9, 10, 'x', 'y', 'z', 'w'};
  server.add("fake-id3", fakeId3);
  WavSystem engine("bad");
  int expectedCloses = 0;
  for (const char* name : {"empty", "garbage", "fake-flac", "fake-id3"}) {
    VESound* sound = engine.open(name);
    ASSERT_EQ(VE_OPENSTATE_ERROR, waitOpened(engine.system, sound)) << name;
    // The close ran before the error became visible.
    EXPECT_EQ(++expectedCloses, server.closes.load()) << name;
    VEResult result = VE_OK;
    openState(sound, &result);
    EXPECT_EQ(VE_ERR_FORMAT, result) << name;
    unsigned int length = 0;
    EXPECT_EQ(VE_ERR_FORMAT, sound->getLength(&length, VE_TIMEUNIT_MS));
    VEChannel* channel = nullptr;
    EXPECT_EQ(VE_ERR_FORMAT, engine.system->playSound(0, sound, false, &channel));
    sound->release();
  }
  // A missing file: the open failed, so there is nothing to close.
  VESound* missing = engine.open("missing");
  ASSERT_EQ(VE_OPENSTATE_ERROR, waitOpened(engine.system, missing));
  VEResult result = VE_OK;
  openState(missing, &result);
  EXPECT_EQ(VE_ERR_FILE_NOTFOUND, result);
  missing->release();
  for (int i = 0; i < 5; ++i) engine.system->update();
  EXPECT_EQ(expectedCloses, server.closes.load());
}

TEST_F(VESystemTest, ReleaseDuringTheOpenClosesOnceTheOpenReturns) {
  Fixture f = flac("release-open", 0.5, 44100, 2);
  FileServer& server = FileServer::instance();
  server.addFile("release-open", f.file);
  server.gateOpens(true);
  WavSystem engine("release-open");
  VESound* sound = engine.open("release-open");
  ASSERT_TRUE(server.waitForOpens(1));
  EXPECT_EQ(VE_OPENSTATE_LOADING, openState(sound));
  EXPECT_EQ(VE_OK, sound->release());  // returns although the open is blocked
  engine.system->update();
  EXPECT_EQ(0, server.closes.load());
  server.gateOpens(false);
  ASSERT_TRUE(updateUntil(engine.system, [&] { return server.closes.load() == 1; }));
  EXPECT_EQ(0, server.reads.load());
}

TEST_F(VESystemTest, ReleaseWithAReadPendingClosesAfterItsResult) {
  Fixture f = flac("release-read", 10.0, 44100, 2);
  FileServer& server = FileServer::instance();
  server.addFile("release-read", f.file);
  WavSystem engine("release-read");
  VESound* sound = engine.open("release-read");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  server.setMode(FileServer::Mode::Queued);
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, false, &channel));
  ASSERT_TRUE(updateUntil(engine.system, [&] { return server.queued() > 0; }));
  sound->release();
  for (int i = 0; i < 10; ++i) engine.system->update();
  EXPECT_EQ(0, server.closes.load());  // not while the read waits
  server.answer();
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    server.answer();
    return server.closes.load() == 1;
  }));
}

TEST_F(VESystemTest, CloseDoesNotWaitForABlockedOpenAndMakesNoLaterCallback) {
  Fixture f = flac("close-open", 10.0, 44100, 2);
  FileServer& server = FileServer::instance();
  server.addFile("close-open", f.file);
  server.addFile("close-read", f.file);
  server.addFile("close-idle", f.file);
  WavSystem engine("close-open");
  // One stream idle and open, one with a read that will never be answered
  // before the close, one blocked in its open callback.
  VESound* idle = engine.open("close-idle");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, idle));
  server.setMode(FileServer::Mode::Queued);
  VESound* reading = engine.open("close-read");
  ASSERT_TRUE(updateUntil(engine.system, [&] { return server.queued() > 0; }));
  server.gateOpens(true);
  engine.open("close-open");
  ASSERT_TRUE(server.waitForOpens(3));
  (void)reading;

  int closesBefore = server.closes.load();
  engine.system->release();  // must return: the open is blocked, a read waits
  engine.system = nullptr;
  // The idle stream was closed during the close; the others were not.
  EXPECT_EQ(closesBefore + 1, server.closes.load());
  EXPECT_GT(VEFileReader::orphanCount(), 0u);
  // Whatever happens afterwards makes no callback.
  server.gateOpens(false);
  server.answer();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  server.answer();
  EXPECT_EQ(closesBefore + 1, server.closes.load());
  EXPECT_EQ(3, server.opens.load());
  VEFileReader::pruneOrphans();
  EXPECT_EQ(0u, VEFileReader::orphanCount());
}

TEST_F(VESystemTest, EverySuccessfulOpenIsClosedExactlyOnce) {
  Fixture f = mp3("many", 1.0, 44100, 2, "-b 128");
  FileServer& server = FileServer::instance();
  server.addFile("many", f.file);
  WavSystem engine("many", 4096, 16384, 16);
  std::vector<VESound*> sounds;
  for (int i = 0; i < 8; ++i) sounds.push_back(engine.open("many"));
  for (VESound* s : sounds) ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, s));
  VEChannel* channel = nullptr;
  for (int i = 0; i < 4; ++i) engine.system->playSound(i, sounds[size_t(i)], i % 2 == 0, &channel);
  for (int i = 0; i < 20; ++i) engine.system->update();
  sounds[0]->release();
  sounds[5]->release();
  for (int i = 0; i < 3; ++i) engine.system->update();
  engine.finish();  // closes the rest
  EXPECT_EQ(8, server.opens.load());
  EXPECT_EQ(8, server.closes.load());
}
