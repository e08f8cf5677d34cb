#include "VLAudioInterface.h"

#include "TestPlatform.h"
#include "VEOutput.h"
#include "VETestSupport.h"
#include "VLPlaybackTestSupport.h"
#include "VLSound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef VLPlaybackTestSupport Support;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class VLAudioInterfaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Before the core uses the platform: a clock that tests may stop.
    TestPlatform::install();
    Support::start();
  }

  int create(VLPlaybackSession& session, const std::string& url) {
    int id = 0;
    EXPECT_TRUE(session.audio()->createSound(url, &id)) << url;
    return id;
  }

  // A stored FLAC file in the download repository: plays without network,
  // with exact seeks.
  std::string storeTrack(VLPlaybackSession& session, const std::string& entity, double seconds) {
    const vetest::Fixture track = vetest::flac("vlaudio-" + entity, seconds, 44100, 2);
    EXPECT_TRUE(Support::storeFile(session.repository("download"), VLFileId(entity, 5), Support::readFile(track.file)));
    return "http://127.0.0.1:9/x?_TEID=" + entity + "&fmt=5&_LOCAL=true&_REPO=download";
  }
};

TEST_F(VLAudioInterfaceTest, SoundIdsFollowTheLargestLiveId) {
  VLPlaybackSession session;
  EXPECT_EQ(1, create(session, "http://127.0.0.1:9/?_TEID=a&fmt=5"));
  EXPECT_EQ(2, create(session, "http://127.0.0.1:9/?_TEID=b&fmt=5"));
  EXPECT_EQ(3, create(session, "http://127.0.0.1:9/?_TEID=c&fmt=5"));
  EXPECT_TRUE(session.audio()->deleteSound(2));
  EXPECT_EQ(4, create(session, "http://127.0.0.1:9/?_TEID=d&fmt=5"));
  EXPECT_TRUE(session.audio()->deleteSound(4));
  EXPECT_EQ(4, create(session, "http://127.0.0.1:9/?_TEID=e&fmt=5"));

  const size_t mark = VLTestLog::mark();
  EXPECT_FALSE(session.audio()->deleteSound(2));
  EXPECT_FALSE(session.audio()->getSound(2, nullptr));
  int newId = 0;
  EXPECT_FALSE(session.audio()->resetSound(2, "http://127.0.0.1:9/?_TEID=f&fmt=5", &newId));
  EXPECT_TRUE(contains(VLTestLog::since(mark), "Unable to find sound #2"));
  session.runUntil([] { return false; }, 20);
}

TEST_F(VLAudioInterfaceTest, AnOutputIdWithoutColonLeavesTheSessionWithoutEngine) {
  const size_t mark = VLTestLog::mark();
  VLPlaybackSession session("5");
  EXPECT_TRUE(contains(VLTestLog::since(mark), "Unable to set audio engine output : 5"));
  int id = 0;
  EXPECT_FALSE(session.audio()->createSound("http://127.0.0.1:9/?_TEID=a&fmt=5", &id));
  EXPECT_FALSE(session.audio()->setOutput("5:0", false));
  EXPECT_FALSE(session.audio()->setStreamBufferSize(65536, false));
  EXPECT_FALSE(session.audio()->update());
}

TEST_F(VLAudioInterfaceTest, AnEmptyIdIsTheFirstAutomaticDriver) {
  VLPlaybackSession session("");
  const std::string output = session.audio()->getOutput();
  EXPECT_EQ(0u, output.find("0:"));
  EXPECT_NE("0:0", output);
  const VLAudioInterface::DriverList drivers = session.audio()->getOutputDrivers();
  ASSERT_FALSE(drivers.empty());
  EXPECT_EQ(output, drivers.front().second);
  for (const auto& driver : drivers) {
    EXPECT_TRUE(driver.first.find("Default : ") == 0 || driver.first.find("PulseAudio : ") == 0 ||
                driver.first.find("ALSA : ") == 0)
        << driver.first;
    EXPECT_NE(std::string::npos, driver.second.find(':'));
  }
}

