// Streams: seeking, starving, read failures and the reads a stream asks for.
#include "VEStream.h"

#include <gtest/gtest.h>

#include <cmath>

#include "VETestSupport.h"

using namespace vetest;

namespace {

class VEStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { FileServer::instance().reset(); }
  void TearDown() override { EXPECT_TRUE(FileServer::instance().violations().empty()); }
};

// The offset (in frames) at which needle best matches inside haystack,
// searching around hint.
long bestMatch(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, long hint, long range) {
  long best = -1;
  double bestError = 1e300;
  size_t n = std::min<size_t>(needle.size(), 4096);
  for (long offset = std::max(0L, hint - range); offset <= hint + range; ++offset) {
    if (size_t(offset) * 2 + n > haystack.size()) break;
    double error = 0;
    for (size_t i = 0; i < n; ++i) {
      double d = double(haystack[size_t(offset) * 2 + i]) - needle[i];
      error += d * d;
    }
    if (error < bestError) {
      bestError = error;
      best = offset;
    }
  }
  return best;
}

}  // namespace

// Seeks to targetMs in a fresh stream of name and answers where the decoded
// sound after the seek is found in the reference (in frames).
long seekLanding(const std::string& name, const Fixture& f, unsigned int targetMs, long range, size_t* readsForSeek) {
  WavSystem engine(name, 4096, 16384);
  VESound* sound = engine.open(name);
  EXPECT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  VEChannel* channel = nullptr;
  EXPECT_EQ(VE_OK, engine.system->playSound(0, sound, false, &channel));
  // The stream's thread fills its ring after the play; the seek's reads are
  // counted once that filling has stopped, so a late fill read is not one.
  size_t readsBefore = FileServer::instance().readLog().size();
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const size_t now = FileServer::instance().readLog().size();
    if (now == readsBefore) break;
    readsBefore = now;
  }
  EXPECT_EQ(VE_OK, channel->setPosition(targetMs, VE_TIMEUNIT_MS));
  EXPECT_TRUE(updateUntil(engine.system, [&] { return openState(sound) == VE_OPENSTATE_READY; }));
  *readsForSeek = FileServer::instance().readLog().size() - readsBefore;
  for (int i = 0; i < 4; ++i) engine.system->update();
  channel->stop();
  Wav out = engine.finish();
  long target = long(targetMs) * 441 / 10;
  return bestMatch(readWav(f.reference).samples, out.samples, target, range) - target;
}

// FLAC (even without a seek table: bisection over the file, not a scan) and
// constant-bitrate MP3 land on the exact frame, with few reads.
TEST_F(VEStreamTest, SeeksLandOnTheExactFrameWithFewReads) {
  const struct {
    const char* name;
    Fixture fixture;
    size_t maxReads;
  } rows[] = {
      {"seekflac", flac("seekflac", 20.0, 44100, 2, 440, "--no-seektable"), 40},
      {"seekcbr128", mp3("seekcbr128", 20.0, 44100, 2, "-b 128"), 6},
      {"seekcbr320", mp3("seekcbr320", 20.0, 44100, 2, "-b 320"), 6},
  };
  for (const auto& row : rows) {
    FileServer::instance().addFile(row.name, row.fixture.file);
    for (unsigned int target : {3100u, 12000u, 18777u}) {
      size_t reads = 0;
      EXPECT_EQ(0, seekLanding(row.name, row.fixture, target, 3000, &reads)) << row.name << " " << target;
      EXPECT_LT(reads, row.maxReads) << row.name << " " << target;
    }
  }
}

TEST_F(VEStreamTest, VariableBitrateMp3SeeksLandNearTheTarget) {
  Fixture f = mp3("seekvbr", 20.0, 44100, 2, "-V 2");
  FileServer::instance().addFile("seekvbr", f.file);
  // Without a frame index only the Info/Xing table of contents helps: 100
  // entries of 1/256 of the file each, so within 1 % of the length and a
  // couple of MPEG frames.
  long tolerance = 20 * 441 + 2 * 1152;
  for (unsigned int target : {4000u, 12000u}) {
    size_t reads = 0;
    long off = seekLanding("seekvbr", f, target, tolerance + 1152, &reads);
    EXPECT_LE(std::abs(off), tolerance) << target;
    EXPECT_LT(reads, 6u) << target;
  }
}

