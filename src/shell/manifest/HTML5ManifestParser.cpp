#include "HTML5ManifestParser.h"

#include <cstring>
#include <ctime>
#include <glib.h>

#include "BlockingHttpRequest.h"
#include "VLLogger.h"

namespace {

const char* const kSignature = "CACHE MANIFEST";
const long kManifestTimeoutMs = 10000;
// Far above any real manifest; keeps a wrong answer from filling memory.
const size_t kMaximumManifestSize = 4 * 1024 * 1024;

enum class Section { Explicit, Network, Fallback, Other };

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isLineBreak(char c) {
  return c == '\r' || c == '\n';
}

// The text up to the first blank (the whole text when it has none).
std::string firstToken(const std::string& line) {
  return line.substr(0, line.find_first_of(" \t"));
}

bool sectionHeader(const std::string& line, Section& section) {
  if (line.empty() || line.back() != ':') return false;
  if (line == "CACHE:")
    section = Section::Explicit;
  else if (line == "NETWORK:")
    section = Section::Network;
  else if (line == "FALLBACK:")
    section = Section::Fallback;
  else
    section = Section::Other;
  return true;
}

void addFallback(const std::string& line, HTML5Manifest& manifest) {
  std::string::size_type blank = line.find_first_of(" \t");
  if (blank == std::string::npos) return;
  std::string::size_type start = line.find_first_not_of(" \t", blank);
  if (start == std::string::npos) return;
  std::string::size_type end = line.find_first_of(" \t", start);
  manifest.fallbackURLs[line.substr(0, blank)] = line.substr(start, end == std::string::npos ? end : end - start);
}

void addLine(const std::string& line, Section section, HTML5Manifest& manifest) {
  switch (section) {
    case Section::Explicit: manifest.explicitURLs.push_back(firstToken(line)); break;
    case Section::Network:
      if (line == "*")
        manifest.allowAllNetworkRequests = true;
      else
        manifest.onlineWhitelistedURLs.push_back(firstToken(line));
      break;
    case Section::Fallback: addFallback(line, manifest); break;
    case Section::Other: break;
  }
}

}  // namespace

bool HTML5ManifestParser::parseManifest(const std::string& text, HTML5Manifest& manifest) {
  std::string::size_type position = text.find(kSignature);
  if (position == std::string::npos) return false;
  position += strlen(kSignature);
  if (position < text.size() && !isBlank(text[position]) && !isLineBreak(text[position])) return false;
  while (position < text.size() && !isLineBreak(text[position])) ++position;

  HTML5Manifest parsed;
  Section section = Section::Explicit;
  while (true) {
    while (position < text.size() && (isBlank(text[position]) || isLineBreak(text[position]))) ++position;
    if (position >= text.size()) break;
    std::string::size_type end = text.find_first_of("\r\n", position);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(position, end - position);
    position = end;
    if (line[0] == '#') continue;
    line.erase(line.find_last_not_of(" \t") + 1);
    if (!sectionHeader(line, section)) addLine(line, section, parsed);
  }
  manifest = parsed;
  return true;
}

bool HTML5ManifestParser::parsedManifestFromURL(const std::string& url, const std::string& userAgent,
                                                HTML5Manifest& manifest, const std::atomic<bool>* cancel) {
  BlockingHttpRequest request(url + "?ts=" + std::to_string(long(time(nullptr))));
  request.setUserAgent(userAgent);
  request.setTimeoutMilliseconds(kManifestTimeoutMs);
  request.setMaximumBodySize(kMaximumManifestSize);
  request.setFollowRedirects(true);
  request.setCancelFlag(cancel);
  HttpResponse response;
  if (!request.perform(response)) return false;
  if (!response.isSuccess()) {
    VL_LOG_WARN("No manifest at " << request.url() << ": HTTP status " << response.status);
    return false;
  }
  if (response.body.empty() || !g_utf8_validate(response.body.data(), response.body.size(), nullptr)) {
    VL_LOG_WARN("No manifest at " << request.url() << ": the answer is empty or not UTF-8 text");
    return false;
  }
  if (!parseManifest(response.body, manifest)) {
    VL_LOG_WARN("No manifest at " << request.url() << ": no \"CACHE MANIFEST\" signature");
    return false;
  }
  return true;
}
