#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// What one HTTP exchange gave.
struct HttpResponse {
  // True when a whole HTTP answer arrived (whatever its status); false on a
  // transport failure (no connection, time-out, cut answer, cancelled,
  // refused address, body over the limit), described by `error`.
  bool answered = false;
  std::string error;
  long status = 0;          // the HTTP status; 0 without an answer
  std::string contentType;  // the Content-Type header; "" when absent
  std::string body;

  // An answer with a status from 200 to 299.
  bool isSuccess() const { return answered && status >= 200 && status <= 299; }
};

// One blocking HTTP or HTTPS request over libcurl, for the shell's own
// traffic (the manifest pre-fetch, the log upload). It goes through the
// system proxy (VLPlatformFactory::getProxyConfig) when there is one.
//
// Only http and https addresses are fetched, also across redirects.
// Configure, then call perform once. An object is used by one thread;
// several objects may run on several threads at once.
class BlockingHttpRequest {
 public:
  explicit BlockingHttpRequest(std::string url);
  ~BlockingHttpRequest();
  BlockingHttpRequest(const BlockingHttpRequest&) = delete;
  BlockingHttpRequest& operator=(const BlockingHttpRequest&) = delete;

  void setUserAgent(const std::string& userAgent) { userAgent_ = userAgent; }
  // The whole exchange's limit; 0 (the default) sets none.
  void setTimeoutMilliseconds(long milliseconds) { timeoutMs_ = milliseconds; }
  // The connection's limit; 0 leaves libcurl's default (300 seconds).
  void setConnectTimeoutMilliseconds(long milliseconds) { connectTimeoutMs_ = milliseconds; }
  // Gives up when fewer than `bytesPerSecond` move for `seconds` in a row.
  void setLowSpeedLimit(long bytesPerSecond, long seconds);
  // A body longer than this fails the exchange (nothing is kept of it).
  void setMaximumBodySize(size_t bytes) { maximumBodySize_ = bytes; }
  // Keeps only the body's first `bytes` and stops reading there; the
  // exchange still counts as answered, with its status. For a caller that
  // needs only the status: an endless answer ends and takes no memory.
  void setKeptBodySize(size_t bytes) { keptBodySize_ = bytes; }
  // Follows up to 5 redirects (http and https only); off by default.
  void setFollowRedirects(bool follow) { followRedirects_ = follow; }
  // When the flag turns true the exchange stops soon after, as a failure.
  // The flag must outlive perform.
  void setCancelFlag(const std::atomic<bool>* cancel) { cancel_ = cancel; }
  // A header line "Name: value".
  void addHeader(const std::string& line) { headers_.push_back(line); }
  // Makes the request a POST of these bytes (the caller sets Content-Type).
  void setPostBody(std::string body);
  // Makes the request a POST of `head`, the file's bytes read from disk as
  // they are sent, and `tail`. False when the file cannot be opened.
  bool setPostBodyAroundFile(std::string head, const std::string& filePath, std::string tail);

  // Runs the exchange on the calling thread. Returns response.answered; a
  // transport failure is logged as a warning ("CURL failed : (code) text").
  bool perform(HttpResponse& response);

  const std::string& url() const { return url_; }

 private:
  static size_t receiveBody(char* data, size_t size, size_t count, void* context);
  static size_t sendBody(char* data, size_t size, size_t count, void* context);
  static int progress(void* context, long long, long long, long long, long long);

  std::string url_;
  std::string userAgent_;
  long timeoutMs_ = 0;
  long connectTimeoutMs_ = 0;
  long lowSpeedBytes_ = 0;
  long lowSpeedSeconds_ = 0;
  size_t maximumBodySize_ = SIZE_MAX;
  size_t keptBodySize_ = SIZE_MAX;
  bool followRedirects_ = false;
  const std::atomic<bool>* cancel_ = nullptr;
  std::vector<std::string> headers_;
  bool post_ = false;
  std::string postBody_;
  // A streamed body: head, the file, tail; postFile_ null otherwise.
  FILE* postFile_ = nullptr;
  int64_t postFileSize_ = 0;
  std::string postTail_;
  size_t postOffset_ = 0;  // in the whole body, during perform

  // During perform.
  HttpResponse* response_ = nullptr;
  bool overLimit_ = false;
  bool bodyCut_ = false;  // stopped reading at keptBodySize_
};
