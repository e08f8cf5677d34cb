// Playback end to end behind tools/velora-core: what the WAV writer records,
// sample by sample, against the reference decoders (mpg123 --gapless, flac -d).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "CoreDriverProcess.h"
#include "DriverValues.h"
#include "TestFolder.h"
#include "SlowSoundServer.h"
#include "TestHttpServer.h"
#include "VEOutput.h"
#include "VETestSupport.h"

namespace {

const char* const kTool = VELORA_CORE_TOOL;

using driverjson::args;

// The file of a fixture as the test server names it (it serves the fixtures'
// folder).
std::string served(const vetest::Fixture& fixture) {
  return fixture.file.substr(fixture.file.rfind('/') + 1);
}

// Frames of a raw recording (16-bit stereo) whose left side is louder than a
// quiet level.
size_t loudFrames(const std::string& recording) {
  const std::vector<uint8_t> bytes = vetest::readFile(recording);
  size_t loud = 0;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    int16_t left = 0;
    std::memcpy(&left, bytes.data() + i, 2);
    if (std::abs(left) > 2000) ++loud;
  }
  return loud;
}

std::vector<int16_t> referenceOf(const vetest::Fixture& fixture) {
  return vetest::stereo(vetest::readWav(fixture.reference));
}

// The samples from the first one that is not silence: a sound plays silence
// until its data arrives.
std::vector<int16_t> withoutLeadingSilence(const std::vector<int16_t>& samples) {
  size_t start = 0;
  while (start + 1 < samples.size() && samples[start] == 0 && samples[start + 1] == 0) start += 2;
  return std::vector<int16_t>(samples.begin() + long(start), samples.end());
}

class PlaybackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestHttpServer::clearProxyEnvironment();
    setenv("VELORA_TESTSERVER_ROOT", vetest::scratchDir().c_str(), 1);
  }

  // A driver playing into wav on the output `output` ("6:0": the WAV writer
  // that mixes only in the worker's passes; "4:0": in real time).
  std::unique_ptr<CoreDriverProcess> startDriver(const std::string& wav, const std::string& output,
                                                 const std::vector<std::string>& more = {}) {
    std::vector<std::string> arguments = {"--home", folder.folder("home"), "--wav", wav, "--output", output};
    arguments.insert(arguments.end(), more.begin(), more.end());
    auto driver = std::make_unique<CoreDriverProcess>(kTool, arguments);
    EXPECT_TRUE(driver->waitUntilStarted());
    return driver;
  }

  int64_t ask(CoreDriverProcess& driver, const char* call, int sound) {
    return driver.call(call, args({sound})).int64Value();
  }

  // Lets the core run until cond holds; false after about a minute (a
  // guard against hangs, not a measure).
  bool runUntil(CoreDriverProcess& driver, const std::function<bool()>& cond) {
    for (int i = 0; i < 3000; ++i) {
      if (cond()) return true;
      driver.call("sleep", args({20}));
    }
    return cond();
  }

  bool atEnd(CoreDriverProcess& driver, int sound) {
    const int64_t length = ask(driver, "getLength", sound);
    return length > 0 && !driver.call("getPlaying", args({sound})).boolValue() &&
           ask(driver, "getPosition", sound) >= length;
  }

  // The labels of the output devices the page is offered ("value"), or their
  // ids ("key").
  std::vector<std::string> devices(CoreDriverProcess& driver, const char* part = "value") {
    std::vector<std::string> labels;
    const JKValue list = driver.call("getDeviceInfo", args({"output_devices"}));
    if (!list.isArray()) return labels;
    for (size_t i = 0; i < list.array()->count(); ++i) {
      const JKValue* label = driverjson::field(list.array()->objectAtIndex(i), part);
      if (label) labels.push_back(label->stringValue());
    }
    return labels;
  }

  bool offersTheServersSinks(CoreDriverProcess& driver) {
    for (const std::string& label : devices(driver)) {
      if (label.find("PulseAudio : ") == 0) return true;
    }
    return false;
  }

  std::string outputInUse(CoreDriverProcess& driver) {
    return driver.call("getSetting", args({"device_output"})).stringValue();
  }

  // Lets sound play on from where the output came back until it has gone on
  // for playFor milliseconds, recording the server's sink meanwhile; the loud
  // frames heard there. *lowest becomes the lowest position seen.
  size_t listenOnTheSink(CoreDriverProcess& driver, int sound, int64_t* lowest, const std::string& sink = "test",
                         int64_t playFor = 1500) {
    const std::string recording = folder.file("back-" + std::to_string(sound) + "-" + sink + ".raw");
    const pid_t recorder = vetest::NullSinkServer::record(recording, sink);
    const int64_t from = ask(driver, "getPosition", sound);
    *lowest = std::min(*lowest, from);
    EXPECT_TRUE(runUntil(driver, [&] {
      const int64_t position = ask(driver, "getPosition", sound);
      *lowest = std::min(*lowest, position);
      return position >= from + playFor;
    }));
    vetest::stopProcess(recorder);
    return loudFrames(recording);
  }

  bool playedToEnd(CoreDriverProcess& driver, int sound) {
    return runUntil(driver, [&] { return atEnd(driver, sound); });
  }

  // Creates a sound for a fixture the test server serves; its id.
  int create(CoreDriverProcess& driver, const TestHttpServer& server, const vetest::Fixture& track, int entity) {
    const std::string url =
        server.url("/file=" + served(track) + "/t") + "?_TEID=" + std::to_string(entity) + "&_FMT=5";
    return int(driver.call("createSound", args({url})).int64Value());
  }

  // Open, with its length known and its whole file in the cache.
  bool loadedWhole(CoreDriverProcess& driver, int sound) {
    const int64_t length = ask(driver, "getLength", sound);
    if (ask(driver, "getState", sound) != 0 || length <= 0) return false;
    const JKValue ranges = driver.call("getRanges", args({sound}));
    return ranges.isArray() && ranges.array()->count() == 2 &&
           ranges.array()->objectAtIndex(1).doubleValue() + 1 >= double(length);
  }

  TestFolder folder;
};

