// Start-up of the client beside a bare WebKitGTK window, in the same run:
// from process start to the player page's load event, the demo page served
// by tools/demo/serve from 127.0.0.1, and the memory (RSS) of each program
// with its web processes once the page has loaded. Chromium (headless) on
// the same page is measured too when it is installed.
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

namespace {

double now() { return g_get_monotonic_time() / 1000.0; }

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
    std::string line;
    pid_t parent = 0;
    long kib = 0;
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) == 0) parent = static_cast<pid_t>(atoi(line.c_str() + 5));
      if (line.rfind("VmRSS:", 0) == 0) kib = atol(line.c_str() + 6);
    }
    children[parent].push_back(pid);
    rss[pid] = kib;
  }
  closedir(proc);
  double total = 0;
  std::vector<pid_t> pending = {root};
  while (!pending.empty()) {
    pid_t pid = pending.back();
    pending.pop_back();
    total += rss[pid];
    for (pid_t child : children[pid]) pending.push_back(child);
  }
  return total / 1024.0;
}

GSubprocess* spawn(const std::vector<std::string>& arguments, GSubprocessFlags flags, gchar** environment = nullptr) {
  std::vector<const char*> argv;
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  GSubprocessLauncher* launcher = g_subprocess_launcher_new(flags);
  if (environment != nullptr) g_subprocess_launcher_set_environ(launcher, environment);
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
  g_object_unref(launcher);
  if (process == nullptr) {
    fprintf(stderr, "cannot start %s: %s\n", arguments[0].c_str(), error->message);
    g_error_free(error);
  }
  return process;
}

void end(GSubprocess* process) {
  g_subprocess_send_signal(process, SIGTERM);
  g_subprocess_wait(process, nullptr, nullptr);
  g_object_unref(process);
}

// Reads lines of the process's standard output until one starts with the prefix.
std::string readUntil(GSubprocess* process, const std::string& prefix) {
  static std::map<GSubprocess*, GDataInputStream*> streams;
  GDataInputStream*& lines = streams[process];
  if (lines == nullptr) lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
  for (char* line; (line = g_data_input_stream_read_line(lines, nullptr, nullptr, nullptr)) != nullptr;) {
    std::string text(line);
    g_free(line);
    if (text.rfind(prefix, 0) == 0) return text;
  }
  return "";
}

struct Sample {
  double milliseconds = 0;
  double rssMiB = 0;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The client in a scratch home of its own, pointed at the page.
bool runClient(const std::string& program, const std::string& page, Sample& sample) {
  gchar* home = g_dir_make_tmp("startup-bench-XXXXXX", nullptr);
  std::string config = std::string(home) + "/config/velora-desktop";
  g_mkdir_with_parents(config.c_str(), 0700);
  std::ofstream(config + "/preferences") << "BetaPlayerURL=" << page << "\n";
  gchar** environment = g_get_environ();
  environment = g_environ_setenv(environment, "HOME", home, TRUE);
  for (const char* variable : {"XDG_CONFIG_HOME:config", "XDG_CACHE_HOME:cache", "XDG_DATA_HOME:data",
                               "XDG_STATE_HOME:state"}) {
    std::string pair(variable);
    std::string name = pair.substr(0, pair.find(':'));
    environment = g_environ_setenv(environment, name.c_str(),
                                   (std::string(home) + "/" + pair.substr(pair.find(':') + 1)).c_str(), TRUE);
  }
  std::string log = std::string(home) + "/state/velora-desktop/desktop_stderr.log";
  double start = now();
  GSubprocess* client = spawn({program}, G_SUBPROCESS_FLAGS_NONE, environment);
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
    sample.rssMiB = treeRss(static_cast<pid_t>(atoi(g_subprocess_get_identifier(client))));
    end(client);
  }
  gchar* command = g_strdup_printf("rm -rf '%s'", home);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", home);
  g_free(command);
  g_free(home);
  return loaded;
}

bool runBare(const std::string& program, const std::string& page, Sample& sample) {
  double start = now();
  GSubprocess* bare = spawn({program, page}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (bare == nullptr) return false;
  bool loaded = readUntil(bare, "loaded") == "loaded";
  sample.milliseconds = now() - start;
  g_usleep(500000);
  sample.rssMiB = treeRss(static_cast<pid_t>(atoi(g_subprocess_get_identifier(bare))));
  end(bare);
  return loaded;
}

double chromiumRss(const std::string& page) {
  gchar* chromium = g_find_program_in_path("chromium");
  if (chromium == nullptr) return -1;
  gchar* profile = g_dir_make_tmp("startup-bench-chromium-XXXXXX", nullptr);
  GSubprocess* browser = spawn({chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                std::string("--user-data-dir=") + profile, page},
                               static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
                                                             G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  double rss = -1;
  if (browser != nullptr) {
    g_usleep(5000000);
    rss = treeRss(static_cast<pid_t>(atoi(g_subprocess_get_identifier(browser))));
    end(browser);
  }
  gchar* command = g_strdup_printf("rm -rf '%s'", profile);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", profile);
  g_free(command);
  g_free(profile);
  g_free(chromium);
  return rss;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  if (g_getenv("DISPLAY") == nullptr) {
    fprintf(stderr, "startup_bench needs a display: scripts/in-display-session %s\n", argv[0]);
    return 2;
  }
  GSubprocess* server = spawn({"python3", VELORA_SOURCE_DIR "/tools/demo/serve"}, G_SUBPROCESS_FLAGS_STDOUT_PIPE);
  if (server == nullptr) return 1;
  std::string url = readUntil(server, "URL ");
  if (url.empty()) return 1;
  std::string page = url.substr(4);

  std::vector<double> clientTimes, bareTimes, clientRss, bareRss;
  for (int i = 0; i < runs; ++i) {
    Sample client, bare;
    if (!runClient(VELORA_BINARY_DIR "/velora-desktop", page, client)) fprintf(stderr, "client run %d: no load\n", i);
    if (!runBare(VELORA_BINARY_DIR "/bench/bare_webkit_window", page, bare)) fprintf(stderr, "bare run %d: no load\n", i);
    clientTimes.push_back(client.milliseconds);
    bareTimes.push_back(bare.milliseconds);
    clientRss.push_back(client.rssMiB);
    bareRss.push_back(bare.rssMiB);
  }
  double client = median(clientTimes), bare = median(bareTimes);
  printf("start-up to the page's load event (median of %d, demo page on 127.0.0.1)\n", runs);
  printf("  velora-desktop        %8.1f ms\n", client);
  printf("  bare WebKitGTK window %8.1f ms   ratio %.2f\n", bare, bare > 0 ? client / bare : 0);
  double rssClient = median(clientRss), rssBare = median(bareRss);
  printf("memory after start (RSS of the program and its web processes, median)\n");
  printf("  velora-desktop        %8.1f MiB\n", rssClient);
  printf("  bare WebKitGTK window %8.1f MiB   ratio %.2f\n", rssBare, rssBare > 0 ? rssClient / rssBare : 0);
  double chromium = chromiumRss(page);
  if (chromium >= 0) {
    printf("  chromium --headless   %8.1f MiB   ratio %.2f\n", chromium, chromium > 0 ? rssClient / chromium : 0);
  } else {
    printf("  chromium --headless   not installed\n");
  }
  end(server);
  return 0;
}
