// Streams and downloads behind tools/velora-core against what networks really
// do, played by the fault-injecting test server: answers cut short, a captive
// portal's page, validators that change, signed addresses that expire,
// addresses with raw spaces and letters outside ASCII, a server that goes away
// for a moment and one that swallows the request.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CoreDriverProcess.h"
#include "DriverValues.h"
#include "TestFolder.h"
#include "TestHttpServer.h"
#include "VETestSupport.h"
#include "VLCrypto.h"
#include "VLPlatformFactory.h"

namespace {

const char* const kTool = VELORA_CORE_TOOL;

using driverjson::args;
using driverjson::field;
using driverjson::number;
using driverjson::strings;

class NetworkFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestHttpServer::clearProxyEnvironment();
    setenv("VELORA_TESTSERVER_ROOT", vetest::scratchDir().c_str(), 1);
  }

  // A 30-second MP3 (128 kbit/s, 480 kB) in the server's folder; its name.
  static std::string track() {
    static const vetest::Fixture fixture = vetest::mp3("network-fault-track", 30.0, 44100, 2, "-b 128");
    return fixture.file.substr(fixture.file.rfind('/') + 1);
  }

  // A 3-second MP3 in the server's folder; its name.
  static std::string shortTrack() {
    static const vetest::Fixture fixture = vetest::mp3("network-fault-short-track", 3.0, 44100, 2, "-b 128");
    return fixture.file.substr(fixture.file.rfind('/') + 1);
  }

  // A 12-second MP3 at 320 kbit/s (480 kB, 40 kB a second) in the server's
  // folder; its name.
  static std::string fastTrack() {
    static const vetest::Fixture fixture = vetest::mp3("network-fault-fast-track", 12.0, 44100, 2, "-b 320");
    return fixture.file.substr(fixture.file.rfind('/') + 1);
  }

  // Stops the processes (SIGSTOP) for `seconds`, then lets them go on.
  static void stopAndContinue(const std::vector<pid_t>& processes, int seconds) {
    for (pid_t pid : processes) ASSERT_EQ(0, ::kill(pid, SIGSTOP));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (pid_t pid : processes) ASSERT_EQ(0, ::kill(pid, SIGCONT));
  }

  // The stream URL of entity `entity` on the test server, with faults.
  std::string streamUrl(const std::string& faults, int entity, const std::string& name = track()) {
    return server.url("/file=" + name + "/" + faults + "/t.mp3?_TEID=" + std::to_string(entity) + "&_FMT=5");
  }

  // A driver over a fresh home; `urls` maps "<entity>_5" to download URLs.
  // With testClock, advanceClock moves the core's clock ahead.
  std::unique_ptr<CoreDriverProcess> startDriver(const std::vector<std::pair<int, std::string>>& urls = {},
                                                 bool testClock = false) {
    std::vector<std::string> arguments = {"--home", folder.folder("home"), "--output", "5:0"};
    if (testClock) arguments.push_back("--test-clock");
    if (!urls.empty()) {
      std::ofstream out(folder.file("urls.json"));
      out << "{";
      for (size_t i = 0; i < urls.size(); ++i)
        out << (i ? "," : "") << "\"" << urls[i].first << "_5\":\"" << urls[i].second << "\"";
      out << "}";
      arguments.push_back("--urls");
      arguments.push_back(folder.file("urls.json"));
    }
    auto driver = std::make_unique<CoreDriverProcess>(kTool, arguments);
    EXPECT_TRUE(driver->waitUntilStarted());
    return driver;
  }

  static int64_t ask(CoreDriverProcess& driver, const char* call, int sound) {
    return driver.call(call, args({sound})).int64Value();
  }

  // Lets the core run until cond holds; false after `seconds` (a guard
  // against hangs, not a measure).
  static bool runUntil(CoreDriverProcess& driver, const std::function<bool()>& cond, int seconds = 30) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (cond()) return true;
      driver.call("sleep", args({50}));
    }
    return cond();
  }

  // Plays a new sound of `url` until it is heard; its id, or 0 when it
  // never started (then `state` holds its last state).
  static int playUntilHeard(CoreDriverProcess& driver, const std::string& url, int64_t* state = nullptr) {
    const int sound = int(driver.call("createSound", args({url})).int64Value());
    if (sound <= 0) return 0;
    driver.call("play", args({sound}));
    bool heard =
        runUntil(driver, [&] { return ask(driver, "getPosition", sound) > 0 || ask(driver, "getState", sound) == 2; });
    if (state) *state = ask(driver, "getState", sound);
    return heard && ask(driver, "getPosition", sound) > 0 ? sound : 0;
  }

  // Lets the core run until `sound` has played to its end or failed (2);
  // false after `seconds`.
  static bool runUntilEndedOrFailed(CoreDriverProcess& driver, int sound, int seconds) {
    return runUntil(
        driver,
        [&] {
          const int64_t length = ask(driver, "getLength", sound);
          return ask(driver, "getState", sound) == 2 ||
                 (length > 0 && !driver.call("getPlaying", args({sound})).boolValue() &&
                  ask(driver, "getPosition", sound) >= length);
        },
        seconds);
  }

  // Plays a slowly served track until it is heard, then seeks it to 20 s
  // while its file is still arriving; the sound, or 0 when it was never heard.
  static int playThenSeekWhileArriving(CoreDriverProcess& driver, const std::string& url) {
    const int sound = playUntilHeard(driver, url);
    if (sound > 0) {
      driver.call("setPosition", args({sound, 20000}));
      driver.call("sleep", args({200}));
    }
    return sound;
  }

  // A number of the record of entity `entity` in the cache, among the files
  // with `flags`; -1 when there is none.
  static int64_t cachedFileNumber(CoreDriverProcess& driver, int entity, const char* key, int flags = 0) {
    return fileNumber(driver, "cache", entity, key, flags);
  }

  // A number of the record of entity `entity` in `repository`, among the
  // files with `flags`; -1 when there is none.
  static int64_t fileNumber(CoreDriverProcess& driver, const char* repository, int entity, const char* key,
                            int flags = 0) {
    JKValue answer = driver.callAndWaitForCallback("getFiles", args({strings({repository}), flags, 0}));
    const JKValue* files = field(answer, "files");
    for (size_t i = 0; files && files->isArray() && i < files->array()->count(); ++i) {
      const JKValue& file = files->array()->objectAtIndex(i);
      if (number(file, "entity_id") == entity) return number(file, key);
    }
    return -1;
  }

  // The requests logged so far whose path contains `part`.
  size_t requestsFor(const std::string& part) {
    size_t count = 0;
    for (const TestHttpRequest& request : server.getRequests())
      count += request.path.find(part) != std::string::npos ? 1 : 0;
    return count;
  }

  // Waits until the page is told that download `entity` waits for a retry
  // because of `failure`.
  static bool toldRetryBecause(CoreDriverProcess& driver, int entity, const std::string& failure) {
    return driver.waitForLine(
        [&](const JKValue& line) {
          const JKValue* files = field(line, "files");
          for (size_t i = 0; files && files->isArray() && i < files->array()->count(); ++i) {
            const JKValue& file = files->array()->objectAtIndex(i);
            const JKValue* told = field(file, "failure");
            if (number(file, "entity_id") == entity && number(file, "retry_in") > 0 && told &&
                told->stringValue() == failure)
              return true;
          }
          return false;
        },
        nullptr, 30);
  }

  // The anonymous memory the driver holds now, in bytes (its heap and the
  // like, not the files it maps).
  static size_t anonymousMemory(CoreDriverProcess& driver) {
    std::ifstream status("/proc/" + std::to_string(driver.pid()) + "/status");
    std::string key;
    size_t kilobytes = 0;
    while (status >> key) {
      if (key == "RssAnon:" && status >> kilobytes) return kilobytes * 1024;
      status.ignore(1 << 20, '\n');
    }
    return 0;
  }

  // Moves the core's test clock on, 2 s at a time, until `count` downloads
  // are done; false once it moved `seconds` without that.
  static bool advanceUntilDone(CoreDriverProcess& driver, int count, int seconds) {
    for (int advanced = 0; advanced < seconds; advanced += 2) {
      driver.call("advanceClock", args({2}));
      if (driver.call("waitForFileCount", args({strings({"download"}), 2, 16, count, 100})).boolValue()) return true;
    }
    return false;
  }

  // The content file of a download, as stored in the music folder.
  std::string downloaded(int entity) {
    std::unique_ptr<VLCrypto> crypto(VLPlatformFactory::instance()->createCrypto());
    return TestFolder::read(folder.folder("home") + "/Music/Velora/" +
                            crypto->md5("download_#anonymous#_" + std::to_string(entity) + "_5"));
  }

  TestFolder folder;
  TestHttpServer server;
};