// Ten tracks, FLAC and MP3 in turn, of lengths that are no multiple of a mix
// block.
std::vector<vetest::Fixture> chainTracks() {
  std::vector<vetest::Fixture> list;
  for (int i = 0; i < 10; ++i) {
    const std::string name = "e2e-chain" + std::to_string(i);
    const double seconds = 0.7 + 0.11 * i;
    const int frequency = 300 + 97 * i;
    list.push_back(i % 2 ? vetest::mp3(name, seconds, 44100, 2, i % 4 == 1 ? "-b 160" : "-V 4", frequency)
                         : vetest::flac(name, seconds, 44100, 2, frequency));
  }
  return list;
}

// Where needle first appears in haystack at a frame boundary, or SIZE_MAX.
size_t find(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, size_t from = 0) {
  if (needle.empty() || haystack.size() < needle.size()) return SIZE_MAX;
  for (size_t i = from; i + needle.size() <= haystack.size(); i += 2) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + long(i))) return i;
  }
  return SIZE_MAX;
}

// Every join of the tracks is in the recording as the references have it:
// the last frames of one track followed at once by the first frames of the
// next, without a gap or an overlap. Only the joins are compared: a real-time
// device on a loaded machine may underrun inside a track (the recording then
// skips or repeats silence there), which is no fault of the joins.
void expectJoinedExactly(const std::vector<vetest::Fixture>& tracks, const std::vector<int16_t>& recorded) {
  const size_t side = 2 * 256;  // samples on each side of a join
  size_t from = 0;
  for (size_t k = 1; k < tracks.size(); ++k) {
    const std::vector<int16_t> before = referenceOf(tracks[k - 1]);
    const std::vector<int16_t> after = referenceOf(tracks[k]);
    ASSERT_GE(before.size(), side);
    ASSERT_GE(after.size(), side);
    std::vector<int16_t> join(before.end() - long(side), before.end());
    join.insert(join.end(), after.begin(), after.begin() + long(side));
    const size_t at = find(recorded, join, from);
    EXPECT_NE(SIZE_MAX, at) << "join " << k << " is not exact";
    if (at != SIZE_MAX) from = at + join.size();
  }
}

// A seek before the first play, and a seek into a part of a FLAC file not yet
// fetched (the sound starves, then its data arrives): the output starts on
// the very frame the seek asked for.
TEST_F(PlaybackTest, ASeekPlaysFromTheFrameItAskedFor) {
  const struct {
    const char* name;
    vetest::Fixture track;
    const char* faults;  // test server path segments
    unsigned target;     // ms
    bool whole;          // whole file in before the seek
    bool waitOpen;       // seek and play once open, else at once; the output starts on the
                         // target unless it starves later (into missing data)
  } cases[] = {
      {"before play", vetest::flac("e2e-seek-first", 3.0, 44100, 2, 510), "", 1000, true, true},
      {"before play, mp3", vetest::mp3("e2e-seek-first-mp3", 3.0, 44100, 2, "-b 192", 510), "", 1500, true, true},
      {"queued during the open", vetest::flac("e2e-seek-queued", 3.0, 44100, 2, 470), "", 700, false, false},
      {"into missing data", vetest::flac("e2e-seek-starve", 12.0, 44100, 2, 620), "/throttle=150000", 9000, false,
       true},
  };
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  int entity = 900;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string wav = folder.file("seek-" + std::to_string(entity) + ".wav");
    std::unique_ptr<CoreDriverProcess> driver = startDriver(wav, "6:0");
    const std::string url = server.url(std::string(c.faults) + "/file=" + served(c.track) + "/t") +
                            "?_TEID=" + std::to_string(++entity) + "&_FMT=5";
    const int sound = int(driver->call("createSound", args({url})).int64Value());
    ASSERT_GT(sound, 0);
    ASSERT_TRUE(!c.waitOpen || runUntil(*driver, [&] {
      if (ask(*driver, "getState", sound) != 0 || ask(*driver, "getLength", sound) <= 0) return false;
      if (!c.whole) return true;
      const JKValue ranges = driver->call("getRanges", args({sound}));
      return ranges.isArray() && ranges.array()->count() == 2 &&
             ranges.array()->objectAtIndex(1).doubleValue() + 1 >= ask(*driver, "getLength", sound);
    }));
    ASSERT_TRUE(driver->call("setPosition", args({sound, int(c.target)})).boolValue());
    ASSERT_TRUE(driver->call("play", args({sound})).boolValue());
    ASSERT_TRUE(playedToEnd(*driver, sound));
    EXPECT_EQ(0, driver->quit());

    const std::vector<int16_t> reference = referenceOf(c.track);
    const size_t from = size_t(c.target) * 44100 / 1000 * 2;
    const std::vector<int16_t> expected(reference.begin() + long(from), reference.end());
    const std::vector<int16_t> recorded = vetest::readWav(wav).samples;
    const std::vector<int16_t> played = c.whole || !c.waitOpen ? recorded : withoutLeadingSilence(recorded);
    EXPECT_EQ(expected.size(), played.size());
    EXPECT_EQ(SIZE_MAX, vetest::firstDifference(expected, played));
  }
}

