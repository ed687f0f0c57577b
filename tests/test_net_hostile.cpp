// Hostile peers against the servers: more clients than the pool holds, a process
// past 1024 descriptors, TLS clients that stall or speak garbage, peers that
// reset or never read, datagrams of no or too many bytes, peers that vanish.
// Each case checks that the other clients keep being served and that the pool
// is whole again afterwards.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "test_net_tcp_util.h"

using namespace nettest;

namespace {

// Makes the server echo and name the connection that each first byte came from.
void echoAndName(RecordingServer& server) {
  server.hook = [&server](unsigned int id, int len, char* data) {
    if (len <= 0) return;
    server.rec.add("from " + std::string(1, data[0]) + " " + std::to_string(id));
    server.sendTo(id, data, static_cast<unsigned int>(len));
  };
}

// The node that sent byte `tag` first (see echoAndName), or 0.
unsigned int nodeOf(RecordingServer& server, char tag) {
  std::string e = server.rec.waitFor(std::string("from ") + tag + " ");
  return e.empty() ? 0u : static_cast<unsigned int>(std::stoul(e.substr(7)));
}

// A loopback client whose receive buffer is a few kilobytes (set before the
// connection, so that the window stays small).
int connectSmallWindow(unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int bytes = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  Cvlk_uaddr a = loopbackAddr(AF_INET, port);
  if (::connect(fd, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Closes with a reset instead of an orderly close.
void resetAndClose(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
}

// A refused connection must not cost the connections already held their turn:
// one pass refuses one newcomer and still reads every other ready socket.
TEST(HostileTcp, ExcessConnectionsAreRefusedWithoutStarvingHeldOnes) {
  constexpr unsigned int kPool = 2;
  constexpr int kExcess = 8;
  Started s(kPool);
  std::mutex m;
  std::condition_variable cv;
  bool parked = false, release = false;
  s.server.hook = [&](unsigned int id, int len, char* data) {
    if (len <= 0) return;
    if (data[0] == 'p') {  // holds the server thread while the test lines up a burst
      std::unique_lock<std::mutex> lock(m);
      parked = true;
      cv.notify_all();
      cv.wait_for(lock, kDeadline, [&] { return release; });
    }
    s.server.rec.add("data " + std::string(data, static_cast<std::size_t>(len)));
    s.server.sendTo(id, data, static_cast<unsigned int>(len));
  };
  int a = connectLoopback(AF_INET, s.port);
  int b = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(a, "a") && sendAll(b, "b"));
  ASSERT_EQ(readN(a, 1), "a");
  ASSERT_EQ(readN(b, 1), "b");
  ASSERT_TRUE(sendAll(a, "p"));
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return parked; }));
  }
  // The burst waits in the backlog, then b speaks: both are ready at the next pass.
  std::vector<int> excess;
  for (int i = 0; i < kExcess; ++i) excess.push_back(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(sendAll(b, "q"));
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  ASSERT_EQ(readN(b, 1), "q");
  ASSERT_EQ(readN(a, 1), "p");
  int before = 0;
  for (const auto& e : s.server.rec.events()) {
    if (e == "data q") break;
    if (e.rfind("error ", 0) == 0) ++before;
  }
  EXPECT_LE(before, 1) << "held connections waited for the whole burst to be refused";
  for (int fd : excess) {
    EXPECT_TRUE(waitPeerClosed(fd));
    ::close(fd);
  }
  // One line with the peer; the rest are held back.
  EXPECT_NE(s.server.rec.waitFor("error No enough TCP node").find("refused 127.0.0.1:"), std::string::npos);
  EXPECT_LT(s.server.rec.count("error No enough TCP node"), kExcess);
  ::close(a);
  ::close(b);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  // The whole pool serves again.
  int c = connectLoopback(AF_INET, s.port);
  int d = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(c, "c") && sendAll(d, "d"));
  EXPECT_EQ(readN(c, 1), "c");
  EXPECT_EQ(readN(d, 1), "d");
  EXPECT_EQ(s.server.getBusyNodes(), kPool);
  ::close(c);
  ::close(d);
  EXPECT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  // The held lines are summed up when their 10 s end, at the latest as the loop ends.
  s.server.stop();
  EXPECT_TRUE(s.server.rec.waitLimited("error No enough TCP node", kExcess));
}

