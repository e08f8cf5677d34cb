#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "VLAskFileUrlDelegate.h"
#include "VLAudioInterface.h"
#include "VLRepositoryHandler.h"
#include "VLRunnerObject.h"

class VLDesktopFile;
class VLDesktopFileRequest;
class VLDesktopKeyValue;
class VLDownloader;
class VLFileId;
class VLLocalStorage;
class VLMutex;
class VLRepository;
class VLRepositoryFile;
class VLSessionStorage;
class VLSound;
class VLStorage;

// The one façade through which a front end drives the core: start and stop
// (init, clean), the worker thread "VLDesktop", user switching, the page's
// settings and device information, the queues of events, error codes and file
// queries toward the page, and one thin operation per page call.
//
// Abstract: a front end answers getVersion and getSystemUid and carries the six
// page calls (executeMethod..., executeCallback...). Those six are called on the
// worker thread (or on the main thread inside init and clean); they must return
// without waiting for the page and they take ownership of the records and lists
// passed to them.
//
// Threads. The "main thread" is the thread that calls init; every public
// operation but the slots and the repository/URL callbacks runs there. The
// worker runs executeRunLoop. Shared between the two, and guarded:
//   - the pending user id: userMutex_ (held by the worker through a switch);
//   - the three page queues: queueMutex_ (never held while a slot is called);
//   - the page-ready flag and the running flag: atomics.
// The session (player components and downloader) changes only during a user
// switch, while the main thread waits in setUserId, and at init/clean, while no
// worker runs, so main-thread calls never overlap a change of session.
//
// Lifetime: a subclass must call clean() in its own destructor; by the time
// ~VLDesktop runs the subclass's slots are gone, so the base only stops what is
// still running and discards what is queued without calling any slot.
class VLDesktop : public VLRunnerObject, public VLAskFileUrlDelegate, public VLRepositoryHandler {
 public:
  static const char* const kAnonymous;  // "#anonymous#": nobody logged in

  // Stores made but closed, no session, no thread, page not ready.
  VLDesktop();
  virtual ~VLDesktop();

  // --- lifecycle (main thread) -------------------------------------------

  // Starts the core: logger, local then session store, the anonymous
  // preferences, the "#anonymous#" session and the worker thread. False, with
  // everything cleaned, when a store or the thread cannot be started (a full
  // disk does not stop the session store: see VLSessionStorage). A second
  // init while the core runs is refused with false.
  bool init();

  // Stops the core: empties and closes the session store, closes the local
  // store, stops and joins the worker, closes the session (queued requests are
  // answered, queued events sent) and shuts the log down. False when a store
  // or the player refused to clean; every step still runs. Harmless twice.
  bool clean();

  // Asks the worker to switch to `userId` ("" means "#anonymous#") and returns
  // once it has (or has found it current). Returns at once, with a warning,
  // when no worker runs.
  void setUserId(const std::string& userId);

  // The page-ready flag: events are queued and sent, and file queries accepted,
  // only while it is set. Any thread may read it.
  bool isJSReady() override;
  void setJSReady(bool ready);

  // One pass of the worker (the VLRunnerObject step the worker thread calls
  // in a loop): user switch, player update, downloader update, file queries,
  // page events and error codes, then a wait of at most 10 ms that a page
  // call queuing work, an engine request or network activity ends at once
  // (VLPlayer::waitForWork).
  void executeRunLoop() override;

  // --- front end (the subclass) ------------------------------------------

