// Base64: the decoder on arbitrary text and output sizes, the encoder on
// arbitrary bytes and output sizes, both checked against the plain bit-by-bit
// rules, and the round trip: decoding a full encoding gives the bytes back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "vlk_text.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

unsigned Value(unsigned char c) {
  const char* p = c != 0 ? std::strchr(kAlphabet, c) : nullptr;
  return p != nullptr ? static_cast<unsigned>(p - kAlphabet) : 63;  // outside the alphabet: 63
}

std::vector<unsigned char> ModelDecode(const char* in, int outMax) {
  std::vector<unsigned char> out;
  unsigned acc = 0;
  int bits = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(in);
       static_cast<int>(out.size()) < outMax && *p != '\0' && *p != '='; ++p) {
    acc = (acc << 6) | Value(*p);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  return out;
}

std::string ModelEncode(const unsigned char* in, int inLen, int outSize) {
  std::string full;
  for (int i = 0; i < inLen; i += 3) {
    const int n = std::min(3, inLen - i);
    unsigned v = unsigned{in[i]} << 16;
    if (n > 1) v |= unsigned{in[i + 1]} << 8;
    if (n > 2) v |= in[i + 2];
    full += kAlphabet[(v >> 18) & 63];
    full += kAlphabet[(v >> 12) & 63];
    full += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    full += n > 2 ? kAlphabet[v & 63] : '=';
  }
  const int room = outSize - 1;
  const std::size_t keep = room <= 0 ? 0 : std::min<std::size_t>(full.size(), static_cast<std::size_t>(room / 4) * 4);
  return full.substr(0, keep);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int outMax = in.ConsumeIntegralInRange(-1, 1200);
  const int outSize = in.ConsumeIntegralInRange(0, 1700);
  const std::string rest = in.ConsumeRemainingBytesAsString();

  // Decoding: out holds exactly outMax bytes, so a byte too many is caught.
  {
    const int cap = std::max(outMax, 0);
    std::unique_ptr<unsigned char[]> out(new unsigned char[cap]);
    const int n = VlkBase64Decode(out.get(), rest.c_str(), outMax);
    const std::vector<unsigned char> want = ModelDecode(rest.c_str(), outMax);
    FUZZ_CHECK(n == static_cast<int>(want.size()));
    FUZZ_CHECK(want.empty() || std::memcmp(out.get(), want.data(), want.size()) == 0);
  }

  const auto* bytes = reinterpret_cast<const unsigned char*>(rest.data());
  const int len = static_cast<int>(rest.size());
  // Encoding into exactly outSize bytes.
  {
    std::unique_ptr<char[]> out(new char[outSize > 0 ? outSize : 1]);
    const int n = VlkBase64Encode(outSize > 0 ? out.get() : nullptr, bytes, len, outSize);
    if (outSize > 0) {
      const std::string want = ModelEncode(bytes, len, outSize);
      FUZZ_CHECK(n == static_cast<int>(want.size()));
      FUZZ_CHECK(std::memcmp(out.get(), want.data(), want.size()) == 0 && out[n] == '\0');
    } else {
      FUZZ_CHECK(n == 0);
    }
  }

  // Round trip with the advertised sizes.
  {
    const unsigned encLen = VlkCalBase64EncLen(static_cast<unsigned>(len));
    std::unique_ptr<char[]> text(new char[encLen]);
    const int n = VlkBase64Encode(text.get(), bytes, len, static_cast<int>(encLen));
    FUZZ_CHECK(n == (len + 2) / 3 * 4);
    FUZZ_CHECK(static_cast<int>(std::strlen(text.get())) == n);
    std::unique_ptr<unsigned char[]> back(new unsigned char[len + 3]);
    FUZZ_CHECK(VlkBase64Decode(back.get(), text.get(), len + 3) == len);
    FUZZ_CHECK(len == 0 || std::memcmp(back.get(), bytes, len) == 0);
    FUZZ_CHECK(VlkBase64Decode(back.get(), text.get(), len) == len);
    FUZZ_CHECK(len == 0 || std::memcmp(back.get(), bytes, len) == 0);
  }
  return 0;
}
