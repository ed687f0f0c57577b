// vlk_net_addr_int.h (internal: not installed): how a resolver answer becomes
// one Cvlk_uaddr, kept inline so that tests can feed it crafted answers.
#ifndef VLK_NET_ADDR_INT_H
#define VLK_NET_ADDR_INT_H

#include <netdb.h>

#include <cstring>

#include "vlk_net.h"

// Walks the answer in order: the first IPv4 entry ends the walk and wins;
// before it, every IPv6 entry overwrites the address (so the last one stands).
// Other families are skipped. An answer without either leaves addr unchanged.
inline void VlkPickResolvedAddr(Cvlk_uaddr& addr, const addrinfo* list) {
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addr == nullptr) continue;
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      addr.version = 4;
      std::memcpy(&addr.addr.v4, ai->ai_addr, sizeof(sockaddr_in));
      return;
    }
    if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
      addr.version = 6;
      std::memcpy(&addr.addr.v6, ai->ai_addr, sizeof(sockaddr_in6));
    }
  }
}

#endif  // VLK_NET_ADDR_INT_H
