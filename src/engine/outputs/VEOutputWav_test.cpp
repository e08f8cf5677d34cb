// The real-time WAV writer: the mixer's buffer ahead of the output and the
// hold at the end of a sound must still join tracks without a gap.
#include "VEOutputWav.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "VETestSupport.h"

using namespace vetest;

namespace {

VEChannel* nextChannel = nullptr;

VEResult startNext(VEChannel* channel, VEChannelCallbackType type, void* a, void* b) {
  recordEnd(channel, type, a, b);
  if (nextChannel) nextChannel->setPaused(false);
  return VE_OK;
}

}  // namespace

TEST(VEOutputWav, RealTimeWriterJoinsTracksWithoutGap) {
  FileServer::instance().reset();
  Fixture a = flac("rt-a", 0.6, 44100, 2, 523);
  Fixture b = mp3("rt-b", 0.5, 44100, 2, "-b 192", 659);
  FileServer::instance().addFile("rt-a", a.file);
  FileServer::instance().addFile("rt-b", b.file);
  std::string file = path("rt.out.wav");
  VESystem* system = nullptr;
  VESystem::create(&system);
  system->setOutput(VE_OUTPUTTYPE_WAVWRITER);
  FileServer::instance().install(system, 4096, 65536);
  ASSERT_EQ(VE_OK, system->init(4, 0, const_cast<char*>(file.c_str())));
  VESound* first = nullptr;
  VESound* second = nullptr;
  system->createStream("rt-a", VE_MODE_NONBLOCKING, &first);
  system->createStream("rt-b", VE_MODE_NONBLOCKING, &second);
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(system, first));
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(system, second));
  VEChannel* channelA = nullptr;
  VEChannel* channelB = nullptr;
  ASSERT_EQ(VE_OK, system->playSound(0, second, true, &channelB));
  ASSERT_EQ(VE_OK, system->playSound(1, first, false, &channelA));
  EndLog logA, logB;
  channelA->setUserData(&logA);
  channelA->setCallback(startNext);
  channelB->setUserData(&logB);
  channelB->setCallback(recordEnd);
  nextChannel = channelB;
  // A worker-like loop: an update every 10 ms.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (logB.channels.empty() && std::chrono::steady_clock::now() < deadline) {
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  nextChannel = nullptr;
  ASSERT_EQ(1u, logA.channels.size());
  ASSERT_EQ(1u, logB.channels.size());
  // The end is raised when the last frame is mixed, ahead of the device:
  // let the writer take the rest before closing.
  for (int i = 0; i < 30; ++i) {
    system->update();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  system->release();

  Wav out = readWav(file);
  std::vector<int16_t> expected = readWav(a.reference).samples;
  std::vector<int16_t> tail = readWav(b.reference).samples;
  expected.insert(expected.end(), tail.begin(), tail.end());
  auto found = std::search(out.samples.begin(), out.samples.end(), expected.begin(), expected.end());
  ASSERT_NE(out.samples.end(), found) << "the two tracks are not there back to back";
  // Before them only silence (nothing else played).
  EXPECT_TRUE(std::all_of(out.samples.begin(), found, [](int16_t s) { return s == 0; }));
}
