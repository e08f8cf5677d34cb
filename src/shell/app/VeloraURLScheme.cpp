#include "VeloraURLScheme.h"

#include <glib.h>

bool VeloraURLScheme::locationHash(const std::string& address, const std::vector<std::string>& playerHosts,
                                   std::string& hash) {
  size_t separator = address.find("://");
  if (separator == std::string::npos) return false;
  gchar* lowered = g_ascii_strdown(address.substr(0, separator).c_str(), -1);
  std::string scheme(lowered);
  g_free(lowered);
  if (scheme == kScheme) {
    // The text up to a possible second "://".
    std::string rest = address.substr(separator + 3);
    hash = "!/" + rest.substr(0, rest.find("://"));
    return true;
  }
  // A secure player address is as much the player's as a plain one.
  if (scheme != "http" && scheme != "https") return false;
  for (const std::string& host : playerHosts) {
    if (host.empty()) continue;
    size_t found = address.find(host + "/#");
    if (found == std::string::npos) continue;
    hash = address.substr(found + host.size() + 2);
    return true;
  }
  return false;
}
