#include "BlockingHttpRequest.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "VLLogger.h"
#include "VLPlatformFactory.h"

namespace {

// libcurl's global state is set up once and kept for the whole run: its
// reference count then never falls to zero under a transfer of ours, whatever
// other users of the library do.
void initializeCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct EasyHandle {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  ~EasyHandle() {
    curl_slist_free_all(headers);
    if (curl) curl_easy_cleanup(curl);
  }
};

}  // namespace

BlockingHttpRequest::BlockingHttpRequest(std::string url) : url_(std::move(url)) {}

void BlockingHttpRequest::setLowSpeedLimit(long bytesPerSecond, long seconds) {
  lowSpeedBytes_ = bytesPerSecond;
  lowSpeedSeconds_ = seconds;
}

BlockingHttpRequest::~BlockingHttpRequest() {
  if (postFile_) fclose(postFile_);
}

void BlockingHttpRequest::setPostBody(std::string body) {
  post_ = true;
  postBody_ = std::move(body);
}

bool BlockingHttpRequest::setPostBodyAroundFile(std::string head, const std::string& filePath, std::string tail) {
  FILE* file = fopen(filePath.c_str(), "rbe");
  struct stat status;
  if (!file || fstat(fileno(file), &status) != 0) {
    if (file) fclose(file);
    return false;
  }
  if (postFile_) fclose(postFile_);
  post_ = true;
  postBody_ = std::move(head);
  postFile_ = file;
  postFileSize_ = status.st_size;
  postTail_ = std::move(tail);
  return true;
}

// The streamed body, piece by piece: the head, the file, the tail. A file
// that shrank meanwhile is padded with zeros to the announced length.
size_t BlockingHttpRequest::sendBody(char* data, size_t size, size_t count, void* context) {
  BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
  size_t room = size * count;
  size_t headSize = request->postBody_.size();
  size_t fileEnd = headSize + size_t(request->postFileSize_);
  size_t& offset = request->postOffset_;
  size_t written = 0;
  while (written < room) {
    size_t length = 0;
    if (offset < headSize) {
      length = std::min(room - written, headSize - offset);
      memcpy(data + written, request->postBody_.data() + offset, length);
    } else if (offset < fileEnd) {
      length = fread(data + written, 1, std::min(room - written, fileEnd - offset), request->postFile_);
      if (length == 0) {
        length = std::min(room - written, fileEnd - offset);
        memset(data + written, 0, length);
      }
    } else if (offset < fileEnd + request->postTail_.size()) {
      length = std::min(room - written, fileEnd + request->postTail_.size() - offset);
      memcpy(data + written, request->postTail_.data() + (offset - fileEnd), length);
    } else {
      break;
    }
    offset += length;
    written += length;
  }
  return written;
}

size_t BlockingHttpRequest::receiveBody(char* data, size_t size, size_t count, void* context) {
  BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
  size_t length = size * count;
  std::string& body = request->response_->body;
  if (length > request->keptBodySize_ - body.size()) {
    body.append(data, request->keptBodySize_ - body.size());
    request->bodyCut_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  if (length > request->maximumBodySize_ - body.size()) {
    request->overLimit_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  body.append(data, length);
  return length;
}

int BlockingHttpRequest::progress(void* context, long long, long long, long long, long long) {
  BlockingHttpRequest* request = static_cast<BlockingHttpRequest*>(context);
  return request->cancel_ && request->cancel_->load() ? 1 : 0;
}

bool BlockingHttpRequest::perform(HttpResponse& response) {
  response = HttpResponse();
  initializeCurlOnce();
  EasyHandle handle;
  if (!handle.curl) {
    response.error = "no libcurl handle";
    VL_LOG_ERROR("curl_easy_init has failed for " << url_);
    return false;
  }
  CURL* curl = handle.curl;
  response_ = &response;
  overLimit_ = false;
  bodyCut_ = false;

  curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &BlockingHttpRequest::receiveBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &BlockingHttpRequest::progress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  if (!userAgent_.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent_.c_str());
  if (timeoutMs_ > 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs_);
  if (connectTimeoutMs_ > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs_);
  if (lowSpeedSeconds_ > 0) {
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, lowSpeedBytes_);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedSeconds_);
  }
  if (followRedirects_) {
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  }
  std::string proxy;
  if (VLPlatformFactory::instance()->getProxyConfig(url_, proxy)) curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  if (post_) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    if (postFile_) {
      postOffset_ = 0;
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, sendBody);
      curl_easy_setopt(curl, CURLOPT_READDATA, this);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                       curl_off_t(postBody_.size()) + postFileSize_ + curl_off_t(postTail_.size()));
    } else {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody_.data());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(postBody_.size()));
    }
    // Sent whole at once: no waiting for a "100 Continue" that some servers never send.
    handle.headers = curl_slist_append(handle.headers, "Expect:");
  }
  for (const std::string& line : headers_) handle.headers = curl_slist_append(handle.headers, line.c_str());
  if (handle.headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, handle.headers);

  CURLcode code = curl_easy_perform(curl);
  response_ = nullptr;
  if (code == CURLE_WRITE_ERROR && bodyCut_) {
    VL_LOG_DEBUG("The answer's body was read no further than " << keptBodySize_ << " bytes: " << url_);
  } else if (code != CURLE_OK) {
    response.body.clear();
    response.error = overLimit_
                         ? std::string("the answer is longer than ") + std::to_string(maximumBodySize_) + " bytes"
                         : curl_easy_strerror(code);
    VL_LOG_WARN("CURL failed : (" << code << ") " << response.error << " for " << url_);
    return false;
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  char* contentType = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
    response.contentType = contentType;
  response.answered = true;
  return true;
}