// A file whose last blocks never arrive (the server stalls there) still
// starts at once and plays what it holds, as the reference decodes it.
TEST_F(PlaybackTest, AStreamStartsWithoutTheEndOfItsFile) {
  const vetest::Fixture track = vetest::mp3("e2e-no-tail", 6.0, 44100, 2, "-b 128 --add-id3v2", 700);
  const size_t size = vetest::readFile(track.file).size();
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string wav = folder.file("no-tail.wav");
  std::unique_ptr<CoreDriverProcess> driver = startDriver(wav, "6:0");
  const size_t held = (size / 4096 - 3) * 4096;  // the last three or four blocks never come
  const std::string url =
      server.url("/stallfrom=" + std::to_string(held) + "/file=" + served(track) + "/t") + "?_TEID=990&_FMT=5";
  const int sound = int(driver->call("createSound", args({url})).int64Value());
  ASSERT_TRUE(driver->call("play", args({sound})).boolValue());
  ASSERT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", sound) >= 3000; }))
      << "state " << ask(*driver, "getState", sound);
  EXPECT_EQ(0, driver->quit());

  const std::vector<int16_t> reference = referenceOf(track);
  const std::vector<int16_t> recorded = vetest::readWav(wav).samples;
  ASSERT_GE(recorded.size(), size_t(44100 * 3 * 2));
  const std::vector<int16_t> expected(reference.begin(), reference.begin() + long(recorded.size()));
  EXPECT_EQ(SIZE_MAX, vetest::firstDifference(expected, recorded));
}

// Gapless joins on real-time outputs while two offline downloads stall and
// every worker pass is slowed to half a second: the engine joins the tracks
// by itself, whatever the worker's timing.
TEST_F(PlaybackTest, ChainedTracksJoinExactlyOnRealTimeOutputsWhateverTheWorkersTiming) {
  const std::vector<vetest::Fixture> tracks = chainTracks();
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  {
    std::ofstream urls(folder.file("urls.json"));
    urls << "{\"951_5\":\"" << server.url("/size=900000/stall=20000/d1") << "\",\"952_5\":\""
         << server.url("/size=900000/stall=20000/d2") << "\"}";
  }
  const struct {
    const char* name;
    bool nullSink;
  } outputs[] = {{"WAV writer", false}, {"null sink", true}};
  int entity = 960;
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.name);
    std::unique_ptr<vetest::NullSinkServer> pulse;
    std::string device = "4:0";
    if (output.nullSink) {
      pulse = std::make_unique<vetest::NullSinkServer>();
      if (!pulse->ready()) {
        std::printf("no PulseAudio server could be started here: the null sink is left out\n");
        continue;
      }
      device = "1:" + std::to_string(VEOutput::driverId("test"));
    }
    const std::string wav = folder.file(std::string("chain-") + (output.nullSink ? "sink" : "writer") + ".wav");
    std::unique_ptr<CoreDriverProcess> driver =
        startDriver(wav, device, {"--urls", folder.file("urls.json"), "--slow-pass", "500"});
    const std::string inUse = driver->lines().front().dictionary()->objectForKey("output")->stringValue();
    ASSERT_EQ(output.nullSink ? device : "4:", output.nullSink ? inUse : inUse.substr(0, 2));
    for (const char* download : {"951", "952"}) driver->call("addFile", args({"download", download, 5, "{}"}));

    std::vector<int> sounds;
    for (const vetest::Fixture& track : tracks) sounds.push_back(create(*driver, server, track, ++entity));
    ASSERT_TRUE(runUntil(*driver, [&] {
      for (int sound : sounds) {
        if (!loadedWhole(*driver, sound)) return false;
      }
      return true;
    }));

    const std::string recording = folder.file("sink.raw");
    const pid_t recorder = output.nullSink ? vetest::NullSinkServer::record(recording) : -1;
    driver->call("sleep", args({300}));
    ASSERT_TRUE(driver->call("play", args({sounds[0]})).boolValue());
    for (size_t i = 1; i < sounds.size(); ++i)
      ASSERT_TRUE(driver->call("play", args({sounds[i], true, sounds[i - 1]})).boolValue());
    ASSERT_TRUE(playedToEnd(*driver, sounds.back()));
    driver->call("sleep", args({500}));
    vetest::stopProcess(recorder);
    EXPECT_EQ(0, driver->quit());

    std::vector<int16_t> recorded;
    if (output.nullSink) {
      const std::vector<uint8_t> bytes = vetest::readFile(recording);
      recorded.resize(bytes.size() / 2);
      std::memcpy(recorded.data(), bytes.data(), recorded.size() * 2);
    } else {
      recorded = vetest::readWav(wav).samples;
    }
    expectJoinedExactly(tracks, recorded);
  }
}

