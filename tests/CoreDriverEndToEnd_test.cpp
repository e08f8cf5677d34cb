// The core end to end behind tools/velora-core: streaming into the WAV writer,
// offline downloads that survive a kill -9, and web storage across runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CoreDriverProcess.h"
#include "DriverValues.h"
#include "TestDatabase.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "TestEnvironmentVariable.h"
#include "TestNginxServer.h"
#include "TestSmallVolume.h"
#include "VLCrypto.h"
#include "VETestSupport.h"
#include "VLPlatformFactory.h"

namespace {

const char* const kTool = VELORA_CORE_TOOL;

using driverjson::args;
using driverjson::field;
using driverjson::number;
using driverjson::strings;

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

std::string md5(const std::string& text) {
  std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
  return crypto->md5(text);
}

// The driver's arguments for a home and a URL map.
std::vector<std::string> driverArguments(const std::string& home, const std::string& urls,
                                         const std::vector<std::string>& more = {}) {
  std::vector<std::string> arguments = {"--home", home};
  if (std::find(more.begin(), more.end(), "--wav") == more.end()) {
    arguments.push_back("--output");
    arguments.push_back("5:0");
  }
  if (!urls.empty()) {
    arguments.push_back("--urls");
    arguments.push_back(urls);
  }
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// Size of the "data" chunk of a RIFF/WAVE file, and whether any sample in it
// is not silence; false when the file is no WAV file.
bool readWav(const std::string& path, size_t* dataBytes, bool* audible) {
  std::string bytes = TestFolder::read(path);
  if (bytes.size() < 44 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return false;
  size_t offset = 12;
  while (offset + 8 <= bytes.size()) {
    uint32_t size;
    std::memcpy(&size, bytes.data() + offset + 4, 4);
    if (bytes.compare(offset, 4, "data") == 0) {
      size_t available = std::min<size_t>(size, bytes.size() - offset - 8);
      *dataBytes = available;
      *audible = false;
      for (size_t i = offset + 8; i + 1 < offset + 8 + available; i += 2) {
        int16_t sample;
        std::memcpy(&sample, bytes.data() + i, 2);
        if (sample > 1000 || sample < -1000) {
          *audible = true;
          break;
        }
      }
      return true;
    }
    offset += 8 + size + (size & 1);
  }
  return false;
}

// Writes a URL map of "<entity>_5" to each URL, in order from entity `first`.
std::string writeUrlMap(TestFolder& folder, int first, const std::vector<std::string>& urls) {
  std::string path = folder.file("urls.json");
  std::ofstream out(path);
  out << "{";
  for (size_t i = 0; i < urls.size(); ++i)
    out << (i ? "," : "") << "\"" << first + int(i) << "_5\":\"" << urls[i] << "\"";
  out << "}";
  return path;
}

// Downloads the entities from `first` on into "download"; true once all are done.
bool downloadAll(CoreDriverProcess& driver, int first, int count, long timeoutMs) {
  for (int i = 0; i < count; ++i) driver.call("addFile", args({"download", std::to_string(first + i), 5, "{}"}));
  return driver.call("waitForFileCount", args({strings({"download"}), 2, 16, count, timeoutMs})).boolValue();
}

class CoreDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { TestHttpServer::clearProxyEnvironment(); }
};

TEST_F(CoreDriverTest, TransfersGoThroughTheSystemProxyWithItsCredentialsUnlessExempt) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string proxy = "127.0.0.1:" + std::to_string(server.getPort());
  {
    // The audio host cannot be resolved here: only the proxy reaches it.
    TestEnvironmentVariable variable("http_proxy", ("http://user:secret@" + proxy).c_str());
    std::string urls =
        writeUrlMap(folder, 901, {"http://audio.velora.invalid/size=300000/seed=3/proxyauth=user:secret/a"});
    CoreDriverProcess driver(kTool, driverArguments(folder.folder("home1"), urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(downloadAll(driver, 901, 1, 60000));
    EXPECT_EQ(0, driver.quit());
    std::vector<TestHttpRequest> requests = server.getRequests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("http://audio.velora.invalid/size=300000/seed=3/proxyauth=user:secret/a", requests[0].path);
    EXPECT_EQ("200", requests[0].status);
  }
  {
    // A proxy that answers nothing, and the server exempt from it.
    TestEnvironmentVariable variable("http_proxy", "http://127.0.0.1:1");
    TestEnvironmentVariable exempt("no_proxy", "localhost,127.0.0.1");
    std::string urls = writeUrlMap(folder, 902, {server.url("/size=300000/seed=4/a")});
    CoreDriverProcess driver(kTool, driverArguments(folder.folder("home2"), urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(downloadAll(driver, 902, 1, 30000));
    EXPECT_EQ(0, driver.quit());
  }
}

TEST_F(CoreDriverTest, StreamsATrackIntoTheWavWriter) {
  TestFolder folder;
  const std::string media = folder.folder("media");
  ASSERT_TRUE(vetest::makeToneMp3(media + "/tone.mp3", 2, 440, -6));
  TestNginxServer server(media);
  ASSERT_TRUE(server.isRunning());

  const std::string wav = folder.file("out.wav");
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), "", {"--wav", wav}));
  ASSERT_TRUE(driver.waitUntilStarted());

  int sound = int(driver.call("createSound", args({server.url("/tone.mp3?_TEID=700&_FMT=5")})).int64Value());
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());

  // Played to its end: it was playing, it knows its length and has stopped.
  bool played = false;
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    bool playing = driver.call("getPlaying", args({sound})).boolValue();
    played = played || playing;
    ended = played && !playing;
    if (!ended) driver.call("sleep", args({50}));
  }
  ASSERT_TRUE(ended) << "state " << driver.call("getState", args({sound})).int64Value();
  EXPECT_GE(driver.call("getLength", args({sound})).int64Value(), 1900);

  JKValue files = driver.callAndWaitForCallback("getFiles", args({strings({"cache"}), 0, 0}));
  const JKValue* list = field(files, "files");
  ASSERT_TRUE(list && list->isArray());
  ASSERT_EQ(1u, list->array()->count());
  const JKValue& cached = list->array()->objectAtIndex(0);
  EXPECT_EQ(700, number(cached, "entity_id"));
  EXPECT_EQ(int64_t(TestFolder::sizeOf(media + "/tone.mp3")), number(cached, "bytes_total"));
  EXPECT_EQ(number(cached, "bytes_total"), number(cached, "bytes_loaded"));

  EXPECT_EQ(0, driver.quit());
  size_t dataBytes = 0;
  bool audible = false;
  ASSERT_TRUE(readWav(wav, &dataBytes, &audible));
  EXPECT_TRUE(audible);
  EXPECT_GE(dataBytes, size_t(44100 * 4 * 19 / 10)) << "about two seconds of 16-bit stereo";
}

// A stream whose server keeps failing fails to the page instead of loading for
// days, while a download of the same server keeps waiting for it to recover.
TEST_F(CoreDriverTest, AFailingServerFailsTheStreamSoonAndKeepsTheDownloadWaiting) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  std::string urls = writeUrlMap(folder, 911, {server.url("/size=300000/status=503/d")});
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  driver.call("addFile", args({"download", "911", 5, "{}"}));
  int sound = int(driver.call("createSound", args({server.url("/status=503/s.mp3?_TEID=910&_FMT=5")})).int64Value());
  ASSERT_GT(sound, 0);
  int state = 1;
  for (int i = 0; i < 1200 && state == 1; ++i) {
    driver.call("sleep", args({50}));
    state = int(driver.call("getState", args({sound})).int64Value());
  }
  EXPECT_EQ(2, state) << "the stream failed to the page";
  JKValue running = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 4}));
  EXPECT_EQ(1, number(running, "count")) << "the download still runs";
  // The page was told that the download waits, and why.
  JKValue told;
  EXPECT_TRUE(driver.waitForLine(
      [](const JKValue& line) {
        const JKValue* files = field(line, "files");
        if (!files || !files->isArray()) return false;
        for (const JKValue& file : *files->array()) {
          const JKValue* failure = field(file, "failure");
          if (number(file, "entity_id") == 911 && number(file, "retry_in") > 0 && failure &&
              failure->stringValue() == "HTTP 503")
            return true;
        }
        return false;
      },
      &told, 5));
  const JKValue* event = field(told, "event");
  EXPECT_TRUE(event && event->stringValue() == "onDownloadStatesChanged") << "a retry is told as the download's state";
  // onFileStatesChanged means complete: neither file ever is.
  for (const JKValue& line : driver.lines()) {
    const JKValue* name = field(line, "event");
    EXPECT_FALSE(name && name->stringValue() == "onFileStatesChanged");
  }
  EXPECT_EQ(0, driver.quit());
}

// The error code a line shows the page; empty when it shows none.
std::string shownError(const JKValue& line) {
  const JKValue* event = field(line, "event");
  const JKValue* arguments = field(line, "args");
  if (!event || event->stringValue() != "showError" || !arguments || !arguments->isArray()) return "";
  return arguments->array()->objectAtIndex(0).stringValue();
}

// How many times the page was shown the error code.
int shownErrors(CoreDriverProcess& driver, const std::string& code) {
  int shown = 0;
  for (const JKValue& line : driver.lines()) shown += shownError(line) == code ? 1 : 0;
  return shown;
}

// Runs the driver in namespaces of its own on a tmpfs of `size` that holds
// its home, with `filler` bytes already taken.
std::unique_ptr<CoreDriverProcess> driverOnSmallVolume(const std::string& volume, const std::string& size,
                                                       size_t filler, const std::string& urls) {
  std::string command = "mount -t tmpfs -o size=" + size + " none '" + volume + "' && head -c " +
                        std::to_string(filler) + " /dev/zero > '" + volume + "/filler' && exec '" + kTool + "'";
  for (const std::string& argument : driverArguments(volume + "/home", urls)) command += " '" + argument + "'";
  return std::unique_ptr<CoreDriverProcess>(
      new CoreDriverProcess("/usr/bin/unshare", {"-rm", "/bin/sh", "-c", command}));
}

// A download that needs more than the volume has is retried while the page
// is told once that the volume is full, not once per retry.
TEST_F(CoreDriverTest, AFullVolumeIsShownOncePerEpisode) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  std::string urls = writeUrlMap(folder, 921, {server.url("/size=3000000/seed=5/big")});
  const std::string volume = folder.folder("volume");
  if (!run("unshare -rm true 2>/dev/null")) GTEST_SKIP() << "no user and mount namespaces on this machine";
  // The driver runs as a fresh program in namespaces of its own, on a 4 MB
  // volume where the file would fit, but not beside what is on it.
  std::unique_ptr<CoreDriverProcess> process = driverOnSmallVolume(volume, "4m", 2000000, urls);
  CoreDriverProcess& driver = *process;
  ASSERT_TRUE(driver.waitUntilStarted());
  driver.call("addFile", args({"download", "921", 5, "{}"}));
  // Three attempts, each of which finds the volume full.
  for (int i = 0; i < 600 && server.getRequests().size() < 3; ++i) driver.call("sleep", args({50}));
  ASSERT_GE(server.getRequests().size(), 3u);
  EXPECT_EQ(1, shownErrors(driver, "DOWNLOAD_VOLUME_FULL")) << "the page is told once";
  EXPECT_EQ(0, driver.quit());
}

TEST_F(CoreDriverTest, DownloadsSurviveAKillAndFinishByteExact) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  const size_t size = 600000;
  const int entities[] = {801, 802, 803};
  const unsigned format = 5;
  {
    std::ofstream urls(folder.file("urls.json"));
    urls << "{";
    for (int i = 0; i < 3; ++i) {
      urls << (i ? "," : "") << "\"" << entities[i] << "_" << format << "\":\""
           << server.url("/size=" + std::to_string(size) + "/seed=" + std::to_string(i + 1) + "/throttle=150000/track" +
                         std::to_string(i))
           << "\"";
    }
    urls << "}";
  }
  {
    CoreDriverProcess driver(kTool, driverArguments(home, folder.file("urls.json")));
    ASSERT_TRUE(driver.waitUntilStarted());
    for (int entity : entities)
      driver.call("addFile", args({"download", std::to_string(entity), int(format), "{\"t\":1}"}));
    // Killed while the content is arriving.
    ASSERT_TRUE(driver.waitForLine([](const JKValue& line) {
      const JKValue* event = field(line, "event");
      const JKValue* files = field(line, "files");
      if (!event || event->stringValue() != "onFileProgressesChanged" || !files || !files->isArray()) return false;
      for (const JKValue& file : *files->array())
        if (number(file, "bytes_loaded") > 0 && number(file, "bytes_loaded") < number(file, "bytes_total")) return true;
      return false;
    }));
    driver.kill();
  }

  CoreDriverProcess driver(kTool, driverArguments(home, folder.file("urls.json")));
  ASSERT_TRUE(driver.waitUntilStarted());
  JKValue queued = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 1 | 2 | 4 | 16}));
  EXPECT_EQ(3, number(queued, "count")) << "every queue entry outlived the kill";
  ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 3, 120000})).boolValue());

  JKValue answer = driver.callAndWaitForCallback("getFiles", args({strings({"download"}), 0, 0}));
  const JKValue* list = field(answer, "files");
  ASSERT_TRUE(list && list->isArray());
  ASSERT_EQ(3u, list->array()->count());
  for (const JKValue& file : *list->array()) {
    EXPECT_EQ(int64_t(size), number(file, "bytes_total"));
    EXPECT_EQ(int64_t(size), number(file, "bytes_loaded"));
    EXPECT_EQ(16, number(file, "download_state"));
  }
  EXPECT_EQ(0, driver.quit());

  for (int i = 0; i < 3; ++i) {
    std::string name = md5("download_#anonymous#_" + std::to_string(entities[i]) + "_" + std::to_string(format));
    std::string content = TestFolder::read(home + "/Music/Velora/" + name);
    std::vector<uint8_t> expected = TestHttpServer::content(unsigned(i + 1), 0, size);
    ASSERT_EQ(size, content.size()) << entities[i];
    EXPECT_EQ(0, std::memcmp(content.data(), expected.data(), size)) << entities[i];
  }
}

TEST_F(CoreDriverTest, LocalStorageLastsAcrossRunsSessionStorageDoesNot) {
  TestFolder folder;
  const std::string home = folder.folder("home");
  {
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    ASSERT_TRUE(driver.waitUntilStarted());
    driver.call("storageSetItem", args({"localStorage", "greeting", "h\xc3\xa9llo"}));
    driver.call("storageSetItem", args({"sessionStorage", "token", "t"}));
    EXPECT_EQ("t", driver.call("storageGetItem", args({"sessionStorage", "token"})).stringValue());
    EXPECT_EQ(0, driver.quit());
  }
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  EXPECT_EQ("h\xc3\xa9llo", driver.call("storageGetItem", args({"localStorage", "greeting"})).stringValue());
  EXPECT_TRUE(driver.call("storageGetItem", args({"sessionStorage", "token"})).isNull());
  EXPECT_EQ(1, driver.call("storageLength", args({"localStorage"})).int64Value());
  std::string error;
  driver.call("storageGetItem", args({"localStorage"}), &error);
  EXPECT_NE(std::string::npos, error.find("missing argument 2")) << "bad calls are answered, not fatal";
  EXPECT_EQ(0, driver.quit());
}

// Every line the driver printed is a JSON object.
void expectOnlyJsonLines(CoreDriverProcess& driver) {
  for (const JKValue& line : driver.lines())
    EXPECT_TRUE(line.isDictionary()) << "not a JSON object: " << (line.isString() ? line.stringValue() : "");
}

