#pragma once

#include <string>

#include "VLPlatformFactoryWrapper.h"

// A platform factory whose mapped files fail on demand, the way a failing
// device or a full disk makes the real ones fail: the nth open at the file's
// present size (open()), or the nth open at a chosen size (open(size), which
// resize() and zero-filling resizes go through), counted from the call that
// arms it, fails. The failed file is left closed, unchanged on disk, with the
// real failure's error in the log ("open has failed", "posix_fallocate has
// failed"). Everything else is the target's.
//
// The counters are process-wide atomics, shared by every mapped file made
// here, on any thread: a fault lands on the same call in every run, in
// process. Mapped files made here may outlive the platform (a repository
// keeps its records' files); they keep counting.
//
// Installed as the process-wide factory for the life of the object; the
// previous factory is put back by the destructor. For tests only.
class FaultInjectingPlatform : public VLPlatformFactoryWrapper {
 public:
  // Wraps target (not owned; it must outlive every mapped file made here).
  explicit FaultInjectingPlatform(VLPlatformFactory* target);
  ~FaultInjectingPlatform() override;
  FaultInjectingPlatform(const FaultInjectingPlatform&) = delete;
  FaultInjectingPlatform& operator=(const FaultInjectingPlatform&) = delete;

  VLMappedFile* createMappedFile(const std::string& path) override;

  // The nth open() from now fails (1 is the next one); 0 disarms.
  void failNthOpen(int n);
  // The nth open(size) from now fails (1 is the next one); 0 disarms.
  void failNthResize(int n);
  // Faults injected since the process started.
  int injectedFaults() const;

 private:
  VLPlatformFactory* previous_;
};
