// Decoding through the whole engine: each fixture played to the end on the
// non-real-time WAV writer must equal the reference decoder's output.
#include "VEDecoder.h"

#include <gtest/gtest.h>

#include <cmath>

#include "VETestSupport.h"

using namespace vetest;

namespace {

class VEDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  void TearDown() override { EXPECT_TRUE(FileServer::instance().violations().empty()); }

  // Plays name to its end and answers what the writer got.
  Wav playToEnd(const std::string& name, const std::string& file, unsigned int* lengthPcm = nullptr) {
    FileServer::instance().addFile(name, file);
    WavSystem engine(name);
    VESound* sound = engine.open(name);
    EXPECT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
    VEChannel* channel = nullptr;
    EXPECT_EQ(VE_OK, engine.system->playSound(VE_CHANNEL_FREE, sound, false, &channel));
    EndLog log;
    channel->setUserData(&log);
    channel->setCallback(recordEnd);
    updateUntil(engine.system, [&] { return !log.channels.empty(); });
    if (lengthPcm) sound->getLength(lengthPcm, VE_TIMEUNIT_PCM);
    EXPECT_EQ(1u, log.channels.size());
    return engine.finish();
  }
};

void expectSame(const std::vector<int16_t>& expected, const std::vector<int16_t>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  size_t differing = 0;
  for (size_t i = 0; i < expected.size(); ++i) differing += expected[i] != actual[i];
  EXPECT_EQ(0u, differing);
}

}  // namespace

// Each 44.1 kHz fixture played to its end equals the reference decode sample
// for sample (mono on both sides): no encoder delay or padding, no gap.
TEST_F(VEDecoderTest, EveryFormatIsBitExactAndGapless) {
  const struct {
    const char* name;
    bool isFlac;
    double seconds;
    int channels;
    const char* lameOptions;
  } cases[] = {
      {"cbr", false, 3.0, 2, "-b 128"}, {"vbr", false, 3.0, 2, "-V 2"},   {"mono", false, 2.0, 1, "-b 96 -m m"},
      {"flac", true, 3.0, 2, ""},       {"flac-mono", true, 1.5, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = c.isFlac ? flac(c.name, c.seconds, 44100, c.channels)
                         : mp3(c.name, c.seconds, 44100, c.channels, c.lameOptions);
    unsigned int length = 0;
    Wav out = playToEnd(c.name, f.file, &length);
    Wav ref = readWav(f.reference);
    ASSERT_EQ(44100, ref.rate);
    ASSERT_EQ(c.channels, ref.channels);
    EXPECT_EQ(unsigned(c.seconds * 44100), ref.frames());  // the reference itself has no delay or padding
    expectSame(c.channels == 1 ? stereo(ref) : ref.samples, out.samples);
    EXPECT_EQ(ref.frames(), length);
  }
}

TEST_F(VEDecoderTest, VariableBitrateMp3WithoutInfoTagHasItsLengthCorrectedAtTheEnd) {
  Fixture f = mp3("vbr-notag", 3.0, 44100, 2, "-V 2 -t");
  FileServer::instance().addFile("vbr-notag", f.file);
  WavSystem engine("vbr-notag");
  VESound* sound = engine.open("vbr-notag");
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  unsigned int estimate = 0;
  EXPECT_EQ(VE_OK, sound->getLength(&estimate, VE_TIMEUNIT_PCM));
  EXPECT_GT(estimate, 0u);
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(VE_CHANNEL_FREE, sound, false, &channel));
  EndLog log;
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  ASSERT_TRUE(updateUntil(engine.system, [&] { return !log.channels.empty(); }));
  unsigned int length = 0;
  sound->getLength(&length, VE_TIMEUNIT_PCM);
  Wav ref = readWav(f.reference);
  EXPECT_EQ(ref.frames(), length);
  // Inside the end callback the position already equalled the corrected length.
  ASSERT_EQ(1u, log.positions.size());
  EXPECT_EQ(length, log.positions[0]);
  Wav out = engine.finish();
  expectSame(ref.samples, out.samples);
}

// Signal-to-error ratio in dB of actual against expected, over the shorter.
double signalToError(const std::vector<int16_t>& expected, const std::vector<int16_t>& actual) {
  size_t n = std::min(expected.size(), actual.size());
  double signal = 0, error = 0;
  // The filters' edges differ between resamplers: compare the middle.
  for (size_t i = n / 20; i < n - n / 20; ++i) {
    signal += double(expected[i]) * expected[i];
    double d = double(expected[i]) - actual[i];
    error += d * d;
  }
  return 10 * std::log10(signal / std::max(error, 1.0));
}

TEST_F(VEDecoderTest, OtherRatesAreResampledToTheMixRate) {
  for (bool isFlac : {false, true}) {
    std::string name = isFlac ? "flac48" : "mp348";
    Fixture f = isFlac ? flac(name, 2.0, 48000, 2) : mp3(name, 2.0, 48000, 2, "-b 192");
    Wav out = playToEnd(name, f.file);
    std::string resampled = path(name + ".ref44.wav");
    run("sox " + f.reference + " -r 44100 " + resampled);
    Wav ref = readWav(resampled);
    // The same duration, to a few frames, and the same sound.
    EXPECT_NEAR(double(ref.frames()), double(out.samples.size() / 2), 4.0) << name;
    EXPECT_GT(signalToError(ref.samples, out.samples), 30.0) << name;
  }
}

TEST_F(VEDecoderTest, FilesCutShortPlayWhatTheyHoldAndEnd) {
  Fixture f = flac("cut", 2.0, 44100, 2);
  std::vector<uint8_t> whole = readFile(f.file);
  Fixture m = mp3("cut-mp3", 2.0, 44100, 2, "-b 128");
  std::vector<uint8_t> wholeMp3 = readFile(m.file);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases = {
      {"flac-half", std::vector<uint8_t>(whole.begin(), whole.begin() + long(whole.size() / 2))},
      {"flac-midframe", std::vector<uint8_t>(whole.begin(), whole.end() - 100)},
      {"mp3-half", std::vector<uint8_t>(wholeMp3.begin(), wholeMp3.begin() + long(wholeMp3.size() / 2))},
      {"mp3-midframe", std::vector<uint8_t>(wholeMp3.begin(), wholeMp3.end() - 100)},
  };
  Wav ref = readWav(f.reference);
  for (Case& c : cases) {
    std::string file = path(std::string(c.name) + ".bin");
    writeFile(file, c.bytes);
    unsigned int length = 0;
    Wav out = playToEnd(c.name, file, &length);
    EXPECT_GT(out.frames(), 0u) << c.name;
    EXPECT_LT(out.frames(), 2u * 44100) << c.name;
    EXPECT_EQ(out.frames(), length) << c.name;
    if (std::string(c.name).rfind("flac", 0) == 0) {
      // What was decoded is the start of the reference.
      std::vector<int16_t> head(ref.samples.begin(), ref.samples.begin() + long(out.samples.size()));
      expectSame(head, out.samples);
    }
  }
}

TEST_F(VEDecoderTest, Id3TaggedMp3IsRecognised) {
  Fixture f = mp3("tagged", 1.0, 44100, 2, "-b 128 --id3v2-only --tt Title --ta Artist --pad-id3v2-size 3000");
  std::vector<uint8_t> bytes = readFile(f.file);
  ASSERT_EQ(0, memcmp(bytes.data(), "ID3", 3));
  Wav out = playToEnd("tagged", f.file);
  expectSame(readWav(f.reference).samples, out.samples);
}
