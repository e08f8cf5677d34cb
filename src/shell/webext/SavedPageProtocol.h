// How the application serves a saved player page (the offline start) and how
// our extension in the web process takes part. Both sides include this header.
//
// The application loads the saved page's document as alternate HTML at the
// page's own address, so that it keeps the player's origin (its page objects,
// its local storage). Before that it sends the page the message kServeMessage
// with "(ss)": the player's origin ("scheme://host[:port]" as WebKit writes
// addresses) and the saved page's address; from then on the extension
// rewrites every request of that page to that origin, but for the page's
// address itself (the document), into kScheme with the same host, port, path
// and query, which the application answers from the saved page. The message
// with an empty origin ends it. The extension answers each message (with an empty reply),
// so the application loads only once the page has taken it.
#pragma once

#include <string>

namespace SavedPageProtocol {

constexpr const char* kScheme = "velora-saved";
constexpr const char* kServeMessage = "velora.saved-page.serve";

// The player-origin address an address on kScheme stands for, given the
// player's origin or any address of it: the player's scheme put back.
// Empty when it is not on kScheme (or the player's has no scheme).
inline std::string originalAddress(const std::string& player, const std::string& schemeAddress) {
  std::string prefix = std::string(kScheme) + "://";
  size_t playerSeparator = player.find("://");
  if (schemeAddress.compare(0, prefix.size(), prefix) != 0 || playerSeparator == std::string::npos) return "";
  return player.substr(0, playerSeparator) + "://" + schemeAddress.substr(prefix.size());
}

}  // namespace SavedPageProtocol
