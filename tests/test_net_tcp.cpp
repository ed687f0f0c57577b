// The TCP server, plain and TLS, over loopback sockets. (Hostile peers and the
// queues' limits are in test_net_hostile.cpp.)
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// Every client, plain or TLS (1.3 or 1.2, announced once its handshake is
// done), is read in zero-terminated pieces of at most 4096 bytes, also a TLS
// record of 10000 whose rest waits inside OpenSSL with no readiness of its
// own. Its close is reported closing, with its user values, then closed. An
// outgoing connection is watched at once (no other traffic needed) and served
// like accepted ones, plain also on a TLS server; a failed one takes no node.
TEST(TcpServer, ReadsInPiecesOfAtMost4096ReportsAPeerCloseAndServesOutgoingConnections) {
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
    unsigned int out = 0;
    EXPECT_EQ(s.server.prepareConnect(Cvlk_uaddr(), out), ERR_INVALID_PARAM);
    const Cvlk_uaddr gone = Listener(k.af).addr;  // nobody listens there any more
    EXPECT_EQ(s.server.prepareConnect(gone, out), ERR_FAIL);
    EXPECT_EQ(s.server.getBusyNodes(), 0u);
    Listener peer(k.af);
    ASSERT_EQ(s.server.prepareConnect(peer.addr, out), ERR_OK);
    Conn outConn(peer.accept());
    EXPECT_EQ(s.server.greet(outConn, "from peer"), out);
    EXPECT_EQ(s.server.sendTo(out, "to peer", 7), ERR_OK);
    EXPECT_EQ(outConn.read(7), "to peer");
    EXPECT_EQ(s.server.getPeerAddr(out).compare(peer.addr), ADDR_SAME);
    s.server.closeConnect(out);
    EXPECT_TRUE(outConn.waitClosed());
    EXPECT_EQ(s.server.rec.indexOf("new "), -1);  // plain: no handshake to announce
    Conn c(k.af, s.port);
    if (k.tls) {
      ASSERT_TRUE(c.handshake(k.maxVersion));
      EXPECT_EQ(c.version(), k.maxVersion != 0 ? "TLSv1.2" : "TLSv1.3");
      ASSERT_NE(newNode(s.server), 0u);
    }
    std::string payload(10000, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    const unsigned int id = s.server.greet(c, payload, out);  // TLS: one record
    ASSERT_NE(id, 0u);
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

// keepAlive writes to every connection, which is no activity: selfCheck closes
// those idle past its bound (silent, or a half-open peer), with no closing report.
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

// A bind is all or nothing: a family another socket holds fails it with the
// system's reason, and nothing listens on the other family either. A second
// bind, or startTLS after bind, would silently drop the open port: refused.
// A server bound to one address serves that address alone.
TEST(TcpServer, BindFailsWholeWithTheReasonAndRefusesToReplaceAnOpenPort) {
  Started first(2);
  const unsigned short port = first.port;
  unsigned short at = 0;
  EXPECT_EQ(first.server.bind(port + 1 == 0 ? 1 : port + 1), ERR_INVALID_OPR);
  EXPECT_EQ(first.server.bindAddress(loopbackAddr(AF_INET, 0)), ERR_INVALID_OPR);
  EXPECT_EQ(first.server.startTLS(dataPath("server.pem").c_str(), dataPath("server.key").c_str()), ERR_INVALID_OPR);
  Conn c(AF_INET, port);  // still plain, on the first port
  EXPECT_NE(first.server.greet(c, "plain"), 0u);
  RecordingServer second(2);
  EXPECT_EQ(second.bind(port), ERR_OBJ_EXISTED);
  EXPECT_NE(second.rec.waitFor("error fail to bind port " + std::to_string(port)).find(std::strerror(EADDRINUSE)),
            std::string::npos);
  // startTLS refuses missing names; a missing file and a key that does not
  // belong to the certificate are told apart, each with its reason.
  const std::string cert = dataPath("server.pem");
  EXPECT_EQ(second.startTLS(nullptr, "k"), ERR_INVALID_PARAM);
  EXPECT_EQ(second.startTLS(cert.c_str(), ""), ERR_INVALID_PARAM);
  EXPECT_EQ(second.startTLS(dataPath("missing.pem").c_str(), dataPath("server.key").c_str()), ERR_OBJ_NOT_FOUND);
  EXPECT_NE(second.rec.waitFor("error Fail to load certificate file: ").find("No such file"), std::string::npos);
  EXPECT_EQ(second.startTLS(cert.c_str(), dataPath("other.key").c_str()), ERR_FAIL);
  EXPECT_NE(second.rec.waitFor("error Fail to load key file: ").find("mismatch"), std::string::npos);
  ASSERT_EQ(second.bindAnyPort(at), ERR_OK);  // TLS stayed off: a plain client is served
  second.start();
  Conn plain(AF_INET, at);
  EXPECT_NE(second.greet(plain, "plain"), 0u);
  for (int family : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && !hasIPv6Loopback()) continue;
    SCOPED_TRACE(family == AF_INET ? "127.0.0.1" : "::1");
    RecordingServer one(2), taken(2);
    ASSERT_EQ(one.bindAddress(loopbackAddr(family, 0), &at), ERR_OK);
    EXPECT_EQ(one.bind(at), ERR_INVALID_OPR);
    one.start();
    Conn conn(family, at);
    EXPECT_NE(one.greet(conn, "bound"), 0u);
    Cvlk_uaddr other = loopbackAddr(AF_INET, at);  // another loopback address of the same port
    other.addr.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    EXPECT_NE(::connect(Conn(::socket(AF_INET, SOCK_STREAM, 0)).fd(), other.getAddr(), sizeof(sockaddr_in)), 0);
    EXPECT_LT(connectLoopback(family == AF_INET ? AF_INET6 : AF_INET, at), 0);
    EXPECT_EQ(taken.bindAddress(loopbackAddr(family, at)), ERR_OBJ_EXISTED);
    EXPECT_NE(taken.rec.waitFor("error fail to bind port " + std::to_string(at)), "");
  }
  if (!hasIPv6Loopback()) return;
  RecordingServer third(2);
  {
    Listener holder(AF_INET6);  // only the IPv6 port is taken: no IPv4 listener may stay
    at = holder.addr.getPort();
    EXPECT_EQ(third.bind(at), ERR_OBJ_EXISTED);
    EXPECT_NE(third.rec.waitFor("error fail to bind port").find("IPv6"), std::string::npos);
    EXPECT_LT(connectLoopback(AF_INET, at), 0);
  }
  EXPECT_EQ(third.bind(at), ERR_OK);  // the failed bind left nothing open
}

// An accept short of descriptors takes no node and drops the client (it once
// spun); with descriptors back clients are served. Every socket of the process
// (the test's own too) is close-on-exec: listeners, accepted and outgoing ones.
// Small answers go at once (TCP_NODELAY) unless the server is told otherwise.
TEST(TcpServer, AcceptShortOfDescriptorsDropsTheClientAndSocketsAreCloseOnExecAndNoDelay) {
  Started s(4);
  rlimit lim;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  Conn dropped(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  // Use up every descriptor below a lowered limit.
  int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_TRUE(dropped.fd() >= 0 && lowest >= 0);
  rlimit lowered = lim;
  lowered.rlim_cur = static_cast<rlim_t>(lowest + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers{lowest};
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  Cvlk_uaddr a = loopbackAddr(AF_INET, s.port);
  ASSERT_EQ(::connect(dropped.fd(), a.getAddr(), static_cast<socklen_t>(a.getAddrLen())), 0);
  EXPECT_TRUE(dropped.waitClosed());
  EXPECT_EQ(s.server.getBusyNodes(), 0u);
  EXPECT_NE(s.server.rec.waitFor("error Fail to accept TCP connection: out of descriptors").find("dropped 127.0.0.1:"),
            std::string::npos);
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  Conn in(AF_INET, s.port);
  const unsigned int accepted = s.server.greet(in, "back");
  ASSERT_NE(accepted, 0u);
  Listener peer(AF_INET);
  auto noDelay = [&](unsigned int id) {
    int on = -1;
    socklen_t len = sizeof(on);
    getsockopt(s.server.socketOf(id), IPPROTO_TCP, TCP_NODELAY, &on, &len);
    return on;
  };
  EXPECT_EQ(noDelay(accepted), 1);
  s.server.setNoDelay(false);
  unsigned int out = 0;
  ASSERT_EQ(s.server.prepareConnect(peer.addr, out), ERR_OK);
  EXPECT_EQ(noDelay(out), 0);
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
  EXPECT_GE(sockets, 5);  // two listeners, accepted, outgoing, the test's client
}

// Clients come and go while application threads broadcast, check for idle
// connections and close them (the thread sanitizer's workload for the pool,
// the nodes and the cache). Stop then closes connections and listeners.
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
      for (unsigned int i = 0; i < 8; ++i)  // usually stale ids: must be harmless
        if (s.server.getPeerAddr(0x10001 + i).isValid() == VLK_TRUE) s.server.setUserInfo(0x10001 + i, 1, 2);
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

// Hooks may answer and close their own connection. A close frees the node
// before ioClosed, then sigClosed, run; a second close emits nothing.
TEST(IoServerCore, HooksMayCloseTheirConnectionWhichIsFreedBeforeIoClosedAndSigClosed) {
  Started s(4);
  RecordingServer& server = s.server;
  server.hook = [&](unsigned int id, int len, char* data) {
    server.sendTo(id, data, static_cast<unsigned int>(len));
    if (std::memchr(data, 'q', static_cast<std::size_t>(len)) != nullptr) server.closeConnect(id);
  };
  Conn c(AF_INET, s.port);
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

// Queued answers are not lost to a close: a peer that ends its side after its
// request (`echo PING | nc host port`) and a flushAndClose both get every
// queued byte, then the end of the stream.
TEST(TcpServer, QueuedAnswersReachAPeerThatEndedItsSideAndAFlushingClose) {
  std::string answer(12 << 20, 'A');  // far more than the socket buffers (4 MB at most) take
  for (std::size_t i = 0; i < answer.size(); i += 1000) answer[i] = static_cast<char>('a' + i / 1000 % 26);
  for (bool peerEnds : {true, false}) {
    SCOPED_TRACE(peerEnds ? "peer half-close" : "flushAndClose");
    Started s(2);
    s.server.hook = [&](unsigned int id, int len, char*) {
      if (len <= 0) return;
      EXPECT_EQ(s.server.sendTo(id, answer.data(), static_cast<unsigned int>(answer.size())), ERR_OK);
      EXPECT_TRUE(peerEnds || s.server.flushAndClose(id) == ERR_OK);
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
    // A peer that ended its side is reported closing; the application's close is not.
    EXPECT_EQ(s.server.rec.count("closing "), peerEnds ? 1 : 0);
    EXPECT_EQ(s.server.rec.count("error "), 0);
    EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
  }
}

// A paused connection is not read: its peer's bytes wait until TCP's window
// stops the sender, and resumeReading delivers all of them, also over TLS a
// record's rest that OpenSSL already holds decrypted (no readiness announces it).
TEST(TcpServer, PausedReadingHoldsBytesBackAndResumeDeliversAllOfThem) {
  Started s(2);
  Conn c(AF_INET, s.port);
  const unsigned int id = s.server.greet(c);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(s.server.pauseReading(id), ERR_OK);
  // Send until the window is shut: everything the server did not read waits.
  std::string sent;
  const std::string block(16 << 10, 'p');
  for (ssize_t n; (n = ::send(c.fd(), block.data(), block.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
    sent.append(block.data(), static_cast<std::size_t>(n));
  ASSERT_GT(sent.size(), block.size());
  EXPECT_EQ(s.server.received(id), "x");
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

// With SIGPIPE's default action in force, writes to a peer that vanished while
// the loop was parked in a hook fail and close the node; the library leaves
// SIGPIPE's disposition alone. TLS 1.2: no session tickets left unread, so the
// close is a FIN, not a reset, and a later write meets EPIPE.
TEST(TcpServer, WritingToAVanishedPeerFailsWithoutSigpipe) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    struct sigaction dfl {}, old {}, now {};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
    Started s(4, tls);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.server.hook = [&](unsigned int, int len, char*) {
      if (len > 0) released.wait_for(kDeadline);
    };
    Conn c(AF_INET, s.port);
    ASSERT_TRUE(!tls || c.handshake(TLS1_2_VERSION));
    const unsigned int id = s.server.greet(c);
    EXPECT_NE(id, 0u);
    c.drop();
    EerrNo err = ERR_OK;
    const std::string chunk(1000, 'z');
    for (auto end = std::chrono::steady_clock::now() + kDeadline; err == ERR_OK && std::chrono::steady_clock::now() < end;)
      err = s.server.sendTo(id, chunk.data(), static_cast<unsigned int>(chunk.size()));
    EXPECT_EQ(err, ERR_FAIL);
    EXPECT_EQ(s.server.hasNode(id), VLK_FALSE);
    release.set_value();
    s.server.stop();
    ASSERT_EQ(sigaction(SIGPIPE, &old, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
}

// A TLS node closed by the core's close() keeps its TLS state until the slot
// is taken again, whose close_notify must not reach the descriptor's new owner.
TEST(TlsServer, ASlotClosedByTheCoreSendsNothingToItsNextClient) {
  Started s(1, true);
  RecordingServer& server = s.server;
  Conn first(AF_INET, s.port);
  ASSERT_TRUE(first.handshake());
  const unsigned int id = newNode(server);
  ASSERT_NE(id, 0u);
  server.coreClose(id);
  first.drop();
  // The one slot goes to a plain client, whose socket takes the freed number.
  Conn next(AF_INET, s.port);
  ASSERT_TRUE(server.rec.waitUntil([&] { return server.getBusyNodes() == 1; }));
  // It speaks first: nothing may be waiting for it but the server's answer to that.
  pollfd p{next.fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "unsolicited bytes reached the new client";
}

}  // namespace
