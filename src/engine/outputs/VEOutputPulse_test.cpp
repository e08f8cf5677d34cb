// PulseAudio: a private server with a null sink is started for the test; a
// tone played through the engine must be heard on the sink's monitor.
// Skipped where no server can be started here.
#include "VEOutputPulse.h"

#include <gtest/gtest.h>

#include <cmath>

#include "VETestSupport.h"

using namespace vetest;

namespace {

class VEOutputPulseTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  NullSinkServer server_;
};

}  // namespace

TEST_F(VEOutputPulseTest, ToneIsHeardOnTheNullSinkMonitor) {
  if (!server_.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  Fixture tone = flac("pulse-tone", 1.5, 44100, 2, 1000);
  FileServer::instance().addFile("tone", tone.file);

  VESystem* system = nullptr;
  VESystem::create(&system);
  ASSERT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_PULSEAUDIO));
  int count = 0;
  ASSERT_EQ(VE_OK, system->getNumDrivers(&count));
  int testSink = -1;
  for (int i = 0; i < count; ++i) {
    VEGuid guid{};
    char name[256];
    system->getDriverInfo(i, name, sizeof name, &guid);
    if (guid.data1 == VEOutput::driverId("test")) testSink = i;
  }
  ASSERT_GE(testSink, 0) << "the null sink is not among the drivers";
  ASSERT_EQ(VE_OK, system->setDriver(testSink));
  FileServer::instance().install(system, 4096, 65536);
  ASSERT_EQ(VE_OK, system->init(4, 0, nullptr));

  std::string recording = path("pulse-monitor.raw");
  pid_t recorder = NullSinkServer::record(recording);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  VESound* sound = nullptr;
  system->createStream("tone", VE_MODE_NONBLOCKING, &sound);
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(system, sound));
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, system->playSound(0, sound, false, &channel));
  EndLog log;
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  ASSERT_TRUE(updateUntil(system, [&] { return !log.channels.empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stopProcess(recorder);
  system->release();

  std::vector<uint8_t> bytes = readFile(recording);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
  size_t frames = bytes.size() / 4;
  ASSERT_GT(frames, 44100u / 2) << "nothing recorded";
  // The loud part: its level and its pitch (zero crossings of the left side).
  size_t loud = 0, crossings = 0;
  for (size_t i = 1; i < frames; ++i) {
    int16_t s = samples[i * 2];
    if (std::abs(s) > 2000) ++loud;
    if ((samples[(i - 1) * 2] < 0) != (s < 0) && std::abs(s) < 8000) ++crossings;
  }
  ASSERT_GT(loud, 44100u / 2) << "the tone is not on the monitor";
  // Two crossings per period over the tone's 1.5 s.
  double hertz = double(crossings) / 2 / 1.5;
  EXPECT_NEAR(1000.0, hertz, 100.0);
}
