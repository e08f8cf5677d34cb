#ifndef SYSTEM_INFOS_COLLECTOR_H
#define SYSTEM_INFOS_COLLECTOR_H

#include <cstdint>
#include <string>
#include <vector>

// One section of the system report: the output of a command (run without a
// shell, found on PATH) or the content of a file.
struct SystemInfoSource
{
    std::vector<std::string> command;  // empty for a file
    std::string file;                  // empty for a command
};

// The system report of the log bundle, and a few facts about the machine.
//
// The report is the text of each source in turn, each under a heading line
// (the command line or the file path followed by ":") and followed by a blank
// line. Every source is optional: one that is missing, cannot run or prints
// nothing leaves no section (a command's exit status is not looked at). A command that runs longer than 10
// seconds is killed, its output so far kept; each source keeps at most 1 MiB.
// Bytes that are not UTF-8 are replaced, so the report is always text.
//
// Any thread; it blocks for as long as the commands run.
class SystemInfosCollector
{
public:
    // The default sources: `uname -a`, /etc/os-release, `lscpu`,
    // /proc/meminfo and `pactl info`.
    SystemInfosCollector();
    explicit SystemInfosCollector(std::vector<SystemInfoSource> sources);

    static std::vector<SystemInfoSource> defaultSources();

    // The report text (empty when no source gave anything).
    std::string infosFromSystemProfiler() const;
    // Writes the report to `path` atomically (a file beside it, renamed over
    // it), readable by the user only. False, logged, when it cannot be written.
    bool writeInfosIntoFile(const std::string& path) const;

    // Processors configured on the machine.
    uint64_t numberOfProcessors() const;
    // The distribution's name and version with the kernel's release, e.g.
    // "Debian GNU/Linux 12 (bookworm), kernel 6.1.0-18-amd64".
    std::string operatingSystemVersion() const;
    // The kernel's name, e.g. "Linux".
    std::string operatingSystem() const;

private:
    static std::string sectionText(const SystemInfoSource& source);
    static std::string commandOutput(const std::vector<std::string>& command);
    static std::string fileContent(const std::string& path);

    std::vector<SystemInfoSource> m_sources;
};

#endif
