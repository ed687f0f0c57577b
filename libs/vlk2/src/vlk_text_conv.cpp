// Number conversions to and from text, the key-value lookup and percent-decoding.
#include <cstdio>
#include <cstring>

#include "vlk_text.h"
#include "vlk_text_util.h"

using vlk_text::IsNoText;
using vlk_text::MeasureLen;

namespace {

constexpr std::size_t kValueMax = 127;  // characters of a looked-up value
constexpr std::size_t kKeyBound = 128;

}  // namespace

void VlkIntToStr(int v, char* dst, unsigned size) {
  if (dst == nullptr || size <= 2) return;
  // snprintf cuts a text that does not fit and always terminates it inside size.
  std::snprintf(dst, size, "%d", v);
}

void VlkIntToStr(int v, Cvlk_tmp_str& t) { t.set("%d", v); }

void VlkIntToStr(int v, Cvlk_str* t) {
  if (t == nullptr) return;
  Cvlk_tmp_str tmp;
  tmp.set("%d", v);
  t->init(tmp.c_str());
}

QString VlkIntToStr(int v) {
  char work[256] = {};
  std::snprintf(work, 255, "%d", v);
  return QString::fromLatin1(work);
}

// Eight digits and a NUL need nine bytes: a smaller buffer is refused untouched.
void VlkHexToStr(int v, char* dst, unsigned n) {
  if (dst == nullptr || n < 9) return;
  std::snprintf(dst, n, "%08X", static_cast<unsigned>(v));
}

int VlkStrToHex(const char* s) {
  if (s == nullptr) return 0;
  const char* from = std::strchr(s, 'x');
  if (from == nullptr) from = std::strchr(s, 'X');
  from = from == nullptr ? s : from + 1;
  unsigned value = 0;
  if (std::sscanf(from, "%8x", &value) != 1) return 0;
  return static_cast<int>(value);
}

namespace {

// Base 0 knows 0x (hexadecimal), a leading 0 (octal) and decimal only; Qt 6 also
// reads 0b as binary, which must give 0 like any other text that is no number.
bool HasBinaryPrefix(const QString& s) {
  int i = 0;
  while (i < s.size() && s[i].isSpace()) ++i;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
  return i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'b' || s[i + 1] == u'B');
}

}  // namespace

int VlkStrToInt(const char* s) { return s == nullptr ? 0 : VlkStrToInt(QString::fromLocal8Bit(s)); }

int VlkStrToInt(const QString& s) {
  bool ok = false;
  const int value = s.toInt(&ok, 0);
  return ok && !HasBinaryPrefix(s) ? value : 0;
}

unsigned VlkStrToU32(const char* s) { return s == nullptr ? 0 : VlkStrToU32(QString::fromLocal8Bit(s)); }

unsigned VlkStrToU32(const QString& s) {
  bool ok = false;
  const unsigned value = s.toUInt(&ok, 0);
  return ok && !HasBinaryPrefix(s) ? value : 0;
}

EerrNo VlkGetValue(const char* text, const char* key, char* out) {
  if (IsNoText(text) || IsNoText(key) || out == nullptr) return ERR_INVALID_PARAM;
  const char* hit = std::strstr(text, key);
  if (hit == nullptr) return ERR_OBJ_NOT_FOUND;
  const char* value = hit + MeasureLen(key, kKeyBound);
  const std::size_t n = strnlen(value, kValueMax);
  std::memcpy(out, value, n);
  out[n] = '\0';
  if (char* end = std::strchr(out, ';')) *end = '\0';
  return ERR_OK;
}

EerrNo VlkGetValue(const Cvlk_tmp_str& text, const char* key, Cvlk_tmp_str& out) {
  char work[Cvlk_tmp_str::kSize] = {};
  if (VlkGetValue(text.c_str(), key, work) != ERR_OK) return ERR_OBJ_NOT_FOUND;
  out.init(work);
  return ERR_OK;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What sscanf(p, "%2x", &value) does, without sscanf: it measures the whole rest
// of the text on every call, which made decoding quadratic in the text's length.
// White space is skipped first; then at most two characters are read, counting
// a sign and a "0x" prefix; a lone sign, or nothing, is no number. A '-' gives
// the unsigned negation, as strtoul does.
bool ReadHex2(const char* p, unsigned& value) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  int width = 2;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    ++p;
    --width;
  }
  int digits = 0;
  unsigned v = 0;
  if (width != 0 && *p == '0') {
    ++digits;
    ++p;
    --width;
    if (width != 0 && (*p == 'x' || *p == 'X')) {
      ++p;
      --width;
    }
  }
  for (; width != 0 && HexDigit(*p) >= 0; ++p, --width, ++digits) v = v * 16 + static_cast<unsigned>(HexDigit(*p));
  if (digits == 0) return false;
  value = negative ? 0u - v : v;
  return true;
}

}  // namespace

// An escape always consumes three characters, however many digits were read.
EerrNo VlkUriDecode(char* s) {
  if (IsNoText(s)) return ERR_INVALID_PARAM;
  std::size_t r = 0;
  std::size_t w = 0;
  while (s[r] != '\0') {
    unsigned value = 0;
    if (s[r] == '%' && s[r + 1] != '\0' && s[r + 2] != '\0') {
      // Only characters at or after r are read; everything before w is already written.
      if (ReadHex2(s + r + 1, value)) {
        s[w++] = static_cast<char>(value & 0xFF);
        r += 3;
        continue;
      }
    }
    s[w++] = s[r++];
  }
  s[w] = '\0';
  return ERR_OK;
}
