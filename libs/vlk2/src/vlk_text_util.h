// vlk_text_util.h (internal: not installed): the measuring rule and ASCII case
// helpers shared by the text sources.
#ifndef VLK_TEXT_UTIL_H
#define VLK_TEXT_UTIL_H

#include <cstddef>
#include <cstring>

namespace vlk_text {

constexpr std::size_t kLenBound = 0x7fffffff;

// Position of the first NUL within bound bytes; 0 for a null text, bound when there is no NUL.
inline std::size_t MeasureLen(const char* s, std::size_t bound = kLenBound) {
  return s == nullptr ? 0 : strnlen(s, bound);
}

inline bool IsNoText(const char* s) { return s == nullptr || s[0] == '\0'; }

// Upper-cases the ASCII letters a-z only, whatever the locale.
inline unsigned char AsciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

}  // namespace vlk_text

#endif  // VLK_TEXT_UTIL_H