// A track on nginx for the playback sessions below: one second of a noisy
// tone as MP3, so that every sample differs, with its reference decode.
struct ServedTrack {
  explicit ServedTrack(TestFolder& folder)
      : fixture(vetest::mp3("driver-track", 1.0, 44100, 2, "-b 128")), reference(fixture.reference) {
    const std::string media = folder.folder("media");
    made = run("cp " + fixture.file + " " + media + "/track.mp3");
    server.reset(new TestNginxServer(media));
  }
  bool ready() const { return made && server->isRunning(); }
  std::string url(int entity) const { return server->url("/track.mp3?_TEID=" + std::to_string(entity) + "&_FMT=5"); }

  vetest::Fixture fixture;
  std::string reference;
  bool made = false;
  std::unique_ptr<TestNginxServer> server;
};

TEST_F(CoreDriverTest, SkippingThroughTracksAsFastAsThePageCanNeverCrashes) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), ""));
  ASSERT_TRUE(driver.waitUntilStarted());

  // Sounds are made, played and deleted while their streams open, read and
  // close on the engine's threads; ids restart at 1 once the table is empty.
  const int rounds = 3000;
  for (int batch = 0; batch < rounds / 500; ++batch) {
    std::vector<std::pair<std::string, JKValue>> calls;
    for (int i = 0; i < 500; ++i) {
      calls.push_back({"createSound", args({track.url(900 + i % 4)})});
      calls.push_back({"createSound", args({track.url(910 + i % 3)})});
      calls.push_back({"play", args({1})});
      calls.push_back({"play", args({2, true, 1})});
      calls.push_back({"deleteSound", args({i % 2 ? 2 : 1})});
      calls.push_back({"deleteSound", args({i % 2 ? 1 : 2})});
    }
    calls.push_back({"sleep", args({20})});
    std::vector<JKValue> answers = driver.callAll(calls);
    for (size_t i = 0; i + 1 < answers.size(); i += 6) {
      ASSERT_EQ(1, number(answers[i], "result")) << "round " << batch * 500 + int(i / 6);
      ASSERT_EQ(2, number(answers[i + 1], "result"));
      ASSERT_TRUE(field(answers[i + 5], "result") && field(answers[i + 5], "result")->boolValue());
    }
  }
  EXPECT_EQ(0, driver.quit());
  expectOnlyJsonLines(driver);
}

// A thousand sounds made and deleted while their opens are served: the opens
// are abandoned and their files closed, the next track starts and plays (how
// soon: 0.3-0.6 s here, 5.5 s when the opens of deleted sounds were served).
TEST_F(CoreDriverTest, SoundsDeletedWhileOpeningDoNotHoldUpTheNextTrack) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  vetest::Fixture big = vetest::mp3("driver-long-track", 90.0, 44100, 2, "-b 128");
  ASSERT_EQ(0, system(("cp " + big.file + " " + folder.file("media") + "/long.mp3").c_str()));
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  std::vector<std::pair<std::string, JKValue>> calls;
  const int sounds = 1000;
  for (int i = 0; i < sounds; ++i) {
    std::string url = track.server->url("/long.mp3?_TEID=" + std::to_string(5000 + i) + "&_FMT=5");
    calls.push_back({"createSound", args({url})});
  }
  calls.push_back({"sleep", args({500})});
  for (int i = 1; i <= sounds; ++i) calls.push_back({"deleteSound", args({i})});
  driver.callAll(calls);
  int sound = int(driver.call("createSound", args({track.url(42)})).int64Value());
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  bool playing = false;
  for (int i = 0; i < 600 && !playing; ++i) {
    driver.call("sleep", args({50}));
    playing = driver.call("getPosition", args({sound})).int64Value() > 0;
  }
  EXPECT_TRUE(playing);
  EXPECT_EQ(0, driver.quit());
}

// Hundreds of sounds hold hundreds of files open: started with a low soft
// limit on open files, the client raises it, and the page is not told that
// the cache cannot be written.
TEST_F(CoreDriverTest, HundredsOfOpenSoundsDoNotRunOutOfFiles) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  rlimit saved = {};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  if (saved.rlim_max < 4096) GTEST_SKIP() << "the hard limit on open files is too low here";
  rlimit low = {256, saved.rlim_max};
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), ""));
  setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(driver.waitUntilStarted());
  std::vector<std::pair<std::string, JKValue>> calls;
  for (int i = 0; i < 400; ++i) calls.push_back({"createSound", args({track.url(7000 + i)})});
  calls.push_back({"sleep", args({3000})});
  driver.callAll(calls);
  EXPECT_EQ(0, shownErrors(driver, "CACHE_UNWRITABLE"));
  EXPECT_EQ(0, driver.quit());
}

// A driver session playing into the non-real-time WAV writer, which mixes only
// on the core's passes: what it writes is exactly what was played.
struct WavSession {
  WavSession(TestFolder& folder, const ServedTrack& served)
      : wav(folder.file("out.wav")),
        driver(kTool, driverArguments(folder.folder("home"), "", {"--wav", wav, "--output", "6:0"})),
        track(served) {}

  // Plays a new sound until its position reaches `milliseconds`, then
  // pauses it; its id, or 0.
  int playThenPause(int entity, unsigned milliseconds) {
    int sound = int(driver.call("createSound", args({track.url(entity)})).int64Value());
    if (sound <= 0 || !driver.call("play", args({sound})).boolValue()) return 0;
    for (int i = 0; i < 2000 && position(sound) < milliseconds; ++i) driver.call("sleep", args({5}));
    driver.call("pause", args({sound}));
    for (int i = 0; i < 2000 && !driver.call("getPaused", args({sound})).boolValue(); ++i)
      driver.call("sleep", args({5}));
    return sound;
  }

  // Asks for an output device and lets the core apply it.
  void chooseOutput(const std::string& id) {
    driver.call("setSetting", args({"device_output", id}));
    driver.call("sleep", args({100}));
  }

  unsigned position(int sound) { return unsigned(driver.call("getPosition", args({sound})).int64Value()); }

  std::string wav;
  CoreDriverProcess driver;
  const ServedTrack& track;
};

// With less than the 300 MB reserve free, the cache still takes what fits
// (it used to refuse every track), and a track that cannot fit fails to the
// page with CACHE_VOLUME_FULL, once however often it is retried.
TEST_F(CoreDriverTest, ACacheOnANearlyFullVolumeTakesWhatFitsAndTellsThePageWhatCannot) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  if (!run("unshare -rm true 2>/dev/null")) GTEST_SKIP() << "no user and mount namespaces on this machine";
  // 24 MB with 18 MB taken: about 6 MB free, under the cache's 10 MB limit.
  std::unique_ptr<CoreDriverProcess> process = driverOnSmallVolume(folder.folder("volume"), "24m", 18000000, "");
  CoreDriverProcess& driver = *process;
  ASSERT_TRUE(driver.waitUntilStarted());

  int sound = int(driver.call("createSound", args({track.url(931)})).int64Value());
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  bool played = false;
  for (int i = 0; i < 400 && !played; ++i) {
    played = driver.call("getPlaying", args({sound})).boolValue();
    if (!played) driver.call("sleep", args({25}));
  }
  EXPECT_TRUE(played) << "state " << driver.call("getState", args({sound})).int64Value();

  // 8 MB: under the limit, more than the volume has free.
  int big =
      int(driver.call("createSound", args({server.url("/size=8000000/seed=6/big.mp3?_TEID=932&_FMT=5")})).int64Value());
  ASSERT_GT(big, 0);
  for (int i = 0; i < 400 && server.getRequests().size() < 2; ++i) driver.call("sleep", args({25}));
  ASSERT_GE(server.getRequests().size(), 2u) << "the track was tried again";
  EXPECT_EQ(1, shownErrors(driver, "CACHE_VOLUME_FULL"));
  EXPECT_EQ(0, driver.quit());
}

// With more than the 300 MB reserve free, but less than the reserve and the
// file together, a download is taken, not refused for ever as a full volume.
TEST_F(CoreDriverTest, ADownloadJustOverTheReserveIsTaken) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  std::string urls = writeUrlMap(folder, 951, {server.url("/size=8000000/seed=7/download")});
  if (!run("unshare -rm true 2>/dev/null")) GTEST_SKIP() << "no user and mount namespaces on this machine";
  // 304 MB: after the home's own files a little over 303 MB are free.
  std::unique_ptr<CoreDriverProcess> process = driverOnSmallVolume(folder.folder("volume"), "304000000", 0, urls);
  CoreDriverProcess& driver = *process;
  ASSERT_TRUE(driver.waitUntilStarted());
  EXPECT_TRUE(downloadAll(driver, 951, 1, 30000));
  EXPECT_EQ(0, shownErrors(driver, "DOWNLOAD_VOLUME_FULL"));
  EXPECT_EQ(0, driver.quit());
}

// The content file of a download in the music folder.
std::string downloadPath(const std::string& home, int entity) {
  return home + "/Music/Velora/" + md5("download_#anonymous#_" + std::to_string(entity) + "_5");
}

// The repository's record of an entity (format 5); null when it lists none.
JKValue fileRecord(CoreDriverProcess& driver, const char* repository, int entity) {
  JKValue answer = driver.callAndWaitForCallback("getFiles", args({strings({repository}), 0, 0}));
  const JKValue* list = field(answer, "files");
  if (list && list->isArray())
    for (const JKValue& file : *list->array())
      if (number(file, "entity_id") == entity) return file;
  return JKValue();
}

// A field of the repository's record of an entity (format 5); -999 when the
// repository lists no such record.
int64_t fileField(CoreDriverProcess& driver, const char* repository, int entity, const char* key) {
  JKValue file = fileRecord(driver, repository, entity);
  return file.isNull() ? -999 : number(file, key);
}

// Polls a field until it has the value; false when it never does.
bool waitForField(CoreDriverProcess& driver, const char* repository, int entity, const char* key, int64_t value) {
  for (int i = 0; i < 400; ++i) {
    if (fileField(driver, repository, entity, key) == value) return true;
    driver.call("sleep", args({25}));
  }
  return false;
}

// clearCache deletes the closed cache files at the worker's next pass and
// keeps the one a sound still reads.
TEST_F(CoreDriverTest, ClearingTheCacheKeepsOnlyTheFileInUse) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  int closed = int(driver.call("createSound", args({track.url(941)})).int64Value());
  int open = int(driver.call("createSound", args({track.url(942)})).int64Value());
  ASSERT_GT(closed, 0);
  ASSERT_GT(open, 0);
  ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 2, 0, 2, 20000})).boolValue());
  driver.call("deleteSound", args({closed}));
  ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 4, 0, 1, 20000})).boolValue())
      << "one file is still open";

  driver.call("clearCache", args({}));
  EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 0, 0, 1, 20000})).boolValue());
  EXPECT_EQ(-999, fileField(driver, "cache", 941, "bytes_total"));
  EXPECT_TRUE(waitForField(driver, "cache", 942, "bytes_loaded", fileField(driver, "cache", 942, "bytes_total")));
  const std::string cache = home + "/cache/velora-desktop/cache/";
  EXPECT_FALSE(TestFolder::exists(cache + md5("cache_#anonymous#_941_5")));
  EXPECT_TRUE(TestFolder::exists(cache + md5("cache_#anonymous#_942_5")));
  EXPECT_EQ(0, driver.quit());
}

// A track larger than the anonymous session's 10 MB cache plays and is
// fetched whole, and leaves the cache once its sound is deleted; the page
// hears of no full volume, since the volume has room. So does the same track
// from a server that sends it without a length.
TEST_F(CoreDriverTest, ATrackLargerThanTheCacheLimitPlaysAndLeavesTheCacheAfterwards) {
  TestFolder folder;
  const std::string media = folder.folder("media");
  // White noise hardly compresses: 140 s of it make a FLAC file of about 13 MB.
  ASSERT_TRUE(run("sox -q -R -n -r 44100 -c 2 -b 16 '" + media + "/big.flac' synth 140 whitenoise 2>/dev/null"));
  const size_t size = TestFolder::sizeOf(media + "/big.flac");
  ASSERT_GT(size, 11000000u);
  TestNginxServer server(media);
  ASSERT_TRUE(server.isRunning());
  setenv("VELORA_TESTSERVER_ROOT", media.c_str(), 1);
  TestHttpServer withoutLength;
  ASSERT_TRUE(withoutLength.isRunning());
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());

  const std::pair<int, std::string> tracks[] = {
      {961, server.url("/big.flac?_TEID=961&_FMT=5")},
      {962, withoutLength.url("/file=big.flac/nolength=1/big.flac?_TEID=962&_FMT=5")}};
  for (const auto& track : tracks) {
    int sound = int(driver.call("createSound", args({track.second})).int64Value());
    ASSERT_GT(sound, 0);
    ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
    bool played = false;
    for (int i = 0; i < 800 && !played; ++i) {
      played = driver.call("getPlaying", args({sound})).boolValue() &&
               driver.call("getPosition", args({sound})).int64Value() > 0;
      if (!played) driver.call("sleep", args({25}));
    }
    EXPECT_TRUE(played) << track.first << ", state " << driver.call("getState", args({sound})).int64Value();
    // Loaded ranges in milliseconds: one, from the start to the length.
    auto fetchedWhole = [&] {
      const int64_t length = driver.call("getLength", args({sound})).int64Value();
      const JKValue ranges = driver.call("getRanges", args({sound}));
      return length > 0 && ranges.isArray() && ranges.array()->count() == 2 &&
             ranges.array()->objectAtIndex(1).doubleValue() + 1 >= double(length);
    };
    for (int i = 0; i < 800 && !fetchedWhole(); ++i) driver.call("sleep", args({25}));
    EXPECT_TRUE(fetchedWhole()) << track.first;
    EXPECT_EQ(0, shownErrors(driver, "CACHE_VOLUME_FULL")) << track.first;

    const std::string path =
        home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_" + std::to_string(track.first) + "_5");
    EXPECT_TRUE(TestFolder::exists(path)) << track.first;
    driver.call("deleteSound", args({sound}));
    for (int i = 0; i < 400 && TestFolder::exists(path); ++i) driver.call("sleep", args({25}));
    EXPECT_FALSE(TestFolder::exists(path)) << track.first << ": its file is gone";
  }
  EXPECT_EQ(0, driver.quit());
}

