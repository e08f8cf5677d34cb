#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "LogBundleSettings.h"

// The files of one log upload, all named with one local time stamp
// "dd.mm.yy-HH-MM-SS" (calendar year):
// - in a private folder (0700, made for this bundle, removed with it):
//   "velora-user-infos-<stamp>.txt" ("userId:..\r\nuserLogin:..\r\n
//   desktopVersion:..\r\n") and "velora-system-infos-<stamp>.txt" (the system
//   report), both 0600;
// - on the desktop: the archive "velora-logs-<stamp>.zip" (0600), holding, in
//   this order, each by its file name: the regular files of the log folder
//   (by name), the preferences file, the user text, the system report; of a
//   file longer than kMaxBytesPerFile only its last kMaxBytesPerFile bytes.
//
// One thread at a time; build blocks while the system report is made.
class LogBundle {
 public:
  static constexpr size_t kMaxBytesPerFile = 8u << 20;

  explicit LogBundle(const LogBundleSettings& settings);
  // Removes the private folder and the texts (never the archive).
  ~LogBundle();
  LogBundle(const LogBundle&) = delete;
  LogBundle& operator=(const LogBundle&) = delete;

  // Writes the texts and the archive; the system report shows the volumes
  // of `storageFolders`. False, with the reason logged, when the archive
  // could not be made (then no archive is left behind).
  bool build(const std::string& userId, const std::string& login, const std::string& version, std::time_t now,
             const std::vector<std::string>& storageFolders = std::vector<std::string>());

  // The archive's path (set by build, also when it failed).
  const std::string& archivePath() const { return archivePath_; }
  // The files put into the archive, in order (set by build).
  const std::vector<std::string>& files() const { return files_; }

  // The stamp of a moment in local time.
  static std::string timeStamp(std::time_t now);

 private:
  bool makePrivateFolder();
  void addLogFiles();
  bool writeUserText(const std::string& path, const std::string& userId, const std::string& login,
                     const std::string& version);
  bool makeArchive();

  const LogBundleSettings settings_;
  std::string privateFolder_;
  std::string archivePath_;
  std::vector<std::string> files_;
};
