// The TCP server over real loopback sockets: reading, closing, idle checks,
// outgoing connections, binding, running out of descriptors, answers that
// wait in the output queue, paused reading, stop, SIGPIPE; TLS: the context,
// handshakes that stall, slots reused. (Hostile peers and the queues' limits
// are in test_net_hostile.cpp.)
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/stat.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

std::vector<int> families() {
  std::vector<int> f{AF_INET};
  if (hasIPv6Loopback()) f.push_back(AF_INET6);
  return f;
}

// Every client, plain or TLS (1.3 or 1.2, announced once its handshake is
// done), is read in pieces of at most 4096 bytes, each followed by a zero byte:
// also one TLS record of 10000 bytes, whose rest waits inside OpenSSL with no
// readiness of its own. Its close is reported closing, with its user values,
// then closed.
TEST(TcpServer, ReadsInPiecesOfAtMost4096AndReportsAPeerCloseWithItsUserValues) {
  struct Case {
    int af;
    bool tls;
    int maxVersion;
  };
  std::vector<Case> cases{{AF_INET, false, 0}, {AF_INET, true, 0}, {AF_INET, true, TLS1_2_VERSION}};
  if (hasIPv6Loopback()) cases.insert(cases.end(), {{AF_INET6, false, 0}, {AF_INET6, true, 0}});
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.af == AF_INET ? "IPv4" : "IPv6") + (k.tls ? " TLS" : "") + (k.maxVersion ? " 1.2" : ""));
    Started s(4, k.tls);
    s.server.hook = nullptr;
    Conn c(k.af, s.port);
    if (k.tls) {
      ASSERT_TRUE(c.handshake(k.maxVersion));
      if (k.maxVersion != 0) {
        EXPECT_EQ(c.version(), "TLSv1.2");
      }
      ASSERT_NE(newNode(s.server), 0u);
    }
    std::string payload(10000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(c.write(payload));  // TLS: one record
    unsigned int id = s.server.waitAnyNode();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(s.server.waitReceived(id, payload.size()));
    EXPECT_EQ(s.server.received(id), payload);
    EXPECT_LE(s.server.maxPiece, 4096u);
    EXPECT_TRUE(s.server.allTerminated);
    EXPECT_EQ(s.server.getPeerAddr(id).version, k.af == AF_INET ? 4 : 6);
    EXPECT_EQ(s.server.rec.count("new "), k.tls ? 1 : 0);
    s.server.setUserInfo(id, 7, 9);
    c.drop();
    const std::string closed = "closed " + std::to_string(id);
    ASSERT_EQ(s.server.rec.waitFor(closed), closed);
    const int closing = s.server.rec.indexOf("closing 7 9");
    ASSERT_GE(closing, 0);
    EXPECT_LT(closing, s.server.rec.indexOf(closed));
    EXPECT_EQ(s.server.getPeerAddr(id).isValid(), VLK_FALSE);
    EXPECT_EQ(s.server.sendTo(id, "x", 1), ERR_INVALID_OPR);
  }
}

// keepAlive writes to every connection, which is no activity for the idle
// check; selfCheck closes those idle past its bound (silent since they came,
// or last heard from long ago: a half-open peer), with no closing report.
TEST(TcpServer, KeepAliveReachesEveryConnectionAndSelfCheckClosesOnlyIdleOnes) {
  Started s(4);
  Conn active(AF_INET, s.port), aged(AF_INET, s.port), silent(AF_INET, s.port);
  const unsigned int activeId = s.server.greet(active), agedId = s.server.greet(aged, "x", activeId);
  ASSERT_TRUE(activeId != 0 && agedId != 0);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 3; }));
  s.server.keepAlive();
  for (Conn* c : {&active, &aged, &silent}) EXPECT_EQ(c->read(2), "\r\n");
  s.server.age(agedId, 120);
  s.server.selfCheck(60);
  EXPECT_TRUE(silent.waitClosed());
  EXPECT_TRUE(aged.waitClosed());
  EXPECT_EQ(s.server.getBusyNodes(), 1u);
  EXPECT_EQ(s.server.hasNode(activeId), VLK_TRUE);
  EXPECT_EQ(s.server.rec.indexOf("closing"), -1);
}

