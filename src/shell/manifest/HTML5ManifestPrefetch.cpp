#include "HTML5ManifestPrefetch.h"

#include <curl/curl.h>

#include "BlockingHttpRequest.h"
#include "HTML5ManifestParser.h"
#include "OfflineResourceStore.h"
#include "VLLogger.h"

namespace {

// Each entry gets one second: a manifest of n entries keeps the thread busy
// for at most about n seconds.
const long kEntryTimeoutMs = 1000;
// A resource larger than this is not kept (the store holds it in memory).
const size_t kMaximumEntrySize = 32 * 1024 * 1024;

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct UrlHandle {
  CURLU* url = curl_url();
  ~UrlHandle() { curl_url_cleanup(url); }
};

// `reference` resolved against `base` as a page resolves a relative link,
// without its fragment; false when that gives no http or https address.
bool resolve(const std::string& base, const std::string& reference, std::string& address) {
  UrlHandle url;
  if (!url.url || curl_url_set(url.url, CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return false;
  // Setting a relative reference on a handle holding an address resolves it.
  if (curl_url_set(url.url, CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return false;
  // The fragment never reaches the server, nor the address the page asks for.
  curl_url_set(url.url, CURLUPART_FRAGMENT, nullptr, 0);
  char* scheme = nullptr;
  char* text = nullptr;
  bool resolved = curl_url_get(url.url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                  curl_url_get(url.url, CURLUPART_URL, &text, 0) == CURLUE_OK &&
                  (std::string(scheme) == "http" || std::string(scheme) == "https");
  if (resolved) address = text;
  curl_free(scheme);
  curl_free(text);
  return resolved;
}

}  // namespace

HTML5ManifestPrefetch::HTML5ManifestPrefetch(std::string manifestURL, std::string userAgent,
                                             OfflineResourceStore& store)
    : manifestURL_(std::move(manifestURL)), userAgent_(std::move(userAgent)), store_(store) {}

HTML5ManifestPrefetch::~HTML5ManifestPrefetch() {
  cancel();
  wait();
}

void HTML5ManifestPrefetch::start() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { cacheHTML5ManifestFiles(); });
}

void HTML5ManifestPrefetch::wait() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void HTML5ManifestPrefetch::cancel() {
  cancelled_ = true;
}

void HTML5ManifestPrefetch::cacheHTML5ManifestFiles() {
  HTML5Manifest manifest;
  if (!HTML5ManifestParser::parsedManifestFromURL(manifestURL_, userAgent_, manifest, &cancelled_)) return;
  VL_LOG_DEBUG(manifest.description());
  int stored = cacheFilesFromManifest(manifest);
  VL_LOG_INFO("Manifest pre-fetch stored " << stored << " of " << manifest.explicitURLs.size() << " entries");
}

int HTML5ManifestPrefetch::cacheFilesFromManifest(const HTML5Manifest& manifest) {
  int stored = 0;
  for (const std::string& entry : manifest.explicitURLs) {
    if (cancelled_) break;
    if (cacheEntry(entry)) ++stored;
  }
  return stored;
}

bool HTML5ManifestPrefetch::resolveEntry(const std::string& entry, std::string& address) const {
  return resolve(manifestURL_, entry, address);
}

std::string HTML5ManifestPrefetch::manifestAddressFor(const std::string& playerAddress) {
  std::string address;
  if (!resolve(playerAddress, "manifest.appcache", address)) return "";
  return address;
}

bool HTML5ManifestPrefetch::cacheEntry(const std::string& entry) {
  std::string address;
  if (!resolveEntry(entry, address)) {
    VL_LOG_WARN("Manifest entry skipped, not an http or https address: " << entry);
    return false;
  }
  if (endsWith(address, ".html")) return false;

  BlockingHttpRequest request(address);
  request.setUserAgent(userAgent_);
  request.setTimeoutMilliseconds(kEntryTimeoutMs);
  request.setMaximumBodySize(kMaximumEntrySize);
  request.setFollowRedirects(true);
  request.setCancelFlag(&cancelled_);
  HttpResponse response;
  if (!request.perform(response)) return false;
  // An error page kept here would later be served in place of a script.
  if (!response.isSuccess()) {
    VL_LOG_WARN("Manifest entry not kept, HTTP status " << response.status << ": " << address);
    return false;
  }
  return store_.storeResource(address, response.contentType, response.body);
}
