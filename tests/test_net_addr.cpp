// Socket addresses (comparisons, text forms, resolver answers, host and port),
// the read set's and socket map's limits.
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

// An address from its text: IPv6 when it has a ':'.
Cvlk_uaddr ip(const char* text, unsigned short port) {
  Cvlk_uaddr a;
  if (std::strchr(text, ':') != nullptr) {
    a.initAnyAddrV6(port);
    inet_pton(AF_INET6, text, &a.addr.v6.sin6_addr);
  } else {
    a.initAnyAddrV4(port);
    inet_pton(AF_INET, text, &a.addr.v4.sin_addr);
  }
  return a;
}

// Comparison (port and address bits; the scope id is no part of it; isSame
// needs equal non-zero ports) and the text forms (port 0: out untouched).
TEST(Uaddr, CompareTextFormsAndSetters) {
  const struct {
    Cvlk_uaddr a, b;
    Eaddr_compare_result compare;
    Ebool same;
    const char* url;
  } cases[] = {
      {ip("10.0.0.1", 80), ip("10.0.0.1", 81), ADDR_SAME_IP, VLK_FALSE, "10.0.0.1:80"},
      {ip("10.0.0.1", 80), ip("10.0.0.2", 80), ADDR_SAME_PORT, VLK_FALSE, "10.0.0.1:80"},
      {ip("10.0.0.1", 80), ip("10.0.0.2", 81), ADDR_DIFFERENT, VLK_FALSE, "10.0.0.1:80"},
      {ip("10.0.0.1", 80), ip("10.0.0.1", 80), ADDR_SAME, VLK_TRUE, "10.0.0.1:80"},
      {ip("10.0.0.1", 0), ip("10.0.0.1", 0), ADDR_SAME, VLK_FALSE, "-"},
      {ip("0.0.0.0", 80), ip("::", 80), ADDR_DIFFERENT, VLK_FALSE, "0.0.0.0:80"},
      {ip("::1", 80), ip("::1", 80), ADDR_SAME, VLK_TRUE, "[::1]:80"},
      {ip("::1", 80), ip("::2", 80), ADDR_SAME_PORT, VLK_FALSE, "[::1]:80"},
  };
  for (const auto& c : cases) {
    Cvlk_tmp_str text;
    text.set("-");
    c.a.getURLStr(text);
    EXPECT_STREQ(text.c_str(), c.url);
    EXPECT_EQ(c.a.compare(c.b), c.compare) << c.url;
    EXPECT_EQ(c.a.isSame(c.b), c.same) << c.url;
    EXPECT_EQ(c.a == c.b, c.same == VLK_TRUE) << c.url;
  }
  EXPECT_EQ(ip("127.0.0.1", 80).compare("127.0.0.1", 80), ADDR_SAME);
  EXPECT_EQ(ip("0.0.0.0", 0).compare("", 80), ADDR_SAME);  // a host that cannot be resolved: 0.0.0.0 port 0
  Cvlk_uaddr scoped = ip("fe80::1", 9);
  scoped.addr.v6.sin6_scope_id = 1;  // loopback's index: rendered "%lo", then cut
  EXPECT_EQ(scoped.isSame(ip("fe80::1", 9)), VLK_TRUE);
  Cvlk_tmp_str out;
  VlkInetNtoP(scoped, out);
  EXPECT_STREQ(out.c_str(), "fe80::1");
  // The setters leave the address alone on failure.
  Cvlk_uaddr a = ip("10.9.8.7", 99);
  EXPECT_EQ(a.setAddress("127.0.0.1", 0), -1);
  EXPECT_EQ(a.setAddress(nullptr, 80), -1);
  EXPECT_EQ(a.setHostName(""), -1);
  EXPECT_EQ(a.setAddress("no-such-host.invalid", 80), -2);
  EXPECT_EQ(a.compare(ip("10.9.8.7", 99)), ADDR_SAME);
  EXPECT_EQ(a.setHostName("127.0.0.1"), 0);
  EXPECT_EQ(a.compare(ip("127.0.0.1", 0)), ADDR_SAME);  // a resolved address carries port 0
  EXPECT_EQ(a.setAddress("::1", 5000), 0);
  EXPECT_EQ(a.compare(ip("::1", 5000)), ADDR_SAME);
}

// A resolver answer's IPv4 entry wins whatever its place; else the last IPv6
// entry stands; no answer leaves the address alone.
TEST(Resolution, IPv4AnswerWinsWhateverItsPlace) {
  const struct {
    std::vector<const char*> answer;
    const char* picked;
  } cases[] = {
      {{"2001:db8::1", "2001:db8::2", "192.0.2.7", "2001:db8::3"}, "192.0.2.7"},
      {{"2001:db8::1", "2001:db8::2"}, "2001:db8::2"},
      {{}, "10.1.1.1"},
  };
  for (const auto& c : cases) {
    std::vector<Cvlk_uaddr> stores;
    for (const char* text : c.answer) stores.push_back(ip(text, 0));
    std::vector<addrinfo> entries(stores.size());
    for (std::size_t i = 0; i < stores.size(); ++i) {
      entries[i].ai_family = stores[i].addr.sa.sa_family;
      entries[i].ai_addr = stores[i].getAddr();
      entries[i].ai_addrlen = static_cast<socklen_t>(stores[i].getAddrLen());
      entries[i].ai_next = i + 1 < stores.size() ? &entries[i + 1] : nullptr;
    }
    Cvlk_uaddr a = ip("10.1.1.1", 7);
    VlkPickResolvedAddr(a, entries.empty() ? nullptr : &entries[0]);
    Cvlk_tmp_str text;
    a.getAddrStr(text);
    EXPECT_STREQ(text.c_str(), c.picked);
  }
}

TEST(ServerInfo, SplitsHostAndPort) {
  const struct {
    const char* text;
    const char* host;
    unsigned short port;  // 77: the port passed in stays
  } cases[] = {
      {"10.1.2.3:8080", "10.1.2.3", 8080}, {"[fe80::1]:80", "[fe80::1]", 80}, {"example.org", "example.org", 77},
      {"[::1]", "[::1]", 0},  // "1]" after the last ':' is no number
      {"h:0x50", "h", 80},     {"h:070", "h", 56}, {"h:70000", "h", static_cast<unsigned short>(70000)},
      {"h:0b101", "h", 0},     {"h: 80", "h", 0},  {"h:+80", "h", 0}, {"h:80 ", "h", 0}, {"h:", "h", 0},
      {"a:b:9", "a:b", 9},     {":5", "", 5},
  };
  Cvlk_tmp_str host;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned short port = 77;
    EXPECT_EQ(VlkGetServerInfo(c.text, host, port), ERR_OK);
    EXPECT_STREQ(host.c_str(), c.host);
    EXPECT_EQ(port, c.port);
  }
  unsigned short port = 0;
  EXPECT_EQ(VlkGetServerInfo("", host, port), ERR_INVALID_PARAM);
  EXPECT_EQ(VlkGetServerInfo(nullptr, host, port), ERR_INVALID_PARAM);
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
