// The texts the application shows, by key (the application's localised
// strings; English is the one language so far).
//
// Threads: any.
#pragma once

#include <string>

class ShellStrings {
 public:
  // The text of the key; the key itself when there is none.
  static std::string text(const std::string& key);
};
