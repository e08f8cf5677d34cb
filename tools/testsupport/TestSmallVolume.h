#pragma once

#include <functional>
#include <string>

// A volume that runs out of space: a tmpfs of a few kilobytes, mounted in a
// child process that has user and mount namespaces of its own (what
// `unshare -rm` makes), so that no privilege is needed and nothing outside
// the child sees the mount. For tests only.
class TestSmallVolume {
 public:
  // Forks a child, mounts a tmpfs of `size` (a tmpfs size option such as
  // "64k") on `mountPoint` (an existing folder) and runs body there; the
  // child exits with body's result (0 to 99). Returns that result,
  // 1000 + the signal when the child died of one, or -1 when this machine
  // cannot make the namespaces or the mount (the caller skips).
  static int run(const std::string& mountPoint, const std::string& size, const std::function<int()>& body);
};
