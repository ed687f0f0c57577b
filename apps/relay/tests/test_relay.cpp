// End to end: a relay on free loopback ports, driven with plain sockets (IPv4 and
// IPv6), a TLS client and UDP datagrams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <QCoreApplication>

#include "relay_app.h"
#include "relay_bench.h"
#include "relay_log.h"

namespace {

constexpr int kDeadlineMs = 20000;

// Waits for a condition while the Qt event loop of this thread runs (the relay's
// timers tick there).
bool WaitFor(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    poll(nullptr, 0, 5);
  }
  return true;
}

// A blocking line client over a plain socket or TLS. Reads give up after the
// deadline, so a missing answer fails the test instead of hanging it.
class Client {
 public:
  Client(int family, unsigned port, bool tls) {
    m_fd = socket(family, SOCK_STREAM, 0);
    timeval tv{kDeadlineMs / 1000, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int rc = -1;
    if (family == AF_INET6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(static_cast<uint16_t>(port));
      rc = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<uint16_t>(port));
      rc = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    m_ok = rc == 0;
    if (m_ok && tls) {
      m_ctx = SSL_CTX_new(TLS_client_method());
      m_ssl = SSL_new(m_ctx);
      SSL_set_fd(m_ssl, m_fd);
      m_ok = SSL_connect(m_ssl) == 1;
    }
  }
  ~Client() {
    if (m_ssl) SSL_free(m_ssl);
    if (m_ctx) SSL_CTX_free(m_ctx);
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_ok; }

  void Send(const std::string& data) {
    if (m_ssl) {
      ASSERT_EQ(SSL_write(m_ssl, data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
    } else {
      ASSERT_EQ(send(m_fd, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    }
  }
  // The next line without its '\n', or "<closed>" / "<timeout>".
  std::string Line() {
    while (true) {
      std::size_t nl = m_in.find('\n');
      if (nl != std::string::npos) {
        std::string line = m_in.substr(0, nl);
        m_in.erase(0, nl + 1);
        return line;
      }
      char buf[4096];
      int n = m_ssl ? SSL_read(m_ssl, buf, sizeof(buf)) : static_cast<int>(recv(m_fd, buf, sizeof(buf), 0));
      if (n == 0 || (n < 0 && m_ssl && SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN)) return "<closed>";
      if (n < 0) return m_ssl ? "<closed>" : "<timeout>";
      m_in.append(buf, static_cast<std::size_t>(n));
    }
  }
  // Ends the sending direction (the relay sees a half-close).
  void Shut() { shutdown(m_fd, SHUT_WR); }
  // True once the relay has closed the connection (never waits).
  bool PeerClosed() {
    pollfd p{m_fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 1) return false;
    char c;
    return recv(m_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }

 private:
  int m_fd = -1;
  bool m_ok = false;
  SSL_CTX* m_ctx = nullptr;
  SSL* m_ssl = nullptr;
  std::string m_in;
};

bool HasIPv6Loopback() {
  int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/relay-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    Srelay_config cfg;
    cfg.tcpPort = cfg.tlsPort = cfg.udpPort = 0;
    cfg.certDir = m_dir;
    cfg.maxConnections = 16;
    cfg.idleSeconds = 3600;
    cfg.poolTiny = cfg.poolSmall = cfg.poolComm = cfg.poolBig = 256;
    Configure(cfg);
    m_relay.reset(new Crelay_app(cfg));
    std::string err;
    ASSERT_TRUE(m_relay->Start(err)) << err;
  }
  void TearDown() override {
    if (m_relay) {
      m_relay->Stop();
      std::string detail;
      EXPECT_TRUE(m_relay->AllBuffersHome(detail)) << detail;
      m_relay.reset();
    }
    std::string cmd = "rm -rf " + m_dir;
    EXPECT_EQ(std::system(cmd.c_str()), 0);
  }
  virtual void Configure(Srelay_config&) {}

  std::unique_ptr<Client> Plain(int family = AF_INET) {
    auto c = std::make_unique<Client>(family, m_relay->TcpPort(), false);
    EXPECT_TRUE(c->ok());
    return c;
  }
  std::unique_ptr<Client> Tls() {
    auto c = std::make_unique<Client>(AF_INET, m_relay->TlsPort(), true);
    EXPECT_TRUE(c->ok());
    return c;
  }
  std::string Stats() { return RelayQueryStats("127.0.0.1", m_relay->UdpPort(), kDeadlineMs); }

  std::string m_dir;
  std::unique_ptr<Crelay_app> m_relay;
};

}  // namespace

TEST_F(RelayTest, FansOutToPlainIPv6AndTlsSubscribersAndHonoursUnsub) {
  auto a = Plain();
  auto tls = Tls();
  bool v6 = HasIPv6Loopback();
  auto b = v6 ? Plain(AF_INET6) : Plain();
  a->Send("PING\r\n");
  EXPECT_EQ(a->Line(), "PONG");
  for (Client* c : {a.get(), b.get(), tls.get()}) {
    c->Send("SUB news\n");
    EXPECT_EQ(c->Line(), "OK");
  }
  a->Send("PUB news hello world\n");
  // The publisher is a subscriber too: its copy comes before its "OK".
  EXPECT_EQ(a->Line(), "MSG news hello world");
  EXPECT_EQ(a->Line(), "OK");
  EXPECT_EQ(b->Line(), "MSG news hello world");
  EXPECT_EQ(tls->Line(), "MSG news hello world");

  b->Send("UNSUB news\n");
  EXPECT_EQ(b->Line(), "OK");
  b->Send("UNSUB news\n");
  EXPECT_EQ(b->Line(), "ERR not subscribed");
  tls->Send("PUB news second\n");
  EXPECT_EQ(tls->Line(), "MSG news second");
  EXPECT_EQ(tls->Line(), "OK");
  EXPECT_EQ(a->Line(), "MSG news second");
  // By the "OK" every delivery was handed on: b would have its copy before PONG.
  b->Send("PING\n");
  EXPECT_EQ(b->Line(), "PONG");
  // Other topics stay apart; subscribing twice is harmless.
  a->Send("SUB news\nPUB other x\n");
  EXPECT_EQ(a->Line(), "OK");
  EXPECT_EQ(a->Line(), "OK");
  tls->Send("quit\n");  // a TLS connection too closes after the answer
  EXPECT_EQ(tls->Line(), "OK");
  EXPECT_EQ(tls->Line(), "<closed>");
}

TEST_F(RelayTest, RefusesOversizeAndGarbageLinesAndStaysUsable) {
  auto c = Plain();
  c->Send(std::string(kRelayMaxLine + 1, 'x') + "\n");
  EXPECT_EQ(c->Line(), "ERR line too long");
  // A flood without a line end is refused once, and the line after it is served.
  c->Send("PUB t " + std::string(20000, 'y'));
  EXPECT_EQ(c->Line(), "ERR line too long");
  c->Send("yyy\nPING\n");
  EXPECT_EQ(c->Line(), "PONG");
  c->Send(std::string("\x00\xff\x01junk\r\n", 9));
  EXPECT_EQ(c->Line(), "ERR unknown command");
  c->Send("PUB t bell\x07\n\nping\n");
  EXPECT_EQ(c->Line(), "ERR bad text");
  EXPECT_EQ(c->Line(), "PONG");  // the empty line got no answer
  // The longest acceptable line is relayed whole.
  std::string text(kRelayMaxLine - 6, 'z');
  c->Send("SUB t\nPUB t " + text + "\n");
  EXPECT_EQ(c->Line(), "OK");
  EXPECT_EQ(c->Line(), "MSG t " + text);
  EXPECT_EQ(c->Line(), "OK");
  // Random bytes in random pieces never take the relay down.
  std::srand(3);
  for (int i = 0; i < 200; ++i) {
    std::string junk(static_cast<std::size_t>(std::rand() % 300), '\0');
    for (char& ch : junk) ch = static_cast<char>(std::rand());
    c->Send(junk);
  }
  c->Send("\nPING\n");
  std::string line;
  do {
    line = c->Line();
  } while (line.rfind("ERR", 0) == 0 || line.rfind("OK", 0) == 0 || line.rfind("MSG", 0) == 0);
  EXPECT_EQ(line, "PONG");
}

// QUIT answers, closes, and nothing after it is served.
TEST_F(RelayTest, AnswersComeInTheOrderOfTheRequests) {
  auto c = Plain();
  c->Send("SUB a\nPING\nHELLO\nPUB a x\n" + std::string(kRelayMaxLine + 1, 'x') + "\nUNSUB a\nPING\nQUIT\nPING\n");
  for (const char* want :
       {"OK", "PONG", "ERR unknown command", "MSG a x", "OK", "ERR line too long", "OK", "PONG", "OK", "<closed>"}) {
    EXPECT_EQ(c->Line(), want);
  }
}

TEST_F(RelayTest, ClosedConnectionsLeaveNoSubscriptionBehind) {
  auto a = Plain();
  auto b = Tls();
  a->Send("SUB x\n");
  ASSERT_EQ(a->Line(), "OK");
  b->Send("SUB x\nSUB y\n");
  ASSERT_EQ(b->Line(), "OK");
  ASSERT_EQ(b->Line(), "OK");
  EXPECT_NE(Stats().find(" subscriptions=3\n"), std::string::npos);
  b.reset();  // the peer goes away without a word
  EXPECT_TRUE(WaitFor([&] { return Stats().find(" subscriptions=1\n") != std::string::npos; })) << Stats();
  a->Send("PUB x still here\n");
  EXPECT_EQ(a->Line(), "MSG x still here");
  EXPECT_EQ(a->Line(), "OK");
}

TEST_F(RelayTest, IdleCheckClosesOnlySilentConnections) {
  auto c = Plain();
  auto quiet = Plain();  // has not said anything yet
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  m_relay->RequestIdleCheck();  // an hour of allowed silence: both stay
  c->Send("PING\n");
  EXPECT_EQ(c->Line(), "PONG");
  quiet->Send("PING\n");
  EXPECT_EQ(quiet->Line(), "PONG");
  quiet.reset();
  m_relay->SetIdleSeconds(0);  // no silence allowed at all
  m_relay->RequestIdleCheck();
  EXPECT_EQ(c->Line(), "<closed>");
  EXPECT_TRUE(WaitFor([&] { return Stats().find(" closed=2 ") != std::string::npos; })) << Stats();
}

TEST_F(RelayTest, UdpStatsReportsPoolAndConnections) {
  auto c = Plain();
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  std::string stats = Stats();
  ASSERT_EQ(stats.rfind("STATS\n", 0), 0u) << stats;
  EXPECT_NE(stats.find("connections plain=1 tls=0 max=16\n"), std::string::npos) << stats;
  EXPECT_NE(stats.find("pool tiny size=64 real=256 idle="), std::string::npos) << stats;
  EXPECT_NE(stats.find("stat EMSG_STAT_N_ALLOC_MSG "), std::string::npos) << stats;
  EXPECT_NE(stats.find("relay opened=1 "), std::string::npos) << stats;
  EXPECT_NE(stats.find("server version=" VLK_RELAY_VERSION " uptime="), std::string::npos) << stats;
  EXPECT_NE(stats.find("flow slow_consumers=0 paused="), std::string::npos) << stats;
  EXPECT_NE(stats.find("queue task=1 depth="), std::string::npos) << stats;
  EXPECT_NE(stats.find("queue task=2 depth="), std::string::npos) << stats;
}

// STATS answers are rate-limited (all askers together); the rest are counted.
class RelayStatsLimitTest : public RelayTest {
  void Configure(Srelay_config& cfg) override { cfg.statsPerSecond = 1; }
};

TEST_F(RelayStatsLimitTest, StatsAnswersAreRateLimited) {
  for (int i = 0; i < 5; ++i) RelayQueryStats("127.0.0.1", m_relay->UdpPort(), 1);
  std::string stats;
  EXPECT_TRUE(WaitFor([&] {
    stats = RelayQueryStats("127.0.0.1", m_relay->UdpPort(), 200);
    return stats.find("stats_refused=0") == std::string::npos && stats.find("stats_refused=") != std::string::npos;
  })) << stats;
}

TEST_F(RelayTest, StopClosesClientsAndReturnsEveryBuffer) {
  auto a = Plain();
  auto tls = Tls();
  a->Send("SUB s\n");
  ASSERT_EQ(a->Line(), "OK");
  tls->Send("PUB s x\n");
  ASSERT_EQ(tls->Line(), "OK");
  m_relay->Stop();
  EXPECT_EQ(a->Line(), "MSG s x");
  EXPECT_EQ(a->Line(), "<closed>");
  EXPECT_EQ(tls->Line(), "<closed>");
  std::string detail;
  EXPECT_TRUE(m_relay->AllBuffersHome(detail)) << detail;
  m_relay->Stop();  // twice is harmless
}

TEST_F(RelayTest, LoadClientSeesEveryMessageOnce) {
  Srelay_bench_opts opts;
  opts.port = m_relay->TcpPort();
  opts.tlsPort = m_relay->TlsPort();
  opts.udpPort = m_relay->UdpPort();
  opts.subscribers = 4;
  opts.tlsSubscribers = 1;
  opts.publishers = 2;
  opts.seconds = 0.3;
  opts.window = 4;
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(RelayRunBench(opts, out), 0);
  std::rewind(out);
  char buf[8192];
  std::size_t n = std::fread(buf, 1, sizeof(buf) - 1, out);
  buf[n] = '\0';
  std::fclose(out);
  EXPECT_NE(std::string(buf).find("lost 0, duplicated or reordered 0"), std::string::npos) << buf;
}

// A client that writes every request of a burst in one go: every request is
// answered and every publication delivered to both subscribers (one over TLS),
// all in order, while a bystander's PINGs are answered throughout.
// The fixture's pool (256 buffers a class) holds a fraction of the 100,000.
TEST_F(RelayTest, PipelinedBurstsLoseNothingAndBystandersAreServed) {
  for (unsigned n : {5000u, 100000u}) {
    auto a = Plain();
    auto b = Tls();
    auto bystander = Plain();
    auto pub = Plain();
    std::string topic = "burst" + std::to_string(n);
    for (Client* c : {a.get(), b.get()}) {
      c->Send("SUB " + topic + "\n");
      ASSERT_EQ(c->Line(), "OK");
    }
    std::string burst;
    for (unsigned i = 0; i < n; ++i) burst += "PUB " + topic + " " + std::to_string(i) + "\n";
    burst += "PING\n";
    // Subscribers read on their own threads, as real ones do.
    auto expectAll = [&](Client* c, unsigned* got) {
      for (unsigned i = 0; i < n; ++i) {
        if (c->Line() != "MSG " + topic + " " + std::to_string(i)) return;
        *got = i + 1;
      }
    };
    unsigned gotA = 0, gotB = 0, oks = 0;
    std::thread ra(expectAll, a.get(), &gotA), rb(expectAll, b.get(), &gotB);
    std::thread writer([&] { pub->Send(burst); });
    std::thread answers([&] {
      while (oks < n && pub->Line() == "OK") ++oks;
    });
    for (int i = 0; i < 20; ++i) {  // the bystander is served while the burst goes on
      bystander->Send("PING\n");
      ASSERT_EQ(bystander->Line(), "PONG");
    }
    writer.join();
    answers.join();
    ra.join();
    rb.join();
    EXPECT_EQ(oks, n);
    EXPECT_EQ(pub->Line(), "PONG");  // after every answer of the burst
    EXPECT_EQ(gotA, n);
    EXPECT_EQ(gotB, n);
  }
  EXPECT_NE(Stats().find("no_buffer=0 "), std::string::npos) << Stats();
}

// A peer that half-closes right after its requests gets every answer, then
// the relay's end.
TEST_F(RelayTest, HalfClosedPeerGetsEveryAnswer) {
  for (int i = 0; i < 50; ++i) {
    auto c = Plain();
    c->Send(i % 2 ? "PING\n" : "SUB h\nPUB h m\n");
    c->Shut();
    if (i % 2) {
      EXPECT_EQ(c->Line(), "PONG") << i;
    } else {
      for (const char* want : {"OK", "MSG h m", "OK"}) EXPECT_EQ(c->Line(), want) << i;
    }
    EXPECT_EQ(c->Line(), "<closed>") << i;
  }
}

// A subscriber that stops reading is disconnected at its queue's mark; the
// publisher and a healthy subscriber of the same topic get everything.
class RelaySlowConsumerTest : public RelayTest {
  void Configure(Srelay_config& cfg) override { cfg.maxQueuedKib = 16; }
};

TEST_F(RelaySlowConsumerTest, NonReadingSubscriberIsCutAndCostsOthersNothing) {
  int stuck = socket(AF_INET, SOCK_STREAM, 0);
  int small = 4096;
  setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(m_relay->TcpPort()));
  ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(send(stuck, "SUB s\n", 6, 0), 6);  // and never reads again
  auto healthy = Plain();
  auto pub = Plain();
  healthy->Send("SUB s\n");
  ASSERT_EQ(healthy->Line(), "OK");
  EXPECT_TRUE(WaitFor([&] { return Stats().find(" subscriptions=2\n") != std::string::npos; }));
  const unsigned n = 8000;  // 8 MB: more than the stuck peer's queue and socket buffers hold
  std::string text(990, 'x');
  std::thread writer([&] {
    std::string burst;
    for (unsigned i = 0; i < n; ++i) burst += "PUB s " + std::to_string(i) + text + "\n";
    pub->Send(burst);
  });
  unsigned oks = 0, got = 0;
  std::thread answers([&] {
    while (oks < n && pub->Line() == "OK") ++oks;
  });
  for (unsigned i = 0; i < n; ++i) {
    if (healthy->Line() != "MSG s " + std::to_string(i) + text) break;
    got = i + 1;
  }
  writer.join();
  answers.join();
  EXPECT_EQ(got, n);
  EXPECT_EQ(oks, n);
  EXPECT_TRUE(WaitFor([&] { return Stats().find("flow slow_consumers=1 ") != std::string::npos; })) << Stats();
  close(stuck);
}

// One greedy connection cannot take the table from the others; SIGHUP's
// reload changes the limit at run time, and refuses unusable settings.
class RelayShareTest : public RelayTest {
  void Configure(Srelay_config& cfg) override { cfg.maxSubscriptionsPerConnection = 3; }
};

TEST_F(RelayShareTest, PerConnectionLimitKeepsTheRelayUsableForOthers) {
  auto greedy = Plain();
  auto other = Plain();
  greedy->Send("SUB a\nSUB b\nSUB c\nSUB d\nSUB a\n");
  for (const char* want : {"OK", "OK", "OK", "ERR subscription limit of this connection reached", "OK"}) {
    EXPECT_EQ(greedy->Line(), want);
  }
  other->Send("SUB d\n");
  EXPECT_EQ(other->Line(), "OK");
  greedy->Send("UNSUB a\nSUB d\n");  // leaving one makes room for one
  EXPECT_EQ(greedy->Line(), "OK");
  EXPECT_EQ(greedy->Line(), "OK");
  EXPECT_NE(Stats().find(" subscriptions=4\n"), std::string::npos) << Stats();

  Srelay_config cfg;
  cfg.maxSubscriptionsPerConnection = 4;
  cfg.idleSeconds = 77;
  cfg.logLevel = RELAY_LOG_WARN;
  std::string err;
  ASSERT_TRUE(m_relay->Reload(cfg, err)) << err;
  EXPECT_NE(Stats().find("idle_seconds=77 max_subscriptions_per_connection=4 log_level=warn"), std::string::npos)
      << Stats();
  greedy->Send("SUB e\nSUB f\n");
  EXPECT_EQ(greedy->Line(), "OK");
  EXPECT_EQ(greedy->Line(), "ERR subscription limit of this connection reached");
  cfg.certFile = "/only/the/cert.pem";
  EXPECT_FALSE(m_relay->Reload(cfg, err));
  cfg = Srelay_config();
  cfg.maxSubscriptionsPerConnection = 0;
  EXPECT_FALSE(m_relay->Reload(cfg, err));
  EXPECT_NE(Stats().find("max_subscriptions_per_connection=4 "), std::string::npos) << Stats();
  RelayLogSetLevel(RELAY_LOG_INFO);
}

// The idle timer itself: a connection silent for a second is closed by the
// network task's periodic check, with no help from the test.
class RelayIdleTimerTest : public RelayTest {
  void Configure(Srelay_config& cfg) override { cfg.idleSeconds = 1; }
};

TEST_F(RelayIdleTimerTest, SilentConnectionIsClosedByTheTimer) {
  auto c = Plain();
  c->Send("PING\n");
  ASSERT_EQ(c->Line(), "PONG");
  EXPECT_TRUE(WaitFor([&] { return c->PeerClosed(); }));
}

#ifdef VLK_RELAY_SAMPLE_INI  // with the INI reader
namespace {

std::string WriteFile(const std::string& dir, const char* name, const std::string& text) {
  std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "w");
  if (f != nullptr) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
  return path;
}

}  // namespace

TEST(RelayConfig, ReadsTheRelaySectionAndNamesFileLineAndKeyOfEveryError) {
  char tmpl[] = "/tmp/relay-ini-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  Srelay_config cfg;
  std::string err;
  std::string path = WriteFile(dir, "a.ini",
                               "; comment\n# another\n[relay]\ntcp_port=9000 ; the plain port\nidle_seconds = 5\n"
                               "cert_file=/x/c.pem\nkey_file=\"/x/k.pem\"\ntrace=1\nlog_level=debug\n"
                               "max_subscriptions_per_connection=7\nstats_address=::1\nbind_address=127.0.0.1 ; loopback\n");
  ASSERT_TRUE(RelayLoadConfig(path.c_str(), cfg, err)) << err;
  EXPECT_EQ(cfg.tcpPort, 9000u);
  EXPECT_EQ(cfg.idleSeconds, 5u);
  EXPECT_EQ(cfg.tlsPort, Srelay_config().tlsPort);  // missing keys keep their value
  EXPECT_EQ(cfg.certFile, "/x/c.pem");
  EXPECT_EQ(cfg.keyFile, "/x/k.pem");
  EXPECT_TRUE(cfg.trace);
  EXPECT_EQ(cfg.logLevel, static_cast<unsigned>(RELAY_LOG_DEBUG));
  EXPECT_EQ(cfg.maxSubscriptionsPerConnection, 7u);
  EXPECT_EQ(cfg.statsAddress, "::1");
  EXPECT_EQ(cfg.bindAddress, "127.0.0.1");

  // Each bad file is refused with "<file>:<line>: <key>..." and the reason.
  struct {
    const char* text;
    const char* where;
    const char* why;
  } bad[] = {
      {"[relay]\ntcp_port=abc\n", ":2: tcp_port", "not a whole number"},
      {"[relay]\n\nmax_connections=10 # comment\n", ":3: max_connections", "not a whole number"},
      {"[relay]\ntcp_port=70000\n", ":2: tcp_port", "outside 0..65535"},
      {"[relay]\nmax_connections=0\n", ":2: max_connections", "outside 1..1024"},
      {"[relay]\nmax_conections=10\n", ":2: max_conections", "unknown key"},
      {"[other]\ntcp_port=1\n", ":1: unknown section [other]", ""},
      {"tcp_port=1\n", ":1: tcp_port", "outside the [relay] section"},
      {"[relay]\nlog_level=loud\n", ":2: log_level", "not one of"},
      {"[relay]\nstats_address=localhost\n", ":2: stats_address", "not an IP address"},
      {"[relay]\n\nbind_address=127.0.0.256\n", ":3: bind_address", "not an IP address"},
      {"[relay]\ncert_file=/only/cert.pem\n", "b.ini", "go together"},
  };
  for (auto& b : bad) {
    Srelay_config c;
    err.clear();
    std::string file = WriteFile(dir, "b.ini", b.text);
    EXPECT_FALSE(RelayLoadConfig(file.c_str(), c, err)) << b.text;
    EXPECT_NE(err.find(file), std::string::npos) << err;
    EXPECT_NE(err.find(b.where), std::string::npos) << err;
    EXPECT_NE(err.find(b.why), std::string::npos) << err;
  }
  EXPECT_FALSE(RelayLoadConfig((dir + "/missing.ini").c_str(), cfg, err));

  // The shipped sample says exactly what the defaults are.
  Srelay_config sample;
  sample.tcpPort = sample.idleSeconds = sample.maxSubscriptionsPerConnection = 1;
  ASSERT_TRUE(RelayLoadConfig(VLK_RELAY_SAMPLE_INI, sample, err)) << err;
  Srelay_config defaults;
  for (unsigned i = 0; i < kRelayConfigRangeCount; ++i) {
    EXPECT_EQ(sample.*(kRelayConfigRanges[i].field), defaults.*(kRelayConfigRanges[i].field))
        << kRelayConfigRanges[i].key;
  }
  EXPECT_EQ(sample.statsAddress, defaults.statsAddress);
  EXPECT_EQ(sample.bindAddress, defaults.bindAddress);
  EXPECT_EQ(sample.logLevel, defaults.logLevel);
  EXPECT_EQ(sample.certFile, "");
  std::string cmd = "rm -rf " + dir;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

#endif  // VLK_RELAY_SAMPLE_INI

// Another process holds the port on IPv4 only: the relay refuses to start
// rather than serve IPv6 alone, and says why.
TEST(RelayStart, FailsCleanlyOnAPortHeldOnOneFamilyOrAMissingCertificate) {
  int v4 = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(v4, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(listen(v4, 1), 0);
  socklen_t len = sizeof(a);
  ASSERT_EQ(getsockname(v4, reinterpret_cast<sockaddr*>(&a), &len), 0);

  char tmpl[] = "/tmp/relay-start-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  Srelay_config cfg;
  cfg.tlsPort = cfg.udpPort = 0;
  cfg.certDir = tmpl;
  cfg.poolTiny = cfg.poolSmall = cfg.poolComm = cfg.poolBig = 16;
  std::string err;
  cfg.tcpPort = ntohs(a.sin_port);
  {
    Crelay_app busy(cfg);
    EXPECT_FALSE(busy.Start(err));
    EXPECT_NE(err.find("TCP port " + std::to_string(cfg.tcpPort) + " (IPv4): Address already in use"),
              std::string::npos)
        << err;
    std::string detail;
    EXPECT_TRUE(busy.AllBuffersHome(detail)) << detail;
  }
  // bind_address: one address alone. An address not on this host is refused at
  // start; ::1 leaves the port another process holds on IPv4 alone.
  cfg.bindAddress = "192.0.2.1";
  {
    Crelay_app elsewhere(cfg);
    err.clear();
    EXPECT_FALSE(elsewhere.Start(err));
    EXPECT_NE(err.find("(IPv4 192.0.2.1): " + std::string(std::strerror(EADDRNOTAVAIL))), std::string::npos) << err;
  }
  if (HasIPv6Loopback()) {
    cfg.bindAddress = "::1";
    Crelay_app v6only(cfg);
    err.clear();
    ASSERT_TRUE(v6only.Start(err)) << err;
    EXPECT_EQ(v6only.TcpPort(), cfg.tcpPort);
    Client c(AF_INET6, cfg.tcpPort, false);
    ASSERT_TRUE(c.ok());
    c.Send("PING\n");
    EXPECT_EQ(c.Line(), "PONG");
    Client tls(AF_INET6, v6only.TlsPort(), true);
    EXPECT_TRUE(tls.ok());
  }
  cfg.bindAddress = "*";
  cfg.tcpPort = 0;
  cfg.certFile = std::string(tmpl) + "/none.pem";
  cfg.keyFile = std::string(tmpl) + "/none.key";
  Crelay_app nocert(cfg);
  err.clear();
  EXPECT_FALSE(nocert.Start(err));
  EXPECT_NE(err.find("certificate"), std::string::npos) << err;
  close(v4);
  std::string cmd = std::string("rm -rf ") + tmpl;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

#ifdef VLK_RELAY_BINARY
namespace {

// The vlk-relay program run as a child with its output on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      std::vector<char*> argv;
      std::string bin = VLK_RELAY_BINARY;
      argv.push_back(&bin[0]);
      for (auto& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    close(fds[1]);
    m_fd = fds[0];
  }
  ~Program() {
    if (m_pid > 0 && m_status < 0) {
      kill(m_pid, SIGKILL);
      Wait();
    }
    if (m_fd >= 0) close(m_fd);
  }
  // Reads output until it holds text (true) or the program ends or the deadline passes.
  bool Expect(const std::string& text) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (m_out.find(text, m_seen) == std::string::npos) {
      pollfd p{m_fd, POLLIN, 0};
      if (std::chrono::steady_clock::now() > end || poll(&p, 1, 100) < 0) return false;
      char buf[4096];
      if (p.revents == 0) continue;
      ssize_t n = read(m_fd, buf, sizeof(buf));
      if (n <= 0) return m_out.find(text, m_seen) != std::string::npos;
      m_out.append(buf, static_cast<std::size_t>(n));
    }
    m_seen = m_out.find(text, m_seen) + text.size();
    return true;
  }
  void Signal(int sig) { kill(m_pid, sig); }
  int Wait() {
    if (m_status < 0) {
      int st = 0;
      waitpid(m_pid, &st, 0);
      m_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return m_status;
  }
  const std::string& Output() const { return m_out; }

 private:
  pid_t m_pid = -1;
  int m_fd = -1;
  int m_status = -1;
  std::string m_out;
  std::size_t m_seen = 0;
};

}  // namespace

// The program as an operator meets it: --version, --check-config, a reload on
// SIGHUP (good and bad files) that never stops it, and a clean stop.
TEST(RelayProgram, ChecksConfigurationReloadsOnSighupAndStopsCleanly) {
  char tmpl[] = "/tmp/relay-prog-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string dir = tmpl;
  {
    Program version({"--version"});
    EXPECT_TRUE(version.Expect(std::string("vlk-relay ") + VLK_RELAY_VERSION));
    EXPECT_EQ(version.Wait(), 0);
  }
  std::string bad = WriteFile(dir, "bad.ini", "[relay]\ntcp_port=0\nidle_second=5\n");
  {
    Program check({"--check-config", bad});
    EXPECT_TRUE(check.Expect(bad + ":3: idle_second: unknown key"));
    EXPECT_EQ(check.Wait(), 2);
  }
  std::string base = "[relay]\ntcp_port=0\ntls_port=0\nudp_port=0\ncert_dir=" + dir + "\n";
  std::string cfg = WriteFile(dir, "relay.ini", base);
  Program relay({"--config", cfg});
  ASSERT_TRUE(relay.Expect("vlk-relay listening")) << relay.Output();
  WriteFile(dir, "relay.ini", base + "idle_seconds=60\nlog_level=warn\n");
  relay.Signal(SIGHUP);
  EXPECT_TRUE(relay.Expect("reload: log_level info -> warn")) << relay.Output();
  EXPECT_TRUE(relay.Expect("reload: idle_seconds 300 -> 60")) << relay.Output();
  WriteFile(dir, "relay.ini", base + "idle_seconds=many\n");
  relay.Signal(SIGHUP);
  EXPECT_TRUE(relay.Expect("reload refused, the running settings stay: " + cfg + ":6: idle_seconds")) << relay.Output();
  relay.Signal(SIGTERM);
  EXPECT_TRUE(relay.Expect("all back in the pool")) << relay.Output();
  EXPECT_EQ(relay.Wait(), 0) << relay.Output();
  std::string cmd = "rm -rf " + dir;
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}
#endif  // VLK_RELAY_BINARY

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
