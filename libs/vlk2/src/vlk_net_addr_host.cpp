// Name resolution and the host's own addresses: resolving names to address
// text, the host's first IPv4 and IPv6 address, and interface hardware
// addresses (getifaddrs).
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>

#include "vlk_net.h"

EerrNo VlkGetIPAddrByName(const char* name, Cvlk_tmp_str& out) {
  if (name == nullptr || name[0] == '\0') return ERR_INVALID_PARAM;
  Cvlk_uaddr addr;
  if (addr.setHostName(name) != 0) return ERR_OBJ_NOT_FOUND;
  VlkInetNtoP(addr, out);
  return ERR_OK;
}

in_addr VlkGetIPv4AddrByName(const char* name) {
  in_addr result;
  result.s_addr = 0;
  if (name == nullptr) return result;
  // getaddrinfo limited to IPv4 is the thread-safe form of gethostbyname.
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return result;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      result = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
      break;
    }
  }
  freeaddrinfo(list);
  return result;
}

namespace {

int localAddress(int family, Cvlk_tmp_str& out) {
  char host[256];
  std::memset(host, 0, sizeof(host));
  if (gethostname(host, sizeof(host) - 1) != 0) return -1;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, nullptr, &list) != 0) return -2;
  int result = -3;
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != family || ai->ai_addr == nullptr) continue;
    Cvlk_uaddr addr;
    if (family == AF_INET) {
      addr.version = 4;
      std::memcpy(&addr.addr.v4, ai->ai_addr, sizeof(sockaddr_in));
    } else {
      addr.version = 6;
      std::memcpy(&addr.addr.v6, ai->ai_addr, sizeof(sockaddr_in6));
    }
    addr.getAddrStr(out);
    result = 0;
    break;
  }
  freeaddrinfo(list);
  return result;
}

}  // namespace

int VlkGetLocalIPv4(Cvlk_tmp_str& out) { return localAddress(AF_INET, out); }

int VlkGetLocalIPv6(Cvlk_tmp_str& out) { return localAddress(AF_INET6, out); }

EerrNo VlkGetLocalIP(char* out) {
  Cvlk_tmp_str text;
  if (VlkGetLocalIPv4(text) < 0) return ERR_OBJ_NOT_FOUND;
  if (out == nullptr) return ERR_OK;
  // At most 19 characters and a terminating zero.
  std::size_t n = std::strlen(text.c_str());
  if (n > 19) n = 19;
  std::memcpy(out, text.c_str(), n);
  out[n] = '\0';
  return ERR_OK;
}

EerrNo VlkGetMACByName(const char* name, unsigned char* mac) {
  Cvlk_tmp_str wanted;
  if (mac == nullptr || VlkGetIPAddrByName(name, wanted) != ERR_OK) return ERR_FAIL;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0 || list == nullptr) return ERR_FAIL;
  // Find the first interface, in the platform's order, whose first IPv4
  // address is the wanted one; then its link-layer address.
  const char* match = nullptr;
  for (const ifaddrs* it = list; it != nullptr && match == nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
    bool first = true;  // is this the interface's first IPv4 entry?
    for (const ifaddrs* before = list; before != it; before = before->ifa_next) {
      if (before->ifa_addr != nullptr && before->ifa_addr->sa_family == AF_INET &&
          std::strcmp(before->ifa_name, it->ifa_name) == 0) {
        first = false;
        break;
      }
    }
    if (!first) continue;
    Cvlk_uaddr addr;
    std::memcpy(&addr.addr.v4, it->ifa_addr, sizeof(sockaddr_in));
    Cvlk_tmp_str text;
    addr.getAddrStr(text);
    if (std::strcmp(text.c_str(), wanted.c_str()) == 0) match = it->ifa_name;
  }
  EerrNo result = ERR_FAIL;
  if (match != nullptr) {
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET) continue;
      if (std::strcmp(it->ifa_name, match) != 0) continue;
      const sockaddr_ll* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
      std::memset(mac, 0, 8);
      std::memcpy(mac, ll->sll_addr, ll->sll_halen < 8 ? ll->sll_halen : 8);
      result = ERR_OK;
      break;
    }
  }
  freeifaddrs(list);
  return result;
}

EerrNo VlkGetMACStrByName(const char* name, Cvlk_tmp_str& out) {
  unsigned char mac[8] = {0};
  EerrNo err = VlkGetMACByName(name, mac);
  if (err != ERR_OK) return err;
  out.set("%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return ERR_OK;
}
