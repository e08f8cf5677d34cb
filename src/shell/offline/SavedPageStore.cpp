#include "SavedPageStore.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <vector>

#include "VLLogger.h"
#include "VLRegularFile.h"

SavedPageStore::SavedPageStore(std::string folder, std::string playerAddress)
    : folder_(std::move(folder)),
      playerAddress_(SavedPage::withoutFragment(playerAddress)),
      recording_(playerAddress_) {}

SavedPageStore::~SavedPageStore() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  writesChanged_.notify_all();
  if (writer_.joinable()) writer_.join();
}

bool SavedPageStore::isPlayerPage(const std::string& address) const {
  return !playerAddress_.empty() && SavedPage::withoutFragment(address) == playerAddress_;
}

std::string SavedPageStore::fileNameFor(const std::string& pageAddress) {
  std::string address = SavedPage::withoutFragment(pageAddress);
  gchar* digest =
      g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(address.data()), address.size());
  gchar* upper = g_ascii_strup(digest, -1);
  std::string name(upper);
  g_free(upper);
  g_free(digest);
  return name;
}

std::string SavedPageStore::pathFor(const std::string& pageAddress) const {
  return folder_ + "/" + fileNameFor(pageAddress);
}

bool SavedPageStore::record(const std::string& pageAddress, const std::string& address, const std::string& mimeType,
                            const std::string& bytes) {
  if (!isPlayerPage(pageAddress)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return keepLocked(address, mimeType, bytes);
}

// A file over the limit could not be read back at an offline start: what
// would make it so is not kept, nor held in memory until a write refuses it.
bool SavedPageStore::keepLocked(const std::string& address, const std::string& mimeType, const std::string& bytes) {
  size_t file = recording_.document() != nullptr || !savedThisRun_ ? 0 : savedBytes_;
  if (file + recording_.byteCount() + address.size() + mimeType.size() + bytes.size() > kMaximumFileBytes) {
    VL_LOG_WARN("SavedPageStore::record " + playerAddress_ + " would take more than " +
                std::to_string(kMaximumFileBytes) + " bytes with " + address + ": what was recorded is dropped");
    recording_ = SavedPage(playerAddress_);
    return false;
  }
  recording_.keep(address, mimeType, bytes);
  return true;
}

SavedPage SavedPageStore::takeRecordingLocked() {
  SavedPage taken = std::move(recording_);
  recording_ = SavedPage(playerAddress_);
  return taken;
}

bool SavedPageStore::saveRecording(const std::string& pageAddress) {
  if (!isPlayerPage(pageAddress)) return false;
  SavedPage taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording_.empty() || (recording_.document() == nullptr && !savedThisRun_)) return false;
    taken = takeRecordingLocked();
  }
  return writeTaken(taken);
}

bool SavedPageStore::saveRecordingInBackground(const std::string& pageAddress) {
  if (!isPlayerPage(pageAddress)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (recording_.empty()) return false;
  SavedPage taken = takeRecordingLocked();
  if (!waiting_.has_value() || taken.document() != nullptr) {
    // A page that reloads itself on a disk slow to sync would otherwise
    // queue a copy of each load: the newest whole load is the one to keep.
    if (waiting_.has_value())
      VL_LOG_INFO("SavedPageStore::saveRecordingInBackground a newer load replaces one not yet written");
    waiting_ = std::move(taken);
  } else {
    for (const SavedPage::Resource& resource : taken.resources()) {
      waiting_->keep(resource.address, resource.mimeType, resource.bytes);
    }
  }
  if (!writer_.joinable()) writer_ = std::thread([this] { runWriter(); });
  writesChanged_.notify_all();
  return true;
}

// Serializing and writing a page of tens of megabytes takes long: never on
// the thread that records (the main thread, which it would stall).
void SavedPageStore::runWriter() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    writesChanged_.wait(lock, [this] { return stopping_ || waiting_.has_value(); });
    // At the end only the write under way is waited for.
    if (stopping_ || !waiting_.has_value()) return;
    SavedPage page = std::move(*waiting_);
    waiting_.reset();
    writing_ = true;
    lock.unlock();
    writeTaken(page);
    page = SavedPage();
    lock.lock();
    writing_ = false;
    writesChanged_.notify_all();
  }
}

