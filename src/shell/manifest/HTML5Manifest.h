#pragma once

#include <map>
#include <string>
#include <vector>

// An HTML5 application-cache manifest as parsed by HTML5ManifestParser. The
// entries are kept as written in the manifest (relative text); nothing is
// resolved against an address here. A plain value: copy it freely.
class HTML5Manifest {
 public:
  // Entries of "NETWORK:" sections, in order.
  std::vector<std::string> onlineWhitelistedURLs;
  // Entries of "CACHE:" sections and of the part before the first header, in order.
  std::vector<std::string> explicitURLs;
  // "FALLBACK:" entries: namespace to fallback address (a later line wins).
  std::map<std::string, std::string> fallbackURLs;
  // A "NETWORK:" section holds the line "*".
  bool allowAllNetworkRequests = false;

  // "MANIFEST\n -> onlineWhitelistedURLs: ...\n -> explicitURLs: ...\n
  //  -> fallbackURLs: ...\n -> allowAllNetworkRequests: 0|1", for the log.
  std::string description() const;
};
