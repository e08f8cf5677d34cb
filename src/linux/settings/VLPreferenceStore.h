#pragma once

#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <time.h>

// The application's preferences: text values by text key, kept in one file.
//
// File format: one entry per line, key "=" value, where '%', '=', line breaks
// and other control bytes are written as "%" and two hex digits; every other
// byte is written as it is. So any byte of keys and values survives, and a
// damaged line (no "=", a bad escape) is skipped with a warning without losing
// the others.
//
// Every set is on disk when it returns: the file is rewritten into a temporary
// file, synced and renamed over the old one. Writers take an exclusive lock on
// "<path>.lock" and re-read the file first, so several stores (threads or
// processes) on one file lose no one's key. Reads re-read the file when it has
// changed since the last read. All operations are safe from any thread.
class VLPreferenceStore {
 public:
  // `path` is the store file; its folder is created (one level) on the first
  // set when missing. An empty path keeps values in memory only.
  explicit VLPreferenceStore(const std::string& path);

  // True with `value` set when `key` is stored.
  bool get(const std::string& key, std::string& value);
  // No setting needs more: a longer key or value is refused by set, and an
  // entry over them in the file is skipped when it is read.
  static constexpr size_t kLongestKey = 4096;
  static constexpr size_t kLongestValue = 65536;

  // Stores and writes the file; false, with an error in the log, when the file
  // cannot be written (the value is then kept in memory for this run, and
  // written with the next set that succeeds) or the key or value is longer
  // than the limits (nothing is stored).
  bool set(const std::string& key, const std::string& value);
  // Removes the key and writes the file; true when the key is no longer
  // stored (also when it never was), false (logged) when the file could not
  // be written.
  bool remove(const std::string& key);

  std::string getPath() const { return path_; }

  static std::string escape(const std::string& text);
  // False when `text` holds a bad escape.
  static bool unescape(const std::string& text, std::string& result);

 private:
  struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    bool operator==(const FileStamp& other) const;
  };

  FileStamp stampFile() const;
  void reloadIfChanged();
  void load();
  bool write();
  // Logs a failed write: an error the first time since the last write that
  // succeeded, a debug line after.
  void logWriteFailure(int error);

  std::mutex mutex_;
  std::string path_;
  std::map<std::string, std::string> values_;
  // Sets whose write failed: laid over every re-read until a write succeeds.
  std::map<std::string, std::string> unwritten_;
  FileStamp loaded_;
  bool writeFailureLogged_ = false;
};
