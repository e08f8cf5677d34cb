#include "VLLogLineLayout.h"

#include <log4cplus/spi/loggingevent.h>

namespace {

// Whether the text holds a byte that escapeLineBreaks changes: a control
// byte, or the lead byte of U+0085, U+2028 or U+2029 in UTF-8.
bool needsEscaping(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f || byte == 0xc2 || byte == 0xe2) return true;
  }
  return false;
}

}  // namespace

VLLogLineLayout::VLLogLineLayout(const std::string& pattern) : log4cplus::PatternLayout(pattern) {}

std::string VLLogLineLayout::escapeLineBreaks(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte == '\n') {
      result += "\\n";
    } else if (byte == '\r') {
      result += "\\r";
    } else if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
      result += "\\x";
      result += kDigits[byte >> 4];
      result += kDigits[byte & 0x0f];
    } else if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      result += "\\u0085";
      i += 1;
    } else if (byte == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      result += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      result += text[i];
    }
  }
  return result;
}

std::string VLLogLineLayout::cutToBound(const std::string& text) {
  if (text.size() <= kMaxMessageBytes) return text;
  const std::string mark = " [" + std::to_string(text.size()) + " bytes, cut]";
  size_t keep = kMaxMessageBytes - mark.size();
  // Not inside a character: back to its first byte.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xc0) == 0x80) --keep;
  return text.substr(0, keep) + mark;
}

void VLLogLineLayout::formatAndAppend(log4cplus::tostream& output, const log4cplus::spi::InternalLoggingEvent& event) {
  const std::string& message = event.getMessage();
  if (message.size() <= kMaxMessageBytes && !needsEscaping(message)) {
    log4cplus::PatternLayout::formatAndAppend(output, event);
    return;
  }
  log4cplus::spi::InternalLoggingEvent oneLine(event.getLoggerName(), event.getLogLevel(), event.getNDC(),
                                               event.getMDCCopy(), cutToBound(escapeLineBreaks(message)),
                                               event.getThread(), event.getThread2(), event.getTimestamp(),
                                               event.getFile(), event.getLine(), event.getFunction());
  log4cplus::PatternLayout::formatAndAppend(output, oneLine);
}
