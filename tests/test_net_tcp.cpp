// The TCP server over real loopback sockets: reading, closing, idle checks,
// outgoing connections, running out of descriptors, SIGPIPE, stop. (The pool's
// limit and descriptors above 1024 are in test_net_hostile.cpp.)
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

struct Family {
  int af;
  const char* name;
};

class TcpFamily : public ::testing::TestWithParam<Family> {
 protected:
  void SetUp() override {
    if (GetParam().af == AF_INET6 && !hasIPv6Loopback()) GTEST_SKIP() << "no ::1 on this machine";
  }
  int af() const { return GetParam().af; }
};

INSTANTIATE_TEST_SUITE_P(Loopback, TcpFamily, ::testing::Values(Family{AF_INET, "IPv4"}, Family{AF_INET6, "IPv6"}),
                         [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

TEST(TcpServer, ConstructionAndIdsThatNameNothing) {
  RecordingServer server(5000);
  EXPECT_EQ(server.getMaxNodes(), 1024u);
  EXPECT_EQ(server.getRealNodes(), 1024u);
  EXPECT_EQ(server.getBusyNodes(), 0u);
  EXPECT_EQ(server.hasNode(0), VLK_FALSE);
  EXPECT_EQ(server.bind(0), ERR_INVALID_PARAM);
  EXPECT_EQ(server.sendTo(0x10001, "x", 1), ERR_INVALID_OPR);
  EXPECT_EQ(server.sendTo(0, "x", 1), ERR_INVALID_PARAM);
  EXPECT_EQ(server.broadcast("x", 1), ERR_OBJ_NOT_FOUND);
  EXPECT_EQ(server.getPeerAddr(0).isValid(), VLK_FALSE);
  Cvlk_uaddr zero;
  unsigned int id = 0;
  EXPECT_EQ(server.prepareConnect(zero, id), ERR_INVALID_PARAM);
  Cvlk_uaddr nowhere;  // a port nobody listens on: no node is taken
  {
    Listener gone(AF_INET);
    nowhere = gone.addr;
  }
  EXPECT_EQ(server.prepareConnect(nowhere, id), ERR_FAIL);
  EXPECT_EQ(server.getBusyNodes(), 0u);
  // Nothing happens for ids that name no busy node.
  server.setUserInfo(0x10001, 1, 2);
  server.closeConnect(0x10001);
  EXPECT_TRUE(server.rec.events().empty());
}

TEST_P(TcpFamily, LargeWriteArrivesInPiecesOfAtMost4096) {
  Started s(4);
  int fd = connectLoopback(af(), s.port);
  ASSERT_GE(fd, 0);
  std::string payload(10000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(sendAll(fd, payload));
  unsigned int id = s.server.waitAnyNode();
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(s.server.waitReceived(id, payload.size()));
  EXPECT_EQ(s.server.received(id), payload);
  EXPECT_LE(s.server.maxPiece, 4096u);
  EXPECT_TRUE(s.server.allTerminated);
  Cvlk_uaddr peer = s.server.getPeerAddr(id);
  EXPECT_EQ(peer.version, af() == AF_INET ? 4 : 6);
  EXPECT_EQ(peer.isValid(), VLK_TRUE);
  ::close(fd);
}

TEST_P(TcpFamily, PeerCloseReportsClosingWithUserValuesThenClosed) {
  Started s(4);
  int fd = connectLoopback(af(), s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, "hello"));
  unsigned int id = s.server.waitAnyNode();
  ASSERT_NE(id, 0u);
  s.server.setUserInfo(id, 7, 9);
  ::close(fd);
  std::string closed = "closed " + std::to_string(id);
  ASSERT_EQ(s.server.rec.waitFor(closed), closed);
  int closing = s.server.rec.indexOf("closing 7 9");
  ASSERT_GE(closing, 0);
  EXPECT_LT(closing, s.server.rec.indexOf(closed));
  EXPECT_EQ(s.server.getPeerAddr(id).isValid(), VLK_FALSE);
  EXPECT_EQ(s.server.hasNode(id), VLK_FALSE);
  EXPECT_EQ(s.server.sendTo(id, "x", 1), ERR_INVALID_OPR);
}

TEST(TcpServer, KeepAliveReachesEveryConnectionAndSelfCheckClosesOnlyThoseThatNeverReceived) {
  Started s(4);
  int active = connectLoopback(AF_INET, s.port);
  ASSERT_GE(active, 0);
  ASSERT_TRUE(sendAll(active, "x"));
  unsigned int activeId = s.server.waitAnyNode();
  ASSERT_NE(activeId, 0u);
  int silent = connectLoopback(AF_INET, s.port);
  ASSERT_GE(silent, 0);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 2; }));
  s.server.keepAlive();  // writing is no activity for the check
  EXPECT_EQ(readN(active, 2), "\r\n");
  EXPECT_EQ(readN(silent, 2), "\r\n");
  s.server.selfCheck(3600);
  EXPECT_TRUE(waitPeerClosed(silent));
  EXPECT_EQ(s.server.getBusyNodes(), 1u);
  EXPECT_EQ(s.server.hasNode(activeId), VLK_TRUE);
  EXPECT_EQ(s.server.rec.indexOf("closing"), -1);
  ::close(silent);
  ::close(active);
}

