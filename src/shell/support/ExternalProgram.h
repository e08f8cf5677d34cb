// Starts other programs for the application: the desktop's handler of an
// address (the browser, the file manager, a help viewer) or a program by
// name. Their standard error goes to /dev/null: ours is the pipe to
// desktop_stderr.log, which log bundles and crash reports upload and whose
// writer lives as long as anything holds the pipe; only WebKit's own
// processes, which the application does not start through here, write there.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

class ExternalProgram {
 public:
  ExternalProgram() = delete;

  // Opens the address with the desktop's application for it (for file
  // addresses, the one for the file's type), with startup notification on
  // the display of `parent` (may be null). False, with why in `error`, when
  // no application is set for it or it cannot start.
  static bool openAddress(GtkWindow* parent, const std::string& address, std::string& error);

  // Starts the program (looked up in PATH when the first argument has no
  // '/'), leaving no zombie when it ends. `child` (may be
  // null) gets its process id: when given, the caller watches its end
  // (g_child_watch_add) instead. False, with why in `error`, when it cannot
  // start.
  static bool start(const std::vector<std::string>& arguments, GPid* child, std::string& error);
};