// The sound server goes away mid-playback (as when it restarts): the core
// moves to the automatic output, the playing track goes on from where it was
// to its end, and a paused one stays paused where it was. On the server's own
// output and on ALSA's bridge to it, whose writes then fail for good.
TEST_F(PlaybackTest, PlaybackGoesOnWhenTheOutputDeviceIsLost) {
  const vetest::Fixture track = vetest::flac("e2e-lost", 4.0, 44100, 2, 530);
  const vetest::Fixture other = vetest::mp3("e2e-lost-paused", 3.0, 44100, 2, "-b 128", 610);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const struct {
    const char* name;
    std::string device;
  } outputs[] = {{"PulseAudio sink", "1:" + std::to_string(VEOutput::driverId("test"))},
                 {"ALSA bridge", "2:" + std::to_string(VEOutput::driverId("pulse"))}};
  int entity = 1100;
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.name);
    auto pulse = std::make_unique<vetest::NullSinkServer>();
    if (!pulse->ready()) {
      std::printf("no PulseAudio server could be started here: the lost device is left out\n");
      return;
    }
    std::unique_ptr<CoreDriverProcess> driver = startDriver(folder.file("lost.wav"), output.device);
    ASSERT_EQ(output.device, driver->lines().front().dictionary()->objectForKey("output")->stringValue());
    const int playing = create(*driver, server, track, ++entity);
    const int paused = create(*driver, server, other, ++entity);
    ASSERT_TRUE(runUntil(*driver, [&] { return loadedWhole(*driver, playing) && loadedWhole(*driver, paused); }));
    ASSERT_TRUE(driver->call("setPosition", args({paused, 1500})).boolValue());
    ASSERT_TRUE(driver->call("pause", args({paused})).boolValue());
    ASSERT_TRUE(driver->call("play", args({playing})).boolValue());
    ASSERT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", playing) >= 1000; }));

    const int64_t reached = ask(*driver, "getPosition", playing);
    pulse.reset();
    int64_t lowest = reached;
    EXPECT_TRUE(runUntil(*driver,
                         [&] {
                           lowest = std::min(lowest, ask(*driver, "getPosition", playing));
                           return atEnd(*driver, playing);
                         }))
        << "stopped at " << ask(*driver, "getPosition", playing);
    EXPECT_EQ(reached, lowest) << "the track went back";
    EXPECT_EQ(0u, driver->call("getSetting", args({"device_output"})).stringValue().find("0:"));
    EXPECT_TRUE(driver->call("getPaused", args({paused})).boolValue());
    EXPECT_EQ(1500, ask(*driver, "getPosition", paused));
    EXPECT_EQ(0, driver->quit());
  }
}

// The sound server stops mid-playback and comes back (as when it is updated
// or restarted): the core waits on no sound, finds the server again, and the
// sounds go on there from where they were, paused or playing, at their
// volume, and the page is offered the server's devices again. On the
// automatic output and on the sink the user chose, which is taken again.
TEST_F(PlaybackTest, SoundComesBackWithTheSoundServer) {
  const vetest::Fixture track = vetest::flac("e2e-back", 20.0, 44100, 2, 700);
  const vetest::Fixture other = vetest::mp3("e2e-back-paused", 3.0, 44100, 2, "-b 128", 610);
  const std::string sink = std::to_string(VEOutput::driverId("test"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const struct {
    const char* name;
    std::string chosen;
    std::string back;  // the output in use once the server is back
  } outputs[] = {{"automatic", "0:0", "0:" + sink}, {"chosen sink", "1:" + sink, "1:" + sink}};
  int entity = 1300;
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.name);
    auto pulse = std::make_unique<vetest::NullSinkServer>();
    if (!pulse->ready()) {
      std::printf("no PulseAudio server could be started here: the server's return is left out\n");
      return;
    }
    std::unique_ptr<CoreDriverProcess> driver = startDriver(folder.file("back.wav"), output.chosen);
    const int playing = create(*driver, server, track, ++entity);
    const int paused = create(*driver, server, other, ++entity);
    ASSERT_TRUE(runUntil(*driver, [&] { return loadedWhole(*driver, playing) && loadedWhole(*driver, paused); }));
    ASSERT_TRUE(driver->call("setPosition", args({paused, 1500})).boolValue());
    ASSERT_TRUE(driver->call("pause", args({paused})).boolValue());
    ASSERT_TRUE(driver->call("setVolume", args({playing, 0.5})).boolValue());
    ASSERT_TRUE(driver->call("play", args({playing})).boolValue());
    ASSERT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", playing) >= 1000; }));

    pulse.reset();
    ASSERT_TRUE(runUntil(*driver, [&] { return devices(*driver) == std::vector<std::string>{"Default : No sound"}; }));
    const int64_t reached = ask(*driver, "getPosition", playing);
    pulse = std::make_unique<vetest::NullSinkServer>();
    ASSERT_TRUE(pulse->ready());
    ASSERT_TRUE(runUntil(*driver, [&] { return outputInUse(*driver) == output.back; }))
        << "still on " << outputInUse(*driver);
    int64_t lowest = reached;
    EXPECT_GT(listenOnTheSink(*driver, playing, &lowest), 44100u / 2) << "nothing heard on the sink";
    EXPECT_EQ(reached, lowest) << "the track went back";
    EXPECT_TRUE(offersTheServersSinks(*driver));
    EXPECT_TRUE(driver->call("getPaused", args({paused})).boolValue());
    EXPECT_EQ(1500, ask(*driver, "getPosition", paused));
    EXPECT_EQ(0.5, driver->call("getVolume", args({playing})).doubleValue());
    EXPECT_EQ(0, driver->quit());
  }
}

