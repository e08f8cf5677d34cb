// A home folder of its own for a shell test program: HOME and every XDG base
// folder the core and WebKit use point into a new scratch folder, removed at
// the end once WebKit's processes (which write into it until they go) have
// ended.
//
// Threads: the tests' main thread; made before anything reads the variables.
#pragma once

#include <string>

class VeloraDesktopAppDelegate;

class ScratchHome {
 public:
  // prefix: the start of the scratch folder's name (in the temporary folder).
  explicit ScratchHome(const std::string& prefix);
  ~ScratchHome();
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  const std::string& path() const { return path_; }

  // Starts the application with WebKit's data and caches in this home and
  // the web-process extension of the folder; false when it did not start.
  bool startApplication(VeloraDesktopAppDelegate& application, const std::string& extensions) const;

 private:
  std::string path_;
};