TEST_F(VLAudioInterfaceTest, AnUnknownDriverKeyPlaysOnDriverZeroAndStaysTheOutput) {
  const size_t mark = VLTestLog::mark();
  VLPlaybackSession session("5:12345");
  EXPECT_TRUE(contains(VLTestLog::since(mark), "Audio engine driver not found, set to default"));
  EXPECT_EQ("5:12345", session.audio()->getOutput());
  create(session, "http://127.0.0.1:9/?_TEID=a&fmt=5");

  // A key beyond 32 bits does not wrap onto a real driver.
  VLPlaybackSession other("5:99999999999999999999");
  EXPECT_EQ("5:99999999999999999999", other.audio()->getOutput());
}

TEST_F(VLAudioInterfaceTest, AnOutputThatCannotOpenFallsBackToAutomatic) {
  const size_t mark = VLTestLog::mark();
  // The WAV writer cannot open a file there.
  VLPlaybackSession session("6:0", 64, "/proc/velora-no-such-folder/out.wav");
  EXPECT_TRUE(contains(VLTestLog::since(mark), "Unable to set audio engine output, set it to default"));
  EXPECT_EQ(0u, session.audio()->getOutput().find("0:"));
  create(session, "http://127.0.0.1:9/?_TEID=a&fmt=5");
}

TEST_F(VLAudioInterfaceTest, RefusesStreamBufferSizesThatCannotBe) {
  VLPlaybackSession session;
  VLAudioInterface* audio = session.audio();
  const size_t mark = VLTestLog::mark();
  EXPECT_FALSE(audio->setStreamBufferSize(0, false));
  // What "-1" KiB from the page becomes.
  EXPECT_FALSE(audio->setStreamBufferSize(static_cast<size_t>(-1) << 10, false));
  EXPECT_TRUE(contains(VLTestLog::since(mark), "Stream buffer size refused"));
  EXPECT_TRUE(audio->setStreamBufferSize(static_cast<size_t>(-1), true));
  EXPECT_EQ(65536u, audio->getStreamBufferSize());

  EXPECT_TRUE(audio->setStreamBufferSize(131072, false));
  EXPECT_EQ(65536u, audio->getStreamBufferSize()) << "applied by the worker";
  session.pass();
  EXPECT_EQ(131072u, audio->getStreamBufferSize());
}

TEST_F(VLAudioInterfaceTest, APendingOutputIsAppliedByTheNextPass) {
  VLPlaybackSession session;
  const std::string before = session.audio()->getOutput();
  EXPECT_EQ(0u, before.find("6:"));
  EXPECT_TRUE(session.audio()->setOutput("5:0", false));
  EXPECT_EQ(before, session.audio()->getOutput());
  session.pass();
  EXPECT_EQ(0u, session.audio()->getOutput().find("5:"));
}

TEST_F(VLAudioInterfaceTest, NamingTheOutputInUseRestartsNothing) {
  // The automatic output on a sound server's sink, as the page resets it
  // (""), in its short form and in full; the WAV writer's and the chosen no
  // sound's short forms and full ids.
  vetest::NullSinkServer pulse;
  for (const char* output : {"", "6:0", "3:0"}) {
    if (!*output && !pulse.ready()) continue;
    VLPlaybackSession session(output);
    VLSound* sound = session.sound(create(session, storeTrack(session, "same", 1.0)));
    ASSERT_TRUE(session.runUntil([&] { return sound->getState() == VE_OPENSTATE_READY; })) << output;
    const std::string current = session.audio()->getOutput();
    const std::string shortForm = current.substr(0, current.find(':')) + ":0";
    for (const std::string& id : {std::string(output), shortForm, current}) {
      EXPECT_TRUE(session.audio()->setOutput(id, true));
      EXPECT_EQ(current, session.audio()->getOutput());
      EXPECT_EQ(VE_OPENSTATE_READY, sound->getState()) << "reopened for " << id;
    }
  }
}

