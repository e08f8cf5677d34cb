// The shell's traces: "method message" lines on the standard error stream,
// which the process entry sends to "desktop_stderr.log" in the log folder.
// Warnings and errors go to the core log instead (VL_LOG_WARN and kin).
//
// Threads: any.
#pragma once

#include <string>

void shellTrace(const char* method, const std::string& message);