// A size claim alone takes nothing: a track whose server claims 300 MB for
// its 0.5 MB evicts none of the twelve tracks of normal size in the 10 MB
// cache, takes no more of the volume than the bytes that came, and plays them.
TEST_F(CoreDriverTest, ASizeClaimLargerThanTheCacheEvictsNothingAndTakesNoRoom) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const vetest::Fixture claimed = vetest::mp3("driver-claimed-track", 30.0, 44100, 2, "-b 128");
  const std::string media = folder.folder("media");
  ASSERT_TRUE(run("cp " + claimed.file + " " + media + "/claimed.mp3"));
  setenv("VELORA_TESTSERVER_ROOT", media.c_str(), 1);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  for (int entity = 1401; entity <= 1412; ++entity) {
    const int sound = int(driver.call("createSound", args({track.url(entity)})).int64Value());
    ASSERT_GT(sound, 0);
    ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 2, 0, entity - 1400, 20000})).boolValue());
    driver.call("deleteSound", args({sound}));
  }

  const int sound = int(
      driver.call("createSound", args({server.url("/file=claimed.mp3/claimsize=300000000/t.mp3?_TEID=1420&_FMT=5")}))
          .int64Value());
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  bool heard = false;
  for (int i = 0; i < 800 && !heard; ++i) {
    heard = driver.call("getPosition", args({sound})).int64Value() > 0;
    if (!heard) driver.call("sleep", args({25}));
  }
  EXPECT_TRUE(heard) << "state " << driver.call("getState", args({sound})).int64Value();
  EXPECT_EQ(300000000, fileField(driver, "cache", 1420, "bytes_total"));
  JKValue cached = driver.callAndWaitForCallback("getFileCount", args({strings({"cache"}), 2, 0}));
  EXPECT_EQ(12, number(cached, "count")) << "the tracks of normal size stay cached";
  struct stat status;
  ASSERT_EQ(0, stat((home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_1420_5")).c_str(), &status));
  EXPECT_LT(double(status.st_blocks) * 512, 10e6) << "the claim took the volume";
  EXPECT_EQ(0, shownErrors(driver, "CACHE_VOLUME_FULL"));
  driver.call("deleteSound", args({sound}));
  EXPECT_EQ(0, driver.quit());
}

// Whether the driver told the page of progress on the entity's file, with
// some but not all of its bytes stored.
bool partlyLoaded(const JKValue& line, int entity) {
  const JKValue* event = field(line, "event");
  const JKValue* files = field(line, "files");
  if (!event || event->stringValue() != "onFileProgressesChanged" || !files || !files->isArray()) return false;
  for (const JKValue& file : *files->array())
    if (number(file, "entity_id") == entity && number(file, "bytes_loaded") > 0 &&
        number(file, "bytes_loaded") < number(file, "bytes_total"))
      return true;
  return false;
}

// Another program cutting a file short under the client (a tag editor or a
// sync tool in the music folder, a cleaner in the cache) ends neither the
// client nor the track: a download cut while it arrives is fetched again and
// ends byte-exact, and a track cut while it plays is fetched again or fails.
TEST_F(CoreDriverTest, FilesCutShortByAnotherProgramAreFetchedAgain) {
  TestFolder folder;
  const vetest::Fixture track = vetest::flac("e2e-cut-short", 20.0, 44100, 2, 480);
  setenv("VELORA_TESTSERVER_ROOT", vetest::scratchDir().c_str(), 1);
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const size_t size = 2000000;
  std::string urls = writeUrlMap(folder, 971, {server.url("/size=2000000/seed=9/throttle=400000/download")});
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, urls));
  ASSERT_TRUE(driver.waitUntilStarted());

  driver.call("addFile", args({"download", "971", 5, "{}"}));
  ASSERT_TRUE(driver.waitForLine([](const JKValue& line) { return partlyLoaded(line, 971); }));
  const std::string download = home + "/Music/Velora/" + md5("download_#anonymous#_971_5");
  ASSERT_EQ(0, truncate(download.c_str(), 0));
  EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 60000})).boolValue());
  std::string content = TestFolder::read(download);
  std::vector<uint8_t> expected = TestHttpServer::content(9, 0, size);
  ASSERT_EQ(size, content.size());
  EXPECT_EQ(0, std::memcmp(content.data(), expected.data(), size));

  const std::string name = track.file.substr(track.file.rfind('/') + 1);
  int sound =
      int(driver.call("createSound", args({server.url("/file=" + name + "/throttle=150000/t?_TEID=972&_FMT=5")}))
              .int64Value());
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(driver.call("play", args({sound})).boolValue());
  ASSERT_TRUE(driver.waitForLine([](const JKValue& line) { return partlyLoaded(line, 972); }));
  const std::string cached = home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_972_5");
  ASSERT_EQ(0, truncate(cached.c_str(), 0));
  std::string seen;
  auto settled = [&] {
    const int64_t length = driver.call("getLength", args({sound})).int64Value();
    const JKValue ranges = driver.call("getRanges", args({sound}));
    const int64_t state = driver.call("getState", args({sound})).int64Value();
    const bool whole = length > 0 && ranges.isArray() && ranges.array()->count() == 2 &&
                       ranges.array()->objectAtIndex(1).doubleValue() + 1 >= double(length);
    seen = "state " + std::to_string(state) + ", length " + std::to_string(length) + ", ranges";
    for (size_t i = 0; ranges.isArray() && i < ranges.array()->count(); ++i)
      seen += " " + std::to_string(ranges.array()->objectAtIndex(i).doubleValue());
    return whole || state == 2;
  };
  bool done = false;
  for (int i = 0; i < 1200 && !(done = settled()); ++i) driver.call("sleep", args({25}));
  EXPECT_TRUE(done) << "the track neither came whole again nor failed: " << seen;
  EXPECT_EQ(0, driver.quit()) << "the client died";
}

// Another program replacing a download's file by a folder while it arrives:
// the bytes written since went to a file the folder took the place of, so the
// download fails instead of being counted done with its full size; a download
// beside it completes.
TEST_F(CoreDriverTest, ADownloadWhoseFileIsReplacedByAFolderFailsInsteadOfEndingDone) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string urls = writeUrlMap(
      folder, 981, {server.url("/size=600000/seed=1/throttle=150000/replaced"), server.url("/size=60000/seed=2/kept")});
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  driver.call("addFile", args({"download", "981", 5, "{}"}));
  ASSERT_TRUE(driver.waitForLine([](const JKValue& line) { return partlyLoaded(line, 981); }));
  const std::string download = downloadPath(home, 981);
  ASSERT_TRUE(run("rm '" + download + "' && mkdir '" + download + "'"));
  driver.call("addFile", args({"download", "982", 5, "{}"}));

  int64_t state = 0;
  for (int i = 0; i < 1200 && state != 8 && state != 16; ++i) {
    driver.call("sleep", args({25}));
    state = fileField(driver, "download", 981, "download_state");
  }
  EXPECT_EQ(8, state) << "failed, not done";
  EXPECT_EQ(0, fileField(driver, "download", 981, "bytes_loaded"));
  EXPECT_TRUE(waitForField(driver, "download", 982, "download_state", 16));
  EXPECT_EQ(60000, fileField(driver, "download", 982, "bytes_loaded"));
  EXPECT_EQ(0, driver.quit());
}

// Pause, resume, position and hide act on the file of the repository they
// name, not on the same track in the other download repository.
TEST_F(CoreDriverTest, SingleDownloadCallsActOnTheNamedRepository) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  std::string urls = writeUrlMap(folder, 951, {server.url("/size=2000000/seed=7/throttle=100000/a")});
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  driver.call("setSetting", args({"max_concurrent_downloads", "1"}));
  driver.call("addFile", args({"download", "951", 5, "{}"}));
  driver.call("addFile", args({"import", "951", 5, "{}"}));
  ASSERT_TRUE(waitForField(driver, "download", 951, "download_state", 4)) << "running";
  ASSERT_TRUE(waitForField(driver, "import", 951, "download_state", 2)) << "queued";

  const struct {
    const char* call;
    const char* repository;  // the one named; the other's file never takes the value
    const char* key;
    int64_t value;
  } steps[] = {
      {"pauseDownload", "import", "download_state", 1},  {"resumeDownload", "import", "download_state", 2},
      {"setDownloadPosition", "import", "position", 7},  {"pauseDownload", "download", "download_state", 1},
      {"hideDownload", "download", "download_state", 0},
  };
  for (const auto& step : steps) {
    const char* other = std::string(step.repository) == "import" ? "download" : "import";
    if (std::string(step.call) == "setDownloadPosition")
      driver.call(step.call, args({step.repository, "951", 5, int(step.value)}));
    else
      driver.call(step.call, args({step.repository, "951", 5}));
    EXPECT_TRUE(waitForField(driver, step.repository, 951, step.key, step.value))
        << step.call << " " << step.repository;
    EXPECT_NE(step.value, fileField(driver, other, 951, step.key)) << step.call << " " << step.repository;
  }
  EXPECT_EQ(0, driver.quit());
}

// The data the page gave with a stream's URL reaches it once.
TEST_F(CoreDriverTest, PendingDataIsGivenOnceThenEmpty) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls = folder.file("urls.json");
  ASSERT_TRUE(TestFolder::write(urls, "{\"961_5\":{\"url\":\"" + track.url(961) + "\",\"data\":\"opaque-961\"}}"));
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  // No address of its own: the core asks the page for it.
  int sound = int(driver.call("createSound", args({"#?_TEID=961&_FMT=5"})).int64Value());
  ASSERT_GT(sound, 0);
  std::string data;
  for (int i = 0; i < 400 && data.empty(); ++i) {
    data = driver.call("getPendingData", args({sound})).stringValue();
    if (data.empty()) driver.call("sleep", args({25}));
  }
  EXPECT_EQ("opaque-961", data) << "state " << driver.call("getState", args({sound})).int64Value();
  EXPECT_EQ("", driver.call("getPendingData", args({sound})).stringValue());
  EXPECT_EQ(0, driver.quit());
}

TEST_F(CoreDriverTest, ChoosingTheOutputInUseChangesNothing) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  WavSession session(folder, track);
  ASSERT_TRUE(session.driver.waitUntilStarted());
  const std::string current = session.driver.call("getSetting", args({"device_output"})).stringValue();
  ASSERT_EQ(0u, current.find("6:")) << current;

  const int sound = session.playThenPause(920, 300);
  ASSERT_GT(sound, 0);
  const unsigned paused = session.position(sound);
  // The writer's header is complete only once it is closed: the data is
  // what follows it.
  const std::vector<uint8_t> before = vetest::readFile(session.wav);
  ASSERT_GE(before.size(), size_t(44 + 44100 * 4 * 3 / 10));
  // The short and the full form of the id in use: no restart, so the WAV
  // writer's file goes on instead of starting again.
  for (const std::string& id : {std::string("6:0"), current}) {
    session.chooseOutput(id);
    EXPECT_EQ(current, session.driver.call("getSetting", args({"device_output"})).stringValue());
    const std::vector<uint8_t> after = vetest::readFile(session.wav);
    ASSERT_GE(after.size(), before.size()) << id;
    EXPECT_TRUE(std::equal(before.begin() + 44, before.end(), after.begin() + 44)) << id;
    EXPECT_EQ(paused, session.position(sound)) << id;
  }
  EXPECT_EQ(0, session.driver.quit());
}

// The 16-bit stereo samples a WAV writer has written so far (its header is
// complete only once it is closed).
std::vector<int16_t> writtenSamples(const std::string& wav) {
  const std::vector<uint8_t> bytes = vetest::readFile(wav);
  std::vector<int16_t> samples(bytes.size() > 44 ? (bytes.size() - 44) / 4 * 2 : 0);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
  return samples;
}

