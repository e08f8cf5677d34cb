#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

// Tells which application came to the front and which one ended, on the
// main context of the thread that starts it.
class SPFrontApplicationSource {
 public:
  struct Application {
    pid_t pid = 0;
    std::string className;  // the window's class (WM_CLASS), both names joined by '\n'
  };
  using FrontHandler = std::function<void(const Application&)>;
  using TerminatedHandler = std::function<void(pid_t)>;

  virtual ~SPFrontApplicationSource() = default;
  // False when the front application cannot be watched.
  virtual bool start(FrontHandler front, TerminatedHandler terminated) = 0;
  virtual void stop() = 0;
};