void checkOutgoing(RecordingServer& server, int family) {
  Listener peer(family);
  unsigned int id = 0;
  ASSERT_EQ(server.prepareConnect(peer.addr, id), ERR_OK);
  ASSERT_NE(id, 0u);
  int conn = peer.accept();
  ASSERT_GE(conn, 0);
  // Watched at once: the loop needs no other socket's traffic to see it.
  ASSERT_TRUE(sendAll(conn, "from peer"));
  ASSERT_TRUE(server.waitReceived(id, 9));
  EXPECT_EQ(server.received(id), "from peer");
  EXPECT_EQ(server.sendTo(id, "to peer", 7), ERR_OK);
  EXPECT_EQ(readN(conn, 7), "to peer");
  EXPECT_EQ(server.getPeerAddr(id).compare(peer.addr), ADDR_SAME);
  server.closeConnect(id);
  EXPECT_TRUE(waitPeerClosed(conn));
  ::close(conn);
}

TEST_P(TcpFamily, OutgoingConnectionIsReadAndWrittenLikeAcceptedOnes) {
  Started s(4);
  checkOutgoing(s.server, af());
}

TEST(TcpServer, OutgoingConnectionStaysPlainOnATlsServer) {
  RecordingServer server(4);
  ASSERT_EQ(server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_OK);
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  checkOutgoing(server, AF_INET);
  EXPECT_EQ(server.rec.indexOf("new "), -1);
}

