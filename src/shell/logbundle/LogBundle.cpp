#include "LogBundle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileArchiver.h"
#include "SystemInfosCollector.h"
#include "VLLogger.h"
#include "ZipException.h"

namespace {

// The regular files of a folder, by name. Links and sub-folders are left out:
// only the log files themselves belong in the bundle.
std::vector<std::string> regularFiles(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (!directory) return names;
  while (dirent* entry = readdir(directory)) {
    struct stat status;
    std::string path = folder + "/" + entry->d_name;
    if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) names.push_back(entry->d_name);
  }
  closedir(directory);
  std::sort(names.begin(), names.end());
  return names;
}

void removeFolder(const std::string& folder) {
  for (const std::string& name : regularFiles(folder)) unlink((folder + "/" + name).c_str());
  rmdir(folder.c_str());
}

// Makes (or truncates) the file readable by the user only, before anything
// is written into it.
bool createPrivateFile(const std::string& path) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (descriptor < 0) return false;
  bool made = fchmod(descriptor, 0600) == 0;
  close(descriptor);
  return made;
}

}  // namespace

LogBundle::LogBundle(const LogBundleSettings& settings) : settings_(settings) {}

LogBundle::~LogBundle() {
  if (!privateFolder_.empty()) removeFolder(privateFolder_);
}

std::string LogBundle::timeStamp(std::time_t now) {
  struct tm local = {};
  localtime_r(&now, &local);
  char text[32];
  strftime(text, sizeof text, "%d.%m.%y-%H-%M-%S", &local);
  return text;
}

bool LogBundle::build(const std::string& userId, const std::string& login, const std::string& version, std::time_t now,
                      const std::vector<std::string>& storageFolders) {
  std::string stamp = timeStamp(now);
  archivePath_ = settings_.desktopFolder + "/velora-logs-" + stamp + ".zip";
  files_.clear();
  if (!makePrivateFolder()) return false;

  addLogFiles();
  files_.push_back(settings_.preferencesFile);
  std::string userText = privateFolder_ + "/velora-user-infos-" + stamp + ".txt";
  if (writeUserText(userText, userId, login, version)) files_.push_back(userText);
  std::string systemText = privateFolder_ + "/velora-system-infos-" + stamp + ".txt";
  if (SystemInfosCollector(settings_.systemInfoSources, storageFolders).writeInfosIntoFile(systemText))
    files_.push_back(systemText);
  return makeArchive();
}

bool LogBundle::makePrivateFolder() {
  if (!privateFolder_.empty()) return true;
  std::string pattern = settings_.temporaryFolder + "/velora-log-bundle-XXXXXX";
  if (!mkdtemp(&pattern[0])) {
    VL_LOG_ERROR("No private folder for the log bundle in " << settings_.temporaryFolder << ": " << strerror(errno));
    return false;
  }
  privateFolder_ = pattern;
  return true;
}

void LogBundle::addLogFiles() {
  if (settings_.logFolder.empty()) return;
  for (const std::string& name : regularFiles(settings_.logFolder)) files_.push_back(settings_.logFolder + "/" + name);
}

bool LogBundle::writeUserText(const std::string& path, const std::string& userId, const std::string& login,
                              const std::string& version) {
  std::string text = "userId:" + userId + "\r\nuserLogin:" + login + "\r\ndesktopVersion:" + version + "\r\n";
  GError* error = nullptr;
  if (!g_file_set_contents_full(path.c_str(), text.data(), gssize(text.size()), G_FILE_SET_CONTENTS_CONSISTENT, 0600,
                                &error)) {
    VL_LOG_ERROR("The user text of the log bundle cannot be written: " << error->message);
    g_error_free(error);
    return false;
  }
  return true;
}

bool LogBundle::makeArchive() {
  if (g_mkdir_with_parents(settings_.desktopFolder.c_str(), 0700) != 0 || !createPrivateFile(archivePath_)) {
    VL_LOG_ERROR("The log archive cannot be made at " << archivePath_ << ": " << strerror(errno));
    return false;
  }
  try {
    FileArchiver(files_, kMaxBytesPerFile).createArchiveWithName(archivePath_);
  } catch (const ZipException& exception) {
    VL_LOG_ERROR("The log archive cannot be made at " << archivePath_ << ": " << exception.what());
    unlink(archivePath_.c_str());
    return false;
  }
  return true;
}
