// ALSA: the output pulls periods from the mixer and writes them to the PCM;
// ALSA's file plugin (over its null PCM) records what was written.
#include "VEOutputAlsa.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "VETestSupport.h"

namespace {

// A ramp of frame numbers, so order and completeness can be checked.
class RampSource : public VEMixSource {
 public:
  void render(int16_t* frames, size_t count) override {
    for (size_t i = 0; i < count; ++i) {
      frames[i * 2] = static_cast<int16_t>(next_ & 0x7FFF);
      frames[i * 2 + 1] = static_cast<int16_t>(-(next_ & 0x7FFF));
      ++next_;
    }
    rendered_ += count;
  }
  size_t rendered() const { return rendered_; }

 private:
  uint32_t next_ = 0;
  std::atomic<size_t> rendered_{0};
};

// Opens the sound server's bridge; true once its writer pulls.
bool playsOnTheBridge(VEOutputAlsa* output, RampSource* source) {
  if (output->open(VEOutputDriver{"bridge", "pulse", VEOutput::driverId("pulse")}, 44100, source) != VE_OK)
    return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (source->rendered() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return source->rendered() > 0;
}

// Closes output beside a generous guard against hangs, then lets the device
// go (release) either way; whether the close returned within the guard.
bool closesInTime(VEOutputAlsa* output, const std::function<void()>& release) {
  std::future<void> closed = std::async(std::launch::async, [output] { output->close(); });
  const bool returned = closed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  release();
  closed.wait();
  return returned;
}

}  // namespace

// Here the devices that play are those of a sound server (a private
// PulseAudio with a null sink): "default" comes first, and every device
// listed opens and takes sound. "null" (which plays nothing) and the plugins
// that stand on no card (which never open here) are not offered.
TEST(VEOutputAlsa, ListsTheDefaultDeviceFirstAndOnlyDevicesThatPlay) {
  vetest::NullSinkServer server;
  if (!server.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  VEOutputAlsa output;
  std::vector<VEOutputDriver> drivers;
  ASSERT_TRUE(output.listDrivers(&drivers));
  ASSERT_FALSE(drivers.empty());
  EXPECT_EQ("default", drivers[0].device);
  bool bridge = false;
  for (const VEOutputDriver& driver : drivers) {
    SCOPED_TRACE(driver.device);
    EXPECT_NE(0u, driver.id);
    EXPECT_NE("null", driver.device);
    bridge = bridge || driver.device == "pulse";
    VEOutputAlsa player;
    RampSource source;
    ASSERT_EQ(VE_OK, player.open(driver, 44100, &source));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (source.rendered() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GT(source.rendered(), 0u);
    player.close();
    EXPECT_FALSE(player.lost());
  }
  EXPECT_TRUE(bridge) << "the sound server's bridge is not offered";
}

TEST(VEOutputAlsa, WritesWhatTheMixerRendersInOrder) {
  std::string file = vetest::path("alsa.raw");
  VEOutputAlsa output;
  RampSource source;
  VEOutputDriver driver{"file", "file:'" + file + "',raw", VEOutput::driverId("file")};
  ASSERT_EQ(VE_OK, output.open(driver, 44100, &source));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (source.rendered() < 44100 / 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  output.close();
  size_t rendered = source.rendered();
  std::vector<uint8_t> bytes = vetest::readFile(file);
  ASSERT_GE(bytes.size(), 4u * 1000);
  EXPECT_LE(bytes.size(), rendered * 4);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
  for (size_t i = 0; i < bytes.size() / 4; ++i) {
    ASSERT_EQ(static_cast<int16_t>(i & 0x7FFF), samples[i * 2]) << i;
  }
  // Closed, the source is no longer called.
  size_t after = source.rendered();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(after, source.rendered());
}

// A device that takes no data (the sound server's sink suspended under the
// bridge, as a server holds a new stream back) does not hold the close: the
// writer waits for room only a slice at a time. The close runs beside a
// generous guard against hangs; the sink wakes again either way.
TEST(VEOutputAlsa, ClosingDoesNotWaitForAWriteTheDeviceHoldsBack) {
  vetest::NullSinkServer server;
  if (!server.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  VEOutputAlsa output;
  RampSource source;
  ASSERT_TRUE(playsOnTheBridge(&output, &source));
  ASSERT_EQ(0, vetest::runQuietly("pactl suspend-sink test 1"));
  // Once the device's buffer is full the writer renders no more.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  size_t before = 0;
  while (before != source.rendered() && std::chrono::steady_clock::now() < deadline) {
    before = source.rendered();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(closesInTime(&output, [] { vetest::runQuietly("pactl suspend-sink test 0"); }))
      << "the close waited for the device";
  EXPECT_FALSE(output.lost());
}

// The sound server stops answering while its bridge plays (stopped in
// mid-run): closing the bridge, which ALSA would hold for a minute, does not
// wait for it. The close runs beside a generous guard against hangs.
TEST(VEOutputAlsa, ClosingDoesNotWaitForASoundServerThatStoppedAnswering) {
  vetest::NullSinkServer server;
  if (!server.ready()) GTEST_SKIP() << "no PulseAudio server could be started here";
  VEOutputAlsa output;
  RampSource source;
  ASSERT_TRUE(playsOnTheBridge(&output, &source));
  server.hang();
  EXPECT_TRUE(closesInTime(&output, [&] { server.wake(); })) << "the close waited for the server";
}

// A sound server that takes connections and never answers holds neither the
// listing nor an open of its bridge, which ALSA would hold for 30 s each: the
// bridge is left out of the list and does not open. Each call runs beside a
// generous guard against hangs.
TEST(VEOutputAlsa, AHungSoundServerHoldsNeitherTheListingNorAnOpen) {
  vetest::StuckSoundServer server;
  ASSERT_TRUE(server.ready());
  std::future<std::vector<VEOutputDriver>> listing = std::async(std::launch::async, [] {
    std::vector<VEOutputDriver> drivers;
    VEOutputAlsa().listDrivers(&drivers);
    return drivers;
  });
  ASSERT_EQ(std::future_status::ready, listing.wait_for(std::chrono::seconds(20))) << "the listing waited";
  for (const VEOutputDriver& driver : listing.get()) EXPECT_NE("pulse", driver.device);

  VEOutputAlsa output;
  RampSource source;
  std::future<VEResult> opening = std::async(std::launch::async, [&] {
    return output.open(VEOutputDriver{"bridge", "pulse", VEOutput::driverId("pulse")}, 44100, &source);
  });
  ASSERT_EQ(std::future_status::ready, opening.wait_for(std::chrono::seconds(20))) << "the open waited";
  EXPECT_EQ(VE_ERR_OUTPUT_INIT, opening.get());
}

// Looks for a device repeated while the sound server stays hung (the engine
// on no sound looks every few seconds, each new system lists again) leave at
// most one open of each device waiting in the server, not one per look: an
// open that waits for a server that does not answer is not asked again until
// it ended.
TEST(VEOutputAlsa, RepeatedListingsAgainstAHungSoundServerDoNotPileUpThreads) {
  vetest::StuckSoundServer server;
  ASSERT_TRUE(server.ready());
  std::vector<VEOutputDriver> drivers;
  VEOutputAlsa().listDrivers(&drivers);
  const size_t afterOne = vetest::threadCount();
  for (int look = 0; look < 8; ++look) VEOutputAlsa().listDrivers(&drivers);
  // Beside a margin for threads of the first opens still starting.
  EXPECT_LT(vetest::threadCount(), afterOne + 8) << "each listing left more threads waiting in the server";
}

TEST(VEOutputAlsa, MissingDeviceAnswersOutputInit) {
  VEOutputAlsa output;
  RampSource source;
  VEOutputDriver driver{"none", "hw:97,0", 1};
  EXPECT_EQ(VE_ERR_OUTPUT_INIT, output.open(driver, 44100, &source));
}
