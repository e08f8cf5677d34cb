#pragma once

#include <string>

// Strict readers of the texts the page sends as setting values. Unlike atoi
// they refuse what is not wholly a number in range, so that a typo or an
// overflow never reaches the session as some other value. Stateless.
class VLDesktopSettingValue {
 public:
  // A decimal integer (optional sign, surrounding blanks allowed, nothing
  // else) within [minimum, maximum]. False, with `value` untouched, otherwise.
  static bool parseInteger(const std::string& text, long minimum, long maximum, long* value);

  // An output device id "<output type>:<driver key>": a decimal int, a colon
  // and a decimal unsigned 32-bit number, nothing else.
  static bool isOutputDeviceId(const std::string& text);

  // An entity id text as the page's int32: leading blanks, an optional sign
  // and the leading digits, as atoi reads them, but clamped to the int32
  // range instead of overflowing; 0 when the text does not start with one.
  static int entityIdToInt(const std::string& text);
};
