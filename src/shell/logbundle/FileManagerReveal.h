#pragma once

#include <string>

// Shows a file to the user in the desktop's file manager, selected: through
// org.freedesktop.FileManager1.ShowItems on the session bus, and when no file
// manager answers there, by opening the file's folder with the default
// application for folders. Failures are logged; nothing is returned.
//
// Main thread (it runs on the default GLib main context): returns at once,
// the call completes on the main loop.
class FileManagerReveal {
 public:
  FileManagerReveal() = delete;

  static void reveal(const std::string& path);
  // The fallback alone: opens the folder holding `path`.
  static void openContainingFolder(const std::string& path);
};
