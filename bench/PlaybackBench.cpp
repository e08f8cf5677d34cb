// Playback figures, each beside a baseline measured in the same run:
// 1. time to first audio: from createSound + play of a streamed MP3 to the
//    first sample of it mixed at the WAV writer, with the test server adding
//    50 ms to every request and the worker pacing itself as the real one does
//    (one pass, then its wait for work of at most 10 ms), beside the floor of
//    one request's latency plus
//    mpg123's own time to decode the first frames of the same file;
// 2. range requests and bytes sent for one full play of a streamed track
//    (ideal: 1 request, 1.00 x the file size).
//
// Usage: playback_bench [runs]   (default 5)

#include "AudioFixtures.h"
#include "BenchStats.h"
#include "TestHttpServer.h"
#include "VLPlaybackTestSupport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kLatencyMs = 50;
const int kWorkerWaitMs = 10;

// Wall time of mpg123 decoding the first frames of the file.
double mpg123FirstFrames(const std::string& file) {
  const Clock::time_point start = Clock::now();
  if (!VLPlaybackTestSupport::run("mpg123 -q -n 4 -w /dev/null '" + file + "'")) {
    std::fprintf(stderr, "playback_bench: mpg123 failed\n");
    std::exit(1);
  }
  return millisecondsSince(start);
}

// One streamed play up to its first mixed sample, paced like the worker.
double timeToFirstAudio(VLPlaybackSession& session, const std::string& url) {
  const Clock::time_point start = Clock::now();
  int id = 0;
  if (!session.audio()->createSound(url, &id) || !session.sound(id)->play(false, 0)) {
    std::fprintf(stderr, "playback_bench: no sound for %s\n", url.c_str());
    std::exit(1);
  }
  VLSound* sound = session.sound(id);
  // The position moves only once real data is mixed (starving plays silence
  // and stands still).
  while (sound->getPosition() == 0) {
    VLPlayer::instance()->update();
    if (sound->getPosition() != 0) break;
    VLPlayer::instance()->waitForWork(kWorkerWaitMs);
    if (millisecondsSince(start) > 30000) {
      std::fprintf(stderr, "playback_bench: no audio after 30 s\n");
      std::exit(1);
    }
  }
  const double elapsed = millisecondsSince(start);
  session.audio()->deleteSound(id);
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  VLPlaybackTestSupport::start();
  TestFolder fixtures;
  const std::string track = fixtures.file("track.mp3");
  if (!vetest::makeToneMp3(track, 30, 440, -3)) {
    std::fprintf(stderr, "playback_bench: cannot make the fixture (sox, lame)\n");
    return 1;
  }
  const size_t fileSize = VLPlaybackTestSupport::readFile(track).size();
  setenv("VELORA_TESTSERVER_ROOT", fixtures.path().c_str(), 1);
  TestHttpServer server;
  if (!server.isRunning()) {
    std::fprintf(stderr, "playback_bench: test server did not start\n");
    return 1;
  }

  VLPlaybackSession session;
  std::vector<double> firstAudio;
  std::vector<double> floor;
  for (int run = 0; run < runs; ++run) {
    // A new entity each time: nothing comes from the cache.
    const std::string url = server.url("/delay=" + std::to_string(kLatencyMs) + "/file=track.mp3/t.mp3") +
                            "?_TEID=first" + std::to_string(run) + "&fmt=5";
    firstAudio.push_back(timeToFirstAudio(session, url));
    floor.push_back(kLatencyMs + mpg123FirstFrames(track));
  }
  const double first = median(firstAudio);
  const double baseline = median(floor);
  std::printf(
      "time to first audio (median of %d): %.1f ms   floor (latency %d ms + mpg123 first frames): %.1f ms"
      "   ratio %.2f\n",
      runs, first, kLatencyMs, baseline, first / baseline);

  // One full play, as fast as the non-real-time output goes.
  server.clearRequests();
  int id = 0;
  session.audio()->createSound(server.url("/file=track.mp3/full.mp3") + "?_TEID=full&fmt=5", &id);
  VLSound* sound = session.sound(id);
  sound->play(false, 0);
  const Clock::time_point start = Clock::now();
  session.runUntil(
      [&] { return sound->getLength() > 0 && !sound->getPlaying() && sound->getPosition() >= sound->getLength(); },
      1000000);
  const double playMs = millisecondsSince(start);
  size_t bytes = 0;
  const std::vector<TestHttpRequest> requests = server.getRequests();
  for (const TestHttpRequest& request : requests) bytes += request.bytes;
  std::printf(
      "full play of %zu bytes (%.1f s of audio in %.0f ms): %zu range requests (ideal 1), "
      "bytes sent / file size %.2f (ideal 1.00)\n",
      fileSize, sound->getLength() / 1000.0, playMs, requests.size(),
      static_cast<double>(bytes) / static_cast<double>(fileSize));
  session.close();
  return 0;
}
