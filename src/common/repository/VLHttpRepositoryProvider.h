#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "VLFileId.h"

// libcurl's handle types, declared as libcurl's own headers declare them,
// so that the core's headers do not carry libcurl's.
typedef void CURL;
typedef void CURLM;
struct CURLMsg;

class VLAskFileUrlDelegate;
class VLMutex;
class VLRepository;
class VLRepositoryFile;
class VLWakeEvent;

// Fetches the content of repository files over HTTP byte-range requests with
// libcurl's multi interface, writing what arrives straight into the files.
// At most one transfer per (repository, file id).
//
// Calling order: construct, init, any number of transfer operations and
// update passes, clean, destroy.
//
// Threads: update and the transfer operations (canStart, start, seek,
// getState, cancel) run on the core's worker thread (or on the thread that
// opens or closes the session while the worker is not running). setFileUrl
// may be called from any thread: it only queues the answer, which the next
// update applies on the worker thread, so the multi handle, the repositories
// and their files are only ever touched by one thread. The recursive mutex
// guards the list of transfers, their states and the queued answers.
//
// The transfer operations are virtual so that tests can put a provider with
// chosen states behind a repository file.
class VLHttpRepositoryProvider {
 public:
  // The state of one transfer. Values 1, 2 and 11 are final: the transfer
  // waits for getState with release. The order matters: a repository file
  // takes any state above TRANSFER_HEADERS to mean that data has arrived.
  enum TransferState : uint32_t {
    TRANSFER_NONE = 0,              // no transfer for the file (getState only)
    TRANSFER_FAILED = 1,            // failed, not to be retried
    TRANSFER_FAILED_RETRYABLE = 2,  // failed, may be retried
    TRANSFER_CANCELED = 3,          // canceled; freed when libcurl is done with it
    TRANSFER_CREATED = 4,           // made by start (never seen outside it)
    TRANSFER_AWAITING_URL = 5,      // the page was asked for the URL
    TRANSFER_SEEKING = 6,           // moved to a new range; restarted by update
    TRANSFER_STARTED = 7,           // handed to libcurl, no header yet
    TRANSFER_HEADERS = 8,           // headers accepted
    TRANSFER_RECEIVING = 9,         // body data stored
    TRANSFER_ALREADY_LOADED = 10,   // the response's range is already present
    TRANSFER_FINISHED = 11          // ended successfully
  };

  // One transfer: a libcurl easy handle, the range asked for, what the
  // response headers said, a receive buffer and the state.
  struct repo_file {
    repo_file(VLRepository* repository, const VLFileId& fileId, CURL* curl, size_t offset, size_t length);
    ~repo_file();
    repo_file(const repo_file&) = delete;
    repo_file& operator=(const repo_file&) = delete;
    // A new range: every per-response field back to its initial value;
    // the state is kept.
    void reset(size_t offset, size_t length);
    // Every per-response field back to its initial value, the range kept:
    // an interim answer or a followed redirect is not the response.
    void resetResponse();

    VLRepository* repository;
    VLFileId fileId;
    CURL* curl;
    size_t offset;         // first byte asked for
    size_t length;         // bytes asked for; all ones = to the end
    size_t contentOffset;  // first byte of the response (all ones until known)
    size_t contentLength;  // length of the response (all ones until known)
    size_t currentOffset;  // file offset of the next body byte
    uint32_t httpCode;
    bool hasContentRange;  // a valid Content-Range header came
    bool hasLocation;      // a Location header came (a redirect to follow)
    // What the response says it is: a text/* type or a content encoding
    // (the body is then no audio file, or not its bytes as stored).
    std::string contentType;
    std::string contentEncoding;
    // A 200 without length headers: the body ends when the connection
    // closes, and only then is its size known. It is stored as it comes
    // into a file that grows ahead of it (VLRepositoryFile::beginGrowing).
    bool sizeFromClose;
    // Such an answer outgrew the room its file may take: it fails for good.
    bool outgrewRoom;
    // When the page was last asked for the URL (platform clock), and
    // whether the page has since been unready (the question is lost).
    double askedAt;
    bool askAgain;
    // Why the transfer failed, for the page ("HTTP 503", libcurl's text).
    std::string failure;
    // Why the answer was refused by the transfer itself (its headers or
    // its storing), when that was not the status.
    std::string refusal;
    // The address the page gave (encoded), and whether a refusal of the
    // address a redirect led to has already sent the transfer back to it.
    std::string pageUrl;
    bool fellBack;
    // libcurl's detail of its last failure (its error buffer, of the size
    // libcurl's own headers give).
    char errorText[256];
    std::string etag;
    std::string lastModified;
    // A file stored without a validator cannot tell whether the server's
    // file changed since its blocks came: a range that resumes it also asks
    // for one stored block (at checkOffset, checkLength bytes; all ones for
    // none), which the answer must bring back unchanged. checkPlanned: the
    // range has been chosen (per range); checkedBytes: how much of the block
    // this answer matched so far; changedOnServer: it did not match.
    bool checkPlanned;
    size_t checkOffset;
    size_t checkLength;
    size_t checkedBytes;
    bool changedOnServer;
    size_t totalSize;       // all ones until the headers give it
    unsigned char* buffer;  // receive buffer for partial blocks
    size_t bufferSize;
    size_t bufferUsed;
    // Read by setFileUrl on any thread, written by the worker.
    std::atomic<uint32_t> state;
  };

