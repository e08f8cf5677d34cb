// Programs a benchmark starts beside the client and the memory they hold:
// shared by the start-up and the playback-memory benchmarks.
#pragma once

#include <gio/gio.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The memory of a process and every process under it, in MiB: the sum of
// their proportional set sizes (PSS), so that pages they share count once.
double treePss(pid_t root);

// Starts a program; null (with a line on standard error) when it cannot.
// environment: null for this process's own.
GSubprocess* spawnProcess(const std::vector<std::string>& arguments, GSubprocessFlags flags,
                          gchar** environment = nullptr);
// SIGTERM, then waits for it and frees it.
void endProcess(GSubprocess* process);
pid_t pidOf(GSubprocess* process);
// Reads the process's standard output (started with a pipe for it) up to the
// first line that starts with the prefix; empty at the end of the output.
// Later calls go on where the last one stopped.
std::string readLineStartingWith(GSubprocess* process, const std::string& prefix);

// The memory of Chromium (headless, a fresh profile) five seconds after it
// opened the page; -1 when Chromium is not installed.
double chromiumPss(const std::string& page);
