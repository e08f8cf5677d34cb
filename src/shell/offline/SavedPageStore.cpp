#include "SavedPageStore.h"

#include <glib.h>
#include <glib/gstdio.h>

#include "VLLogger.h"

SavedPageStore::SavedPageStore(std::string folder, std::string playerAddress)
    : folder_(std::move(folder)), playerAddress_(SavedPage::withoutFragment(playerAddress)) {}

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

void SavedPageStore::record(const std::string& pageAddress, const std::string& address, const std::string& mimeType,
                            const std::string& bytes) {
  std::string page = SavedPage::withoutFragment(pageAddress);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = recordings_.find(page);
  if (found == recordings_.end()) found = recordings_.emplace(page, SavedPage(page)).first;
  found->second.keep(address, mimeType, bytes);
}

bool SavedPageStore::saveRecording(const std::string& pageAddress) {
  std::string page = SavedPage::withoutFragment(pageAddress);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = recordings_.find(page);
  if (found == recordings_.end() || found->second.document() == nullptr) return false;
  return write(found->second);
}

void SavedPageStore::dropRecording(const std::string& pageAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  recordings_.erase(SavedPage::withoutFragment(pageAddress));
}

bool SavedPageStore::exists(const std::string& pageAddress) const {
  return g_file_test(pathFor(pageAddress).c_str(), G_FILE_TEST_IS_REGULAR);
}

bool SavedPageStore::load(const std::string& pageAddress, SavedPage& page) const {
  std::string path = pathFor(pageAddress);
  gchar* contents = nullptr;
  gsize length = 0;
  GError* error = nullptr;
  if (!g_file_get_contents(path.c_str(), &contents, &length, &error)) {
    VL_LOG_INFO("SavedPageStore::load no saved page for " + pageAddress + ": " + error->message);
    g_error_free(error);
    return false;
  }
  SavedPage read;
  bool parsed = read.parse(std::string(contents, length));
  g_free(contents);
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
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = recordings_.find(playerAddress_);
  if (found == recordings_.end()) found = recordings_.emplace(playerAddress_, SavedPage(playerAddress_)).first;
  found->second.keep(address, mimeType, bytes);
  if (found->second.document() != nullptr) return write(found->second);
  return true;
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