  VLHttpRepositoryProvider();
  // Frees whatever clean left behind.
  virtual ~VLHttpRepositoryProvider();

  VLHttpRepositoryProvider(const VLHttpRepositoryProvider&) = delete;
  VLHttpRepositoryProvider& operator=(const VLHttpRepositoryProvider&) = delete;

  // Keeps the delegate (not owned) and sets libcurl up. When that fails the
  // provider has no multi handle and every transfer start fails.
  void init(VLAskFileUrlDelegate* delegate);
  // Frees every transfer, the multi handle and libcurl's global state.
  // False when libcurl refuses to let a transfer go (the rest stays).
  bool clean();

  // Whether start may be called for the file now: false while the file has
  // a transfer, or when it has no URL and the page is not ready.
  virtual bool canStart(const std::string& url, VLRepository* repository, const VLFileId& fileId);
  // Makes the file's transfer of length bytes from offset (all ones: to the
  // end) and starts it; with a URL that cleans to empty, asks the delegate
  // for one. False when the file already has a transfer or libcurl fails.
  virtual bool start(const std::string& url, VLRepository* repository, const VLFileId& fileId, size_t offset,
                     size_t length);
  // Moves the file's transfer to a new range, unless the bytes will arrive
  // soon anyway. False when there is no transfer or it cannot be moved.
  virtual bool seek(VLRepository* repository, const VLFileId& fileId, size_t offset, size_t length);
  // The transfer's state (TRANSFER_NONE when there is none). With release,
  // a transfer in a final state is freed after it is reported, so each final
  // state is seen once. False when libcurl refuses to free it.
  virtual bool getState(VLRepository* repository, const VLFileId& fileId, bool release, int* state);
  // Cancels the file's transfer. A transfer awaiting its URL or in a final
  // state is freed at once. False when the file has no transfer.
  virtual bool cancel(VLRepository* repository, const VLFileId& fileId);
  // Why the file's last transfer failed, as a short text for the page; empty
  // when it has not failed since its last success. unanswered (when not
  // null) receives whether that transfer never had an answer from the server
  // (refused, unreachable, timed out before a status line came), and empty
  // (when not null) whether it was refused as an empty answer to a download.
  std::string getLastFailure(VLRepository* repository, const VLFileId& fileId, bool* unanswered = nullptr,
                             bool* empty = nullptr);

  // The page's answer to askFileUrl: queued, and applied by the next update
  // on the worker thread. With a URL and another format id nothing is
  // downloaded and the asked file is recorded as empty; with an empty URL the
  // transfer fails for good; otherwise the data is stored with the file and
  // the download starts. False (logged) for a null repository, a file
  // without a transfer or a transfer that is not awaiting its URL. Any thread.
  bool setFileUrl(VLRepository* repository, const VLFileId& fileId, const std::string& url, int newFormatId,
                  const std::string& data);

  // One pump of the transfers: counts the pass (getRunningTime), applies
  // queued URL answers, drives the transfers while their sockets have data
  // (for at most 20 ms, less when an answer begins or the wake event is
  // signalled), and settles the transfers libcurl reports done. Never waits
  // for the network: waitForActivity does. False when there is no multi
  // handle or a libcurl call failed (the pass stops there).
  bool update();

  // The worker's wait between two passes: returns once a transfer's socket
  // is ready, one of libcurl's timers falls due, `wake` (may be null) is
  // signalled (the signal is then taken), or `milliseconds` have passed.
  // Without transfers it waits on `wake` alone. False when there is no
  // multi handle or libcurl's wait failed; it has then waited on `wake`.
  bool waitForActivity(VLWakeEvent* wake, uint64_t milliseconds);

