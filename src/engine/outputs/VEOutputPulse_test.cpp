// PulseAudio: a private server with a null sink is started for the test; a
// tone played through the engine must be heard on the sink's monitor.
// Skipped where no server can be started here.
#include "VEOutputPulse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "SlowSoundServer.h"
#include "VETestSupport.h"

using namespace vetest;

namespace {

class VEOutputPulseTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  NullSinkServer server_;
};

// A system on the null sink, initialised with four channels.
VESystem* openOnTestSink() {
  VESystem* system = nullptr;
  VESystem::create(&system);
  EXPECT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_PULSEAUDIO));
  int count = 0;
  EXPECT_EQ(VE_OK, system->getNumDrivers(&count));
  int testSink = -1;
  for (int i = 0; i < count; ++i) {
    VEGuid guid{};
    char name[256];
    system->getDriverInfo(i, name, sizeof name, &guid);
    if (guid.data1 == VEOutput::driverId("test")) testSink = i;
  }
  EXPECT_GE(testSink, 0) << "the null sink is not among the drivers";
  EXPECT_EQ(VE_OK, system->setDriver(std::max(testSink, 0)));
  FileServer::instance().install(system, 4096, 65536);
  EXPECT_EQ(VE_OK, system->init(4, 0, nullptr));
  return system;
}

// Frames of the recording's left side louder than a quiet level, and the
// pitch of the loud part over seconds (zero crossings).
struct Tone {
  size_t frames = 0;
  size_t loud = 0;
  double hertz = 0;
};

Tone measureTone(const std::string& recording, double seconds) {
  std::vector<uint8_t> bytes = readFile(recording);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
  Tone tone;
  tone.frames = bytes.size() / 4;
  size_t crossings = 0;
  for (size_t i = 1; i < tone.frames; ++i) {
    int16_t s = samples[i * 2];
    if (std::abs(s) > 2000) ++tone.loud;
    if ((samples[(i - 1) * 2] < 0) != (s < 0) && std::abs(s) < 8000) ++crossings;
  }
  // Two crossings per period.
  tone.hertz = double(crossings) / 2 / seconds;
  return tone;
}

// The rate of the sink input the engine plays on, from the server's list.
int sinkInputRate() {
  FILE* list = popen("pactl list sink-inputs 2>/dev/null", "r");
  if (!list) return 0;
  char line[512];
  int rate = 0;
  while (fgets(line, sizeof line, list)) {
    const char* at = strstr(line, "Sample Specification:");
    if (at) sscanf(at, "Sample Specification: s16le 2ch %dHz", &rate);
  }
  pclose(list);
  return rate;
}

// Opens name and plays it on channel 0, its end counted in log; false when
// it does not open or play.
bool playLogged(VESystem* system, const std::string& name, EndLog* log) {
  VESound* sound = nullptr;
  system->createStream(name.c_str(), VE_MODE_NONBLOCKING, &sound);
  VEChannel* channel = nullptr;
  if (waitOpened(system, sound) != VE_OPENSTATE_READY || system->playSound(0, sound, false, &channel) != VE_OK) {
    return false;
  }
  channel->setUserData(log);
  channel->setCallback(recordEnd);
  return true;
}

}  // namespace

