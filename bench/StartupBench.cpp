// Start-up of the client beside a bare WebKitGTK window, in the same run:
// from process start to the player page's load event, the demo page served
// by tools/demo/serve from 127.0.0.1, and the memory (PSS) of each program
// with its web processes once the page has loaded. Chromium (headless) on
// the same page is measured too when it is installed. Each run of either
// program starts in a scratch home of its own (fresh WebKit caches on both
// sides), removed when the run ends.
//
// Needs a display: scripts/in-display-session build/bench/startup_bench [runs]
#include <dirent.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BenchProcesses.h"
#include "BenchStats.h"
#include "TestFolder.h"

namespace {

double now() {
  return g_get_monotonic_time() / 1000.0;
}

struct Sample {
  double milliseconds = 0;
  double pssMiB = 0;
};

// This process's environment with HOME and the XDG folders in `home`.
gchar** scratchEnvironment(const std::string& home) {
  gchar** environment = g_get_environ();
  environment = g_environ_setenv(environment, "HOME", home.c_str(), TRUE);
  for (const char* variable :
       {"XDG_CONFIG_HOME:config", "XDG_CACHE_HOME:cache", "XDG_DATA_HOME:data", "XDG_STATE_HOME:state"}) {
    std::string pair(variable);
    std::string name = pair.substr(0, pair.find(':'));
    environment =
        g_environ_setenv(environment, name.c_str(), (home + "/" + pair.substr(pair.find(':') + 1)).c_str(), TRUE);
  }
  return environment;
}

// The client in a scratch home of its own, pointed at the page.
bool runClient(const std::string& program, const std::string& page, Sample& sample) {
  TestFolder scratch;
  const std::string& home = scratch.path();
  std::string config = home + "/config/velora-desktop";
  g_mkdir_with_parents(config.c_str(), 0700);
  std::ofstream(config + "/preferences") << "BetaPlayerURL=" << page << "\n";
  gchar** environment = scratchEnvironment(home);
  std::string log = home + "/state/velora-desktop/desktop_stderr.log";
  double start = now();
  GSubprocess* client = spawnProcess({program}, G_SUBPROCESS_FLAGS_NONE, environment);
  g_strfreev(environment);
  bool loaded = false;
  while (client != nullptr && !loaded && now() - start < 60000) {
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    loaded = text.str().find("page loaded: " + page) != std::string::npos;
    if (!loaded) g_usleep(2000);
  }
  sample.milliseconds = now() - start;
  if (client != nullptr) {
    g_usleep(500000);  // what the page does right after its load
    sample.pssMiB = treePss(pidOf(client));
    endProcess(client);
  }
  return loaded;
}

// The bare window in a scratch home of its own: its WebKit data and caches
// go there, not into the user's folders.
bool runBare(const std::string& program, const std::string& page, Sample& sample) {
  TestFolder scratch;
  gchar** environment = scratchEnvironment(scratch.path());
  double start = now();
  GSubprocess* bare = spawnProcess({program, page}, G_SUBPROCESS_FLAGS_STDOUT_PIPE, environment);
  g_strfreev(environment);
  if (bare == nullptr) return false;
  bool loaded = readLineStartingWith(bare, "loaded") == "loaded";
  sample.milliseconds = now() - start;
  g_usleep(500000);
  sample.pssMiB = treePss(pidOf(bare));
  endProcess(bare);
  return loaded;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  if (g_getenv("DISPLAY") == nullptr) {
    fprintf(stderr, "startup_bench needs a display: scripts/in-display-session %s\n", argv[0]);
    return 2;
  }
  GSubprocess* server =
      spawnProcess({"python3", VELORA_SOURCE_DIR "/tools/demo/serve"}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (server == nullptr) return 1;
  std::string url = readLineStartingWith(server, "URL ");
  if (url.empty()) return 1;
  std::string page = url.substr(4);

  std::vector<double> clientTimes, bareTimes, clientPss, barePss;
  for (int i = 0; i < runs; ++i) {
    Sample client, bare;
    if (!runClient(VELORA_BINARY_DIR "/velora-desktop", page, client)) fprintf(stderr, "client run %d: no load\n", i);
    if (!runBare(VELORA_BINARY_DIR "/bench/bare_webkit_window", page, bare))
      fprintf(stderr, "bare run %d: no load\n", i);
    clientTimes.push_back(client.milliseconds);
    bareTimes.push_back(bare.milliseconds);
    clientPss.push_back(client.pssMiB);
    barePss.push_back(bare.pssMiB);
  }
  double client = median(clientTimes), bare = median(bareTimes);
  printf("start-up to the page's load event (median of %d, demo page on 127.0.0.1)\n", runs);
  printf("  velora-desktop        %8.1f ms\n", client);
  printf("  bare WebKitGTK window %8.1f ms   ratio %.2f\n", bare, bare > 0 ? client / bare : 0);
  double pssClient = median(clientPss), pssBare = median(barePss);
  printf("memory after start (PSS of the program and its web processes, median)\n");
  printf("  velora-desktop        %8.1f MiB\n", pssClient);
  printf("  bare WebKitGTK window %8.1f MiB   ratio %.2f\n", pssBare, pssBare > 0 ? pssClient / pssBare : 0);
  double chromium = chromiumPss(page);
  if (chromium >= 0) {
    printf("  chromium --headless   %8.1f MiB   ratio %.2f\n", chromium, chromium > 0 ? pssClient / chromium : 0);
  } else {
    printf("  chromium --headless   not installed\n");
  }
  endProcess(server);
  return 0;
}