TEST_F(NetworkFaultTest, ATrackStartsOnTheFirstBlocksOfAnswersCutShort) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  // Every answer ends after 30 kB, whatever it announced.
  int64_t state = 0;
  const int sound = playUntilHeard(*driver, streamUrl("truncate=30000", 1001), &state);
  ASSERT_GT(sound, 0) << "never heard, state " << state;
  EXPECT_LT(requestsFor("truncate="), 8u) << "it started long before the whole file was stored";
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, AddressesWithRawSpacesAndLettersOutsideAsciiPlayAndDownload) {
  ASSERT_TRUE(server.isRunning());
  const std::string name = "piste \xc3\xa9t\xc3\xa9 1.mp3";
  ASSERT_EQ(0, std::system(("cp '" + vetest::path(track()) + "' '" + vetest::path(name) + "'").c_str()));
  const std::string raw = server.url("/file=" + name + "/t.mp3");
  auto driver = startDriver({{1011, raw}});
  int64_t state = 0;
  EXPECT_GT(playUntilHeard(*driver, raw + "?_TEID=1010&_FMT=5", &state), 0) << "state " << state;

  driver->call("addFile", args({"download", "1011", 5, "{}"}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 30000})).boolValue());
  const std::string audio = TestFolder::read(vetest::path(name));
  EXPECT_EQ(audio.size(), downloaded(1011).size());
  EXPECT_TRUE(audio == downloaded(1011));
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, ACaptivePortalsPageNeverBecomesTheTrack) {
  ASSERT_TRUE(server.isRunning());
  const std::string audio = TestFolder::read(vetest::path(track()));
  // A portal that shows its page once, as text/html; one that labels it as
  // a binary file; and a server that compresses unless asked not to.
  const std::string mislabelled = "portaltimes=1/type=application%2Foctet-stream";
  auto driver = startDriver({{1023, server.url("/file=" + track() + "/" + mislabelled + "/d.mp3")}});
  int64_t state = 0;
  EXPECT_GT(playUntilHeard(*driver, streamUrl("portaltimes=1", 1020), &state), 0) << "state " << state;
  EXPECT_GT(playUntilHeard(*driver, streamUrl("gzip=1", 1021), &state), 0) << "state " << state;

  // The mislabelled page is stored whole and refused by the engine; the
  // next play of the track fetches it again.
  EXPECT_EQ(0, playUntilHeard(*driver, streamUrl(mislabelled, 1022), &state));
  EXPECT_EQ(2, state);
  EXPECT_TRUE(runUntil(*driver, [&] { return cachedFileNumber(*driver, 1022, "bytes_loaded") == 0; }))
      << "the page is no longer the stored track";
  EXPECT_GT(playUntilHeard(*driver, streamUrl(mislabelled, 1022), &state), 0) << "state " << state;

  // A download is done only with the audio in it.
  driver->call("addFile", args({"download", "1023", 5, "{}"}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 30000})).boolValue());
  EXPECT_EQ(audio.size(), downloaded(1023).size());
  EXPECT_TRUE(audio == downloaded(1023));
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, ASeekAfterTheSignedAddressExpiredAsksThePagesAddressAgain) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  // The page's address redirects to a fresh signed address that answers
  // once and then refuses (403).
  const int sound = playThenSeekWhileArriving(*driver, streamUrl("signed=1/throttle=64000", 1030));
  ASSERT_GT(sound, 0);
  EXPECT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", sound) > 21000; }))
      << "stopped at " << ask(*driver, "getPosition", sound) << ", state " << ask(*driver, "getState", sound);
  EXPECT_GE(ask(*driver, "getLength", sound), 29000);
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, AValidatorThatChangesWhileATrackPlaysFailsItToThePagePaced) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  // Every answer after the first carries another ETag: the bytes stored
  // and the bytes served are no longer the same file.
  const int sound = playThenSeekWhileArriving(*driver, streamUrl("etagafter=1/throttle=64000", 1040));
  ASSERT_GT(sound, 0);
  EXPECT_TRUE(runUntil(
      *driver, [&] { return ask(*driver, "getState", sound) == 2; }, 45))
      << "state " << ask(*driver, "getState", sound) << ", playing " << ask(*driver, "getPlaying", sound);
  // The first answer, then refused ones no faster than the retry delays.
  EXPECT_LE(requestsFor("etagafter="), 6u);
  EXPECT_EQ(0, driver->quit());
}

// A file replaced on the server by another of the same size between two
// answers of a download, by a server that sends no validators, is never
// stored as a mix of the two: the resumed answer brings a stored block
// again, which differs, and the file is fetched again whole.
TEST_F(NetworkFaultTest, AFileReplacedMidDownloadWithoutValidatorsIsStoredAsOneVersion) {
  ASSERT_TRUE(server.isRunning());
  const size_t size = 200000;
  auto driver = startDriver({{1090, server.url("/size=200000/seed=7/etag=none/truncate=120000/swapafter=1/d")}});
  driver->call("addFile", args({"download", "1090", 5, "{}"}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 90000})).boolValue());
  EXPECT_EQ(0, driver->quit());
  const std::string stored = downloaded(1090);
  const std::vector<uint8_t> replaced = TestHttpServer::content(8, 0, size);
  ASSERT_EQ(size, stored.size());
  EXPECT_TRUE(std::equal(replaced.begin(), replaced.end(), stored.begin(), [](uint8_t expected, char byte) {
    return expected == uint8_t(byte);
  })) << "a mix of both files";
}

