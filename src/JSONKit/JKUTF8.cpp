#include "JKUTF8.h"

bool jkIsLegalCodePoint(std::uint32_t codePoint) {
  if (codePoint == 0 || codePoint > 0x10FFFF) return false;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
  if (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) return false;
  if ((codePoint & 0xFFFE) == 0xFFFE) return false;
  return true;
}

namespace {

// The allowed range of the second byte depends on the lead byte; later bytes are 80..BF.
void secondByteRange(unsigned char lead, unsigned char* low, unsigned char* high) {
  *low = 0x80;
  *high = 0xBF;
  if (lead == 0xE0)
    *low = 0xA0;
  else if (lead == 0xED)
    *high = 0x9F;
  else if (lead == 0xF0)
    *low = 0x90;
  else if (lead == 0xF4)
    *high = 0x8F;
}

}  // namespace

JKConversionResult jkDecodeUTF8Sequence(const unsigned char* start, const unsigned char* end,
                                        const unsigned char** next, std::uint32_t* codePoint) {
  unsigned char lead = *start;
  *codePoint = JKReplacementCharacter;
  *next = start + 1;
  if (lead < 0x80) {
    *codePoint = lead;
    return JKConversionOK;
  }
  int length;
  std::uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return JKConversionSourceIllegal;
  }
  const unsigned char* p = start + 1;
  for (int i = 1; i < length; ++i, ++p) {
    if (p >= end) {
      *next = p;
      return JKConversionSourceExhausted;
    }
    unsigned char low = 0x80, high = 0xBF;
    if (i == 1) secondByteRange(lead, &low, &high);
    if (*p < low || *p > high) {
      *next = p;
      return JKConversionSourceIllegal;
    }
    value = (value << 6) | (*p & 0x3F);
  }
  *next = p;
  *codePoint = value;
  return JKConversionOK;
}

JKConversionResult ConvertSingleCodePointInUTF8(const unsigned char* start, const unsigned char* end,
                                                const unsigned char** next, std::uint32_t* codePoint) {
  JKConversionResult result = jkDecodeUTF8Sequence(start, end, next, codePoint);
  if (result == JKConversionOK && !jkIsLegalCodePoint(*codePoint)) {
    *codePoint = JKReplacementCharacter;
    return JKConversionSourceIllegal;
  }
  return result;
}

void jkAppendUTF8(std::string& out, std::uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}
