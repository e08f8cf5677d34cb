#include "BenchProcesses.h"

#include "TestFolder.h"

#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

// The "Pss:" line of the process's smaps_rollup, in KiB; -1 when unreadable
// (the process has gone, or the kernel has no rollup).
long pssKiB(pid_t pid) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);) {
    if (line.rfind("Pss:", 0) == 0) return atol(line.c_str() + 4);
  }
  return -1;
}

// Every process under the root (not the root itself).
std::vector<pid_t> descendants(pid_t root) {
  std::map<pid_t, std::vector<pid_t>> children;
  if (DIR* proc = opendir("/proc")) {
    for (dirent* entry; (entry = readdir(proc)) != nullptr;) {
      pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
      if (pid <= 0) continue;
      std::ifstream status("/proc/" + std::string(entry->d_name) + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("PPid:", 0) == 0) {
          children[static_cast<pid_t>(atoi(line.c_str() + 5))].push_back(pid);
          break;
        }
      }
    }
    closedir(proc);
  }
  std::vector<pid_t> found;
  for (std::vector<pid_t> pending = children[root]; !pending.empty();) {
    pid_t pid = pending.back();
    pending.pop_back();
    found.push_back(pid);
    for (pid_t child : children[pid]) pending.push_back(child);
  }
  return found;
}

}  // namespace

namespace {

// The processes treePss counts: the root, then those under it but for others
// and what is under them.
std::vector<pid_t> countedProcesses(pid_t root, const std::vector<pid_t>& others) {
  std::vector<pid_t> left;
  for (pid_t other : others) {
    left.push_back(other);
    for (pid_t below : descendants(other)) left.push_back(below);
  }
  std::vector<pid_t> counted = {root};
  for (pid_t pid : descendants(root)) {
    if (std::find(left.begin(), left.end(), pid) == left.end()) counted.push_back(pid);
  }
  return counted;
}

std::string nameOf(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name.empty() ? "?" : name;
}

}  // namespace

double treePss(pid_t root, const std::vector<pid_t>& others) {
  if (pssKiB(root) < 0) return -1;
  double total = 0;
  for (pid_t pid : countedProcesses(root, others)) total += double(std::max(0L, pssKiB(pid)));
  return total / 1024.0;
}

std::string treePssByName(pid_t root, const std::vector<pid_t>& others) {
  std::map<std::string, std::pair<int, long>> byName;  // count, KiB
  for (pid_t pid : countedProcesses(root, others)) {
    auto& entry = byName[pid == root ? "program" : nameOf(pid)];
    ++entry.first;
    entry.second += std::max(0L, pssKiB(pid));
  }
  std::string text;
  char part[128];
  for (const auto& entry : byName) {
    snprintf(part, sizeof part, "%s%s x%d %.1f MiB", text.empty() ? "" : ", ", entry.first.c_str(), entry.second.first,
             double(entry.second.second) / 1024.0);
    text += part;
  }
  return text;
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
  std::vector<pid_t> below = descendants(pidOf(process));
  g_subprocess_send_signal(process, SIGTERM);
  g_subprocess_wait(process, nullptr, nullptr);
  g_object_unref(process);
  waitForExit(below);
}

void waitForExit(const std::vector<pid_t>& processes) {
  // Web processes end when they see their parent gone; until then they may
  // still write into the folders the caller is about to remove.
  for (pid_t pid : processes) {
    for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) g_usleep(10000);
  }
}

std::vector<pid_t> childProcesses(pid_t root) {
  return descendants(root);
}

pid_t pidOf(GSubprocess* process) {
  return static_cast<pid_t>(atoi(g_subprocess_get_identifier(process)));
}

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
  double pss = -1;
  {
    TestFolder profile;
    GSubprocess* browser = spawnProcess(
        {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile.path(), page},
        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
    if (browser != nullptr) {
      g_usleep(5000000);
      pss = treePss(pidOf(browser));
      endProcess(browser);
    }
  }
  g_free(chromium);
  return pss;
}
