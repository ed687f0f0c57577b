// Cvlk_buf_str: the non-owning view. Every operation stays inside [start, start +
// length): views over received bytes are not NUL-terminated, so even the substring
// searches never look past the view. They find what a search of the underlying
// text would accept (a first occurrence ending inside the view, none behind a NUL).
#include <cstring>

#include "vlk_text.h"
#include "vlk_text_util.h"

using vlk_text::IsNoText;
using vlk_text::MeasureLen;

namespace {

// Offset of the first occurrence of s (n characters) that ends inside the view and
// before any NUL in it, or -1. REQUIRES: the view is non-empty, s a non-empty text.
long FindInView(const char* start, unsigned len, const char* s, std::size_t n) {
  const std::size_t text = strnlen(start, len);
  const void* hit = memmem(start, text, s, n);
  return hit == nullptr ? -1 : static_cast<long>(static_cast<const char*>(hit) - start);
}

}  // namespace

char Cvlk_buf_str::getFirstChar() const { return (m_len == 0 || m_start == nullptr) ? '\0' : m_start[0]; }

char Cvlk_buf_str::getLastChar() const { return (m_len == 0 || m_start == nullptr) ? '\0' : m_start[m_len - 1]; }

void Cvlk_buf_str::skip(unsigned k) {
  if (k < m_len) {
    m_start += k;
    m_len -= k;
  } else {
    m_len = 0;
  }
}

void Cvlk_buf_str::skipBlanks() {
  while (m_len > 0 && m_start[0] == ' ') {
    ++m_start;
    --m_len;
  }
}

void Cvlk_buf_str::skipNonBlanks() {
  while (m_len > 0 && m_start[0] != ' ') {
    ++m_start;
    --m_len;
  }
}

EerrNo Cvlk_buf_str::skipAtChar(char c) {
  if (m_len == 0 || m_start == nullptr) return ERR_OBJ_NOT_FOUND;
  const void* hit = std::memchr(m_start, c, m_len);
  if (hit == nullptr) return ERR_OBJ_NOT_FOUND;
  const unsigned i = static_cast<unsigned>(static_cast<const char*>(hit) - m_start);
  m_start += i + 1;
  m_len -= i + 1;
  return ERR_OK;
}

void Cvlk_buf_str::cut(unsigned k) { m_len = k < m_len ? m_len - k : 0; }

void Cvlk_buf_str::cutChar(char c) {
  while (m_len > 0 && m_start[m_len - 1] == c) --m_len;
}

void Cvlk_buf_str::cutBlanks() { cutChar(' '); }

void Cvlk_buf_str::cutNonBlanks() {
  while (m_len > 0 && m_start[m_len - 1] != ' ') --m_len;
}

EerrNo Cvlk_buf_str::cutAtCharFromTail(char c) {
  if (m_len == 0 || m_start == nullptr) return ERR_INVALID_OBJ;
  for (unsigned i = m_len; i > 0; --i) {
    if (m_start[i - 1] == c) {
      m_len = i - 1;
      return ERR_OK;
    }
  }
  return ERR_OBJ_NOT_FOUND;
}

EerrNo Cvlk_buf_str::cutAtCharFromHead(char c) {
  if (m_len == 0 || m_start == nullptr) return ERR_INVALID_OBJ;
  const void* hit = std::memchr(m_start, c, m_len);
  if (hit == nullptr) return ERR_OBJ_NOT_FOUND;
  m_len = static_cast<unsigned>(static_cast<const char*>(hit) - m_start);
  return ERR_OK;
}

EerrNo Cvlk_buf_str::findChar(char c, Cvlk_buf_str& out) const {
  if (m_len == 0 || m_start == nullptr) return ERR_OBJ_NOT_FOUND;
  const void* hit = std::memchr(m_start, c, m_len);
  if (hit == nullptr) return ERR_OBJ_NOT_FOUND;
  const unsigned i = static_cast<unsigned>(static_cast<const char*>(hit) - m_start);
  out.init(m_start + i, m_len - i);
  return ERR_OK;
}

// s shorter than k has no k characters to match: it is measured only up to k, so
// a short argument is never read past its end.
Ebool Cvlk_buf_str::beginWith(const char* s, unsigned k) const {
  if (IsNoText(s) || k == 0 || k > m_len || strnlen(s, k) < k) return VLK_FALSE;
  return std::memcmp(m_start, s, k) == 0 ? VLK_TRUE : VLK_FALSE;
}

Ebool Cvlk_buf_str::endWith(const char* s, unsigned k) const {
  if (IsNoText(s) || k == 0 || k > m_len || strnlen(s, k) < k) return VLK_FALSE;
  return std::memcmp(m_start + (m_len - k), s, k) == 0 ? VLK_TRUE : VLK_FALSE;
}

Ebool Cvlk_buf_str::hasStr(const char* s) const {
  if (m_len == 0 || m_start == nullptr || IsNoText(s)) return VLK_FALSE;
  const std::size_t n = MeasureLen(s);
  if (n > m_len) return VLK_FALSE;
  return FindInView(m_start, m_len, s, n) >= 0 ? VLK_TRUE : VLK_FALSE;
}

EerrNo Cvlk_buf_str::findStr(const char* s, Cvlk_buf_str& out) const {
  if (m_len == 0 || m_start == nullptr || IsNoText(s)) return ERR_INVALID_OBJ;
  const std::size_t n = MeasureLen(s);
  if (n > m_len) return ERR_INVALID_OBJ;
  const long offset = FindInView(m_start, m_len, s, n);
  if (offset < 0) return ERR_OBJ_NOT_FOUND;
  out.init(m_start + offset, m_len - static_cast<unsigned>(offset));
  return ERR_OK;
}

EerrNo Cvlk_buf_str::seperate(const char* sep, Cvlk_buf_str& head, Cvlk_buf_str& tail) const {
  if (m_len == 0 || m_start == nullptr || IsNoText(sep)) return ERR_INVALID_OBJ;
  const std::size_t n = MeasureLen(sep);
  if (n > m_len) return ERR_INVALID_OBJ;
  const long offset = FindInView(m_start, m_len, sep, n);
  if (offset < 0) return ERR_OBJ_NOT_FOUND;
  const char* start = m_start;  // head or tail may be this very view
  const unsigned len = m_len;
  head.init(start, static_cast<unsigned>(offset));
  tail.init(start + offset, len - static_cast<unsigned>(offset));
  return ERR_OK;
}

EerrNo Cvlk_buf_str::copyStr(const char* s, unsigned k) {
  if (IsNoText(s) || k == 0 || m_start == nullptr) return ERR_INVALID_PARAM;
  std::memmove(const_cast<char*>(m_start), s, k);
  m_len = k;
  return ERR_OK;
}

EerrNo Cvlk_buf_str::appendStr(const char* s, unsigned k) {
  if (IsNoText(s) || k == 0 || m_start == nullptr) return ERR_INVALID_PARAM;
  std::memmove(const_cast<char*>(m_start) + m_len, s, k);
  m_len += k;
  return ERR_OK;
}

void Cvlk_buf_str::toTmpStr(Cvlk_tmp_str& t) const { t.init(m_start, m_len); }
