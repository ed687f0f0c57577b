// The fixed-capacity strings: Cvlk_tmp_str (text inside the object) and
// Cvlk_tmp_str_proxy (text in a caller's buffer). Formatting always goes through a
// zero-filled stack work buffer first, so a refused append changes nothing.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "vlk_text.h"
#include "vlk_text_util.h"

using vlk_text::IsNoText;
using vlk_text::MeasureLen;

namespace {

constexpr int kProxyWorkSize = 4096;

}  // namespace

// --- Cvlk_tmp_str -----------------------------------------------------------

Cvlk_tmp_str::Cvlk_tmp_str() : m_len(0) { std::memset(m_text, 0, sizeof(m_text)); }

void Cvlk_tmp_str::init() {
  std::memset(m_text, 0, sizeof(m_text));
  m_len = 0;
}

EerrNo Cvlk_tmp_str::init(const char* p, unsigned n) {
  init();
  if (IsNoText(p) || n == 0 || n > static_cast<unsigned>(kMaxLen)) return ERR_INVALID_PARAM;
  std::memcpy(m_text, p, n);
  m_text[n] = '\0';
  m_len = static_cast<int>(n);
  return ERR_OK;
}

EerrNo Cvlk_tmp_str::init(const char* p) {
  return init(p, static_cast<unsigned>(MeasureLen(p, kMaxLen)));
}

EerrNo Cvlk_tmp_str::set(const char* fmt, ...) {
  if (IsNoText(fmt)) return ERR_INVALID_PARAM;
  char work[kSize] = {};
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(work, sizeof(work), fmt, args);
  va_end(args);
  init(work);  // empty output leaves the string empty, still a success
  return ERR_OK;
}

EerrNo Cvlk_tmp_str::_appendText(const char* text) {
  const std::size_t n = MeasureLen(text, kMaxLen);
  if (n >= static_cast<std::size_t>(kMaxLen - m_len)) return ERR_OUT_OF_MEMORY;
  std::memcpy(m_text + m_len, text, n);
  m_len += static_cast<int>(n);
  m_text[m_len] = '\0';
  return ERR_OK;
}

EerrNo Cvlk_tmp_str::append(const char* fmt, ...) {
  char work[kSize] = {};
  if (fmt != nullptr) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(work, sizeof(work), fmt, args);
    va_end(args);
  }
  return _appendText(work);
}

EerrNo Cvlk_tmp_str::append(Cvlk_buf_str v) {
  Cvlk_tmp_str tmp;
  tmp.init(v.c_str(), v.getStrLen());
  return _appendText(tmp.m_text);
}

void Cvlk_tmp_str::cut(char c) {
  while (m_len > 0 && m_text[m_len - 1] == c) m_text[--m_len] = '\0';
}

bool Cvlk_tmp_str::hasString(const char* s) const {
  if (IsNoText(s) || m_len == 0) return false;
  if (MeasureLen(s, kMaxLen) > static_cast<std::size_t>(m_len)) return false;
  return std::strstr(m_text, s) != nullptr;
}

bool Cvlk_tmp_str::hasPrefix(const char* s) const {
  const std::size_t n = MeasureLen(s, kMaxLen);
  if (m_len == 0 || static_cast<std::size_t>(m_len) < n) return false;
  return std::memcmp(m_text, s == nullptr ? "" : s, n) == 0;
}

bool Cvlk_tmp_str::equal(const char* s) const {
  if (IsNoText(s)) return false;
  const std::size_t n = MeasureLen(s, kMaxLen);
  if (n != static_cast<std::size_t>(m_len)) return false;
  return strncasecmp(m_text, s, n) == 0;
}

// --- Cvlk_tmp_str_proxy -----------------------------------------------------

Cvlk_tmp_str_proxy::Cvlk_tmp_str_proxy(char* buf, unsigned size) {
  if (buf == nullptr || size == 0 || size > 0x7fffffffu) return;
  m_buf = buf;
  m_size = static_cast<int>(size);
  std::memset(m_buf, 0, size);
}

void Cvlk_tmp_str_proxy::init() {
  if (m_buf == nullptr || m_size == 0) return;
  std::memset(m_buf, 0, static_cast<std::size_t>(m_size));
  m_len = 0;
}

EerrNo Cvlk_tmp_str_proxy::set(const char* s) {
  if (IsNoText(s)) return ERR_INVALID_PARAM;
  if (m_buf == nullptr) return ERR_INVALID_OBJ;
  init();
  const std::size_t n = MeasureLen(s, static_cast<std::size_t>(m_size - 1));
  std::memcpy(m_buf, s, n);
  m_buf[n] = '\0';
  m_len = static_cast<int>(n);
  return ERR_OK;
}

EerrNo Cvlk_tmp_str_proxy::append(const char* fmt, ...) {
  char work[kProxyWorkSize] = {};
  if (fmt != nullptr) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(work, sizeof(work), fmt, args);
    va_end(args);
  }
  const std::size_t n = MeasureLen(work, sizeof(work));
  if (m_buf == nullptr || n + static_cast<std::size_t>(m_len) >= static_cast<std::size_t>(m_size)) {
    return ERR_OUT_OF_MEMORY;
  }
  std::memcpy(m_buf + m_len, work, n);
  m_len += static_cast<int>(n);
  m_buf[m_len] = '\0';
  return ERR_OK;
}

bool Cvlk_tmp_str_proxy::hasString(const char* s) const {
  if (IsNoText(s) || IsNoText(m_buf)) return false;
  if (MeasureLen(s) > static_cast<std::size_t>(m_len)) return false;
  return std::strstr(m_buf, s) != nullptr;
}
