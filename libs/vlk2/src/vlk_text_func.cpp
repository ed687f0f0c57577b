// The character-string functions: length tests, comparisons, searches, trimming,
// bounded copies and the QString bridges. Null and empty texts are "no text".
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "vlk_text.h"
#include "vlk_text_util.h"

using vlk_text::AsciiUpper;
using vlk_text::IsNoText;
using vlk_text::MeasureLen;

// --- Length and character tests --------------------------------------------

int VlkStrLenZero(const char* s) { return IsNoText(s) ? 1 : 0; }

int VlkQStrLenZero(const QString& s) { return s.isEmpty() ? 1 : 0; }

int VlkStrNLen(const char* s, int n) {
  if (IsNoText(s) || n <= 0) return 0;
  return static_cast<int>(strnlen(s, static_cast<std::size_t>(n)));
}

Ebool VlkIsDigit09(char c) { return (c >= '0' && c <= '9') ? VLK_TRUE : VLK_FALSE; }

// --- Comparisons ------------------------------------------------------------

int VlkStrCmp(const char* a, const char* b) {
  if (IsNoText(a) || IsNoText(b)) return -1;
  return strncasecmp(a, b, std::strlen(b));
}

int VlkStrCmp(const char* a, const char* b, int n) {
  if (IsNoText(a) || IsNoText(b)) return -1;
  return strncasecmp(a, b, n < 0 ? 0 : static_cast<std::size_t>(n));
}

int VlkStrCaseCmp(const char* a, const char* b) {
  if (IsNoText(a) || IsNoText(b)) return -1;
  return std::strncmp(a, b, std::strlen(b));
}

Ebool VlkStrHasPrefix(const char* a, const char* b, unsigned n) {
  if (n == 0) return VLK_TRUE;
  if (a == nullptr || b == nullptr) return VLK_FALSE;
  return std::strncmp(a, b, n) == 0 ? VLK_TRUE : VLK_FALSE;
}

Ebool VlkIsSameStr(const char* a, const char* b) {
  if (IsNoText(a) || IsNoText(b)) return VLK_FALSE;
  return std::strcmp(a, b) == 0 ? VLK_TRUE : VLK_FALSE;
}

Ebool VlkIsSameStr(const char* a, Cvlk_buf_str v) {
  if (IsNoText(a) || v.getStrLen() == 0 || v.c_str() == nullptr) return VLK_FALSE;
  const std::size_t n = MeasureLen(a);
  if (n != v.getStrLen()) return VLK_FALSE;
  return std::memcmp(a, v.c_str(), n) == 0 ? VLK_TRUE : VLK_FALSE;
}

// --- Searches ---------------------------------------------------------------

char* VlkStrChr(const char* s, char c) {
  if (IsNoText(s)) return nullptr;
  return const_cast<char*>(std::strchr(s, c));
}

char* VlkStrRChr(const char* s, char c) {
  if (IsNoText(s)) return nullptr;
  return const_cast<char*>(std::strrchr(s, c));
}

char* VlkStrCaseStr(const char* a, const char* b) {
  if (IsNoText(a) || IsNoText(b)) return nullptr;
  if (MeasureLen(b) > MeasureLen(a)) return nullptr;
  return const_cast<char*>(std::strstr(a, b));
}

Ebool VlkHasStr(const char* a, const char* b) { return VlkStrCaseStr(a, b) != nullptr ? VLK_TRUE : VLK_FALSE; }

// ASCII-case-insensitive search over the whole texts (no 1498-character limit).
char* VlkStrStr(const char* a, const char* b) {
  if (IsNoText(a) || IsNoText(b)) return nullptr;
  const std::size_t n = MeasureLen(b);
  const unsigned char first = AsciiUpper(static_cast<unsigned char>(b[0]));
  for (const char* p = a; *p != '\0'; ++p) {
    if (AsciiUpper(static_cast<unsigned char>(*p)) != first) continue;
    std::size_t i = 1;
    while (i < n && p[i] != '\0' &&
           AsciiUpper(static_cast<unsigned char>(p[i])) == AsciiUpper(static_cast<unsigned char>(b[i]))) {
      ++i;
    }
    if (i == n) return const_cast<char*>(p);
    if (p[i] == '\0') return nullptr;  // a is exhausted: no later start can match
  }
  return nullptr;
}

