// Socket addresses: the value type, its comparisons and text forms, how a
// resolver answer is picked, host-and-port splitting, and the host queries.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "vlk_net.h"
#include "vlk_net_addr_int.h"

namespace {

Cvlk_uaddr v4(const char* ip, unsigned short port) {
  Cvlk_uaddr a;
  a.initAnyAddrV4(port);
  inet_pton(AF_INET, ip, &a.addr.v4.sin_addr);
  return a;
}

Cvlk_uaddr v6(const char* ip, unsigned short port) {
  Cvlk_uaddr a;
  a.initAnyAddrV6(port);
  inet_pton(AF_INET6, ip, &a.addr.v6.sin6_addr);
  return a;
}

TEST(Uaddr, FreshAddressIsIPv4AnyPortZeroAndInvalidUntilItHasAPort) {
  Cvlk_uaddr a;
  EXPECT_EQ(a.version, 4);
  EXPECT_EQ(a.addr.sa.sa_family, AF_INET);
  EXPECT_EQ(a.addr.v4.sin_addr.s_addr, 0u);
  EXPECT_EQ(a.getAddrLen(), 16);
  EXPECT_EQ(a.isValid(), VLK_FALSE);
  EXPECT_EQ(a.setPort(80), 0);
  EXPECT_EQ(a.isValid(), VLK_TRUE);
  EXPECT_EQ(a.getPort(), 80);
  EXPECT_EQ(a.addr.v4.sin_port, htons(80));
  a.initAnyAddrV6(443);
  EXPECT_EQ(a.version, 6);
  EXPECT_EQ(a.getAddrLen(), 28);
  EXPECT_EQ(a.getPort(), 443);
  a.init();
  EXPECT_EQ(a.version, 4);
  EXPECT_EQ(a.getPort(), 0);
}

TEST(Uaddr, CompareGivesPortAndAddressBits) {
  EXPECT_EQ(v4("10.0.0.1", 80).compare(v4("10.0.0.1", 81)), ADDR_SAME_IP);
  EXPECT_EQ(v4("10.0.0.1", 80).compare(v4("10.0.0.2", 80)), ADDR_SAME_PORT);
  EXPECT_EQ(v4("10.0.0.1", 80).compare(v4("10.0.0.2", 81)), ADDR_DIFFERENT);
  EXPECT_EQ(v4("10.0.0.1", 80).compare(v4("10.0.0.1", 80)), ADDR_SAME);
  EXPECT_EQ(v4("0.0.0.0", 80).compare(v6("::", 80)), ADDR_DIFFERENT);
  EXPECT_EQ(v6("::1", 80).compare(v6("::1", 80)), ADDR_SAME);
  EXPECT_EQ(v6("::1", 80).compare(v6("::2", 80)), ADDR_SAME_PORT);
  EXPECT_EQ(v4("127.0.0.1", 80).compare("127.0.0.1", 80), ADDR_SAME);
  // A host that cannot be resolved compares as 0.0.0.0 port 0.
  EXPECT_EQ(v4("0.0.0.0", 0).compare("", 80), ADDR_SAME);
}

TEST(Uaddr, IsSameNeedsNonZeroEqualPortsWhereCompareDoesNot) {
  EXPECT_EQ(v4("10.0.0.1", 0).isSame(v4("10.0.0.1", 0)), VLK_FALSE);
  EXPECT_EQ(v4("10.0.0.1", 0).compare(v4("10.0.0.1", 0)), ADDR_SAME);
  EXPECT_EQ(v4("10.0.0.1", 9).isSame(v4("10.0.0.1", 9)), VLK_TRUE);
  EXPECT_TRUE(v4("10.0.0.1", 9) == v4("10.0.0.1", 9));
  EXPECT_FALSE(v4("10.0.0.1", 9) == v4("10.0.0.1", 8));
  // The scope id is not part of the comparison.
  Cvlk_uaddr scoped = v6("fe80::1", 9);
  scoped.addr.v6.sin6_scope_id = 3;
  EXPECT_EQ(scoped.isSame(v6("fe80::1", 9)), VLK_TRUE);
}

TEST(Uaddr, TextForms) {
  Cvlk_tmp_str out;
  v4("192.168.1.20", 8080).getURLStr(out);
  EXPECT_STREQ(out.c_str(), "192.168.1.20:8080");
  v6("::1", 80).getURLStr(out);
  EXPECT_STREQ(out.c_str(), "[::1]:80");
  v4("10.0.0.1", 0).getURLStr(out);  // port 0: untouched
  EXPECT_STREQ(out.c_str(), "[::1]:80");
  unsigned short port = 0;
  v6("2001:db8::5", 5060).getAddress(out, port);
  EXPECT_STREQ(out.c_str(), "2001:db8::5");
  EXPECT_EQ(port, 5060);
  Cvlk_uaddr scoped = v6("fe80::1", 1);
  scoped.addr.v6.sin6_scope_id = 1;  // loopback's index: rendered "%lo", then cut
  VlkInetNtoP(scoped, out);
  EXPECT_STREQ(out.c_str(), "fe80::1");
  char text[] = "fe80::1%eth0";
  VlkRefineIPv6Addr(text);
  EXPECT_STREQ(text, "fe80::1");
}

TEST(Uaddr, SetAddressAndSetHostName) {
  Cvlk_uaddr a = v4("10.9.8.7", 99);
  EXPECT_EQ(a.setAddress("127.0.0.1", 0), -1);
  EXPECT_EQ(a.setAddress(nullptr, 80), -1);
  EXPECT_EQ(a.setHostName(""), -1);
  EXPECT_EQ(a.setAddress("no-such-host.invalid", 80), -2);
  EXPECT_EQ(a.compare(v4("10.9.8.7", 99)), ADDR_SAME);  // unchanged by failures
  EXPECT_EQ(a.setHostName("127.0.0.1"), 0);
  EXPECT_EQ(a.version, 4);
  EXPECT_EQ(a.getPort(), 0);  // a resolved address carries port 0
  EXPECT_EQ(a.setAddress("::1", 5000), 0);
  EXPECT_EQ(a.version, 6);
  EXPECT_EQ(a.compare(v6("::1", 5000)), ADDR_SAME);
}

// Builds a crafted resolver answer of the given families, in order.
struct Answer {
  explicit Answer(std::initializer_list<const char*> ips) {
    for (const char* ip : ips) {
      auto* store = new sockaddr_storage();
      addrinfo ai;
      std::memset(&ai, 0, sizeof(ai));
      if (std::strchr(ip, ':') != nullptr) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(store);
        s6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, ip, &s6->sin6_addr);
        ai.ai_family = AF_INET6;
        ai.ai_addrlen = sizeof(sockaddr_in6);
      } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(store);
        s4->sin_family = AF_INET;
        inet_pton(AF_INET, ip, &s4->sin_addr);
        ai.ai_family = AF_INET;
        ai.ai_addrlen = sizeof(sockaddr_in);
      }
      ai.ai_addr = reinterpret_cast<sockaddr*>(store);
      stores.push_back(store);
      entries.push_back(ai);
    }
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) entries[i].ai_next = &entries[i + 1];
  }
  ~Answer() {
    for (auto* s : stores) delete s;
  }
  const addrinfo* list() const { return entries.empty() ? nullptr : &entries[0]; }
  std::vector<sockaddr_storage*> stores;
  std::vector<addrinfo> entries;
};

