#include "StandardErrorLog.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

// The file's writer: appends, rolling before a write that would pass the cap.
// Allocates nothing, as the writing process (forked) must not.
class RollingFile {
 public:
  RollingFile(const char* path, const char* backup, size_t cap) : path_(path), backup_(backup), cap_(cap) {
    open(O_APPEND);
    struct stat status;
    if (fd_ >= 0 && fstat(fd_, &status) == 0) size_ = static_cast<size_t>(status.st_size);
    if (size_ > cap_) roll();
  }
  ~RollingFile() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

  void write(const char* data, size_t length) {
    if (size_ > 0 && size_ + length > cap_) roll();
    while (fd_ >= 0 && length > 0) {
      ssize_t written = ::write(fd_, data, length);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // a full disk: what does not fit is lost
      data += written;
      length -= static_cast<size_t>(written);
      size_ += static_cast<size_t>(written);
    }
  }

 private:
  void open(int mode) { fd_ = ::open(path_, O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0600); }
  void roll() {
    if (fd_ >= 0) close(fd_);
    rename(path_, backup_);
    open(O_TRUNC);
    size_ = 0;
  }

  const char* const path_;
  const char* const backup_;
  const size_t cap_;
  int fd_ = -1;
  size_t size_ = 0;
};

// The writing process: copies the pipe into the file until every writer has
// closed it. Signals meant for the application (a terminal's Control-C, a
// session's end) leave it to drain what is left.
[[noreturn]] void copyUntilTheEnd(int from, const char* path, const char* backup, size_t cap) {
  prctl(PR_SET_NAME, "velora-stderr");
  for (int ignored : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(ignored, SIG_IGN);
  RollingFile file(path, backup, cap);
  static char buffer[65536];
  for (;;) {
    ssize_t got = read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    file.write(buffer, static_cast<size_t>(got));
  }
  _exit(0);
}

// Without a writing process: standard error appends to the file itself,
// rolled now when it is past its cap.
bool appendDirectly(const std::string& path, const std::string& backup, size_t cap) {
  RollingFile file(path.c_str(), backup.c_str(), cap);
  if (file.fd() < 0 || dup2(file.fd(), STDERR_FILENO) < 0) return false;
  int flags = fcntl(STDERR_FILENO, F_GETFL);
  fcntl(STDERR_FILENO, F_SETFL, flags | O_APPEND);
  return false;
}

}  // namespace

bool StandardErrorLog::start(const std::string& path, size_t maxFileBytes) {
  const std::string backup = path + ".1";
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return appendDirectly(path, backup, maxFileBytes);
  pid_t writer = fork();
  if (writer < 0) {
    close(ends[0]);
    close(ends[1]);
    return appendDirectly(path, backup, maxFileBytes);
  }
  if (writer == 0) {
    close(ends[1]);
    // The child holds no other writing end: the application's standard error
    // is a copy of the pipe only in the application.
    copyUntilTheEnd(ends[0], path.c_str(), backup.c_str(), maxFileBytes);
  }
  close(ends[0]);
  // dup2 clears close-on-exec: the processes the application starts write here too.
  bool sent = dup2(ends[1], STDERR_FILENO) >= 0;
  close(ends[1]);
  // Should the writer be gone, a write to standard error fails instead of
  // ending the application.
  signal(SIGPIPE, SIG_IGN);
  return sent;
}
