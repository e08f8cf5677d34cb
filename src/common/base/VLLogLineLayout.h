#ifndef VL_LOG_LINE_LAYOUT_H
#define VL_LOG_LINE_LAYOUT_H

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
// Called by log4cplus under its appender lock; keeps no state of its own.
class VLLogLineLayout : public log4cplus::PatternLayout
{
public:
    explicit VLLogLineLayout(const std::string& pattern);

    void formatAndAppend(log4cplus::tostream& output, const log4cplus::spi::InternalLoggingEvent& event) override;

    // The text with its line breaks and control bytes escaped as above.
    static std::string escapeLineBreaks(const std::string& text);
};

#endif
