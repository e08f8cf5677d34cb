#include "VLDesktopKeyValue.h"

VLDesktopKeyValue::VLDesktopKeyValue(const std::string& key, const std::string& value) : key_(key), value_(value) {}

VLDesktopKeyValue::~VLDesktopKeyValue() {}
