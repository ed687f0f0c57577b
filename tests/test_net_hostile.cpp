// Hostile peers against the servers (pool overflow, descriptors past 1024,
// stalling or garbage TLS clients, resets, readers that never read and the
// queues' limits, bad datagrams): the others are served, the pool made whole.
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

// c sends tag and reads its echo (see echoAndName); c's node, or 0.
unsigned int hello(RecordingServer& server, Conn& c, char tag) {
  const std::string t(1, tag), e = c.write(t) && c.read(1) == t ? server.rec.waitFor("from " + t + " ") : "";
  return e.empty() ? 0u : static_cast<unsigned int>(std::stoul(e.substr(7)));
}

// A refused connection must not cost the connections already held their turn:
// one pass refuses one newcomer and still reads every other ready socket.
TEST(HostileTcp, ExcessConnectionsAreRefusedWithoutStarvingHeldOnes) {
  constexpr int kExcess = 8;
  Started s(2);
  std::promise<void> parked, release;
  std::shared_future<void> released = release.get_future().share();
  s.server.hook = [&](unsigned int id, int len, char* data) {
    if (len <= 0) return;
    if (data[0] == 'p') {  // holds the server thread while the test lines up a burst
      parked.set_value();
      released.wait_for(kDeadline);
    }
    s.server.rec.add("data " + std::string(data, static_cast<std::size_t>(len)));
    s.server.sendTo(id, data, static_cast<unsigned int>(len));
  };
  {
    Conn a(AF_INET, s.port), b(AF_INET, s.port);
    ASSERT_TRUE(a.write("a") && b.write("b"));
    ASSERT_EQ(a.read(1), "a");
    ASSERT_EQ(b.read(1), "b");
    ASSERT_TRUE(a.write("p"));
    ASSERT_EQ(parked.get_future().wait_for(kDeadline), std::future_status::ready);
    // The burst waits in the backlog, then b speaks: both are ready at the next pass.
    std::vector<std::unique_ptr<Conn>> excess;
    for (int i = 0; i < kExcess; ++i) excess.emplace_back(new Conn(AF_INET, s.port));
    ASSERT_TRUE(b.write("q"));
    release.set_value();
    ASSERT_EQ(b.read(1), "q");
    ASSERT_EQ(a.read(1), "p");
    int before = 0;
    for (const auto& e : s.server.rec.events()) {
      if (e == "data q") break;
      if (e.rfind("error ", 0) == 0) ++before;
    }
    EXPECT_LE(before, 1) << "held connections waited for the whole burst to be refused";
    for (auto& c : excess) EXPECT_TRUE(c->waitClosed());
  }
  // One line with the peer; the rest are held back.
  EXPECT_NE(s.server.rec.waitFor("error No enough TCP node").find("refused 127.0.0.1:"), std::string::npos);
  EXPECT_LT(s.server.rec.count("error No enough TCP node"), kExcess);
  ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
  {
    Conn c(AF_INET, s.port), d(AF_INET, s.port);  // the whole pool serves again
    ASSERT_TRUE(c.write("c") && d.write("d"));
    EXPECT_EQ(c.read(1), "c");
    EXPECT_EQ(d.read(1), "d");
    EXPECT_EQ(s.server.getBusyNodes(), 2u);
  }
  // The held lines are summed up when their 10 s end, at the latest as the loop ends.
  s.server.stop();
  EXPECT_TRUE(s.server.rec.waitLimited("error No enough TCP node", kExcess));
}

