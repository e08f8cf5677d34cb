#include "DesktopProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "ShellTestServer.h"

const char* const DesktopProcess::kProgram = VELORA_BINARY_DIR "/velora-desktop";
const char* const DesktopProcess::kSlowDiskShim = VELORA_BINARY_DIR "/testsupport/libvelora_slow_disk.so";

DesktopProcess::DesktopProcess(const std::string& home, const std::vector<std::string>& arguments,
                               const std::vector<std::pair<std::string, std::string>>& environment,
                               const std::string& workingFolder, const std::string& standardError) {
  std::vector<std::string> argv = {kProgram};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  gchar** env = g_get_environ();
  env = g_environ_setenv(env, "HOME", home.c_str(), TRUE);
  for (const char* variable : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"}) {
    env = g_environ_setenv(env, variable, (home + "/" + variable).c_str(), TRUE);
  }
  for (const auto& variable : environment) {
    env = variable.second.empty() ? g_environ_unsetenv(env, variable.first.c_str())
                                  : g_environ_setenv(env, variable.first.c_str(), variable.second.c_str(), TRUE);
  }
  GError* error = nullptr;
  // A program that dies of a signal leaves no core file in the test's folder.
  GSpawnChildSetupFunc noCore = [](gpointer) {
    rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
  };
  int errorFd =
      standardError.empty() ? -1 : open(standardError.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  started_ = g_spawn_async_with_fds(workingFolder.empty() ? nullptr : workingFolder.c_str(), raw.data(), env,
                                    G_SPAWN_DO_NOT_REAP_CHILD, noCore, nullptr, &pid_, -1, -1, errorFd, &error);
  if (errorFd >= 0) close(errorFd);
  g_strfreev(env);
  if (!started_) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
    return;
  }
  g_child_watch_add(
      pid_,
      [](GPid, gint status, gpointer self) {
        auto* process = static_cast<DesktopProcess*>(self);
        process->status_ = status;
        process->ended_ = true;
      },
      this);
}

DesktopProcess::~DesktopProcess() {
  if (started_ && !ended_) {
    kill(pid_, SIGKILL);
    ShellTestServer::runUntil([this] { return ended_; }, 30);
  }
}

bool DesktopProcess::waitForEnd() {
  return ShellTestServer::runUntil([this] { return ended_; });
}

int DesktopProcess::exitStatus() const {
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int DesktopProcess::deathSignal() const {
  return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

void DesktopProcess::signal(int number) {
  kill(pid_, number);
}

namespace {

// The number after "field" in a /proc file of "field value" lines; 0 when none.
size_t procValue(const std::string& path, const std::string& field) {
  std::ifstream status(path);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, field.size(), field) == 0) return std::stoul(line.substr(field.size()));
  }
  return 0;
}

}  // namespace

size_t DesktopProcess::residentKilobytes(const std::string& field) const {
  return procValue("/proc/" + std::to_string(pid_) + "/status", field);
}

size_t DesktopProcess::mainThreadBytesWritten() const {
  return procValue("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/io", "wchar:");
}

void DesktopProcess::resetResidentPeak() {
  std::ofstream("/proc/" + std::to_string(pid_) + "/clear_refs") << "5";
}
