#pragma once
#include <cstdint>
#include <string>

// UTF-8 helpers shared by the tokenizer and the serializer.

enum JKConversionResult {
  JKConversionOK = 0,               // one well-formed sequence of a legal code point
  JKConversionSourceExhausted = 1,  // the input ends inside the sequence
  JKConversionSourceIllegal = 3,    // malformed, or an illegal code point
};

constexpr std::uint32_t JKReplacementCharacter = 0xFFFD;

// Whether a code point may appear in a decoded string: not U+0000, not a
// surrogate, not U+FDD0..U+FDEF and not one whose low 16 bits are FFFE or FFFF.
bool jkIsLegalCodePoint(std::uint32_t codePoint);

// Decodes the one UTF-8 sequence at [start, end) following the Unicode
// well-formedness table, without judging the code point. On success *next is
// just past it. A malformed sequence yields JKConversionSourceIllegal with
// *next past the lead byte and the continuation bytes that fit it (so each
// maximal ill-formed part is skipped once); a sequence cut by `end` yields
// JKConversionSourceExhausted. REQUIRES: start < end.
JKConversionResult jkDecodeUTF8Sequence(const unsigned char* start, const unsigned char* end,
                                        const unsigned char** next, std::uint32_t* codePoint);

// jkDecodeUTF8Sequence, then the legality check: an illegal code point yields
// JKConversionSourceIllegal with U+FFFD in *codePoint (and *next past the sequence).
JKConversionResult ConvertSingleCodePointInUTF8(const unsigned char* start, const unsigned char* end,
                                                const unsigned char** next, std::uint32_t* codePoint);

// Appends the standard UTF-8 form (1 to 4 bytes) of a code point below 0x110000.
void jkAppendUTF8(std::string& out, std::uint32_t codePoint);
