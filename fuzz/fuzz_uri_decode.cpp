// Percent-decoding in place: arbitrary text must stay inside its own buffer and
// never grow; it must decode as the C library's "%2x" reads each escape; text
// without '%' comes back unchanged; and every text without
// NULs survives a round trip through a percent-encoding of some of its bytes
// (which ones the input decides; '%' itself is always encoded).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "vlk_text.h"

namespace {

// A heap copy of exactly the text and its NUL, so any write past it is caught.
std::unique_ptr<char[]> Copy(const std::string& s) {
  std::unique_ptr<char[]> p(new char[s.size() + 1]);
  std::memcpy(p.get(), s.c_str(), s.size() + 1);
  return p;
}

// The rule as first written: the C library's "%2x" reads each escape.
std::string Model(const std::string& text) {
  std::string out;
  const char* s = text.c_str();
  std::size_t r = 0;
  while (s[r] != '\0') {
    unsigned value = 0;
    if (s[r] == '%' && s[r + 1] != '\0' && s[r + 2] != '\0' && std::sscanf(s + r + 1, "%2x", &value) == 1) {
      out += static_cast<char>(value & 0xFF);
      r += 3;
      continue;
    }
    out += s[r++];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string mask = in.ConsumeRandomLengthString(256);
  std::string text = in.ConsumeRemainingBytesAsString();
  text.resize(std::strlen(text.c_str()));

  // Arbitrary text.
  {
    std::unique_ptr<char[]> s = Copy(text);
    const EerrNo r = VlkUriDecode(s.get());
    FUZZ_CHECK(r == (text.empty() ? ERR_INVALID_PARAM : ERR_OK));
    FUZZ_CHECK(std::strlen(s.get()) <= text.size());
    if (text.find('%') == std::string::npos) FUZZ_CHECK(text == s.get());
    if (!text.empty()) {
      const std::string want = Model(text);  // a %00 ends the text
      FUZZ_CHECK(want.substr(0, std::strlen(want.c_str())) == s.get());
    }
  }

  // Round trip: bytes chosen by the mask (and every '%') become %XX.
  if (!text.empty()) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const bool bit = !mask.empty() && (static_cast<unsigned char>(mask[(i / 8) % mask.size()]) >> (i % 8)) & 1;
      if (c == '%' || bit) {
        const bool lower = (i & 1) != 0;
        encoded += '%';
        encoded += lower ? static_cast<char>(std::tolower(kHex[c >> 4])) : kHex[c >> 4];
        encoded += lower ? static_cast<char>(std::tolower(kHex[c & 15])) : kHex[c & 15];
      } else {
        encoded += static_cast<char>(c);
      }
    }
    std::unique_ptr<char[]> s = Copy(encoded);
    FUZZ_CHECK(VlkUriDecode(s.get()) == ERR_OK);
    FUZZ_CHECK(text == s.get());
  }
  return 0;
}
