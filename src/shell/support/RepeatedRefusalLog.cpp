#include "RepeatedRefusalLog.h"

#include "VLLogger.h"

void RepeatedRefusalLog::refused(const std::string& address) {
  if (++count_ != nextLogged_) return;
  nextLogged_ *= 10;
  VL_LOG_WARN(what_ << " (" << count_ << " so far): " << shortened(address));
}

std::string RepeatedRefusalLog::shortened(const std::string& address) {
  if (address.size() <= kLongestAddress) return address;
  return address.substr(0, kLongestAddress) + "... (" + std::to_string(address.size()) + " bytes)";
}