// An outgoing connection is watched at once (the loop needs no other socket's
// traffic to see it) and served like accepted ones, plain also on a TLS server.
// One that cannot connect takes no node; ids that name nothing do nothing.
TEST(TcpServer, OutgoingConnectionsAreServedLikeAcceptedOnesAndStayPlainOnATlsServer) {
  {
    RecordingServer server(2);
    unsigned int id = 0;
    EXPECT_EQ(server.prepareConnect(Cvlk_uaddr(), id), ERR_INVALID_PARAM);
    const Cvlk_uaddr gone = Listener().addr;  // nobody listens there any more
    EXPECT_EQ(server.prepareConnect(gone, id), ERR_FAIL);
    EXPECT_EQ(server.getBusyNodes(), 0u);
    EXPECT_EQ(server.sendTo(0x10001, "x", 1), ERR_INVALID_OPR);
    server.closeConnect(0x10001);
    EXPECT_TRUE(server.rec.events().empty());
  }
  std::vector<std::pair<int, bool>> cases{{AF_INET, false}, {AF_INET, true}};  // family, TLS server
  if (hasIPv6Loopback()) cases.emplace_back(AF_INET6, false);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first == AF_INET ? "IPv4" : "IPv6") + (c.second ? " TLS server" : ""));
    Started s(4, c.second);
    s.server.hook = nullptr;
    Listener peer(c.first);
    unsigned int id = 0;
    ASSERT_EQ(s.server.prepareConnect(peer.addr, id), ERR_OK);
    Conn conn(peer.accept());
    ASSERT_TRUE(conn.write("from peer"));
    ASSERT_TRUE(s.server.waitReceived(id, 9));
    EXPECT_EQ(s.server.received(id), "from peer");
    EXPECT_EQ(s.server.sendTo(id, "to peer", 7), ERR_OK);
    EXPECT_EQ(conn.read(7), "to peer");
    EXPECT_EQ(s.server.getPeerAddr(id).compare(peer.addr), ADDR_SAME);
    s.server.closeConnect(id);
    EXPECT_TRUE(conn.waitClosed());
    EXPECT_EQ(s.server.rec.indexOf("new "), -1);
  }
}

// A bind is all or nothing: a family another socket holds fails it with the
// system's reason, and nothing listens on the other family either (its
// clients would otherwise reach a port the caller believes failed). A second
// bind, or startTLS after bind, would silently drop the open port: refused.
TEST(TcpServer, BindFailsWholeWithTheReasonAndRefusesToReplaceAnOpenPort) {
  Started first(2);
  const unsigned short port = first.port;
  EXPECT_EQ(first.server.bind(port + 1 == 0 ? 1 : port + 1), ERR_INVALID_OPR);
  EXPECT_EQ(first.server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_INVALID_OPR);
  Conn c(AF_INET, port);  // still plain, on the first port
  EXPECT_NE(first.server.greet(c, "plain"), 0u);

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
  EXPECT_EQ(third.bind(v6.getPort()), ERR_OK);  // the failed bind left nothing open
}