// A server that stops mid-answer closes as cleanly as one that sent it all:
// a download whose answer has no length is done only once two answers ended
// at the same byte, never as the part a cut answer brought.
TEST_F(NetworkFaultTest, ADownloadWithoutLengthIsDoneOnlyOnceTwoAnswersEndAlike) {
  ASSERT_TRUE(server.isRunning());
  const std::string faults = "nolength=1/truncate=100000/truncatetimes=1";
  auto driver = startDriver({{1095, server.url("/file=" + track() + "/" + faults + "/d.mp3")}});
  driver->call("addFile", args({"download", "1095", 5, "{}"}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 60000})).boolValue());
  EXPECT_EQ(0, driver->quit());
  const std::string audio = TestFolder::read(vetest::path(track()));
  EXPECT_EQ(audio.size(), downloaded(1095).size());
  EXPECT_TRUE(audio == downloaded(1095));
  EXPECT_EQ(3u, requestsFor("truncatetimes=")) << "the cut answer, the whole one and the one that confirms it";
}

// The tries a download that fails each time has made by `seconds` of the
// core's clock at most: the first, and one 4, 8, 16, ... s after each failure.
size_t triesDueBy(double seconds) {
  size_t tries = 1;
  for (double wait = 4, due = 4; due <= seconds; wait *= 2, due += wait) ++tries;
  return tries;
}

// Seconds of the core's test clock since `start`: the real ones and those
// the test advanced it by.
double clockSecondsSince(std::chrono::steady_clock::time_point start, double advanced) {
  return advanced + std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Downloads whose server fails them (503, a reset in the middle of the
// answer, answers without a length that end at another byte each time, here
// each shorter than the last) give
// their slots to the downloads queued behind them while they wait for their
// next try, and keep their retry schedule; once their server answers
// honestly, they complete.
TEST_F(NetworkFaultTest, DownloadsWaitingForTheirNextTryLeaveTheirSlotsToTheOnesBehind) {
  ASSERT_TRUE(server.isRunning());
  const std::string file = "/file=" + track();
  // Five bad answers each, then honest ones.
  const std::string bad[] = {file + "/failtimes=5/d.mp3", file + "/truncate=1000/reset=1/truncatetimes=5/d.mp3",
                             file + "/nolength=1/truncate=100000/truncatestep=-4096/truncatetimes=5/d.mp3"};
  std::vector<std::pair<int, std::string>> urls;
  for (int i = 0; i < 3; ++i) urls.push_back({1140 + i, server.url(bad[i])});
  for (int i = 0; i < 3; ++i) urls.push_back({1143 + i, server.url(file + "/honest" + std::to_string(i) + ".mp3")});
  auto driver = startDriver(urls, true);
  const auto added = std::chrono::steady_clock::now();
  for (const auto& entry : urls) driver->call("addFile", args({"download", std::to_string(entry.first), 5, "{}"}));
  auto clockSeconds = [&](double advanced) { return clockSecondsSince(added, advanced); };
  auto state = [&](int entity) { return fileNumber(*driver, "download", entity, "download_state"); };
  // The largest count of tries the retry schedule allows by now; the answer
  // without a length is asked for once more at once, to confirm its end.
  auto expectPaced = [&](double advanced) {
    const size_t due = triesDueBy(clockSeconds(advanced));
    EXPECT_LE(requestsFor("failtimes=5/"), due) << "503";
    EXPECT_LE(requestsFor("reset=1/"), due) << "reset";
    EXPECT_LE(requestsFor("truncatestep="), due + 1) << "without a length";
  };

  // Limit 3: the honest downloads complete while the three bad ones wait.
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 3, 60000})).boolValue());
  for (int entity = 1140; entity < 1143; ++entity) EXPECT_EQ(4, state(entity)) << entity;
  for (int entity = 1143; entity < 1146; ++entity) EXPECT_EQ(16, state(entity)) << entity;
  expectPaced(0);

  // 50 s on, the fourth try at most (0, 4, 12, 28 s): the delays grow.
  double advanced = 0;
  for (; clockSeconds(advanced) < 50; advanced += 2) {
    driver->call("advanceClock", args({2}));
    driver->call("sleep", args({50}));
  }
  expectPaced(advanced);
  for (int entity = 1140; entity < 1143; ++entity) EXPECT_EQ(4, state(entity)) << entity;

  // The sixth try (at 124 s) is answered honestly: each is then done, byte-exact.
  bool done = false;
  for (; !done && advanced < 400; advanced += 2) {
    driver->call("advanceClock", args({2}));
    done = driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 6, 100})).boolValue();
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(0, driver->quit());
  const std::string audio = TestFolder::read(vetest::path(track()));
  for (int entity = 1140; entity < 1146; ++entity) EXPECT_TRUE(audio == downloaded(entity)) << entity;
  EXPECT_EQ(6u, requestsFor("failtimes=5/"));
  EXPECT_EQ(6u, requestsFor("reset=1/"));
  EXPECT_EQ(7u, requestsFor("truncatestep=")) << "five cut answers, then the whole one twice";
}

// A whole album from a server that answers 503, queued ahead of honest
// downloads, with more tracks than the limit lets run: every one of them
// waits for its next try without a slot, the honest downloads complete
// meanwhile, and once the server answers again the album completes too.
TEST_F(NetworkFaultTest, AnAlbumOfFailingDownloadsLetsTheDownloadsQueuedBehindItRun) {
  ASSERT_TRUE(server.isRunning());
  const std::string file = "/file=" + shortTrack();
  const int album = 12;  // four times the limit of 3
  std::vector<std::pair<int, std::string>> urls;
  for (int i = 0; i < album; ++i)
    urls.push_back({1170 + i, server.url(file + "/failtimes=5/album" + std::to_string(i) + ".mp3")});
  for (int i = 0; i < 3; ++i)
    urls.push_back({1170 + album + i, server.url(file + "/behind" + std::to_string(i) + ".mp3")});
  auto driver = startDriver(urls, true);
  for (const auto& entry : urls) driver->call("addFile", args({"download", std::to_string(entry.first), 5, "{}"}));

  auto state = [&](int entity) { return fileNumber(*driver, "download", entity, "download_state"); };
  EXPECT_TRUE(runUntil(
      *driver, [&] { return state(1170 + album) == 16 && state(1171 + album) == 16 && state(1172 + album) == 16; }, 60))
      << "the downloads behind the album completed";
  for (int i = 0; i < album; ++i) EXPECT_EQ(4, state(1170 + i)) << i;

  // The sixth try of each (124 s on) is answered: all are done.
  EXPECT_TRUE(advanceUntilDone(*driver, album + 3, 400));
  EXPECT_EQ(0, driver->quit());
  const std::string audio = TestFolder::read(vetest::path(shortTrack()));
  for (const auto& entry : urls) EXPECT_TRUE(audio == downloaded(entry.first)) << entry.first;
  EXPECT_EQ(size_t(album) * 6, requestsFor("/album")) << "five 503s and the file, for each";
}