// The client starts before the sound server (as at login): it plays on no
// sound, offering only that, and moves to the server as soon as it answers.
// On the automatic output, and on the sink the user chose in an earlier
// session, which is taken again rather than lost.
TEST_F(PlaybackTest, SoundStartsWhenTheSoundServerStartsAfterTheClient) {
  const vetest::Fixture track = vetest::flac("e2e-late", 20.0, 44100, 2, 760);
  const std::string sink = std::to_string(VEOutput::driverId("test"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const struct {
    const char* name;
    std::string chosenEarlier;  // empty: never chosen
    std::string back;
  } outputs[] = {{"automatic", "", "0:" + sink}, {"sink chosen earlier", "1:" + sink, "1:" + sink}};
  int entity = 1400;
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.name);
    const std::string home = folder.folder("late-" + std::to_string(entity));
    if (!output.chosenEarlier.empty()) {
      vetest::NullSinkServer pulse;
      if (!pulse.ready()) {
        std::printf("no PulseAudio server could be started here: the late server is left out\n");
        return;
      }
      CoreDriverProcess earlier(kTool, {"--home", home, "--output", output.chosenEarlier});
      ASSERT_TRUE(earlier.waitUntilStarted());
      ASSERT_EQ(output.chosenEarlier, outputInUse(earlier));
      EXPECT_EQ(0, earlier.quit());
    }
    vetest::NullSinkServer::usePrivateRuntime();
    CoreDriverProcess driver(kTool, {"--home", home});
    ASSERT_TRUE(driver.waitUntilStarted());
    EXPECT_EQ(std::vector<std::string>{"Default : No sound"}, devices(driver));
    const int sound = create(driver, server, track, ++entity);
    ASSERT_GT(sound, 0);
    ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
    ASSERT_TRUE(runUntil(driver, [&] { return ask(driver, "getPosition", sound) >= 500; }));

    vetest::NullSinkServer pulse;
    if (!pulse.ready()) {
      std::printf("no PulseAudio server could be started here: the late server is left out\n");
      return;
    }
    ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == output.back; }))
        << "still on " << outputInUse(driver);
    int64_t lowest = ask(driver, "getPosition", sound);
    const int64_t reached = lowest;
    EXPECT_GT(listenOnTheSink(driver, sound, &lowest), 44100u / 2) << "nothing heard on the sink";
    EXPECT_EQ(reached, lowest) << "the track went back";
    EXPECT_TRUE(offersTheServersSinks(driver));
    EXPECT_EQ(0, driver.quit());
  }
}

// The sound server hangs: it takes connections and never answers (stopped
// in mid-run, or socket-activated and stuck). The client still starts at
// once, on no sound, a change of user answers at once, and a track plays on
// while the client keeps looking; once a server answers, the sink the user
// chose is taken again. The start and the calls run against generous guards
// against hangs: before, they took minutes.
TEST_F(PlaybackTest, AHungSoundServerHoldsNeitherTheStartNorThePage) {
  const vetest::Fixture track = vetest::flac("e2e-hung", 20.0, 44100, 2, 640);
  const std::string chosen = "1:" + std::to_string(VEOutput::driverId("test"));
  const std::string noSound = "0:" + std::to_string(VEOutput::driverId("nosound"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  {
    // The user chose the sink in an earlier session.
    vetest::NullSinkServer pulse;
    if (!pulse.ready()) {
      std::printf("no PulseAudio server could be started here: the hung server is left out\n");
      return;
    }
    CoreDriverProcess earlier(kTool, {"--home", folder.folder("hung"), "--output", chosen});
    ASSERT_TRUE(earlier.waitUntilStarted());
    EXPECT_EQ(0, earlier.quit());
  }
  auto stuck = std::make_unique<vetest::StuckSoundServer>();
  ASSERT_TRUE(stuck->ready());
  CoreDriverProcess driver(kTool, {"--home", folder.folder("hung")});
  ASSERT_TRUE(driver.waitUntilStarted(20)) << "the start waited for the server";
  EXPECT_EQ(noSound, outputInUse(driver));
  // To another user and back: each change closes the session and opens one.
  for (const char* user : {"someone", ""}) {
    SCOPED_TRACE(user);
    EXPECT_TRUE(driver.call("setUserId", args({user}), nullptr, 20).isBool()) << "the page waited";
  }
  const int sound = create(driver, server, track, 1500);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  ASSERT_TRUE(runUntil(driver, [&] { return ask(driver, "getPosition", sound) >= 3500; }))
      << "stopped at " << ask(driver, "getPosition", sound);

  stuck.reset();
  vetest::NullSinkServer pulse;
  ASSERT_TRUE(pulse.ready());
  ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == chosen; })) << "still on " << outputInUse(driver);
  int64_t lowest = ask(driver, "getPosition", sound);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest), 44100u / 2) << "nothing heard on the sink";
  EXPECT_EQ(0, driver.quit());
}