// Waits until the WAV writer has closed its file, whose header then counts
// every byte after it: a switch of device ends the engine it leaves only once
// the new one has taken the sounds over, which a slow machine may not have
// done yet when the switch's setting returns.
bool waitUntilWavClosed(const std::string& wav) {
  for (int i = 0; i < 2000; ++i) {
    const std::vector<uint8_t> bytes = vetest::readFile(wav);
    if (bytes.size() > 44) {
      const uint32_t data = bytes[40] | bytes[41] << 8 | bytes[42] << 16 | uint32_t(bytes[43]) << 24;
      if (data == bytes.size() - 44) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Where in the reference the played samples end: the index after their last
// 512 samples (unique in a noisy tone); 0 when they are not found.
size_t endInReference(const std::vector<int16_t>& played, const std::vector<int16_t>& reference) {
  const size_t n = 512;
  if (played.size() < n) return 0;
  auto found = std::search(reference.begin(), reference.end(), played.end() - long(n), played.end());
  return found == reference.end() ? 0 : size_t(found - reference.begin()) + n;
}

TEST_F(CoreDriverTest, APausedSoundStaysOnItsSampleThroughDeviceSwitches) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  WavSession session(folder, track);
  ASSERT_TRUE(session.driver.waitUntilStarted());
  const int sound = session.playThenPause(921, 400);
  ASSERT_GT(sound, 0);
  const unsigned paused = session.position(sound);
  const std::vector<int16_t> reference = vetest::stereo(vetest::readWav(track.reference));
  size_t pausedAt = 0;
  for (int i = 0; i < 20; ++i) {
    session.chooseOutput(i % 2 ? "6:0" : "5:0");
    EXPECT_EQ(paused, session.position(sound)) << "after switch " << i + 1;
    // Closed by the first switch, the WAV writer's file holds everything
    // played up to the pause.
    if (i == 0) {
      ASSERT_TRUE(waitUntilWavClosed(session.wav));
      pausedAt = endInReference(writtenSamples(session.wav), reference);
    }
  }
  ASSERT_GT(pausedAt, 0u);
  // Back on the WAV writer, whose file started again: from here it holds
  // the rest of the track from the very frame the sound was paused on.
  ASSERT_TRUE(session.driver.call("play", args({sound})).boolValue());
  for (int i = 0; i < 4000 && session.driver.call("getPlaying", args({sound})).boolValue(); ++i)
    session.driver.call("sleep", args({5}));
  EXPECT_EQ(0, session.driver.quit());
  const std::vector<int16_t> played = writtenSamples(session.wav);
  EXPECT_EQ(reference.size() - pausedAt, played.size());
  EXPECT_EQ(reference.size(), endInReference(played, reference));
}

TEST_F(CoreDriverTest, TheVolumeReadBackIsTheVolumeApplied) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  const int sound = int(driver.call("createSound", args({track.url(930)})).int64Value());
  ASSERT_GT(sound, 0);
  // 1e300 is infinity once it is a float.
  const std::pair<double, double> cases[] = {{2.5, 1}, {-3, 0}, {1e300, 1}, {0.25, 0.25}, {-1e300, 0}};
  for (const auto& c : cases) {
    driver.call("setVolume", args({sound, c.first}));
    const JKValue volume = driver.call("getVolume", args({sound}));
    ASSERT_TRUE(volume.isNumber()) << c.first;
    EXPECT_EQ(c.second, volume.doubleValue()) << c.first;
  }
  EXPECT_EQ(0, driver.quit());
  expectOnlyJsonLines(driver);
}

TEST_F(CoreDriverTest, StreamUrlsWithAtSignsOutsideTheParametersPlay) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  CoreDriverProcess driver(kTool, driverArguments(folder.folder("home"), ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  const std::string server = track.server->url("");
  const std::string urls[] = {
      "http://me@" + server.substr(std::strlen("http://")) + "/track.mp3?_TEID=802&_FMT=5",
      server + "/track.mp3?from=x@y&_TEID=803&_FMT=5",
      server + "/track.mp3?xfmt=9&_TEID=804&fmt=5",
  };
  for (const std::string& url : urls) {
    const int sound = int(driver.call("createSound", args({url})).int64Value());
    ASSERT_GT(sound, 0) << url;
    driver.call("play", args({sound}));
    for (int i = 0; i < 2000 && !driver.call("getPlaying", args({sound})).boolValue(); ++i)
      driver.call("sleep", args({5}));
    EXPECT_TRUE(driver.call("getPlaying", args({sound})).boolValue())
        << url << " state " << driver.call("getState", args({sound})).int64Value();
    driver.call("deleteSound", args({sound}));
  }
  EXPECT_EQ(0, driver.quit());
}

TEST_F(CoreDriverTest, StoredRowsTheLimitsRefuseAreGoneAtTheNextStart) {
  TestFolder folder;
  const std::string home = folder.folder("home");
  {
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    ASSERT_TRUE(driver.waitUntilStarted());
    driver.call("storageSetItem", args({"localStorage", "kept", "v"}));
    EXPECT_EQ(0, driver.quit());
  }
  // Left by an earlier version: keys and values over the limits in bytes
  // but not in characters (two bytes each), and one at the limit.
  std::string twoByte;
  for (int i = 0; i < 151; ++i) twoByte += "\xc3\xa9";
  {
    TestDatabase database(home + "/data/velora-desktop/storage/localStorage.db");
    ASSERT_TRUE(
        database.exec("INSERT INTO storage VALUES ('" + twoByte +
                      "', 'v');"
                      "INSERT INTO storage VALUES ('" +
                      twoByte.substr(2) +
                      "', 'v');"
                      "INSERT INTO storage VALUES ('settings', replace(hex(zeroblob(500001)), '00', '\xc3\xa9'));"
                      "INSERT INTO storage VALUES ('big', replace(hex(zeroblob(1572865)), '00', '\xc3\xa9'));"
                      "INSERT INTO storage VALUES ('other', '{\"0\":1}');"));
  }
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  // What is counted and listed can be read and removed.
  EXPECT_EQ(3, driver.call("storageLength", args({"localStorage"})).int64Value());
  for (int index = 0; index < 3; ++index) {
    const std::string key = driver.call("storageKey", args({"localStorage", index})).stringValue();
    EXPECT_TRUE(driver.call("storageGetItem", args({"localStorage", key})).isString()) << key;
  }
  driver.call("storageRemoveItem", args({"localStorage", twoByte.substr(2)}));
  EXPECT_EQ(2, driver.call("storageLength", args({"localStorage"})).int64Value());
  EXPECT_EQ(0, driver.quit());
}

// Each web store holds at most 10 MB, as browsers allow one origin, and gives
// the room of removed rows back to the volume, also the file of an older
// version that holds more, whose rows all stay.
TEST_F(CoreDriverTest, WebStoresAreBoundedAndGiveRoomBack) {
  TestFolder folder;
  const std::string home = folder.folder("home");
  const std::string file = home + "/data/velora-desktop/storage/localStorage.db";
  ASSERT_TRUE(run("mkdir -p '" + home + "/data/velora-desktop/storage'"));
  {
    // Eight values of 3 MB, four of them removed again: the file keeps 25 MB.
    TestDatabase older(file);
    ASSERT_TRUE(
        older.exec("CREATE TABLE storage (key VARCHAR NOT NULL, value VARCHAR NOT NULL, PRIMARY KEY (key));"
                   "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 7) "
                   "INSERT INTO storage SELECT 'old' || i, hex(zeroblob(1572864)) FROM n;"
                   "DELETE FROM storage WHERE key >= 'old4';"));
  }
  ASSERT_GT(TestFolder::sizeOf(file), 25000000u);
  const std::string big(3145728, 'v');
  auto setItem = [](CoreDriverProcess& driver, const char* store, const std::string& key, const std::string& value) {
    const JKValue stored = driver.call("storageSetItem", args({store, key, value}));
    return stored.isBool() && stored.boolValue();
  };
  {
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    ASSERT_TRUE(driver.waitUntilStarted());
    EXPECT_EQ(4, driver.call("storageLength", args({"localStorage"})).int64Value());
    EXPECT_EQ(std::string(3145728, '0'), driver.call("storageGetItem", args({"localStorage", "old3"})).stringValue());
    EXPECT_LT(TestFolder::sizeOf(file), 13000000u) << "the removed rows' room is given back at the start";

    EXPECT_FALSE(setItem(driver, "localStorage", "new", "x")) << "12 MB held: no write may add to them";
    EXPECT_NE(std::string::npos, TestFolder::read(home + "/state/velora-desktop/desktop.log")
                                     .find("Storage is full : localStorage holds 12582928 bytes"));
    EXPECT_TRUE(setItem(driver, "localStorage", "old0", "small")) << "a write that frees room is taken";
    EXPECT_LT(TestFolder::sizeOf(file), 10000000u);
    EXPECT_TRUE(setItem(driver, "localStorage", "new", "x"));
    driver.call("storageRemoveItem", args({"localStorage", "old1"}));
    driver.call("storageRemoveItem", args({"localStorage", "old2"}));
    EXPECT_LT(TestFolder::sizeOf(file), 4000000u);

    // 3 MB held: room for two more values of 3 MB, not three.
    EXPECT_TRUE(setItem(driver, "localStorage", "fill0", big));
    EXPECT_TRUE(setItem(driver, "localStorage", "fill1", big));
    EXPECT_FALSE(setItem(driver, "localStorage", "fill2", big));
    EXPECT_TRUE(setItem(driver, "localStorage", "fill1", big)) << "a replaced value counts once";
    EXPECT_TRUE(driver.call("storageGetItem", args({"localStorage", "fill2"})).isNull());
    driver.call("storageClear", args({"localStorage"}));
    EXPECT_LT(TestFolder::sizeOf(file), 100000u);

    int stored = 0;
    for (int i = 0; i < 5; ++i) stored += setItem(driver, "sessionStorage", std::to_string(i), big) ? 1 : 0;
    EXPECT_EQ(3, stored) << "the session store has the same bound";
    EXPECT_EQ(0, driver.quit());
  }
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  EXPECT_EQ(0, driver.call("storageLength", args({"localStorage"})).int64Value());
  EXPECT_TRUE(setItem(driver, "localStorage", "after", big));
  EXPECT_EQ(0, driver.quit());
  EXPECT_LT(TestFolder::sizeOf(home + "/data/velora-desktop/storage/sessionStorage.db"), 100000u)
      << "emptied at the quit and given back";
}

// Whether an answer line of callAll carries the result true.
bool answeredTrue(const JKValue& line) {
  const JKValue* result = field(line, "result");
  return result && result->isBool() && result->boolValue();
}

TEST_F(CoreDriverTest, OtherProcessesOnTheStoresNeitherFailNorEraseThePagesWrites) {
  TestFolder folder;
  const std::string home = folder.folder("home");
  CoreDriverProcess first(kTool, driverArguments(home, ""));
  ASSERT_TRUE(first.waitUntilStarted());
  ASSERT_TRUE(first.call("storageSetItem", args({"sessionStorage", "token", "t"})).boolValue());

  // Another program reads the local store for a second: the page's writes wait for it.
  {
    TestDatabase reader(home + "/data/velora-desktop/storage/localStorage.db");
    ASSERT_TRUE(reader.exec("BEGIN; SELECT COUNT(*) FROM storage;"));
    std::thread release([&reader] {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      reader.exec("COMMIT;");
    });
    std::vector<std::pair<std::string, JKValue>> writes;
    for (int i = 0; i < 10; ++i)
      writes.push_back({"storageSetItem", args({"localStorage", "read" + std::to_string(i), "v"})});
    const std::vector<JKValue> answers = first.callAll(writes);
    release.join();
    for (const JKValue& answer : answers)
      EXPECT_TRUE(answeredTrue(answer)) << "a write failed while another program read";
  }

  // Another program writes the local store at the same time as the page.
  std::vector<std::pair<std::string, JKValue>> writes;
  for (int i = 0; i < 150; ++i)
    writes.push_back({"storageSetItem", args({"localStorage", "page" + std::to_string(i), "v"})});
  int otherWrites = 0;
  std::thread other([&] {
    TestDatabase writer(home + "/data/velora-desktop/storage/localStorage.db");
    writer.exec("PRAGMA busy_timeout = 2000;");
    for (int i = 0; i < 150; ++i)
      otherWrites += writer.exec("INSERT INTO storage VALUES ('other" + std::to_string(i) + "', 'v');") ? 1 : 0;
  });
  const std::vector<JKValue> answers = first.callAll(writes);
  other.join();
  // The other program may give up on its own waits under load; what it
  // stored and every write of the page are there.
  EXPECT_GT(otherWrites, 0);
  EXPECT_EQ(150, std::count_if(answers.begin(), answers.end(), answeredTrue));
  EXPECT_EQ(160 + otherWrites, first.call("storageLength", args({"localStorage"})).int64Value());

  // A second client on the same folders does not start, and its attempt
  // leaves the first one's session rows alone.
  CoreDriverProcess second(kTool, driverArguments(home, ""));
  EXPECT_FALSE(second.waitUntilStarted());
  EXPECT_EQ("t", first.call("storageGetItem", args({"sessionStorage", "token"})).stringValue());
  EXPECT_EQ(0, first.quit());
}

bool waitForError(CoreDriverProcess& driver, const std::string& code) {
  return driver.waitForLine([&code](const JKValue& line) { return shownError(line) == code; }, nullptr, 10);
}

// Waits until none of the paths is on the disk; false when one stays.
bool waitUntilGone(CoreDriverProcess& driver, const std::vector<std::string>& paths) {
  for (int i = 0; i < 800; ++i) {
    if (std::none_of(paths.begin(), paths.end(), [](const std::string& path) { return TestFolder::exists(path); }))
      return true;
    driver.call("sleep", args({25}));
  }
  return false;
}

// Downloads the page removes one by one stay removed: a kill as soon as their
// files are gone, long before the index's periodic save, brings none of them
// back, and after a quit neither their files nor their rows are left.
TEST_F(CoreDriverTest, RemovedDownloadsStayRemovedAfterAKillAndAQuit) {
  for (bool killed : {true, false}) {
    SCOPED_TRACE(killed ? "killed" : "quit");
    TestFolder folder;
    TestHttpServer server;
    ASSERT_TRUE(server.isRunning());
    const std::string home = folder.folder("home");
    const int count = 10;
    std::vector<std::string> served;
    for (int i = 0; i < count; ++i)
      served.push_back(server.url("/size=20000/seed=" + std::to_string(i + 1) + "/r" + std::to_string(i)));
    const std::string urls = writeUrlMap(folder, 1501, served);
    std::vector<std::string> removed;
    std::vector<std::string> kept;
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      ASSERT_TRUE(driver.waitUntilStarted());
      ASSERT_TRUE(downloadAll(driver, 1501, count, 60000));
      for (int i = 0; i < count; ++i) {
        if (i % 2 == 1) {
          kept.push_back(std::to_string(1501 + i));
          continue;
        }
        driver.call("removeFile", args({"download", std::to_string(1501 + i), 5}));
        driver.call("sleep", args({50}));  // each removal in a pass of its own
        removed.push_back(downloadPath(home, 1501 + i));
        removed.push_back(downloadPath(home, 1501 + i) + ".part");
      }
      ASSERT_TRUE(waitUntilGone(driver, removed));
      if (killed)
        driver.kill();
      else
        EXPECT_EQ(0, driver.quit());
    }
    const size_t fetched = server.getRequests().size();
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
    EXPECT_EQ(count / 2, number(listed, "count")) << "a removed download came back";
    EXPECT_EQ(0, driver.quit());
    EXPECT_EQ(fetched, server.getRequests().size()) << "nothing is fetched again";
    for (const std::string& path : removed) EXPECT_FALSE(TestFolder::exists(path)) << path;
    EXPECT_EQ(kept, TestDatabase(home + "/data/velora-desktop/repositories/download.db")
                        .rows("SELECT entity_id FROM files ORDER BY entity_id"));
  }
}

// Bitmaps truncated or deleted by hand, or content cut short, keep their
// downloads: a whole content gets its bitmap back, a cut one is fetched again.
TEST_F(CoreDriverTest, DownloadsWithDamagedFilesStayAndAreMadeWholeAgain) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  const size_t size = 300000;
  std::string urls = writeUrlMap(
      folder, 1001,
      {server.url("/size=300000/seed=1/a"), server.url("/size=300000/seed=2/b"), server.url("/size=300000/seed=3/c")});
  {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    ASSERT_TRUE(downloadAll(driver, 1001, 3, 60000));
    EXPECT_EQ(0, driver.quit());
  }
  ASSERT_TRUE(run("truncate -s 0 '" + downloadPath(home, 1001) + ".part'"));
  ASSERT_TRUE(run("rm '" + downloadPath(home, 1002) + ".part'"));
  ASSERT_TRUE(run("truncate -s 100000 '" + downloadPath(home, 1003) + "'"));
  const size_t requestsBefore = server.getRequests().size();

  CoreDriverProcess driver(kTool, driverArguments(home, urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
  EXPECT_EQ(3, number(listed, "count")) << "no download left the list";
  ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 3, 60000})).boolValue());
  EXPECT_EQ(0, driver.quit());
  for (int i = 0; i < 3; ++i) {
    const std::string content = TestFolder::read(downloadPath(home, 1001 + i));
    const std::vector<uint8_t> expected = TestHttpServer::content(unsigned(i + 1), 0, size);
    ASSERT_EQ(size, content.size()) << 1001 + i;
    EXPECT_EQ(0, std::memcmp(content.data(), expected.data(), size)) << 1001 + i;
  }
  EXPECT_EQ(requestsBefore + 1, server.getRequests().size()) << "only the cut content is fetched again";
}

// Damage SQLite finds in the download index: its rows are read back where
// SQLite still can, the page is told, and new downloads last.
TEST_F(CoreDriverTest, ADamagedDownloadIndexKeepsWhatCanBeReadAndLastsAgain) {
  struct Damage {
    const char* name;
    bool rowsReadable;
  };
  for (const Damage& damage : {Damage{"index pages", true}, Damage{"header", false}}) {
    SCOPED_TRACE(damage.name);
    TestFolder folder;
    TestHttpServer server;
    ASSERT_TRUE(server.isRunning());
    const std::string home = folder.folder("home");
    std::string urls = writeUrlMap(folder, 1101,
                                   {server.url("/size=200000/seed=1/a"), server.url("/size=200000/seed=2/b"),
                                    server.url("/size=200000/seed=3/c")});
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      ASSERT_TRUE(driver.waitUntilStarted());
      ASSERT_TRUE(downloadAll(driver, 1101, 2, 60000));
      EXPECT_EQ(0, driver.quit());
    }
    const std::string index = home + "/data/velora-desktop/repositories/download.db";
    std::vector<std::string> pages;
    if (damage.rowsReadable) {
      TestDatabase database(index);
      pages = database.rows("SELECT rootpage FROM sqlite_master WHERE type = 'index'");
    }
    for (const std::string& page : damage.rowsReadable ? pages : std::vector<std::string>{"1"}) {
      // Every byte of an index's root page, or the file's header, overwritten.
      const size_t offset = (std::stoul(page) - 1) * 4096;
      ASSERT_TRUE(run("head -c " + std::string(damage.rowsReadable ? "4096" : "100") + " /dev/urandom | dd of='" +
                      index + "' bs=1 seek=" + std::to_string(offset) + " conv=notrunc status=none"));
    }
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      ASSERT_TRUE(driver.waitUntilStarted());
      JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
      EXPECT_EQ(damage.rowsReadable ? 2 : 0, number(listed, "count"));
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_INDEX_DAMAGED"));
      driver.call("addFile", args({"download", "1103", 5, "{}"}));
      ASSERT_TRUE(
          driver.call("waitForFileCount", args({strings({"download"}), 2, 16, damage.rowsReadable ? 3 : 1, 60000}))
              .boolValue());
      EXPECT_EQ(0, driver.quit());
    }
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 2, 16}));
    EXPECT_EQ(damage.rowsReadable ? 3 : 1, number(listed, "count")) << "the new download lasted";
    for (const JKValue& line : driver.lines()) EXPECT_EQ("", shownError(line)) << "told once";
    EXPECT_EQ(0, driver.quit());
    EXPECT_TRUE(TestFolder::exists(index + ".damaged"));
  }
}

// The leftmost leaf page of the index's "files" table (its smallest rowids),
// found by walking down from the table's root page; 0 when it cannot be read.
size_t firstTableLeaf(const std::string& index) {
  std::vector<std::string> root = TestDatabase(index).rows("SELECT rootpage FROM sqlite_master WHERE name = 'files'");
  const std::string bytes = TestFolder::read(index);
  if (root.size() != 1 || bytes.size() < 100) return 0;
  auto byteAt = [&bytes](size_t offset) { return offset < bytes.size() ? uint8_t(bytes[offset]) : 0; };
  const size_t pageSize = size_t(byteAt(16)) << 8 | byteAt(17);
  size_t page = std::stoul(root[0]);
  // An interior table page (flag 5) has a 12-byte header; its first cell
  // starts with the page number of its leftmost child.
  for (int depth = 0; depth < 8 && page > 1; ++depth) {
    const size_t start = (page - 1) * pageSize;
    if (byteAt(start) != 5) return byteAt(start) == 13 ? page : 0;
    const size_t cell = start + (size_t(byteAt(start + 12)) << 8 | byteAt(start + 13));
    page =
        size_t(byteAt(cell)) << 24 | size_t(byteAt(cell + 1)) << 16 | size_t(byteAt(cell + 2)) << 8 | byteAt(cell + 3);
  }
  return 0;
}