// A server bound to one address serves that address alone, and reports that
// address taken as bind reports its port taken.
TEST(TcpServer, BindAddressServesThatAddressAlone) {
  const bool v6 = hasIPv6Loopback();
  for (int family : families()) {
    SCOPED_TRACE(family == AF_INET ? "127.0.0.1" : "::1");
    RecordingServer server(2);
    unsigned short port = 0;
    ASSERT_EQ(server.bindAddress(loopbackAddr(family, 0), &port), ERR_OK);
    ASSERT_NE(port, 0);
    EXPECT_EQ(server.bindAddress(loopbackAddr(family, 0)), ERR_INVALID_OPR);
    EXPECT_EQ(server.bind(port), ERR_INVALID_OPR);
    server.start();
    Conn c(family, port);
    EXPECT_NE(server.greet(c, "bound"), 0u);
    if (family == AF_INET) {  // another loopback address of the same port
      Cvlk_uaddr other = loopbackAddr(AF_INET, port);
      other.addr.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
      EXPECT_NE(::connect(Conn(::socket(AF_INET, SOCK_STREAM, 0)).fd(), other.getAddr(), sizeof(sockaddr_in)), 0);
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

// Every socket of the process (the test's own are close-on-exec too) carries
// the flag: listeners, accepted and outgoing ones. Small answers go at once
// (TCP_NODELAY) on new connections unless the server is told otherwise.
TEST(TcpServer, SocketsAreCloseOnExecAndSendSmallWritesAtOnceUnlessTurnedOff) {
  Started s(4);
  Conn in(AF_INET, s.port);
  const unsigned int accepted = s.server.greet(in);
  ASSERT_NE(accepted, 0u);
  Listener peer(AF_INET);
  auto noDelay = [&](unsigned int id) {
    int on = -1;
    socklen_t len = sizeof(on);
    getsockopt(s.server.socketOf(id), IPPROTO_TCP, TCP_NODELAY, &on, &len);
    return on;
  };
  EXPECT_EQ(noDelay(accepted), 1);
  for (bool on : {true, false}) {
    s.server.setNoDelay(on);
    unsigned int out = 0;
    ASSERT_EQ(s.server.prepareConnect(peer.addr, out), ERR_OK);
    EXPECT_EQ(noDelay(out), on ? 1 : 0);
  }
  int sockets = 0;
  s.server.locked([&] {  // the server closes its sockets under its lock
    DIR* dir = opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
      struct stat st;
      int fd = std::atoi(e->d_name);
      if (e->d_name[0] == '.' || fd == dirfd(dir) || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
      ++sockets;
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << fd;
    }
    closedir(dir);
  });
  EXPECT_GE(sockets, 6);  // two listeners, accepted, two outgoing, the test's client
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
  Cvlk_uaddr a = loopbackAddr(AF_INET, s.port);
  ASSERT_EQ(::connect(client, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())), 0);
  Conn dropped(client);  // the server cannot take it: dropped, no node used
  EXPECT_TRUE(dropped.waitClosed());
  EXPECT_EQ(s.server.getBusyNodes(), 0u);
  EXPECT_NE(s.server.rec.waitFor("error Fail to accept TCP connection: out of descriptors").find("dropped 127.0.0.1:"),
            std::string::npos);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  Conn later(AF_INET, s.port);  // with descriptors back, clients are served again
  EXPECT_NE(s.server.greet(later, "back"), 0u);
}

// Clients come and go while application threads broadcast, check for idle
// connections and close them: run under the thread sanitizer, this is where
// a race on the pool, the nodes or the cache would show. Stop then ends the
// loop and closes the connections and the listeners.
TEST(TcpServer, ApplicationThreadsAndClientChurnShareThePoolSafelyUntilStop) {
  Started s(8);
  s.server.hook = [&](unsigned int id, int len, char* data) { s.server.sendTo(id, data, static_cast<unsigned int>(len)); };
  std::atomic<bool> done{false};
  std::vector<std::thread> clients;
  const int v6 = hasIPv6Loopback() ? AF_INET6 : AF_INET;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      for (int round = 0; round < 25; ++round) {
        Conn conn(c % 2 == 0 ? AF_INET : v6, s.port);
        const std::string msg = "m" + std::to_string(c) + "-" + std::to_string(round);
        if (conn.fd() >= 0 && conn.write(msg)) conn.read(msg.size());
      }
    });
  }
  std::thread app([&] {
    while (!done.load()) {
      s.server.keepAlive();
      s.server.broadcast("b", 1);
      for (unsigned int i = 0; i < 8; ++i) {
        if (s.server.getPeerAddr(0x10001 + i).isValid() == VLK_TRUE)  // usually stale ids: must be harmless
          s.server.setUserInfo(0x10001 + i, 1, 2);
      }
      s.server.selfCheck(3600);
    }
  });
  for (auto& t : clients) t.join();
  done.store(true);
  app.join();
  // selfCheck may cut exchanges short; the pool must end empty and the server still serve.
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  Conn c(AF_INET, s.port);
  ASSERT_TRUE(c.write("after"));
  EXPECT_EQ(c.read(5), "after");
  s.server.stop();
  EXPECT_FALSE(s.server.isRunning());
  EXPECT_EQ(s.server.getBusyNodes(), 0u);
  EXPECT_TRUE(c.waitClosed());
  EXPECT_LT(connectLoopback(AF_INET, s.port), 0);
}

// Exposes the core's node lookups and records ioClosed.
class CoreServer : public RecordingServer {
 public:
  explicit CoreServer(unsigned int maxConnections = 4) : RecordingServer(maxConnections) {}
  ~CoreServer() override { stop(); }  // the loop calls this class's ioClosed
  using Cvlk_io_server::getNodeID;
  void coreClose(unsigned int nodeId) { close(nodeId); }
  std::atomic<bool> nodeGoneInIoClosed{false};

 protected:
  void ioClosed(unsigned int nodeId) override {
    nodeGoneInIoClosed = getNode(nodeId) == nullptr;
    rec.add("ioClosed " + std::to_string(nodeId));
  }
};

