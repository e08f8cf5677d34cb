// The texts the application shows, by key: the application's localised
// strings, gettext catalogues of the domain kTextDomain, one per language,
// built with the program into the folder "locale" beside it (or, for a
// program without one, the folder named at build time). The language is the
// user's, as gettext reads it (LANGUAGE, then LC_ALL, LC_MESSAGES, LANG);
// a text that the user's language lacks comes from the English base
// catalogue, so a key never shows while English has its text.
//
// Threads: any.
#pragma once

#include <string>

class ShellStrings {
 public:
  static constexpr const char* kTextDomain = "velora-desktop";

  // The text of the key in the user's language, else in English; the key
  // itself only when the English catalogue lacks it too (or is missing,
  // which the first lookup writes to the log).
  static std::string text(const std::string& key);
  // The text of the key with its "%s" replaced by the argument, which is
  // taken as it stands (never as a format).
  static std::string formatted(const std::string& key, const std::string& argument);

  // The folder of the catalogues ("<folder>/<language>/LC_MESSAGES/...").
  static std::string catalogueFolder();
  // Looks texts up in another folder from now on (tests).
  static void setCatalogueFolder(const std::string& folder);
};
