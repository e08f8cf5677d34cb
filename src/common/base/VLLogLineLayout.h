#pragma once

#include <string>

#include <log4cplus/layout.h>

// The core log's layout: log4cplus's pattern layout, with every event kept on
// one line. Messages carry texts from outside (the page's console, setting
// values, store names) that must not start lines of their own that read like
// the application's: a line feed is written as "\n", a carriage return as
// "\r", the Unicode line and paragraph separators and next-line as "\u2028",
// "\u2029" and "\u0085", and any other control byte but the tab as "\x" and
// two hexadecimal digits.
//
// A message is also cut to kMaxMessageBytes (at a character's start, with
// the count of bytes left out), so that no event is longer than that bound
// and its line's pattern: the rolling appender rolls after the event that
// takes a file past its cap, and a page's megabyte-long console line must
// neither take a whole generation of the log nor push what came before out.
//
// Called by log4cplus under its appender lock; keeps no state of its own.
class VLLogLineLayout : public log4cplus::PatternLayout {
 public:
  static constexpr size_t kMaxMessageBytes = 16384;

  explicit VLLogLineLayout(const std::string& pattern);

  void formatAndAppend(log4cplus::tostream& output, const log4cplus::spi::InternalLoggingEvent& event) override;

  // The text with its line breaks and control bytes escaped as above.
  static std::string escapeLineBreaks(const std::string& text);
  // The text cut to kMaxMessageBytes as above; as it is when shorter.
  static std::string cutToBound(const std::string& text);
};
