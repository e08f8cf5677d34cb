// Mixing through the whole engine on the non-real-time WAV writer: gapless
// joins, end callbacks, volume and mute, positions.
#include "VEMixer.h"

#include <gtest/gtest.h>

#include <memory>

#include <cmath>

#include "VETestSupport.h"

using namespace vetest;

namespace {

class VEMixerTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  void TearDown() override { EXPECT_TRUE(FileServer::instance().violations().empty()); }
};

// A track for the chains: encoded file and reference, under its own name.
struct Track {
  std::string name;
  Fixture fixture;
};

std::vector<Track> tracks(int count) {
  std::vector<Track> list;
  for (int i = 0; i < count; ++i) {
    std::string name = "chain" + std::to_string(i);
    double seconds = 0.4 + 0.13 * i;  // lengths that are no multiple of a block
    int frequency = 300 + 97 * i;
    Fixture f;
    switch (i % 3) {
      case 0: f = flac(name, seconds, 44100, 2, frequency); break;
      case 1: f = mp3(name, seconds, 44100, 2, "-b 160", frequency); break;
      default: f = mp3(name, seconds, 44100, 2, "-V 4", frequency); break;
    }
    FileServer::instance().addFile(name, f.file);
    list.push_back({name, f});
  }
  return list;
}

// Plays the tracks one after the other the way the playback classes do: each
// next track waits paused on its own channel and is unpaused after the update
// that delivered the end of the one before.
void playChain(const std::vector<Track>& list, WavSystem& engine, bool unpauseInCallback) {
  std::vector<VESound*> sounds;
  for (const Track& t : list) sounds.push_back(engine.open(t.name));
  for (VESound* s : sounds) ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, s));
  std::vector<VEChannel*> channels(list.size());
  std::vector<EndLog> logs(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(VE_OK, engine.system->playSound(int(i), sounds[i], i != 0, &channels[i]));
    channels[i]->setUserData(&logs[i]);
    channels[i]->setCallback(recordEnd);
  }
  static thread_local VEChannel* nextToStart = nullptr;
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    if (unpauseInCallback) {
      // The end callback itself starts the next track.
      nextToStart = channels[i + 1];
      channels[i]->setCallback([](VEChannel* channel, VEChannelCallbackType type, void* a, void* b) {
        recordEnd(channel, type, a, b);
        if (nextToStart) nextToStart->setPaused(false);
        return VE_OK;
      });
    }
    ASSERT_TRUE(updateUntil(engine.system, [&] { return !logs[i].channels.empty(); })) << i;
    if (!unpauseInCallback) channels[i + 1]->setPaused(false);
  }
  ASSERT_TRUE(updateUntil(engine.system, [&] { return !logs.back().channels.empty(); }));
  for (VESound* s : sounds) s->release();
}

std::vector<int16_t> concatenation(const std::vector<Track>& list) {
  std::vector<int16_t> all;
  for (const Track& t : list) {
    Wav w = readWav(t.fixture.reference);
    all.insert(all.end(), w.samples.begin(), w.samples.end());
  }
  return all;
}

}  // namespace

TEST_F(VEMixerTest, TwoThenTenTracksJoinWithoutGapOrOverlap) {
  const struct {
    int count;
    bool inCallback;
    const char* name;
  } chains[] = {{2, false, "chain2"}, {10, false, "chain10"}, {10, true, "chain10cb"}};
  for (const auto& c : chains) {
    SCOPED_TRACE(c.name);
    std::vector<Track> list = tracks(c.count);
    std::unique_ptr<WavSystem> engine =
        c.count == 2 ? std::make_unique<WavSystem>(c.name) : std::make_unique<WavSystem>(c.name, 4096, 65536, 16);
    playChain(list, *engine, c.inCallback);
    Wav out = engine->finish();
    std::vector<int16_t> expected = concatenation(list);
    EXPECT_EQ(expected.size(), out.samples.size());
    EXPECT_EQ(SIZE_MAX, firstDifference(expected, out.samples));
  }
}