// The page polls a playing track every tenth of a second and changes user
// every few rounds while the sound server takes connections and never
// answers: no call waits on the server (each has a guard against hangs, far
// above the half second a change of user may give a server). Once a server
// answers again the track is heard on it.
TEST_F(PlaybackTest, AHungSoundServerHoldsNoPageCallAcrossChangesOfUser) {
  const vetest::Fixture track = vetest::flac("e2e-hung-poll", 60.0, 44100, 2, 520);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  auto stuck = std::make_unique<vetest::StuckSoundServer>();
  ASSERT_TRUE(stuck->ready());
  CoreDriverProcess driver(kTool, {"--home", folder.folder("hung-poll")});
  ASSERT_TRUE(driver.waitUntilStarted(20)) << "the start waited for the server";
  int sound = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    EXPECT_TRUE(driver.call("setUserId", args({round % 2 ? "" : "someone"}), nullptr, 10).isBool())
        << "the page waited";
    sound = create(driver, server, track, 1800 + round);
    ASSERT_TRUE(driver.call("play", args({sound}), nullptr, 10).boolValue()) << "the page waited";
    for (int poll = 0; poll < 25; ++poll) {
      for (const char* call : {"getPosition", "getVolume", "getState"})
        ASSERT_TRUE(driver.call(call, args({sound}), nullptr, 10).isNumber()) << call << " waited";
      driver.call("sleep", args({100}));
    }
  }

  stuck.reset();
  vetest::NullSinkServer pulse;
  ASSERT_TRUE(pulse.ready());
  ASSERT_TRUE(runUntil(driver, [&] { return offersTheServersSinks(driver); })) << "still on " << outputInUse(driver);
  int64_t lowest = ask(driver, "getPosition", sound);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest), 44100u / 2) << "nothing heard on the sink";
  EXPECT_EQ(0, driver.quit());
}

// A sound server that answers each connection's setup and then stops
// answering (stopped right after a client connected): the ALSA bridge to it
// opens, but its stream is never answered. The page polls a playing track
// every tenth of a second and changes user, then device, every 2.5 s, the
// device switch setting its new engine up against the server while the
// page reads the track's state; no call is held
// (the guard is far above the half second a start or a change of user may
// give a server, and far below the 30 s the bridge waits). Once the server
// answers again the client plays on its default sink and offers its sinks.
TEST_F(PlaybackTest, ASoundServerThatStopsAnsweringAfterTheConnectionHoldsNoPageCall) {
  const vetest::Fixture track = vetest::flac("e2e-stall", 60.0, 44100, 2, 530);
  const std::string sink = "1:" + std::to_string(VEOutput::driverId("test"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  vetest::NullSinkServer pulse({"test"}, false);
  if (!pulse.ready()) {
    std::printf("no PulseAudio server could be started here: the stalling server is left out\n");
    return;
  }
  auto stalling = std::make_unique<vetest::SlowSoundServer>(pulse, vetest::SlowSoundServer::Slowness::AfterSetup,
                                                            std::chrono::milliseconds(0));
  ASSERT_TRUE(stalling->ready());
  using Clock = std::chrono::steady_clock;
  // Seconds since started.
  double longest = 0.0;
  double longestRead = 0.0;
  const auto held = [&longest](Clock::time_point started) {
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    longest = std::max(longest, seconds);
    return seconds;
  };
  const double guard = 3.0;
  auto started = Clock::now();
  CoreDriverProcess driver(kTool, {"--home", folder.folder("stall")});
  ASSERT_TRUE(driver.waitUntilStarted(60));
  EXPECT_LT(held(started), guard) << "the start waited for the server";
  int sound = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    started = Clock::now();
    EXPECT_TRUE(driver.call("setUserId", args({round % 2 ? "" : "someone"}), nullptr, 60).isBool());
    EXPECT_LT(held(started), guard) << "setUserId waited for the server";
    sound = create(driver, server, track, 1900 + round);
    ASSERT_TRUE(driver.call("play", args({sound}), nullptr, 60).boolValue());
    driver.call("setSetting", args({"device_output", round % 2 ? "0:0" : sink}));
    for (int poll = 0; poll < 25; ++poll) {
      for (const char* call : {"getPosition", "getVolume", "getState"}) {
        started = Clock::now();
        ASSERT_TRUE(driver.call(call, args({sound}), nullptr, 60).isNumber());
        longestRead = std::max(longestRead, held(started));
        EXPECT_LT(held(started), guard) << call << " waited for the server";
      }
      driver.call("sleep", args({100}));
    }
  }

  std::printf("longest page call while the server stalled: %.2f s, read of the track: %.2f s\n", longest, longestRead);
  // The server answers again: the client's socket passes everything on.
  stalling.reset();
  vetest::SlowSoundServer answering(pulse, vetest::SlowSoundServer::Slowness::EveryConnection,
                                    std::chrono::milliseconds(0));
  ASSERT_TRUE(answering.ready());
  const std::string onTheSink = "0:" + std::to_string(VEOutput::driverId("test"));
  ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == onTheSink; })) << "still on " << outputInUse(driver);
  EXPECT_TRUE(offersTheServersSinks(driver));
  EXPECT_EQ(0, driver.quit());
}

