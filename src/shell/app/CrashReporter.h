// Crash reports. install() catches the fatal signals (SIGSEGV, SIGBUS,
// SIGILL, SIGFPE, SIGABRT) on an alternate stack: the handler writes, with
// async-signal-safe calls only, a report (signal, time, version and build, a
// backtrace) into the report folder, then restores the signal's default
// action and raises it again, so that the system's own handling (a core
// dump, the exit status) still happens. A later crash replaces the report.
//
// At the next start CrashReportSender offers to send the report.
//
// Threads: install() on the main thread, before other threads start (the
// alternate stack is the main thread's; a crash on another thread runs the
// handler on that thread's stack). The rest: any thread.
#pragma once

#include <cstddef>
#include <string>

class CrashReporter {
 public:
  // The identifier and company that a sent report carries.
  static constexpr const char* kApplicationIdentifier = "5d0c8e1a9b7f3264ae18c0d9f2b6a743";
  static constexpr const char* kCompanyName = "Velora";

  // The folder of the report, inside the state folder (a sub-folder, so that
  // log bundles and the report's log text leave it out).
  static std::string reportFolder(const std::string& stateFolder);
  // The report's path in that folder.
  static std::string reportPath(const std::string& stateFolder);

  // Makes the report folder and installs the handler (again: replaces the
  // earlier folder and version). False, with a warning, when the folder or
  // the handler cannot be set up. version: "short version (build)".
  static bool install(const std::string& stateFolder, const std::string& version);

  // A report is read up to this size for sending (its head holds the
  // signal and the backtrace).
  static constexpr size_t kMaximumReportBytes = 1u << 20;
  // Of each log file only its last bytes go with a report, and the log text
  // stops growing past its limit.
  static constexpr size_t kMaximumBytesPerLogFile = 1u << 20;
  static constexpr size_t kMaximumLogTextBytes = 4u << 20;

  // The log text sent with a report: for each entry of the folder, in the
  // order the listing gives, "\n", the name, ":\n\n", then the last
  // kMaximumBytesPerLogFile bytes as UTF-8 (invalid bytes replaced by
  // U+FFFD), until the text holds kMaximumLogTextBytes. Only regular files
  // count (no links, FIFOs or folders); unreadable ones are skipped; a
  // missing folder gives "".
  static std::string crashReportApplicationLog(const std::string& logFolder);
};