TEST_F(VEMixerTest, EndCallbackRunsInsideUpdateWithPositionAtLength) {
  Fixture f = flac("end", 0.5, 44100, 2);
  FileServer::instance().addFile("end", f.file);
  WavSystem engine("end");
  VESound* sound = engine.open("end");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  unsigned int length = 0;
  ASSERT_EQ(VE_OK, sound->getLength(&length, VE_TIMEUNIT_PCM));
  unsigned int lengthMs = 0;
  sound->getLength(&lengthMs, VE_TIMEUNIT_MS);
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(3, sound, false, &channel));
  EndLog log;
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  unsigned int lastMs = 0;
  while (log.channels.empty()) {
    unsigned int position = 0;
    ASSERT_EQ(VE_OK, channel->getPosition(&position, VE_TIMEUNIT_PCM));
    EXPECT_LT(position, length);  // below the length until the last frame is mixed
    channel->getPosition(&lastMs, VE_TIMEUNIT_MS);
    EXPECT_LT(lastMs, lengthMs);
    ASSERT_EQ(VE_OK, markedUpdate(engine.system));
  }
  ASSERT_EQ(1u, log.channels.size());
  EXPECT_EQ(3, log.channels[0]);
  EXPECT_EQ(length, log.positions[0]);
  EXPECT_TRUE(log.insideUpdate);
  EXPECT_EQ(std::this_thread::get_id(), log.thread);
  // After its callback the channel lets go of the sound.
  bool playing = true;
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->isPlaying(&playing));
  unsigned int position = 0;
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->getPosition(&position, VE_TIMEUNIT_MS));
  for (int i = 0; i < 5; ++i) markedUpdate(engine.system);
  EXPECT_EQ(1u, log.channels.size());
}

TEST_F(VEMixerTest, StopAndChannelReuseRaiseNoEndCallback) {
  Fixture a = flac("stopA", 0.3, 44100, 2, 500);
  Fixture b = flac("stopB", 0.3, 44100, 2, 700);
  FileServer::instance().addFile("stopA", a.file);
  FileServer::instance().addFile("stopB", b.file);
  WavSystem engine("stop");
  VESound* first = engine.open("stopA");
  VESound* second = engine.open("stopB");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, first));
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, second));
  EndLog log;
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(0, first, false, &channel));
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  for (int i = 0; i < 3; ++i) engine.system->update();
  // Reuse: the same channel now plays the second sound; the first ends silently.
  ASSERT_EQ(VE_OK, engine.system->playSound(VE_CHANNEL_REUSE, second, false, &channel));
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  for (int i = 0; i < 3; ++i) engine.system->update();
  ASSERT_EQ(VE_OK, channel->stop());
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->stop());
  for (int i = 0; i < 40; ++i) engine.system->update();
  EXPECT_TRUE(log.channels.empty());
  // Played again after a stop, a sound starts from its beginning.
  ASSERT_EQ(VE_OK, engine.system->playSound(1, first, false, &channel));
  unsigned int position = 99;
  channel->getPosition(&position, VE_TIMEUNIT_PCM);
  EXPECT_EQ(0u, position);
}

TEST_F(VEMixerTest, VolumeScalesAndMuteSilencesWhileTimeGoesOn) {
  Fixture f = flac("volume", 1.0, 44100, 2);
  FileServer::instance().addFile("volume", f.file);
  WavSystem engine("volume");
  VESound* sound = engine.open("volume");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, true, &channel));
  EXPECT_EQ(VE_OK, channel->setVolume(0.5f));
  EXPECT_EQ(VE_OK, channel->setVolume(std::nanf("")));  // ignored
  channel->setPaused(false);
  engine.system->update();  // 1024 frames at half volume
  channel->setMute(true);
  engine.system->update();  // 1024 frames muted
  unsigned int position = 0;
  channel->getPosition(&position, VE_TIMEUNIT_PCM);
  EXPECT_EQ(2048u, position);
  channel->stop();
  Wav out = engine.finish();
  Wav ref = readWav(f.reference);
  ASSERT_EQ(2048u * 2, out.samples.size());
  for (size_t i = 0; i < 2048; ++i) {
    EXPECT_EQ(int16_t(lrintf(ref.samples[i] * 0.5f)), out.samples[i]) << i;
    EXPECT_EQ(0, out.samples[2048 + i]) << i;
  }
}

TEST_F(VEMixerTest, ChannelsWithNothingAttachedAnswerInvalidHandle) {
  WavSystem engine("empty");
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->getChannel(5, &channel));
  bool flag = false;
  unsigned int position = 0;
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->setPaused(true));
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->isPlaying(&flag));
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->getPosition(&position, VE_TIMEUNIT_MS));
  EXPECT_EQ(VE_ERR_INVALID_HANDLE, channel->stop());
  VEChannel* again = nullptr;
  engine.system->getChannel(5, &again);
  EXPECT_EQ(channel, again);  // one stable object per index
  EXPECT_EQ(VE_ERR_INVALID_PARAM, engine.system->getChannel(8, &again));
}

