#include "VLDesktopSettingValue.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool isBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// strtol over the whole text: true when it holds exactly one number (with
// blanks around it) that fits a long.
bool readLong(const std::string& text, long* value) {
  if (text.find('\0') != std::string::npos) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long read = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  while (*end && isBlank(*end)) ++end;
  if (*end) return false;
  *value = read;
  return true;
}

bool readUnsigned32(const std::string& text, unsigned long* value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long read = std::strtoul(text.c_str(), &end, 10);
  if (*end || errno == ERANGE || read > 0xFFFFFFFFul) return false;
  *value = read;
  return true;
}

}  // namespace

bool VLDesktopSettingValue::parseInteger(const std::string& text, long minimum, long maximum, long* value) {
  long read = 0;
  if (!readLong(text, &read) || read < minimum || read > maximum) return false;
  *value = read;
  return true;
}

bool VLDesktopSettingValue::isOutputDeviceId(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string type = text.substr(0, colon);
  if (type.empty() || isBlank(type[0]) || isBlank(type[type.size() - 1])) return false;
  long typeValue = 0;
  unsigned long key = 0;
  return parseInteger(type, INT_MIN, INT_MAX, &typeValue) && readUnsigned32(text.substr(colon + 1), &key);
}

int VLDesktopSettingValue::entityIdToInt(const std::string& text) {
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return int(value);
}