// Holds ~1100 descriptors below everything a test opens afterwards, under a
// raised soft limit; both are given back on destruction.
class DescriptorBallast {
 public:
  explicit DescriptorBallast(int n) {
    if (getrlimit(RLIMIT_NOFILE, &m_saved) != 0) return;
    const rlim_t wanted = static_cast<rlim_t>(n) + 300;
    if (m_saved.rlim_max != RLIM_INFINITY && m_saved.rlim_max < wanted) return;
    rlimit raised = m_saved;
    if (raised.rlim_cur < wanted) raised.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return;
    m_raised = true;
    for (int i = 0; i < n; ++i) m_fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  ~DescriptorBallast() {
    for (int fd : m_fds) ::close(fd);
    if (m_raised) setrlimit(RLIMIT_NOFILE, &m_saved);
  }
  bool ok() const { return m_raised && !m_fds.empty() && m_fds.back() > 1024; }

 private:
  rlimit m_saved{};
  bool m_raised = false;
  std::vector<int> m_fds;
};

// Echoes every datagram back to its sender.
class EchoUdp : public Cvlk_udp_server {
 public:
  EchoUdp() : Cvlk_udp_server(nullptr, 4) {}
  ~EchoUdp() override { stop(); }
  std::atomic<int> delivered{0};
  std::atomic<int> badLength{0};  // deliveries of 0 or more than 4096 bytes, or cut short

 protected:
  int checkData(unsigned int, Cvlk_uaddr, int len, char* data) override {
    // The flood's datagrams start with 'x' or 'y': a piece of one is a fault.
    if (len < 1 || len > 4096 || data[len] != '\0' || data[0] == 'x' || data[0] == 'y') ++badLength;
    return 0;
  }
  void procData(unsigned int nodeId, Cvlk_uaddr peer, int len, char* data) override {
    ++delivered;
    SendTo(nodeId, &peer, data, static_cast<unsigned int>(len));
  }
};

// A UDP socket of the test on loopback.
int udpSocket() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Cvlk_uaddr a = loopbackAddr(AF_INET, 0);
  ::bind(fd, a.getAddr(), static_cast<socklen_t>(a.getAddrLen()));
  return fd;
}

bool sendDatagram(int fd, unsigned short port, const std::string& data) {
  Cvlk_uaddr a = loopbackAddr(AF_INET, port);
  return ::sendto(fd, data.data(), data.size(), 0, a.getAddr(), static_cast<socklen_t>(a.getAddrLen())) ==
         static_cast<ssize_t>(data.size());
}

// Sends request until its echo comes back (datagrams may be dropped by a full
// receive buffer); true when it did within the deadline.
bool udpRoundTrip(int fd, unsigned short port, const std::string& request) {
  auto end = std::chrono::steady_clock::now() + kDeadline;
  char buf[8192];
  while (std::chrono::steady_clock::now() < end) {
    if (!sendDatagram(fd, port, request)) continue;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 100) > 0) {
      ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
      if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == request) return true;
    }
  }
  return false;
}

// poll() has no descriptor ceiling; select() would corrupt memory above 1023.
TEST(HostileFds, ServersServeDescriptorsAbove1024) {
  DescriptorBallast ballast(1100);
  if (!ballast.ok()) GTEST_SKIP() << "cannot raise the descriptor limit";
  constexpr unsigned int kPool = 64;  // a full pool, every socket above 1024
  Started plain(kPool);
  plain.server.hook = [&](unsigned int id, int len, char* data) {
    plain.server.sendTo(id, data, static_cast<unsigned int>(len));
  };
  std::vector<int> clients;
  for (unsigned int i = 0; i < kPool; ++i) {
    clients.push_back(connectLoopback(AF_INET, plain.port));
    ASSERT_GT(clients.back(), 1024);
    ASSERT_TRUE(sendAll(clients.back(), "c" + std::to_string(i) + ";"));
  }
  for (unsigned int i = 0; i < kPool; ++i) {
    const std::string want = "c" + std::to_string(i) + ";";
    EXPECT_EQ(readN(clients[i], want.size()), want);
  }
  EXPECT_EQ(plain.server.getBusyNodes(), kPool);
  for (int fd : clients) ::close(fd);

  TlsStarted tls(4);
  TlsClient client(connectLoopback(AF_INET, tls.port));
  ASSERT_GT(client.fd(), 1024);
  ASSERT_TRUE(client.handshake());
  ASSERT_TRUE(client.write("high fd"));
  EXPECT_EQ(client.readN(7), "high fd");

  EchoUdp udp;
  udp.start();
  unsigned short port = 0;
  ASSERT_NE(udp.bindAnyPort(port, 0, 0), 0u);
  int fd = udpSocket();
  ASSERT_GT(fd, 1024);
  EXPECT_TRUE(udpRoundTrip(fd, port, "datagram"));
  ::close(fd);
}