// Hooks may answer and close their own connection. A close frees the node
// (its socket maps to it no more) before ioClosed and then sigClosed run; a
// second close of the id emits nothing.
TEST(IoServerCore, HooksMayCloseTheirConnectionWhichIsFreedBeforeIoClosedAndSigClosed) {
  CoreServer server;
  server.hook = [&](unsigned int id, int len, char* data) {
    server.sendTo(id, data, static_cast<unsigned int>(len));
    if (std::memchr(data, 'q', static_cast<std::size_t>(len)) != nullptr) server.closeConnect(id);
  };
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  Conn c(AF_INET, port);
  const unsigned int id = server.greet(c, "echo");
  ASSERT_NE(id, 0u);
  EXPECT_EQ(c.read(4), "echo");
  const unsigned int socket = static_cast<unsigned int>(server.socketOf(id));
  EXPECT_EQ(server.getNodeID(socket), id);
  ASSERT_TRUE(c.write("q"));
  EXPECT_EQ(c.read(1), "q");
  EXPECT_TRUE(c.waitClosed());
  const std::string closed = "closed " + std::to_string(id);
  ASSERT_EQ(server.rec.waitFor(closed), closed);
  EXPECT_EQ(server.rec.indexOf("ioClosed " + std::to_string(id)), server.rec.indexOf(closed) - 1);
  EXPECT_TRUE(server.nodeGoneInIoClosed.load());
  EXPECT_EQ(server.getNodeID(socket), 0u);
  server.closeConnect(id);
  EXPECT_EQ(server.rec.events().size(), 2u);
}

// Answers that wait in a connection's queue are not lost to a close: a peer
// that ends its side after its request (as `echo PING | nc host port` does)
// and a flushAndClose from the application both get every queued byte, then
// the end of the stream.
TEST(TcpServer, QueuedAnswersReachAPeerThatEndedItsSideAndAFlushingClose) {
  std::string answer(12 << 20, 'A');  // far more than the socket buffers (4 MB at most) take
  for (std::size_t i = 0; i < answer.size(); i += 1000) answer[i] = static_cast<char>('a' + i / 1000 % 26);
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
    s.server.setSendTimeout(0x80000000u);  // a bound past INT_MAX milliseconds once cut the wait at once
    ASSERT_EQ(s.server.setOutputLimits(32 << 20, 16 << 20, 1 << 20), ERR_OK);  // room for the whole answer
    Conn c(AF_INET, s.port, 4096);  // a small window: most of the answer waits in the queue
    const unsigned int id = s.server.greet(c, "PING");
    ASSERT_NE(id, 0u);
    s.server.setUserInfo(id, 3, 4);
    if (peerEnds) ::shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.read(answer.size()) == answer);
    EXPECT_TRUE(c.waitClosed());
    if (!peerEnds) ::shutdown(c.fd(), SHUT_WR);  // the server waits for our end
    const std::string closed = "closed " + std::to_string(id);
    EXPECT_EQ(s.server.rec.waitFor(closed), closed);
    // A peer that ended its side is reported closing first; a close the
    // application asked for is not.
    EXPECT_EQ(s.server.rec.count("closing "), peerEnds ? 1 : 0);
    EXPECT_EQ(s.server.rec.count("error "), 0);
    EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
  }
}

