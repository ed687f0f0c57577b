// Key-value lookup: arbitrary text and key, the result checked against the
// rule (first occurrence of the key, at most 127 characters after it, cut at
// the first ';'), written into a buffer of exactly 128 bytes; and the
// Cvlk_tmp_str form on the same text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "vlk_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::string key = in.ConsumeRandomLengthString(200);
  key.resize(std::strlen(key.c_str()));
  std::string text = in.ConsumeRemainingBytesAsString();
  text.resize(std::strlen(text.c_str()));

  std::unique_ptr<char[]> out(new char[128]);
  std::memset(out.get(), 'x', 128);
  const EerrNo r = VlkGetValue(text.c_str(), key.c_str(), out.get());
  std::string want;
  EerrNo wantErr = ERR_OK;
  if (text.empty() || key.empty()) {
    wantErr = ERR_INVALID_PARAM;
  } else {
    const std::size_t hit = text.find(key);
    if (hit == std::string::npos) {
      wantErr = ERR_OBJ_NOT_FOUND;
    } else {
      want = text.substr(hit + std::min<std::size_t>(key.size(), 128), 127);
      want = want.substr(0, want.find(';'));
    }
  }
  FUZZ_CHECK(r == wantErr);
  if (r == ERR_OK) FUZZ_CHECK(want == out.get());

  // The Cvlk_tmp_str form: the text as far as it fits, every failure not found.
  Cvlk_tmp_str t;
  t.init(text.c_str());
  Cvlk_tmp_str value;
  value.set("%s", "untouched");
  const EerrNo r2 = VlkGetValue(t, key.c_str(), value);
  std::string cut = text.substr(0, Cvlk_tmp_str::kMaxLen);
  std::string want2;
  EerrNo wantErr2 = ERR_OBJ_NOT_FOUND;
  if (!cut.empty() && !key.empty() && cut.find(key) != std::string::npos) {
    wantErr2 = ERR_OK;
    const std::size_t hit = cut.find(key);
    want2 = cut.substr(hit + std::min<std::size_t>(key.size(), 128), 127);
    want2 = want2.substr(0, want2.find(';'));
  }
  FUZZ_CHECK(r2 == wantErr2);
  FUZZ_CHECK(value.c_str() == std::string(r2 == ERR_OK ? want2 : "untouched"));
  FUZZ_CHECK(value.getStrLen() == static_cast<int>(std::strlen(value.c_str())));
  return 0;
}
