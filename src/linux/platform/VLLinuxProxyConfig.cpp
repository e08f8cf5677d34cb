#include "VLLinuxProxyConfig.h"

#include <cerrno>
#include <cstdlib>

#include <gio/gio.h>

namespace {

const char* const kGnomeProxySchema = "org.gnome.system.proxy";
const char* const kGnomeHttpProxySchema = "org.gnome.system.proxy.http";

// The port text after the host: digits only, else absent.
void parsePort(const std::string& text, VLProxySettings& settings)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return;
    settings.hasPort = true;
    settings.port = std::strtoll(text.c_str(), nullptr, 10);
}

// Opens `schemaId` when it is installed; null otherwise (g_settings_new would
// abort the process over a missing schema).
GSettings* openSettings(const char* schemaId)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source)
        return nullptr;
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, schemaId, TRUE);
    if (!schema)
        return nullptr;
    GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
    g_settings_schema_unref(schema);
    return settings;
}

}  // namespace

VLProxySettings VLProxySettingsFromUrl(const std::string& url)
{
    VLProxySettings settings;
    if (url.empty())
        return settings;
    settings.available = true;
    settings.httpEnabled = true;

    std::string rest = url;
    std::string::size_type scheme = rest.find("://");
    if (scheme != std::string::npos) {
        settings.scheme = rest.substr(0, scheme);
        rest = rest.substr(scheme + 3);
    }
    rest = rest.substr(0, rest.find_first_of("/?#"));
    std::string::size_type at = rest.rfind('@');
    if (at != std::string::npos) {
        settings.credentials = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }

    std::string host = rest;
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        // An IPv6 literal keeps its brackets: libcurl needs them before ":port".
        std::string::size_type close = rest.find(']');
        if (close != std::string::npos) {
            host = rest.substr(0, close + 1);
            if (close + 1 < rest.size() && rest[close + 1] == ':')
                port = rest.substr(close + 2);
        }
    } else {
        std::string::size_type colon = rest.rfind(':');
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
        }
    }
    settings.hasHost = true;
    settings.host = host;
    parsePort(port, settings);
    return settings;
}

VLProxySettings VLProxySettingsFromGnome()
{
    VLProxySettings settings;
    GSettings* proxy = openSettings(kGnomeProxySchema);
    if (!proxy)
        return settings;
    settings.available = true;
    gchar* mode = g_settings_get_string(proxy, "mode");
    std::string modeText = mode ? mode : "";
    g_free(mode);
    g_object_unref(proxy);

    settings.autoConfigEnabled = modeText == "auto";
    settings.httpEnabled = modeText == "manual";
    if (!settings.httpEnabled)
        return settings;

    GSettings* http = openSettings(kGnomeHttpProxySchema);
    if (!http)
        return settings;
    gchar* host = g_settings_get_string(http, "host");
    if (host) {
        settings.hasHost = true;
        settings.host = host;
        g_free(host);
    }
    settings.hasPort = true;
    settings.port = g_settings_get_int(http, "port");
    g_object_unref(http);
    return settings;
}

std::string GetNoProxyHosts()
{
    const char* variable = getenv("no_proxy");
    if (!variable || !*variable)
        variable = getenv("NO_PROXY");
    return variable ? variable : "";
}

bool GetProxyConfig(std::string& proxy)
{
    const char* variable = getenv("http_proxy");
    if (!variable || !*variable)
        variable = getenv("HTTP_PROXY");
    VLProxySettings settings =
        (variable && *variable) ? VLProxySettingsFromUrl(variable) : VLProxySettingsFromGnome();
    return VLDecideProxy(settings, proxy);
}
