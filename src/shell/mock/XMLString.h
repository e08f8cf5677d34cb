#pragma once

#include <string>

// The text with each character that XML gives a meaning to replaced by its
// entity, once: "&" "&amp;", "'" "&#039;", "<" "&lt;", ">" "&gt;",
// "\"" "&quot;". Safe in element content and in attribute values.
std::string toXMLString(const std::string& text);
