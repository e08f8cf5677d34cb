#include "VLLinuxProxyConfig.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <gio/gio.h>

namespace {

const char* const kGnomeProxySchema = "org.gnome.system.proxy";
const char* const kGnomeHttpProxySchema = "org.gnome.system.proxy.http";
const char* const kKdeProxyFile = "kioslaverc";
const char* const kKdeProxyGroup = "Proxy Settings";
// KDE's ProxyType values.
enum KdeProxyType { KDE_NO_PROXY = 0, KDE_MANUAL = 1, KDE_PAC = 2, KDE_WPAD = 3, KDE_ENVIRONMENT = 4 };

// The port text after the host: digits only, else absent.
void parsePort(const std::string& text, VLProxySettings& settings) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return;
  settings.hasPort = true;
  settings.port = std::strtoll(text.c_str(), nullptr, 10);
}

// Opens `schemaId` when it is installed; null otherwise (g_settings_new would
// abort the process over a missing schema).
GSettings* openSettings(const char* schemaId) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (!source) return nullptr;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, schemaId, TRUE);
  if (!schema) return nullptr;
  GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
  g_settings_schema_unref(schema);
  return settings;
}

std::string trim(const std::string& text) {
  const char* const blanks = " \t\r";
  std::string::size_type first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The entries of one group of a KDE configuration file. Keys lose their
// "[$e]"-style flags; a group header may carry flags after its name too.
std::map<std::string, std::string> readKdeGroup(const std::string& path, const std::string& group) {
  std::map<std::string, std::string> entries;
  std::ifstream file(path);
  std::string line;
  bool inGroup = false;
  while (std::getline(file, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      inGroup = line.compare(1, group.size() + 1, group + "]") == 0;
      continue;
    }
    std::string::size_type equals = line.find('=');
    if (!inGroup || equals == std::string::npos) continue;
    std::string key = trim(line.substr(0, equals));
    key = trim(key.substr(0, key.find('[')));
    entries[key] = trim(line.substr(equals + 1));
  }
  return entries;
}

std::string kdeConfigFolder() {
  const char* config = getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;
  return std::string(g_get_home_dir()) + "/.config";
}

bool isKdeSession() {
  const char* desktops = getenv("XDG_CURRENT_DESKTOP");
  std::istringstream names(desktops ? desktops : "");
  std::string name;
  while (std::getline(names, name, ':'))
    if (name == "KDE") return true;
  return false;
}

// KDE keeps a manual proxy as "scheme://host port" (older versions as a URL
// with ":port").
VLProxySettings kdeManualProxy(const std::string& value) {
  std::string::size_type space = value.rfind(' ');
  if (value.empty()) {
    VLProxySettings settings;
    settings.available = true;
    settings.httpEnabled = true;
    return settings;
  }
  VLProxySettings settings = VLProxySettingsFromUrl(trim(value.substr(0, space)));
  if (space != std::string::npos) parsePort(trim(value.substr(space + 1)), settings);
  return settings;
}

// The first of the comma-separated variables that is set and not empty.
VLProxySettings kdeEnvironmentProxy(const std::string& names) {
  std::istringstream list(names);
  std::string name;
  while (std::getline(list, name, ',')) {
    const char* value = getenv(trim(name).c_str());
    if (value && *value) return VLProxySettingsFromUrl(value);
  }
  VLProxySettings none;
  none.available = true;
  return none;
}

}  // namespace

VLProxySettings VLProxySettingsFromUrl(const std::string& url) {
  VLProxySettings settings;
  if (url.empty()) return settings;
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
      if (close + 1 < rest.size() && rest[close + 1] == ':') port = rest.substr(close + 2);
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

VLProxySettings VLProxySettingsFromGnome() {
  VLProxySettings settings;
  GSettings* proxy = openSettings(kGnomeProxySchema);
  if (!proxy) return settings;
  settings.available = true;
  gchar* mode = g_settings_get_string(proxy, "mode");
  std::string modeText = mode ? mode : "";
  g_free(mode);
  g_object_unref(proxy);

  settings.autoConfigEnabled = modeText == "auto";
  settings.httpEnabled = modeText == "manual";
  if (!settings.httpEnabled) return settings;

  GSettings* http = openSettings(kGnomeHttpProxySchema);
  if (!http) return settings;
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

VLProxySettings VLProxySettingsFromKde() {
  std::map<std::string, std::string> entries = readKdeGroup(kdeConfigFolder() + "/" + kKdeProxyFile, kKdeProxyGroup);
  const std::string& type = entries["ProxyType"];
  const std::string& http = entries["httpProxy"];
  VLProxySettings settings;
  settings.available = true;
  switch (std::atoi(type.c_str())) {
    case KDE_MANUAL: return kdeManualProxy(http);
    case KDE_PAC:
    case KDE_WPAD: settings.autoConfigEnabled = true; return settings;
    case KDE_ENVIRONMENT: return kdeEnvironmentProxy(http);
    case KDE_NO_PROXY:
    default: return settings;
  }
}

std::string GetNoProxyHosts() {
  const char* variable = getenv("no_proxy");
  if (!variable || !*variable) variable = getenv("NO_PROXY");
  return variable ? variable : "";
}

bool GetProxyConfig(std::string& proxy) {
  const char* variable = getenv("http_proxy");
  if (!variable || !*variable) variable = getenv("HTTP_PROXY");
  VLProxySettings settings;
  if (variable && *variable)
    settings = VLProxySettingsFromUrl(variable);
  else if (isKdeSession())
    settings = VLProxySettingsFromKde();
  else
    settings = VLProxySettingsFromGnome();
  return VLDecideProxy(settings, proxy);
}