// A track at another rate than the output's is converted on its way into the
// chain: it lasts exactly its length at the output's rate, sounds like sox's
// own conversion, and the tracks on either side stay sample-exact where they
// are due.
TEST_F(VEMixerTest, TrackAtAnotherRateJoinsWithoutGapOrOverlap) {
  for (int rate : {48000, 96000, 32000}) {
    SCOPED_TRACE(rate);
    std::string tag = std::to_string(rate);
    Fixture before = flac("rate-before" + tag, 0.37, 44100, 2, 350);
    Fixture other = flac("rate-other" + tag, 0.5, rate, 2, 610);  // 22,050 frames at 44.1 kHz
    Fixture after = mp3("rate-after" + tag, 0.41, 44100, 2, "-b 160", 820);
    std::vector<Track> list = {{"rate-before" + tag, before}, {"rate-other" + tag, other}, {"rate-after" + tag, after}};
    for (const Track& t : list) FileServer::instance().addFile(t.name, t.fixture.file);
    WavSystem engine("rate-chain" + tag);
    playChain(list, engine, false);
    Wav out = engine.finish();

    std::vector<int16_t> first = readWav(before.reference).samples;
    std::vector<int16_t> last = readWav(after.reference).samples;
    const size_t converted = 22050 * 2;
    ASSERT_EQ(first.size() + converted + last.size(), out.samples.size());
    std::vector<int16_t> head(out.samples.begin(), out.samples.begin() + long(first.size()));
    std::vector<int16_t> tail(out.samples.end() - long(last.size()), out.samples.end());
    EXPECT_EQ(SIZE_MAX, firstDifference(first, head));
    EXPECT_EQ(SIZE_MAX, firstDifference(last, tail));

    std::string soxFile = path("rate-other" + tag + ".sox44.wav");
    run("sox " + other.reference + " -r 44100 " + soxFile);
    std::vector<int16_t> sox = readWav(soxFile).samples;
    std::vector<int16_t> middle(out.samples.begin() + long(first.size()), out.samples.end() - long(last.size()));
    ASSERT_EQ(sox.size(), middle.size());
    double signal = 0, error = 0;
    for (size_t i = 0; i < sox.size(); ++i) {
      signal += double(sox[i]) * sox[i];
      error += (double(sox[i]) - middle[i]) * (double(sox[i]) - middle[i]);
    }
    EXPECT_GT(10 * std::log10(signal / std::max(error, 1.0)), 60.0);
  }
}

// Two loud tracks at once add up past 16 bits: every sample of the sum is
// saturated, none wraps around; a block's tail of odd length included.
TEST_F(VEMixerTest, LoudTracksTogetherSaturateInsteadOfWrapping) {
  Fixture a = flac("loud-a", 0.61, 44100, 2, 440);
  Fixture b = flac("loud-b", 0.61, 44100, 2, 447);
  FileServer::instance().addFile("loud-a", a.file);
  FileServer::instance().addFile("loud-b", b.file);
  WavSystem engine("loud");
  VESound* first = engine.open("loud-a");
  VESound* second = engine.open("loud-b");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, first));
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, second));
  VEChannel* channels[2] = {nullptr, nullptr};
  ASSERT_EQ(VE_OK, engine.system->playSound(0, first, true, &channels[0]));
  ASSERT_EQ(VE_OK, engine.system->playSound(1, second, true, &channels[1]));
  EndLog log;
  channels[0]->setUserData(&log);
  channels[0]->setCallback(recordEnd);
  channels[0]->setPaused(false);
  channels[1]->setPaused(false);
  ASSERT_TRUE(updateUntil(engine.system, [&] { return !log.channels.empty(); }));
  Wav out = engine.finish();

  std::vector<int16_t> left = readWav(a.reference).samples;
  std::vector<int16_t> right = readWav(b.reference).samples;
  ASSERT_EQ(left.size(), right.size());
  std::vector<int16_t> expected(left.size());
  size_t saturated = 0;
  for (size_t i = 0; i < left.size(); ++i) {
    int sum = left[i] + right[i];
    saturated += sum > 32767 || sum < -32768;
    expected[i] = static_cast<int16_t>(std::min(32767, std::max(-32768, sum)));
  }
  ASSERT_GT(saturated, 1000u);
  ASSERT_GE(out.samples.size(), expected.size());
  out.samples.resize(expected.size());
  EXPECT_EQ(SIZE_MAX, firstDifference(expected, out.samples));
}
