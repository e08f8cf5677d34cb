#include "SystemInfosCollector.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include "VLLogger.h"

extern char** environ;

namespace {

const int kCommandTimeoutMs = 10000;
const size_t kMaximumSectionSize = 1024 * 1024;

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// The environment of this process with LC_ALL=C, so that the tools answer in
// the untranslated form that support reads.
std::vector<char*> untranslatedEnvironment(std::vector<std::string>& storage) {
  for (char** entry = environ; entry && *entry; ++entry) {
    if (strncmp(*entry, "LC_ALL=", 7) != 0) storage.push_back(*entry);
  }
  storage.push_back("LC_ALL=C");
  std::vector<char*> pointers;
  for (std::string& entry : storage) pointers.push_back(&entry[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Reads the child's output until it closes it, the limit is reached or the
// time is up; true when it ended by itself.
bool readUntilEnd(int descriptor, std::string& output) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
  char buffer[16384];
  while (output.size() < kMaximumSectionSize) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wanted = {descriptor, POLLIN, 0};
    int ready = poll(&wanted, 1, int(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t length = read(descriptor, buffer, sizeof buffer);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return true;
    output.append(buffer, std::min(size_t(length), kMaximumSectionSize - output.size()));
  }
  return false;
}

std::string notAvailable(const std::string& reason) {
  return "not available: " + reason + "\n";
}

// What decides how GTK and WebKit draw and which portals and settings they
// meet: the session's kind, the desktop, and the display they connect to.
std::string desktopSession() {
  std::string text;
  for (const char* name : {"XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION",
                           "WAYLAND_DISPLAY", "DISPLAY", "GDK_BACKEND"}) {
    const char* value = g_getenv(name);
    text += std::string(name) + (value ? "=" + std::string(value) : " is not set") + "\n";
  }
  return text;
}

// The libraries' own answers, which may differ from the versions the
// program was built with.
std::string runTimeVersions() {
  auto version = [](unsigned major, unsigned minor, unsigned micro) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
  };
  return "GTK " + version(gtk_get_major_version(), gtk_get_minor_version(), gtk_get_micro_version()) + "\n" +
         "WebKitGTK " + version(webkit_get_major_version(), webkit_get_minor_version(), webkit_get_micro_version()) +
         "\n" + "GLib " + version(glib_major_version, glib_minor_version, glib_micro_version) + "\n";
}

}  // namespace

SystemInfosCollector::SystemInfosCollector() : sources_(defaultSources()) {}

SystemInfosCollector::SystemInfosCollector(std::vector<SystemInfoSource> sources,
                                           std::vector<std::string> storageFolders)
    : sources_(std::move(sources)) {
  // One line per volume is enough: a folder named twice is asked once.
  for (std::string& folder : storageFolders) {
    if (!folder.empty() && std::find(storageFolders_.begin(), storageFolders_.end(), folder) == storageFolders_.end())
      storageFolders_.push_back(std::move(folder));
  }
}

std::vector<SystemInfoSource> SystemInfosCollector::defaultSources() {
  return {
      SystemInfoSource{{"uname", "-a"}, ""},
      SystemInfoSource{{}, "/etc/os-release"},
      SystemInfoSource{{"lscpu"}, ""},
      SystemInfoSource{{}, "/proc/meminfo"},
      SystemInfoSource{{"df", "-h", "-T", "--"}, "", true},
      SystemInfoSource{{"lspci", "-nnk"}, ""},
      SystemInfoSource{{"lsusb"}, ""},
      SystemInfoSource{{}, "/proc/bus/input/devices"},
      SystemInfoSource{{"pactl", "info"}, ""},
      SystemInfoSource{{"pactl", "list", "short", "sinks"}, ""},
      SystemInfoSource{{}, "/proc/asound/cards"},
      SystemInfoSource{"desktop session", desktopSession},
      SystemInfoSource{"run-time libraries", runTimeVersions},
  };
}

std::string SystemInfosCollector::infosFromSystemProfiler() const {
  std::string report;
  for (const SystemInfoSource& source : sources_) report += sectionText(source);
  return report;
}

std::string SystemInfosCollector::sectionText(const SystemInfoSource& source) const {
  std::vector<std::string> command = source.command;
  if (source.withStorageFolders) command.insert(command.end(), storageFolders_.begin(), storageFolders_.end());
  std::string heading;
  std::string text;
  if (source.text) {
    heading = source.heading;
    text = source.text();
  } else if (!command.empty()) {
    heading = joined(command);
    text = commandOutput(command);
  } else {
    heading = source.file;
    text = fileContent(source.file);
  }
  if (text.empty()) return std::string();
  if (text.back() != '\n') text += '\n';
  gchar* valid = g_utf8_make_valid(text.data(), gssize(text.size()));
  std::string section = heading + ":\n" + valid + "\n";
  g_free(valid);
  return section;
}

std::string SystemInfosCollector::commandOutput(const std::vector<std::string>& command) {
  int pipeEnds[2];
  if (command.empty() || pipe2(pipeEnds, O_CLOEXEC) != 0) return std::string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> arguments;
  for (const std::string& word : command) arguments.push_back(const_cast<char*>(word.c_str()));
  arguments.push_back(nullptr);
  std::vector<std::string> environmentStorage;
  std::vector<char*> environment = untranslatedEnvironment(environmentStorage);

  pid_t child = -1;
  int result = posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  std::string output;
  if (result != 0) {
    VL_LOG_INFO("System report: " << joined(command) << " cannot run: " << strerror(result));
    close(pipeEnds[0]);
    return notAvailable(result == ENOENT ? command[0] + " is not installed"
                                         : command[0] + " cannot run: " + strerror(result));
  }
  if (!readUntilEnd(pipeEnds[0], output)) {
    VL_LOG_WARN("System report: " << joined(command) << " stopped after 10 seconds or 1 MiB of output");
    kill(child, SIGKILL);
  }
  close(pipeEnds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!output.empty() || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) return output;
  return WIFEXITED(status) ? "no output, exit status " + std::to_string(WEXITSTATUS(status)) + "\n"
                           : "no output, ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
}

std::string SystemInfosCollector::fileContent(const std::string& path) {
  std::string content;
  FILE* file = fopen(path.c_str(), "rbe");
  if (!file) return notAvailable(strerror(errno));
  char buffer[16384];
  size_t length;
  while (content.size() < kMaximumSectionSize && (length = fread(buffer, 1, sizeof buffer, file)) > 0)
    content.append(buffer, std::min(length, kMaximumSectionSize - content.size()));
  fclose(file);
  // An empty list (no input devices, say) is news too.
  return content.empty() ? "(empty)\n" : content;
}

bool SystemInfosCollector::writeInfosIntoFile(const std::string& path) const {
  std::string report = infosFromSystemProfiler();
  GError* error = nullptr;
  if (!g_file_set_contents_full(path.c_str(), report.data(), gssize(report.size()), G_FILE_SET_CONTENTS_CONSISTENT,
                                0600, &error)) {
    VL_LOG_ERROR("The system report cannot be written to " << path << ": " << error->message);
    g_error_free(error);
    return false;
  }
  return true;
}

uint64_t SystemInfosCollector::numberOfProcessors() const {
  long count = sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? uint64_t(count) : 1;
}

std::string SystemInfosCollector::operatingSystemVersion() const {
  gchar* name = g_get_os_info(G_OS_INFO_KEY_PRETTY_NAME);
  std::string version = name ? name : "Linux";
  g_free(name);
  struct utsname system;
  if (uname(&system) == 0) version += std::string(", kernel ") + system.release;
  return version;
}

std::string SystemInfosCollector::operatingSystem() const {
  struct utsname system;
  return uname(&system) == 0 ? system.sysname : "Linux";
}