TEST_F(VEOutputPulseTest, ToneIsHeardOnTheNullSinkMonitor) {
  if (!server_.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  Fixture tone = flac("pulse-tone", 1.5, 44100, 2, 1000);
  FileServer::instance().addFile("tone", tone.file);

  VESystem* system = openOnTestSink();
  std::string recording = path("pulse-monitor.raw");
  pid_t recorder = NullSinkServer::record(recording);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EndLog log;
  ASSERT_TRUE(playLogged(system, "tone", &log));
  ASSERT_TRUE(updateUntil(system, [&] { return !log.channels.empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stopProcess(recorder);
  system->release();

  Tone heard = measureTone(recording, 1.5);
  ASSERT_GT(heard.frames, 44100u / 2) << "nothing recorded";
  ASSERT_GT(heard.loud, 44100u / 2) << "the tone is not on the monitor";
  EXPECT_NEAR(1000.0, heard.hertz, 100.0);
}

// A sound that plays alone has the sink input opened at its own rate, so the
// server converts for the device and the engine converts nothing; a sound
// that joins one waiting at 44.1 kHz is converted to that rate. Either way
// the tone keeps its pitch.
TEST_F(VEOutputPulseTest, SinkInputFollowsTheRateOfASoundPlayingAlone) {
  if (!server_.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  const struct {
    int rate;
    bool joined;
    int expected;
  } cases[] = {{48000, false, 48000}, {96000, false, 96000}, {48000, true, 44100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + (c.joined ? " joined" : " alone"));
    std::string name = "pulse-rate" + std::to_string(c.rate);
    FileServer::instance().addFile(name, flac(name, 1.0, c.rate, 2, 1000).file);
    FileServer::instance().addFile("waiting", flac("pulse-waiting", 0.5, 44100, 2, 300).file);
    VESystem* system = openOnTestSink();
    if (c.joined) {
      VESound* waiting = nullptr;
      system->createStream("waiting", VE_MODE_NONBLOCKING, &waiting);
      ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(system, waiting));
      ASSERT_EQ(VE_OK, system->playSound(1, waiting, true, nullptr));
    }
    std::string recording = path(name + ".raw");
    pid_t recorder = NullSinkServer::record(recording);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EndLog log;
    ASSERT_TRUE(playLogged(system, name, &log));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(c.expected, sinkInputRate());
    ASSERT_TRUE(updateUntil(system, [&] { return !log.channels.empty(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stopProcess(recorder);
    system->release();
    Tone tone = measureTone(recording, 1.0);
    EXPECT_GT(tone.loud, 44100u / 2);
    EXPECT_NEAR(1000.0, tone.hertz, 100.0);
  }
}

namespace {

// Silence, for an output that is only opened.
struct SilentSource : VEMixSource {
  void render(int16_t* frames, size_t frameCount) override { std::fill(frames, frames + frameCount * 2, 0); }
};

// Lists the sinks of a server that is slow as slowness and delay say, past
// the half second a listing waits: the first listing gives up, but its
// connection goes on, so a later listing finds the server's sink and an
// output opens on it, all on that one connection instead of meeting the same
// slowness again.
void expectListedOnceItAnswered(SlowSoundServer::Slowness slowness, std::chrono::milliseconds delay) {
  NullSinkServer server({"test"}, false);
  if (!server.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  SlowSoundServer slow(server, slowness, delay);
  ASSERT_TRUE(slow.ready());
  std::vector<VEOutputDriver> drivers;
  EXPECT_FALSE(VEOutputPulse().listDrivers(&drivers)) << "answered before the server did";
  ASSERT_TRUE(updateUntil(nullptr, [&] {
    drivers.clear();
    return VEOutputPulse().listDrivers(&drivers);
  }));
  ASSERT_EQ(1u, drivers.size());
  EXPECT_EQ("test", drivers[0].device);

  SilentSource silence;
  VEOutputPulse output;
  EXPECT_EQ(VE_OK, output.open(drivers[0], 44100, &silence));
  output.close();
  EXPECT_EQ(1, slow.connections());
}

}  // namespace

// A server that answers each connection 0.7 s late (loaded, or remote).
TEST(VEOutputPulseSlowServer, AServerThatAnswersLateIsListedOnceItAnswered) {
  expectListedOnceItAnswered(SlowSoundServer::Slowness::EveryConnection, std::chrono::milliseconds(700));
}

// A server slow only at its first answer (started on demand, or busy at
// login) by 2 s and by 5 s, far past the half second a listing waits.
TEST(VEOutputPulseSlowServer, AServerSlowAtItsFirstAnswerBySecondsIsListedOnceItAnswered) {
  for (int seconds : {2, 5}) {
    SCOPED_TRACE(seconds);
    expectListedOnceItAnswered(SlowSoundServer::Slowness::FirstConnection, std::chrono::seconds(seconds));
  }
}

namespace {

// The streams playing on the server (listed at its own socket, past any
// proxy in front of it).
int sinkInputCount() {
  const std::string command =
      "pactl --server=unix:" + NullSinkServer::socketPath() + " list short sink-inputs 2>/dev/null";
  FILE* list = popen(command.c_str(), "r");
  if (!list) return -1;
  char line[512];
  int count = 0;
  while (fgets(line, sizeof line, list)) ++count;
  pclose(list);
  return count;
}

}  // namespace

// A server busy for a moment as a stream is created (its answer 1.5 s late,
// past the half second an open waits): the open gives up, and the stream the
// server made is ended once the answer comes, not left on the sink for the
// connection's life. Then an open on the same connection, answered at once,
// plays as the sink's one stream.
TEST(VEOutputPulseSlowServer, AStreamGivenUpOnIsEndedOnceTheServerAnswers) {
  NullSinkServer server({"test"}, false);
  if (!server.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  SlowSoundServer slow(server, SlowSoundServer::Slowness::LateAfterSetup, std::chrono::milliseconds(1500));
  ASSERT_TRUE(slow.ready());
  const VEOutputDriver sink{"test", "test", VEOutput::driverId("test")};
  SilentSource silence;
  VEOutputPulse output;
  EXPECT_EQ(VE_ERR_OUTPUT_INIT, output.open(sink, 44100, &silence)) << "answered before the server did";
  EXPECT_TRUE(updateUntil(nullptr, [] { return sinkInputCount() == 0; })) << "the stream given up on stayed";

  ASSERT_EQ(VE_OK, output.open(sink, 44100, &silence));
  EXPECT_EQ(1, sinkInputCount());
  output.close();
  EXPECT_TRUE(updateUntil(nullptr, [] { return sinkInputCount() == 0; }));
  EXPECT_EQ(1, slow.connections());
}
