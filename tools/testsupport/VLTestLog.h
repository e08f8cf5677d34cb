#pragma once

// Test support: turns the diagnostic log on in a private folder (through
// XDG_STATE_HOME, before anything asks for the log folder) so that tests can
// check what the core logged. Header-only; not used by the core itself.

#include <cstdlib>
#include <string>

#include "VLLogger.h"
#include "TestFolder.h"

class VLTestLog {
 public:
  // Call before the first use of the setting helper's log folder.
  static void start() {
    static TestFolder folder;
    setenv("XDG_STATE_HOME", folder.path().c_str(), 1);
    VLLogger::instance()->init();
  }

  static std::string path() { return VLLogger::instance()->getLogFilePath(VLLogger::instance()->getName()); }

  // The current end of the log; pass it to since().
  static size_t mark() { return TestFolder::read(path()).size(); }

  // What was logged after `mark` (everything when the log rolled over since).
  static std::string since(size_t mark) {
    std::string text = TestFolder::read(path());
    return mark <= text.size() ? text.substr(mark) : text;
  }
};
