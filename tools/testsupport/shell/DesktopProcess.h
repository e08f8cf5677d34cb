// The velora-desktop program of the build, started as a person starts it,
// with its home and XDG folders in a folder of the test's. Killed at the end
// when it still runs.
//
// Threads: the tests' main thread; its end is seen while that thread runs
// its main context (ShellTestServer::runUntil).
#pragma once

#include <glib.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class DesktopProcess {
 public:
  // The program of the build.
  static const char* const kProgram;
  // A library to preload into it (LD_PRELOAD) for a disk slow to sync or to
  // remove files: see SlowDiskShim.c for the variables it reads.
  static const char* const kSlowDiskShim;

  // home: the home folder, with the XDG folders below it (each named after
  // its variable); environment: variables set for the program besides those
  // (an empty value unsets the variable); workingFolder: where it is started
  // from (the test's own when empty); standardError: a file that takes its
  // standard error (inherited when empty).
  DesktopProcess(const std::string& home, const std::vector<std::string>& arguments,
                 const std::vector<std::pair<std::string, std::string>>& environment = {},
                 const std::string& workingFolder = "", const std::string& standardError = "");
  ~DesktopProcess();
  DesktopProcess(const DesktopProcess&) = delete;
  DesktopProcess& operator=(const DesktopProcess&) = delete;

  bool waitForEnd();
  bool ended() const { return ended_; }
  // The exit status, or -1 when it did not exit normally.
  int exitStatus() const;
  // The signal it died of, or 0.
  int deathSignal() const;
  void signal(int number);
  GPid pid() const { return pid_; }
  // Its resident memory ("VmRSS:") or the peak of it ("VmHWM:"), in kB; 0
  // when it cannot be read.
  size_t residentKilobytes(const std::string& field) const;
  // Its resident peak starts again from its present size.
  void resetResidentPeak();
  // The bytes its main thread has written (to files, pipes and sockets).
  size_t mainThreadBytesWritten() const;

 private:
  GPid pid_ = 0;
  bool started_ = false;
  bool ended_ = false;
  int status_ = 0;
};
