// velora-core: the core behind no page, for tests, benchmarks and scripts.
//
//   velora-core [--home DIR] [--urls FILE] [--output ID] [--wav FILE] [--not-ready] [--slow-pass MS]
//               [--test-clock] [--slow-trash MS] [--largest-track BYTES]
//
// Runs VLDesktop with its own home (a temporary one, removed at exit, unless
// --home is given), reads the page's calls as JSON lines on stdin (see
// CoreCommands.h) and writes every answer, event, error and callback as a JSON
// line on stdout. The page's answers to getFileUrl come from the URL map
// (--urls: a JSON object from "<entity id>_<format id>" to a URL, or to
// {"url": ..., "format": ..., "data": ...}). --wav plays into a WAV file
// (the engine's WAV writer); --output chooses another output device id.
// The page counts as ready from the start unless --not-ready is given.
// --slow-pass makes every worker pass MS milliseconds longer (for tests of
// what must not depend on the worker's timing). --test-clock runs the core on
// a clock that the command advanceClock moves ahead (for tests of time-outs).
// --slow-trash makes every removal of a deleted repository file MS
// milliseconds longer, as on a slow disk (for tests of what must not wait for
// the trash). --largest-track lowers the size past which an answer without a
// length is taken for one that never ends (500 MB), so that tests of it need
// not store that much.
// Ends at the end of stdin, on "quit", or on SIGINT/SIGTERM, cleaning the core.

#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "CoreCommands.h"
#include "HeadlessDesktop.h"
#include "JKDictionary.h"
#include "JSONKitDeserializing.h"
#include "JsonLineWriter.h"
#include "VLRepository.h"
#include "TestFolder.h"
#include "TestPlatform.h"

namespace {

std::atomic<bool> g_stopRequested(false);

void requestStop(int) {
  g_stopRequested = true;
}

struct Options {
  std::string home;
  std::string urls;
  std::string output;
  std::string wav;
  bool ready = true;
  unsigned slowPassMs = 0;
  bool testClock = false;
  unsigned slowTrashMs = 0;
  double largestTrack = 0;
};

void usage() {
  std::fprintf(
      stderr,
      "usage: velora-core [--home DIR] [--urls FILE] [--output ID] [--wav FILE] [--not-ready] [--slow-pass MS] "
      "[--test-clock] [--slow-trash MS] [--largest-track BYTES]\n");
}

bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--home" && hasValue)
      options->home = argv[++i];
    else if (arg == "--urls" && hasValue)
      options->urls = argv[++i];
    else if (arg == "--output" && hasValue)
      options->output = argv[++i];
    else if (arg == "--wav" && hasValue)
      options->wav = argv[++i];
    else if (arg == "--slow-pass" && hasValue)
      options->slowPassMs = unsigned(std::strtoul(argv[++i], nullptr, 10));
    else if (arg == "--slow-trash" && hasValue)
      options->slowTrashMs = unsigned(std::strtoul(argv[++i], nullptr, 10));
    else if (arg == "--largest-track" && hasValue)
      options->largestTrack = std::strtod(argv[++i], nullptr);
    else if (arg == "--not-ready")
      options->ready = false;
    else if (arg == "--test-clock")
      options->testClock = true;
    else
      return false;
  }
  return true;
}

// Everything the core keeps per user goes below `home`: preferences, cache,
// log, application data and the music folder (through user-dirs.dirs). A home
// used before is only read, so that one made read-only can be started on.
bool useHome(const std::string& home) {
  const std::string config = home + "/config";
  for (const std::string& folder : {home, config}) {
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "velora-core: cannot make %s: %s\n", folder.c_str(), std::strerror(errno));
      return false;
    }
  }
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
  setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
  setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  const std::string path = config + "/user-dirs.dirs";
  const std::string text = "XDG_MUSIC_DIR=\"" + home + "/Music\"\n";
  std::ifstream present(path);
  if (std::string((std::istreambuf_iterator<char>(present)), std::istreambuf_iterator<char>()) == text) return true;
  std::ofstream dirs(path);
  dirs << text;
  return bool(dirs);
}