// A page of the download index's table that cannot be read loses only its own
// rows: the rows on the pages after it are rescued, and no download's file is
// deleted, neither by the rescue nor by the starts after it (the damaged file
// kept aside still names the files whose rows were lost, and the log lists
// them with their downloads, as the damaged file's indexes name them).
TEST_F(CoreDriverTest, ARescuedDownloadIndexKeepsEveryDownloadFileAndTheRowsAfterTheDamage) {
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  const int count = 8;
  const size_t size = 50000;
  std::vector<std::string> served;
  for (int i = 0; i < count; ++i)
    served.push_back(server.url("/size=50000/seed=" + std::to_string(i + 1) + "/t" + std::to_string(i)));
  std::string urls = writeUrlMap(folder, 1201, served);
  {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    // Long metadata, as the page stores for a track: a few rows per page.
    const std::string metadata = "{\"title\":\"" + std::string(1500, 't') + "\"}";
    for (int i = 0; i < count; ++i) driver.call("addFile", args({"download", std::to_string(1201 + i), 5, metadata}));
    ASSERT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, count, 60000})).boolValue());
    EXPECT_EQ(0, driver.quit());
  }
  const std::string index = home + "/data/velora-desktop/repositories/download.db";
  const size_t leaf = firstTableLeaf(index);
  ASSERT_GT(leaf, 1u) << "the table spans several pages";
  ASSERT_TRUE(run("head -c 4096 /dev/urandom | dd of='" + index + "' bs=4096 seek=" + std::to_string(leaf - 1) +
                  " conv=notrunc status=none"));
  int64_t rescued = 0;
  std::vector<int> lost;
  for (int start = 0; start < 3; ++start) {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    if (start == 0) {
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_INDEX_DAMAGED"));
      for (int i = 0; i < count; ++i)
        if (fileField(driver, "download", 1201 + i, "download_state") == -999) lost.push_back(1201 + i);
    }
    JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
    if (start == 0) rescued = number(listed, "count");
    EXPECT_EQ(rescued, number(listed, "count")) << "start " << start;
    EXPECT_EQ(0, driver.quit());
  }
  EXPECT_GT(rescued, 0) << "the rows after the damaged page are read";
  EXPECT_LT(rescued, count) << "the damaged page held rows";
  const std::string log = TestFolder::read(home + "/state/velora-desktop/desktop.log");
  for (int entity : lost) {
    const std::string path = downloadPath(home, entity);
    EXPECT_NE(std::string::npos,
              log.find("download #anonymous# " + std::to_string(entity) + "_5 " + path.substr(path.rfind('/') + 1)))
        << "the lost download " << entity << " is not named in the log";
  }
  for (int i = 0; i < count; ++i) {
    const std::string content = TestFolder::read(downloadPath(home, 1201 + i));
    const std::vector<uint8_t> expected = TestHttpServer::content(unsigned(i + 1), 0, size);
    ASSERT_EQ(size, content.size()) << "download " << 1201 + i << " lost its file";
    EXPECT_EQ(0, std::memcmp(content.data(), expected.data(), size)) << 1201 + i;
  }
}

// A damaged download index met on a full disk cannot be rebuilt then: it is
// left for the next start, which keeps its rows and the downloads' files,
// instead of an empty index that takes those files for orphans.
TEST_F(CoreDriverTest, ADamagedDownloadIndexMetOnAFullDiskIsRescuedAtTheNextStart) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  std::string urls =
      writeUrlMap(folder, 1151, {server.url("/size=200000/seed=1/a"), server.url("/size=200000/seed=2/b")});
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "8m", [&] {
    const std::string home = volume + "/home";
    const std::string index = home + "/data/velora-desktop/repositories/download.db";
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_TRUE(downloadAll(driver, 1151, 2, 60000));
      driver.quit();
    }
    std::vector<std::string> pages;
    {
      // Rows of other accounts on this computer make the index larger
      // than the room left below.
      TestDatabase database(index);
      EXPECT_TRUE(
          database.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                        "INSERT INTO files SELECT repository, 'other', entity_id || '-' || i, format_id, "
                        "size, loaded, etag, printf('%032x', i), hex(randomblob(100)), provider_data, "
                        "position, custom, last_validation, last_open, total_lock_count, last_add "
                        "FROM files, n WHERE entity_id = '1151'"));
      pages = database.rows("SELECT rootpage FROM sqlite_master WHERE type = 'index'");
    }
    for (const std::string& page : pages)
      EXPECT_TRUE(run("head -c 4096 /dev/urandom | dd of='" + index +
                      "' bs=4096 seek=" + std::to_string(std::stoul(page) - 1) + " conv=notrunc status=none"));
    // Room for the start, not for a second copy of the index.
    struct statvfs space;
    EXPECT_EQ(0, statvfs(volume.c_str(), &space));
    EXPECT_TRUE(run("head -c " + std::to_string(space.f_bavail * space.f_frsize - 256 * 1024) + " /dev/zero > '" +
                    volume + "/filler'"));
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_INDEX_DAMAGED")) << "the missing downloads are explained";
      driver.quit();
    }
    std::remove((volume + "/filler").c_str());
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 2, 16}));
    EXPECT_EQ(2, number(listed, "count")) << "the rows outlived the start on a full disk";
    driver.quit();
    for (int entity : {1151, 1152}) EXPECT_EQ(200000u, TestFolder::read(downloadPath(home, entity)).size()) << entity;
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Requests whose path holds `part`.
size_t requestsFor(const TestHttpServer& server, const std::string& part) {
  size_t count = 0;
  for (const TestHttpRequest& request : server.getRequests()) count += request.path.find(part) != std::string::npos;
  return count;
}

// A disk (a folder of the test volume) bound on a mount point while it is
// plugged.
struct TestDisk {
  bool plug() const { return mount(folder.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) == 0; }
  bool unplug() const { return umount2(mountPoint.c_str(), 0) == 0; }

  std::string folder;
  std::string mountPoint;
};

// Plugs the disk, downloads the entities from `first` on onto it in one run
// of the client, and unplugs it.
void downloadOntoDisk(const TestDisk& disk, const std::string& home, const std::string& urls, int first, int count) {
  EXPECT_TRUE(disk.plug());
  {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(downloadAll(driver, first, count, 60000));
    driver.quit();
  }
  EXPECT_TRUE(disk.unplug());
}

// The music disk that holds the download folder is not mounted at a start
// (its mount point, ~/Music, still there): the downloads stay listed, the page
// is told the folder cannot be used, nothing is fetched again and no folder is
// made on the mount point, nor is a folder made there by someone else taken
// for the disk's. Once the disk is back the downloads go on in its folder.
TEST_F(CoreDriverTest, DownloadsOnADiskThatIsNotMountedWaitForItAndAreNotFetchedAgain) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  const std::string music = folder.folder("home/Music");
  const std::string volume = folder.folder("disk");
  std::string urls = writeUrlMap(folder, 1301,
                                 {server.url("/size=60000/seed=1/first"), server.url("/size=60000/seed=2/second"),
                                  server.url("/size=60000/seed=3/third"), server.url("/size=60000/seed=4/fourth")});
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    const TestDisk disk{volume + "/music", music};
    EXPECT_TRUE(run("mkdir '" + disk.folder + "'"));
    downloadOntoDisk(disk, home, urls, 1301, 3);
    const size_t fetched = server.getRequests().size();
    for (bool madeInItsPlace : {false, true}) {
      SCOPED_TRACE(madeInItsPlace ? "a folder made in its place" : "no folder");
      if (madeInItsPlace) {
        EXPECT_TRUE(run("mkdir '" + music + "/Velora'"));
      }
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
      JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 16}));
      EXPECT_EQ(3, number(listed, "count")) << "the downloads stay listed";
      driver.call("sleep", args({3500}));  // past the next probe of the folder
      EXPECT_EQ(madeInItsPlace, TestFolder::exists(music + "/Velora")) << "no folder is made on the mount point";
      EXPECT_EQ(fetched, server.getRequests().size()) << "nothing is fetched again";
      if (madeInItsPlace) {
        // The disk comes back while the client runs.
        EXPECT_TRUE(run("rmdir '" + music + "/Velora'"));
        EXPECT_TRUE(disk.plug());
        driver.call("addFile", args({"download", "1304", 5, "{}"}));
        EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 4, 60000})).boolValue());
      }
      driver.quit();
    }
    for (const char* name : {"first", "second", "third"}) EXPECT_EQ(1u, requestsFor(server, name)) << name;
    for (int i = 0; i < 4; ++i) {
      const std::string content = TestFolder::read(downloadPath(home, 1301 + i));
      const std::vector<uint8_t> expected = TestHttpServer::content(unsigned(i + 1), 0, 60000);
      EXPECT_TRUE(content.size() == expected.size() && std::memcmp(content.data(), expected.data(), 60000) == 0)
          << 1301 + i;
    }
    EXPECT_TRUE(disk.unplug());
    EXPECT_FALSE(TestFolder::exists(music + "/Velora")) << "nothing was written on the mount point";
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Downloads removed while the disk that holds their folder is not mounted
// leave no file behind: the removals are remembered, across a restart too,
// and their files go once the disk is back, within the run, while the
// download kept stays, and so does one removed and added again before the
// disk is back. The same when the download folder is itself the disk's
// mount point, an empty folder while the disk is not mounted.
TEST_F(CoreDriverTest, DownloadsRemovedWhileTheirDiskIsAwayLoseTheirFilesWhenItIsBack) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string volume = folder.folder("disk");
  std::string urls = writeUrlMap(folder, 1321,
                                 {server.url("/size=60000/seed=1/first"), server.url("/size=60000/seed=2/second"),
                                  server.url("/size=60000/seed=3/third"), server.url("/size=60000/seed=4/fourth")});
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    for (const char* mounted : {"Music", "Music/Velora"}) {
      SCOPED_TRACE(std::string("the disk mounted on ") + mounted);
      const std::string home = volume + "/home-" + (mounted[5] ? "velora" : "music");
      const TestDisk disk{home + "-disk", home + "/" + mounted};
      EXPECT_TRUE(run("mkdir -p '" + disk.mountPoint + "' '" + disk.folder + "'"));
      downloadOntoDisk(disk, home, urls, 1321, 4);
      {
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
        for (const char* entity : {"1321", "1322", "1323"}) driver.call("removeFile", args({"download", entity, 5}));
        JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
        EXPECT_EQ(1, number(listed, "count"));
        driver.quit();
      }
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      driver.call("addFile", args({"download", "1323", 5, "{}"}));
      EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 0, 0, 2, 10000})).boolValue());
      EXPECT_TRUE(disk.plug());
      std::vector<std::string> removed;
      for (int entity : {1321, 1322}) {
        removed.push_back(downloadPath(home, entity));
        removed.push_back(downloadPath(home, entity) + ".part");
      }
      EXPECT_TRUE(waitUntilGone(driver, removed)) << "the removed downloads' files are left";
      EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
      driver.quit();
      for (int entity : {1323, 1324}) EXPECT_EQ(60000u, TestFolder::sizeOf(downloadPath(home, entity))) << entity;
      EXPECT_TRUE(disk.unplug());
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// The removals remembered while the disk was away do not pile up: once the
// disk is back, one whose files were deleted by hand meanwhile is forgotten
// too, while the download kept stays whole. While no download claims a
// stored file, the empty mount point is a usable folder the client cannot
// tell from the disk's: the removals are kept there, and their files go once
// the disk is back, at the next start.
TEST_F(CoreDriverTest, RemovalsRememberedWhileTheDiskWasAwayAreForgottenOnceItIsBack) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string volume = folder.folder("disk");
  const std::string urls = writeUrlMap(
      folder, 1381,
      {server.url("/size=60000/seed=1/a"), server.url("/size=60000/seed=2/b"), server.url("/size=60000/seed=3/c")});
  auto removeWhileAway = [&](const std::string& home, const std::vector<const char*>& entities) {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    for (const char* entity : entities) driver.call("removeFile", args({"download", entity, 5}));
    driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
    EXPECT_EQ(0, driver.quit());
  };
  auto remembered = [](const std::string& home) {
    return TestDatabase(home + "/data/velora-desktop/repositories/download.db")
        .rows("SELECT file_name FROM removed_files")
        .size();
  };
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    for (bool keepsOne : {true, false}) {
      SCOPED_TRACE(keepsOne ? "a download kept" : "every download removed");
      const std::string home = volume + (keepsOne ? "/home-kept" : "/home-none");
      const TestDisk disk{home + "-disk", home + "/Music/Velora"};
      EXPECT_TRUE(run("mkdir -p '" + disk.mountPoint + "' '" + disk.folder + "'"));
      downloadOntoDisk(disk, home, urls, 1381, 3);
      if (keepsOne) {
        removeWhileAway(home, {"1381", "1382"});
        EXPECT_EQ(2u, remembered(home));
        // 1381's files are deleted by hand while the disk is away.
        for (const std::string suffix : {"", ".part"}) {
          const std::string name = downloadPath(home, 1381).substr(disk.mountPoint.size());
          EXPECT_EQ(0, unlink((disk.folder + name + suffix).c_str()));
        }
      } else {
        removeWhileAway(home, {"1381", "1382", "1383"});
        removeWhileAway(home, {});  // a start on the empty mount point
        EXPECT_EQ(3u, remembered(home));
      }
      EXPECT_TRUE(disk.plug());
      {
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        std::vector<std::string> removed;
        for (int entity = 1381; entity <= (keepsOne ? 1382 : 1383); ++entity) {
          removed.push_back(downloadPath(home, entity));
          removed.push_back(downloadPath(home, entity) + ".part");
        }
        EXPECT_TRUE(waitUntilGone(driver, removed));
        EXPECT_EQ(0, driver.quit());
      }
      EXPECT_EQ(0u, remembered(home));
      if (keepsOne) {
        EXPECT_EQ(60000u, TestFolder::sizeOf(downloadPath(home, 1383)));
      }
      EXPECT_TRUE(disk.unplug());
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// The names of the files in `directory` that bear a repository file's name
// (32 hexadecimal digits, with or without ".part").
std::vector<std::string> repositoryFilesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* folder = opendir(directory.c_str());
  if (!folder) return names;
  while (dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() >= 32 && name.find_first_not_of("0123456789abcdef") >= 32) names.push_back(name);
  }
  closedir(folder);
  return names;
}

// After a clear of many cached files cut short by a crash, the start hands
// the files no row claims to the trash's thread, and a login does not wait
// for them (the trash removes each slowly here, as a slow disk does):
// setUserId returns while files are left, and they go all the same.
TEST_F(CoreDriverTest, ALoginDoesNotWaitForTheFilesOfAClearCutShort) {
  TestFolder folder;
  const std::string home = folder.folder("home");
  folder.folder("home/cache");
  folder.folder("home/cache/velora-desktop");
  const std::string cache = folder.folder("home/cache/velora-desktop/cache");
  const int count = 300;
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(TestFolder::write(cache + "/" + md5("cache_user_" + std::to_string(i) + "_5"), "x"));
  CoreDriverProcess driver(kTool, driverArguments(home, "", {"--slow-trash", "20"}));
  ASSERT_TRUE(driver.waitUntilStarted());
  driver.call("setUserId", args({"user"}));
  EXPECT_GT(repositoryFilesIn(cache).size(), 0u) << "the login waited for the trash";
  for (int i = 0; i < 2400 && !repositoryFilesIn(cache).empty(); ++i) driver.call("sleep", args({25}));
  EXPECT_EQ(std::vector<std::string>(), repositoryFilesIn(cache)) << "files are left for good";
  EXPECT_EQ(0, driver.quit());
}

