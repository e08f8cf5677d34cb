#pragma once

#include <string>

// The four system proxy settings the core consults, as read from whatever
// source the platform has, and the decision made from them.
struct VLProxySettings {
  // False when the platform gave no proxy settings at all.
  bool available = false;
  // Automatic proxy configuration is on (not supported: no proxy is used).
  bool autoConfigEnabled = false;
  // A manual HTTP proxy is on.
  bool httpEnabled = false;
  // The host, when one was read.
  bool hasHost = false;
  std::string host;
  // The port, when one was read; values outside 1..65535 count as absent.
  bool hasPort = false;
  long long port = 0;
  // The proxy's scheme ("http", "https", "socks5h", ...), empty when none was given.
  std::string scheme;
  // "user[:password]" as given (percent-encoded as in a URL), empty for none.
  std::string credentials;
};

// Decides from `settings` whether an HTTP proxy is to be used. True with `proxy`
// set to host ":" port (port 80 when absent or out of range, 1080 for a SOCKS
// proxy, 443 for https); a scheme other than http, or credentials, give the
// URL form scheme "://" [credentials "@"] host ":" port; false with `proxy`
// untouched otherwise. The log never shows the credentials. An empty host means no proxy. Logs, in this order of
// decisions: no settings (warning), automatic configuration (warning), proxy off
// (nothing), no host (warning), proxy found (debug).
bool VLDecideProxy(const VLProxySettings& settings, std::string& proxy);
