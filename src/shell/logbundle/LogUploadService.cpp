#include "LogUploadService.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "BlockingHttpRequest.h"
#include "LogBundle.h"
#include "LogUploadPresenter.h"
#include "MultipartFormData.h"
#include "VLLogger.h"

namespace {

// Limits on connecting, on a transfer that has stalled, and on the whole
// exchange (generous: a bundle may be tens of megabytes on a slow line, but a
// server that trickles an endless answer must not hold the upload for ever).
const long kConnectTimeoutMs = 30000;
const long kStalledSeconds = 60;
const long kUploadTimeoutMs = 15 * 60 * 1000;
// Only the answer's status matters; this much of its body is kept for the log.
const size_t kKeptAnswerBytes = 4096;
// After a failed upload the user has its alert (and its archive); requests
// within this time are not made into further bundles and alerts.
const auto kPauseAfterFailure = std::chrono::seconds(30);

}  // namespace

// Results on their way to the main thread. Made on the main thread; shared
// by the service and each pending idle source through a reference count, so
// that a result that arrives after the service is gone finds no presenter.
// Everything passes through the mutex and the atomic count, never through
// memory that GLib hands over (its own locking is invisible to the thread
// sanitizer).
struct LogUploadService::Mailbox {
  explicit Mailbox(LogUploadPresenter* presenter) : presenter(presenter) {}

  void release() {
    if (references.fetch_sub(1) == 1) delete this;
  }

  static gboolean deliver(gpointer data) {
    Mailbox* mailbox = static_cast<Mailbox*>(data);
    LogUploadPresenter* presenter;
    Outcome outcome;
    std::string archivePath;
    {
      std::lock_guard<std::mutex> lock(mailbox->mutex);
      if (mailbox->results.empty()) return G_SOURCE_REMOVE;
      presenter = mailbox->presenter;
      outcome = mailbox->results.front().first;
      archivePath = mailbox->results.front().second;
      mailbox->results.pop_front();
    }
    if (presenter && outcome == Outcome::Sent)
      presenter->showSendLogSuccessMessage();
    else if (presenter)
      presenter->showSendLogFailureMessage(archivePath);
    return G_SOURCE_REMOVE;
  }

  static void forget(gpointer data) { static_cast<Mailbox*>(data)->release(); }

  std::mutex mutex;
  LogUploadPresenter* presenter;  // null once the service is gone
  std::deque<std::pair<Outcome, std::string>> results;
  std::atomic<int> references{1};  // the service's, and one per pending idle source
};

LogUploadService::LogUploadService(LogBundleSettings settings, LogUploadPresenter& presenter)
    : settings_(std::move(settings)), mailbox_(new Mailbox(&presenter)) {}

LogUploadService::~LogUploadService() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    mailbox_->presenter = nullptr;
    mailbox_->results.clear();
  }
  mailbox_->release();
}

void LogUploadService::sendLogForUserId(const std::string& userId, const std::string& login,
                                        const std::string& version) {
  std::vector<std::string> storageFolders =
      settings_.storageFolders ? settings_.storageFolders() : std::vector<std::string>();
  std::lock_guard<std::mutex> lock(mutex_);
  // One upload at a time: a request while one is under way joins it (one
  // bundle, one answer to the user).
  if (uploading_) {
    VL_LOG_INFO("sendLog joins the upload under way");
    return;
  }
  if (lastFailure_ && std::chrono::steady_clock::now() - *lastFailure_ < kPauseAfterFailure) {
    VL_LOG_WARN("sendLog is not made: the last upload failed moments ago");
    return;
  }
  uploading_ = true;
  queue_.push_back(Request{userId, login, version, std::move(storageFolders)});
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  wake_.notify_all();
}

void LogUploadService::run() {
  while (true) {
    Request request;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      request = queue_.front();
      queue_.pop_front();
    }
    std::string archivePath;
    Outcome outcome =
        upload(request.userId, request.login, request.version, time(nullptr), archivePath, request.storageFolders);
    if (!stopping_) present(outcome, outcome == Outcome::NotSent ? archivePath : std::string());
    std::lock_guard<std::mutex> lock(mutex_);
    uploading_ = false;
    if (outcome == Outcome::Sent)
      lastFailure_.reset();
    else
      lastFailure_ = std::chrono::steady_clock::now();
  }
}

LogUploadService::Outcome LogUploadService::upload(const std::string& userId, const std::string& login,
                                                   const std::string& version, std::time_t now,
                                                   std::string& archivePath,
                                                   const std::vector<std::string>& storageFolders) {
  LogBundle bundle(settings_);
  bool built = bundle.build(userId, login, version, now, storageFolders);
  archivePath = bundle.archivePath();
  if (!built) return Outcome::NoArchive;
  if (!post(archivePath)) return Outcome::NotSent;
  unlink(archivePath.c_str());
  return Outcome::Sent;
}

bool LogUploadService::post(const std::string& archivePath) {
  MultipartFormData form;
  form.addText("udid", settings_.systemUid);
  form.addText("ext", "zip");
  form.addText("ver", settings_.applicationVersion);
  form.addText("type", "desktop");
  form.addNumber("auto", 0);
  form.addBytes("file", std::string());

  // The archive goes from disk as it is sent, never whole in memory.
  BlockingHttpRequest request(settings_.endpoint);
  request.addHeader("Content-Type: " + form.contentType());
  std::pair<std::string, std::string> around = form.bodyAroundLastField();
  if (!request.setPostBodyAroundFile(around.first, archivePath, around.second)) {
    VL_LOG_WARN("Error sending data: the archive cannot be read: " << archivePath << ": " << strerror(errno));
    return false;
  }
  request.setConnectTimeoutMilliseconds(kConnectTimeoutMs);
  request.setLowSpeedLimit(1, kStalledSeconds);
  request.setTimeoutMilliseconds(kUploadTimeoutMs);
  request.setKeptBodySize(kKeptAnswerBytes);
  request.setCancelFlag(&stopping_);
  HttpResponse response;
  request.perform(response);
  if (!response.isSuccess()) {
    VL_LOG_WARN("Error sending data: " << (response.answered ? "HTTP status " + std::to_string(response.status)
                                                             : response.error));
    return false;
  }
  VL_LOG_DEBUG("sendLog result: " << response.body);
  return true;
}

void LogUploadService::present(Outcome outcome, const std::string& archivePath) {
  {
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    mailbox_->results.emplace_back(outcome, archivePath);
  }
  mailbox_->references.fetch_add(1);
  // Always through an idle source of the default context: that context's
  // owner, the main thread, runs it (g_main_context_invoke would run it
  // right here whenever the main thread happens not to hold the context).
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, &Mailbox::deliver, mailbox_, &Mailbox::forget);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}
