#include "HTML5Manifest.h"

#include <sstream>

namespace {

std::string listText(const std::vector<std::string>& entries) {
  std::string text = "(";
  for (size_t i = 0; i < entries.size(); ++i) text += (i ? ", \"" : "\"") + entries[i] + "\"";
  return text + ")";
}

std::string mapText(const std::map<std::string, std::string>& entries) {
  std::string text = "{";
  for (const auto& entry : entries)
    text += (text.size() > 1 ? ", \"" : "\"") + entry.first + "\" = \"" + entry.second + "\"";
  return text + "}";
}

}  // namespace

std::string HTML5Manifest::description() const {
  std::ostringstream text;
  text << "MANIFEST\n -> onlineWhitelistedURLs: " << listText(onlineWhitelistedURLs)
       << "\n -> explicitURLs: " << listText(explicitURLs) << "\n -> fallbackURLs: " << mapText(fallbackURLs)
       << "\n -> allowAllNetworkRequests: " << (allowAllNetworkRequests ? 1 : 0);
  return text.str();
}