void starveAndResume(const Fixture& f);

TEST_F(VEStreamTest, SeekIntoUnreadDataStarvesThenResumes) {
  for (bool isFlac : {true, false}) {
    SCOPED_TRACE(isFlac ? "FLAC" : "MP3");
    FileServer::instance().reset();
    starveAndResume(isFlac ? flac("starve", 10.0, 44100, 2) : mp3("starve-mp3", 10.0, 44100, 2, "-b 128"));
  }
}

void starveAndResume(const Fixture& f) {
  FileServer::instance().addFile("starve", f.file);
  FileServer& server = FileServer::instance();
  server.setMode(FileServer::Mode::Queued);
  WavSystem engine("starve", 4096, 16384);
  VESound* sound = engine.open("starve");
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    server.answer();
    return openState(sound) != VE_OPENSTATE_LOADING;
  }));
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, false, &channel));
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    server.answer();
    unsigned int p = 0;
    channel->getPosition(&p, VE_TIMEUNIT_PCM);
    return p >= 4096;
  }));
  // Unanswered reads: playing on, the sound runs dry and starves.
  bool starving = false;
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    sound->getOpenState(nullptr, nullptr, &starving, nullptr);
    return starving;
  }));
  // A seek from there: its reads stay unanswered too, and it starves again.
  ASSERT_EQ(VE_OK, channel->setPosition(8000, VE_TIMEUNIT_MS));
  starving = false;
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    sound->getOpenState(nullptr, nullptr, &starving, nullptr);
    return starving;
  }));
  for (int i = 0; i < 5; ++i) engine.system->update();  // 5 x 1024 frames of silence
  EXPECT_EQ(VE_OPENSTATE_SETPOSITION, openState(sound));
  unsigned int position = 0;
  channel->getPosition(&position, VE_TIMEUNIT_MS);
  EXPECT_EQ(8000u, position);
  // A second seek while the first waits for its data abandons that wait.
  ASSERT_EQ(VE_OK, channel->setPosition(6000, VE_TIMEUNIT_MS));
  for (int i = 0; i < 3; ++i) engine.system->update();
  channel->getPosition(&position, VE_TIMEUNIT_MS);
  EXPECT_EQ(6000u, position);
  // Answered: it resumes at the target.
  ASSERT_TRUE(updateUntil(engine.system, [&] {
    server.answer();
    return openState(sound) == VE_OPENSTATE_READY;
  }));
  server.setMode(FileServer::Mode::Immediate);
  server.answer();
  for (int i = 0; i < 3; ++i) engine.system->update();
  channel->getPosition(&position, VE_TIMEUNIT_PCM);
  EXPECT_GE(position, 6u * 44100 + 2048);
  channel->stop();
  Wav out = engine.finish();
  Wav ref = readWav(f.reference);
  // Played from the start, then silence while starving, then from 8 s on.
  ASSERT_GT(out.frames(), 2048u + 5 * 1024u);
  std::vector<int16_t> tail(out.samples.end() - 2048 * 2, out.samples.end());
  std::vector<int16_t> expected(ref.samples.begin() + (position - 2048) * 2, ref.samples.begin() + position * 2);
  EXPECT_EQ(expected, tail);
  size_t silent = 0;
  for (size_t i = 0; i < out.samples.size() - 2048 * 2; ++i) silent += out.samples[i] == 0;
  EXPECT_GE(silent, 5u * 1024 * 2);
  std::vector<int16_t> head(out.samples.begin(), out.samples.begin() + 4096 * 2);
  EXPECT_EQ(std::vector<int16_t>(ref.samples.begin(), ref.samples.begin() + 4096 * 2), head);
}

