// Cvlk_str, the growing heap string, and the QString conversions into the three
// string classes (local 8-bit encoding).
#include <climits>
#include <cstring>
#include <strings.h>

#include <QByteArray>

#include "vlk_text.h"
#include "vlk_text_util.h"

using vlk_text::IsNoText;
using vlk_text::MeasureLen;

// --- Cvlk_str ---------------------------------------------------------------

Cvlk_str::Cvlk_str(unsigned size) {
  if (size == 0 || size > static_cast<unsigned>(INT_MAX)) return;
  m_buf = static_cast<char*>(VlkMemAlloc(size));
  if (m_buf != nullptr) m_size = static_cast<int>(size);
}

Cvlk_str::Cvlk_str(const Cvlk_str& other) : Cvlk_str(kDefaultSize) {
  if (other.getStrLen() > 0) append(other.m_buf);
}

Cvlk_str& Cvlk_str::operator=(const Cvlk_str& other) {
  if (this == &other) return *this;
  init();
  if (other.getStrLen() > 0) append(other.m_buf);
  return *this;
}

Cvlk_str::~Cvlk_str() {
  VlkMemFree(m_buf);
  m_buf = nullptr;
  m_size = 0;
}

int Cvlk_str::getStrLen() const {
  return static_cast<int>(MeasureLen(m_buf, static_cast<std::size_t>(m_size)));
}

void Cvlk_str::init() {
  if (m_buf != nullptr && m_size != 0) std::memset(m_buf, 0, static_cast<std::size_t>(m_size));
}

// Makes the buffer hold chars characters and a NUL; when it must grow, it grows to
// exactly chars + 4 bytes. A refused growth keeps the old buffer and text.
EerrNo Cvlk_str::_reserve(std::size_t chars) {
  if (m_buf != nullptr && chars + 1 <= static_cast<std::size_t>(m_size)) return ERR_OK;
  const std::size_t grown = chars + 4;
  if (grown > static_cast<std::size_t>(INT_MAX)) return ERR_OUT_OF_MEMORY;
  char* buf = static_cast<char*>(VlkMemReAlloc(m_buf, grown));
  if (buf == nullptr) return ERR_OUT_OF_MEMORY;
  // The new tail is not zero-filled by the heap; keep the text terminated.
  const std::size_t old = m_buf == nullptr ? 0 : static_cast<std::size_t>(m_size);
  std::memset(buf + old, 0, grown - old);
  m_buf = buf;
  m_size = static_cast<int>(grown);
  return ERR_OK;
}

EerrNo Cvlk_str::init(const char* s) {
  if (IsNoText(s)) return ERR_INVALID_PARAM;
  init();
  return append(s);
}

EerrNo Cvlk_str::init(Cvlk_buf_str v) {
  if (v.getStrLen() == 0) return ERR_INVALID_PARAM;
  const std::size_t n = v.getStrLen();
  const EerrNo err = _reserve(n);
  if (err != ERR_OK) return err;
  std::memmove(m_buf, v.c_str(), n);
  m_buf[n] = '\0';
  return ERR_OK;
}

EerrNo Cvlk_str::append(const char* s) {
  if (IsNoText(s)) return ERR_OK;
  const std::size_t cur = static_cast<std::size_t>(getStrLen());
  const std::size_t n = MeasureLen(s);
  // s may point into this very buffer, which the growth may move.
  const bool inside = m_buf != nullptr && s >= m_buf && s < m_buf + m_size;
  const std::size_t offset = inside ? static_cast<std::size_t>(s - m_buf) : 0;
  const EerrNo err = _reserve(cur + n);
  if (err != ERR_OK) return err;
  if (inside) s = m_buf + offset;
  std::memmove(m_buf + cur, s, n);
  m_buf[cur + n] = '\0';
  return ERR_OK;
}

EerrNo Cvlk_str::append(const Cvlk_str& other) {
  if (other.getStrLen() == 0) return ERR_OK;
  return append(other.m_buf);
}

bool Cvlk_str::equal(const char* s) const {
  if (IsNoText(s) || getStrLen() == 0) return false;
  return strncasecmp(m_buf, s, MeasureLen(s)) == 0;
}

// --- QString conversions ----------------------------------------------------

EerrNo VlkQStringToTmpStr(const QString& s, Cvlk_tmp_str* t) {
  if (t == nullptr) return ERR_INVALID_PARAM;
  const QByteArray bytes = s.toLocal8Bit();
  t->init(bytes.constData());
  return ERR_OK;
}

EerrNo VlkQStringToTmpStrPxy(const QString& s, Cvlk_tmp_str_proxy* t) {
  if (t == nullptr) return ERR_INVALID_PARAM;
  const QByteArray bytes = s.toLocal8Bit();
  t->init();
  t->append("%s", bytes.constData());  // a text that does not fit leaves t empty
  return ERR_OK;
}

EerrNo VlkQStringToCStr(const QString& s, Cvlk_str* t) {
  if (t == nullptr) return ERR_INVALID_PARAM;
  const QByteArray bytes = s.toLocal8Bit();
  if (bytes.isEmpty()) return ERR_OK;
  t->init();
  return t->append(bytes.constData());
}