// Downloads waiting for their next try, as the user handles them: a paused
// one asks the server nothing until resumed, and is tried at once then; a
// removed one leaves no transfer and no file; across a restart, a waiting
// one is tried again at once. Each completes once its server answers.
TEST_F(NetworkFaultTest, DownloadsWaitingForTheirNextTryArePausedResumedRemovedAndRestarted) {
  ASSERT_TRUE(server.isRunning());
  const std::string file = "/file=" + shortTrack();
  const std::vector<std::pair<int, std::string>> urls = {{1200, server.url(file + "/failtimes=4/paused.mp3")},
                                                         {1201, server.url(file + "/failtimes=4/removed.mp3")},
                                                         {1202, server.url(file + "/failtimes=2/kept.mp3")}};
  auto driver = startDriver(urls, true);
  for (const auto& entry : urls) driver->call("addFile", args({"download", std::to_string(entry.first), 5, "{}"}));
  ASSERT_TRUE(runUntil(*driver, [&] { return requestsFor("/failtimes=") == 3; }));
  driver->call("pauseDownload", args({"download", "1200", 5}));
  driver->call("removeFile", args({"download", "1201", 5}));
  auto state = [&](int entity) { return fileNumber(*driver, "download", entity, "download_state"); };
  bool kept = false;
  for (int seconds = 0; seconds < 60; seconds += 2) {
    driver->call("advanceClock", args({2}));
    kept = kept || driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 100})).boolValue();
  }
  EXPECT_TRUE(kept) << "the one left waiting completed";
  EXPECT_EQ(1, state(1200));
  EXPECT_EQ(-1, state(1201));
  EXPECT_EQ(1u, requestsFor("paused.mp3"));
  EXPECT_EQ(1u, requestsFor("removed.mp3"));

  driver->call("resumeDownload", args({"download", "1200", 5}));
  EXPECT_TRUE(runUntil(*driver, [&] { return requestsFor("paused.mp3") == 2; })) << "tried at once";
  EXPECT_EQ(0, driver->quit());
  driver = startDriver(urls, true);
  EXPECT_TRUE(runUntil(*driver, [&] { return requestsFor("paused.mp3") == 3; })) << "tried at once after a restart";
  EXPECT_TRUE(advanceUntilDone(*driver, 2, 60));
  EXPECT_EQ(0, driver->quit());
  const std::string audio = TestFolder::read(vetest::path(shortTrack()));
  EXPECT_TRUE(audio == downloaded(1200));
  EXPECT_TRUE(audio == downloaded(1202));
  EXPECT_TRUE(downloaded(1201).empty());
  EXPECT_EQ(5u, requestsFor("paused.mp3")) << "four 503s, then the file";
  EXPECT_EQ(1u, requestsFor("removed.mp3"));
}

// Limit 1: a download waiting for its next try lets the one behind it run;
// when its try, made beside it, is answered, it takes its slot back and the
// one behind gives it up, keeping its bytes. Both complete, byte-exact.
TEST_F(NetworkFaultTest, ADownloadWhoseTryIsAnsweredTakesItsSlotBack) {
  ASSERT_TRUE(server.isRunning());
  // Both are served for seconds: the one ahead takes its slot back while
  // the one behind runs, and holds it while its bytes come.
  auto driver = startDriver({{1205, server.url("/file=" + track() + "/failtimes=1/throttle=200000/ahead.mp3")},
                             {1206, server.url("/file=" + shortTrack() + "/throttle=8000/behind.mp3")}},
                            true);
  driver->call("setSetting", args({"max_concurrent_downloads", "1"}));
  driver->call("addFile", args({"download", "1205", 5, "{}"}));
  driver->call("addFile", args({"download", "1206", 5, "{}"}));
  ASSERT_TRUE(runUntil(*driver, [&] { return requestsFor("ahead.mp3") == 1 && requestsFor("behind.mp3") == 0; }));
  ASSERT_TRUE(runUntil(*driver, [&] { return fileNumber(*driver, "download", 1206, "download_state") == 4; }));
  driver->call("advanceClock", args({6}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 2, 60000})).boolValue());
  EXPECT_EQ(0, driver->quit());
  EXPECT_TRUE(TestFolder::read(vetest::path(track())) == downloaded(1205));
  EXPECT_TRUE(TestFolder::read(vetest::path(shortTrack())) == downloaded(1206));
  std::vector<std::string> ranges;
  for (const TestHttpRequest& request : server.getRequests())
    if (request.path.find("behind.mp3") != std::string::npos) ranges.push_back(request.range);
  ASSERT_EQ(2u, ranges.size()) << "stopped once, for the one ahead";
  EXPECT_NE("-", ranges[1]) << "its bytes kept";
}

// The legitimate cases just past the rule for downloads without a length: an
// honest server's answers are fetched twice, and a server whose answers come
// whole and cut in turn gives a download that is done once the whole file
// has come twice, whichever comes first, never the cut part. Answers that
// end further each time are not fetched again at once, but on the retry
// schedule, until the whole file came twice.
TEST_F(NetworkFaultTest, ADownloadWithoutLengthIsDoneOnceTheWholeFileCameTwice) {
  ASSERT_TRUE(server.isRunning());
  const std::string file = "/file=" + track() + "/nolength=1";
  auto driver = startDriver({{1146, server.url(file + "/honest.mp3")},
                             {1147, server.url(file + "/truncate=100000/cuts=1010/d.mp3")},
                             {1148, server.url(file + "/truncate=100000/cuts=0101/d.mp3")},
                             {1149, server.url(file + "/truncate=100000/truncatestep=4096/truncatetimes=3/d.mp3")}},
                            true);
  const auto added = std::chrono::steady_clock::now();
  for (const char* entity : {"1146", "1147", "1148", "1149"})
    driver->call("addFile", args({"download", entity, 5, "{}"}));
  bool done = false;
  size_t unpaced = 0;  // the most tries made beyond what the retry schedule allows
  for (double advanced = 0; advanced < 200 && !done; advanced += 2) {
    const size_t due = triesDueBy(clockSecondsSince(added, advanced)) + 1;
    unpaced = std::max(unpaced, requestsFor("truncatestep=") - std::min(due, requestsFor("truncatestep=")));
    driver->call("advanceClock", args({2}));
    done = driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 4, 100})).boolValue();
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(0u, unpaced) << "answers that end further each time fetched again at once";
  EXPECT_EQ(0, driver->quit());
  const std::string audio = TestFolder::read(vetest::path(track()));
  for (int entity = 1146; entity < 1150; ++entity) {
    EXPECT_EQ(audio.size(), downloaded(entity).size()) << entity;
    EXPECT_TRUE(audio == downloaded(entity)) << entity;
  }
  EXPECT_EQ(2u, requestsFor("honest.mp3"));
  EXPECT_EQ(4u, requestsFor("cuts=1010")) << "cut, whole, cut, whole";
  EXPECT_EQ(3u, requestsFor("cuts=0101")) << "whole, cut, whole";
  EXPECT_EQ(5u, requestsFor("truncatestep=")) << "three cut answers, then the whole one twice";
}

