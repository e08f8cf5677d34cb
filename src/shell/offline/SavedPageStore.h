// The saved player pages of the offline start, one file per page address in
// the store's folder (the application's cache folder), named by the MD5
// digest of the address (without fragment) in 32 uppercase hexadecimal digits.
//
// While a page loads, what it loads is recorded here (the recording of its
// address, begun anew on each run) and written as a whole on saveRecording.
// The manifest pre-fetch adds the player's resources to the player page's
// recording, to be written with it.
//
// Threads: every operation may be called from any thread (the pre-fetch
// thread stores while the main thread records and saves); one lock guards
// the recordings. Files are replaced atomically, so a crash while writing
// leaves the previous saved page whole.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "OfflineResourceStore.h"
#include "SavedPage.h"

class SavedPageStore : public OfflineResourceStore {
 public:
  // folder: made (0700) on the first save when missing. playerAddress: the
  // page whose recording the manifest's resources join.
  SavedPageStore(std::string folder, std::string playerAddress);

  const std::string& folder() const { return folder_; }
  // The file name of a page address; the same across runs.
  static std::string fileNameFor(const std::string& pageAddress);
  std::string pathFor(const std::string& pageAddress) const;

  // Keeps a resource loaded with the page in its recording, replacing one of
  // the same address.
  void record(const std::string& pageAddress, const std::string& address, const std::string& mimeType,
              const std::string& bytes);
  // Writes the page's recording over its file. False, with nothing written,
  // when the recording does not hold the page's own document (a partial page
  // must not replace a whole one) or when the write fails (logged).
  bool saveRecording(const std::string& pageAddress);
  // Forgets the page's recording (what it recorded is not written).
  void dropRecording(const std::string& pageAddress);

  // Reads the saved page of that address. False (logged) when there is none,
  // when the file is damaged, names another page, or lacks the page's document.
  bool load(const std::string& pageAddress, SavedPage& page) const;
  // Whether a file exists for the page (whatever its content).
  bool exists(const std::string& pageAddress) const;

  // The manifest pre-fetch's resources: into the player page's recording,
  // written when the page is saved next; written at once when the recording
  // already holds the document. True when kept.
  bool storeResource(const std::string& address, const std::string& mimeType, const std::string& bytes) override;

 private:
  bool write(const SavedPage& page) const;

  const std::string folder_;
  const std::string playerAddress_;
  mutable std::mutex mutex_;
  std::map<std::string, SavedPage> recordings_;  // by address without fragment
};
