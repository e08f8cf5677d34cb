#pragma once

#include <string>

#include "VLProxySettings.h"

// Reads the system proxy settings: the http_proxy (then HTTP_PROXY) variable
// when set and not empty; otherwise, in a KDE session (XDG_CURRENT_DESKTOP
// names KDE), KDE's proxy settings; otherwise GNOME's proxy settings when that
// schema is installed; otherwise none. Then decides with VLDecideProxy. True with `proxy`
// set to "host:port" when an HTTP proxy is to be used. Reads the system each call:
// the platform factory calls it once per process.
bool GetProxyConfig(std::string& proxy);

// The hosts to reach without a proxy: the no_proxy (then NO_PROXY) variable, or empty.
std::string GetNoProxyHosts();

// Settings from a proxy URL as the variables hold it: "[scheme://][user[:password]@]host[:port][/...]".
// The scheme and the credentials are kept as they stand. An empty value gives unavailable settings.
VLProxySettings VLProxySettingsFromUrl(const std::string& url);

// Settings from GNOME's proxy configuration; unavailable when its schema is not installed.
VLProxySettings VLProxySettingsFromGnome();

// Settings from KDE's proxy configuration, the [Proxy Settings] group of
// "kioslaverc" in ${XDG_CONFIG_HOME:-~/.config}: ProxyType 0 (or no file)
// no proxy, 1 the manual httpProxy ("[scheme://]host[:port]" or "... port"),
// 2 and 3 automatic configuration, 4 the proxy of the environment variable
// that httpProxy names (comma-separated names: the first that is set).
VLProxySettings VLProxySettingsFromKde();