// A track replaced on a server that sends no length, between two answers
// of a download, by another version: a byte shorter, a byte longer, or as
// long with other bytes. Each download is done as the new version whole,
// never as a mix of both nor cut to the old one's length; a shorter version
// once three answers in a row ended at its end. Two answers cut at one byte
// between whole ones are not taken for a shorter version.
TEST_F(NetworkFaultTest, ADownloadWithoutLengthOfATrackReplacedOnTheServerIsDoneAsTheNewVersion) {
  ASSERT_TRUE(server.isRunning());
  const std::string faults = "/size=100000/seed=11/etag=none/nolength=1";
  const size_t size = 100000;
  // The new version's size, and the answers fetched: the old version, then
  // the new one until two (three when shorter) ended alike.
  const std::vector<std::pair<size_t, size_t>> versions = {{size - 1, 4}, {size + 1, 3}, {size, 2}};
  std::vector<std::pair<int, std::string>> urls;
  for (size_t i = 0; i < versions.size(); ++i)
    urls.push_back({1195 + int(i), server.url(faults + "/swapafter=1/swapsize=" + std::to_string(versions[i].first) +
                                              "/v" + std::to_string(i))});
  urls.push_back({1198, server.url(faults + "/truncate=50000/cuts=0110/c")});
  auto driver = startDriver(urls, true);
  for (const auto& entry : urls) driver->call("addFile", args({"download", std::to_string(entry.first), 5, "{}"}));
  EXPECT_TRUE(advanceUntilDone(*driver, 4, 120));
  EXPECT_EQ(0, driver->quit());
  for (size_t i = 0; i < versions.size(); ++i) {
    const std::vector<uint8_t> version = TestHttpServer::content(12, 0, versions[i].first);
    EXPECT_TRUE(std::string(version.begin(), version.end()) == downloaded(1195 + int(i))) << versions[i].first;
    EXPECT_EQ(versions[i].second, requestsFor("/v" + std::to_string(i))) << versions[i].first;
  }
  const std::vector<uint8_t> whole = TestHttpServer::content(11, 0, size);
  EXPECT_TRUE(std::string(whole.begin(), whole.end()) == downloaded(1198)) << "taken as cut twice";
  EXPECT_EQ(4u, requestsFor("cuts=0110")) << "whole, cut twice, whole";
}

TEST_F(NetworkFaultTest, ATrackWhoseServerIsGoneForAMomentAfterASeekPlaysOn) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({}, true);
  const int sound = playUntilHeard(*driver, streamUrl("throttle=64000", 1050));
  ASSERT_GT(sound, 0);
  // The server goes away, and the seek's reads wait for bytes not yet here:
  // the retries are paced, so the track is still waiting, not failed.
  ASSERT_TRUE(server.goAway());
  driver->call("setPosition", args({sound, 20000}));
  driver->call("sleep", args({1500}));
  EXPECT_NE(2, ask(*driver, "getState", sound)) << "the retries ran out while the server was away";
  ASSERT_TRUE(server.comeBack());
  EXPECT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", sound) > 21000; }))
      << "stopped at " << ask(*driver, "getPosition", sound) << ", state " << ask(*driver, "getState", sound);

  // Gone for longer than a listener waits, the track fails to the page.
  const int other = playUntilHeard(*driver, streamUrl("throttle=64000", 1051));
  ASSERT_GT(other, 0);
  ASSERT_TRUE(server.goAway());
  driver->call("setPosition", args({other, 20000}));
  driver->call("sleep", args({300}));
  EXPECT_NE(2, ask(*driver, "getState", other));
  driver->call("advanceClock", args({21}));
  EXPECT_TRUE(runUntil(
      *driver, [&] { return ask(*driver, "getState", other) == 2; }, 10));
  ASSERT_TRUE(server.comeBack());
  EXPECT_EQ(0, driver->quit());
}

// A burst of seeks while the server is away for 12 s: once it is back, the
// transfer resumes at the reader's last target, and the bytes that flow again
// restart the listener's patience, so the track plays on rather than failing
// 8 s later.
TEST_F(NetworkFaultTest, SeeksDuringADropResumeAtTheLastTargetWithTheListenersPatienceRestarted) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({}, true);
  const int sound = playUntilHeard(*driver, streamUrl("throttle=32000", 1130));
  ASSERT_GT(sound, 0);
  ASSERT_TRUE(server.goAway());
  // Targets between 8 and 15 s, all missing, then the last one at 20 s
  // (beyond the reads of the others).
  for (int i = 1; i <= 50; ++i) {
    driver->call("setPosition", args({sound, i == 50 ? 20000 : 8000 + (i * 7919) % 7000}));
    driver->call("sleep", args({20}));
  }
  driver->call("advanceClock", args({12}));
  server.clearRequests();
  const int64_t loaded = cachedFileNumber(*driver, 1130, "bytes_loaded");
  ASSERT_TRUE(server.comeBack());
  EXPECT_TRUE(runUntil(*driver, [&] { return cachedFileNumber(*driver, 1130, "bytes_loaded") > loaded; }));
  driver->call("advanceClock", args({9}));
  EXPECT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", sound) > 21000; }))
      << "stopped at " << ask(*driver, "getPosition", sound) << ", state " << ask(*driver, "getState", sound);
  EXPECT_EQ(0, driver->quit());

  std::vector<TestHttpRequest> requests = server.waitForRequests(1);
  ASSERT_FALSE(requests.empty());
  const auto first = std::min_element(requests.begin(), requests.end(),
                                      [](const auto& a, const auto& b) { return a.arrival < b.arrival; });
  const size_t size = TestFolder::read(vetest::path(track())).size();
  EXPECT_GE(std::stoul("0" + first->range.substr(first->range.find('=') + 1)), size * 19 / 30)
      << "resumed at " << first->range;
}

TEST_F(NetworkFaultTest, AServerThatSwallowsTheRequestFailsTheTrackOnceAListenerStopsWaiting) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({}, true);
  // The server takes the request and never answers; libcurl's own
  // time-outs are far longer than a listener waits.
  const int sound = int(driver->call("createSound", args({streamUrl("silent=1", 1060)})).int64Value());
  ASSERT_GT(sound, 0);
  driver->call("play", args({sound}));
  driver->call("sleep", args({300}));
  EXPECT_NE(2, ask(*driver, "getState", sound));
  driver->call("advanceClock", args({21}));
  EXPECT_TRUE(runUntil(
      *driver, [&] { return ask(*driver, "getState", sound) == 2; }, 10))
      << "state " << ask(*driver, "getState", sound);
  EXPECT_EQ(0, driver->quit());
}

