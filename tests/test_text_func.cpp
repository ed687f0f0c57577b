// The character-string functions, number conversions and codecs: the inverted
// case names, quote-aware search, trimming, bounded writers, the faults mended
// here; Base64, CRC-32 and the digests against the standards' own vectors
// (RFC 4648, RFC 1321, FIPS 180, RFC 2202), the encoder's cut at a whole group
// and the decoder's quirks, the latter checked against a character-at-a-time model.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

TEST(StrFunc, ComparisonsSearchesAndNeverTheTerminator) {
  EXPECT_EQ(0, VlkStrCmp("abcdef", "ABC"));  // VlkStrCmp ignores case...
  EXPECT_NE(0, VlkStrCaseCmp("abcdef", "ABC"));  // ...VlkStrCaseCmp does not
  EXPECT_EQ(VLK_FALSE, VlkStrHasPrefix(nullptr, "abc", 3));  // false, not a fault
  const char text[] = "Hello World";
  EXPECT_EQ(text + 6, VlkStrStr(text, "WORLD"));
  EXPECT_EQ(nullptr, VlkStrCaseStr(text, "WORLD"));
  EXPECT_EQ(nullptr, VlkStrStr("caf\xc3\xa9", "CAF\xc3\x89"));  // only ASCII letters fold
  const std::string far = std::string(3000, 'a') + "NeEdLe";  // beyond 1498 characters
  EXPECT_EQ(far.c_str() + 3000, VlkStrStr(far.c_str(), "needle"));
  EXPECT_EQ(6, VlkStrFindChar("a\"b,c\",d", ',', 1));
  EXPECT_EQ(3, VlkStrFindChar("a\"b,c\",d", ',', 2));  // only mode 1 is quote-aware here
  EXPECT_EQ(1, VlkStrFindLastChar("a,\"b,c\"", ',', 2));  // every non-zero mode is
  EXPECT_EQ(4, VlkStrFindLastChar("a,\"b,c\"", ',', 0));
  // The terminator is not found in any mode (it once was, in mode 0, at strlen).
  for (int mode : {0, 1, 2}) {
    EXPECT_EQ(-1, VlkStrFindLastChar("abc", '\0', mode)) << mode;
    EXPECT_EQ(-1, VlkStrFindChar("abc", '\0', mode)) << mode;
  }
}

TEST(StrFunc, TrimmingAndBoundedWriters) {
  char b[] = " \tx \t\r\n\xe9";
  EXPECT_EQ(b + 1, VlkStrip(b));  // a tab is not a leading blank here; any byte below 33 trails
  EXPECT_STREQ("\tx", b + 1);
  char dst[10];
  std::memset(dst, '#', sizeof(dst));
  EXPECT_EQ(3, VlkCopyStr(dst, "hello", 3));
  EXPECT_STREQ("hel", dst);
  std::memset(dst, '#', sizeof(dst));
  VlkIntToStr(123456789, dst, 5);  // cut, terminated at dst[4]
  EXPECT_STREQ("1234", dst);
  EXPECT_EQ('#', dst[5]);
  std::memset(dst, '#', sizeof(dst));
  VlkHexToStr(255, dst, 8);  // no room for the NUL: refused
  EXPECT_EQ('#', dst[0]);
  VlkHexToStr(255, dst, 9);
  EXPECT_STREQ("000000FF", dst);
}

TEST(Conv, NumbersNoBinaryInBase0AndKeyValues) {
  EXPECT_EQ(31, VlkStrToHex("0x1F"));
  EXPECT_EQ(305419896, VlkStrToHex("123456789"));  // eight digits at most
  EXPECT_EQ(16, VlkStrToInt("0x10"));
  EXPECT_EQ(8, VlkStrToInt("010"));
  EXPECT_EQ(0, VlkStrToInt("abc"));
  EXPECT_EQ(0u, VlkStrToU32("4294967296"));
  for (const char* binary : {"0b101", "0B1", "-0b1", " +0b1"}) {  // Qt 6 reads these as binary
    EXPECT_EQ(0, VlkStrToInt(binary)) << binary;
    EXPECT_EQ(0u, VlkStrToU32(binary)) << binary;
  }
  char out[128];  // values end at ';' or after 127 characters
  EXPECT_EQ(ERR_OK, VlkGetValue("user=bob;mode=x", "user=", out));
  EXPECT_STREQ("bob", out);
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue("user=bob;mode=x", "name=", out));
  EXPECT_EQ(ERR_OK, VlkGetValue(("k=" + std::string(300, 'v')).c_str(), "k=", out));
  EXPECT_EQ(127u, std::strlen(out));
  Cvlk_tmp_str text, value;
  text.set("a=1;b=22");
  EXPECT_EQ(ERR_OBJ_NOT_FOUND, VlkGetValue(text, "", value));  // failures fold into not found
}

// Escapes read as the C library's "%2x" reads them: blanks skipped first, a sign
// and a "0x" prefix counted in the two characters; the escape still takes three.
// Decoding once measured the rest of the text for every escape, so a long text
// of '%' took quadratic time: it must come back as it was, in one pass.
TEST(Conv, UriDecodeEscapesAsHex2AndLongText) {
  auto decode = [](std::string s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back('\0');
    EXPECT_EQ(ERR_OK, VlkUriDecode(buf.data()));
    return std::string(buf.data());
  };
  const char* const cases[][2] = {
      {"a%20b+%41%zz%4g%2", "a b+A%zz\x04%2"},  // "%4g" reads one digit, still consumes three
      {"%-1x", "\xffx"},                         // strtoul's negation, low byte
      {"%+fz", "\x0fz"},   {"% 41", "A1"},       // the blank counts among the three
      {"%\t\n7y", "\x07" "7y"}, {"%-zz", "%-zz"},  // a lone sign is no number
      {"%+", "%+"},        {"a%0x5", "a"},       // "0x" is read as 0, which ends the text
      {"%0a!", "\x0a!"}};
  for (const auto& c : cases) EXPECT_EQ(c[1], decode(c[0])) << c[0];
  std::string many(1u << 20, '%');
  EXPECT_EQ(many.substr(1) + "A", decode(many + "41"));
}

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned Len(const std::string& s) { return static_cast<unsigned>(s.size()); }

