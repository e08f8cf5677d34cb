// Memory of the client on the demo page, after start and after a stretch of
// playback (ten minutes unless told otherwise), beside the same page in a bare
// WebKitGTK window (each time measured while both run), beside a bare window
// that played the page as long with stand-ins for the client's page objects
// (bench/pages/stub-page-objects.js: the page's own polling and rendering,
// without the client), and, when it is
// installed, in Chromium (headless), measured in the same run. Memory is the proportional size (PSS) of the program and
// the processes under it (WebKit's web and network processes; the demo server
// this benchmark starts is left out). The client's folders, WebKit's data and
// the bare window's live in a scratch home removed at the end.
//
// The client runs in this process (its real start-up, core, bridge and page
// scripts), the page driven as a user would: its play button, pressed again
// whenever playback has come to an end.
//
// Needs a display: scripts/in-display-session build/bench/playback_memory_bench [seconds]
#include <dirent.h>
#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "BenchProcesses.h"
#include "ShellTestServer.h"
#include "TestFolder.h"
#include "VeloraDesktopAppDelegate.h"
#include "WebViewProbe.h"

namespace {

void pause(int seconds) {
  ShellTestServer::runUntil([] { return false; }, seconds);
}

// A bare window on the page; with a script, that script runs in the page
// before the page's own. Null when it did not load.
GSubprocess* startBareWindow(const std::string& page, const char* script = nullptr) {
  std::vector<std::string> arguments = {VELORA_BINARY_DIR "/bench/bare_webkit_window", page};
  if (script != nullptr) arguments.push_back(script);
  GSubprocess* bare = spawnProcess(arguments, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (bare != nullptr && readLineStartingWith(bare, "loaded").empty()) {
    endProcess(bare);
    return nullptr;
  }
  return bare;
}

// The bare window's memory, and the client's (its tree but for others) at the
// same moment: a library's pages count in the PSS of each process that maps
// it, split between them, so the two are compared while both run. With a
// bare window that has played the page (`played`, one of `others`), its
// memory too, at the same moment: {bare, client, played}.
std::vector<double> bareWindowAndClientPss(const std::string& page, const std::vector<pid_t>& others,
                                           pid_t played = 0) {
  std::vector<double> pss = {-1, -1, -1};
  GSubprocess* bare = startBareWindow(page);
  if (bare == nullptr) return pss;
  g_usleep(1000000);
  std::vector<pid_t> notClient = others;
  notClient.push_back(pidOf(bare));
  pss = {treePss(pidOf(bare)), treePss(getpid(), notClient), played != 0 ? treePss(played) : -1};
  printf("  bare WebKitGTK window %8.1f MiB   (%s), client beside it %8.1f MiB   (%s): client/bare %.2f\n", pss[0],
         treePssByName(pidOf(bare)).c_str(), pss[1], treePssByName(getpid(), notClient).c_str(), pss[1] / pss[0]);
  if (played != 0) {
    printf("  bare window that played the page beside them %8.1f MiB   (%s): client/played %.2f\n", pss[2],
           treePssByName(played).c_str(), pss[1] / pss[2]);
  }
  endProcess(bare);
  return pss;
}

// Ends the client and waits for its web processes, which write into the
// scratch home until they have gone.
void endClient(VeloraDesktopAppDelegate* client, GSubprocess* server) {
  std::vector<pid_t> webProcesses = childProcesses(getpid());
  delete client;
  if (server != nullptr) endProcess(server);
  waitForExit(webProcesses);
}

void printBeside(const char* name, double mib, double client) {
  if (mib < 0) {
    printf("  %-22s not available\n", name);
  } else {
    printf("  %-22s %8.1f MiB   client/this %.2f\n", name, mib, mib > 0 ? client / mib : 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 600;
  if (g_getenv("DISPLAY") == nullptr) {
    fprintf(stderr, "playback_memory_bench needs a display: scripts/in-display-session %s [seconds]\n", argv[0]);
    return 2;
  }
  // The client's folders in a scratch home.
  TestFolder scratch;
  const std::string& home = scratch.path();
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    std::string folder = home + "/" + variable;
    g_mkdir_with_parents(folder.c_str(), 0700);
    g_setenv(variable, folder.c_str(), TRUE);
  }
  g_setenv("HOME", home.c_str(), TRUE);
  gtk_init(&argc, &argv);

  std::string media = home + "/demo";
  GSubprocess* server = spawnProcess({"python3", VELORA_SOURCE_DIR "/tools/demo/serve", "--folder", media.c_str()},
                                     G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  std::string url = server != nullptr ? readLineStartingWith(server, "URL ") : "";
  if (url.empty()) {
    endClient(nullptr, server);
    return 1;
  }
  std::string page = url.substr(4);
  std::vector<pid_t> notClient = {pidOf(server)};

  auto* client = new VeloraDesktopAppDelegate(page);
  std::string data = home + "/webkit";
  WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                      "base-cache-directory", data.c_str(), nullptr);
  bool started = client->start(manager, VELORA_BINARY_DIR "/webext");
  g_object_unref(manager);
  WebKitWebView* view = started ? client->window()->mainView() : nullptr;
  bool ready = started &&
               ShellTestServer::runUntil(
                   [view] {
                     return WebViewProbe::evaluate(
                                view, "document.readyState === 'complete' && typeof VeloraAPI === 'object'") == "true";
                   },
                   60);
  if (!ready) {
    fprintf(stderr, "the demo page did not load\n");
    endClient(client, server);
    return 1;
  }
  pause(2);
  double afterStart = treePss(getpid(), notClient);
  std::string startParts = treePssByName(getpid(), notClient);
  printf("after start:\n");
  bareWindowAndClientPss(page, notClient);

  // The page played as long in a bare window, its page objects stand-ins:
  // what the page's own work costs WebKit.
  GSubprocess* played = startBareWindow(page, VELORA_SOURCE_DIR "/bench/pages/stub-page-objects.js");
  if (played != nullptr) notClient.push_back(pidOf(played));

  // Playing: the play button whenever nothing plays.
  const char* press =
      "(() => { const b = document.getElementById('play');"
      " if (b.textContent.indexOf('Pause') < 0) { b.click(); return 1; } return 0; })()";
  gint64 until = g_get_monotonic_time() + static_cast<gint64>(seconds) * G_USEC_PER_SEC;
  int presses = 0;
  while (g_get_monotonic_time() < until) {
    presses += WebViewProbe::evaluate(view, press) == "1" ? 1 : 0;
    pause(5);
  }
  std::string position = WebViewProbe::evaluate(view, "document.getElementById('now-playing').textContent");
  double afterPlayback = treePss(getpid(), notClient);
  std::string playbackParts = treePssByName(getpid(), notClient);

  printf("after playback:\n");
  std::vector<double> afterPlaybackPss = bareWindowAndClientPss(page, notClient, played != nullptr ? pidOf(played) : 0);
  double bare = afterPlaybackPss[0];
  if (played != nullptr) endProcess(played);
  double chromium = chromiumPss(page);
  printf("memory of the client on the demo page (PSS with its web processes)\n");
  printf("  client after start     %8.1f MiB   (%s)\n", afterStart, startParts.c_str());
  printf("  client after %d s of playback (%d presses of play; now %s) %8.1f MiB   (%s)\n", seconds, presses,
         position.c_str(), afterPlayback, playbackParts.c_str());
  printf("the same page, after its load:\n");
  printBeside("bare WebKitGTK window", bare, afterStart);
  printBeside("chromium --headless", chromium, afterStart);
  if (bare > 0) printf("  client after playback / bare WebKitGTK window %.2f\n", afterPlayback / bare);
  if (afterPlaybackPss[2] > 0) {
    printf("  client after playback / bare window that played the page as long %.2f\n",
           afterPlaybackPss[1] / afterPlaybackPss[2]);
  }

  endClient(client, server);
  return 0;
}
