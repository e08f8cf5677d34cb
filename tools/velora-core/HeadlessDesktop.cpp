#include "HeadlessDesktop.h"

#include <list>

#include "JsonLineWriter.h"
#include "MachineIdentity.h"
#include "VLDesktopFile.h"
#include "VLPlatformFactory.h"

HeadlessDesktop::HeadlessDesktop(JsonLineWriter* out) : out_(out) {}

void HeadlessDesktop::executeRunLoop() {
  if (extraPassDelayMs_ > 0) VLPlatformFactory::instance()->sleep(extraPassDelayMs_);
  VLDesktop::executeRunLoop();
  ++passes_;
}

HeadlessDesktop::~HeadlessDesktop() {
  // The slots go with this object: stop the worker while they still exist.
  clean();
}

void HeadlessDesktop::mapFileUrl(const std::string& fileKey, const FileUrl& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  urls_[fileKey] = answer;
}

void HeadlessDesktop::answerFileUrls() {
  std::deque<UrlRequest> requests;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests.swap(urlRequests_);
  }
  for (const UrlRequest& request : requests) {
    std::string key = std::to_string(request.entityId) + "_" + std::to_string(request.formatId);
    FileUrl answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = urls_.find(key);
      if (found != urls_.end()) answer = found->second;
    }
    unsigned int format = unsigned(request.formatId);
    unsigned int newFormat = answer.format ? answer.format : format;
    setFileUrl(request.repository, std::to_string(request.entityId), format, answer.url, newFormat, answer.data);
    JKValue line = jsonObject();
    jsonSet(line, "answered", "getFileUrl");
    jsonSet(line, "file", key);
    jsonSet(line, "url", answer.url);
    out_->write(line);
  }
}

bool HeadlessDesktop::takeInternalCount(long id, unsigned int* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = internalCounts_.find(id);
  if (found == internalCounts_.end()) return false;
  *count = found->second;
  internalCounts_.erase(found);
  return true;
}

std::string HeadlessDesktop::getVersion() {
  return "1.0.0 (headless)";
}

// The machine's identifier as the desktop front end reports it: never the raw
// machine id.
std::string HeadlessDesktop::getSystemUid() {
  return MachineIdentity::systemUid();
}

JKValue HeadlessDesktop::fileToJson(const VLDesktopFile& file) {
  JKValue object = jsonObject();
  jsonSet(object, "entity_id", file.getEntityId());
  jsonSet(object, "format_id", file.getFormatId());
  jsonSet(object, "repository", file.getRepository());
  jsonSet(object, "metadata", file.getMetadata());
  jsonSet(object, "bytes_loaded", file.getBytesLoaded());
  jsonSet(object, "bytes_total", file.getBytesTotal());
  jsonSet(object, "file_state", file.getFileState());
  jsonSet(object, "download_state", file.getDownloadState());
  jsonSet(object, "position", file.getPosition());
  jsonSet(object, "last_listening", file.getLastListening());
  jsonSet(object, "listening_count", file.getListeningCount());
  jsonSet(object, "last_add", file.getLastAdd());
  jsonSet(object, "url_data", file.getUrlData());
  jsonSet(object, "retry_in", file.getRetryIn());
  jsonSet(object, "failure", file.getFailure());
  return object;
}

namespace {

// Builds the array and frees the list and its records, which the slot owns.
JKValue takeFiles(std::list<VLDesktopFile*>* files) {
  JKValue array = jsonArray();
  if (!files) return array;
  for (VLDesktopFile* file : *files) {
    jsonAppend(array, HeadlessDesktop::fileToJson(*file));
    delete file;
  }
  delete files;
  return array;
}

}  // namespace

void HeadlessDesktop::executeMethodWithStr(const std::string& method, const std::string& arg) {
  JKValue line = jsonObject();
  JKValue args = jsonArray();
  jsonAppend(args, arg);
  jsonSet(line, "event", method);
  jsonSet(line, "args", args);
  out_->write(line);
}

void HeadlessDesktop::executeMethodWithStrStrNumber(const std::string& method, const std::string& s1,
                                                    const std::string& s2, int n) {
  JKValue line = jsonObject();
  JKValue args = jsonArray();
  jsonAppend(args, s1);
  jsonAppend(args, s2);
  jsonAppend(args, n);
  jsonSet(line, "event", method);
  jsonSet(line, "args", args);
  out_->write(line);
}

void HeadlessDesktop::executeMethodWithFile(const std::string& method, VLDesktopFile* file) {
  JKValue line = jsonObject();
  jsonSet(line, "event", method);
  jsonSet(line, "file", fileToJson(*file));
  if (method == "getFileUrl") {
    std::lock_guard<std::mutex> lock(mutex_);
    urlRequests_.push_back(UrlRequest{file->getRepository(), file->getEntityId(), file->getFormatId()});
  }
  delete file;
  out_->write(line);
}

void HeadlessDesktop::executeMethodWithFiles(const std::string& method, std::list<VLDesktopFile*>* files) {
  JKValue line = jsonObject();
  jsonSet(line, "event", method);
  jsonSet(line, "files", takeFiles(files));
  out_->write(line);
}

void HeadlessDesktop::executeCallbackWithFiles(void* callback, std::list<VLDesktopFile*>* files) {
  JKValue line = jsonObject();
  jsonSet(line, "callback", idFromCallback(callback));
  jsonSet(line, "files", takeFiles(files));
  out_->write(line);
}

void HeadlessDesktop::executeCallbackWithNumber(void* callback, unsigned int count) {
  long id = idFromCallback(callback);
  if (id < 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    internalCounts_[id] = count;
    return;
  }
  JKValue line = jsonObject();
  jsonSet(line, "callback", id);
  jsonSet(line, "count", count);
  out_->write(line);
}
