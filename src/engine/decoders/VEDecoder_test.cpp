// Decoding through the whole engine: each fixture played to the end on the
// non-real-time WAV writer must equal the reference decoder's output.
#include "VEDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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
      {"cbr", false, 3.0, 2, "-b 128"}, {"vbr", false, 3.0, 2, "-V 2"},  {"mono", false, 2.0, 1, "-b 96 -m m"},
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

namespace {

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<uint8_t> bytesOf(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// An ID3v2.3 tag whose size covers only its header and one text frame, as
// taggers write it when they add padding they do not count.
std::vector<uint8_t> shortId3Tag() {
  std::vector<uint8_t> frame = bytesOf("TIT2") + std::vector<uint8_t>{0, 0, 0, 6, 0, 0, 0} + bytesOf("Title");
  std::vector<uint8_t> tag = bytesOf("ID3") + std::vector<uint8_t>{3, 0, 0, 0, 0, 0, uint8_t(frame.size())};
  return tag + frame;
}

}  // namespace

// Bytes in front of the first MPEG frame: the track still plays from that
// frame, sample for sample as the reference decodes the bare file, with the
// same length. A lone frame sync among them (not followed by a second header
// where its length points) is passed over.
TEST_F(VEDecoderTest, Mp3WithBytesBeforeItsFirstFramePlaysFromThatFrame) {
  const std::vector<uint8_t> loneSync = {0xFF, 0xFB, 0x90, 0x64, 'x', 'y', 'z'};
  struct Case {
    const char* name;
    const char* lameOptions;
    std::vector<uint8_t> prefix;
  } cases[] = {
      {"gap-tag-padding", "-b 128", shortId3Tag() + std::vector<uint8_t>(2000, 0)},
      {"gap-zeros", "-V 2", std::vector<uint8_t>(5000, 0)},
      {"gap-text", "-b 160", bytesOf("Content-Type: audio/mpeg\r\n\r\n")},
      {"gap-lone-sync", "-V 4", bytesOf("junk") + loneSync + std::vector<uint8_t>(900, 0x20)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f = mp3(c.name, 2.0, 44100, 2, c.lameOptions);
    std::string file = path(std::string(c.name) + ".bin");
    writeFile(file, c.prefix + readFile(f.file));
    unsigned int length = 0;
    Wav out = playToEnd(c.name, file, &length);
    Wav ref = readWav(f.reference);
    expectSame(ref.samples, out.samples);
    EXPECT_EQ(ref.frames(), length);
  }
}

// No frame confirmed within the search window: the open fails with the
// format error, having read a bounded part of the file.
TEST_F(VEDecoderTest, FileWithoutTwoFramesInTheSearchWindowFailsWithTheFormatError) {
  Fixture f = mp3("gap-far", 1.0, 44100, 2, "-b 128");
  std::vector<uint8_t> frames = readFile(f.file);
  const std::vector<uint8_t> line = bytesOf("<p>This is not the page you are looking for.</p>\n");
  std::vector<uint8_t> text;
  while (text.size() < 2u << 20) text.insert(text.end(), line.begin(), line.end());
  // One lone frame header a little in, as junk may hold.
  std::vector<uint8_t> lone = std::vector<uint8_t>(100, 0) + std::vector<uint8_t>(frames.begin(), frames.begin() + 4);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"far", std::vector<uint8_t>(200 * 1024, 0) + frames},
      {"text", text},
      {"lone", lone + text},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileServer::instance().reset();
    FileServer::instance().add(c.name, c.bytes);
    WavSystem engine(c.name);
    VESound* sound = engine.open(c.name);
    ASSERT_EQ(VE_OPENSTATE_ERROR, waitOpened(engine.system, sound));
    VEResult result = VE_OK;
    openState(sound, &result);
    EXPECT_EQ(VE_ERR_FORMAT, result);
    uint64_t highest = 0;
    for (const auto& read : FileServer::instance().readLog())
      highest = std::max<uint64_t>(highest, read.first + read.second);
    EXPECT_LT(highest, 300u * 1024);
  }
}

// A hole in mid-file, inserted or written over frames, is a glitch: the track
// plays on past it to its real end, and what follows the hole is the
// reference's sound.
TEST_F(VEDecoderTest, HoleInAnMp3IsPlayedPast) {
  Fixture f = mp3("hole", 8.0, 44100, 2, "-b 128");
  std::vector<uint8_t> whole = readFile(f.file);
  const size_t middle = whole.size() / 2;
  const std::vector<uint8_t> garbage = noiseBytes(64 * 1024);
  const std::vector<uint8_t> head(whole.begin(), whole.begin() + long(middle));
  const std::vector<uint8_t> tail(whole.begin() + long(middle), whole.end());
  const std::vector<uint8_t> tailAfterOverwrite(whole.begin() + long(middle + 16 * 1024), whole.end());
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    double lostSeconds;  // sound the hole took away
  } cases[] = {
      {"hole-zeros", head + std::vector<uint8_t>(16 * 1024, 0) + tail, 0.0},
      {"hole-garbage", head + garbage + tail, 0.0},
      {"hole-overwritten", head + std::vector<uint8_t>(16 * 1024, 0) + tailAfterOverwrite, 16.0 * 1024 * 8 / 128000},
  };
  Wav ref = readWav(f.reference);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = path(std::string(c.name) + ".bin");
    writeFile(file, c.bytes);
    unsigned int length = 0;
    Wav out = playToEnd(c.name, file, &length);
    const double expected = 8.0 - c.lostSeconds;
    // Up to a few frames of garbage decoded as sound, or lost at the edges.
    EXPECT_NEAR(expected * 44100, double(out.frames()), 12 * 1152.0);
    EXPECT_EQ(out.frames(), length);
    // The sound goes on as the reference's (up to rounding after the
    // resync): the start of the reference's last second is among the last
    // two seconds played.
    const size_t second = 44100 * 2;
    ASSERT_GT(out.samples.size(), 2 * second);
    std::vector<int16_t> excerpt(ref.samples.end() - long(second), ref.samples.end() - long(second) + 2000);
    std::vector<int16_t> end(out.samples.end() - long(2 * second), out.samples.end());
    EXPECT_NE(SIZE_MAX, findWithin(end, excerpt, 2));
  }
}
