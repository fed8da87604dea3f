// Whether bytes are well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing past U+10FFFF. Text in a code page
// such as 1251 or 866 fails at its first letter outside ASCII.
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

// The offset of the first byte that breaks UTF-8, or npos when there is none.
inline std::size_t FirstNonUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t length = 0;
    char32_t cp = 0, min = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return i;
    }
    if (i + length > s.size()) return i;
    for (std::size_t k = 1; k < length; ++k) {
      const auto n = static_cast<unsigned char>(s[i + k]);
      if ((n & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (n & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += length;
  }
  return std::string::npos;
}

inline bool IsUtf8(const std::string& s) {
  return FirstNonUtf8(s) == std::string::npos;
}

}  // namespace testsupport
