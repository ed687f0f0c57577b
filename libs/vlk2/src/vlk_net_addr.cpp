// Socket addresses: the Cvlk_uaddr value type, its text forms and the text
// tests and splitting of host-and-port strings.
#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>

#include <QString>

#include "vlk_net.h"
#include "vlk_net_addr_int.h"

void Cvlk_uaddr::init() {
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
  version = 4;
  addr.v4.sin_family = AF_INET;
}

void Cvlk_uaddr::initAnyAddrV4(unsigned short port) {
  init();
  addr.v4.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.v4.sin_port = htons(port);
}

void Cvlk_uaddr::initAnyAddrV6(unsigned short port) {
  std::memset(static_cast<void*>(this), 0, sizeof(*this));
  version = 6;
  addr.v6.sin6_family = AF_INET6;
  addr.v6.sin6_addr = in6addr_any;
  addr.v6.sin6_port = htons(port);
}

int Cvlk_uaddr::setPort(unsigned short port) {
  // sin_port and sin6_port lie at the same offset.
  addr.v4.sin_port = htons(port);
  return 0;
}

int Cvlk_uaddr::setHostName(const char* host) {
  if (host == nullptr || host[0] == '\0') return -1;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, nullptr, &list) != 0) return -2;
  VlkPickResolvedAddr(*this, list);
  freeaddrinfo(list);
  return 0;
}

int Cvlk_uaddr::setAddress(const char* host, unsigned short port) {
  if (host == nullptr || host[0] == '\0' || port == 0) return -1;
  // Resolve into a copy so that a failure leaves this address as it was.
  Cvlk_uaddr resolved = *this;
  if (resolved.setHostName(host) != 0) return -2;
  resolved.setPort(port);
  *this = resolved;
  return 0;
}

namespace {

bool sameIp(const Cvlk_uaddr& a, const Cvlk_uaddr& b) {
  if (a.version == 4) return a.addr.v4.sin_addr.s_addr == b.addr.v4.sin_addr.s_addr;
  return std::memcmp(&a.addr.v6.sin6_addr, &b.addr.v6.sin6_addr, sizeof(in6_addr)) == 0;
}

}  // namespace

Ebool Cvlk_uaddr::isSame(Cvlk_uaddr other) const {
  if (getPort() == 0 || other.getPort() == 0) return VLK_FALSE;
  if (version != other.version || addr.sa.sa_family != other.addr.sa.sa_family) return VLK_FALSE;
  if (getPort() != other.getPort()) return VLK_FALSE;
  return sameIp(*this, other) ? VLK_TRUE : VLK_FALSE;
}

Eaddr_compare_result Cvlk_uaddr::compare(Cvlk_uaddr other) const {
  if (version != other.version) return ADDR_DIFFERENT;
  unsigned int bits = 0;
  if (getPort() == other.getPort()) bits |= ADDR_SAME_PORT;
  if (sameIp(*this, other)) bits |= ADDR_SAME_IP;
  return static_cast<Eaddr_compare_result>(bits);
}

Eaddr_compare_result Cvlk_uaddr::compare(const char* host, unsigned short port) const {
  Cvlk_uaddr temporary;
  temporary.setAddress(host, port);
  return compare(temporary);
}

void Cvlk_uaddr::getAddrStr(Cvlk_tmp_str& out) const { VlkInetNtoP(*this, out); }

void Cvlk_uaddr::getAddress(Cvlk_tmp_str& out, unsigned short& port) const {
  VlkInetNtoP(*this, out);
  port = getPort();
}

void Cvlk_uaddr::getURLStr(Cvlk_tmp_str& out) const {
  if (getPort() == 0) return;
  Cvlk_tmp_str ip;
  VlkInetNtoP(*this, ip);
  out.init();
  if (version == 4)
    out.set("%s:%u", ip.c_str(), static_cast<unsigned int>(getPort()));
  else
    out.set("[%s]:%u", ip.c_str(), static_cast<unsigned int>(getPort()));
}

void VlkInetNtoP(Cvlk_uaddr addr, Cvlk_tmp_str& out) {
  char text[128] = {0};
  if (addr.version == 4) {
    inet_ntop(AF_INET, &addr.addr.v4.sin_addr, text, sizeof(text) - 1);
  } else {
    // The numeric host of the 28-byte form carries the scope as "%name"; cut it.
    sockaddr_in6 v6 = addr.addr.v6;
    v6.sin6_port = 0;
    v6.sin6_family = AF_INET6;
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&v6), sizeof(v6), text, sizeof(text) - 1, nullptr, 0,
                    NI_NUMERICHOST) != 0)
      text[0] = '\0';
    VlkRefineIPv6Addr(text);
  }
  out.init(text);
}

void VlkRefineIPv6Addr(char* text) {
  if (text == nullptr || text[0] == '\0') return;
  char* percent = std::strchr(text, '%');
  if (percent != nullptr) *percent = '\0';
}

namespace {

bool allOf(const char* text, const char* allowed) {
  if (text == nullptr || text[0] == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p >= '0' && *p <= '9') continue;
    if (std::strchr(allowed, *p) == nullptr) return false;
  }
  return true;
}

}  // namespace

Ebool VlkIsIPv4Format(const char* text) { return allOf(text, ".") ? VLK_TRUE : VLK_FALSE; }

Ebool VlkIsIPFormat(const char* text) { return allOf(text, ".:") ? VLK_TRUE : VLK_FALSE; }

Ebool VlkIsIPv6Format(const char* text) {
  if (text == nullptr || text[0] == '\0') return VLK_FALSE;
  // A ':' counts only outside double-quoted stretches.
  bool outside = true;
  for (const char* p = text; *p != '\0'; ++p) {
    if (outside && *p == ':') return VLK_TRUE;
    if (*p == '"') outside = !outside;
  }
  return VLK_FALSE;
}

EerrNo VlkGetServerInfo(const char* text, Cvlk_tmp_str& host, unsigned short& port) {
  if (text == nullptr || text[0] == '\0') return ERR_INVALID_PARAM;
  const char* bracket = std::strrchr(text, ']');
  const char* colon = std::strrchr(text, ':');
  if (bracket != nullptr) {
    host.init(text, static_cast<unsigned int>(bracket - text + 1));
  } else if (colon == nullptr) {
    host.init(text);
    return ERR_OK;
  } else {
    host.init(text, static_cast<unsigned int>(colon - text));
  }
  if (colon != nullptr) {
    // The whole rest must be a number (0x hexadecimal and leading-0 octal
    // accepted); anything else, blanks and signs included, gives port 0.
    const char* p = colon + 1;
    bool plain = *p >= '0' && *p <= '9';
    for (; plain && *p != '\0'; ++p) plain = std::isalnum(static_cast<unsigned char>(*p)) != 0;
    port = static_cast<unsigned short>(plain ? VlkStrToU32(colon + 1) : 0);
  }
  return ERR_OK;
}