// A move of the downloads to another volume killed while it copies leaves
// copies there; the next start removes them and keeps the downloads where
// they were.
TEST_F(CoreDriverTest, CopiesOfAMoveKilledWhileItCopiesAreRemovedAtTheNextStart) {
  char target[] = "/dev/shm/velora-move-XXXXXX";
  if (!mkdtemp(target)) GTEST_SKIP() << "no /dev/shm here";
  struct RemovedAtTheEnd {
    std::string path;
    ~RemovedAtTheEnd() { run("rm -rf '" + path + "'"); }
  } removedAtTheEnd{target};
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string home = folder.folder("home");
  const int count = 6;
  const size_t size = 12000000;
  std::vector<std::string> served;
  for (int i = 0; i < count; ++i)
    served.push_back(server.url("/size=12000000/seed=" + std::to_string(i + 1) + "/m" + std::to_string(i)));
  std::string urls = writeUrlMap(folder, 1401, served);
  {
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    ASSERT_TRUE(driver.waitUntilStarted());
    ASSERT_TRUE(downloadAll(driver, 1401, count, 120000));
    driver.call("setSetting", args({"download_repository_path", target}));
    // Killed as soon as the first copy shows in the new folder.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (repositoryFilesIn(target).empty() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    driver.kill();
  }
  const size_t copies = repositoryFilesIn(target).size();
  ASSERT_GT(copies, 0u) << "the copying had begun";
  ASSERT_LT(copies, size_t(2 * count)) << "the copying had not ended";

  CoreDriverProcess driver(kTool, driverArguments(home, urls));
  ASSERT_TRUE(driver.waitUntilStarted());
  JKValue done = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 2, 16}));
  EXPECT_EQ(count, number(done, "count"));
  EXPECT_EQ(0, driver.quit());
  EXPECT_EQ(std::vector<std::string>(), repositoryFilesIn(target)) << "the copies are gone";
  for (int i = 0; i < count; ++i) EXPECT_EQ(size, TestFolder::sizeOf(downloadPath(home, 1401 + i))) << 1401 + i;
}

// Opens a sound of `url` and waits for its state: 0 opened, 2 failed (1 while
// it was still opening after ten seconds).
int openedState(CoreDriverProcess& driver, const std::string& url) {
  int sound = int(driver.call("createSound", args({url})).int64Value());
  int state = 1;
  for (int i = 0; i < 400 && state != 0 && state != 2; ++i) {
    driver.call("sleep", args({25}));
    state = int(driver.call("getState", args({sound})).int64Value());
  }
  driver.call("deleteSound", args({sound}));
  return state;
}

// The permission bits of a path (0 when it cannot be examined).
mode_t permissionsOf(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// A cache folder emptied while the client runs (a user, a cleaner) is made
// again for the next track, private as at the start; one that cannot take
// files is told to the page.
TEST_F(CoreDriverTest, ACacheFolderRemovedWhileRunningIsMadeAgainOrTold) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string home = folder.folder("home");
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  ASSERT_EQ(0, openedState(driver, track.url(1)));
  EXPECT_EQ(0700u, permissionsOf(home + "/cache"));
  EXPECT_EQ(0700u, permissionsOf(home + "/cache/velora-desktop"));
  ASSERT_TRUE(run("rm -rf '" + home + "/cache'"));
  EXPECT_EQ(0, openedState(driver, track.url(2))) << "the folder is made again";
  EXPECT_EQ(0700u, permissionsOf(home + "/cache")) << "private again";
  EXPECT_EQ(0700u, permissionsOf(home + "/cache/velora-desktop")) << "private again";
  ASSERT_TRUE(run("rm -rf '" + home + "/cache' && touch '" + home + "/cache'"));
  EXPECT_EQ(2, openedState(driver, track.url(3)));
  ASSERT_TRUE(waitForError(driver, "CACHE_UNWRITABLE"));
  ASSERT_TRUE(run("rm '" + home + "/cache'"));
  driver.call("sleep", args({3500}));  // the next probe of an unwritable folder
  EXPECT_EQ(0, openedState(driver, track.url(4))) << "usable again once the folder can be made";
  EXPECT_EQ(0, driver.quit());
}

// A start without a cache folder (one that cannot be made) leaves nothing
// behind for the next: once the folder can be made, the next start caches
// its tracks there again.
TEST_F(CoreDriverTest, AStartWithoutACacheFolderDoesNotBreakTheNextOne) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string home = folder.folder("home");
  ASSERT_TRUE(run("touch '" + home + "/cache'"));  // the cache root cannot be made
  {
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    ASSERT_TRUE(driver.waitUntilStarted());
    EXPECT_EQ(2, openedState(driver, track.url(1)));
    EXPECT_TRUE(waitForError(driver, "CACHE_UNWRITABLE")) << "a cache folder that cannot be had is told";
    EXPECT_EQ(0, driver.quit());
  }
  ASSERT_TRUE(run("rm '" + home + "/cache'"));
  CoreDriverProcess driver(kTool, driverArguments(home, ""));
  ASSERT_TRUE(driver.waitUntilStarted());
  EXPECT_EQ(0, openedState(driver, track.url(2)));
  EXPECT_EQ(0, shownErrors(driver, "CACHE_UNWRITABLE"));
  EXPECT_EQ(0, driver.quit());
  EXPECT_TRUE(TestFolder::exists(home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_2_5")))
      << "cached in the folder made at this start";
}

// Fills the volume of `folder` with a file "filler" until no byte fits: the
// writes go straight to the file, so a buffer that could not be written
// leaves no room behind.
void fillVolume(const std::string& folder) {
  const int filler = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string block(4096, 'f');
  while (filler != -1 && write(filler, block.data(), block.size()) > 0) {
  }
  if (filler != -1) close(filler);
}

TEST_F(CoreDriverTest, StorageWritesOnAFullDiskAnswerFalseAndKeepWhatWasStored) {
#if defined(__SANITIZE_THREAD__)
  // The driver is talked to from a forked child (the one in the private
  // mount namespace), whose new threads the thread sanitizer cannot follow.
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "4m", [&] {
    const std::string home = volume + "/home";
    {
      CoreDriverProcess driver(kTool, driverArguments(home, ""));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "before", "kept"})).boolValue());
      fillVolume(volume);
      int refused = 0;
      for (int i = 0; i < 300; ++i) {
        const std::string key = "full" + std::to_string(i);
        const JKValue stored = driver.call("storageSetItem", args({"localStorage", key, std::string(1024, 'v')}));
        refused += stored.isBool() && !stored.boolValue() ? 1 : 0;
        if (stored.isBool() && stored.boolValue())
          EXPECT_TRUE(driver.call("storageGetItem", args({"localStorage", key})).isString())
              << key << " answered true but cannot be read back";
      }
      EXPECT_EQ(300, refused);
      EXPECT_EQ("kept", driver.call("storageGetItem", args({"localStorage", "before"})).stringValue());
      std::remove((volume + "/filler").c_str());
      EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "after", "room"})).boolValue());
      driver.quit();
    }
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    EXPECT_TRUE(driver.waitUntilStarted());
    EXPECT_EQ("kept", driver.call("storageGetItem", args({"localStorage", "before"})).stringValue());
    EXPECT_EQ("room", driver.call("storageGetItem", args({"localStorage", "after"})).stringValue());
    EXPECT_EQ(2, driver.call("storageLength", args({"localStorage"})).int64Value());
    driver.quit();
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Plays the sound of `url` and answers whether it played to its end.
bool playsToTheEnd(CoreDriverProcess& driver, const std::string& url) {
  const int sound = int(driver.call("createSound", args({url})).int64Value());
  if (!driver.call("play", args({sound})).boolValue()) return false;
  bool played = false, ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    const bool playing = driver.call("getPlaying", args({sound})).boolValue();
    played = played || playing;
    ended = played && !playing;
    if (!ended) driver.call("sleep", args({25}));
  }
  driver.call("deleteSound", args({sound}));
  return ended;
}

// The error codes shown to the page that end with `condition`.
std::vector<std::string> shownErrorsEndingWith(CoreDriverProcess& driver, const std::string& condition) {
  std::vector<std::string> shown;
  for (const JKValue& line : driver.lines()) {
    const std::string code = shownError(line);
    if (code.size() >= condition.size() &&
        code.compare(code.size() - condition.size(), condition.size(), condition) == 0)
      shown.push_back(code);
  }
  return shown;
}

// A client used once on `home`: the entity downloaded, "kept" stored in its
// local storage and "gone" in its session storage.
void useClient(const std::string& home, const std::string& urls, int entity) {
  CoreDriverProcess driver(kTool, driverArguments(home, urls));
  EXPECT_TRUE(driver.waitUntilStarted());
  EXPECT_TRUE(downloadAll(driver, entity, 1, 60000));
  EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "kept", "local"})).boolValue());
  EXPECT_TRUE(driver.call("storageSetItem", args({"sessionStorage", "gone", "at quit"})).boolValue());
  driver.quit();
}

// A client whose volume has filled up (no byte, or less than a block, left)
// starts, answers the page from its web stores and plays its downloads, by
// their stream URL too: a full volume still reads what it holds. The page
// hears that the volume is full, not that the folders cannot be written.
TEST_F(CoreDriverTest, AClientOnAFullDiskStartsAndPlaysItsDownloads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls = writeUrlMap(folder, 1201, {track.server->url("/track.mp3")});
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "8m", [&] {
    const std::string home = volume + "/home";
    useClient(home, urls, 1201);
    for (const off_t room : {off_t(0), off_t(4096)}) {
      SCOPED_TRACE(std::to_string(room) + " bytes free");
      fillVolume(volume);
      struct stat filler;
      EXPECT_EQ(0, stat((volume + "/filler").c_str(), &filler));
      EXPECT_EQ(0, truncate((volume + "/filler").c_str(), filler.st_size - room));
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_EQ("local", driver.call("storageGetItem", args({"localStorage", "kept"})).stringValue());
      EXPECT_TRUE(driver.call("storageGetItem", args({"sessionStorage", "gone"})).isNull());
      EXPECT_EQ(0, driver.call("storageLength", args({"sessionStorage"})).int64Value());
      // No server answers there: what plays comes from the disk.
      EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1201&_FMT=5&_LOCAL=true&_REPO=download"));
      EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1201&_FMT=5")) << "by its stream URL";
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_VOLUME_FULL"));
      EXPECT_EQ(std::vector<std::string>(), shownErrorsEndingWith(driver, "_UNWRITABLE"));
      EXPECT_EQ(0, driver.quit());
      std::remove((volume + "/filler").c_str());
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A client whose home, or only its storage folder, has turned read-only (a
// file-system error remounts it so) starts, answers the page from what is
// stored, keeps this run's session in memory and plays its downloads. Once
// the folder is writable again, the next start writes as before.
TEST_F(CoreDriverTest, AClientOnAReadOnlyHomeStartsReadsItsStoresAndPlaysItsDownloads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls = writeUrlMap(folder, 1251, {track.server->url("/track.mp3")});
  const std::string volume = folder.folder("disk");
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    const std::string home = volume + "/home";
    useClient(home, urls, 1251);
    for (const std::string& readOnly : {home, home + "/data/velora-desktop/storage"}) {
      SCOPED_TRACE(readOnly + " read-only");
      EXPECT_EQ(0, mount(readOnly.c_str(), readOnly.c_str(), nullptr, MS_BIND, nullptr));
      EXPECT_EQ(0, mount(nullptr, readOnly.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
      {
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        EXPECT_EQ("local", driver.call("storageGetItem", args({"localStorage", "kept"})).stringValue());
        EXPECT_FALSE(driver.call("storageSetItem", args({"localStorage", "new", "refused"})).boolValue());
        EXPECT_TRUE(driver.call("storageSetItem", args({"sessionStorage", "session", "in memory"})).boolValue());
        EXPECT_EQ("in memory", driver.call("storageGetItem", args({"sessionStorage", "session"})).stringValue());
        EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1251&_FMT=5&_LOCAL=true&_REPO=download"));
        EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1251&_FMT=5")) << "by its stream URL";
        EXPECT_EQ(0, driver.quit());
      }
      EXPECT_EQ(0, umount2(readOnly.c_str(), 0));
      if (readOnly != home) {
        // With a log to write to, it says why the stores do not write.
        const std::string log = TestFolder::read(home + "/state/velora-desktop/desktop.log");
        EXPECT_NE(std::string::npos, log.find("Local storage cannot be written, this run reads it as it is"));
        EXPECT_NE(std::string::npos, log.find("Session storage cannot be written, this run keeps it in memory"));
      }
    }
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "after", "writable"})).boolValue());
    EXPECT_EQ("local", driver.call("storageGetItem", args({"localStorage", "kept"})).stringValue());
    EXPECT_EQ(0, driver.quit());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// The folders of a home below which the core stores (all but the state
// folder, which keeps the log to read), each mounted on itself read-only, as
// a file-system error leaves a home; writable again with `writable`.
struct ReadOnlyFolders {
  explicit ReadOnlyFolders(std::vector<std::string> paths) : folders(std::move(paths)) {
    for (const std::string& path : folders) {
      mounted = run("mkdir -p '" + path + "'") && mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0 && mounted;
    }
  }
  ~ReadOnlyFolders() {
    for (const std::string& path : folders) umount2(path.c_str(), 0);
  }
  bool writable() {
    bool done = true;
    for (const std::string& path : folders)
      done = mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT, nullptr) == 0 && done;
    return done;
  }

  std::vector<std::string> folders;
  bool mounted = true;
};

std::vector<std::string> storingFolders(const std::string& home) {
  return {home + "/config", home + "/data", home + "/cache", home + "/Music"};
}

// The times the log of `home` holds `text`.
size_t timesLogged(const std::string& home, const std::string& text) {
  const std::string log = TestFolder::read(home + "/state/velora-desktop/desktop.log");
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

const char* const kReadOnlyIndexWrite = "attempt to write a readonly database";

// A home that was read-only at the start and is made writable while the
// client runs, or only the folder of the index: while the index cannot be
// written nothing is downloaded and no write of an index or of the local
// storage is tried in vain; once it can, the download queued meanwhile and a
// track cached afterwards reach the index, so that the next start lists them
// and plays them without the server, and the local storage takes writes.
TEST_F(CoreDriverTest, WhatAHomeMadeWritableWhileRunningStoresIsThereAfterARestart) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls =
      writeUrlMap(folder, 1271, {track.server->url("/track.mp3"), track.server->url("/track.mp3")});
  const std::string volume = folder.folder("disk");
  const size_t trackSize = TestFolder::sizeOf(track.fixture.file);
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    for (bool wholeHome : {true, false}) {
      SCOPED_TRACE(wholeHome ? "a read-only home" : "a read-only index folder");
      const std::string home = volume + (wholeHome ? "/home" : "/home-index");
      useClient(home, urls, 1271);
      size_t failedWrites = 0;
      {
        ReadOnlyFolders readOnly(wholeHome ? storingFolders(home)
                                           : std::vector<std::string>{home + "/data/velora-desktop/repositories"});
        EXPECT_TRUE(readOnly.mounted);
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
        failedWrites = timesLogged(home, kReadOnlyIndexWrite);  // the web stores' tries at the start
        driver.call("addFile", args({"download", "1272", 5, "{}"}));
        for (const char* key : {"first", "second"})
          EXPECT_EQ(!wholeHome, driver.call("storageSetItem", args({"localStorage", key, "v"})).boolValue());
        driver.call("sleep", args({3500}));  // past the next probe of the folders
        EXPECT_NE(16, fileField(driver, "download", 1272, "download_state"));
        EXPECT_FALSE(TestFolder::exists(downloadPath(home, 1272))) << "nothing is stored";
        EXPECT_TRUE(readOnly.writable());
        EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "after", "stored"})).boolValue());
        EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
        EXPECT_TRUE(playsToTheEnd(driver, track.url(1273)));
        EXPECT_TRUE(waitForField(driver, "cache", 1273, "bytes_loaded", int64_t(trackSize)));
        EXPECT_EQ(0, driver.quit());
      }
      EXPECT_EQ(failedWrites, timesLogged(home, kReadOnlyIndexWrite)) << "no write is tried in vain";
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_EQ(16, fileField(driver, "download", 1272, "download_state"));
      EXPECT_EQ(int64_t(trackSize), fileField(driver, "cache", 1273, "bytes_loaded"));
      EXPECT_EQ("stored", driver.call("storageGetItem", args({"localStorage", "after"})).stringValue());
      EXPECT_EQ("local", driver.call("storageGetItem", args({"localStorage", "kept"})).stringValue());
      // No server answers there: what plays comes from the disk.
      EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1272&_FMT=5&_LOCAL=true&_REPO=download"));
      EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1273&_FMT=5")) << "from the cache";
      EXPECT_EQ(0, driver.quit());
      EXPECT_EQ(TestFolder::read(track.fixture.file), TestFolder::read(downloadPath(home, 1272)));
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// The folders the test makes read-only: the home's storing folders, or only
// that of the index of downloads.
std::vector<std::string> readOnlyFoldersOf(const std::string& home, bool wholeHome) {
  return wholeHome ? storingFolders(home) : std::vector<std::string>{home + "/data/velora-desktop/repositories"};
}

