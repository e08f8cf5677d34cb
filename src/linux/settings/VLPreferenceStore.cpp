#include "VLPreferenceStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VLLogger.h"
#include "VLRegularFile.h"

namespace {

// The longest line an entry within the limits can take once escaped.
const size_t kLongestLine = 3 * (VLPreferenceStore::kLongestKey + VLPreferenceStore::kLongestValue) + 1;
// The application keeps a few dozen preferences: a file past these limits
// was not written by it, and only its beginning is read (every reload would
// otherwise read it whole and keep all of it).
const size_t kLargestFile = 4u << 20;
const size_t kMostEntries = 10000;

bool needsEscape(unsigned char byte) {
  return byte == '%' || byte == '=' || byte < 0x20 || byte == 0x7f;
}

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

std::string parentFolder(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int descriptor, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(descriptor, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(count);
  }
  return true;
}

// An exclusive advisory lock on a file beside the store, released on destruction.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    descriptor_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor_ == -1) return;
    while (flock(descriptor_, LOCK_EX) == -1 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (descriptor_ != -1) ::close(descriptor_);
  }
  bool isHeld() const { return descriptor_ != -1; }

 private:
  int descriptor_;
};

}  // namespace

bool VLPreferenceStore::FileStamp::operator==(const FileStamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

VLPreferenceStore::VLPreferenceStore(const std::string& path) : path_(path) {}

std::string VLPreferenceStore::escape(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (needsEscape(byte)) {
      result += '%';
      result += kDigits[byte >> 4];
      result += kDigits[byte & 0x0f];
    } else {
      result += c;
    }
  }
  return result;
}

