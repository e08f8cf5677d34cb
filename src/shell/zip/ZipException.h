#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The one exception of the zip classes: what failed (reason) and the minizip
// result code of the failed call (error; 0 when the failure has no library
// code, such as a wrong mode). Raised by ZipFile, its streams and
// FileArchiver; callers in the shell catch it before control returns to
// GLib, whose callbacks must never see an exception.
class ZipException : public std::exception {
 public:
  explicit ZipException(std::string reason);
  ZipException(int64_t error, std::string reason);

  // "ZipException".
  const char* name() const noexcept { return "ZipException"; }
  const std::string& reason() const noexcept { return reason_; }
  int64_t error() const noexcept { return error_; }
  // The reason, followed by " (error N)" when there is a library code.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  int64_t error_;
  std::string reason_;
  std::string what_;
};