std::string Hex(const unsigned char* p, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += "0123456789abcdef"[p[i] >> 4], out += "0123456789abcdef"[p[i] & 15];
  return out;
}

std::string Encode(const std::string& in, int outSize = 1024) {
  std::vector<char> out(static_cast<std::size_t>(outSize), '#');
  const int n = VlkBase64Encode(out.data(), Bytes(in), static_cast<int>(in.size()), outSize);
  EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(out.data()));
  return std::string(out.data(), static_cast<std::size_t>(n));
}

std::string Decode(const std::string& in, int outMax = 1024) {
  std::vector<unsigned char> out(static_cast<std::size_t>(outMax) + 1);
  const int n = VlkBase64Decode(out.data(), in.c_str(), outMax);
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
}

// The documented decoding, one character at a time: it stops at '=' or outMax,
// and a character outside the alphabet counts as 63.
std::string ModelDecode(const std::string& in, int outMax) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < in.size() && static_cast<int>(out.size()) < outMax && in[i] != '='; ++i) {
    const std::size_t v = alphabet.find(in[i]);
    acc = (acc << 6) | (v == std::string::npos ? 63u : static_cast<unsigned>(v));
    if ((bits += 6) >= 8) out += static_cast<char>((acc >> (bits -= 8)) & 0xFF);
  }
  return out;
}

TEST(Base64, Rfc4648VectorsAndTheCutAtAWholeGroup) {
  const char* const kPairs[][2] = {{"", ""},           {"f", "Zg=="},        {"fo", "Zm8="},    {"foo", "Zm9v"},
                                   {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& pair : kPairs) {
    EXPECT_EQ(pair[1], Encode(pair[0]));
    EXPECT_EQ(pair[0], Decode(pair[1]));
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(all, Decode(Encode(all)));
  EXPECT_EQ("TWFu", Encode("ManM", 8));  // the padded tail does not fit
  EXPECT_EQ("TWFuTQ==", Encode("ManM", 9));
  for (unsigned n = 0; n < 40; ++n)  // the reservation always holds the whole text
    EXPECT_EQ((n + 2) / 3 * 4, Encode(std::string(n, 'x'), static_cast<int>(VlkCalBase64EncLen(n))).size());
}

TEST(Base64, DecoderQuirksFollowTheModel) {
  EXPECT_EQ("Ma", Decode("TWFu", 2));  // stops at outMax
  EXPECT_EQ("M", Decode("TQ==TWFu"));  // stops at the first '='
  EXPECT_EQ(Decode("TW//"), Decode("TW \n"));  // outside the alphabet counts as 63
  EXPECT_EQ(Decode("////"), Decode("\x80\xff*-"));
  const char kChars[] = "ABCXYZabcxyz0189+/=*\n \x80\xff";
  unsigned x = 7;
  for (int round = 0; round < 3000; ++round) {
    std::string in;
    const int len = static_cast<int>(((x = x * 1103515245u + 12345u) >> 16) % 24);
    for (int i = 0; i < len; ++i) {
      const unsigned pick = ((x = x * 1103515245u + 12345u) >> 16) % (sizeof(kChars) - 1);
      in += kChars[pick % 5 == 0 ? pick : pick % 16];  // mostly alphabet, for long groups
    }
    const int outMax = static_cast<int>((x >> 8) % 20);
    EXPECT_EQ(ModelDecode(in, outMax), Decode(in, outMax)) << in << " outMax " << outMax;
  }
}

TEST(Digests, Crc32Md5Sha1KnownAnswers) {
  const struct { const char* in; unsigned crc; const char* md5; const char* sha1; } cases[] = {
      {"", 0, "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"a", 0xE8B7BE43u, "0cc175b9c0f1b6a831c399e269772661", "86f7e437faa5a7fce15d1ddcb9eaeaea377667b8"},
      {"abc", 0x352441C2u, "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"123456789", 0xCBF43926u, "25f9e794323b453885f5181f1b624d0b", "f7c3bc1d808e04732adf679965ccc34ca7ae3441"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 0x171A3F5Fu, "8215ef0796a20bcaaae116d3876c664a",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890", 0x7CA94A72u,
       "57edf4a22be3c955ac49da2e2107b67a", "50abf5706a150990a08b2c5ea40fa0e585554732"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.crc, VlkCRC32Calc(Bytes(c.in), Len(c.in))) << c.in;
    char md5[36];
    VlkGetMD5Hash(md5, c.in);
    EXPECT_STREQ(c.md5, md5) << c.in;
    unsigned char sha[20];
    VlkSHA1(c.in, Len(c.in), sha);
    EXPECT_EQ(c.sha1, Hex(sha, 20)) << c.in;
  }
}

TEST(Digests, HmacSha1Rfc2202) {
  const std::string big(80, '\xaa');  // longer than a block: hashed first
  const struct { std::string key, data; const char* mac; } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {big, "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {big, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
      {"", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"}};  // empty key and data
  for (const auto& c : cases) {
    unsigned char mac[20];
    unsigned macLen = 0;
    VlkHMAC(c.key.data(), Len(c.key), Bytes(c.data), Len(c.data), mac, macLen);
    EXPECT_EQ(20u, macLen);
    EXPECT_EQ(c.mac, Hex(mac, 20)) << c.data;
  }
}

}  // namespace