bool SavedPageStore::waitForWrites(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto written = [this] { return !waiting_.has_value() && !writing_; };
  if (limit == std::chrono::milliseconds::max()) {
    writesChanged_.wait(lock, written);
    return true;
  }
  if (writesChanged_.wait_for(lock, limit, written)) return true;
  if (waiting_.has_value()) {
    VL_LOG_WARN("SavedPageStore::waitForWrites the disk is slow: the latest recording of " + playerAddress_ +
                " is not written; the saved page stays whole as it is");
  }
  waiting_.reset();
  return false;
}

bool SavedPageStore::writeTaken(const SavedPage& page) {
  std::lock_guard<std::mutex> file(fileMutex_);
  if (page.document() != nullptr) {
    bool written = write(page);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // A load whose write failed: what it loads later must not join an earlier one.
      savedThisRun_ = written;
      savedBytes_ = written ? page.byteCount() : 0;
    }
    if (written) pruneOthers();
    return written;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!savedThisRun_) {
      VL_LOG_INFO("SavedPageStore::writeTaken no page of this run to add " + std::to_string(page.resources().size()) +
                  " resources to");
      return false;
    }
  }
  return addToSaved(page);
}

// What came after the page's save joins the file written then.
bool SavedPageStore::addToSaved(const SavedPage& additions) {
  SavedPage saved;
  if (!load(playerAddress_, saved)) {
    std::lock_guard<std::mutex> lock(mutex_);
    savedThisRun_ = false;
    return false;
  }
  for (const SavedPage::Resource& resource : additions.resources()) {
    saved.keep(resource.address, resource.mimeType, resource.bytes);
  }
  if (!write(saved)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  savedBytes_ = saved.byteCount();
  return true;
}

void SavedPageStore::dropRecording(const std::string& pageAddress) {
  if (!isPlayerPage(pageAddress)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = SavedPage(playerAddress_);
}

bool SavedPageStore::hasRecording() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !recording_.empty();
}

bool SavedPageStore::exists(const std::string& pageAddress) const {
  return g_file_test(pathFor(pageAddress).c_str(), G_FILE_TEST_IS_REGULAR);
}

bool SavedPageStore::load(const std::string& pageAddress, SavedPage& page) const {
  std::string path = pathFor(pageAddress);
  std::string contents;
  std::string why;
  // One byte over the limit tells a file that is too large.
  if (!VLRegularFile::readHead(path, kMaximumFileBytes + 1, contents, &why)) {
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS) || g_file_test(path.c_str(), G_FILE_TEST_IS_SYMLINK)) {
      VL_LOG_WARN("SavedPageStore::load unusable saved page " + path + ": " + why);
    } else {
      VL_LOG_INFO("SavedPageStore::load no saved page for " + pageAddress + ": " + why);
    }
    return false;
  }
  if (contents.size() > kMaximumFileBytes) {
    VL_LOG_WARN("SavedPageStore::load " + path + " is larger than " + std::to_string(kMaximumFileBytes) + " bytes");
    return false;
  }
  SavedPage read;
  bool parsed = read.parse(contents);
  contents.clear();
  if (!parsed) {
    VL_LOG_WARN("SavedPageStore::load damaged saved page " + path);
    return false;
  }
  if (read.address() != SavedPage::withoutFragment(pageAddress) || read.document() == nullptr) {
    VL_LOG_WARN("SavedPageStore::load " + path + " does not hold the page " + pageAddress);
    return false;
  }
  page = std::move(read);
  return true;
}