  // Seconds of a clock that moves only while the transfers are pumped: each
  // update adds the time since the one before, but never more than a second.
  // Whoever waits for bytes (a listener's patience) counts on it: time in
  // which the process did not run (stopped, a frozen virtual machine, a
  // machine that swaps), and time since the transfers last had a pass to take
  // in what arrived, is no time spent waiting for the network. Worker thread.
  double getRunningTime() const { return runningTime_; }

  // Worker thread: whether libcurl still drives transfers (as of the last
  // pump).
  bool hasTransfers() const { return multi_ != nullptr && running_ != 0; }

  // The event that setFileUrl signals once it has queued an answer, so
  // that a waiting worker applies it at once (not owned; null for none).
  void setWakeEvent(VLWakeEvent* wake) { wake_.store(wake); }

  // A transfer that receives less than one byte per second for this many
  // seconds ends as a retryable failure (a stalled server would otherwise
  // hold the file for ever). 30 by default; tests shorten it.
  void setStallTimeout(long seconds) { stallTimeout_ = seconds; }
  // A URL question the page has not answered after this many seconds is
  // asked again (the page may have reloaded in between); so is every open
  // question once the page is ready again after being unready. 30 by default.
  void setUrlAnswerTimeout(double seconds) { urlAnswerTimeout_ = seconds; }

  // The range option for offset and length: "first-last", "first-" for the
  // rest of the file, empty for the whole file.
  static std::string getHttpRange(size_t offset, size_t length);
  // The URL cut before its first '#'; empty when 8 characters or fewer remain.
  static std::string cleanUrl(const std::string& url);
  // The URL with what libcurl refuses in a URL (spaces, control characters,
  // bytes outside ASCII and the characters a URL never holds raw)
  // percent-encoded; what is already encoded stays as it is.
  static std::string encodeUrl(const std::string& url);

  // libcurl callbacks; userdata is the transfer.
  static size_t header(char* ptr, size_t size, size_t nmemb, void* userdata);
  static size_t write(char* ptr, size_t size, size_t nmemb, void* userdata);

 private:
  struct PendingFileUrl {
    VLRepository* repository;
    VLFileId fileId;
    std::string url;
    int newFormatId;
    std::string data;
  };

  repo_file* find(VLRepository* repository, const VLFileId& fileId);
  void unlink(repo_file* file);
  bool setOptions(repo_file* file);
  bool startDownload(repo_file* file, const std::string& url);
  bool clean(repo_file* file);
  void dispose(repo_file* file);
  void applyFileUrls();
  void askAgainForUrls();
  bool restartAtNewRange(repo_file* file);
  static bool beginGrowing(repo_file* file);
  static bool finishGrowing(repo_file* file);
  static bool endInterimOrRedirect(repo_file* file);
  static bool refuseNonAudio(repo_file* file);
  static bool takesEmptyAnswer(repo_file* file);
  bool fallBackToPageUrl(repo_file* file);
  static bool revalidateUnsatisfiable(repo_file* file);
  static void planStoredBlockCheck(repo_file* file);
  static bool matchesStoredBlock(repo_file* file, VLRepositoryFile* repositoryFile, const char* data, size_t n);
  static void forgetChangedContent(repo_file* file);
  static void noteRoomRefused(repo_file* file, bool tooLarge);
  static void forgetOutgrownAnswer(repo_file* file);
  void applyFileUrl(const PendingFileUrl& answer);
  void countPass();
  bool driveWhileReadable();
  bool driveUntilBlocked();
  void settleStagedBlocks();
  // Transfers handed to libcurl whose answer has not begun.
  size_t countAwaitingAnswers();
  bool settleDone(CURLMsg* message);
  static bool endHeaders(repo_file* file);
  static void parseHeaderLine(repo_file* file, const std::string& line);

  CURLM* multi_;
  int running_;
  std::list<repo_file*> files_;
  VLMutex* mutex_;
  VLAskFileUrlDelegate* delegate_;
  std::list<PendingFileUrl> pendingUrls_;
  // Why the released transfers of files failed, kept until a transfer of the
  // same file finishes; guarded by the mutex.
  struct KeptFailure {
    std::string text;
    bool unanswered;
    bool empty;
  };
  std::map<std::pair<VLRepository*, std::string>, KeptFailure> failures_;
  long stallTimeout_;
  double urlAnswerTimeout_;
  double runningTime_;  // see getRunningTime
  double lastPassAt_;   // the platform's clock at the last update
  bool globalInit_;
  std::atomic<VLWakeEvent*> wake_;
};