bool loadUrls(const std::string& path, HeadlessDesktop* desktop) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  JKError error;
  std::optional<JKValue> map = objectFromJSONString(text, 0, &error);
  if (!in.good() && !in.eof()) {
    std::fprintf(stderr, "velora-core: cannot read %s\n", path.c_str());
    return false;
  }
  if (!map || !map->isDictionary()) {
    std::fprintf(stderr, "velora-core: %s is not a JSON object: %s\n", path.c_str(), error.message.c_str());
    return false;
  }
  for (const auto& entry : *map->dictionary()) {
    HeadlessDesktop::FileUrl answer;
    if (entry.object.isString()) {
      answer.url = entry.object.stringValue();
    } else if (entry.object.isDictionary()) {
      const JKDictionary& fields = *entry.object.dictionary();
      if (const JKValue* url = fields.objectForKey("url")) answer.url = url->stringValue();
      if (const JKValue* format = fields.objectForKey("format")) answer.format = unsigned(format->int64Value());
      if (const JKValue* data = fields.objectForKey("data")) answer.data = data->stringValue();
    }
    desktop->mapFileUrl(*entry.key, answer);
  }
  return true;
}

// Switches to the output device and waits (a few seconds at most) until the
// worker has applied it, so that the first sound already plays there. Answers
// the device id in use.
std::string useOutput(HeadlessDesktop& desktop, const std::string& output) {
  desktop.setSetting("device_output", output);
  const std::string type = output.substr(0, output.find(':') + 1);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string current = desktop.getSetting("device_output");
  while (current.compare(0, type.size(), type) != 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    current = desktop.getSetting("device_output");
  }
  return current;
}

// Reads stdin in pieces and runs each complete line; between lines the driver
// keeps answering the page's part so that the core never waits on it.
void runCommands(CoreCommands& commands) {
  std::string pending;
  char buffer[65536];
  while (!commands.isQuitRequested() && !g_stopRequested) {
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, 10);
    if (ready < 0 && errno != EINTR) return;
    if (ready > 0) {
      ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;  // end of input
      pending.append(buffer, size_t(count));
      size_t end;
      while (!commands.isQuitRequested() && (end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        commands.runLine(line);
      }
    }
    commands.pump(0);
  }
  if (!commands.isQuitRequested() && !pending.empty()) commands.runLine(pending);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    usage();
    return 2;
  }
  // Before anything reaches the platform: the core keeps the factory it
  // first gets.
  TestPlatform* platform = options.testClock || options.slowTrashMs > 0 ? TestPlatform::install() : nullptr;
  if (options.slowTrashMs > 0) platform->fileHelper().slowTrashRemovals(options.slowTrashMs);
  TestPlatform* clock = options.testClock ? platform : nullptr;
  if (options.largestTrack > 0) VLRepository::setLargestTrack(options.largestTrack);
  std::unique_ptr<TestFolder> temporaryHome;
  if (options.home.empty()) {
    temporaryHome.reset(new TestFolder());
    options.home = temporaryHome->path();
  }
  if (!useHome(options.home)) return 1;
  if (!options.wav.empty()) {
    setenv("VELORA_ENGINE_WAV_PATH", options.wav.c_str(), 1);
    if (options.output.empty()) options.output = "4:0";
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, requestStop);
  signal(SIGTERM, requestStop);

  JsonLineWriter out(stdout);
  HeadlessDesktop desktop(&out);
  if (!options.urls.empty() && !loadUrls(options.urls, &desktop)) return 1;
  desktop.setExtraPassDelay(options.slowPassMs);

  bool started = desktop.init();
  JKValue line = jsonObject();
  jsonSet(line, "event", "started");
  jsonSet(line, "result", started);
  jsonSet(line, "home", options.home);
  if (started && !options.output.empty()) jsonSet(line, "output", useOutput(desktop, options.output));
  out.write(line);
  if (!started) return 1;
  desktop.setJSReady(options.ready);

  CoreCommands commands(&desktop, &out);
  commands.setClock(clock);
  runCommands(commands);

  bool cleaned = desktop.clean();
  JKValue end = jsonObject();
  jsonSet(end, "event", "stopped");
  jsonSet(end, "result", cleaned);
  out.write(end);
  return cleaned ? 0 : 1;
}