bool SavedPageStore::storeResource(const std::string& address, const std::string& mimeType, const std::string& bytes) {
  if (playerAddress_.empty()) return false;
  // After a write under way, which may save the page.
  std::lock_guard<std::mutex> file(fileMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A recording that holds the document is a load under way: written whole
    // when it has finished, with this resource. Before the page was saved in
    // this run, it waits for the page.
    if (recording_.document() != nullptr || !savedThisRun_) return keepLocked(address, mimeType, bytes);
  }
  SavedPage resource(playerAddress_);
  resource.keep(address, mimeType, bytes);
  return addToSaved(resource);
}

bool SavedPageStore::write(const SavedPage& page) const {
  if (folder_.empty()) {
    VL_LOG_ERROR("SavedPageStore::write no cache folder: the page is not saved");
    return false;
  }
  if (g_mkdir_with_parents(folder_.c_str(), 0700) != 0) {
    VL_LOG_ERROR("SavedPageStore::write cannot make " + folder_ + ": " + g_strerror(errno));
    return false;
  }
  std::string path = pathFor(page.address());
  std::string bytes = page.serialize();
  // It could not be read back at the offline start.
  if (bytes.size() > kMaximumFileBytes) {
    VL_LOG_WARN("SavedPageStore::write " + page.address() + " takes " + std::to_string(bytes.size()) +
                " bytes, over the limit: the page is not saved");
    return false;
  }
  GError* error = nullptr;
  // Written to a temporary file, synced and renamed over the old one.
  if (!g_file_set_contents_full(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()),
                                G_FILE_SET_CONTENTS_CONSISTENT, 0600, &error)) {
    VL_LOG_ERROR("SavedPageStore::write cannot write " + path + ": " + error->message);
    g_error_free(error);
    return false;
  }
  return true;
}

namespace {

// A saved page's name (fileNameFor) is 32 upper-case hexadecimal digits.
constexpr size_t kNameLength = 32;

bool startsWithSavedPageName(const std::string& file) {
  return file.size() >= kNameLength && std::all_of(file.begin(), file.begin() + kNameLength,
                                                   [](char c) { return g_ascii_isdigit(c) || (c >= 'A' && c <= 'F'); });
}

// The temporary file of a write ("<name>.XXXXXX") that a process killed
// while it wrote or synced left behind, of up to the file limit each time.
// One untouched for an hour is no write under way, also not another
// client's on the same folder.
bool isLeftoverWrite(const std::string& file, const struct stat& status) {
  constexpr time_t kUntouchedSeconds = 3600;
  return file.size() == kNameLength + 7 && file[kNameLength] == '.' &&
         status.st_mtime + kUntouchedSeconds < time(nullptr);
}

}  // namespace

// Every player address the client was pointed at (and, before, every page of
// the player's origin) left a file: only the latest few stay.
void SavedPageStore::pruneOthers() const {
  GDir* folder = g_dir_open(folder_.c_str(), 0, nullptr);
  if (folder == nullptr) return;
  struct Saved {
    std::string path;
    gint64 modified;
  };
  std::vector<Saved> others;
  const std::string kept = fileNameFor(playerAddress_);
  for (const char* name; (name = g_dir_read_name(folder)) != nullptr;) {
    std::string file(name);
    std::string path = folder_ + "/" + file;
    struct stat status;
    if (!startsWithSavedPageName(file) || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if (isLeftoverWrite(file, status)) {
      VL_LOG_INFO("SavedPageStore::pruneOthers removes the leftover of a write cut short: " + path);
      g_remove(path.c_str());
      continue;
    }
    if (file.size() != kNameLength || file == kept) continue;
    others.push_back(Saved{path, static_cast<gint64>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec});
  }
  g_dir_close(folder);
  if (others.size() < kKeptFiles) return;
  std::sort(others.begin(), others.end(), [](const Saved& a, const Saved& b) { return a.modified > b.modified; });
  for (size_t at = kKeptFiles - 1; at < others.size(); ++at) {
    if (g_remove(others[at].path.c_str()) != 0) {
      VL_LOG_WARN("SavedPageStore::pruneOthers cannot remove " + others[at].path + ": " + g_strerror(errno));
    }
  }
}
