// Programs a benchmark starts beside the client and the memory they hold:
// shared by the start-up and the playback-memory benchmarks.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The proportional memory (PSS, from /proc/PID/smaps_rollup) of a process and
// every process under it, in MiB: pages shared between them (WebKit's web and
// network processes map the same libraries as the program) count once, split
// between the sharers, where a sum of RSS would count them in each. The
// processes in `others` and everything under them are left out (a server the
// benchmark itself started). -1 when the root's memory cannot be read.
double treePss(pid_t root, const std::vector<pid_t>& others = {});
// The same memory by process name ("program" for the root), with how many
// processes of each: "program x1 55.2 MiB, WebKitWebProcess x1 160.1 MiB, ...".
std::string treePssByName(pid_t root, const std::vector<pid_t>& others = {});

// Starts a program; null (with a line on standard error) when it cannot.
// environment: null for this process's own.
GSubprocess* spawnProcess(const std::vector<std::string>& arguments, GSubprocessFlags flags,
                          gchar** environment = nullptr);
// SIGTERM, then waits for it and frees it, and waits (at most five seconds
// each) for the processes that were under it to end as well.
void endProcess(GSubprocess* process);
// Every process under the root, the root itself left out.
std::vector<pid_t> childProcesses(pid_t root);
// Waits (at most five seconds each) until the processes have ended.
void waitForExit(const std::vector<pid_t>& processes);
pid_t pidOf(GSubprocess* process);
// Reads the process's standard output (started with a pipe for it) up to the
// first line that starts with the prefix; empty at the end of the output.
// Later calls go on where the last one stopped.
std::string readLineStartingWith(GSubprocess* process, const std::string& prefix);

// The memory (PSS, as treePss) of Chromium (headless, a fresh profile that is
// removed afterwards) five seconds after it opened the page; -1 when Chromium
// is not installed.
double chromiumPss(const std::string& page);
