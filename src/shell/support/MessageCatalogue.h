// One compiled gettext catalogue (a ".mo" file), read whole: the text of each
// message by its key. gettext itself only reads the catalogue of the user's
// language; this reads a given one, so that the English base catalogue
// answers whatever the language.
//
// Threads: load once, then find from any thread.
#pragma once

#include <string>
#include <unordered_map>

class MessageCatalogue {
 public:
  // Reads the file; false, and no message, when it cannot be read or is not
  // a catalogue of this machine's byte order (msgfmt writes that order).
  bool load(const std::string& path);
  // The text of the key; null when the catalogue has none. Valid until the
  // next load.
  const std::string* find(const std::string& key) const;

 private:
  std::unordered_map<std::string, std::string> messages_;
};