bool VLPreferenceStore::unescape(const std::string& text, std::string& result) {
  result.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int high = hexValue(text[i + 1]);
    int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    result += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

VLPreferenceStore::FileStamp VLPreferenceStore::stampFile() const {
  FileStamp stamp;
  struct stat status;
  if (path_.empty() || stat(path_.c_str(), &status) != 0) return stamp;
  stamp.exists = true;
  stamp.device = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = status.st_size;
  stamp.modified = status.st_mtim;
  return stamp;
}

void VLPreferenceStore::reloadIfChanged() {
  if (path_.empty()) return;
  FileStamp stamp = stampFile();
  if (stamp == loaded_) return;
  load();
}

void VLPreferenceStore::load() {
  // Stamp before reading: a rewrite that lands during the read changes the
  // stamp, so the next call reads again.
  FileStamp stamp = stampFile();
  // Only a regular file: a FIFO at the path would block every reader.
  int descriptor = VLRegularFile::openForReading(path_, VLRegularFile::Links::Followed);
  FILE* file = descriptor >= 0 ? fdopen(descriptor, "r") : nullptr;
  if (!file) {
    if (descriptor >= 0) close(descriptor);
    if (errno != ENOENT) VL_LOG_ERROR("Unable to read preferences (" << errno << ") : " << path_);
    // An unreadable file keeps what this run already knows.
    loaded_ = stamp;
    return;
  }
  std::map<std::string, std::string> values;
  std::string line;
  bool overLong = false;
  int lineNumber = 0;
  int c;
  bool atEnd = false;
  size_t bytesRead = 0;
  while (!atEnd) {
    c = fgetc(file);
    if (c != EOF && ++bytesRead > kLargestFile) {
      VL_LOG_WARN("Preferences file over " << kLargestFile << " bytes, the rest is not read : " << path_);
      c = EOF;
    }
    if (c != '\n' && c != EOF) {
      // An entry over the limits (written before they held) is passed
      // over without being kept, and goes with the next write.
      if (line.size() < kLongestLine)
        line += static_cast<char>(c);
      else
        overLong = true;
      continue;
    }
    atEnd = c == EOF;
    ++lineNumber;
    if (line.empty()) continue;
    std::string::size_type equals = line.find('=');
    std::string key;
    std::string value;
    if (overLong) {
      VL_LOG_WARN("Over-long preference line " << lineNumber << " skipped : " << path_);
    } else if (equals == std::string::npos || !unescape(line.substr(0, equals), key) ||
               !unescape(line.substr(equals + 1), value)) {
      VL_LOG_WARN("Damaged preference line " << lineNumber << " skipped : " << path_);
    } else if (key.size() > kLongestKey || value.size() > kLongestValue) {
      VL_LOG_WARN("Over-long preference line " << lineNumber << " skipped : " << path_);
    } else if (values.size() >= kMostEntries && values.count(key) == 0) {
      VL_LOG_WARN("Preferences file over " << kMostEntries << " entries, the rest is not read : " << path_);
      break;
    } else {
      values[key] = value;
    }
    line.clear();
    overLong = false;
  }
  fclose(file);
  for (const auto& entry : unwritten_) values[entry.first] = entry.second;
  values_.swap(values);
  loaded_ = stamp;
}

bool VLPreferenceStore::get(const std::string& key, std::string& value) {
  std::lock_guard<std::mutex> guard(mutex_);
  reloadIfChanged();
  auto found = values_.find(key);
  if (found == values_.end()) return false;
  value = found->second;
  return true;
}

bool VLPreferenceStore::set(const std::string& key, const std::string& value) {
  if (key.size() > kLongestKey || value.size() > kLongestValue) {
    VL_LOG_ERROR("Preference refused, " << key.size() << " bytes of key and " << value.size()
                                        << " bytes of value : " << key.substr(0, 64));
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (path_.empty()) {
    values_[key] = value;
    return true;
  }
  // The folder may be missing on a first run; one level, the parent of the
  // folder is the caller's business.
  std::string folder = parentFolder(path_);
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    VL_LOG_ERROR("Unable to create directory : " << folder);
  }
  FileLock lock(path_ + ".lock");
  // Another store (thread or process) may have written since our last read;
  // read again under the lock rather than trust the file's stamp, which a
  // rewrite within one clock tick onto a reused inode could leave unchanged.
  if (lock.isHeld()) load();
  values_[key] = value;
  if (!write()) {
    unwritten_[key] = value;
    return false;
  }
  unwritten_.clear();
  return true;
}

bool VLPreferenceStore::remove(const std::string& key) {
  std::lock_guard<std::mutex> guard(mutex_);
  unwritten_.erase(key);
  if (path_.empty()) {
    values_.erase(key);
    return true;
  }
  FileLock lock(path_ + ".lock");
  if (lock.isHeld())
    load();
  else
    reloadIfChanged();
  if (values_.erase(key) == 0) return true;
  return write();
}

bool VLPreferenceStore::write() {
  std::string text;
  for (const auto& entry : values_) {
    text += escape(entry.first);
    text += '=';
    text += escape(entry.second);
    text += '\n';
  }

  std::string temporary = path_ + ".XXXXXX";
  int descriptor = mkostemp(&temporary[0], O_CLOEXEC);
  if (descriptor == -1) {
    logWriteFailure(errno);
    return false;
  }
  fchmod(descriptor, 0600);
  bool written = writeAll(descriptor, text) && fsync(descriptor) == 0;
  int error = errno;
  if (::close(descriptor) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written || rename(temporary.c_str(), path_.c_str()) != 0) {
    if (written) error = errno;
    logWriteFailure(error);
    unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself durable.
  int folder = ::open(parentFolder(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder != -1) {
    fsync(folder);
    ::close(folder);
  }
  loaded_ = stampFile();
  writeFailureLogged_ = false;
  return true;
}

// A home that cannot be written (remounted read-only) refuses every write of
// the run: the first refusal is an error, the next ones only debug lines,
// until a write succeeds.
void VLPreferenceStore::logWriteFailure(int error) {
  if (writeFailureLogged_) {
    VL_LOG_DEBUG("Preferences still cannot be written (" << error << ") : " << path_);
    return;
  }
  writeFailureLogged_ = true;
  VL_LOG_ERROR("Unable to write preferences (" << error << ") : " << path_);
}
