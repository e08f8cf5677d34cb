#include "PageText.h"

#include <glib.h>

#include <cstdint>

namespace {

void appendCodePoint(std::string& out, uint32_t point) {
  // Generalised UTF-8: a lone surrogate gets the three bytes its code point would.
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

bool readHex4(const std::string& text, size_t at, uint32_t& unit) {
  if (at + 4 > text.size()) return false;
  unit = 0;
  for (size_t i = at; i < at + 4; ++i) {
    int digit = g_ascii_xdigit_value(text[i]);
    if (digit < 0) return false;
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

void appendEscapedUnit(std::string& out, uint32_t unit) {
  char escape[8];
  g_snprintf(escape, sizeof escape, "\\u%04x", unit);
  out += escape;
}

// 3 when a surrogate's three-byte form starts at `at`, else 0.
size_t surrogateAt(const std::string& bytes, size_t at) {
  if (at + 2 >= bytes.size()) return 0;
  auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  return byte(at) == 0xED && byte(at + 1) >= 0xA0 && byte(at + 1) <= 0xBF && (byte(at + 2) & 0xC0) == 0x80 ? 3 : 0;
}

}  // namespace

bool PageText::travelsPlain(const std::string& bytes) {
  return g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

std::string PageText::fromLiteral(const std::string& literal) {
  size_t begin = !literal.empty() && literal.front() == '"' ? 1 : 0;
  size_t end = literal.size() > begin && literal.back() == '"' ? literal.size() - 1 : literal.size();
  std::string out;
  out.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    char c = literal[i];
    if (c != '\\' || i + 1 >= end) {
      out += c;
      continue;
    }
    char e = literal[++i];
    uint32_t unit = 0;
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (!readHex4(literal, i + 1, unit)) {
          out += "\\u";
          break;
        }
        i += 4;
        // A surrogate pair is one code point; a lone surrogate stays itself.
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 6 < end && literal.compare(i + 1, 2, "\\u") == 0) {
          uint32_t low = 0;
          if (readHex4(literal, i + 3, low) && low >= 0xDC00 && low <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          }
        }
        appendCodePoint(out, unit);
        break;
      default: out += e; break;  // \" \\ \/
    }
  }
  return out;
}

std::string PageText::toLiteral(const std::string& bytes) {
  std::string out = "\"";
  out.reserve(bytes.size() + 2);
  const char* data = bytes.data();
  size_t size = bytes.size();
  for (size_t i = 0; i < size;) {
    auto byte = static_cast<unsigned char>(data[i]);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += static_cast<char>(byte);
      ++i;
    } else if (byte < 0x20) {
      appendEscapedUnit(out, byte);
      ++i;
    } else if (surrogateAt(bytes, i) != 0) {
      uint32_t unit = ((byte & 0x0F) << 12) | ((static_cast<unsigned char>(data[i + 1]) & 0x3F) << 6) |
                      (static_cast<unsigned char>(data[i + 2]) & 0x3F);
      appendEscapedUnit(out, unit);
      i += 3;
    } else {
      const char* next = g_utf8_find_next_char(data + i, data + size);
      size_t length = (next != nullptr ? static_cast<size_t>(next - data) : size) - i;
      if (g_utf8_validate(data + i, static_cast<gssize>(length), nullptr)) {
        out.append(data + i, length);
      } else {
        out += "\xEF\xBF\xBD";
        length = 1;
      }
      i += length;
    }
  }
  out += '"';
  return out;
}
