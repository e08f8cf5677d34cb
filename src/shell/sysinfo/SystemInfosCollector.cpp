#include "SystemInfosCollector.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "VLLogger.h"

extern char** environ;

namespace {

const int kCommandTimeoutMs = 10000;
const size_t kMaximumSectionSize = 1024 * 1024;

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// The environment of this process with LC_ALL=C, so that the tools answer in
// the untranslated form that support reads.
std::vector<char*> untranslatedEnvironment(std::vector<std::string>& storage)
{
    for (char** entry = environ; entry && *entry; ++entry) {
        if (strncmp(*entry, "LC_ALL=", 7) != 0)
            storage.push_back(*entry);
    }
    storage.push_back("LC_ALL=C");
    std::vector<char*> pointers;
    for (std::string& entry : storage)
        pointers.push_back(&entry[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// Reads the child's output until it closes it, the limit is reached or the
// time is up; true when it ended by itself.
bool readUntilEnd(int descriptor, std::string& output)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandTimeoutMs);
    char buffer[16384];
    while (output.size() < kMaximumSectionSize) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd wanted = {descriptor, POLLIN, 0};
        int ready = poll(&wanted, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t length = read(descriptor, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return true;
        output.append(buffer, std::min(size_t(length), kMaximumSectionSize - output.size()));
    }
    return false;
}

}  // namespace

SystemInfosCollector::SystemInfosCollector()
    : m_sources(defaultSources())
{
}

SystemInfosCollector::SystemInfosCollector(std::vector<SystemInfoSource> sources)
    : m_sources(std::move(sources))
{
}

std::vector<SystemInfoSource> SystemInfosCollector::defaultSources()
{
    return {
        SystemInfoSource{{"uname", "-a"}, ""},
        SystemInfoSource{{}, "/etc/os-release"},
        SystemInfoSource{{"lscpu"}, ""},
        SystemInfoSource{{}, "/proc/meminfo"},
        SystemInfoSource{{"pactl", "info"}, ""},
    };
}

std::string SystemInfosCollector::infosFromSystemProfiler() const
{
    std::string report;
    for (const SystemInfoSource& source : m_sources)
        report += sectionText(source);
    return report;
}

std::string SystemInfosCollector::sectionText(const SystemInfoSource& source)
{
    std::string heading = source.command.empty() ? source.file : joined(source.command);
    std::string text = source.command.empty() ? fileContent(source.file) : commandOutput(source.command);
    if (text.empty())
        return std::string();
    if (text.back() != '\n')
        text += '\n';
    gchar* valid = g_utf8_make_valid(text.data(), gssize(text.size()));
    std::string section = heading + ":\n" + valid + "\n";
    g_free(valid);
    return section;
}

std::string SystemInfosCollector::commandOutput(const std::vector<std::string>& command)
{
    int pipeEnds[2];
    if (command.empty() || pipe2(pipeEnds, O_CLOEXEC) != 0)
        return std::string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> arguments;
    for (const std::string& word : command)
        arguments.push_back(const_cast<char*>(word.c_str()));
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
        return output;
    }
    if (!readUntilEnd(pipeEnds[0], output)) {
        VL_LOG_WARN("System report: " << joined(command) << " stopped after 10 seconds or 1 MiB of output");
        kill(child, SIGKILL);
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return output;
}

std::string SystemInfosCollector::fileContent(const std::string& path)
{
    std::string content;
    FILE* file = fopen(path.c_str(), "rbe");
    if (!file)
        return content;
    char buffer[16384];
    size_t length;
    while (content.size() < kMaximumSectionSize && (length = fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, std::min(length, kMaximumSectionSize - content.size()));
    fclose(file);
    return content;
}

bool SystemInfosCollector::writeInfosIntoFile(const std::string& path) const
{
    std::string report = infosFromSystemProfiler();
    GError* error = nullptr;
    if (!g_file_set_contents_full(path.c_str(), report.data(), gssize(report.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error)) {
        VL_LOG_ERROR("The system report cannot be written to " << path << ": " << error->message);
        g_error_free(error);
        return false;
    }
    return true;
}

uint64_t SystemInfosCollector::numberOfProcessors() const
{
    long count = sysconf(_SC_NPROCESSORS_CONF);
    return count > 0 ? uint64_t(count) : 1;
}

std::string SystemInfosCollector::operatingSystemVersion() const
{
    gchar* name = g_get_os_info(G_OS_INFO_KEY_PRETTY_NAME);
    std::string version = name ? name : "Linux";
    g_free(name);
    struct utsname system;
    if (uname(&system) == 0)
        version += std::string(", kernel ") + system.release;
    return version;
}

std::string SystemInfosCollector::operatingSystem() const
{
    struct utsname system;
    return uname(&system) == 0 ? system.sysname : "Linux";
}