TEST_F(VEStreamTest, SeeksPastTheEndOrBeforeTheOpenAreRefused) {
  Fixture f = flac("refuse", 1.0, 44100, 2);
  FileServer::instance().addFile("refuse", f.file);
  FileServer::instance().gateOpens(true);
  WavSystem engine("refuse");
  VESound* sound = engine.open("refuse");
  ASSERT_TRUE(FileServer::instance().waitForOpens(1));
  VEChannel* channel = nullptr;
  unsigned int length = 0;
  EXPECT_EQ(VE_ERR_NOTREADY, sound->getLength(&length, VE_TIMEUNIT_MS));
  EXPECT_EQ(VE_ERR_NOTREADY, engine.system->playSound(0, sound, true, &channel));
  FileServer::instance().gateOpens(false);
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
  ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, true, &channel));
  ASSERT_EQ(VE_OK, sound->getLength(&length, VE_TIMEUNIT_MS));
  EXPECT_EQ(1000u, length);
  EXPECT_EQ(VE_ERR_INVALID_POSITION, channel->setPosition(length + 1, VE_TIMEUNIT_MS));
  EXPECT_EQ(VE_ERR_UNSUPPORTED, channel->setPosition(0, VE_TIMEUNIT_RAWBYTES));
  unsigned int raw = 0;
  EXPECT_EQ(VE_ERR_UNSUPPORTED, channel->getPosition(&raw, VE_TIMEUNIT_RAWBYTES));
  EXPECT_EQ(VE_OK, sound->getLength(&raw, VE_TIMEUNIT_RAWBYTES));
  EXPECT_EQ(readFile(f.file).size(), raw);
}

TEST_F(VEStreamTest, ReadFailureEndsTheStreamAndFailsAnOpen) {
  Fixture f = flac("fail", 5.0, 44100, 2);
  std::vector<uint8_t> bytes = readFile(f.file);
  FileServer::instance().addFile("fail-late", f.file);
  FileServer::instance().failReadsFrom("fail-late", static_cast<unsigned int>(bytes.size() / 2));
  FileServer::instance().addFile("fail-early", f.file);
  FileServer::instance().failReadsFrom("fail-early", 0);
  // A file whose server holds less than it announced: end of file early.
  FileServer::instance().add("short", std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(bytes.size() / 2)),
                             static_cast<unsigned int>(bytes.size()));
  WavSystem engine("fail");
  VESound* early = engine.open("fail-early");
  VEResult result = VE_OK;
  ASSERT_EQ(VE_OPENSTATE_ERROR, waitOpened(engine.system, early));
  openState(early, &result);
  EXPECT_EQ(VE_ERR_INTERNAL, result);
  EXPECT_EQ(1, FileServer::instance().closes.load());  // closed before the error showed
  for (const char* name : {"fail-late", "short"}) {
    VESound* sound = engine.open(name);
    ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
    VEChannel* channel = nullptr;
    ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, false, &channel));
    EndLog log;
    channel->setUserData(&log);
    channel->setCallback(recordEnd);
    ASSERT_TRUE(updateUntil(engine.system, [&] { return !log.channels.empty(); })) << name;
    unsigned int length = 0;
    sound->getLength(&length, VE_TIMEUNIT_PCM);
    EXPECT_LT(length, 5u * 44100) << name;
    EXPECT_GT(length, 1u * 44100) << name;
    EXPECT_EQ(length, log.positions[0]) << name;
  }
}

TEST_F(VEStreamTest, ReadsAreAlignedBoundedAndInsideTheFile) {
  // The server checks every read against the alignment and buffer size.
  for (unsigned int align : {1u, 512u, 4096u}) {
    FileServer::instance().reset();
    Fixture f = mp3("aligned", 2.0, 44100, 2, "-b 128");
    FileServer::instance().addFile("aligned", f.file);
    WavSystem engine("aligned", align, 8192 + 100);
    VESound* sound = engine.open("aligned");
    ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(engine.system, sound));
    VEChannel* channel = nullptr;
    ASSERT_EQ(VE_OK, engine.system->playSound(0, sound, false, &channel));
    EndLog log;
    channel->setUserData(&log);
    channel->setCallback(recordEnd);
    ASSERT_TRUE(updateUntil(engine.system, [&] { return !log.channels.empty(); }));
    EXPECT_GT(FileServer::instance().reads.load(), 3);
    Wav out = engine.finish();
    EXPECT_EQ(readWav(f.reference).samples, out.samples) << align;
  }
}
