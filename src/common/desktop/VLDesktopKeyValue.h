#pragma once

#include <string>

// A key and a value as the page sees them (page keys "key" and "value"); the
// entries of the device information "output_devices": the output device id as
// key and its label as value. Immutable; any thread may read it.
class VLDesktopKeyValue {
 public:
  VLDesktopKeyValue(const std::string& key, const std::string& value);
  virtual ~VLDesktopKeyValue();

  std::string getKey() const { return key_; }
  std::string getValue() const { return value_; }

 private:
  std::string key_;
  std::string value_;
};
