// Cphone_number: a plain 32-character telephone-number record. Growth past 32 is
// refused and leaves the record unchanged; only SetNbr cuts.
#include <cstring>

#include "vlk_text.h"

namespace {

constexpr unsigned kCap = Cphone_number::kCapacity;

unsigned char MeasurePrefix(const char* p) {
  return p == nullptr ? 0 : static_cast<unsigned char>(strnlen(p, kCap));
}

}  // namespace

void Cphone_number::Init() { std::memset(this, 0, sizeof(*this)); }

EerrNo Cphone_number::SetNbr(const char* s) {
  Init();
  const unsigned char n = MeasurePrefix(s);
  std::memcpy(digits, s == nullptr ? "" : s, n);
  digits[n] = '\0';
  length = n;
  return ERR_OK;
}

Ebool Cphone_number::IsAllDigits09() const {
  if (length == 0) return VLK_FALSE;
  for (unsigned i = 0; i < length && i < kCap; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return VLK_FALSE;
  }
  return VLK_TRUE;
}

Ebool Cphone_number::HasPrefix(unsigned char n, const char* p) const {
  // A p shorter than n never matches, and is not read past its end.
  if (n == 0 || n > length || n > kCap || p == nullptr || strnlen(p, n) < n) return VLK_FALSE;
  return std::memcmp(digits, p, n) == 0 ? VLK_TRUE : VLK_FALSE;
}

Ebool Cphone_number::HasPrefix(const char* p) const {
  const unsigned char n = MeasurePrefix(p);
  if (n == 0) return VLK_FALSE;
  return HasPrefix(n, p);
}

EerrNo Cphone_number::Append(unsigned char n, const char* p) {
  if (unsigned{length} + n > kCap) return ERR_INVALID_OPR;
  if (n == 0) return ERR_OK;
  if (p == nullptr) return ERR_INVALID_PARAM;
  std::memcpy(digits + length, p, n);
  length = static_cast<unsigned char>(length + n);
  return ERR_OK;
}

EerrNo Cphone_number::Append(char c) {
  if (unsigned{length} + 1 > kCap) return ERR_INVALID_OPR;
  digits[length++] = c;
  return ERR_OK;
}

EerrNo Cphone_number::AddPrefix(unsigned char n, const char* p) {
  if (unsigned{length} + n > kCap) return ERR_INVALID_OPR;
  if (n == 0) return ERR_OK;
  if (p == nullptr) return ERR_INVALID_PARAM;
  Cphone_number fresh;
  fresh.Init();
  std::memcpy(fresh.digits, p, n);
  std::memcpy(fresh.digits + n, digits, length);
  fresh.length = static_cast<unsigned char>(length + n);
  *this = fresh;  // the attribute bytes are cleared with the rest
  return ERR_OK;
}

EerrNo Cphone_number::AddPrefix(const char* p) { return AddPrefix(MeasurePrefix(p), p); }

EerrNo Cphone_number::RemovePrefix(unsigned char n, const char* p) {
  if (n > length || HasPrefix(n, p) != VLK_TRUE) return ERR_INVALID_OPR;
  std::memmove(digits, digits + n, length - n);
  length = static_cast<unsigned char>(length - n);
  digits[length] = '\0';
  return ERR_OK;
}

EerrNo Cphone_number::RemovePrefix(const char* p) {
  const unsigned char n = MeasurePrefix(p);
  if (length < n) return ERR_INVALID_OBJ;
  if (HasPrefix(n, p) != VLK_TRUE) return ERR_INVALID_OPR;
  return RemovePrefix(n, p);
}

EerrNo Cphone_number::CutSharp() {
  while (length > 0 && digits[length - 1] == '#') digits[--length] = '\0';
  return ERR_OK;
}

EerrNo Cphone_number::CutChar(char c) {
  if (length > 0 && digits[length - 1] == c) digits[--length] = '\0';
  return ERR_OK;
}

EerrNo Cphone_number::CutTail(unsigned char n) {
  if (length > n) {
    length = static_cast<unsigned char>(length - n);
    digits[length] = '\0';
  } else {
    Init();
  }
  return ERR_OK;
}
