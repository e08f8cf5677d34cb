#include "BenchProcesses.h"

#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

// A process's proportional set size: its private pages and its share of the
// pages it shares (the libraries a client and its web processes all map are
// counted once over the tree, not once per process as resident sizes are).
long pssKiB(const std::string& pid) {
  std::ifstream rollup("/proc/" + pid + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);) {
    if (line.rfind("Pss:", 0) == 0) return atol(line.c_str() + 4);
  }
  return 0;
}

}  // namespace

double treePss(pid_t root) {
  std::map<pid_t, std::vector<pid_t>> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream status("/proc/" + std::string(entry->d_name) + "/status");
    pid_t parent = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("PPid:", 0) == 0) parent = static_cast<pid_t>(atoi(line.c_str() + 5));
    }
    children[parent].push_back(pid);
  }
  closedir(proc);
  double total = 0;
  for (std::vector<pid_t> pending = {root}; !pending.empty();) {
    pid_t pid = pending.back();
    pending.pop_back();
    total += pssKiB(std::to_string(pid));
    for (pid_t child : children[pid]) pending.push_back(child);
  }
  return total / 1024.0;
}

GSubprocess* spawnProcess(const std::vector<std::string>& arguments, GSubprocessFlags flags, gchar** environment) {
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
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

void endProcess(GSubprocess* process) {
  g_subprocess_send_signal(process, SIGTERM);
  g_subprocess_wait(process, nullptr, nullptr);
  g_object_unref(process);
}

pid_t pidOf(GSubprocess* process) { return static_cast<pid_t>(atoi(g_subprocess_get_identifier(process))); }

std::string readLineStartingWith(GSubprocess* process, const std::string& prefix) {
  // One buffered reader per process, kept with it: a new one would lose what
  // the last one had read ahead.
  auto* lines = static_cast<GDataInputStream*>(g_object_get_data(G_OBJECT(process), "velora-lines"));
  if (lines == nullptr) {
    lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
    g_object_set_data_full(G_OBJECT(process), "velora-lines", lines, g_object_unref);
  }
  for (char* line; (line = g_data_input_stream_read_line(lines, nullptr, nullptr, nullptr)) != nullptr;) {
    std::string text(line);
    g_free(line);
    if (text.rfind(prefix, 0) == 0) return text;
  }
  return "";
}

double chromiumPss(const std::string& page) {
  gchar* chromium = g_find_program_in_path("chromium");
  if (chromium == nullptr) return -1;
  gchar* profile = g_dir_make_tmp("bench-chromium-XXXXXX", nullptr);
  GSubprocess* browser = spawnProcess(
      {chromium, "--headless", "--no-sandbox", "--disable-gpu", std::string("--user-data-dir=") + profile, page},
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  double rss = -1;
  if (browser != nullptr) {
    g_usleep(5000000);
    rss = treePss(pidOf(browser));
    endProcess(browser);
  }
  gchar* command = g_strdup_printf("rm -rf '%s'", profile);
  if (system(command) != 0) fprintf(stderr, "cannot remove %s\n", profile);
  g_free(command);
  g_free(profile);
  g_free(chromium);
  return rss;
}
