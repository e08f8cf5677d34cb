// Addresses that move the player page to a location from outside the page:
// "veloraapp://album/123" (the URL scheme, sent by the desktop or typed into
// the address dialog) and player-page web addresses of the form
// "http://HOST/#!/album/123" or "https://HOST/#!/album/123".
//
// Threads: any (no state).
#pragma once

#include <string>
#include <vector>

class VeloraURLScheme {
 public:
  static constexpr const char* kScheme = "veloraapp";

  // The location hash the address stands for ("!/album/123" for both forms
  // above). playerHosts: the hosts whose web addresses are recognised (the
  // production player's, and the running player's). False for anything
  // else: no "://", another scheme, a web address of another host.
  static bool locationHash(const std::string& address, const std::vector<std::string>& playerHosts, std::string& hash);
};