  virtual std::string getVersion() = 0;
  virtual std::string getSystemUid() = 0;
  virtual void executeMethodWithStr(const std::string& method, const std::string& arg) = 0;
  virtual void executeMethodWithStrStrNumber(const std::string& method, const std::string& s1, const std::string& s2,
                                             int n) = 0;
  // Takes the record.
  virtual void executeMethodWithFile(const std::string& method, VLDesktopFile* file) = 0;
  // Take the list and its records.
  virtual void executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) = 0;
  virtual void executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) = 0;
  virtual void executeCallbackWithNumber(void* callback, unsigned int count) = 0;

  // --- reports from the repositories and the provider (session's thread) --

  // Each queues a snapshot of the file under the operation's own name while
  // the page is ready; otherwise the report is dropped.
  void onFilesAdded(VLRepositoryFile* file) override;
  void onFilesRemoved(VLRepositoryFile* file) override;
  void onFileProgressesChanged(VLRepositoryFile* file) override;
  void onDownloadStatesChanged(VLRepositoryFile* file) override;
  void onFileStatesChanged(VLRepositoryFile* file) override;
  // Queue an error code whether or not the page is ready; codes are shown, in
  // order, once it is.
  void onVolumeFull(VLRepository* repository) override;
  void onUnwritable(VLRepository* repository) override;
  void onIndexDamaged(VLRepository* repository) override;
  // Sends the page "getFileUrl" with the file when the page is ready; else an
  // error line and nothing more.
  void askFileUrl(VLRepository* repository, const VLFileId& id) override;

  // --- page file queries (main thread) -----------------------------------

  // Queue a query answered on the next worker pass through
  // executeCallbackWithFiles / executeCallbackWithNumber. Refused with an
  // error (no answer; the callback stays the caller's) while the page is not
  // ready or no worker runs.
  void getFiles(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState, void* callback);
  void getFileCount(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState, void* callback);

  // --- settings and device information (main thread) ---------------------

  // The seven page settings. A value out of range is refused with a warning
  // and changes nothing; unknown keys are ignored.
  void setSetting(const std::string& key, const std::string& value);
  // The setting's current value as text; "" for unknown keys.
  std::string getSetting(const std::string& key);
  // Puts every setting but the download limit back to its default (the page
  // method resetSettings; a front end may override it).
  virtual void resetSettings();
  // All three outputs set to null, then at most one to a new object that the
  // caller owns (for the list: the vector and its records).
  void getDeviceInfo(const std::string& key, std::string*& text, double*& number,
                     std::vector<VLDesktopKeyValue*>*& list);

  // --- audio; a missing sound gives the default shown ---------------------
  // Main thread, but for the getters from getState to getRanges: those any
  // thread may call.

  int createSound(const std::string& url);             // 0
  int resetSound(int id, const std::string& url);      // 0
  bool deleteSound(int id);                            // false
  bool play(int id, bool gapless, int previousSound);  // false
  bool pause(int id);                                  // false
  int getState(int id);                                // 1
  bool getPlaying(int id);                             // false
  bool getPaused(int id);                              // false
  bool getStarving(int id);                            // false
  unsigned int getPosition(int id);                    // 0
  bool setPosition(int id, unsigned int ms);           // false
  unsigned int getLength(int id);                      // 0
  float getVolume(int id);                             // 0
  void setVolume(int id, float volume);
  bool getMuted(int id);  // false
  void setMuted(int id, bool muted);
  void getRanges(int id, std::list<float>* ranges);  // untouched
  std::string getPendingData(int id);                // ""
  // Whether a sound of the session plays, else is paused; stopped without one.
  VLAudioInterface::PlaybackState getPlaybackState();

  // --- downloads (main thread); each only queues an action ----------------

  void addFile(const std::string& repository, const std::string& entityId, unsigned int formatId,
               const std::string& data);
  void removeFile(const std::string& repository, const std::string& entityId, unsigned int formatId);
  void resumeDownload(const std::string& repository, const std::string& entityId, unsigned int formatId);
  void pauseDownload(const std::string& repository, const std::string& entityId, unsigned int formatId);
  void hideDownload(const std::string& repository, const std::string& entityId, unsigned int formatId);
  void setDownloadPosition(const std::string& repository, const std::string& entityId, unsigned int formatId,
                           int position);
  void removeFiles();
  void resumeDownloads();
  void pauseDownloads();
  void hideDownloads();

  // --- web storage (main thread) -----------------------------------------

  // The open store named "localStorage" or "sessionStorage"; null, with an
  // error line, for another name or a store that is not open.
  VLStorage* getStorage(const std::string& name);
  std::string storageKey(const std::string& name, int index, bool* isNull);
  std::string storageGetItem(const std::string& name, const std::string& key, bool* isNull);
  // False when the value did not reach the store (refused by its limits, a
  // full disk, no such store): what was stored before stays.
  bool storageSetItem(const std::string& name, const std::string& key, const std::string& value);
  void storageRemoveItem(const std::string& name, const std::string& key);
  void storageClear(const std::string& name);
  int storageLength(const std::string& name);

  // --- other page calls (main thread) ------------------------------------

  // The page's answer to getFileUrl, handed to the HTTP provider.
  void setFileUrl(const std::string& repository, const std::string& entityId, unsigned int formatId,
                  const std::string& url, unsigned int newFormatId, const std::string& data);
  void setOnline();
  void setOffline();
  // The "cache" repository marks removed, at its next update, every file that
  // is not open.
  void clearCache();
  // Sends the page triggerKeyboardShortcut(name) when it is ready.
  void triggerKeyboardShortcut(const std::string& name);

 protected:
  // Opens the player session for `userId` and its downloader; closes it,
  // first answering queued queries and sending queued events. Run on the
  // main thread while no worker runs, or on the worker during a switch.
  void openSession(const std::string& userId);
  bool closeSession();

  // Worker steps: answer the queued file queries (at most the `most` oldest);
  // send the queued events, grouping runs of one name into one call, then
  // (page ready) the error codes.
  void serveFileRequests(size_t most = SIZE_MAX);
  void flushJSEvents();
  // executeMethodWithFiles when the page is ready; otherwise the list and its
  // records are freed.
  void callJSWithFiles(const std::string& method, std::list<VLDesktopFile*>* files);

  VLLocalStorage* localStorage_;
  VLSessionStorage* sessionStorage_;
  VLDownloader* downloader_;

 private:
  typedef std::pair<std::string, VLDesktopFile*> JSEvent;

  void queueEvent(const char* name, VLRepositoryFile* file);
  void queueErrorCode(const std::string& code);
  bool isNewVolumeFullEpisode(const std::string& code);
  void queueFileRequest(std::vector<std::string>& repositories, int fileFlags, unsigned int downloadState,
                        bool countOnly, void* callback);
  void applyPendingUser();
  void copyLastOutputDevice();
  bool stopWorker();
  void discardQueues();
  VLSound* findSound(int id);
  // read(sound) under the audio lock with the session's interface held;
  // missing when there is no such sound. Any thread.
  template <typename Value, typename Read>
  Value readSound(int id, Value missing, Read read);
  VLRepository* findRepository(const std::string& name);

  void setCacheMaxSize(const std::string& value);
  void setDeviceOutput(const std::string& value);
  void setMaxConcurrentDownloads(const std::string& value);
  void setStreamBufferSize(const std::string& value);
  void setRepositoryDirectory(const char* repository, const std::string& value);
  std::string getCacheMaxSize();
  double getCacheVolumeAvailableSpace();
  std::vector<VLDesktopKeyValue*>* getOutputDevices();

  std::atomic<bool> jsReady_;
  std::atomic<bool> running_;     // a worker runs (between init and clean)
  std::atomic<bool> discarding_;  // in ~VLDesktop: the slots are gone

  VLMutex* queueMutex_;
  std::deque<JSEvent> jsEvents_;
  std::deque<std::string> errorCodes_;
  // Worker thread only: when each volume-full code was last reported
  // (platform clock). Reports closer together than an episode's gap are one
  // episode, shown once.
  std::map<std::string, double> volumeFullReports_;
  std::deque<VLDesktopFileRequest*> fileRequests_;

  VLMutex* userMutex_;
  std::string pendingUserId_;
};
