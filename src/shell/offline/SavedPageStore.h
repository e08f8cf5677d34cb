// The saved player pages of the offline start, one file per page address in
// the store's folder (the application's cache folder), named by the MD5
// digest of the address (without fragment) in 32 uppercase hexadecimal digits.
//
// Only the player page is recorded: while it loads, what it loads is kept
// here (its recording) and written as a whole on saveRecording, which then
// forgets it. What the page loads once saved (a lazy script, an image) is
// recorded again and added to the file written in this run on the next
// saveRecording. The manifest pre-fetch adds the player's resources the same
// way. A recording that would make the file larger than it may be is
// dropped. A few files are kept in the folder: the oldest others go when a
// page is written.
//
// Threads: every operation may be called from any thread (the pre-fetch
// thread stores while the main thread records and saves); one lock guards
// the recording, held only briefly, and another the file while it is
// written. Writes asked for in the background run on the store's own thread,
// one at a time; while one is written only the latest waits (a newer whole
// page takes the place of the one waiting, what came after a page joins
// it), so a slow disk neither piles up recordings in memory nor holds the
// end of the run for each of them. Files are replaced atomically, so a crash
// or an end while writing leaves the previous saved page whole.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "OfflineResourceStore.h"
#include "SavedPage.h"

class SavedPageStore : public OfflineResourceStore {
 public:
  // A saved page is read whole into memory at an offline start: one larger
  // than this is neither written nor read.
  static constexpr size_t kMaximumFileBytes = 64 * 1024 * 1024;
  // Saved pages kept in the folder, the one just written among them.
  static constexpr size_t kKeptFiles = 3;

  // folder: made (0700) on the first save when missing. playerAddress: the
  // page that is recorded and saved, and that the manifest's resources join.
  SavedPageStore(std::string folder, std::string playerAddress);
  // Waits for the write under way, not for one that waits (see waitForWrites).
  ~SavedPageStore() override;
  SavedPageStore(const SavedPageStore&) = delete;
  SavedPageStore& operator=(const SavedPageStore&) = delete;

  const std::string& folder() const { return folder_; }
  // The player page's address, without fragment.
  const std::string& playerAddress() const { return playerAddress_; }
  // Whether the address names the player page (its fragment aside).
  bool isPlayerPage(const std::string& address) const;
  // The file name of a page address; the same across runs.
  static std::string fileNameFor(const std::string& pageAddress);
  std::string pathFor(const std::string& pageAddress) const;

  // Keeps a resource loaded with the player page in its recording, replacing
  // one of the same address. Ignored (false) for any other page. When the
  // file would pass kMaximumFileBytes with it, the whole recording is
  // dropped (logged) and false returned: the page cannot be saved.
  bool record(const std::string& pageAddress, const std::string& address, const std::string& mimeType,
              const std::string& bytes);
  // Call only once the page's load has finished. When the recording holds
  // the page's document, writes it over the page's file; otherwise, when
  // the page was written in this run, adds the recorded resources to that
  // file. Then forgets the recording. False, with nothing written and the
  // recording kept, when neither applies (a page without its document must
  // not replace a whole one); false, with the recording gone and the file
  // as it was, when the write fails (logged).
  bool saveRecording(const std::string& pageAddress);
  // The same, on the store's own thread: takes the recording now and
  // returns at once; a recording without the document is added to the file
  // if a whole page of this run is in it by then, else dropped. A recording
  // holding the document replaces one that still waits for the writer (its
  // load is older); one without joins it. False when no recording waits.
  bool saveRecordingInBackground(const std::string& pageAddress);
  // Waits until every write asked for in the background is done, at most
  // the limit. True when they are; at the limit, what still waits for the
  // writer is dropped (logged) and false returned: the write under way goes
  // on, which destruction waits for, and the file keeps its last whole page.
  bool waitForWrites(std::chrono::milliseconds limit = std::chrono::milliseconds::max());
  // Forgets the page's recording (what it recorded is not written), as for
  // a load that did not finish.
  void dropRecording(const std::string& pageAddress);
  // Whether a recording holding resources waits to be written (for tests
  // and traces).
  bool hasRecording() const;

  // Reads the saved page of that address. False (logged) when there is none,
  // when it is not a regular file of at most kMaximumFileBytes, when the
  // file is damaged, names another page, or lacks the page's document.
  bool load(const std::string& pageAddress, SavedPage& page) const;
  // Whether a file exists for the page (whatever its content).
  bool exists(const std::string& pageAddress) const;

  // The manifest pre-fetch's resources: into the player page's recording,
  // written with the page; added to the file at once when the page was
  // written in this run and no load of it is under way. True when kept.
  bool storeResource(const std::string& address, const std::string& mimeType, const std::string& bytes) override;

 private:
  // REQUIRES: mutex_ held.
  bool keepLocked(const std::string& address, const std::string& mimeType, const std::string& bytes);
  // REQUIRES: mutex_ held. The recording, which starts again empty.
  SavedPage takeRecordingLocked();
  // Writes a taken recording as saveRecording describes. REQUIRES: mutex_ not held.
  bool writeTaken(const SavedPage& page);
  // REQUIRES: fileMutex_ held.
  bool addToSaved(const SavedPage& additions);
  bool write(const SavedPage& page) const;
  // Keeps the newest kKeptFiles saved pages, and removes what writes cut
  // short (a process killed while it wrote) left an hour or more ago.
  void pruneOthers() const;
  void runWriter();

  const std::string folder_;
  const std::string playerAddress_;
  mutable std::mutex mutex_;          // guards everything below but fileMutex_ and writer_
  std::mutex fileMutex_;              // held while the page's file is read or written
  SavedPage recording_;               // the player page's, since its last write
  bool savedThisRun_ = false;         // the file holds a whole load of this run
  size_t savedBytes_ = 0;             // what that load and its additions hold
  std::optional<SavedPage> waiting_;  // the latest taken recording, for the writer
  bool writing_ = false;              // the writer is writing one
  bool stopping_ = false;
  std::condition_variable writesChanged_;
  std::thread writer_;  // started with the first background write
};