// A download the page removes while the index of downloads cannot be written
// (the home read-only, or only the index's folder) is refused, not reported
// removed: it stays listed with its file, and the page is told again that the
// downloads cannot be written. A run that ends so leaves it whole for the
// next start; once the index can be written again in the run, the removal
// goes through, its files go and it stays removed after a restart.
TEST_F(CoreDriverTest, ADownloadRemovedWhileItsIndexIsReadOnlyStaysUntilTheIndexCanBeWritten) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string urls =
      writeUrlMap(folder, 1341, {server.url("/size=60000/seed=1/first"), server.url("/size=60000/seed=2/second")});
  const std::string volume = folder.folder("disk");
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    for (bool wholeHome : {true, false}) {
      SCOPED_TRACE(wholeHome ? "a read-only home" : "a read-only index folder");
      const std::string home = volume + (wholeHome ? "/home" : "/home-index");
      {
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        EXPECT_TRUE(downloadAll(driver, 1341, 2, 60000));
        driver.quit();
      }
      const std::string content = TestFolder::read(downloadPath(home, 1341));
      for (bool madeWritable : {false, true}) {
        SCOPED_TRACE(madeWritable ? "made writable in the run" : "read-only to the end of the run");
        const size_t preferenceFailures = timesLogged(home, "Unable to write preferences");
        {
          ReadOnlyFolders readOnly(readOnlyFoldersOf(home, wholeHome));
          EXPECT_TRUE(readOnly.mounted);
          CoreDriverProcess driver(kTool, driverArguments(home, urls));
          EXPECT_TRUE(driver.waitUntilStarted());
          EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
          // Refusals are told once in 3 seconds: the second one, right
          // after, is not.
          driver.callAll(
              {{"removeFile", args({"download", "1341", 5})}, {"removeFile", args({"download", "1342", 5})}});
          int told = 0;
          auto toldTwice = [&told](const JKValue& line) {
            return shownError(line) == "DOWNLOAD_UNWRITABLE" && ++told == 2;
          };
          EXPECT_TRUE(driver.waitForLine(toldTwice, nullptr, 10)) << "the refusal is told";
          JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
          EXPECT_EQ(2, number(listed, "count")) << "the removal is refused";
          EXPECT_TRUE(content == TestFolder::read(downloadPath(home, 1341))) << "the file stays whole";
          if (!madeWritable) {
            // A refusal past the 3 seconds is told again.
            driver.call("sleep", args({3500}));
            driver.call("removeFile", args({"download", "1342", 5}));
            int seen = 0;
            auto toldThrice = [&seen](const JKValue& line) {
              return shownError(line) == "DOWNLOAD_UNWRITABLE" && ++seen == 3;
            };
            EXPECT_TRUE(driver.waitForLine(toldThrice, nullptr, 10)) << "a refusal past 3 seconds is told";
            EXPECT_EQ(3, shownErrors(driver, "DOWNLOAD_UNWRITABLE"));
          }
          if (madeWritable) {
            EXPECT_TRUE(readOnly.writable());
            driver.call("sleep", args({3500}));  // past the next probe of the folders
            driver.call("removeFile", args({"download", "1341", 5}));
            EXPECT_TRUE(waitUntilGone(driver, {downloadPath(home, 1341), downloadPath(home, 1341) + ".part"}));
          }
          EXPECT_EQ(0, driver.quit());
        }
        EXPECT_GE(preferenceFailures + 1, timesLogged(home, "Unable to write preferences")) << "once a run";
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
        EXPECT_EQ(madeWritable ? 1 : 2, number(listed, "count"));
        EXPECT_EQ(16, fileField(driver, "download", 1342, "download_state"));
        if (!madeWritable) {
          EXPECT_EQ(16, fileField(driver, "download", 1341, "download_state"));
        }
        EXPECT_EQ(0, driver.quit());
        if (madeWritable) {
          EXPECT_FALSE(TestFolder::exists(downloadPath(home, 1341)));
        } else {
          EXPECT_TRUE(content == TestFolder::read(downloadPath(home, 1341))) << "the file is kept whole";
        }
      }
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Only the folder of the index of downloads turns read-only while the client
// runs (the home's volume remounted so, the music folder on a disk of its
// own): the index refuses its writes, so a download asked for meanwhile is
// not fetched (a restart would not know it, and would take its file for a
// stray one), the page is told the downloads cannot be written, and the
// removal of a download is refused. Once the folder is writable again the
// download completes, and a restart finds it, with the one kept.
TEST_F(CoreDriverTest, AnIndexFolderTurnedReadOnlyWhileRunningStoresNothingUntilItIsWritableAgain) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls =
      writeUrlMap(folder, 1371, {track.server->url("/track.mp3"), track.server->url("/track.mp3")});
  const std::string volume = folder.folder("disk");
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    const std::string home = volume + "/home";
    useClient(home, urls, 1371);
    for (bool madeWritable : {false, true}) {
      SCOPED_TRACE(madeWritable ? "made writable in the run" : "read-only to the end of the run");
      {
        std::unique_ptr<ReadOnlyFolders> readOnly;
        CoreDriverProcess driver(kTool, driverArguments(home, urls));
        EXPECT_TRUE(driver.waitUntilStarted());
        readOnly.reset(new ReadOnlyFolders({home + "/data/velora-desktop/repositories"}));
        EXPECT_TRUE(readOnly->mounted);
        driver.call("addFile", args({"download", "1372", 5, "{}"}));
        EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
        driver.call("sleep", args({3500}));  // past the next probe of the folders
        EXPECT_NE(16, fileField(driver, "download", 1372, "download_state"));
        driver.call("removeFile", args({"download", "1371", 5}));
        JKValue listed = driver.callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 0}));
        EXPECT_EQ(2, number(listed, "count")) << "the removal is refused";
        EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1371&_FMT=5&_LOCAL=true&_REPO=download"));
        if (madeWritable) {
          EXPECT_TRUE(readOnly->writable());
          EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
        }
        EXPECT_EQ(0, driver.quit());
      }
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_EQ(16, fileField(driver, "download", 1371, "download_state"));
      if (madeWritable) {
        EXPECT_EQ(16, fileField(driver, "download", 1372, "download_state"));
      }
      EXPECT_EQ(0, driver.quit());
      EXPECT_TRUE(TestFolder::read(track.fixture.file) == TestFolder::read(downloadPath(home, 1371)));
      if (madeWritable) {
        EXPECT_TRUE(TestFolder::read(track.fixture.file) == TestFolder::read(downloadPath(home, 1372)));
      }
    }
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A home that turns read-only while the client runs, after it was writable (a
// file-system error remounts it so): the page's writes to its local storage
// answer false, with one warning in the log rather than an error for each,
// while what it stored still reads; a download asked for meanwhile is not
// fetched, the page is told the downloads cannot be written, and the
// downloads play. Once the home is writable again the local storage takes
// writes and the download completes, and a restart finds all of it. The
// folder of downloads, probed every 3 seconds while it is read-only, is said
// to be read-only once for each time it turns so, not at each probe.
TEST_F(CoreDriverTest, AHomeTurnedReadOnlyWhileRunningRefusesCleanlyAndTakesWritesOnceWritableAgain) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string urls =
      writeUrlMap(folder, 1361, {track.server->url("/track.mp3"), track.server->url("/track.mp3")});
  const std::string volume = folder.folder("disk");
  const int result = TestSmallVolume::run(volume, "16m", [&] {
    const std::string home = volume + "/home";
    const std::string toldReadOnly = "Repository directory is read-only, its files are only read : " + home + "/Music";
    const std::string probe = home + "/Music/Velora/.";  // the hidden file that probes the folder
    useClient(home, urls, 1361);
    {
      std::unique_ptr<ReadOnlyFolders> readOnly;
      CoreDriverProcess driver(kTool, driverArguments(home, urls, {"--test-clock"}));
      EXPECT_TRUE(driver.waitUntilStarted());
      EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "before", "writable"})).boolValue());
      const size_t failures = timesLogged(home, "SQLite failed");
      readOnly.reset(new ReadOnlyFolders(storingFolders(home)));
      EXPECT_TRUE(readOnly->mounted);
      for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(
            driver.call("storageSetItem", args({"localStorage", "refused" + std::to_string(i), "v"})).boolValue());
      EXPECT_EQ("writable", driver.call("storageGetItem", args({"localStorage", "before"})).stringValue());
      driver.call("addFile", args({"download", "1362", 5, "{}"}));
      EXPECT_TRUE(waitForError(driver, "DOWNLOAD_UNWRITABLE"));
      EXPECT_TRUE(driver.call("advanceClock", args({30})).boolValue());  // ten probes of the folders
      EXPECT_EQ(1u, timesLogged(home, toldReadOnly));
      EXPECT_EQ(0u, timesLogged(home, probe)) << "no error for each probe";
      EXPECT_TRUE(playsToTheEnd(driver, "http://127.0.0.1:1/t.mp3?_TEID=1361&_FMT=5&_LOCAL=true&_REPO=download"));
      EXPECT_NE(16, fileField(driver, "download", 1362, "download_state"));
      EXPECT_GE(failures + 2, timesLogged(home, "SQLite failed")) << "no error for each refused write";
      EXPECT_TRUE(readOnly->writable());
      EXPECT_TRUE(driver.call("storageSetItem", args({"localStorage", "after", "stored"})).boolValue());
      EXPECT_EQ("writable", driver.call("storageGetItem", args({"localStorage", "before"})).stringValue())
          << "read on the store opened again";
      EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
      EXPECT_EQ(0, driver.quit());
    }
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    for (const char* key : {"kept", "before", "after"})
      EXPECT_FALSE(driver.call("storageGetItem", args({"localStorage", key})).isNull()) << key;
    EXPECT_TRUE(driver.call("storageGetItem", args({"localStorage", "refused0"})).isNull());
    EXPECT_EQ(16, fileField(driver, "download", 1362, "download_state"));
    EXPECT_EQ(0, driver.quit());
    EXPECT_TRUE(TestFolder::read(track.fixture.file) == TestFolder::read(downloadPath(home, 1362)));
    // Read-only once more, from the start: said again, once.
    ReadOnlyFolders again(storingFolders(home));
    EXPECT_TRUE(again.mounted);
    CoreDriverProcess rerun(kTool, driverArguments(home, urls, {"--test-clock"}));
    EXPECT_TRUE(rerun.waitUntilStarted());
    EXPECT_TRUE(waitForError(rerun, "DOWNLOAD_UNWRITABLE"));
    EXPECT_TRUE(rerun.call("advanceClock", args({30})).boolValue());
    EXPECT_EQ(2u, timesLogged(home, toldReadOnly));
    EXPECT_EQ(0u, timesLogged(home, probe));
    EXPECT_EQ(0, rerun.quit());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Bytes free on the volume that holds `path`.
double freeBytes(const std::string& path) {
  struct statvfs volume;
  return statvfs(path.c_str(), &volume) == 0 ? double(volume.f_bavail) * double(volume.f_frsize) : 0;
}

// A download whose answer has no length and never ends stops before the
// volume's 300 MB reserve, fails with its reason and gives its room back; a
// download with a length on the same volume completes.
TEST_F(CoreDriverTest, ADownloadThatNeverEndsStopsBeforeTheReserveAndGivesItsRoomBack) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string urls =
      writeUrlMap(folder, 1301, {server.url("/nolength=1/endless=1/d"), server.url("/size=3000000/seed=3/d")});
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "400m", [&] {
    const std::string home = volume + "/home";
    const double before = freeBytes(volume);
    double least = before;
    std::string failure;
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      driver.call("addFile", args({"download", "1301", 5, "{}"}));
      for (int i = 0; i < 1200 && fileField(driver, "download", 1301, "download_state") != 8; ++i) {
        least = std::min(least, freeBytes(volume));
        driver.call("sleep", args({25}));
      }
      JKValue answer = driver.callAndWaitForCallback("getFiles", args({strings({"download"}), 0, 8}));
      const JKValue* files = field(answer, "files");
      const JKValue* told = files && files->isArray() && files->array()->count() == 1
                                ? field(files->array()->objectAtIndex(0), "failure")
                                : nullptr;
      failure = told ? told->stringValue() : "";
      EXPECT_EQ(-1, fileField(driver, "download", 1301, "bytes_total")) << "its bytes are gone";
      EXPECT_TRUE(downloadAll(driver, 1302, 1, 60000));
      driver.quit();
    }
    EXPECT_EQ("answer without a length, too large to store", failure);
    EXPECT_GT(least, 295e6) << "the reserve was taken";
    EXPECT_GT(freeBytes(volume), before - 3e6 - 2e6) << "the room of the failed download was kept";
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Why a download last failed, as the page is told (empty: it has not).
std::string downloadFailure(CoreDriverProcess& driver, int entity) {
  JKValue file = fileRecord(driver, "download", entity);
  const JKValue* failure = file.isNull() ? nullptr : field(file, "failure");
  return failure ? failure->stringValue() : "";
}

// Polls the failure of a download until it has one; empty when it never does.
std::string waitForDownloadFailure(CoreDriverProcess& driver, int entity) {
  std::string failure;
  for (int i = 0; i < 800 && failure.empty(); ++i) {
    failure = downloadFailure(driver, entity);
    if (failure.empty()) driver.call("sleep", args({25}));
  }
  return failure;
}

// A download that failed for want of room and waits to be tried again.
void expectWaitingForRoom(CoreDriverProcess& driver, int entity) {
  EXPECT_EQ("could not be stored", waitForDownloadFailure(driver, entity));
  EXPECT_EQ(4, fileField(driver, "download", entity, "download_state")) << "it waits to be tried again";
}

