// The idle cost of the client on the demo page once its list has played to
// the end, beside the same page in a bare WebKitGTK window, in the same run:
// the processor time that the program and every process under it (WebKit's
// web and network processes) take over the same stretch of idle time, as a
// percentage of one core.
//
// The client runs in this process (its real start-up, core, bridge and page
// scripts); the page's last track is played by its own button, then nothing
// is touched.
//
// Needs a display: scripts/in-display-session build/bench/idle_demo_bench [seconds]
#include <dirent.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "BenchProcesses.h"
#include "ShellTestServer.h"
#include "VeloraDesktopAppDelegate.h"
#include "WebViewProbe.h"

namespace {

void pause(int seconds) {
  ShellTestServer::runUntil([] { return false; }, seconds);
}

// User and system time of a process and every process under it, in seconds;
// `own` (when given) receives the root's alone.
double treeCpuSeconds(pid_t root, double* own = nullptr) {
  std::map<pid_t, std::vector<pid_t>> children;
  std::map<pid_t, double> seconds;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // The fields after the command's closing parenthesis: state, ppid, ...
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::vector<std::string> field;
    for (std::string word; fields >> word && field.size() < 13;) field.push_back(word);
    if (field.size() < 13) continue;
    children[static_cast<pid_t>(atoi(field[1].c_str()))].push_back(pid);
    seconds[pid] = (atof(field[11].c_str()) + atof(field[12].c_str())) / ticks;
  }
  closedir(proc);
  if (own != nullptr) *own = seconds[root];
  double total = 0;
  for (std::vector<pid_t> pending = {root}; !pending.empty();) {
    pid_t pid = pending.back();
    pending.pop_back();
    total += seconds[pid];
    for (pid_t child : children[pid]) pending.push_back(child);
  }
  return total;
}

// Percent of one core that the tree took over `seconds` of running the main
// loop; `own` (when given) receives the root process's share.
double idlePercent(pid_t root, int seconds, double* own = nullptr) {
  double ownBefore = 0;
  double before = treeCpuSeconds(root, &ownBefore);
  gint64 start = g_get_monotonic_time();
  pause(seconds);
  double elapsed = (g_get_monotonic_time() - start) / 1e6;
  double ownAfter = 0;
  double after = treeCpuSeconds(root, &ownAfter);
  if (own != nullptr) *own = 100.0 * (ownAfter - ownBefore) / elapsed;
  return 100.0 * (after - before) / elapsed;
}

double bareWindowPercent(const std::string& page, int seconds) {
  GSubprocess* bare =
      spawnProcess({VELORA_BINARY_DIR "/bench/bare_webkit_window", page.c_str()}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (bare == nullptr || readLineStartingWith(bare, "loaded").empty()) return -1;
  pause(5);
  double percent = idlePercent(pidOf(bare), seconds);
  endProcess(bare);
  return percent;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? atoi(argv[1]) : 20;
  if (g_getenv("DISPLAY") == nullptr) {
    fprintf(stderr, "idle_demo_bench needs a display: scripts/in-display-session %s [seconds]\n", argv[0]);
    return 2;
  }
  gchar* home = g_dir_make_tmp("idle-bench-XXXXXX", nullptr);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    std::string folder = std::string(home) + "/" + variable;
    g_mkdir_with_parents(folder.c_str(), 0700);
    g_setenv(variable, folder.c_str(), TRUE);
  }
  g_setenv("HOME", home, TRUE);
  gtk_init(&argc, &argv);

  std::string media = std::string(home) + "/demo";
  GSubprocess* server = spawnProcess({"python3", VELORA_SOURCE_DIR "/tools/demo/serve", "--folder", media.c_str()},
                                     G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  std::string url = server != nullptr ? readLineStartingWith(server, "URL ") : "";
  if (url.empty()) return 1;
  std::string page = url.substr(4);

  auto* client = new VeloraDesktopAppDelegate(page);
  std::string data = std::string(home) + "/webkit";
  WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                      "base-cache-directory", data.c_str(), nullptr);
  if (!client->start(manager, VELORA_BINARY_DIR "/webext")) return 1;
  g_object_unref(manager);
  WebKitWebView* view = client->window()->mainView();
  bool ready = ShellTestServer::runUntil(
      [view] {
        return WebViewProbe::evaluate(view, "document.readyState === 'complete' && typeof VeloraAPI === 'object'") ==
               "true";
      },
      60);
  if (!ready) {
    fprintf(stderr, "the demo page did not load\n");
    return 1;
  }
  // The last track of the list, played to its end.
  WebViewProbe::evaluate(view, "[...document.querySelectorAll('#track-list button[data-play]')].pop().click()");
  bool ended = ShellTestServer::runUntil(
      [view] {
        return WebViewProbe::evaluate(view, "document.getElementById('sound-state').textContent.endsWith(', ended')") ==
               "true";
      },
      120);
  if (!ended) {
    fprintf(stderr, "the last track did not end: %s\n",
            WebViewProbe::evaluate(view,
                                   "document.getElementById('sound-state').textContent + ' | ' + "
                                   "document.getElementById('messages').textContent")
                .c_str());
    return 1;
  }
  pause(3);
  double clientOwn = 0;
  double clientPercent = idlePercent(getpid(), seconds, &clientOwn);
  double bare = bareWindowPercent(page, seconds);

  printf("idle processor time on the demo page after its list has ended (%d s, %% of one core, with web processes)\n",
         seconds);
  printf("  client                 %6.2f %%   (its own process, core and shell: %.2f %%)\n", clientPercent, clientOwn);
  if (bare < 0) {
    printf("  bare WebKitGTK window  not available\n");
  } else {
    printf("  bare WebKitGTK window  %6.2f %%   client/bare %.2f, client - bare %.2f points\n", bare,
           bare > 0 ? clientPercent / bare : 0, clientPercent - bare);
  }

  delete client;
  endProcess(server);
  gchar* command = g_strdup_printf("rm -rf '%s'", home);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", home);
  g_free(command);
  g_free(home);
  return 0;
}