TEST(TcpServer, HooksMayCallSendAndCloseOnTheirOwnConnection) {
  Started s(4);
  s.server.hook = [&](unsigned int id, int len, char* data) {
    s.server.sendTo(id, data, static_cast<unsigned int>(len));
    if (std::memchr(data, 'q', static_cast<std::size_t>(len)) != nullptr) s.server.closeConnect(id);
  };
  int fd = connectLoopback(AF_INET, s.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(sendAll(fd, "echo"));
  EXPECT_EQ(readN(fd, 4), "echo");
  ASSERT_TRUE(sendAll(fd, "q"));
  EXPECT_EQ(readN(fd, 1), "q");
  EXPECT_TRUE(waitPeerClosed(fd));
  EXPECT_NE(s.server.rec.waitFor("closed "), "");
  ::close(fd);
}

TEST(TcpServer, WritingToAVanishedPeerFailsWithoutSigpipe) {
  Started s(4);
  expectWriteToVanishedPeerFails(s.server, [&] {
    int fd = connectLoopback(AF_INET, s.port);
    EXPECT_TRUE(sendAll(fd, "x"));
    return [fd] { ::close(fd); };
  });
}

TEST(TcpServer, StopEndsTheLoopAndClosesConnectionsAndListeners) {
  auto s = std::make_unique<Started>(4);
  int fd = connectLoopback(AF_INET, s->port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(s->server.rec.waitUntil([&] { return s->server.getBusyNodes() == 1; }));
  s->server.stop();
  EXPECT_FALSE(s->server.isRunning());
  EXPECT_EQ(s->server.getBusyNodes(), 0u);
  EXPECT_GE(s->server.rec.indexOf("closed "), 0);
  EXPECT_TRUE(waitPeerClosed(fd));
  ::close(fd);
  EXPECT_LT(connectLoopback(AF_INET, s->port), 0);
  s.reset();
}

// A bind is all or nothing: a family another socket holds fails it with the
// system's reason, and nothing listens on the other family either (its
// clients would otherwise reach a port the caller believes failed). A second
// bind, or startTLS after bind, would silently drop the open port: refused.
TEST(TcpServer, BindFailsWholeWithTheReasonAndRefusesToReplaceAnOpenPort) {
  RecordingServer first(2);
  unsigned short port = 0;
  ASSERT_EQ(first.bindAnyPort(port), ERR_OK);
  EXPECT_EQ(first.bind(port + 1 == 0 ? 1 : port + 1), ERR_INVALID_OPR);
  EXPECT_EQ(first.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_INVALID_OPR);
  first.start();
  // Still plain, on the first port.
  int c = connectLoopback(AF_INET, port);
  ASSERT_TRUE(sendAll(c, "plain"));
  unsigned int id = first.waitAnyNode();
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(first.waitReceived(id, 5));
  ::close(c);

  RecordingServer second(2);
  EXPECT_EQ(second.bind(port), ERR_OBJ_EXISTED);
  EXPECT_NE(second.rec.waitFor("error fail to bind port " + std::to_string(port)).find(std::strerror(EADDRINUSE)),
            std::string::npos);
  if (!hasIPv6Loopback()) return;
  // Only the IPv6 port is taken (by a socket of the test): no IPv4 listener stays.
  Cvlk_uaddr v6;
  v6.initAnyAddrV6(0);
  int holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
  socklen_t len = static_cast<socklen_t>(v6.getAddrLen());
  ASSERT_EQ(::bind(holder, v6.getAddr(), len), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  getsockname(holder, v6.getAddr(), &len);
  RecordingServer third(2);
  EXPECT_EQ(third.bind(v6.getPort()), ERR_OBJ_EXISTED);
  EXPECT_NE(third.rec.waitFor("error fail to bind port").find("IPv6"), std::string::npos);
  EXPECT_LT(connectLoopback(AF_INET, v6.getPort()), 0);
  ::close(holder);
  // The failed bind left nothing open: the port binds now.
  EXPECT_EQ(third.bind(v6.getPort()), ERR_OK);
}

// A server bound to one address serves that address alone, and reports that
// address taken as bind reports its port taken.
TEST(TcpServer, BindAddressServesThatAddressAlone) {
  const bool v6 = hasIPv6Loopback();
  for (int family : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && !v6) continue;
    SCOPED_TRACE(family == AF_INET ? "127.0.0.1" : "::1");
    RecordingServer server(2);
    unsigned short port = 0;
    ASSERT_EQ(server.bindAddress(loopbackAddr(family, 0), &port), ERR_OK);
    ASSERT_NE(port, 0);
    EXPECT_EQ(server.bindAddress(loopbackAddr(family, 0)), ERR_INVALID_OPR);
    EXPECT_EQ(server.bind(port), ERR_INVALID_OPR);
    server.start();
    int c = connectLoopback(family, port);
    ASSERT_TRUE(sendAll(c, "bound"));
    unsigned int id = server.waitAnyNode();
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(server.waitReceived(id, 5));
    ::close(c);
    if (family == AF_INET) {
      Cvlk_uaddr other = loopbackAddr(AF_INET, port);
      other.addr.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      EXPECT_NE(::connect(fd, other.getAddr(), static_cast<socklen_t>(other.getAddrLen())), 0);
      ::close(fd);
    }
    if (v6) {
      EXPECT_LT(connectLoopback(family == AF_INET ? AF_INET6 : AF_INET, port), 0);
    }

    RecordingServer second(2);
    EXPECT_EQ(second.bindAddress(loopbackAddr(family, port)), ERR_OBJ_EXISTED);
    EXPECT_NE(second.rec.waitFor("error fail to bind port " + std::to_string(port)).find(std::strerror(EADDRINUSE)),
              std::string::npos);
  }
}

}  // namespace

namespace {

bool isSocket(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST(TcpServer, EverySocketItOpensIsCloseOnExec) {
  Started s(4);
  int in = connectLoopback(AF_INET, s.port);
  ASSERT_GE(in, 0);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 1; }));
  Listener peer(AF_INET);
  unsigned int id = 0;
  ASSERT_EQ(s.server.prepareConnect(peer.addr, id), ERR_OK);
  // The test's own sockets are close-on-exec too, so every socket of the
  // process must carry the flag: listeners, accepted and outgoing ones.
  int sockets = 0;
  // The server closes its sockets under its lock; the scan takes it too.
  s.server.locked([&] {
    DIR* dir = opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
      int fd = std::atoi(e->d_name);
      if (e->d_name[0] == '.' || fd == dirfd(dir) || !isSocket(fd)) continue;
      ++sockets;
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    }
    closedir(dir);
  });
  EXPECT_GE(sockets, 5);  // two listeners, accepted, outgoing, the test's client
  ::close(in);
}

