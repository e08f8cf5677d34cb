#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LogBundleSettings.h"

class LogUploadPresenter;

// The log-bundle upload: builds the bundle (LogBundle), posts the archive as
// a multipart form (udid, ext "zip", ver, type "desktop", auto 0, file) to
// the endpoint, deletes the archive when the service answered 2xx and keeps
// it otherwise, and tells the presenter.
//
// The archive is posted from disk as it is sent; of the answer only the
// status and its first bytes are read, and the whole exchange has a time
// limit. A request made while an upload is queued or under way joins it: one
// bundle, one answer. A request shortly after a failed upload is not made
// (the user has that failure's alert and archive).
//
// Threads: sendLogForUserId is called on the main thread and returns at once;
// the uploads run one after the other on the service's own thread; the
// presenter is called on the main thread through the default GLib main
// context. The destructor (main thread) stops a running upload and waits for
// its thread; results not yet shown are then dropped.
class LogUploadService {
 public:
  enum class Outcome {
    Sent,       // 2xx: the archive is deleted
    NotSent,    // transport failure or another status: the archive is kept
    NoArchive,  // the bundle could not be made: nothing was posted
  };

  // `presenter` must outlive the service.
  LogUploadService(LogBundleSettings settings, LogUploadPresenter& presenter);
  ~LogUploadService();
  LogUploadService(const LogUploadService&) = delete;
  LogUploadService& operator=(const LogUploadService&) = delete;

  // Queues an upload with the page's user id, login and version.
  void sendLogForUserId(const std::string& userId, const std::string& login, const std::string& version);

  // One whole upload on the calling thread, without telling the presenter.
  // `archivePath` is set to the archive's path.
  Outcome upload(const std::string& userId, const std::string& login, const std::string& version, std::time_t now,
                 std::string& archivePath, const std::vector<std::string>& storageFolders = std::vector<std::string>());

 private:
  struct Request {
    std::string userId;
    std::string login;
    std::string version;
    std::vector<std::string> storageFolders;
  };
  struct Mailbox;

  void run();
  bool post(const std::string& archivePath);
  void present(Outcome outcome, const std::string& archivePath);

  const LogBundleSettings settings_;
  // Where results wait for the main thread (see LogUploadService.cpp).
  Mailbox* mailbox_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;        // guards queue_, uploading_, lastFailure_ and thread_'s start
  bool uploading_ = false;  // a request is queued or under way
  std::optional<std::chrono::steady_clock::time_point> lastFailure_;  // of the last upload, if it failed
  std::condition_variable wake_;
  std::deque<Request> queue_;
  std::thread thread_;
};