// How long a listener stays on a sink the client has just taken from a slow
// sound server: an open there may be given up on at its half second on a
// loaded machine, and the next look, 3 s later, takes the sink again.
constexpr int64_t kListenPastALook = 4500;

// A sound server that answers every connection 0.7 s late (loaded, or
// remote), past the half second a start or a look waits: the client starts
// on no sound without waiting for it, and is on the server, offering its
// sinks and playing on the default one, once it has answered. A sink the
// user chooses then takes at once.
TEST_F(PlaybackTest, ASoundServerThatAnswersLateIsUsedOnceItAnswers) {
  const vetest::Fixture track = vetest::flac("e2e-slow", 30.0, 44100, 2, 580);
  const std::string second = std::to_string(VEOutput::driverId("second"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  vetest::NullSinkServer pulse({"test", "second"}, false);
  if (!pulse.ready()) {
    std::printf("no PulseAudio server could be started here: the slow server is left out\n");
    return;
  }
  vetest::SlowSoundServer slow(pulse, vetest::SlowSoundServer::Slowness::EveryConnection,
                               std::chrono::milliseconds(700));
  ASSERT_TRUE(slow.ready());
  CoreDriverProcess driver(kTool, {"--home", folder.folder("slow")});
  ASSERT_TRUE(driver.waitUntilStarted(20)) << "the start waited for the server";
  const int sound = create(driver, server, track, 1600);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  ASSERT_TRUE(runUntil(driver, [&] { return offersTheServersSinks(driver); })) << "on " << outputInUse(driver);
  EXPECT_EQ("0:" + std::to_string(VEOutput::driverId("test")), outputInUse(driver));
  int64_t lowest = ask(driver, "getPosition", sound);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest, "test", kListenPastALook), 44100u / 2)
      << "nothing heard on the default sink";

  driver.call("setSetting", args({"device_output", "1:" + second}));
  ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == "1:" + second; }))
      << "still on " << outputInUse(driver);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest, "second", kListenPastALook), 44100u / 2)
      << "nothing heard on the chosen sink";
  EXPECT_EQ(0, driver.quit());
}

// A sound server slow only at its first answer (started on demand at login:
// its first connection is answered 0.7 s late) while the user had chosen a
// sink: the client may start on another device, but takes the
// chosen sink once the server answers, plays there and offers the server's
// sinks. The user then chooses the other sink, which takes too.
TEST_F(PlaybackTest, ASoundServerSlowAtItsFirstAnswerPlaysOnTheChosenSink) {
  const vetest::Fixture track = vetest::flac("e2e-first-slow", 30.0, 44100, 2, 660);
  const std::string test = "1:" + std::to_string(VEOutput::driverId("test"));
  const std::string second = "1:" + std::to_string(VEOutput::driverId("second"));
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  vetest::NullSinkServer pulse({"test", "second"}, false);
  if (!pulse.ready()) {
    std::printf("no PulseAudio server could be started here: the server started on demand is left out\n");
    return;
  }
  const std::string home = folder.folder("first-slow");
  {
    CoreDriverProcess earlier(kTool, {"--home", home, "--output", second});
    ASSERT_TRUE(earlier.waitUntilStarted());
    ASSERT_EQ(second, outputInUse(earlier));
    EXPECT_EQ(0, earlier.quit());
  }
  vetest::SlowSoundServer slow(pulse, vetest::SlowSoundServer::Slowness::FirstConnection,
                               std::chrono::milliseconds(700));
  ASSERT_TRUE(slow.ready());
  CoreDriverProcess driver(kTool, {"--home", home});
  ASSERT_TRUE(driver.waitUntilStarted(20)) << "the start waited for the server";
  const int sound = create(driver, server, track, 1700);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == second; })) << "on " << outputInUse(driver);
  EXPECT_TRUE(offersTheServersSinks(driver));
  int64_t lowest = ask(driver, "getPosition", sound);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest, "second", kListenPastALook), 44100u / 2)
      << "nothing heard on the chosen sink";

  driver.call("setSetting", args({"device_output", test}));
  ASSERT_TRUE(runUntil(driver, [&] { return outputInUse(driver) == test; })) << "still on " << outputInUse(driver);
  EXPECT_GT(listenOnTheSink(driver, sound, &lowest, "test", kListenPastALook), 44100u / 2)
      << "nothing heard on the sink chosen next";
  EXPECT_EQ(0, driver.quit());
}