// The bytes of a real ClientHello, as a client's first flight.
std::string clientHello() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(ctx);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl);
  char* p = nullptr;
  long n = BIO_get_mem_data(out, &p);
  std::string hello(p, static_cast<std::size_t>(n > 0 ? n : 0));
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return hello;
}

// Clients that stall or talk garbage in the handshake are cut (by the parser or
// the handshake bound) one by one; a good client is served in between.
TEST(HostileTls, StallingAndGarbageHandshakesAreCutWhileAGoodClientIsServed) {
  TlsStarted s(8, 2);  // a bound the good client clears even under a sanitizer
  std::string hello = clientHello();
  ASSERT_GT(hello.size(), 100u);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"silent", ""},
      {"dribbled hello without its last byte", hello.substr(0, hello.size() - 1)},
      {"zero bytes", std::string(64, '\0')},
      {"record header of 65535 bytes", std::string("\x16\x03\x01\xff\xff", 5)},
      {"plain HTTP", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  const int kHostile = static_cast<int>(sizeof(cases) / sizeof(cases[0]));
  std::vector<int> fds;
  for (int k = 0; k < kHostile; ++k) {
    fds.push_back(connectLoopback(AF_INET, s.port));
    int one = 1;
    ::setsockopt(fds.back(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
  TlsClient good(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(good.handshake());
  // One byte of every hostile client per round trip of the good one.
  std::size_t longest = 0;
  for (const auto& c : cases) longest = std::max(longest, c.bytes.size());
  for (std::size_t i = 0; i < longest; ++i) {
    for (std::size_t k = 0; k < fds.size(); ++k)
      if (i < cases[k].bytes.size()) ::send(fds[k], &cases[k].bytes[i], 1, MSG_NOSIGNAL);
    if (i % 8 == 0) {
      std::string msg = "m" + std::to_string(i);
      ASSERT_TRUE(good.write(msg));
      ASSERT_EQ(good.readN(msg.size()), msg) << "after byte " << i;
    }
  }
  for (std::size_t k = 0; k < fds.size(); ++k) {
    EXPECT_TRUE(waitPeerClosed(fds[k])) << cases[k].name;
    ::close(fds[k]);
  }
  ASSERT_TRUE(s.server.rec.waitCount("closed ", kHostile));
  EXPECT_EQ(s.server.getBusyNodes(), 1u);
  EXPECT_NE(s.server.rec.waitFor("error Fail to accept TLS connection: ").find("peer 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(s.server.rec.count("closed "), kHostile);
  EXPECT_EQ(s.server.rec.count("new "), 1);
  ASSERT_TRUE(good.write("still"));
  EXPECT_EQ(good.readN(5), "still");  s.server.stop();
  EXPECT_TRUE(s.server.rec.waitLimited("error Fail to accept TLS connection: ", kHostile));
}

// A peer that resets its connection, before a broadcast or while its share
// still waits in its queue, costs only its own connection: the others get the
// whole message. The broadcast itself never waits.
TEST(HostileTcp, PeerResettingBeforeOrDuringABroadcastLosesOnlyItsOwnConnection) {
  std::string big(16 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('A' + (i / 4096) % 26);
  for (bool during : {false, true}) {
    SCOPED_TRACE(during ? "reset while queued" : "reset before the write");
    Started s(4);
    echoAndName(s.server);
    // Room for the whole message in every queue.
    ASSERT_EQ(s.server.setOutputLimits(32 << 20, 16 << 20, 1 << 20), ERR_OK);
    int r = connectSmallWindow(s.port);  // first slot: written to first
    ASSERT_TRUE(sendAll(r, "r"));
    unsigned int rid = nodeOf(s.server, 'r');
    int a = connectLoopback(AF_INET, s.port);
    int b = connectLoopback(AF_INET, s.port);
    ASSERT_TRUE(sendAll(a, "a") && sendAll(b, "b"));
    ASSERT_EQ(readN(a, 1), "a");
    ASSERT_EQ(readN(b, 1), "b");
    ASSERT_EQ(readN(r, 1), "r");
    ASSERT_NE(rid, 0u);
    if (!during) resetAndClose(r);
    // Nobody reads yet: the whole broadcast is queued.
    EXPECT_EQ(s.server.broadcast(big.data(), static_cast<unsigned int>(big.size())), ERR_OK);
    if (during) {
      EXPECT_GT(s.server.getQueuedBytes(rid), 0u);
      resetAndClose(r);
    }
    EXPECT_TRUE(readN(a, big.size()) == big);
    EXPECT_TRUE(readN(b, big.size()) == big);
    std::string closed = "closed " + std::to_string(rid);
    EXPECT_EQ(s.server.rec.waitFor(closed), closed);
    EXPECT_EQ(s.server.hasNode(rid), VLK_FALSE);
    EXPECT_EQ(s.server.getBusyNodes(), 2u);
    ::close(a);
    ::close(b);
    ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
    EXPECT_EQ(s.server.rec.count(closed), 1);
    EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
  }
}

// A broadcaster that respects the readers' high-water marks (it waits for
// procDrained) gets every message to them whole and in order, while a peer
// that never reads passes its queue's limit and is closed as a slow consumer,
// once, with a line naming it.
TEST(HostileTcp, SlowConsumerIsClosedAtItsLimitAndPacedReadersGetEveryMessage) {
  Started s(4);
  echoAndName(s.server);
  ASSERT_EQ(s.server.setOutputLimits(1 << 20, 256 << 10, 64 << 10), ERR_OK);
  int slow = connectSmallWindow(s.port);
  ASSERT_TRUE(sendAll(slow, "s"));
  unsigned int sid = nodeOf(s.server, 's');
  ASSERT_NE(sid, 0u);
  int a = connectLoopback(AF_INET, s.port);
  int b = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(a, "a") && sendAll(b, "b"));
  ASSERT_EQ(readN(a, 1), "a");
  ASSERT_EQ(readN(b, 1), "b");
  const std::vector<unsigned int> readers{nodeOf(s.server, 'a'), nodeOf(s.server, 'b')};
  constexpr int kMessages = 256;
  constexpr std::size_t kSize = 64 * 1024;  // 16 MB in all: far more than the slow peer's buffers and queue
  std::string expected;
  for (int i = 0; i < kMessages; ++i) expected += std::string(kSize, static_cast<char>('a' + i % 26));
  std::future<std::string> gotA = std::async(std::launch::async, [&] { return readN(a, expected.size()); });
  std::future<std::string> gotB = std::async(std::launch::async, [&] { return readN(b, expected.size()); });
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_TRUE(s.server.waitBelow(readers));
    std::string msg(kSize, static_cast<char>('a' + i % 26));
    ASSERT_EQ(s.server.broadcast(msg.data(), static_cast<unsigned int>(msg.size())), ERR_OK);
  }
  EXPECT_TRUE(gotA.get() == expected);
  EXPECT_TRUE(gotB.get() == expected);
  const std::string closed = "closed " + std::to_string(sid);
  EXPECT_EQ(s.server.rec.waitFor(closed), closed);
  EXPECT_EQ(s.server.rec.count(closed), 1);
  EXPECT_EQ(s.server.rec.count("error slow consumer closed: node"), 1);
  Cvlk_out_stats stats = s.server.getOutputStats();
  EXPECT_EQ(stats.slowConsumerCloses, 1u);
  EXPECT_EQ(stats.refusedSends, 1u);
  EXPECT_EQ(s.server.hasNode(sid), VLK_FALSE);
  EXPECT_EQ(s.server.getBusyNodes(), 2u);
  EXPECT_TRUE(waitPeerClosed(slow));
  ::close(slow);
  ::close(a);
  ::close(b);
  EXPECT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
}

// Sends to a peer that reads nothing return at once: under the refuse-only
// policy its queue stops at its limit (the send past it is refused whole, the
// connection stays), while the loop goes on reading and answering another
// client and two threads' messages to that client never mix. Plain and TLS.
void stuckReaderCostsNothing(RecordingServer& server, const std::function<std::string(const std::string&)>& otherRoundTrip,
                             unsigned int sid, unsigned int oid, bool tls) {
  constexpr unsigned int kLimit = 1 << 20;
  ASSERT_EQ(server.setOutputLimits(kLimit, kLimit / 2, kLimit / 4), ERR_OK);
  server.setSlowConsumerPolicy(SLOW_CONSUMER_REFUSE);
  const std::string chunk(64 << 10, 'z');
  EerrNo err = ERR_OK;
  int sent = 0;
  for (; err == ERR_OK && sent < 10000; ++sent) err = server.sendTo(sid, chunk.data(), static_cast<unsigned int>(chunk.size()));
  EXPECT_EQ(err, ERR_BUSY);
  EXPECT_EQ(server.hasNode(sid), VLK_TRUE);
  const std::size_t queued = server.getQueuedBytes(sid);
  EXPECT_GT(queued, 0u);
  EXPECT_LE(queued, kLimit);
  EXPECT_NE(server.rec.waitFor("high " + std::to_string(sid)), "");
  // The refused send left the queue as it was, and so does the next one.
  EXPECT_EQ(server.sendTo(sid, chunk.data(), static_cast<unsigned int>(chunk.size())), ERR_BUSY);
  EXPECT_EQ(server.getQueuedBytes(sid), queued);
  // Refused whole under this policy, also where the socket would have taken a part.
  const std::string huge(2 * kLimit + 1, 'h');
  EXPECT_EQ(server.sendTo(oid, huge.data(), static_cast<unsigned int>(huge.size())), ERR_BUSY);
  EXPECT_EQ(server.hasNode(oid), VLK_TRUE);
  for (int i = 0; i < 10; ++i) {
    const std::string msg = "ping " + std::to_string(i);
    ASSERT_EQ(otherRoundTrip(msg), msg);
  }
  if (!tls) {
    // Two application threads write to one connection at once: whole messages.
    const std::string one(512 << 10, '1'), two(512 << 10, '2');
    std::future<EerrNo> first = std::async(std::launch::async, [&] {
      return server.sendTo(oid, one.data(), static_cast<unsigned int>(one.size()));
    });
    EXPECT_EQ(server.sendTo(oid, two.data(), static_cast<unsigned int>(two.size())), ERR_OK);
    EXPECT_EQ(first.get(), ERR_OK);
    const std::string both = otherRoundTrip(std::string());
    EXPECT_TRUE(both == one + two || both == two + one);
  }
  EXPECT_EQ(server.getOutputStats().slowConsumerCloses, 0u);
  server.closeConnect(sid);
  const std::string closed = "closed " + std::to_string(sid);
  EXPECT_EQ(server.rec.waitFor(closed), closed);
  EXPECT_EQ(server.hasNode(sid), VLK_FALSE);
  EXPECT_EQ(server.rec.count(closed), 1);
}

TEST(HostileTcp, AStuckReaderCostsOthersNothingAndItsQueueStopsAtItsLimit) {
  Started s(4);
  echoAndName(s.server);
  int stuck = connectSmallWindow(s.port);
  ASSERT_TRUE(sendAll(stuck, "s"));
  unsigned int sid = nodeOf(s.server, 's');
  ASSERT_NE(sid, 0u);
  ASSERT_EQ(readN(stuck, 1), "s");
  int other = connectLoopback(AF_INET, s.port);
  ASSERT_TRUE(sendAll(other, "o"));
  unsigned int oid = nodeOf(s.server, 'o');
  ASSERT_EQ(readN(other, 1), "o");
  stuckReaderCostsNothing(
      s.server,
      [&](const std::string& msg) {
        if (msg.empty()) return readN(other, 1 << 20);
        return sendAll(other, msg) ? readN(other, msg.size()) : std::string();
      },
      sid, oid, false);
  EXPECT_TRUE(waitPeerClosed(stuck));
  ::close(stuck);
  ::close(other);
  EXPECT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
}

TEST(HostileTls, AStuckReaderCostsOthersNothingAndItsQueueStopsAtItsLimit) {
  TlsStarted s(4);
  TlsClient stuck(connectSmallWindow(s.port));
  ASSERT_TRUE(stuck.handshake());
  std::string first = s.server.rec.waitFor("new ");
  ASSERT_NE(first, "");
  const unsigned int sid = static_cast<unsigned int>(std::stoul(first.substr(4)));
  TlsClient other(connectLoopback(AF_INET, s.port));
  ASSERT_TRUE(other.handshake());
  std::string second = s.server.rec.waitFor("new ", 1);
  ASSERT_NE(second, "");
  stuckReaderCostsNothing(
      s.server,
      [&](const std::string& msg) { return other.write(msg) ? other.readN(msg.size()) : std::string(); }, sid,
      static_cast<unsigned int>(std::stoul(second.substr(4))), true);
  EXPECT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 1; }));
  ASSERT_TRUE(other.write("after"));
  EXPECT_EQ(other.readN(5), "after");
}

// Flooded with datagrams of 0, 4097 and 65507 bytes (far more than the receive
// buffer holds), the endpoint hands on none of them, never a cut one, and
// answers a well-behaved peer throughout.
TEST(HostileUdp, EmptyAndOversizeFloodNeverReachesTheHooksAndNormalPeersAreServed) {
  EchoUdp udp;
  udp.start();
  unsigned short port = 0;
  ASSERT_NE(udp.bindAnyPort(port, 0, 0), 0u);
  std::atomic<bool> done{false};
  std::atomic<unsigned int> flooded{0};
  std::thread flood([&] {
    int fd = udpSocket();
    const std::string sizes[] = {std::string(), std::string(4097, 'x'), std::string(65507, 'y')};
    for (unsigned int i = 0; !done.load(); ++i) sendDatagram(fd, port, sizes[i % 3]), flooded = i;
    ::close(fd);
  });
  // The receive buffer is overrun before the first request.
  for (auto end = std::chrono::steady_clock::now() + kDeadline;
       flooded.load() < 300 && std::chrono::steady_clock::now() < end;)
    std::this_thread::yield();
  int fd = udpSocket();
  for (int i = 0; i < 20; ++i) {
    std::string request = "n" + std::to_string(i % 2 == 0 ? 4096 : 7) + "#";
    request.resize(i % 2 == 0 ? 4096 : 7, '.');
    ASSERT_TRUE(udpRoundTrip(fd, port, request)) << i;
  }
  done = true;
  flood.join();
  ::close(fd);
  EXPECT_EQ(udp.badLength.load(), 0);
  EXPECT_GE(udp.delivered.load(), 20);
  EXPECT_EQ(udp.getBusyNodes(), 1u);
}

class AgingServer : public RecordingServer {
 public:
  AgingServer() : RecordingServer(3) {}
  // The loop must be gone before this class's part of the object is.
  ~AgingServer() override { stop(); }
  // Moves the connection's last receive back by seconds, as if that long passed.
  void age(unsigned int nodeId, std::int64_t seconds) {
    locked([&] {
      if (auto* node = static_cast<Cvlk_tcp*>(getNode(nodeId))) node->lastActive -= seconds;
    });
  }
};

// A full pool whose peers die: one whose process is killed (the system closes
// its socket) is noticed by the loop at once; one that is gone without a word
// (a silent, half-open connection) is reclaimed by the idle check. New clients
// then get the slots.
TEST(HostileTcp, DeadPeersInAFullPoolAreReclaimed) {
  AgingServer server;
  unsigned short port = 0;
  ASSERT_EQ(server.bindAnyPort(port), ERR_OK);
  echoAndName(server);
  server.start();
  int active = connectLoopback(AF_INET, port);
  int halfOpen = connectLoopback(AF_INET, port);
  int killed = connectLoopback(AF_INET, port);
  ASSERT_TRUE(sendAll(active, "a") && sendAll(halfOpen, "h") && sendAll(killed, "k"));
  unsigned int activeId = nodeOf(server, 'a'), halfId = nodeOf(server, 'h'), killedId = nodeOf(server, 'k');
  ASSERT_TRUE(activeId != 0 && halfId != 0 && killedId != 0);
  // The killed peer's socket lives on in a child process only.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (;;) ::pause();
  }
  ::close(killed);
  int refused = connectLoopback(AF_INET, port);
  EXPECT_TRUE(waitPeerClosed(refused));
  ::close(refused);
  EXPECT_EQ(server.getBusyNodes(), 3u);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  std::string closed = "closed " + std::to_string(killedId);
  EXPECT_EQ(server.rec.waitFor(closed), closed);

  server.age(halfId, 120);
  ASSERT_TRUE(sendAll(active, "x"));
  ASSERT_EQ(readN(active, 2), "ax");
  server.selfCheck(60);
  EXPECT_TRUE(waitPeerClosed(halfOpen));
  ::close(halfOpen);
  EXPECT_EQ(server.hasNode(halfId), VLK_FALSE);
  EXPECT_EQ(server.hasNode(activeId), VLK_TRUE);

  int c1 = connectLoopback(AF_INET, port);
  int c2 = connectLoopback(AF_INET, port);
  ASSERT_TRUE(sendAll(c1, "1") && sendAll(c2, "2"));
  EXPECT_EQ(readN(c1, 1), "1");
  EXPECT_EQ(readN(c2, 1), "2");
  EXPECT_EQ(server.getBusyNodes(), 3u);
  for (int fd : {active, c1, c2}) ::close(fd);
  EXPECT_TRUE(server.rec.waitUntil([&] { return server.getBusyNodes() == 0; }));
}

}  // namespace
