// Base64 (RFC 4648 alphabet, no line breaks), CRC-32 (ISO-HDLC, through zlib), and
// MD5, SHA-1 and HMAC-SHA1 through OpenSSL's EVP interfaces.
#include <cstdio>
#include <cstring>

#include <openssl/evp.h>
#include <zlib.h>

#include "vlk_text.h"
#include "vlk_text_util.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Alphabet characters map to their value, every other byte to 0xFF.
struct DecodeTable {
  unsigned char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = 0xFF;
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
  }
};
constexpr DecodeTable kDecode;

void EmitGroup(char* out, unsigned bits24) {
  out[0] = kAlphabet[(bits24 >> 18) & 0x3F];
  out[1] = kAlphabet[(bits24 >> 12) & 0x3F];
  out[2] = kAlphabet[(bits24 >> 6) & 0x3F];
  out[3] = kAlphabet[bits24 & 0x3F];
}

}  // namespace

unsigned VlkCalBase64EncLen(unsigned n) { return (n / 3) * 4 + 8; }

// The last byte of out is kept for the NUL. A group of four that no longer fits is
// not written, and nothing after it: the text is cut at a whole group.
int VlkBase64Encode(char* out, const unsigned char* in, int inLen, int outSize) {
  if (out == nullptr || outSize <= 0) return 0;
  const int room = outSize - 1;
  int written = 0;
  if (in == nullptr || inLen < 0) inLen = 0;
  int i = 0;
  for (; i + 3 <= inLen; i += 3) {
    if (written + 4 > room) {
      out[written] = '\0';
      return written;
    }
    EmitGroup(out + written, (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2]);
    written += 4;
  }
  const int rest = inLen - i;
  if (rest > 0 && written + 4 <= room) {
    unsigned bits = unsigned{in[i]} << 16;
    if (rest == 2) bits |= unsigned{in[i + 1]} << 8;
    EmitGroup(out + written, bits);
    if (rest == 1) out[written + 2] = '=';
    out[written + 3] = '=';
    written += 4;
  }
  out[written] = '\0';
  return written;
}

// Stops at the NUL, at the first '=' or once outMax bytes are written. Characters
// outside the alphabet are not skipped: they count as 63.
int VlkBase64Decode(unsigned char* out, const char* in, int outMax) {
  if (out == nullptr || in == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
  int written = 0;
  // Whole groups of four characters while three more bytes fit: the same result as
  // the character loop below, which then finishes from a clean accumulator.
  while (outMax - written >= 3) {
    unsigned v = 0;
    int k = 0;
    for (; k < 4 && p[k] != '\0' && p[k] != '='; ++k) v = (v << 6) | (kDecode.value[p[k]] & 0x3F);
    if (k < 4) break;
    out[written] = static_cast<unsigned char>(v >> 16);
    out[written + 1] = static_cast<unsigned char>(v >> 8);
    out[written + 2] = static_cast<unsigned char>(v);
    written += 3;
    p += 4;
  }
  unsigned acc = 0;
  int bits = 0;
  for (; written < outMax && *p != '\0' && *p != '='; ++p) {
    acc = (acc << 6) | (kDecode.value[*p] & 0x3F);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[written++] = static_cast<unsigned char>(acc >> bits);
      acc &= (1u << bits) - 1;
    }
  }
  return written;
}

unsigned VlkCRC32Calc(const unsigned char* data, unsigned len) {
  if (data == nullptr || len == 0) return 0;
  return static_cast<unsigned>(crc32(0L, data, len));
}

void VlkGetMD5Hash(char (&out)[36], const char* text) {
  static const char kHex[] = "0123456789abcdef";
  unsigned char md[EVP_MAX_MD_SIZE] = {};
  unsigned int mdLen = 0;
  const std::size_t n = vlk_text::MeasureLen(text);
  std::memset(out, 0, sizeof(out));
  if (EVP_Digest(text == nullptr ? "" : text, n, md, &mdLen, EVP_md5(), nullptr) != 1 || mdLen != 16) return;
  for (unsigned i = 0; i < 16; ++i) {
    out[2 * i] = kHex[md[i] >> 4];
    out[2 * i + 1] = kHex[md[i] & 0x0F];
  }
}

void VlkSHA1(const char* data, unsigned len, unsigned char (&digest)[20]) {
  unsigned char md[EVP_MAX_MD_SIZE] = {};
  unsigned int mdLen = 0;
  std::memset(digest, 0, sizeof(digest));
  if (data == nullptr) len = 0;
  if (EVP_Digest(data == nullptr ? "" : data, len, md, &mdLen, EVP_sha1(), nullptr) == 1 && mdLen == 20) {
    std::memcpy(digest, md, 20);
  }
}

void VlkHMAC(const char* key, unsigned keyLen, const unsigned char* data, unsigned dataLen,
             unsigned char (&mac)[20], unsigned& macLen) {
  static const unsigned char kNothing[1] = {0};
  std::memset(mac, 0, sizeof(mac));
  macLen = 0;
  if (key == nullptr) keyLen = 0;
  if (data == nullptr) dataLen = 0;
  std::size_t outLen = 0;
  const unsigned char* k = keyLen == 0 ? kNothing : reinterpret_cast<const unsigned char*>(key);
  if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, k, keyLen, dataLen == 0 ? kNothing : data, dataLen,
                mac, sizeof(mac), &outLen) != nullptr) {
    macLen = static_cast<unsigned>(outLen);
  }
}
