#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <queue>
#include <set>
#include <string>

#include "VLFileId.h"
#include "VLStreamSource.h"

class VLAskFileUrlDelegate;
class VLAudioInterface;
class VLCloseTask;
class VLFileHandle;
class VLHttpRepositoryProvider;
class VLMutex;
class VLOpenTask;
class VLReadTask;
class VLRepository;
class VLRepositoryFile;
class VLRepositoryHandler;
class VLTask;
class VLWakeEvent;
struct VEReadRequest;

// The broker between the audio engine's file callbacks and the repositories.
//
// Engine threads enter only through streamOpen, asyncStreamRead, streamClose and
// asyncStreamCancel: each queues a task under the player's mutex. The worker
// thread serves the queue in update(), which is the only place where streams
// touch repositories. For one identity the player also holds a session: the
// HTTP range provider, the repositories "cache", "import" and "download" and the
// audio interface "main" (init and clean).
//
// It is the stream source of the session's audio interface: the interface's
// file callbacks and sounds reach it through VLStreamSource only.
//
// One instance per process (instance()); a test may make private ones.
class VLPlayer : public VLStreamSource {
 public:
  // The process-wide player, made on first call (thread-safe); never deleted.
  static VLPlayer* instance();

  VLPlayer();
  // Closes the session (clean).
  virtual ~VLPlayer();

  // --- Session -----------------------------------------------------------

  // Opens the session for `identity` from its preferences: provider,
  // repositories, then the audio interface. Components log their own
  // failures; init goes on regardless. Runs on the thread that switches
  // identities, while the worker is not inside update(). An open session is
  // closed first.
  void init(VLAskFileUrlDelegate* delegate, VLRepositoryHandler* handler, const std::string& identity);

  // Writes the session's preferences back, lets every queued stream operation
  // finish, and tears the session down. False only when the HTTP provider
  // refuses to clean up (the provider is then kept for a later clean). A
  // clean without a session writes nothing and returns true. Same thread rule
  // as init.
  bool clean();

  // Passes the flag to the repositories' setOffline (cache, import, download).
  void setOffline(bool offline);

  // An empty name gives the cache repository; otherwise the repository of that
  // exact name; null when none. Not owned by the caller.
  VLRepository* getRepository(const std::string& name) const;
  std::string getIdentity() const;
  // The session's components; null without a session. The audio interface is
  // reached by the main thread only while no session change can happen.
  VLAudioInterface* getAudioInterface() const;
  VLHttpRepositoryProvider* getHttpRepositoryProvider() const;

  // The session's audio interface, kept alive for as long as the caller holds
  // the pointer: engine threads use this, since a callback may still run
  // after the session dropped the interface. Null without one. Any thread.
  std::shared_ptr<VLAudioInterface> holdAudioInterface() const override;

  // --- Entry points (engine threads) --------------------------------------

  // Blocks until the worker has served the open: on success a new handle
  // (owned by the caller until it hands it back through streamClose), the
  // repository file's size and its provider data; on failure null, size 0 and
  // the provider data of the file reached (empty when none). Without a session
  // it answers null, 0 and empty data at once.
  VLFileHandle* streamOpen(const std::string& url, size_t* fileSize, std::string* data,
                           std::shared_ptr<const std::atomic<bool>> wanted = nullptr) override;

  // Queues the read, with or without a session; the worker later writes
  // bytesRead and then the result into the request (an internal error when
  // the handle is not one the player has open). The engine's reader keeps one
  // read of a stream outstanding: a new read of a handle ends the earlier
  // ones still pending (internal error, nothing read), which it gave up.
  // Returns true.
  bool asyncStreamRead(VEReadRequest* request) override;

  // Queues the end of a stream opened by streamOpen; the worker then undoes the
  // stream's opens, ends reads of the handle still pending (internal error)
  // and deletes the handle. False without a session: the caller must not use
  // the handle any more (the session's clean deleted every handle left open).
  bool streamClose(VLFileHandle* handle) override;

  // Queues a task that ends the reads of `handle` still pending when it is
  // served, as failed (internal error). False without a session.
  bool asyncStreamCancel(VLFileHandle* handle) override;

  // Ends the worker's current or next waitForWork: the entry points call it
  // for their tasks; a front end calls it when it has queued work of its
  // own for the worker's pass. Any thread.
  void wake() override;

  // --- Worker thread -----------------------------------------------------

  // The worker's wait between two passes: returns once wake() was called
  // (since the last wait), a transfer's socket is ready, or `milliseconds`
  // have passed.
  void waitForWork(uint64_t milliseconds);

