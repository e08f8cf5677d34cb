#include "TestSmallVolume.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool writeText(const char* path, const std::string& text) {
  int descriptor = open(path, O_WRONLY | O_CLOEXEC);
  if (descriptor == -1) return false;
  bool written = write(descriptor, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(descriptor);
  return written;
}

// A user namespace in which we are root, so that a tmpfs can be mounted
// without privileges, with a private mount namespace. Plain root in a
// container without user namespaces tries the mount namespace alone.
bool enterPrivateMountNamespace() {
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
    writeText("/proc/self/setgroups", "deny");
    return writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  return unshare(CLONE_NEWNS) == 0;
}

const int kNoNamespace = 100;

}  // namespace

int TestSmallVolume::run(const std::string& mountPoint, const std::string& size, const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0) {
    if (!enterPrivateMountNamespace() || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
      _exit(kNoNamespace);
    _exit(body());
  }
  if (child < 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  int code = WEXITSTATUS(status);
  return code >= kNoNamespace ? -1 : code;
}