TEST(Resolution, IPv4AnswerWinsWhateverItsPlace) {
  Cvlk_tmp_str text;
  Cvlk_uaddr a;
  Answer v6First({"2001:db8::1", "2001:db8::2", "192.0.2.7", "2001:db8::3"});
  VlkPickResolvedAddr(a, v6First.list());
  EXPECT_EQ(a.version, 4);
  a.getAddrStr(text);
  EXPECT_STREQ(text.c_str(), "192.0.2.7");

  Cvlk_uaddr b;
  Answer onlyV6({"2001:db8::1", "2001:db8::2"});
  VlkPickResolvedAddr(b, onlyV6.list());
  EXPECT_EQ(b.version, 6);
  b.getAddrStr(text);
  EXPECT_STREQ(text.c_str(), "2001:db8::2");  // the last IPv6 entry stands

  Cvlk_uaddr c = v4("10.1.1.1", 7);
  VlkPickResolvedAddr(c, nullptr);
  EXPECT_EQ(c.compare(v4("10.1.1.1", 7)), ADDR_SAME);
}

TEST(ServerInfo, SplitsHostAndPort) {
  const struct {
    const char* text;
    const char* host;
    unsigned short port;  // 77: the port passed in stays
  } cases[] = {
      {"10.1.2.3:8080", "10.1.2.3", 8080}, {"[fe80::1]:80", "[fe80::1]", 80}, {"example.org", "example.org", 77},
      {"[::1]", "[::1]", 0},  // "1]" after the last ':' is no number
      {"h:0x50", "h", 80},     {"h:70000", "h", static_cast<unsigned short>(70000)},
      {"h:0b101", "h", 0},     {"h: 80", "h", 0}, {"h:+80", "h", 0}, {"h:80 ", "h", 0}, {"h:", "h", 0},
  };
  Cvlk_tmp_str host;
  for (const auto& c : cases) {
    unsigned short port = 77;
    EXPECT_EQ(VlkGetServerInfo(c.text, host, port), ERR_OK) << c.text;
    EXPECT_STREQ(host.c_str(), c.host);
    EXPECT_EQ(port, c.port) << c.text;
  }
  unsigned short port = 0;
  EXPECT_EQ(VlkGetServerInfo("", host, port), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetServerInfo(nullptr, host, port), ERR_INVALID_PARAM);
}