// A reader starved of bytes counts toward a listener's patience: a server
// that sends its headers and then trickles (1 or 50 bytes a second), or a
// connection that brings nothing more in the middle of the track, fails the
// track to the page once the listener has waited 20 s, instead of keeping it
// loading or silent for as long as the connection lasts. A track of an
// ordinary server still plays to its end.
TEST_F(NetworkFaultTest, AStarvedTrackFailsOnceAListenerStopsWaiting) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({}, true);
  std::vector<int> starved;
  for (const std::string& faults : {"throttle=1", "throttle=50"}) {
    starved.push_back(
        int(driver->call("createSound", args({streamUrl(faults, 1120 + int(starved.size()))})).int64Value()));
    driver->call("play", args({starved.back()}));
  }
  // Nothing comes past 100 kB, about 6 s into the track.
  starved.push_back(playUntilHeard(*driver, streamUrl("stallfrom=100000", 1122)));
  ASSERT_GT(starved.back(), 0);
  EXPECT_TRUE(runUntil(*driver, [&] { return driver->call("getStarving", args({starved.back()})).boolValue(); }));
  for (int sound : starved) EXPECT_NE(2, ask(*driver, "getState", sound)) << sound;
  driver->call("advanceClock", args({21}));
  for (int sound : starved) {
    EXPECT_TRUE(runUntil(
        *driver, [&] { return ask(*driver, "getState", sound) == 2; }, 10))
        << sound << ": state " << ask(*driver, "getState", sound);
  }

  const int plain = playUntilHeard(*driver, streamUrl("throttle=200000", 1123, shortTrack()));
  ASSERT_GT(plain, 0);
  EXPECT_TRUE(runUntil(*driver,
                       [&] {
                         const int64_t length = ask(*driver, "getLength", plain);
                         return length > 0 && !driver->call("getPlaying", args({plain})).boolValue() &&
                                ask(*driver, "getPosition", plain) >= length;
                       }))
      << "stopped at " << ask(*driver, "getPosition", plain) << ", state " << ask(*driver, "getState", plain);
  EXPECT_NE(2, ask(*driver, "getState", plain));
  EXPECT_EQ(0, driver->quit());
}

// A client stopped for longer than a listener waits (SIGSTOP; a debugger, a
// frozen virtual machine or a swapping machine do the same) while its tracks
// wait for bytes over links slower than they play: once continued, they play
// on to their end, whether their server ran meanwhile or was stopped with the
// client. The time the client did not run is no time a listener waited: a
// track whose server sends nothing more still fails, once the client has run
// for a listener's patience.
TEST_F(NetworkFaultTest, TracksOfAClientStoppedLongerThanAListenersPatiencePlayOnWhenContinued) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  const std::vector<pid_t> alone = {driver->pid()};
  const std::vector<pid_t> withServer = {driver->pid(), server.getPid()};
  for (const std::vector<pid_t>* stopped : {&alone, &withServer}) {
    const int entity = stopped == &alone ? 1160 : 1170;
    std::vector<int> slow;
    for (const std::string& faults : {"throttle=30000", "throttle=20000"}) {
      slow.push_back(playUntilHeard(*driver, streamUrl(faults, entity + int(slow.size()), fastTrack())));
      ASSERT_GT(slow.back(), 0) << faults;
    }
    // Once a track has starved, its reader waits at the end of what came.
    for (int sound : slow)
      EXPECT_TRUE(runUntil(*driver, [&] { return driver->call("getStarving", args({sound})).boolValue(); }));
    int stalled = 0;
    if (stopped == &alone) {
      stalled = playUntilHeard(*driver, streamUrl("stallfrom=100000", entity + 2, fastTrack()));
      ASSERT_GT(stalled, 0);
      EXPECT_TRUE(runUntil(*driver, [&] { return driver->call("getStarving", args({stalled})).boolValue(); }));
    }
    stopAndContinue(*stopped, 25);
    driver->call("sleep", args({3000}));
    for (int sound : slow) EXPECT_NE(2, ask(*driver, "getState", sound)) << sound;
    if (stalled) EXPECT_NE(2, ask(*driver, "getState", stalled));

    for (int sound : slow) {
      EXPECT_TRUE(runUntilEndedOrFailed(*driver, sound, 90))
          << sound << " stopped at " << ask(*driver, "getPosition", sound);
      EXPECT_NE(2, ask(*driver, "getState", sound)) << sound;
    }
    if (stalled)
      EXPECT_TRUE(runUntil(
          *driver, [&] { return ask(*driver, "getState", stalled) == 2; }, 60));
  }
  EXPECT_EQ(0, driver->quit());
}

// A stop longer than libcurl's own limit for a transfer without bytes (30 s)
// fails the running transfers once the client runs again: their readers
// wait, so they are restarted at once. A track starved of bytes plays on to
// its end, and one whose server had not answered yet (its first byte comes
// after 3 s) plays.
TEST_F(NetworkFaultTest, TracksStoppedPastTheTransfersStallLimitPlayOnWhenContinued) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  const int sound = playUntilHeard(*driver, streamUrl("throttle=30000", 1185, fastTrack()));
  ASSERT_GT(sound, 0);
  EXPECT_TRUE(runUntil(*driver, [&] { return driver->call("getStarving", args({sound})).boolValue(); }));
  const size_t before = requestsFor("throttle=30000");
  const int awaiting =
      int(driver->call("createSound", args({streamUrl("delay=3000", 1186, shortTrack())})).int64Value());
  driver->call("play", args({awaiting}));
  driver->call("sleep", args({500}));
  stopAndContinue({driver->pid()}, 35);
  EXPECT_TRUE(runUntil(
      *driver, [&] { return ask(*driver, "getPosition", awaiting) > 0 || ask(*driver, "getState", awaiting) == 2; }))
      << "state " << ask(*driver, "getState", awaiting);
  EXPECT_GT(ask(*driver, "getPosition", awaiting), 0) << "state " << ask(*driver, "getState", awaiting);
  EXPECT_TRUE(runUntilEndedOrFailed(*driver, sound, 90)) << "stopped at " << ask(*driver, "getPosition", sound);
  EXPECT_NE(2, ask(*driver, "getState", sound));
  EXPECT_GT(requestsFor("throttle=30000"), before) << "the stalled transfer was not restarted";
  EXPECT_EQ(0, driver->quit());
}

// A pass of a loaded machine that takes almost as long as the most one pass
// counts toward a listener's patience (a second) counts whole: a starved
// track fails once the listener has waited about 20 s, not many times that.
TEST_F(NetworkFaultTest, AStarvedTrackFailsInAListenersPatienceAlsoWhenPassesAreSlow) {
  ASSERT_TRUE(server.isRunning());
  CoreDriverProcess driver(kTool, {"--home", folder.folder("home"), "--output", "5:0", "--slow-pass", "800"});
  ASSERT_TRUE(driver.waitUntilStarted());
  const int sound = int(driver.call("createSound", args({streamUrl("throttle=1", 1180)})).int64Value());
  driver.call("play", args({sound}));
  EXPECT_TRUE(runUntil(
      driver, [&] { return ask(driver, "getState", sound) == 2; }, 60))
      << "state " << ask(driver, "getState", sound);
  EXPECT_EQ(0, driver.quit());
}

