// Lenient UTF-8 decoding shared by repr and JSON output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace img_util::utf8 {

// Decodes one code point at `s[i]` and advances `i`. Returns the code point, or -1 for a
// byte that does not start a well-formed sequence (then `i` moves past that one byte).
// Encoded surrogates (ED A0..BF xx) are accepted, so lone surrogates read from JSON survive.
inline int32_t next(std::string_view s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int len = 0;
  int32_t cp = 0;
  int32_t min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    ++i;
    return -1;
  }
  if (i + len > s.size()) {
    ++i;
    return -1;
  }
  for (int k = 1; k < len; ++k) {
    const uint8_t cc = b(i + k);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    ++i;
    return -1;
  }
  i += len;
  return cp;
}

inline void append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Whether the bytes are well-formed UTF-8 (surrogates refused).
inline bool valid(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const int32_t cp = next(s, i);
    if (cp < 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace img_util::utf8
