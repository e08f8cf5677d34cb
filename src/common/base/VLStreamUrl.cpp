#include "VLStreamUrl.h"

#include <cstdint>

namespace {

bool isAsciiAlphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::string VLStreamUrl::getParameter(const std::string& url, const std::string& key) {
  if (key.empty()) return std::string();
  // Parameters begin after the URL's first '?' and after every later '?' or
  // '&' (a file address that has a query of its own gets the player's
  // parameters appended with another '?'). Nothing before the query, a user
  // name with '@' included, is searched.
  size_t name = url.find('?');
  while (name != std::string::npos) {
    ++name;
    const size_t end = url.find_first_of("?&", name);
    const size_t equals = url.find('=', name);
    if (equals != std::string::npos && equals < end) {
      if (equals - name == key.size() && url.compare(name, key.size(), key) == 0) return valueAt(url, equals + 1);
      // A value that begins with '@' runs to the end of the URL: what
      // follows is part of it, not more parameters.
      if (equals + 2 < url.size() && url[equals + 1] == '@') return std::string();
    }
    name = end;
  }
  return std::string();
}

std::string VLStreamUrl::valueAt(const std::string& url, size_t start) {
  if (start < url.size() && url[start] == '@' && start + 1 < url.size()) return url.substr(start + 1);
  size_t stop = start;
  while (stop < url.size() && isAsciiAlphanumeric(url[stop])) ++stop;
  return url.substr(start, stop - start);
}

unsigned int VLStreamUrl::parseUnsigned(const std::string& text) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<unsigned int>(value);
}
