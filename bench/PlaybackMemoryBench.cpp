// Memory of the client on the demo page, after start and after a stretch of
// playback (ten minutes unless told otherwise), beside the same page in a bare
// WebKitGTK window and, when it is installed, in Chromium (headless), measured
// in the same run. Memory is the resident size (RSS) of the program and every
// process under it (WebKit's web and network processes).
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

#include "ShellTestServer.h"
#include "VeloraDesktopAppDelegate.h"
#include "WebViewProbe.h"

namespace {

// The resident memory of a process and all its descendants, in MiB.
double treeRss(pid_t root) {
  std::map<pid_t, std::vector<pid_t>> children;
  std::map<pid_t, long> rss;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream status("/proc/" + std::string(entry->d_name) + "/status");
    pid_t parent = 0;
    long kib = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("PPid:", 0) == 0) parent = static_cast<pid_t>(atoi(line.c_str() + 5));
      if (line.rfind("VmRSS:", 0) == 0) kib = atol(line.c_str() + 6);
    }
    children[parent].push_back(pid);
    rss[pid] = kib;
  }
  closedir(proc);
  double total = 0;
  for (std::vector<pid_t> pending = {root}; !pending.empty();) {
    pid_t pid = pending.back();
    pending.pop_back();
    total += rss[pid];
    for (pid_t child : children[pid]) pending.push_back(child);
  }
  return total / 1024.0;
}

std::string firstLineStartingWith(GSubprocess* process, const std::string& prefix) {
  GDataInputStream* lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
  std::string found;
  for (char* line; found.empty() && (line = g_data_input_stream_read_line(lines, nullptr, nullptr, nullptr)) != nullptr;) {
    if (std::string(line).rfind(prefix, 0) == 0) found = line;
    g_free(line);
  }
  g_object_unref(lines);
  return found;
}

GSubprocess* spawn(const std::vector<const char*>& arguments, GSubprocessFlags flags) {
  std::vector<const char*> argv = arguments;
  argv.push_back(nullptr);
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_newv(argv.data(), flags, &error);
  if (process == nullptr) {
    fprintf(stderr, "cannot start %s: %s\n", arguments[0], error->message);
    g_error_free(error);
  }
  return process;
}

void end(GSubprocess* process) {
  g_subprocess_send_signal(process, SIGTERM);
  g_subprocess_wait(process, nullptr, nullptr);
  g_object_unref(process);
}

pid_t pidOf(GSubprocess* process) { return static_cast<pid_t>(atoi(g_subprocess_get_identifier(process))); }

void pause(int seconds) { ShellTestServer::runUntil([] { return false; }, seconds); }

double bareWindowRss(const std::string& page) {
  GSubprocess* bare = spawn({VELORA_BINARY_DIR "/bench/bare_webkit_window", page.c_str()}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (bare == nullptr || firstLineStartingWith(bare, "loaded").empty()) return -1;
  g_usleep(1000000);
  double rss = treeRss(pidOf(bare));
  end(bare);
  return rss;
}

double chromiumRss(const std::string& page) {
  gchar* chromium = g_find_program_in_path("chromium");
  if (chromium == nullptr) return -1;
  gchar* profile = g_dir_make_tmp("memory-bench-chromium-XXXXXX", nullptr);
  std::string profileOption = std::string("--user-data-dir=") + profile;
  GSubprocess* browser = spawn({chromium, "--headless", "--no-sandbox", "--disable-gpu", profileOption.c_str(), page.c_str()},
                               static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                                                             G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  double rss = -1;
  if (browser != nullptr) {
    g_usleep(5000000);
    rss = treeRss(pidOf(browser));
    end(browser);
  }
  gchar* command = g_strdup_printf("rm -rf '%s'", profile);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", profile);
  g_free(command);
  g_free(profile);
  g_free(chromium);
  return rss;
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
  gchar* home = g_dir_make_tmp("memory-bench-XXXXXX", nullptr);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    std::string folder = std::string(home) + "/" + variable;
    g_mkdir_with_parents(folder.c_str(), 0700);
    g_setenv(variable, folder.c_str(), TRUE);
  }
  g_setenv("HOME", home, TRUE);
  gtk_init(&argc, &argv);

  std::string media = std::string(home) + "/demo";
  GSubprocess* server = spawn({"python3", VELORA_SOURCE_DIR "/tools/demo/serve", "--folder", media.c_str()},
                              G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  std::string url = server != nullptr ? firstLineStartingWith(server, "URL ") : "";
  if (url.empty()) return 1;
  std::string page = url.substr(4);

  auto* client = new VeloraDesktopAppDelegate(page);
  std::string data = std::string(home) + "/webkit";
  WebKitWebsiteDataManager* manager = webkit_website_data_manager_new("base-data-directory", data.c_str(),
                                                                      "base-cache-directory", data.c_str(), nullptr);
  if (!client->start(manager, VELORA_BINARY_DIR "/webext")) return 1;
  g_object_unref(manager);
  WebKitWebView* view = client->window()->mainView();
  bool ready = ShellTestServer::runUntil([view] {
    return WebViewProbe::evaluate(view, "document.readyState === 'complete' && typeof VeloraAPI === 'object'") == "true";
  }, 60);
  if (!ready) {
    fprintf(stderr, "the demo page did not load\n");
    return 1;
  }
  pause(2);
  double afterStart = treeRss(getpid());

  // Playing: the play button whenever nothing plays.
  const char* press = "(() => { const b = document.getElementById('play');"
                      " if (b.textContent.indexOf('Pause') < 0) { b.click(); return 1; } return 0; })()";
  gint64 until = g_get_monotonic_time() + static_cast<gint64>(seconds) * G_USEC_PER_SEC;
  int presses = 0;
  while (g_get_monotonic_time() < until) {
    presses += WebViewProbe::evaluate(view, press) == "1" ? 1 : 0;
    pause(5);
  }
  std::string position = WebViewProbe::evaluate(view, "document.getElementById('now-playing').textContent");
  double afterPlayback = treeRss(getpid());

  double bare = bareWindowRss(page);
  double chromium = chromiumRss(page);
  printf("memory of the client on the demo page (RSS with its web processes)\n");
  printf("  client after start     %8.1f MiB\n", afterStart);
  printf("  client after %d s of playback (%d presses of play; now %s) %8.1f MiB\n", seconds, presses,
         position.c_str(), afterPlayback);
  printf("the same page, after its load:\n");
  printBeside("bare WebKitGTK window", bare, afterStart);
  printBeside("chromium --headless", chromium, afterStart);

  delete client;
  end(server);
  gchar* command = g_strdup_printf("rm -rf '%s'", home);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", home);
  g_free(command);
  g_free(home);
  return 0;
}