// An empty answer to a stream is the track's empty file: its sound ends at
// once in the state that tells the page so (9), not after a listener's
// patience as a failure (2).
TEST_F(NetworkFaultTest, AStreamAnsweredEmptyEndsAtOnceAsAnEmptyFile) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  const std::string urls[] = {streamUrl("empty=200", 1100), streamUrl("empty=204", 1101),
                              server.url("/size=0/nolength=1/t.mp3?_TEID=1102&_FMT=5")};
  for (const std::string& url : urls) {
    const int sound = int(driver->call("createSound", args({url})).int64Value());
    ASSERT_GT(sound, 0);
    driver->call("play", args({sound}));
    EXPECT_TRUE(runUntil(
        *driver, [&] { return ask(*driver, "getState", sound) == 9; }, 10))
        << url << ": state " << ask(*driver, "getState", sound);
  }
  EXPECT_EQ(0, driver->quit());
}

// An empty answer ends its play only: once the server answers honestly, the
// track plays by a new sound, after a reset of the sound that ended empty,
// and after a restart of the client.
TEST_F(NetworkFaultTest, AStreamAnsweredEmptyOncePlaysWhenTheServerAnswersAgain) {
  ASSERT_TRUE(server.isRunning());
  const std::string forms[] = {"empty=200", "empty=204", "empty=close"};
  auto url = [&](size_t form, int entity) {
    return streamUrl(forms[form] + "/emptytimes=1", 1140 + 10 * int(form) + entity, shortTrack());
  };
  auto endsEmpty = [&](CoreDriverProcess& driver, const std::string& url) {
    const int sound = int(driver.call("createSound", args({url})).int64Value());
    driver.call("play", args({sound}));
    EXPECT_TRUE(runUntil(
        driver, [&] { return ask(driver, "getState", sound) == 9; }, 10))
        << url << ": state " << ask(driver, "getState", sound);
    return sound;
  };
  auto driver = startDriver();
  int64_t state = 0;
  for (size_t form = 0; form < 3; ++form) {
    endsEmpty(*driver, url(form, 0));
    EXPECT_GT(playUntilHeard(*driver, url(form, 0), &state), 0) << forms[form] << ", a new sound: state " << state;

    const int reset = endsEmpty(*driver, url(form, 1));
    driver->call("resetSound", args({reset, url(form, 1)}));
    driver->call("play", args({reset}));
    EXPECT_TRUE(runUntil(*driver, [&] { return ask(*driver, "getPosition", reset) > 0; }))
        << forms[form] << ", a reset: state " << ask(*driver, "getState", reset);

    endsEmpty(*driver, url(form, 2));
  }
  EXPECT_EQ(0, driver->quit());
  driver = startDriver();
  for (size_t form = 0; form < 3; ++form)
    EXPECT_GT(playUntilHeard(*driver, url(form, 2), &state), 0) << forms[form] << ", a restart: state " << state;
  EXPECT_EQ(0, driver->quit());
}

// The page has a track in another format only: the asked one is an empty
// file, whose sound ends as one (9) after a single question to the page, not
// a loop of them. That answer holds for its play only: the next play asks the
// page again, once, and plays once the page has the format.
TEST_F(NetworkFaultTest, ATrackThePageHasInAnotherFormatOnlyIsAskedForOncePerPlay) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  const std::string url = server.url("/file=" + shortTrack() + "/t.mp3");
  const std::string sound = "#?_TEID=1190&_FMT=5";
  auto questions = [&] {
    int count = 0;
    for (const JKValue& line : driver->lines()) {
      const JKValue* event = field(line, "event");
      count += event && event->stringValue() == "getFileUrl" && number(*field(line, "file"), "entity_id") == 1190;
    }
    return count;
  };
  driver->call("mapFileUrl", args({"1190_5", url, 3}));
  for (int play = 1; play <= 2; ++play) {
    const int empty = int(driver->call("createSound", args({sound})).int64Value());
    driver->call("play", args({empty}));
    EXPECT_TRUE(runUntil(
        *driver, [&] { return ask(*driver, "getState", empty) == 9; }, 10))
        << "play " << play << ": state " << ask(*driver, "getState", empty);
    driver->call("sleep", args({2000}));
    EXPECT_EQ(play, questions()) << "play " << play;
    driver->call("deleteSound", args({empty}));
  }
  driver->call("mapFileUrl", args({"1190_5", url}));
  int64_t state = 0;
  EXPECT_GT(playUntilHeard(*driver, sound, &state), 0) << "state " << state;
  EXPECT_EQ(3, questions());
  EXPECT_EQ(0, driver->quit());
}

// A download the page has in another format only, or one the server answered
// empty, is stored as an empty file; that is no copy of the track for a
// stream: the stream plays from the server, also after a restart. The empty
// file asked for by name still ends as one (9), and a complete download still
// plays by a stream without the server.
TEST_F(NetworkFaultTest, AnEmptyDownloadIsNoCopyOfTheTrackForAStream) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({}, true);
  const std::string file = server.url("/file=" + shortTrack() + "/d.mp3");
  auto stream = [&](int entity, const std::string& more = "") {
    return server.url("/file=" + shortTrack() + "/t.mp3?_TEID=" + std::to_string(entity) + "&_FMT=5" + more);
  };
  driver->call("mapFileUrl", args({"1200_5", file, 3}));
  driver->call("mapFileUrl", args({"1201_5", file, 3}));
  driver->call("mapFileUrl", args({"1202_5", file}));
  driver->call("mapFileUrl", args({"1203_5", server.url("/empty=200/d.mp3")}));
  for (const char* entity : {"1200", "1201", "1202", "1203"})
    driver->call("addFile", args({"download", entity, 5, "{}"}));
  // Three complete (two of them empty), and the one answered empty fails
  // after its tries.
  ASSERT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 0, 3, 30000})).boolValue());
  bool failed = false;
  for (int i = 0; i < 30 && !failed; ++i) {
    driver->call("advanceClock", args({10}));
    failed = driver->call("waitForFileCount", args({strings({"download"}), 0, 8, 1, 300})).boolValue();
  }
  ASSERT_TRUE(failed);
  ASSERT_EQ(0, fileNumber(*driver, "download", 1200, "bytes_total", 2));

  const int named = int(driver->call("createSound", args({stream(1200, "&_REPO=download&_LOCAL=true")})).int64Value());
  driver->call("play", args({named}));
  EXPECT_TRUE(runUntil(
      *driver, [&] { return ask(*driver, "getState", named) == 9; }, 10))
      << "state " << ask(*driver, "getState", named);
  driver->call("deleteSound", args({named}));

  int64_t state = 0;
  for (int entity : {1200, 1203})
    EXPECT_GT(playUntilHeard(*driver, stream(entity), &state), 0) << entity << ": state " << state;
  // Nothing listens on port 1: the complete download is the only copy.
  EXPECT_GT(playUntilHeard(*driver, "http://127.0.0.1:1/t.mp3?_TEID=1202&_FMT=5", &state), 0) << "state " << state;
  EXPECT_EQ(0, driver->quit());

  driver = startDriver();
  EXPECT_GT(playUntilHeard(*driver, stream(1201), &state), 0) << "a restart: state " << state;
  EXPECT_EQ(0, driver->quit());
}

