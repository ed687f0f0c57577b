// Cvlk_uaddr::setAddress on numeric hosts only: IPv4 and IPv6 addresses built
// from the input in their numeric text forms, and raw input text. Resolution
// never leaves the process: this harness replaces getaddrinfo with one that
// always adds AI_NUMERICHOST, so a text that is not a numeric address fails
// (-2) instead of asking a name server. Checked: the results and their rules, a
// failed call leaves the address as it was, and a resolved address survives the
// round trips through its text (getAddrStr, getURLStr + VlkGetServerInfo).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "vlk_net.h"

// Every lookup in this process is numeric: no name server, no hosts file.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  using Fn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
  FUZZ_CHECK(real != nullptr);
  addrinfo numeric{};
  if (hints != nullptr) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST | AI_NUMERICSERV;
  return real(node, service, &numeric, res);
}

namespace {

std::string Host(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0: {  // dotted quad
      unsigned char b[4];
      for (auto& x : b) x = in.ConsumeIntegral<unsigned char>();
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, b, text, sizeof text);
      return text;
    }
    case 1: {  // the shorter numeric forms: a, a.b, a.b.c, in decimal, octal or hex
      const int parts = in.ConsumeIntegralInRange(1, 4);
      std::string s;
      for (int i = 0; i < parts; ++i) {
        const unsigned v = in.ConsumeIntegral<unsigned>() >> in.ConsumeIntegralInRange(0, 31);
        char part[16];
        switch (in.ConsumeIntegralInRange(0, 2)) {
          case 0: std::snprintf(part, sizeof part, "%u", v); break;
          case 1: std::snprintf(part, sizeof part, "0%o", v); break;
          default: std::snprintf(part, sizeof part, "0x%x", v); break;
        }
        if (i > 0) s += '.';
        s += part;
      }
      return s;
    }
    case 2:
    case 3: {  // IPv6, sometimes with a numeric scope
      unsigned char b[16];
      for (auto& x : b) x = in.ConsumeIntegral<unsigned char>();
      if (in.ConsumeBool()) std::memset(b, 0, in.ConsumeIntegralInRange(0, 12));  // zero runs, mapped forms
      if (in.ConsumeBool()) b[10] = b[11] = 0xFF, std::memset(b, 0, 10);
      char text[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, b, text, sizeof text);
      std::string s = text;
      if (in.ConsumeBool()) s += "%" + std::to_string(in.ConsumeIntegralInRange(0, 3));
      return s;
    }
    default:  // raw text: numeric or refused
      return in.ConsumeRandomLengthString(96);
  }
}

// The address of a text form, resolved afresh.
void CheckSameAgain(const Cvlk_uaddr& a, const char* host, unsigned short port) {
  Cvlk_uaddr b;
  FUZZ_CHECK(b.setAddress(host, port) == 0);
  FUZZ_CHECK(b.version == a.version);
  FUZZ_CHECK(b.compare(a) == ADDR_SAME);
  FUZZ_CHECK(b.isSame(a) == VLK_TRUE && a == b);
  FUZZ_CHECK(a.compare(host, port) == ADDR_SAME);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const unsigned short port = in.ConsumeIntegral<unsigned short>();
  const std::string host = Host(in);

  Cvlk_uaddr a;
  if (in.ConsumeBool()) a.initAnyAddrV6(1234);
  const Cvlk_uaddr before = a;
  const int r = a.setAddress(host.c_str(), port);
  if (host.empty() || host[0] == '\0' || port == 0) {
    FUZZ_CHECK(r == -1);
  } else {
    FUZZ_CHECK(r == 0 || r == -2);
  }
  if (r != 0) {
    FUZZ_CHECK(std::memcmp(&a, &before, sizeof a) == 0);
    return 0;
  }
  FUZZ_CHECK(a.version == 4 || a.version == 6);
  FUZZ_CHECK(a.getAddr()->sa_family == (a.version == 4 ? AF_INET : AF_INET6));
  FUZZ_CHECK(a.getPort() == port && a.isValid() == VLK_TRUE);
  FUZZ_CHECK(a.getAddrLen() == (a.version == 4 ? 16 : 28));

  Cvlk_tmp_str text;
  unsigned short p = 0;
  a.getAddress(text, p);
  FUZZ_CHECK(p == port && text.getStrLen() > 0);
  FUZZ_CHECK(std::strchr(text.c_str(), '%') == nullptr);
  FUZZ_CHECK((a.version == 4) == (VlkIsIPv6Format(text.c_str()) == VLK_FALSE));
  if (a.version == 4) FUZZ_CHECK(VlkIsIPv4Format(text.c_str()) == VLK_TRUE);
  CheckSameAgain(a, text.c_str(), port);

  // "a.b.c.d:port" or "[v6]:port", split again.
  Cvlk_tmp_str url;
  a.getURLStr(url);
  Cvlk_tmp_str h;
  unsigned short up = 0;
  FUZZ_CHECK(VlkGetServerInfo(url.c_str(), h, up) == ERR_OK);
  FUZZ_CHECK(up == port);
  std::string hs = h.c_str();
  if (a.version == 6) {
    FUZZ_CHECK(hs.size() > 2 && hs.front() == '[' && hs.back() == ']');
    hs = hs.substr(1, hs.size() - 2);
  }
  FUZZ_CHECK(hs == text.c_str());

  // Another port: same address only.
  const unsigned short other = static_cast<unsigned short>(port == 65535 ? 1 : port + 1);
  FUZZ_CHECK(a.compare(text.c_str(), other) == ADDR_SAME_IP);
  return 0;
}
