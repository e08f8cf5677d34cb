#include "TestFileReplacements.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

TestFileReplacements::TestFileReplacements(const std::string& folder, const std::string& name)
    : path_(folder + "/" + name), name_(name), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ >= 0) watch_ = inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
}

TestFileReplacements::~TestFileReplacements() {
  if (fd_ >= 0) close(fd_);
}

unsigned TestFileReplacements::count() {
  read();
  return count_;
}

size_t TestFileReplacements::bytes() {
  read();
  return bytes_;
}

void TestFileReplacements::read() {
  alignas(struct inotify_event) char buffer[16384];
  for (;;) {
    ssize_t length = ::read(fd_, buffer, sizeof buffer);
    if (length <= 0) return;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
      if (event->len == 0 || name_ != event->name) continue;
      ++count_;
      struct stat status;
      if (stat(path_.c_str(), &status) == 0) bytes_ += static_cast<size_t>(status.st_size);
    }
  }
}
