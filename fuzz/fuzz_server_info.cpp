// Splitting a host-and-port text: arbitrary text (longer than a Cvlk_tmp_str
// holds, too), the host and port checked against the rule: host up to and
// including the last ']', else before the last ':', else the whole text; the
// port from the text after the last ':' (0 when that is no number as a whole:
// blanks, a sign or a 0b prefix make it none), untouched without a ':'.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstring>
#include <string>

#include <QString>

#include "fuzz_check.h"
#include "vlk_net.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const unsigned short before = in.ConsumeIntegral<unsigned short>();
  std::string text = in.ConsumeRemainingBytesAsString();
  text.resize(std::strlen(text.c_str()));

  Cvlk_tmp_str host;
  host.set("%s", "untouched");
  unsigned short port = before;
  const EerrNo r = VlkGetServerInfo(text.c_str(), host, port);
  if (text.empty()) {
    FUZZ_CHECK(r == ERR_INVALID_PARAM);
    FUZZ_CHECK(port == before && std::strcmp(host.c_str(), "untouched") == 0);
    return 0;
  }
  FUZZ_CHECK(r == ERR_OK);
  const std::size_t bracket = text.rfind(']');
  const std::size_t colon = text.rfind(':');
  std::string wantHost;
  if (bracket != std::string::npos)
    wantHost = text.substr(0, bracket + 1);
  else if (colon != std::string::npos)
    wantHost = text.substr(0, colon);
  else
    wantHost = text;
  // A host that does not fit leaves the string empty, except the whole text,
  // which is cut.
  if (bracket == std::string::npos && colon == std::string::npos)
    wantHost = wantHost.substr(0, Cvlk_tmp_str::kMaxLen);
  else if (wantHost.size() > Cvlk_tmp_str::kMaxLen)
    wantHost.clear();
  FUZZ_CHECK(host.getStrLen() == static_cast<int>(wantHost.size()));
  FUZZ_CHECK(wantHost == host.c_str());

  unsigned short wantPort = before;
  if (colon != std::string::npos) {
    const std::string digits = text.substr(colon + 1);
    bool ok = !digits.empty() && digits[0] >= '0' && digits[0] <= '9' &&
              !(digits.size() > 1 && digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B'));
    for (char c : digits) ok = ok && std::isalnum(static_cast<unsigned char>(c)) != 0;
    const unsigned v = ok ? QString::fromLocal8Bit(digits.c_str()).toUInt(&ok, 0) : 0;
    wantPort = static_cast<unsigned short>(ok ? v : 0);
    // A plain decimal port is read as such.
    if (!digits.empty() && digits.size() <= 5 && digits[0] != '0' &&
        digits.find_first_not_of("0123456789") == std::string::npos)
      FUZZ_CHECK(port == static_cast<unsigned short>(std::stoul(digits)));
  }
  FUZZ_CHECK(port == wantPort);
  return 0;
}