// A paused connection is not read: its peer's bytes wait in the socket until
// TCP's window stops the sender; nothing is dropped, and resumeReading
// delivers all of it. Over TLS the pause may fall inside one record whose
// rest OpenSSL already holds decrypted (no readiness announces it).
TEST(TcpServer, PausedReadingHoldsBytesBackAndResumeDeliversAllOfThem) {
  Started s(2);
  Conn c(AF_INET, s.port);
  const unsigned int id = s.server.greet(c);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(s.server.pauseReading(id), ERR_OK);
  EXPECT_EQ(s.server.pauseReading(id), ERR_OK);  // idempotent
  // Send until the window is shut: everything the server did not read waits.
  std::string sent;
  const std::string block(16 << 10, 'p');
  for (auto end = std::chrono::steady_clock::now() + kDeadline; std::chrono::steady_clock::now() < end;) {
    const ssize_t n = ::send(c.fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
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

  Started t(2, true);
  std::atomic<bool> pauseNext{true};
  t.server.hook = [&](unsigned int nodeId, int len, char*) {
    if (len > 0 && pauseNext.exchange(false)) {
      t.server.pauseReading(nodeId);  // after the first piece
      t.server.rec.add("paused");
    }
  };
  Conn client(AF_INET, t.port);
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

TEST(TlsContext, RefusesMissingNamesBadFilesAndAMismatchedKey) {
  RecordingServer server(2);
  std::string cert = dataPath("server.pem");
  EXPECT_EQ(server.startTLS(nullptr, "k"), ERR_INVALID_PARAM);
  EXPECT_EQ(server.startTLS(cert.c_str(), ""), ERR_INVALID_PARAM);
  // A file that is not there is told apart from a key that does not belong
  // to the certificate; both say why on sigErrorInfo.
  EXPECT_EQ(server.startTLS(dataPath("missing.pem").c_str(), dataPath("server.key").c_str()), ERR_OBJ_NOT_FOUND);
  EXPECT_NE(server.rec.waitFor("error Fail to load certificate file: ").find("No such file"), std::string::npos);
  EXPECT_EQ(server.startTLS(cert.c_str(), dataPath("other.key").c_str()), ERR_FAIL);
  EXPECT_NE(server.rec.waitFor("error Fail to load key file: ").find("mismatch"), std::string::npos);
  unsigned short port = 0;  // TLS stayed off: a plain client is served
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  Conn c(AF_INET, port);
  EXPECT_NE(server.greet(c, "plain"), 0u);
}

// A client that connects and says nothing is in its handshake: it stalls no
// other connection, and keepAlive neither writes to it nor closes it.
TEST(TlsServer, ConnectionInItsHandshakeStallsNoOtherAndKeepAliveLeavesItAlone) {
  Started s(4, true);
  Conn late(AF_INET, s.port);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 1; }));
  Conn busy(AF_INET, s.port);
  ASSERT_TRUE(busy.handshake());
  for (int i = 0; i < 20; ++i) {
    std::string msg = "message " + std::to_string(i);
    ASSERT_TRUE(busy.write(msg));
    ASSERT_EQ(busy.read(msg.size()), msg);
  }
  s.server.keepAlive();
  EXPECT_EQ(busy.read(2), "\r\n");
  EXPECT_EQ(s.server.getBusyNodes(), 2u);
  ASSERT_TRUE(late.handshake());
  ASSERT_TRUE(late.write("still here"));
  EXPECT_EQ(late.read(10), "still here");
}

// With SIGPIPE's default action (the end of the process) in force, writes to a
// peer that vanished while the server thread was parked in its hook (so that
// it could not notice first) fail and close the node; the library leaves
// SIGPIPE's disposition alone. TLS 1.2: no session tickets left unread, so the
// close is a FIN and not a reset, and a later write meets EPIPE.
TEST(TcpServer, WritingToAVanishedPeerFailsWithoutSigpipe) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    struct sigaction dfl {}, old {}, now {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    Started s(4, tls);
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    s.server.hook = [&](unsigned int, int len, char*) {
      std::unique_lock<std::mutex> lock(m);
      if (len > 0) cv.wait_for(lock, kDeadline, [&] { return release; });
    };
    Conn c(AF_INET, s.port);
    if (tls) {
      ASSERT_TRUE(c.handshake(TLS1_2_VERSION));
    }
    ASSERT_TRUE(c.write("x"));
    unsigned int id = s.server.waitAnyNode();
    EXPECT_NE(id, 0u);
    c.drop();
    EerrNo err = ERR_OK;
    const std::string chunk(1000, 'z');
    for (auto end = std::chrono::steady_clock::now() + kDeadline; err == ERR_OK && std::chrono::steady_clock::now() < end;)
      err = s.server.sendTo(id, chunk.data(), static_cast<unsigned int>(chunk.size()));
    EXPECT_EQ(err, ERR_FAIL);
    EXPECT_EQ(s.server.hasNode(id), VLK_FALSE);
    {
      std::lock_guard<std::mutex> lock(m);
      release = true;
    }
    cv.notify_all();
    s.server.stop();
    ASSERT_EQ(sigaction(SIGPIPE, &old, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
}

// A TLS node closed through the core's close() keeps its TLS state until the
// slot is taken again; taking it must not send that state's close_notify
// through the descriptor number, which may now be the new client's.
TEST(TlsServer, ASlotClosedByTheCoreSendsNothingToItsNextClient) {
  CoreServer server(1);
  ASSERT_EQ(server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_OK);
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  server.start();
  Conn first(AF_INET, port);
  ASSERT_TRUE(first.handshake());
  const unsigned int id = newNode(server);
  ASSERT_NE(id, 0u);
  server.coreClose(id);
  first.drop();
  // The one slot goes to a plain client, whose socket takes the freed number.
  Conn next(AF_INET, port);
  ASSERT_TRUE(server.rec.waitUntil([&] { return server.getBusyNodes() == 1; }));
  // It speaks first: nothing may be waiting for it but the server's answer to that.
  pollfd p{next.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "unsolicited bytes reached the new client";
}

}  // namespace