// The client quits while it plays on no sound for want of its sound server:
// the next session, with the server back, plays on the device the user chose
// (automatic or a sink), and the page reads an id its list holds.
TEST_F(PlaybackTest, AQuitWhileTheSoundServerIsAwayKeepsTheChosenDevice) {
  const std::string sink = std::to_string(VEOutput::driverId("test"));
  const std::string noSound = "0:" + std::to_string(VEOutput::driverId("nosound"));
  const struct {
    const char* name;
    std::string chosen;
    std::string next;  // the output in use in the next session
  } outputs[] = {{"chosen sink", "1:" + sink, "1:" + sink}, {"automatic", "0:0", "0:" + sink}};
  int run = 0;
  for (const auto& output : outputs) {
    SCOPED_TRACE(output.name);
    const std::string home = folder.folder("kept-" + std::to_string(++run));
    auto pulse = std::make_unique<vetest::NullSinkServer>();
    if (!pulse->ready()) {
      std::printf("no PulseAudio server could be started here: the kept device is left out\n");
      return;
    }
    {
      CoreDriverProcess first(kTool, {"--home", home, "--output", output.chosen});
      ASSERT_TRUE(first.waitUntilStarted());
      pulse.reset();
      ASSERT_TRUE(runUntil(first, [&] { return outputInUse(first) == noSound; })) << outputInUse(first);
      EXPECT_EQ(0, first.quit());
    }
    pulse = std::make_unique<vetest::NullSinkServer>();
    ASSERT_TRUE(pulse->ready());
    CoreDriverProcess next(kTool, {"--home", home});
    ASSERT_TRUE(next.waitUntilStarted());
    EXPECT_EQ(output.next, outputInUse(next));
    const std::vector<std::string> ids = devices(next, "key");
    EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), outputInUse(next))) << "an id the list does not hold";
    EXPECT_EQ(0, next.quit());
  }
}

// MP3 files as they come in the wild, through the whole core: text before
// the first frame, and a hole of garbage in mid-file. Each plays to its real
// length: the first sample for sample as the reference decodes the bare
// file, the other on past its hole to the reference's last samples.
TEST_F(PlaybackTest, DamagedMp3FilesPlayToTheirRealLength) {
  const vetest::Fixture track = vetest::mp3("e2e-damaged", 3.0, 44100, 2, "-b 128", 580);
  const std::vector<uint8_t> bytes = vetest::readFile(track.file);
  const std::string text = "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n";
  std::vector<uint8_t> withText(text.begin(), text.end());
  withText.insert(withText.end(), bytes.begin(), bytes.end());
  std::vector<uint8_t> withHole(bytes.begin(), bytes.begin() + long(bytes.size() / 2));
  const std::vector<uint8_t> garbage = vetest::noiseBytes(64 * 1024);
  withHole.insert(withHole.end(), garbage.begin(), garbage.end());
  withHole.insert(withHole.end(), bytes.begin() + long(bytes.size() / 2), bytes.end());
  const struct {
    const char* name;
    const std::vector<uint8_t>& bytes;
    bool exact;
  } cases[] = {{"text in front", withText, true}, {"garbage hole", withHole, false}};

  const std::vector<int16_t> reference = referenceOf(track);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  int entity = 1200;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const vetest::Fixture damaged = {vetest::path("e2e-damaged-" + std::to_string(++entity) + ".mp3"), ""};
    vetest::writeFile(damaged.file, c.bytes);
    const std::string wav = folder.file("damaged-" + std::to_string(entity) + ".wav");
    std::unique_ptr<CoreDriverProcess> driver = startDriver(wav, "6:0");
    const int sound = create(*driver, server, damaged, entity);
    ASSERT_TRUE(runUntil(*driver, [&] { return loadedWhole(*driver, sound); }))
        << "state " << ask(*driver, "getState", sound);
    ASSERT_TRUE(driver->call("play", args({sound})).boolValue());
    ASSERT_TRUE(playedToEnd(*driver, sound));
    const int64_t length = ask(*driver, "getLength", sound);
    EXPECT_EQ(0, driver->quit());

    const std::vector<int16_t> recorded = vetest::readWav(wav).samples;
    EXPECT_EQ(int64_t(recorded.size() / 2 * 1000 / 44100), length);
    if (c.exact) {
      EXPECT_EQ(reference.size(), recorded.size());
      EXPECT_EQ(SIZE_MAX, vetest::firstDifference(reference, recorded));
      continue;
    }
    // A few frames of garbage may sound as a glitch; then the sound goes on
    // as the reference's, up to rounding: the start of its last second is
    // among the last two seconds played.
    EXPECT_NEAR(double(reference.size()), double(recorded.size()), 2 * 12 * 1152.0);
    const size_t second = 44100 * 2;
    ASSERT_GT(recorded.size(), 2 * second);
    const std::vector<int16_t> excerpt(reference.end() - long(second), reference.end() - long(second) + 2000);
    const std::vector<int16_t> end(recorded.end() - long(2 * second), recorded.end());
    EXPECT_NE(SIZE_MAX, vetest::findWithin(end, excerpt, 2));
  }
}

}  // namespace