// Takes the volume's free space down to `bytes` with a file "filler".
void leaveFree(const std::string& volume, double bytes) {
  const int filler = open((volume + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  EXPECT_EQ(0, posix_fallocate(filler, 0, off_t(freeBytes(volume) - bytes)));
  close(filler);
}

// Whether the content of a download is the server's bytes of `seed`.
bool holdsServedBytes(const std::string& home, int entity, int seed, size_t size) {
  const std::string content = TestFolder::read(downloadPath(home, entity));
  const std::vector<uint8_t> expected = TestHttpServer::content(seed, 0, size);
  return content.size() == size && std::memcmp(content.data(), expected.data(), size) == 0;
}

// Another program fills the volume while a download without a length
// arrives: the download waits, as one with a length does, and is not told
// too large; once the room is back it completes byte-exact by itself.
TEST_F(CoreDriverTest, ADownloadWithoutALengthWaitsOutAVolumeAnotherProgramFilled) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const size_t size = 12000000;
  const std::string urls =
      writeUrlMap(folder, 1311, {server.url("/nolength=1/size=12000000/seed=11/throttle=2500000/d")});
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "320m", [&] {
    const std::string home = volume + "/home";
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      driver.call("addFile", args({"download", "1311", 5, "{}"}));
      for (int i = 0; i < 800 && fileField(driver, "download", 1311, "bytes_loaded") < 1000000; ++i)
        driver.call("sleep", args({25}));
      fillVolume(volume);
      expectWaitingForRoom(driver, 1311);
      std::remove((volume + "/filler").c_str());
      EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 60000})).boolValue());
      EXPECT_EQ(0, driver.quit());
    }
    EXPECT_EQ(size, TestFolder::read(downloadPath(home, 1311)).size());
    EXPECT_TRUE(holdsServedBytes(home, 1311, 11, size));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Another program takes less of the volume than a download without a length
// holds, but enough that the download meets the 300 MB reserve: the download
// would have fitted the room the volume offered, so it waits as "could not be
// stored" and completes byte-exact once the room is back, rather than fail
// for good as too large.
TEST_F(CoreDriverTest, ADownloadWithoutALengthWaitsOutAnotherProgramTakingLessThanItHolds) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const size_t size = 28000000;
  const std::string urls =
      writeUrlMap(folder, 1351, {server.url("/nolength=1/size=28000000/seed=51/throttle=6000000/d")});
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "340m", [&] {
    const std::string home = volume + "/home";
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    // 30 MB past the reserve: room for the download and 2 MB more.
    leaveFree(volume, 300e6 + 30e6);
    driver.call("addFile", args({"download", "1351", 5, "{}"}));
    for (int i = 0; i < 800 && fileField(driver, "download", 1351, "bytes_loaded") < 16000000; ++i)
      driver.call("sleep", args({25}));
    const int other = open((volume + "/other").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(0, posix_fallocate(other, 0, 12000000));
    close(other);
    expectWaitingForRoom(driver, 1351);
    std::remove((volume + "/other").c_str());
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 90000})).boolValue());
    EXPECT_EQ(0, driver.quit());
    EXPECT_TRUE(holdsServedBytes(home, 1351, 51, size));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A download without a length added while the volume is short of its 300 MB
// reserve waits as "could not be stored", as one with a length would wait
// for a volume without room, and is not told too large (the volume never
// offered it room); so it does when the driver starts again on the volume
// still short. Once room is back it completes byte-exact. A download with a
// length is taken below the reserve meanwhile.
TEST_F(CoreDriverTest, ADownloadWithoutALengthBegunShortOfTheReserveWaitsForRoom) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const size_t size = 3000000;
  const std::string urls = writeUrlMap(
      folder, 1341, {server.url("/nolength=1/size=3000000/seed=41/d"), server.url("/size=3000000/seed=42/d")});
  auto asked = [&] {
    size_t count = 0;
    for (const TestHttpRequest& request : server.getRequests())
      count += request.path.find("seed=41") != std::string::npos;
    return count;
  };
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "320m", [&] {
    const std::string home = volume + "/home";
    {
      CoreDriverProcess driver(kTool, driverArguments(home, urls));
      EXPECT_TRUE(driver.waitUntilStarted());
      leaveFree(volume, 280e6);
      EXPECT_TRUE(downloadAll(driver, 1342, 1, 30000)) << "with a length";
      driver.call("addFile", args({"download", "1341", 5, "{}"}));
      expectWaitingForRoom(driver, 1341);
      EXPECT_EQ(0, driver.quit());
    }
    const size_t before = asked();
    CoreDriverProcess driver(kTool, driverArguments(home, urls));
    EXPECT_TRUE(driver.waitUntilStarted());
    for (int i = 0; i < 800 && asked() == before; ++i) driver.call("sleep", args({25}));
    EXPECT_GT(asked(), before) << "tried again after the start";
    std::remove((volume + "/filler").c_str());
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
    EXPECT_EQ("", downloadFailure(driver, 1341));
    EXPECT_EQ(0, driver.quit());
    EXPECT_TRUE(holdsServedBytes(home, 1341, 41, size));
    EXPECT_TRUE(holdsServedBytes(home, 1342, 42, size));
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// The bounds of an answer without a length hold at the bound itself: a
// download a little smaller than the largest track, or of its very size,
// completes and one a little larger, or a byte larger, fails as too large;
// one that leaves the volume a little more than its 300 MB reserve
// completes and one a little larger than the room past the reserve fails as
// too large. One that would take a little of the reserve after the room was
// taken waits for room (the volume offered it none) and completes once room
// is back; one that fits a room past the reserve too small to judge its size
// by is taken. The driver lowers the largest track to 12 MB.
TEST_F(CoreDriverTest, DownloadsWithoutALengthGrowUpToTheirBounds) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  TestHttpServer server;
  ASSERT_TRUE(server.isRunning());
  const std::string urls = writeUrlMap(
      folder, 1321,
      {server.url("/nolength=1/size=11990000/seed=21/d"), server.url("/nolength=1/size=12010000/seed=22/d"),
       server.url("/nolength=1/size=10000000/seed=23/d"), server.url("/nolength=1/size=1000000/seed=24/d"),
       server.url("/nolength=1/size=12000000/seed=25/d"), server.url("/nolength=1/size=12000001/seed=26/d"),
       server.url("/nolength=1/size=10400000/seed=27/d"), server.url("/nolength=1/size=4500000/seed=28/d")});
  const std::string volume = folder.folder("small");
  const char* const tooLarge = "answer without a length, too large to store";
  const int result = TestSmallVolume::run(volume, "340m", [&] {
    const std::string home = volume + "/home";
    CoreDriverProcess driver(kTool, driverArguments(home, urls, {"--largest-track", "12000000"}));
    EXPECT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(downloadAll(driver, 1321, 1, 30000)) << "a little under the largest track";
    driver.call("addFile", args({"download", "1322", 5, "{}"}));
    EXPECT_EQ(tooLarge, waitForDownloadFailure(driver, 1322)) << "a little over it";
    driver.call("addFile", args({"download", "1325", 5, "{}"}));
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 30000})).boolValue())
        << "the largest track itself";
    EXPECT_TRUE(holdsServedBytes(home, 1325, 25, 12000000));
    driver.call("addFile", args({"download", "1326", 5, "{}"}));
    EXPECT_EQ(tooLarge, waitForDownloadFailure(driver, 1326)) << "a byte over it";
    // The volume is left with the reserve, the next download and 200 kB.
    leaveFree(volume, 300e6 + 10000000 + 200000);
    driver.call("addFile", args({"download", "1327", 5, "{}"}));
    EXPECT_EQ(tooLarge, waitForDownloadFailure(driver, 1327)) << "a little more than the room past the reserve";
    driver.call("addFile", args({"download", "1323", 5, "{}"}));
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 3, 30000})).boolValue())
        << "leaves a little more than the reserve";
    driver.call("addFile", args({"download", "1324", 5, "{}"}));
    EXPECT_EQ("could not be stored", waitForDownloadFailure(driver, 1324)) << "would take a little of the reserve";
    std::remove((volume + "/filler").c_str());
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 4, 60000})).boolValue())
        << "completes once room is back";
    // Less room past the reserve than the slack, but enough for the answer.
    leaveFree(volume, 300e6 + 5000000);
    driver.call("addFile", args({"download", "1328", 5, "{}"}));
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"download"}), 2, 16, 5, 30000})).boolValue())
        << "fits a little room past the reserve";
    EXPECT_TRUE(holdsServedBytes(home, 1328, 28, 4500000));
    EXPECT_EQ(0, driver.quit());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// On a volume with less than the 300 MB reserve free, a track whose server
// sends no length plays to its end as the same track with a length does: the
// cache's limit gives it its room, as it gives a track of known size.
TEST_F(CoreDriverTest, ATrackWithoutALengthPlaysOnAVolumeShortOfTheReserve) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  setenv("VELORA_TESTSERVER_ROOT", folder.folder("media").c_str(), 1);
  TestHttpServer withoutLength;
  ASSERT_TRUE(withoutLength.isRunning());
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "64m", [&] {
    CoreDriverProcess driver(kTool, driverArguments(volume + "/home", ""));
    EXPECT_TRUE(driver.waitUntilStarted());
    EXPECT_TRUE(playsToTheEnd(driver, track.url(1501))) << "with a length";
    EXPECT_TRUE(playsToTheEnd(driver, withoutLength.url("/file=track.mp3/nolength=1/t.mp3?_TEID=1502&_FMT=5")))
        << "without a length";
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 2, 0, 2, 20000})).boolValue())
        << "both are cached whole";
    EXPECT_EQ(0, driver.quit());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// Another program fills the volume while a track without a length plays
// and arrives: once the room is back the track plays to its end and its
// cache file holds the server's bytes.
TEST_F(CoreDriverTest, ATrackWithoutALengthPlaysOnOnceAVolumeAnotherProgramFilledHasRoomAgain) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "needs threads in a forked child, which the thread sanitizer cannot follow";
#endif
  TestFolder folder;
  // 2 MB: more than the first step the cache file grows by.
  const vetest::Fixture fixture = vetest::mp3("driver-track-on-a-filled-volume", 60.0, 44100, 2, "-b 256");
  const std::string media = folder.folder("media");
  ASSERT_TRUE(run("cp " + fixture.file + " " + media + "/long.mp3"));
  setenv("VELORA_TESTSERVER_ROOT", media.c_str(), 1);
  TestHttpServer withoutLength;
  ASSERT_TRUE(withoutLength.isRunning());
  const std::string volume = folder.folder("small");
  const int result = TestSmallVolume::run(volume, "64m", [&] {
    const std::string home = volume + "/home";
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    EXPECT_TRUE(driver.waitUntilStarted());
    const int sound = int(driver
                              .call("createSound", args({withoutLength.url("/file=long.mp3/nolength=1/throttle=400000/"
                                                                           "long.mp3?_TEID=1361&_FMT=5")}))
                              .int64Value());
    EXPECT_TRUE(driver.call("play", args({sound})).boolValue());
    for (int i = 0; i < 800 && fileField(driver, "cache", 1361, "bytes_loaded") < 300000; ++i)
      driver.call("sleep", args({25}));
    fillVolume(volume);
    for (int i = 0; i < 800 && withoutLength.getRequests().empty(); ++i) driver.call("sleep", args({25}));
    const JKValue record = fileRecord(driver, "cache", 1361);
    const JKValue* failure = record.isNull() ? nullptr : field(record, "failure");
    EXPECT_EQ("could not be stored", failure ? failure->stringValue() : "");
    std::remove((volume + "/filler").c_str());
    bool played = false, ended = false;
    for (int i = 0; i < 4800 && !ended; ++i) {
      const bool playing = driver.call("getPlaying", args({sound})).boolValue();
      played = played || playing;
      ended = played && !playing;
      if (!ended) driver.call("sleep", args({25}));
    }
    EXPECT_TRUE(ended) << "state " << driver.call("getState", args({sound})).int64Value();
    EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 2, 0, 1, 30000})).boolValue());
    const std::string cached =
        TestFolder::read(home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_1361_5"));
    EXPECT_TRUE(cached == TestFolder::read(media + "/long.mp3")) << cached.size() << " bytes cached";
    EXPECT_EQ(0, driver.quit());
    return ::testing::Test::HasFailure() ? 1 : 0;
  });
  if (result == -1) GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm refused)";
  EXPECT_EQ(0, result);
}

// A track without a length of exactly the largest track's size plays to its
// end and is cached whole; one byte more than the largest track is refused
// as too large, and its bytes are not kept.
TEST_F(CoreDriverTest, ATrackWithoutALengthMayBeAsLargeAsTheLargestTrack) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  const std::string media = folder.folder("media");
  const size_t size = TestFolder::sizeOf(media + "/track.mp3");
  setenv("VELORA_TESTSERVER_ROOT", media.c_str(), 1);
  TestHttpServer withoutLength;
  ASSERT_TRUE(withoutLength.isRunning());
  const std::string url = withoutLength.url("/file=track.mp3/nolength=1/t.mp3?_TEID=1371&_FMT=5");
  for (const size_t largest : {size, size - 1}) {
    SCOPED_TRACE(largest == size ? "the largest track's size" : "a byte more");
    const std::string home = folder.folder("home" + std::to_string(largest));
    CoreDriverProcess driver(kTool, driverArguments(home, "", {"--largest-track", std::to_string(largest)}));
    ASSERT_TRUE(driver.waitUntilStarted());
    const std::string cached = home + "/cache/velora-desktop/cache/" + md5("cache_#anonymous#_1371_5");
    if (largest == size) {
      EXPECT_TRUE(playsToTheEnd(driver, url));
      EXPECT_TRUE(driver.call("waitForFileCount", args({strings({"cache"}), 2, 0, 1, 20000})).boolValue());
      EXPECT_TRUE(TestFolder::read(cached) == TestFolder::read(media + "/track.mp3"));
    } else {
      const int sound = int(driver.call("createSound", args({url})).int64Value());
      driver.call("play", args({sound}));
      std::string failure;
      for (int i = 0; i < 800 && failure.empty(); ++i) {
        const JKValue record = fileRecord(driver, "cache", 1371);
        const JKValue* told = record.isNull() ? nullptr : field(record, "failure");
        failure = told ? told->stringValue() : "";
        if (failure.empty()) driver.call("sleep", args({25}));
      }
      EXPECT_EQ("answer without a length, too large to store", failure);
      EXPECT_EQ(-1, fileField(driver, "cache", 1371, "bytes_total")) << "its bytes are gone";
    }
    EXPECT_EQ(0, driver.quit());
  }
}

// The lines of the core's log that a clean run must not write: errors, and
// the warnings of files left open.
std::vector<std::string> troubleInLog(const std::string& home) {
  std::vector<std::string> trouble;
  std::istringstream log(TestFolder::read(home + "/state/velora-desktop/desktop.log"));
  for (std::string line; std::getline(log, line);) {
    if (line.find(" ERROR ") != std::string::npos || line.find("left open") != std::string::npos ||
        line.find("still open") != std::string::npos)
      trouble.push_back(line);
  }
  return trouble;
}

TEST_F(CoreDriverTest, QuittingWhileStreamsEndOrAreDeletedLogsNoError) {
  TestFolder folder;
  ServedTrack track(folder);
  ASSERT_TRUE(track.ready());
  for (int run = 0; run < 6; ++run) {
    const std::string home = folder.folder("home" + std::to_string(run));
    CoreDriverProcess driver(kTool, driverArguments(home, ""));
    ASSERT_TRUE(driver.waitUntilStarted());
    // Streams that reach the end of their files one after the other while
    // the core stops: each closes its file on its own engine thread.
    std::vector<std::pair<std::string, JKValue>> calls;
    for (int sound = 1; sound <= 16; ++sound) {
      calls.push_back({"createSound", args({track.url(940 + sound % 4)})});
      calls.push_back({"play", args({sound})});
      calls.push_back({"sleep", args({10 + run})});
    }
    calls.push_back({"deleteSound", args({16})});
    driver.callAll(calls);
    EXPECT_EQ(0, driver.quit());
    const std::vector<std::string> trouble = troubleInLog(home);
    ASSERT_TRUE(trouble.empty()) << "run " << run << ", " << trouble.size() << " lines, first: " << trouble[0];
  }
}

}  // namespace