// Two sounds of one track that open it side by side (a preload of the same
// track, a page that makes the next sound before deleting the last) and share
// the server's empty answer: both end as an empty file, and once both are
// gone the track plays from the server that answers honestly again.
TEST_F(NetworkFaultTest, TwoSoundsOfATrackAnsweredEmptyEndAndTheNextPlays) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  // The answer waits 2 s, so that both sounds wait for the same one.
  const std::string url = streamUrl("delay=2000/empty=200/emptytimes=1", 1195, shortTrack());
  const int first = int(driver->call("createSound", args({url})).int64Value());
  const int second = int(driver->call("createSound", args({url})).int64Value());
  driver->call("play", args({first}));
  driver->call("play", args({second}));
  for (int sound : {first, second}) {
    EXPECT_TRUE(runUntil(
        *driver,
        [&] {
          const int64_t state = ask(*driver, "getState", sound);
          return state == 9 || state == 2 || ask(*driver, "getPosition", sound) > 0;
        },
        10));
    EXPECT_EQ(9, ask(*driver, "getState", sound)) << sound;
  }
  driver->call("deleteSound", args({first}));
  driver->call("deleteSound", args({second}));
  int64_t state = 0;
  EXPECT_GT(playUntilHeard(*driver, url, &state), 0) << "state " << state;
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, EmptyOrOversizedAnswersAreRetriedAndThePageIsToldWhy) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver({{1070, server.url("/empty=200/d.mp3")},
                             {1071, server.url("/empty=204/d.mp3")},
                             {1072, server.url("/file=" + track() + "/bigheader=200000/d.mp3")}});
  for (const char* entity : {"1070", "1071", "1072"}) driver->call("addFile", args({"download", entity, 5, "{}"}));
  EXPECT_TRUE(toldRetryBecause(*driver, 1070, "empty answer"));
  EXPECT_TRUE(toldRetryBecause(*driver, 1071, "empty answer"));
  EXPECT_TRUE(toldRetryBecause(*driver, 1072, "answer with a header too long"));
  // None is done, so none is taken for a track that is there.
  JKValue done = driver->callAndWaitForCallback("getFileCount", args({strings({"download"}), 0, 16}));
  EXPECT_EQ(0, number(done, "count"));
  EXPECT_EQ(0, driver->quit());
}

// Downloads answered empty (200 with size 0, 204, 200 without a body) are
// tried again after growing delays, a few times, and then fail with the empty
// answer as their reason; while they wait they hold no slot, so a download
// queued behind the three of them is done meanwhile.
TEST_F(NetworkFaultTest, DownloadsAnsweredEmptyFailAfterAFewTriesWithoutHoldingTheQueue) {
  ASSERT_TRUE(server.isRunning());
  const char* const empty[] = {"/empty=200/d.mp3", "/empty=204/d.mp3", "/size=0/nolength=1/d.mp3"};
  auto driver = startDriver({{1110, server.url(empty[0])},
                             {1111, server.url(empty[1])},
                             {1112, server.url(empty[2])},
                             {1113, server.url("/file=" + track() + "/d.mp3")}},
                            true);
  for (const char* entity : {"1110", "1111", "1112", "1113"})
    driver->call("addFile", args({"download", entity, 5, "{}"}));
  EXPECT_TRUE(driver->call("waitForFileCount", args({strings({"download"}), 2, 16, 1, 30000})).boolValue())
      << "the download queued behind them never finished";

  // Their tries wait 4, 8, 16 and 32 s of the core's clock.
  bool failed = false;
  for (int i = 0; i < 30 && !failed; ++i) {
    driver->call("advanceClock", args({10}));
    failed = driver->call("waitForFileCount", args({strings({"download"}), 0, 8, 3, 300})).boolValue();
  }
  ASSERT_TRUE(failed);
  JKValue answer = driver->callAndWaitForCallback("getFiles", args({strings({"download"}), 0, 8}));
  const JKValue* files = field(answer, "files");
  for (size_t i = 0; files && files->isArray() && i < files->array()->count(); ++i)
    EXPECT_EQ("empty answer", field(files->array()->objectAtIndex(i), "failure")->stringValue());
  for (const char* path : empty) EXPECT_EQ(5u, requestsFor(path)) << path;
  EXPECT_EQ(0, driver->quit());
}

TEST_F(NetworkFaultTest, AnAnswerWithoutLengthPlaysAsItArrivesAndAnEndlessOneKeepsMemoryBounded) {
  ASSERT_TRUE(server.isRunning());
  auto driver = startDriver();
  // The whole track, without length headers, in 7.5 s.
  int64_t state = 0;
  const int sound = playUntilHeard(*driver, streamUrl("nolength=1/throttle=64000", 1080), &state);
  ASSERT_GT(sound, 0) << "state " << state;
  EXPECT_EQ(0u, requestsFor("nolength=1/throttle=")) << "heard only once the whole answer had come";
  EXPECT_TRUE(runUntil(*driver, [&] {
    return cachedFileNumber(*driver, 1080, "bytes_total", 2) == int64_t(TestFolder::read(vetest::path(track())).size());
  })) << "stored complete at its final size";
  // The engine took the track's own length, not the size it was given
  // while the end was not known.
  EXPECT_NEAR(30000, ask(*driver, "getLength", sound), 1000);
  driver->call("deleteSound", args({sound}));

  // An answer that never ends grows its file up to the size of a track
  // (past the cache's limit), and the client's memory does not grow with it.
  const int endless = int(driver->call("createSound", args({streamUrl("nolength=1/endless=1", 1081)})).int64Value());
  ASSERT_GT(endless, 0);
  driver->call("play", args({endless}));
  size_t peak = 0;
  EXPECT_TRUE(runUntil(
      *driver,
      [&] {
        peak = std::max(peak, anonymousMemory(*driver));
        return requestsFor("endless=") > 0;
      },
      120))
      << "the first endless answer was never let go";
#if !defined(__SANITIZE_THREAD__)
  // The thread sanitizer keeps anonymous shadow memory for every mapped byte
  // the file's writes touch, so the bound is the client's only without it.
  EXPECT_LT(peak, size_t(150) << 20);
#endif
  EXPECT_EQ(0, driver->quit());
}

}  // namespace
