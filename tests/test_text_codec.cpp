// Base64, CRC-32 and the digests against the standards' own vectors (RFC 4648,
// RFC 1321, FIPS 180, RFC 2202), the encoder's cut at a whole group and the
// decoder's quirks, the latter checked against a character-at-a-time model.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_text.h"

namespace {

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

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

// The documented decoding, one character at a time.
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

TEST(Base64, Rfc4648VectorsAndEveryByteValue) {
  const char* const kPairs[][2] = {{"", ""},           {"f", "Zg=="},        {"fo", "Zm8="},    {"foo", "Zm9v"},
                                   {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  for (const auto& pair : kPairs) {
    EXPECT_EQ(pair[1], Encode(pair[0]));
    EXPECT_EQ(pair[0], Decode(pair[1]));
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(all, Decode(Encode(all)));
}

TEST(Base64, EncoderCutsAtAWholeGroup) {
  EXPECT_EQ("TWFu", Encode("Man", 5));
  EXPECT_EQ("", Encode("Man", 4));  // only the NUL is written
  EXPECT_EQ("TWFu", Encode("ManMan", 8));
  EXPECT_EQ("TWFu", Encode("ManM", 8));  // the padded tail does not fit either
  EXPECT_EQ("TWFuTQ==", Encode("ManM", 9));
  EXPECT_EQ(8u, VlkCalBase64EncLen(0));
  EXPECT_EQ(12u, VlkCalBase64EncLen(4));
  for (unsigned n = 0; n < 40; ++n) {  // the reservation always holds the whole text
    EXPECT_EQ((n + 2) / 3 * 4, Encode(std::string(n, 'x'), static_cast<int>(VlkCalBase64EncLen(n))).size());
  }
}

TEST(Base64, DecoderQuirksFollowTheModel) {
  EXPECT_EQ("Ma", Decode("TWE="));
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
  EXPECT_EQ(0xCBF43926u, VlkCRC32Calc(Bytes("123456789"), 9));
  EXPECT_EQ(0x414FA339u, VlkCRC32Calc(Bytes("The quick brown fox jumps over the lazy dog"), 43));
  EXPECT_EQ(0u, VlkCRC32Calc(Bytes("abc"), 0));
  const char* const kMd5[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  char md5[36];
  for (const auto& row : kMd5) {
    VlkGetMD5Hash(md5, row[0]);
    EXPECT_STREQ(row[1], md5) << row[0];
  }
  VlkGetMD5Hash(md5, nullptr);
  EXPECT_STREQ(kMd5[0][1], md5);
  unsigned char d[20];
  VlkSHA1("abc", 3, d);
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Hex(d, 20));
  const char two[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  VlkSHA1(two, sizeof(two) - 1, d);
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1", Hex(d, 20));
}

TEST(Digests, HmacSha1Rfc2202) {
  std::string key4;
  for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
  const std::string big(80, '\xaa');
  const struct { std::string key, data; const char* mac; } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {key4, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {big, "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {big, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
      {"", "", "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d"}};  // empty key and data
  for (const auto& c : cases) {
    unsigned char mac[20];
    unsigned macLen = 0;
    VlkHMAC(c.key.data(), static_cast<unsigned>(c.key.size()), Bytes(c.data), static_cast<unsigned>(c.data.size()),
            mac, macLen);
    EXPECT_EQ(20u, macLen);
    EXPECT_EQ(c.mac, Hex(mac, 20)) << c.data;
  }
}

}  // namespace
