#pragma once
#include <cstdint>

// Parse option bits. Any value of 16 or more is refused by the decoder.
using JKParseOptionFlags = std::uint64_t;
constexpr JKParseOptionFlags JKParseOptionNone = 0;
constexpr JKParseOptionFlags JKParseOptionStrict = 0;
// "//" line comments and "/* */" block comments count as white space.
constexpr JKParseOptionFlags JKParseOptionAllowComments = 1;
// U+0085, U+2028 and U+2029 count as line breaks (and so white space) outside strings.
constexpr JKParseOptionFlags JKParseOptionUnicodeLineBreaks = 2;
// Malformed UTF-8, lone or unpaired surrogates and illegal code points in
// strings become U+FFFD instead of an error.
constexpr JKParseOptionFlags JKParseOptionLenientUnicode = 4;
// Text after the complete top-level value is ignored instead of refused.
constexpr JKParseOptionFlags JKParseOptionTrailingText = 8;
constexpr JKParseOptionFlags JKParseOptionValidFlags = 15;
