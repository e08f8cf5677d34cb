#pragma once

#include <string>

// The player's parameters inside a stream URL. The URL is otherwise opaque: the
// whole of it is the transfer's source.
//
// Parameters stand in the query: after the URL's first '?', each one begins
// there or after a later '?' or '&', and a key matches a parameter whose whole
// name (up to its '=') is the key, case-sensitive; the first match wins. The
// value is the run of ASCII letters and digits after the '='; a value that
// begins with '@' (not as the URL's last character) is everything after that
// '@', separators included, and no parameter is looked for inside it. Absent
// keys give the empty text.
class VLStreamUrl {
 public:
  static std::string getParameter(const std::string& url, const std::string& key);

  // The leading decimal digits of text as an unsigned 32-bit number: 0 when
  // there are none, 4294967295 when they do not fit.
  static unsigned int parseUnsigned(const std::string& text);

 private:
  // The value that starts at `start`, by the rules above.
  static std::string valueAt(const std::string& url, size_t start);
};