// Quote-aware walks test the character before flipping the outside-quotes flag,
// so a double quote searched for outside quotes is found where a quoted stretch opens.
int VlkStrFindChar(const char* s, char c, int mode) {
  if (IsNoText(s)) return -1;
  bool outside = true;
  for (int i = 0; s[i] != '\0'; ++i) {
    if ((mode != 1 || outside) && s[i] == c) return i;
    if (s[i] == '"') outside = !outside;
  }
  return -1;
}

int VlkStrFindLastChar(const char* s, char c, int mode) {
  if (IsNoText(s)) return -1;
  if (mode == 0) {
    // strrchr also finds the terminator: a NUL is no character of the text.
    if (c == '\0') return -1;
    const char* hit = std::strrchr(s, c);
    return hit == nullptr ? -1 : static_cast<int>(hit - s);
  }
  int last = -1;
  bool outside = true;
  for (int i = 0; s[i] != '\0'; ++i) {
    if (outside && s[i] == c) last = i;
    if (s[i] == '"') outside = !outside;
  }
  return last;
}

int VlkStrFindSpace(const char* s) {
  if (IsNoText(s)) return -1;
  for (int i = 0; s[i] != '\0'; ++i) {
    if (s[i] == ' ' || s[i] == '\t') return i;
  }
  return -1;
}

int VlkStrFindNoSpace(const char* s) {
  if (IsNoText(s)) return 0;
  for (int i = 0; s[i] != '\0'; ++i) {
    if (s[i] != ' ' && s[i] != '\t') return i;
  }
  return 0;
}

int VlkStrFindOtherChar(const char* s, char c) {
  if (IsNoText(s)) return -1;
  for (int i = 0; s[i] != '\0'; ++i) {
    if (s[i] != c) return i;
  }
  return -1;
}

// --- Skipping and trimming ---------------------------------------------------

char* VlkSkipBlanks(char* s) {
  if (s == nullptr) return nullptr;
  while (*s == ' ') ++s;
  return s;
}

char* VlkSkipNonBlanks(char* s) {
  if (s == nullptr) return nullptr;
  while (*s != '\0' && *s != ' ') ++s;
  return s;
}

// Every trailing byte below 33 as a signed char goes: blanks, control characters
// and the bytes 0x80-0xFF alike.
char* VlkTrimBlanks(char* s) {
  if (s == nullptr) return nullptr;
  std::size_t n = MeasureLen(s);
  while (n > 0 && static_cast<signed char>(s[n - 1]) < 33) s[--n] = '\0';
  return s;
}

char* VlkStrip(char* s) { return VlkTrimBlanks(VlkSkipBlanks(s)); }

int VlkStrTrim(char* s, char c) {
  if (IsNoText(s)) return 0;
  std::size_t n = MeasureLen(s);
  while (n > 0 && s[n - 1] == c) s[--n] = '\0';
  return static_cast<int>(n);
}

int VlkStrTrimSpace(char* s) {
  if (IsNoText(s)) return 0;
  std::size_t n = MeasureLen(s);
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) s[--n] = '\0';
  return static_cast<int>(n);
}

// --- Copies and QString bridges ---------------------------------------------

int VlkCopyStr(char* dst, const char* src, int n) {
  if (dst == nullptr || IsNoText(src) || n <= 0) return 0;
  const std::size_t k = strnlen(src, static_cast<std::size_t>(n));
  std::memmove(dst, src, k);
  dst[k] = '\0';
  return static_cast<int>(k);
}

void VlkCopyStr(char* dst, Cvlk_buf_str v, int n) {
  if (dst == nullptr || v.getStrLen() == 0 || v.c_str() == nullptr || n < 0) return;
  if (v.getStrLen() > static_cast<unsigned>(n)) return;
  std::memmove(dst, v.c_str(), v.getStrLen());
  dst[v.getStrLen()] = '\0';
}

char* VlkStrDup(const char* s) { return s == nullptr ? nullptr : strdup(s); }

EerrNo VlkCopyQStr(char* dst, const QString& s, int n) {
  if (dst == nullptr) return ERR_INVALID_PARAM;
  Cvlk_tmp_str text;
  VlkQStringToTmpStr(s, &text);
  VlkCopyStr(dst, text.c_str(), n);
  return ERR_OK;
}

void AddUniqueString(QStringList* list, const char* s) {
  if (list == nullptr || IsNoText(s)) return;
  const QString value(s);
  if (!list->contains(value)) list->append(value);
}
