#include "PagePublisher.h"

#include <glib.h>

#include <cstring>

PagePublisher::PagePublisher(std::function<uint64_t()> mainPageId, std::string playerAddress, Fill fill)
    : mainPageId_(std::move(mainPageId)), playerOrigin_(originOf(playerAddress)), fill_(std::move(fill)) {}

std::string PagePublisher::originOf(const std::string& address) {
  GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return "";
  std::string origin;
  const char* host = g_uri_get_host(uri);
  if (host != nullptr && *host != '\0') {
    gchar* scheme = g_ascii_strdown(g_uri_get_scheme(uri), -1);
    gchar* lowerHost = g_ascii_strdown(host, -1);
    int port = g_uri_get_port(uri);
    bool defaultPort =
        port < 0 || (g_strcmp0(scheme, "http") == 0 && port == 80) || (g_strcmp0(scheme, "https") == 0 && port == 443);
    origin = std::string(scheme) + "://";
    // An IPv6 literal keeps its brackets in an origin.
    origin += strchr(lowerHost, ':') != nullptr ? "[" + std::string(lowerHost) + "]" : std::string(lowerHost);
    if (!defaultPort) origin += ":" + std::to_string(port);
    g_free(lowerHost);
    g_free(scheme);
  }
  g_uri_unref(uri);
  return origin;
}

bool PagePublisher::publish(PagePublication& publication) {
  const PagePublication::Frame& frame = publication.frame();
  if (frame.page != mainPageId_()) return false;
  if (playerOrigin_.empty() || frame.origin != playerOrigin_ || originOf(frame.uri) != playerOrigin_) return false;
  if (fill_) fill_(publication);
  return true;
}

void PagePublisher::consoleMessage(uint64_t page, unsigned level, const std::string& text, const std::string& source,
                                   unsigned line) {
  if (page != mainPageId_() || !console_) return;
  // The player's own documents only, as their scripts' addresses tell: frames
  // of another origin (adverts) must not fill the application's log. Code
  // made of text (eval, a string for setTimeout) has no address.
  if (playerOrigin_.empty() || (!source.empty() && originOf(source) != playerOrigin_)) return;
  console_(level, text, source, line);
}

void PagePublisher::channelWarning(const std::string& text) {
  if (warning_) warning_(text);
}

void PagePublisher::publicationShown(PagePublication& publication, bool shown) {
  if (publication.frame().page != mainPageId_() || !shown_) return;
  shown_(publication, shown);
}