// While the engine plays on no sound for want of a device, the page's
// automatic choice ("0:0", or "" as a reset of the settings sends it) looks
// for the devices again at once rather than count as the device in use. The
// clock stands still, so the periodic look cannot be what finds the server.
TEST_F(VLAudioInterfaceTest, TheAutomaticChoiceLooksForADeviceAgain) {
  TestPlatform* platform = TestPlatform::install();
  const std::string noSound = "0:" + std::to_string(VEOutput::driverId("nosound"));
  const std::string sink = "0:" + std::to_string(VEOutput::driverId("test"));
  for (const char* choice : {"0:0", ""}) {
    SCOPED_TRACE(std::string("choice \"") + choice + "\"");
    vetest::NullSinkServer::usePrivateRuntime();
    VLPlaybackSession session("0:0");
    platform->setTime(platform->getTime());
    session.pass();
    ASSERT_EQ(noSound, session.audio()->getOutput());
    vetest::NullSinkServer pulse;
    if (!pulse.ready()) {
      platform->useRealTime();
      GTEST_SKIP() << "no PulseAudio server could be started here";
    }
    for (int i = 0; i < 10; ++i) session.pass();
    EXPECT_EQ(noSound, session.audio()->getOutput());
    EXPECT_TRUE(session.audio()->setOutput(choice, false));
    session.pass();
    EXPECT_EQ(sink, session.audio()->getOutput());
    session.close();
    platform->useRealTime();
  }
}

TEST_F(VLAudioInterfaceTest, ASwitchPutsEverySoundBackAsItWas) {
  VLPlaybackSession session;
  // Long enough not to end while the others reopen, however slowly: the
  // non-real-time output mixes on at every pass meanwhile.
  const int playing = create(session, storeTrack(session, "swplay", 30.0));
  const int paused = create(session, storeTrack(session, "swpause", 3.0));
  const int idle = create(session, storeTrack(session, "swidle", 3.0));
  VLSound* a = session.sound(playing);
  VLSound* b = session.sound(paused);
  VLSound* c = session.sound(idle);
  ASSERT_TRUE(session.runUntil([&] {
    return a->getState() == VE_OPENSTATE_READY && b->getState() == VE_OPENSTATE_READY &&
           c->getState() == VE_OPENSTATE_READY;
  }));
  a->play(false, 0);
  b->setPosition(1500);
  b->pause();
  ASSERT_TRUE(session.runUntil([&] { return a->getPosition() > 500 && b->getPaused(); }));

  // One switch, then two in a row: the second comes while the streams still
  // reopen from the first (a device lost and found again at once).
  const std::vector<std::vector<std::string>> switches = {{"5:0"}, {"6:0", "5:0"}};
  for (const std::vector<std::string>& outputs : switches) {
    SCOPED_TRACE(outputs.size());
    const unsigned int savedA = a->getPosition();
    const unsigned int savedB = b->getPosition();
    EXPECT_NEAR(1500, savedB, 1);

    const size_t mark = VLTestLog::mark();
    for (const std::string& output : outputs) {
      ASSERT_TRUE(session.audio()->setOutput(output, true));
      EXPECT_EQ(0u, session.audio()->getOutput().find(output.substr(0, 2)));
    }
    // While the streams reopen on the new output, however many passes that
    // takes, the page reads every sound as it was: none stopped, none
    // unpaused, none back at its start.
    int changedPasses = 0;
    unsigned int lowestA = savedA;
    ASSERT_TRUE(session.runUntil([&] {
      if (!a->getPlaying() || !b->getPlaying() || !b->getPaused() || c->getPlaying()) ++changedPasses;
      lowestA = std::min(lowestA, a->getPosition());
      return a->getState() == VE_OPENSTATE_READY && b->getState() == VE_OPENSTATE_READY &&
             c->getState() == VE_OPENSTATE_READY && a->getPosition() > savedA;
    }));
    EXPECT_EQ(0, changedPasses);
    EXPECT_FALSE(contains(VLTestLog::since(mark), "Unable to restore sound"));

    EXPECT_GE(lowestA + 1, savedA);
    session.runUntil([] { return false; }, 20);
    EXPECT_GE(a->getPosition() + 1, savedA);
    EXPECT_FALSE(a->getPaused());
    EXPECT_TRUE(b->getPaused());
    EXPECT_NEAR(savedB, b->getPosition(), 1);
    // Never started: still idle, at its start.
    EXPECT_FALSE(c->getPlaying());
    EXPECT_EQ(0u, c->getPosition());
  }
}

