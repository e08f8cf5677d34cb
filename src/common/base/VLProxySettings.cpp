#include "VLProxySettings.h"

#include "VLLogger.h"

namespace {

const long long kDefaultPort = 80;

}  // namespace

bool VLDecideProxy(const VLProxySettings& settings, std::string& proxy)
{
    if (!settings.available) {
        VL_LOG_WARN("Unable to retrieve proxy configuration");
        return false;
    }
    if (settings.autoConfigEnabled) {
        VL_LOG_WARN("Automatic proxy configuration is not supported");
        return false;
    }
    if (!settings.httpEnabled)
        return false;
    // An empty host would hand libcurl ":port", which it cannot use: every
    // transfer would fail instead of going direct.
    if (!settings.hasHost || settings.host.empty()) {
        VL_LOG_WARN("Unable to retrieve HTTP proxy string");
        return false;
    }
    long long port = kDefaultPort;
    if (settings.hasPort && settings.port >= 1 && settings.port <= 65535)
        port = settings.port;
    proxy = settings.host + ":" + std::to_string(port);
    VL_LOG_DEBUG("HTTP proxy found : " << proxy);
    return true;
}