// Small answers go at once (TCP_NODELAY) on accepted and outgoing connections,
// unless the server is told otherwise.
TEST(TcpServer, NewConnectionsSendSmallWritesAtOnceUnlessTurnedOff) {
  Started s(4);
  Listener peer(AF_INET);
  auto noDelay = [&](unsigned int id) {
    int on = -1;
    socklen_t len = sizeof(on);
    getsockopt(s.server.socketOf(id), IPPROTO_TCP, TCP_NODELAY, &on, &len);
    return on;
  };
  int in = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(in, "x"));
  unsigned int accepted = s.server.waitAnyNode();
  ASSERT_NE(accepted, 0u);
  EXPECT_EQ(noDelay(accepted), 1);
  for (bool on : {true, false}) {
    s.server.setNoDelay(on);
    unsigned int out = 0;
    ASSERT_EQ(s.server.prepareConnect(peer.addr, out), ERR_OK);
    EXPECT_EQ(noDelay(out), on ? 1 : 0);
  }
  ::close(in);
}

TEST(TcpServer, AcceptFailingForWantOfDescriptorsTakesNoNodeAndDropsTheClient) {
  Started s(4);
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  // Use up every descriptor below a lowered limit.
  int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lowest, 0);
  rlimit lowered = lim;
  lowered.rlim_cur = static_cast<rlim_t>(lowest + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers{lowest};
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  sockaddr_in a;
  std::memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(s.port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  // The server cannot take it: the connection is dropped, no node is used.
  EXPECT_TRUE(waitPeerClosed(client));
  EXPECT_EQ(s.server.getBusyNodes(), 0u);
  EXPECT_NE(s.server.rec.waitFor("error Fail to accept TCP connection: out of descriptors").find("dropped 127.0.0.1:"),
            std::string::npos);
  ::close(client);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  // With descriptors back, clients are served again.
  int later = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(later, "back"));
  unsigned int id = s.server.waitAnyNode();
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(s.server.waitReceived(id, 4));
  ::close(later);
}

// Clients come and go while application threads broadcast, check for idle
// connections and close them: run under the thread sanitizer, this is where
// a race on the pool, the nodes or the cache would show.
TEST(TcpServer, ApplicationThreadsAndClientChurnShareThePoolSafely) {
  Started s(8);
  s.server.hook = [&](unsigned int id, int len, char* data) {
    s.server.sendTo(id, data, static_cast<unsigned int>(len));
  };
  std::atomic<bool> done{false};
  std::atomic<int> echoes{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int round = 0; round < 25; ++round) {
        int fd = connectLoopback(c % 2 == 0 ? AF_INET : (hasIPv6Loopback() ? AF_INET6 : AF_INET), s.port);
        if (fd < 0) continue;
        std::string msg = "m" + std::to_string(c) + "-" + std::to_string(round);
        if (sendAll(fd, msg) && readN(fd, msg.size()).size() == msg.size()) echoes.fetch_add(1);
        ::close(fd);
      }
    });
  }
  std::thread app([&] {
    while (!done.load()) {
      s.server.keepAlive();
      s.server.broadcast("b", 1);
      unsigned int ids[8];
      unsigned int n = 0;
      for (unsigned int i = 0; i < 8 && n < 8; ++i) {
        Cvlk_uaddr peer = s.server.getPeerAddr(0x10001 + i);  // usually stale ids: must be harmless
        if (peer.isValid() == VLK_TRUE) ids[n++] = 0x10001 + i;
      }
      for (unsigned int i = 0; i < n; ++i) s.server.setUserInfo(ids[i], 1, 2);
      s.server.selfCheck(3600);
    }
  });
  for (auto& t : clients) t.join();
  done.store(true);
  app.join();
  // selfCheck may cut exchanges short, so their number is not fixed; the
  // pool must end empty and the server must still serve.
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  int fd = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(fd, "after"));
  EXPECT_EQ(readN(fd, 5), "after");
  ::close(fd);
}

}  // namespace

namespace {

// Exposes the core's node lookups and records ioClosed.
class CoreServer : public RecordingServer {
 public:
  CoreServer() : RecordingServer(4) {}
  ~CoreServer() override { stop(); }  // the loop calls this class's ioClosed
  using Cvlk_io_server::getNode;
  using Cvlk_io_server::getNodeID;
  bool nodeGoneInIoClosed = false;

