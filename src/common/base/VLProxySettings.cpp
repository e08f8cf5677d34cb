#include "VLProxySettings.h"

#include "VLLogger.h"

namespace {

const long long kDefaultPort = 80;
const long long kDefaultSocksPort = 1080;
const long long kDefaultHttpsPort = 443;

long long defaultPort(const std::string& scheme) {
  if (scheme.compare(0, 5, "socks") == 0) return kDefaultSocksPort;
  return scheme == "https" ? kDefaultHttpsPort : kDefaultPort;
}

}  // namespace

bool VLDecideProxy(const VLProxySettings& settings, std::string& proxy) {
  if (!settings.available) {
    VL_LOG_WARN("Unable to retrieve proxy configuration");
    return false;
  }
  if (settings.autoConfigEnabled) {
    VL_LOG_WARN("Automatic proxy configuration is not supported");
    return false;
  }
  if (!settings.httpEnabled) return false;
  // An empty host would hand libcurl ":port", which it cannot use: every
  // transfer would fail instead of going direct.
  if (!settings.hasHost || settings.host.empty()) {
    VL_LOG_WARN("Unable to retrieve HTTP proxy string");
    return false;
  }
  long long port = defaultPort(settings.scheme);
  if (settings.hasPort && settings.port >= 1 && settings.port <= 65535) port = settings.port;
  std::string address = settings.host + ":" + std::to_string(port);
  std::string credentials = settings.credentials.empty() ? "" : settings.credentials + "@";
  // Plain HTTP is libcurl's default; any other scheme, or credentials, needs
  // the URL form.
  bool plain = (settings.scheme.empty() || settings.scheme == "http") && credentials.empty();
  std::string scheme = plain ? "" : (settings.scheme.empty() ? "http" : settings.scheme) + "://";
  proxy = scheme + credentials + address;
  VL_LOG_DEBUG("HTTP proxy found : " << scheme << (credentials.empty() ? "" : "(credentials)@") << address);
  return true;
}
