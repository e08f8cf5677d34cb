#ifndef VL_STREAM_URL_H
#define VL_STREAM_URL_H

#include <string>

// The player's parameters inside a stream URL. The URL is otherwise opaque: the
// whole of it is the transfer's source.
//
// A key matches wherever its characters stand followed by '=' (no separator is
// required before it, so "xfmt=5" also yields "fmt"), as long as it stands
// before the URL's first '@' and at least one character follows the '='. The
// value is the run of ASCII letters and digits after the '='; a value that
// begins with '@' (not as the URL's last character) is everything after that
// '@', separators included. Absent keys give the empty text.
class VLStreamUrl
{
public:
    static std::string getParameter(const std::string& url, const std::string& key);

    // The leading decimal digits of text as an unsigned 32-bit number: 0 when
    // there are none, 4294967295 when they do not fit.
    static unsigned int parseUnsigned(const std::string& text);
};

#endif