 protected:
  void ioClosed(unsigned int nodeId) override {
    nodeGoneInIoClosed = getNode(nodeId) == nullptr;
    rec.add("ioClosed " + std::to_string(nodeId));
  }
};

TEST(IoServerCore, CloseFreesTheNodeBeforeIoClosedAndSigClosed) {
  CoreServer server;
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  int fd = connectLoopback(AF_INET, port);
  ASSERT_TRUE(sendAll(fd, "x"));
  unsigned int id = server.waitAnyNode();
  ASSERT_NE(id, 0u);
  unsigned int socket;
  {
    Cvlk_tcp* node = static_cast<Cvlk_tcp*>(server.getNode(id));
    ASSERT_NE(node, nullptr);
    socket = node->getHandle();
  }
  EXPECT_EQ(server.getNodeID(socket), id);
  server.closeConnect(id);
  std::string closed = "closed " + std::to_string(id);
  ASSERT_EQ(server.rec.waitFor(closed), closed);
  EXPECT_LT(server.rec.indexOf("ioClosed " + std::to_string(id)), server.rec.indexOf(closed));
  EXPECT_TRUE(server.nodeGoneInIoClosed);
  EXPECT_EQ(server.getNodeID(socket), 0u);
  // A second close of the same id emits nothing.
  server.closeConnect(id);
  EXPECT_EQ(server.rec.events().size(), 2u);
  ::close(fd);
}

}  // namespace

namespace {

TEST(TcpServer, SendGoesOutWholeOrClosesTheConnection) {
  Started s(4);
  int reader = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(reader, "r"));
  unsigned int readerId = s.server.waitAnyNode();
  ASSERT_NE(readerId, 0u);
  // Far more than a socket buffer holds: one non-blocking send would take
  // only part of it.
  std::string big(4 << 20, 'w');
  big.back() = 'e';
  std::string got;
  std::thread drain([&] { got = readN(reader, big.size()); });
  EXPECT_EQ(s.server.sendTo(readerId, big.data(), static_cast<unsigned int>(big.size())), ERR_OK);
  drain.join();
  EXPECT_EQ(got.size(), big.size());
  EXPECT_EQ(got, big);

  // A peer that reads nothing: what its buffers do not take would pass the
  // queue's limit (4 MB), so the send is refused and the connection closed as
  // a slow consumer instead of reporting success for a part.
  int stuck = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(stuck, "s"));
  unsigned int stuckId = s.server.waitAnyNode(readerId);
  ASSERT_NE(stuckId, 0u);
  big.resize(16 << 20, 'w');
  EXPECT_EQ(s.server.sendTo(stuckId, big.data(), static_cast<unsigned int>(big.size())), ERR_BUSY);
  EXPECT_EQ(s.server.hasNode(stuckId), VLK_FALSE);
  EXPECT_EQ(s.server.hasNode(readerId), VLK_TRUE);
  EXPECT_EQ(s.server.getOutputStats().slowConsumerCloses, 1u);
  EXPECT_NE(s.server.rec.waitFor("error slow consumer closed: node"), "");
  ::close(stuck);
  ::close(reader);
}

}  // namespace

namespace {

// Answers that wait in a connection's queue are not lost to a close: a peer
// that ends its side after its request (as `echo PING | nc host port` does)
// and a flushAndClose from the application both get every queued byte, then
// the end of the stream.
TEST(TcpServer, QueuedAnswersReachAPeerThatEndedItsSideAndAFlushingClose) {
  const std::string answer(3 << 20, 'A');  // more than the socket buffers take at once
  for (bool peerEnds : {true, false}) {
    SCOPED_TRACE(peerEnds ? "peer half-close" : "flushAndClose");
    Started s(2);
    s.server.hook = [&](unsigned int id, int len, char*) {
      if (len <= 0) return;
      EXPECT_EQ(s.server.sendTo(id, answer.data(), static_cast<unsigned int>(answer.size())), ERR_OK);
      if (!peerEnds) {
        EXPECT_EQ(s.server.flushAndClose(id), ERR_OK);
      }
    };
    // A bound past INT_MAX milliseconds once cut the wait at once.
    s.server.setSendTimeout(0x80000000u);
    // A small receive window, so that most of the answer has to wait in the queue.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int bytes = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    Cvlk_uaddr a = loopbackAddr(AF_INET, s.port);
    ASSERT_EQ(::connect(fd, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())), 0);
    ASSERT_TRUE(sendAll(fd, "PING"));
    unsigned int id = s.server.waitAnyNode();
    ASSERT_NE(id, 0u);
    s.server.setUserInfo(id, 3, 4);
    if (peerEnds) ::shutdown(fd, SHUT_WR);
    EXPECT_TRUE(readN(fd, answer.size()) == answer);
    EXPECT_TRUE(waitPeerClosed(fd));
    if (!peerEnds) ::shutdown(fd, SHUT_WR);  // the server waits for our end
    const std::string closed = "closed " + std::to_string(id);
    EXPECT_EQ(s.server.rec.waitFor(closed), closed);
    // A peer that ended its side is reported closing first; a close the
    // application asked for is not.
    EXPECT_EQ(s.server.rec.count("closing "), peerEnds ? 1 : 0);
    EXPECT_EQ(s.server.rec.count("error "), 0);
    EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
    ::close(fd);
  }
}