TEST(Formats, DigitsDotsAndColons) {
  EXPECT_EQ(VlkIsIPv4Format("999.1"), VLK_TRUE);
  EXPECT_EQ(VlkIsIPv4Format("1.2.3.4"), VLK_TRUE);
  EXPECT_EQ(VlkIsIPv4Format(""), VLK_FALSE);
  EXPECT_EQ(VlkIsIPv4Format(nullptr), VLK_FALSE);
  EXPECT_EQ(VlkIsIPv4Format("1.2.3.a"), VLK_FALSE);
  EXPECT_EQ(VlkIsIPFormat("fe80::1"), VLK_FALSE);
  EXPECT_EQ(VlkIsIPFormat("1::2"), VLK_TRUE);
  EXPECT_EQ(VlkIsIPv6Format("fe80::1"), VLK_TRUE);
  EXPECT_EQ(VlkIsIPv6Format("\"a:b\""), VLK_FALSE);
  EXPECT_EQ(VlkIsIPv6Format("\"a\":b"), VLK_TRUE);
  EXPECT_EQ(VlkIsIPv6Format(""), VLK_FALSE);
}

TEST(HostQueries, NamesAndLoopbackInterface) {
  Cvlk_tmp_str text;
  EXPECT_EQ(VlkGetIPAddrByName("", text), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetIPAddrByName("no-such-host.invalid", text), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(VlkGetIPAddrByName("127.0.0.1", text), ERR_OK);
  EXPECT_STREQ(text.c_str(), "127.0.0.1");
  EXPECT_EQ(VlkGetIPv4AddrByName("127.0.0.1").s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(VlkGetIPv4AddrByName(nullptr).s_addr, 0u);
  // The loopback interface's first IPv4 address is 127.0.0.1; its hardware
  // address is all zeros.
  EXPECT_EQ(VlkGetMACStrByName("127.0.0.1", text), ERR_OK);
  EXPECT_STREQ(text.c_str(), "00-00-00-00-00-00");
  unsigned char mac[8];
  EXPECT_EQ(VlkGetMACByName("192.0.2.254", mac), ERR_FAIL);  // no interface has it
  EXPECT_EQ(VlkGetMACByName("", mac), ERR_FAIL);
  // The host's own addresses depend on the machine; the results must agree.
  char local[20] = {0};
  EerrNo err = VlkGetLocalIP(local);
  EXPECT_EQ(err == ERR_OK, VlkGetLocalIPv4(text) == 0);
  if (err == ERR_OK) {
    EXPECT_EQ(VlkIsIPv4Format(local), VLK_TRUE);
  }
}

TEST(ReadSet, HoldsEachSocketOnceAndAtMost1024) {
  auto set = std::make_unique<Cvlk_read_set>();
  EXPECT_TRUE(set->add(5));
  EXPECT_FALSE(set->add(5));
  EXPECT_FALSE(set->add(INVALID_SOCKET));
  for (unsigned int s = 6; s < 6 + 2000; ++s) set->add(s * 7);
  EXPECT_EQ(set->count(), Cvlk_read_set::MAX_SOCKETS);
  EXPECT_TRUE(set->contains(5));
  EXPECT_FALSE(set->add(3));
  set->clear();
  EXPECT_EQ(set->count(), 0u);
  EXPECT_FALSE(set->contains(5));
}

TEST(SockMap, AgreesWithAReferenceMapUnderInsertsAndRemovals) {
  Cvlk_sock_map map(64);
  std::map<unsigned int, unsigned int> ref;
  unsigned int seed = 12345;
  auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int step = 0; step < 20000; ++step) {
    unsigned int socket = next() % 300;  // many collisions in few slots
    if (next() % 3 != 0 && ref.size() < 64) {
      unsigned int id = 0x10000u + next();
      ASSERT_TRUE(map.insert(socket, id));
      ref[socket] = id;
    } else {
      map.remove(socket);
      ref.erase(socket);
    }
    ASSERT_EQ(map.size(), ref.size());
    for (unsigned int probe = 0; probe < 300; probe += 17) {
      auto it = ref.find(probe);
      ASSERT_EQ(map.find(probe), it == ref.end() ? 0u : it->second);
    }
  }
  EXPECT_EQ(map.find(INVALID_SOCKET), 0u);
}

}  // namespace