TEST_F(VLAudioInterfaceTest, AFailedSwitchKeepsEverySoundAndSaysSo) {
  VLPlaybackSession session;
  const int id = create(session, storeTrack(session, "swfail", 2.0));
  VLSound* sound = session.sound(id);
  ASSERT_TRUE(session.runUntil([&] { return sound->getState() == VE_OPENSTATE_READY; }));
  sound->play(false, 0);
  ASSERT_TRUE(session.runUntil([&] { return sound->getPosition() > 200; }));

  EXPECT_FALSE(session.audio()->setOutput("nocolon", true));
  EXPECT_EQ(0u, session.audio()->getOutput().find("0:"));
  ASSERT_EQ(sound, session.sound(id)) << "the page's id still names the sound";
  ASSERT_TRUE(session.runUntil([&] { return sound->getPlaying(); }));
  // Later changes are not refused.
  EXPECT_TRUE(session.audio()->setOutput("5:0", true));
  ASSERT_TRUE(session.runUntil([&] { return sound->getPlaying() && sound->getPosition() > 200; }));
}

TEST_F(VLAudioInterfaceTest, ThePageReadsOnlyFullOutputIdsWhileTheWorkerSwitches) {
  VLPlaybackSession session;
  VLAudioInterface* audio = session.audio();
  const std::string wavWriter = audio->getOutput();
  ASSERT_TRUE(audio->setOutput("5:0", true));
  const std::string noSound = audio->getOutput();
  std::atomic<bool> done(false);
  std::atomic<int> reads(0);
  std::atomic<int> partial(0);
  std::thread page([&] {
    while (!done) {
      const std::string id = audio->getOutput();
      if (id != wavWriter && id != noSound) ++partial;
      audio->getOutputDrivers();
      ++reads;
    }
  });
  // The switches start once the reader reads, and go on until it has read
  // during them.
  while (reads == 0) std::this_thread::yield();
  const int readsBefore = reads;
  for (int i = 0; (i < 20 || reads == readsBefore) && i < 100000; ++i)
    EXPECT_TRUE(audio->setOutput(i % 2 ? "5:0" : "6:0", true));
  done = true;
  page.join();
  EXPECT_EQ(0, partial.load()) << "an id that names no device was read";
}

TEST_F(VLAudioInterfaceTest, ASoundWithoutStreamSaysSoOnce) {
  Support::start();
  VLAudioInterface idle;
  VLSound sound(&idle);
  const size_t mark = VLTestLog::mark();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(sound.update());
  const std::string log = VLTestLog::since(mark);
  const size_t first = log.find("Sound is null, wait");
  ASSERT_NE(std::string::npos, first);
  EXPECT_EQ(std::string::npos, log.find("Sound is null, wait", first + 1));
}

TEST_F(VLAudioInterfaceTest, AFailedOpenLeavesTheReleaseListOnceDeleted) {
  VLPlaybackSession session;
  const int id = create(session, "http://127.0.0.1:9/x?fmt=5");
  ASSERT_TRUE(session.runUntil([&] { return session.sound(id)->getState() == VE_OPENSTATE_ERROR; }));
  EXPECT_FALSE(session.audio()->update()) << "a failed sound fails the pass";
  ASSERT_TRUE(session.audio()->deleteSound(id));
  session.audio()->update();
  EXPECT_TRUE(session.audio()->update());
}

TEST_F(VLAudioInterfaceTest, WarnsOnceWhenThreeSoundsPlay) {
  VLPlaybackSession session;
  std::vector<VLSound*> sounds;
  for (const char* entity : {"many1", "many2", "many3"})
    sounds.push_back(session.sound(create(session, storeTrack(session, entity, 2.0))));
  for (VLSound* sound : sounds) sound->play(false, 0);
  const size_t mark = VLTestLog::mark();
  ASSERT_TRUE(
      session.runUntil([&] { return sounds[0]->getPlaying() && sounds[1]->getPlaying() && sounds[2]->getPlaying(); }));
  session.runUntil([] { return false; }, 10);
  const std::string log = VLTestLog::since(mark);
  const size_t first = log.find("Too many sounds are playing : 3, current sounds are : [1] ");
  ASSERT_NE(std::string::npos, first);
  EXPECT_EQ(std::string::npos, log.find("Too many sounds are playing", first + 1));
}

}  // namespace