// A paused connection is not read: its peer's bytes wait in the socket until
// TCP's window stops the sender; nothing is dropped, and resumeReading
// delivers all of it. Over TLS the pause may fall inside one record whose
// rest OpenSSL already holds decrypted (no readiness announces it).
TEST(TcpServer, PausedReadingHoldsBytesBackAndResumeDeliversAllOfThem) {
  Started s(2);
  int fd = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(fd, "x"));
  unsigned int id = s.server.waitAnyNode();
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(s.server.waitReceived(id, 1));
  EXPECT_EQ(s.server.pauseReading(id), ERR_OK);
  EXPECT_EQ(s.server.pauseReading(id), ERR_OK);  // idempotent
  // Send until the window is shut: everything the server did not read waits.
  std::string sent;
  const std::string block(16 << 10, 'p');
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    const ssize_t n = ::send(fd, block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent.append(block.data(), static_cast<std::size_t>(n));
    } else if (errno == EAGAIN) {
      break;
    }
  }
  ASSERT_GT(sent.size(), block.size());
  EXPECT_EQ(s.server.received(id), "x");
  EXPECT_EQ(s.server.resumeReading(id), ERR_OK);
  EXPECT_EQ(s.server.resumeReading(id), ERR_OK);
  ASSERT_TRUE(s.server.waitReceived(id, 1 + sent.size()));
  EXPECT_TRUE(s.server.received(id) == "x" + sent);
  EXPECT_EQ(s.server.pauseReading(0), ERR_INVALID_OPR);
  ::close(fd);

  TlsStarted t(2);
  std::atomic<bool> pauseNext{true};
  t.server.hook = [&](unsigned int nodeId, int len, char*) {
    if (len > 0 && pauseNext.exchange(false)) {
      t.server.pauseReading(nodeId);  // after the first piece
      t.server.rec.add("paused");
    }
  };
  TlsClient client(connectLoopback(AF_INET, t.port));
  ASSERT_TRUE(client.handshake());
  const std::string record(10000, 'r');
  ASSERT_TRUE(client.write(record));
  unsigned int tid = t.server.waitAnyNode();
  ASSERT_NE(tid, 0u);
  ASSERT_NE(t.server.rec.waitFor("paused"), "");
  EXPECT_LT(t.server.received(tid).size(), record.size());
  EXPECT_EQ(t.server.resumeReading(tid), ERR_OK);
  ASSERT_TRUE(t.server.waitReceived(tid, record.size()));
  EXPECT_EQ(t.server.received(tid), record);
}

// A TLS node closed through the core's close() keeps its TLS state until the
// slot is taken again; taking it must not send that state's close_notify
// through the descriptor number, which may now be the new client's.
class CoreClosingServer : public RecordingServer {
 public:
  CoreClosingServer() : RecordingServer(1) {}
  // The loop must be gone before this class's part of the object is.
  ~CoreClosingServer() override { stop(); }
  void coreClose(unsigned int nodeId) { close(nodeId); }
};

TEST(TlsServer, ASlotClosedByTheCoreSendsNothingToItsNextClient) {
  CoreClosingServer server;
  ASSERT_EQ(server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_OK);
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  TlsClient first(connectLoopback(AF_INET, port));
  ASSERT_TRUE(first.handshake());
  std::string created = server.rec.waitFor("new ");
  ASSERT_NE(created, "");
  server.coreClose(static_cast<unsigned int>(std::stoul(created.substr(4))));
  first.drop();
  // The one slot goes to a plain client, whose socket takes the freed number.
  int fd = connectLoopback(AF_INET, port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(server.rec.waitUntil([&] { return server.getBusyNodes() == 1; }));
  // It speaks first: nothing may be waiting for it but the server's answer to that.
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "unsolicited bytes reached the new client";
  ::close(fd);
}

}  // namespace