  // Worker thread: true when no task waits, no transfer runs and no sound
  // plays, so nothing moves until an entry point wakes the worker or a
  // repository's timer falls due: the worker may then wait longer.
  bool isQuiet() const;

  // update(false, false).
  bool update();

  // Serves the queue and, unless skipComponents, runs the provider's and the
  // repositories' periodic work, serves the queue again (what the provider's
  // wait on the network let in), then runs the audio interface's (their
  // results ANDed; true with skipComponents). With force every task ends in this pass: reads
  // without their data end with an internal error, opens give up.
  bool update(bool skipComponents, bool force);

  // A file the engine refused as no audio it can play (a web page stored as
  // the track): once no reader holds it, a complete copy in the cache is
  // discarded, so that the next play fetches it again. Files of the other
  // repositories are the user's downloads and stay.
  void discardUnplayable(const VLFileHandle& handle) override;
  // Whether a read of the open handle failed because its file's missing
  // bytes will not come: the stream cannot go on, and its sound fails.
  bool hasFailedReads(const VLFileHandle* handle) const override;

  // The serving order of one pass, applied in place: reads of priority 0 to
  // 99 first, the lowest value first; then reads of priority 100 and every
  // other task. The sort is stable: equal ranks keep their arrival order.
  static void orderTasks(std::list<VLTask*>& tasks);

  // --- File search (worker thread, inside the open task) -----------------

  // Resolves a stream URL to a file handle: false when the URL lacks an entity
  // id or a format id; otherwise true, with *found telling whether *handle
  // received a new handle (owned by the caller).
  bool searchSupportedFile(const std::string& url, bool* found, VLFileHandle** handle);

  // The four-pass search over the format table and the repositories; always
  // true; *found tells whether *handle received a new handle.
  bool searchFile(const std::string& entityId, bool lossless, bool* found, VLFileHandle** handle);

 private:
  enum { kRepositoryCount = 3 };

  bool doReadTask(VLReadTask* task, bool force);
  bool doOpenTask(VLOpenTask* task, bool force);
  bool doCloseTask(VLCloseTask* task, bool force);

  bool pushTask(VLTask* task, bool needSession);
  // Queues a task that needs a session; without one the task is deleted
  // and the result is false.
  bool pushSessionTask(VLTask* task);
  // Takes the incoming tasks, orders them and serves what can be served.
  void serveQueue(bool force);
  void takeIncomingTasks();
  void dropCancelledReads();
  void serveTasks(bool force);
  void endSupersededReads(VLFileHandle* handle);
  void endReadsOf(VLFileHandle* handle);
  bool updateComponents();
  void applyDiscards();

  // The first existing file of the entity with `flag` (a repository-file
  // flag; a complete one must also hold bytes), walking the format table's
  // rows that serve the request's class and, for each, the repositories in
  // the order cache, import, download; unavailable repositories are passed
  // over, and with skipOfflineOrFull those that are offline or full too. A
  // new handle, or null.
  VLFileHandle* findCopy(const std::string& entityId, bool lossless, unsigned int flag, bool skipOfflineOrFull) const;
  static bool isGivenUp(VLRepositoryFile* file, double starved = 0);
  VLRepositoryFile* giveUpOpen(VLOpenTask* task, VLRepositoryFile* file, bool opened);
  bool canCacheTakeNewFile() const;

  VLRepository* repositories_[kRepositoryCount];
  VLRepository*& cache_;
  VLRepository*& import_;
  VLRepository*& download_;
  VLHttpRepositoryProvider* provider_;
  std::shared_ptr<VLAudioInterface> audioInterface_;
  std::string identity_;

  // Worker thread only.
  std::list<VLTask*> pending_;
  // The handles handed out by open tasks and not yet closed. A read or close
  // naming any other pointer (a late callback of a stream whose engine was
  // closed under it) is refused instead of touching freed memory.
  std::set<VLFileHandle*> openHandles_;
  // Open handles a read of which failed for bytes that will not come.
  std::set<const VLFileHandle*> failedReads_;
  // Files of the cache to discard once no reader holds them.
  std::list<VLFileId> unplayable_;

  // Guarded by mutex_: the incoming queue, the initialised flag's changes and
  // the audio interface pointer. The mutex exists for the whole life of the
  // player, so entry points may lock it before the first session and after
  // the last.
  std::queue<VLTask*> incoming_;
  VLMutex* mutex_;
  // Signalled by wake(); waited on by waitForWork. Lives as long as the
  // player, like the mutex.
  VLWakeEvent* wake_;
  std::atomic<bool> initialised_;
};
