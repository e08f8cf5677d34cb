#pragma once

#include <string>

// Writes one trace line of the shell to the system log (GLib's log, which
// reaches the journal or standard error), in the form "<method> <message>".
// Any thread may call it.
void writeSystemLog(const std::string& method, const std::string& message);

// The GLib log domain of those lines, for tests that capture them.
extern const char* const kSystemLogDomain;
