// The application's own files (the loader and error pages, the page
// scripts), built into the executable from src/shell/resources as GResources
// under kRoot. WebKit reads them as "resource://" + kRoot + name too.
//
// Threads: any.
#pragma once

#include <string>

class ShellResources {
 public:
  static constexpr const char* kRoot = "/org/velora/desktop/";

  // The file's bytes; false when the application has no such file.
  static bool read(const std::string& name, std::string& contents);
  // The address WebKit loads the file from.
  static std::string address(const std::string& name) { return std::string("resource://") + kRoot + name; }
};
