// The UDP server on loopback endpoints of both families. (Bad datagrams: test_net_hostile.cpp.)
#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

std::atomic<int> g_testFd{-1};    // the test's own datagram socket
std::atomic<int> g_libFlags{-1};  // the flags of the last sendto on any other socket

}  // namespace

// Stands in front of the C library's sendto for the whole process (the
// library's calls included), recording the flags of the sends not the test's.
extern "C" ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen) {
  if (fd != g_testFd.load()) g_libFlags = flags;
  return ::syscall(SYS_sendto, fd, buf, len, flags, to, tolen);
}

namespace {

TEST(UdpServer, BindingRulesAndTheirFailures) {
  RecordingUdp udp;
  EXPECT_EQ(udp.Bind(static_cast<unsigned short>(0), 1, 2), 0u);
  EXPECT_EQ(udp.getBusyNodes(), 0u);
  unsigned short port = 0;
  const unsigned int id = udp.bindAnyPort(port, 1, 2);
  ASSERT_NE(id, 0u);
  ASSERT_NE(port, 0);
  // The port is held for both families: a second endpoint on it fails, its node closed again.
  if (hasIPv6Loopback()) {
    EXPECT_EQ(udp.Bind(port, 3, 4), 0u);
    EXPECT_EQ(udp.rec.count("closed "), 1);
    EXPECT_EQ(udp.getBusyNodes(), 1u);
  }
  unsigned int node = 0;
  EXPECT_EQ(udp.bindIPv4Addr(node, loopbackAddr(AF_INET, port)), ERR_FAIL);  // in use
  ASSERT_NE(node, 0u);  // the node stays taken for the caller to close
  udp.close(node);
  unsigned int fresh = 0;
  Cvlk_uaddr v4 = loopbackAddr(AF_INET, 0);
  EXPECT_EQ(udp.bindIPv6Addr(fresh, v4), ERR_INVALID_PARAM);  // an IPv4 address
  EXPECT_EQ(udp.bindIPv4Addr(fresh, v4), ERR_INVALID_PARAM);  // port 0
  EXPECT_EQ(fresh, 0u);
  unsigned int stale = id + 0x10000u;
  EXPECT_EQ(udp.bindIPv4Addr(stale, loopbackAddr(AF_INET, 1)), ERR_OBJ_NOT_FOUND);
  unsigned int same = id;
  EXPECT_EQ(udp.bindIPv4Addr(same, loopbackAddr(AF_INET, port)), ERR_OBJ_EXISTED);
  // An endpoint on IPv4 alone cannot reach an IPv6 destination.
  Cvlk_uaddr v6dest = loopbackAddr(AF_INET6, 9);
  const unsigned short freed = UdpPeer(AF_INET).port();
  const unsigned int v4only = udp.Bind(loopbackAddr(AF_INET, freed), 0, 0);
  ASSERT_NE(v4only, 0u);
  EXPECT_EQ(udp.SendTo(v4only, &v6dest, "x", 1), ERR_FAIL);
  EXPECT_EQ(udp.SendTo(id, nullptr, "x", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(udp.SendTo(id, "", 9, const_cast<char*>("x"), 1), ERR_INVALID_PARAM);
  EXPECT_EQ(udp.SendTo(id + 0x10000u, &v6dest, "x", 1), ERR_INVALID_OBJ);
}

// checkData sees every datagram with its sender; only those it passes reach
// procData, whose answers go back to the sender without waiting. An endpoint
// closed while the thread waits on it gives up its port at once (it stayed
// bound until the waiting thread let go of the socket). procTimeout runs once a
// wait timeout is set (the current wait takes it at once); stop closes every
// endpoint left.
TEST(UdpServer, CheckDataGatesProcDataEchoesNeverWaitAndClosedEndpointsGiveUpTheirPorts) {
  auto portFree = [](unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Cvlk_uaddr a = loopbackAddr(AF_INET, port);
    const bool free = eventually([&] { return ::bind(fd, a.getAddr(), sizeof(sockaddr_in)) == 0; });
    ::close(fd);
    return free;
  };
  for (int family : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && !hasIPv6Loopback()) continue;
    const int version = family == AF_INET ? 4 : 6;
    SCOPED_TRACE(version);
    RecordingUdp udp;
    udp.start();  // nothing bound: the thread waits for a bind, which must wake it
    ASSERT_TRUE(eventually([&] { return udp.loopTid != 0; }) && waitUntilPolling(udp.loopTid));
    unsigned short port = 0, other = 0;
    const unsigned int id = udp.bindAnyPort(port, 5, 6);
    ASSERT_NE(id, 0u);
    UdpPeer peer(family);
    g_testFd = peer.fd();
    const std::string hundred(100, 'h');
    udp.checkResult = 1;  // looked at, not handed on
    ASSERT_TRUE(peer.send(port, hundred));
    EXPECT_EQ(udp.rec.waitFor("checked "), seen("checked", id, version, peer.port(), hundred));
    udp.checkResult = 0;
    udp.echo = true;
    g_libFlags = -1;
    ASSERT_TRUE(peer.send(port, "second"));
    EXPECT_EQ(udp.rec.waitFor("processed "), seen("processed", id, version, peer.port(), "second"));
    EXPECT_EQ(udp.rec.count("checked "), 2);
    EXPECT_EQ(udp.rec.count("processed "), 1);
    bool got = false;
    EXPECT_EQ(peer.receive(got), "second");
    // A send that waited for room would hold the server's lock, which the
    // receive path needs. (On loopback a datagram never waits: the flags tell.)
    EXPECT_NE(g_libFlags.load(), -1);
    EXPECT_NE(g_libFlags.load() & MSG_DONTWAIT, 0);
    g_testFd = -1;
    EXPECT_TRUE(waitUntilPolling(udp.loopTid));  // the thread waits on the endpoint again
    udp.close(id);
    EXPECT_TRUE(portFree(port));
    ASSERT_NE(udp.bindAnyPort(other, 0, 0), 0u);
    udp.setWaitTimeout(1);
    ASSERT_TRUE(udp.rec.waitLimited("timeout", 2));
    udp.stop();
    EXPECT_FALSE(udp.isRunning());
    EXPECT_EQ(udp.rec.count("closed "), 2);
    EXPECT_TRUE(portFree(other));
  }
}

}  // namespace