// n descriptors held under a raised soft limit until destroyed; none when the
// limit cannot be raised.
struct DescriptorBallast {
  explicit DescriptorBallast(int n) {
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit raised{std::max(saved.rlim_cur, static_cast<rlim_t>(n) + 300), saved.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return;
    for (int i = 0; i < n; ++i) fds.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  }
  ~DescriptorBallast() {
    for (int fd : fds) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
  }
  bool ok() const { return !fds.empty() && fds.back() > 1024; }
  rlimit saved{};
  std::vector<int> fds;
};

// poll() has no descriptor ceiling; select() would corrupt memory above 1023.
TEST(HostileFds, ServersServeDescriptorsAbove1024) {
  DescriptorBallast ballast(1100);
  if (!ballast.ok()) GTEST_SKIP() << "cannot raise the descriptor limit";
  constexpr unsigned int kPool = 64;  // a full pool, every socket above 1024
  Started plain(kPool);
  echoAndName(plain.server);
  std::vector<std::unique_ptr<Conn>> clients;
  for (unsigned int i = 0; i < kPool; ++i) {
    clients.emplace_back(new Conn(AF_INET, plain.port));
    ASSERT_GT(clients.back()->fd(), 1024);
    ASSERT_NE(hello(plain.server, *clients.back(), static_cast<char>('0' + i)), 0u);
  }
  EXPECT_EQ(plain.server.getBusyNodes(), kPool);
  clients.clear();

  Started tls(4, true);
  Conn client(AF_INET, tls.port);
  ASSERT_GT(client.fd(), 1024);
  ASSERT_TRUE(client.handshake());
  ASSERT_TRUE(client.write("high fd"));
  EXPECT_EQ(client.read(7), "high fd");

  RecordingUdp udp;
  udp.echo = true;
  udp.start();
  unsigned short port = 0;
  ASSERT_NE(udp.bindAnyPort(port, 0, 0), 0u);
  UdpPeer peer;
  ASSERT_GT(peer.fd(), 1024);
  EXPECT_TRUE(peer.roundTrip(port, "datagram"));
}

// Clients that stall or talk garbage in the handshake are cut (by the parser or
// the handshake bound), never announced nor reported closing, and keepAlive
// leaves them alone; a good client is served in between.
TEST(HostileTls, StallingAndGarbageHandshakesAreCutWhileAGoodClientIsServed) {
  Started s(8, true, 2);  // a bound the good client clears even under a sanitizer
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"silent", ""},
      {"dribbled handshake record without its last byte", std::string("\x16\x03\x01\x00\x80", 5) + std::string(127, 'h')},
      {"zero bytes", std::string(64, '\0')},
      {"record header of 65535 bytes", std::string("\x16\x03\x01\xff\xff", 5)},
      {"plain HTTP", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  const int kHostile = static_cast<int>(sizeof(cases) / sizeof(cases[0]));
  std::vector<std::unique_ptr<Conn>> bad;
  std::size_t longest = 0;
  for (const auto& c : cases) {
    bad.emplace_back(new Conn(AF_INET, s.port));
    int one = 1;
    ::setsockopt(bad.back()->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    longest = std::max(longest, c.bytes.size());
  }
  Conn good(AF_INET, s.port);
  ASSERT_TRUE(good.handshake() && good.write("hi"));
  ASSERT_EQ(good.read(2), "hi");  // the server saw the handshake end
  s.server.keepAlive();           // reaches the good client, never one in its handshake
  EXPECT_EQ(good.read(2), "\r\n");
  // One byte of every hostile client per round trip of the good one.
  for (std::size_t i = 0; i < longest; ++i) {
    for (int k = 0; k < kHostile; ++k)
      if (i < cases[k].bytes.size()) ::send(bad[k]->fd(), &cases[k].bytes[i], 1, MSG_NOSIGNAL);
    if (i % 8 == 0) {
      std::string msg = "m" + std::to_string(i);
      ASSERT_TRUE(good.write(msg));
      ASSERT_EQ(good.read(msg.size()), msg) << "after byte " << i;
    }
  }
  for (int k = 0; k < kHostile; ++k) {
    EXPECT_EQ(bad[k]->read(SIZE_MAX).find("\r\n"), std::string::npos) << cases[k].name;
    EXPECT_TRUE(bad[k]->waitClosed()) << cases[k].name;
  }
  ASSERT_TRUE(s.server.rec.waitLimited("closed ", kHostile));
  EXPECT_EQ(s.server.getBusyNodes(), 1u);
  EXPECT_NE(s.server.rec.waitFor("error Fail to accept TLS connection: ").find("peer 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(s.server.rec.count("new "), 1);
  EXPECT_EQ(s.server.rec.count("closing "), 0);
  ASSERT_TRUE(good.write("still"));
  EXPECT_EQ(good.read(5), "still");
  s.server.stop();
  EXPECT_TRUE(s.server.rec.waitLimited("error Fail to accept TLS connection: ", kHostile));
}

// A broadcaster paced by the readers' marks (procDrained comes only at the
// low-water mark) gets every message to them whole and in order; a peer that
// never reads passes its limit and is closed as a slow consumer, once, with a
// line naming it; a peer that resets, before the first message or while its
// share waits in its queue, loses only its own connection. With every queue
// empty the loop sleeps again. The budget (fixed before the start) bounds all
// queues together: a send within its queue's limit but beyond the budget is
// refused and, a part having gone, closes its connection whatever the policy.
TEST(HostileTcp, SlowConsumerIsClosedAtItsLimitAndPacedReadersGetEveryMessageWithinTheBudget) {
  constexpr unsigned int kLow = 64 << 10;
  constexpr std::size_t kBudget = 4 << 20;  // holds every queue of the paced broadcast
  constexpr int kMessages = 256;
  constexpr std::size_t kSize = 64 * 1024;  // 16 MB in all: far more than the slow peer's buffers and queue
  std::string expected;
  for (int i = 0; i < kMessages; ++i) expected += std::string(kSize, static_cast<char>('a' + i % 26));
  for (bool during : {false, true}) {
    SCOPED_TRACE(during ? "reset while queued" : "reset before the first message");
    Started s(4, false, 0, kBudget);
    EXPECT_EQ(s.server.setOutputBudget(0), ERR_INVALID_PARAM);
    EXPECT_EQ(s.server.setOutputBudget(1 << 20), ERR_INVALID_OPR);  // running
    EXPECT_EQ(s.server.getOutputStats().budgetBytes, kBudget);
    echoAndName(s.server);
    ASSERT_EQ(s.server.setOutputLimits(1 << 20, 256 << 10, kLow), ERR_OK);
    // r: the first slot, written to first.
    Conn r(AF_INET, s.port, 4096), slow(AF_INET, s.port, 4096), a(AF_INET, s.port), b(AF_INET, s.port);
    const unsigned int rid = hello(s.server, r, 'r'), sid = hello(s.server, slow, 's');
    const std::vector<unsigned int> readers{hello(s.server, a, 'a'), hello(s.server, b, 'b')};
    ASSERT_TRUE(rid != 0 && sid != 0 && readers[0] != 0 && readers[1] != 0);
    ASSERT_EQ(s.server.pauseReading(rid), ERR_OK);  // so that the loop cannot see a reset before the broadcast does
    if (!during) r.drop(true);
    std::future<std::string> gotA = std::async(std::launch::async, [&] { return a.read(expected.size()); });
    std::future<std::string> gotB = std::async(std::launch::async, [&] { return b.read(expected.size()); });
    for (int i = 0; i < kMessages; ++i) {
      ASSERT_TRUE(s.server.waitBelow(readers));
      std::string msg(kSize, static_cast<char>('a' + i % 26));
      ASSERT_EQ(s.server.broadcast(msg.data(), static_cast<unsigned int>(msg.size())), ERR_OK);
      if (r.fd() >= 0 && s.server.getQueuedBytes(rid) > 0) r.drop(true);  // (never queued: a second slow close, caught below)
    }
    EXPECT_TRUE(gotA.get() == expected);
    EXPECT_TRUE(gotB.get() == expected);
    const std::string closed = "closed " + std::to_string(sid), reset = "closed " + std::to_string(rid);
    EXPECT_EQ(s.server.rec.waitFor(closed), closed);
    EXPECT_EQ(s.server.rec.waitFor(reset), reset);
    EXPECT_EQ(s.server.rec.count(closed), 1);
    EXPECT_EQ(s.server.rec.count("error slow consumer closed: node"), 1);
    Cvlk_out_stats stats = s.server.getOutputStats();
    EXPECT_EQ(stats.slowConsumerCloses, 1u);
    EXPECT_EQ(stats.refusedSends, 1u);
    EXPECT_GT(s.server.rec.count("drained "), 0);
    {
      std::lock_guard<std::mutex> lock(s.server.rec.lock());
      EXPECT_LE(s.server.mostQueuedAtDrained, kLow);
    }
    EXPECT_EQ(s.server.getBusyNodes(), 2u);
    EXPECT_TRUE(slow.waitClosed());
    // Nothing is queued: no write readiness is watched, the loop waits for input.
    EXPECT_TRUE(waitUntilPolling(s.server.loopTid));
    s.server.setSlowConsumerPolicy(SLOW_CONSUMER_REFUSE);
    ASSERT_EQ(s.server.setOutputLimits(32 << 20, 16 << 20, 1 << 20), ERR_OK);
    const std::string big(24 << 20, 'b');  // within the queue's limit, far beyond the budget and the socket buffers
    EXPECT_EQ(s.server.sendTo(readers[0], big.data(), static_cast<unsigned int>(big.size())), ERR_BUSY);
    EXPECT_EQ(s.server.hasNode(readers[0]), VLK_FALSE);
    stats = s.server.getOutputStats();
    EXPECT_EQ(stats.slowConsumerCloses, 2u);
    EXPECT_TRUE(a.waitClosed());
    b.drop();
    ASSERT_TRUE(s.server.rec.waitUntil([&] { return s.server.getBusyNodes() == 0; }));
    EXPECT_EQ(s.server.rec.count(reset), 1);
    EXPECT_EQ(s.server.getOutputStats().queuedBytes, 0u);
  }
}

// Sends to a peer that reads nothing return at once and stop at the queue's
// limits to the byte: the high-water hook fires past the mark (not at it); a
// send that fills the queue to its limit is taken, one byte more refused
// whole. Under the refuse policy the connection stays; under the close policy
// it closes, counted. Another client is answered meanwhile, and two threads'
// messages to it never mix. Plain and TLS.
TEST(HostileTcp, AStuckReadersQueueStopsExactlyAtItsLimitsAndCostsOthersNothing) {
  constexpr std::size_t kChunk = 16 << 10;
  const std::string bytes(4 << 20, 'z');
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    Started s(4, tls);
    echoAndName(s.server);
    Conn stuck(AF_INET, s.port, 4096), other(AF_INET, s.port);
    ASSERT_TRUE(!tls || (stuck.handshake() && other.handshake()));
    const unsigned int sid = hello(s.server, stuck, 's'), oid = hello(s.server, other, 'o');
    ASSERT_TRUE(sid != 0 && oid != 0);
    auto send = [&](unsigned int id, std::size_t n) {
      return s.server.sendTo(id, bytes.data(), static_cast<unsigned int>(n));
    };
    auto roundTrip = [&](const std::string& msg) { return other.write(msg) ? other.read(msg.size()) : std::string(); };
    s.server.setSlowConsumerPolicy(SLOW_CONSUMER_REFUSE);
    // The first send the socket does not take whole leaves the rest queued.
    std::size_t q = 0;
    for (int i = 0; i < 10000 && q == 0; ++i) {
      ASSERT_EQ(send(sid, kChunk), ERR_OK);
      q = s.server.getQueuedBytes(sid);
    }
    ASSERT_GT(q, 0u);
    ASSERT_EQ(s.server.setOutputLimits(q + 2 * kChunk, q + kChunk, 1024), ERR_OK);
    EXPECT_EQ(send(sid, kChunk), ERR_OK);  // up to the mark
    EXPECT_EQ(s.server.rec.count("high "), 0);
    EXPECT_EQ(send(sid, 1), ERR_OK);  // past it
    EXPECT_EQ(s.server.rec.count("high " + std::to_string(sid)), 1);
    EXPECT_EQ(send(sid, kChunk - 1), ERR_OK);  // up to the limit
    EXPECT_EQ(s.server.getQueuedBytes(sid), q + 2 * kChunk);
    EXPECT_EQ(send(sid, 1), ERR_BUSY);
    EXPECT_EQ(send(sid, kChunk), ERR_BUSY);
    EXPECT_EQ(s.server.getQueuedBytes(sid), q + 2 * kChunk);
    EXPECT_EQ(s.server.hasNode(sid), VLK_TRUE);
    // Refused whole, also where the socket would have taken a part.
    EXPECT_EQ(send(oid, 2 * (q + 2 * kChunk) + 1), ERR_BUSY);
    EXPECT_EQ(s.server.hasNode(oid), VLK_TRUE);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(roundTrip("ping " + std::to_string(i)), "ping " + std::to_string(i));
    if (!tls) {
      ASSERT_EQ(s.server.setOutputLimits(4 << 20, 1 << 20, 1024), ERR_OK);
      // Two application threads write to one connection at once: whole messages.
      const std::string one(512 << 10, '1'), two(512 << 10, '2');
      std::future<EerrNo> first = std::async(std::launch::async, [&] {
        return s.server.sendTo(oid, one.data(), static_cast<unsigned int>(one.size()));
      });
      EXPECT_EQ(s.server.sendTo(oid, two.data(), static_cast<unsigned int>(two.size())), ERR_OK);
      EXPECT_EQ(first.get(), ERR_OK);
      const std::string both = other.read(one.size() + two.size());
      EXPECT_TRUE(both == one + two || both == two + one);
    }
    Cvlk_out_stats stats = s.server.getOutputStats();
    EXPECT_EQ(stats.refusedSends, 3u);
    EXPECT_EQ(stats.slowConsumerCloses, 0u);
    // The close policy ends the connection at its next refusal.
    s.server.setSlowConsumerPolicy(SLOW_CONSUMER_CLOSE);
    EXPECT_EQ(send(sid, bytes.size()), ERR_BUSY);
    EXPECT_EQ(s.server.hasNode(sid), VLK_FALSE);
    EXPECT_EQ(s.server.getOutputStats().slowConsumerCloses, 1u);
    EXPECT_NE(s.server.rec.waitFor("error slow consumer closed: node"), "");
    EXPECT_TRUE(stuck.waitClosed());
    EXPECT_EQ(roundTrip("after"), "after");
    EXPECT_EQ(s.server.rec.count("closed "), 1);
  }
}

// Flooded with datagrams of 0, 4097 and 65507 bytes, the endpoint hands on
// none, never a cut one, and answers a normal peer throughout.
TEST(HostileUdp, EmptyAndOversizeFloodNeverReachesTheHooksAndNormalPeersAreServed) {
  RecordingUdp udp;
  udp.echo = true;
  udp.start();
  unsigned short port = 0;
  const unsigned int id = udp.bindAnyPort(port, 0, 0);
  ASSERT_NE(id, 0u);
  std::atomic<bool> done{false};
  std::atomic<unsigned int> flooded{0};
  UdpPeer from, peer;
  std::thread flood([&] {
    const std::string sizes[] = {std::string(), std::string(4097, 'x'), std::string(65507, 'y')};
    for (unsigned int i = 0; !done.load(); ++i) from.send(port, sizes[i % 3]), flooded = i;
  });
  // The receive buffer is overrun before the first request.
  eventually([&] { return flooded.load() >= 300; });
  for (int i = 0; i < 20; ++i) {
    std::string request = "n" + std::to_string(i % 2 == 0 ? 4096 : 7) + "#";
    request.resize(i % 2 == 0 ? 4096 : 7, '.');
    ASSERT_TRUE(peer.roundTrip(port, request)) << i;
  }
  done = true;
  flood.join();
  // Not one of the flood's datagrams was checked, whole or cut; every request came whole and terminated.
  EXPECT_EQ(udp.rec.count(seen("checked", id, 4, from.port(), "")), 0);
  EXPECT_EQ(udp.rec.count(seen("checked", id, 4, peer.port(), "", false)), 0);
  EXPECT_GE(udp.rec.count("processed "), 20);
  EXPECT_EQ(udp.getBusyNodes(), 1u);
}

}  // namespace
