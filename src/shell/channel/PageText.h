// Page texts that the channel's plain strings cannot carry. D-Bus strings are
// UTF-8 without U+0000, while a page's strings may hold U+0000 and lone
// surrogates; cut or mended, two keys such as "a\0b" and "a" would become one.
// Such a text travels as its JSON string literal (as JSON.stringify writes
// it, which escapes both), and the application keeps it as bytes: U+0000 as
// a zero byte, a lone surrogate in its three-byte form (generalised UTF-8),
// so that it is stored as it came and goes back to the page the same.
//
// Threads: any; no state.
#pragma once

#include <string>

class PageText {
 public:
  PageText() = delete;

  // Whether the bytes travel as a plain string: valid UTF-8 without U+0000.
  static bool travelsPlain(const std::string& bytes);
  // The bytes a JSON string literal stands for (lenient: what does not
  // parse is taken as it stands).
  static std::string fromLiteral(const std::string& literal);
  // The JSON string literal of the bytes, as JSON.parse in the page reads
  // back; bytes that are no UTF-8 at all become U+FFFD.
  static std::string toLiteral(const std::string& bytes);
};
